// The reference scanner end to end: the built ifind on generated temp trees, with its
// home in a temp folder; and the scanner's own parsing helpers.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "hostservices/FakePlatform.h"
#include "hostservices/FileUtil.h"
#include "ifind/Options.h"
#include "ifind/ScanHost.h"
#include "support/WriterSupport.h"

namespace {

using nlohmann::json;

struct RunResult {
  int code = -1;
  std::string out, err;
};

class IfindTest : public ::testing::Test {
 protected:
  kztest::TempDir tmp;
  std::string home() const { return tmp.path() + "/home"; }
  std::string tree() const { return tmp.path() + "/tree"; }

  void SetUp() override { ASSERT_EQ(0, mkdir(tree().c_str(), 0755)); }

  // uid: run as this user (needs root), -1: as ourselves.
  RunResult run(const std::vector<std::string>& args, int uid = -1) {
    RunResult r;
    std::string outPath = tmp.path() + "/stdout", errPath = tmp.path() + "/stderr";
    pid_t pid = fork();
    if (pid == 0) {
      setenv("KZFIND_HOME", home().c_str(), 1);
      unsetenv("KZFIND_DEBUG");
      int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      if (uid >= 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
      std::vector<char*> argv{const_cast<char*>(IFIND_BINARY)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(IFIND_BINARY, argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = kztest::readFile(outPath);
    r.err = kztest::readFile(errPath);
    return r;
  }

  // Runs with --json and gives the summary.
  json scan(std::vector<std::string> args, int expectedCode = 0, int uid = -1) {
    args.insert(args.begin(), {"--json", "--quiet"});
    RunResult r = run(args, uid);
    EXPECT_EQ(expectedCode, r.code) << r.err;
    json j = json::parse(r.out, nullptr, false);
    EXPECT_TRUE(j.is_object()) << r.out;
    return j;
  }

  void write(const std::string& rel, const std::string& text) {
    int fd = open((tree() + "/" + rel).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0) << rel;
    ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size()));
    close(fd);
  }
  void dir(const std::string& rel) { ASSERT_EQ(0, mkdir((tree() + "/" + rel).c_str(), 0755)) << rel; }
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

// Every line of every collect file of a run, sorted.
std::vector<std::string> collectLines(const json& summary) {
  std::vector<std::string> lines;
  for (const json& p : summary["collectPaths"]) {
    for (std::string& l : splitLines(kztest::readFile(p.get<std::string>()))) lines.push_back(std::move(l));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The escaped directories from the parent of path up to (not including) the root.
std::vector<std::string> ancestorsOf(std::string path) {
  std::vector<std::string> out;
  for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/')) {
    path.resize(slash);
    out.push_back(escapeFileName(path.c_str()));
  }
  return out;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Waits until the clock has left the second in which the tree was last changed, so
// that a later change is newer than a scan started now.
void waitForNextSecond() {
  time_t now = time(nullptr);
  while (time(nullptr) == now) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST_F(IfindTest, FullScanRecordsEveryEntryOnceWithAwkwardNames) {
  const std::vector<std::string> names = {"plain", "new\nline", "pi|pe", "back\\slash", "bad\xff\xfeutf8", "sp ace"};
  std::vector<std::string> expected;
  for (const std::string& n : names) {
    write(n, "12345");
    expected.push_back(escapeFileName((tree() + "/" + n).c_str()));
  }
  dir("sub");
  dir("sub/empty");
  dir("sub/x|y");
  write("sub/x|y/f", "");
  ASSERT_EQ(0, symlink("plain", (tree() + "/link").c_str()));
  ASSERT_EQ(0, mkfifo((tree() + "/fifo").c_str(), 0644));
  for (const char* rel : {"sub", "sub/empty", "sub/x|y", "sub/x|y/f", "link", "fifo"})
    expected.push_back(escapeFileName((tree() + "/" + rel).c_str()));
  expected.push_back(tree());
  for (const std::string& a : ancestorsOf(tree())) expected.push_back(a);

  json s = scan({tree()});
  EXPECT_TRUE(s["succeeded"].get<bool>());
  EXPECT_EQ(sorted(expected), collectLines(s));  // after the finish: paths only, each once
  EXPECT_EQ(9u, s["files"].get<uint64_t>());
  EXPECT_EQ(30u, s["bytes"].get<uint64_t>());
  EXPECT_EQ(4u, s["directories"].get<uint64_t>());
  EXPECT_FALSE(kztest::readFile(s["splitConfig"].get<std::string>()).empty());

  // The journal holds the success and the parameters the summary shows.
  bool success = false;
  std::string params;
  for (const std::string& line : splitLines(kztest::readFile(s["journal"].get<std::string>()))) {
    json j = json::parse(line, nullptr, false);
    if (j.value("call", "") == "complete" && j["args"].value("status", 0) == 1) success = true;
    if (j.value("call", "") == "concatPhaseParams") params = j["args"].value("params", "");
  }
  EXPECT_TRUE(success);
  EXPECT_EQ(params, s["phaseParams"].get<std::string>());
  EXPECT_NE(std::string::npos, params.find(" -c " + std::to_string(expected.size()) + " "));

  RunResult h = run({"--history"});
  EXPECT_EQ(0, h.code);
  EXPECT_NE(std::string::npos, h.out.find("success")) << h.out;
}

TEST_F(IfindTest, ExitCodes) {
  struct Row {
    std::vector<std::string> args;
    int code;
    std::string message;  // in stderr
  } rows[] = {
      {{"-j"}, 2, "Insufficient arguments for option 'j'"},
      {{tree(), "-f"}, 2, "Insufficient arguments for option 'f/t'"},
      {{"-a", "7", tree()}, 2, "Invalid argument for option -a '7'"},
      {{"-f", "3", tree()}, 2, "Invalid Backup type"},
      {{"-d", "/", tree()}, 2, "Data Server not defined (-d)"},
      {{"--threads", "0", tree()}, 2, "--threads"},
      {{"--bogus", tree()}, 2, "unknown option '--bogus'"},
      {{}, 2, "no content path"},
      {{tree() + "/missing"}, 1, "No such file or directory"},
      {{tree(), tmp.path() + "/missing"}, 1, "missing"},
      {{"--help"}, 0, ""},
      {{tree()}, 0, ""},
  };
  for (const Row& row : rows) {
    std::string trace;
    for (const std::string& a : row.args) trace += a + " ";
    SCOPED_TRACE(trace);
    RunResult r = run(row.args);
    EXPECT_EQ(row.code, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(row.message)) << r.err;
  }
  EXPECT_NE(std::string::npos, run({"--help"}).out.find("-appType"));
}

TEST_F(IfindTest, MissingContentPathFailsTheJob) {
  write("f", "x");
  json s = scan({tree(), tmp.path() + "/missing"}, 1);
  EXPECT_FALSE(s["succeeded"].get<bool>());
  EXPECT_EQ(1u, s["failures"].get<uint64_t>());
  bool failed = false;
  for (const std::string& line : splitLines(kztest::readFile(s["journal"].get<std::string>()))) {
    json j = json::parse(line, nullptr, false);
    if (j.value("call", "") == "complete" && j["args"].value("status", 0) == 2) failed = true;
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(escapeFileName((tmp.path() + "/missing").c_str()) + "|lstat: No such file or directory\n",
            kztest::readFile(s["failuresFile"].get<std::string>()));
}

// A directory the scan may not read is a failure of that entry only: it is listed in
// the failures file and the scan goes on and succeeds.
TEST_F(IfindTest, UnreadableDirectoryIsListedAndTheScanGoesOn) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the scanner as another user";
  const int nobody = 65534;
  ASSERT_EQ(0, chmod(tmp.path().c_str(), 0777));
  dir("open");
  dir("locked");
  write("open/f", "abc");
  write("locked/secret", "s");
  ASSERT_EQ(0, chmod((tree() + "/locked").c_str(), 0));
  json s = scan({tree()}, 0, nobody);
  EXPECT_TRUE(s["succeeded"].get<bool>());
  EXPECT_EQ(1u, s["failures"].get<uint64_t>());
  EXPECT_EQ(escapeFileName((tree() + "/locked").c_str()) + "|opendir: Permission denied\n",
            kztest::readFile(s["failuresFile"].get<std::string>()));
  std::vector<std::string> lines = collectLines(s);
  EXPECT_TRUE(std::binary_search(lines.begin(), lines.end(), tree() + "/open/f"));
  EXPECT_FALSE(std::binary_search(lines.begin(), lines.end(), tree() + "/locked/secret"));
  chmod((tree() + "/locked").c_str(), 0755);
}

// A directory mounted below itself is reported once as a loop, not walked forever.
TEST_F(IfindTest, BindMountLoopIsAFailureOfOneEntry) {
  dir("a");
  dir("a/b");
  write("a/f", "x");
  const std::string out = tmp / "loop.json";
  const std::string cmd = "unshare -m sh -c 'mount --bind " + tree() + " " + tree() + "/a/b 2>/dev/null || exit 99; KZFIND_HOME=" +
                          home() + " " + IFIND_BINARY + " --json --quiet " + tree() + " >" + out + " 2>/dev/null' 2>/dev/null";
  int status = system(cmd.c_str());
  // 99: the bind mount was refused; otherwise unshare itself failed before ifind ran.
  if (kztest::readFile(out).empty()) GTEST_SKIP() << "no private mount namespace here (status " << status << ")";
  json s = json::parse(kztest::readFile(out), nullptr, false);
  ASSERT_TRUE(s.is_object());
  EXPECT_TRUE(s["succeeded"].get<bool>());
  EXPECT_EQ(escapeFileName((tree() + "/a/b").c_str()) + "|loop: Too many levels of symbolic links\n",
            kztest::readFile(s["failuresFile"].get<std::string>()));
}

TEST_F(IfindTest, NestedContentPathIsRecordedOnce) {
  dir("sub");
  write("sub/f", "abc");
  write("g", "");
  json alone = scan({tree()});
  json nested = scan({tree() + "/sub", tree() + "/./", tree() + "/sub/f"});
  EXPECT_EQ(json::array({tree()}), nested["contentPaths"]);
  EXPECT_EQ(collectLines(alone), collectLines(nested));
  EXPECT_EQ(alone["jobDir"], nested["jobDir"]);  // the same subclient for the same paths
}

TEST_F(IfindTest, IncrementalAfterFullRecordsOnlyWhatChanged) {
  dir("a");
  dir("b");
  dir("c");
  write("a/x", "1");
  write("a/y", "1");
  write("b/old", "1");
  write("c/z", "1");
  waitForNextSecond();
  json full = scan({tree()});
  ASSERT_TRUE(full["succeeded"].get<bool>());
  waitForNextSecond();
  write("a/x", "more");  // a file changed in place: its directory did not change
  write("b/new", "n");   // a new file: its directory changed

  json inc = scan({"-f", "2", tree()});
  ASSERT_TRUE(inc["succeeded"].get<bool>());
  EXPECT_EQ(full["jobDir"], inc["jobDir"]);
  // The reference time is the start time the full handed on.
  const std::string fullParams = full["phaseParams"].get<std::string>();
  const long long fullStart = atoll(fullParams.c_str() + fullParams.find(" -r ") + 4);
  EXPECT_EQ(fullStart, inc["referenceTime"].get<long long>());
  std::vector<std::string> expected = {tree() + "/a/x", tree() + "/b/new", tree() + "/a", tree() + "/b", tree()};
  for (const std::string& a : ancestorsOf(tree())) expected.push_back(a);
  EXPECT_EQ(sorted(expected), collectLines(inc));
  EXPECT_EQ(2u, inc["files"].get<uint64_t>());

  // The changed directory is a top line, its entries child lines.
  std::vector<std::string> lines = splitLines(kztest::readFile(inc["jobDir"].get<std::string>() + "/DirChange.tmp"));
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("Version2", lines[0]);
  EXPECT_EQ(tree() + "/b", lines[1]);
  EXPECT_EQ(sorted({"\t" + tree() + "/b/new", "\t" + tree() + "/b/old"}), sorted({lines[2], lines[3]}));

  // A differential compares with the full, so it takes both changes again.
  json diff = scan({"--differential", tree()});
  EXPECT_EQ(2u, diff["files"].get<uint64_t>());
  EXPECT_EQ(fullStart, diff["referenceTime"].get<long long>());
}

TEST_F(IfindTest, ReaderThreadsGiveIdenticalOutputs) {
  unsigned seed = 7;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
  std::vector<std::string> dirs{""};
  for (int i = 0; i < 1500; ++i) {
    std::string parent = dirs[next() % dirs.size()];
    std::string name = parent + "e" + std::to_string(i);
    if (next() % 4 == 0) {
      dir(name);
      dirs.push_back(name + "/");
    } else {
      write(name, std::string(next() % 50, 'x'));
    }
  }
  auto outputs = [&](const std::string& threads) {
    json s = scan({"--threads", threads, "--streams", "3", "--incremental", "-r", "0", tree()});
    std::map<std::string, std::string> files;
    for (const char* name : {"Collect1.kzf", "Collect2.kzf", "Collect3.kzf", "split_config", "DirChange.tmp"})
      files[name] = kztest::readFile(s["jobDir"].get<std::string>() + "/" + name);
    return files;
  };
  std::map<std::string, std::string> one = outputs("1");
  EXPECT_FALSE(one["Collect1.kzf"].empty());
  EXPECT_GT(one["DirChange.tmp"].size(), 9u);
  EXPECT_EQ(one, outputs("4"));
  EXPECT_EQ(one, outputs("8"));
}

TEST_F(IfindTest, DeepTree) {
  const int depth = 3000;
  int fd = open(tree().c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(0, mkdirat(fd, "d", 0755));
    int nextFd = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(nextFd, 0);
    close(fd);
    fd = nextFd;
  }
  close(openat(fd, "bottom", O_WRONLY | O_CREAT, 0644));
  close(fd);
  json s = scan({tree()});
  EXPECT_TRUE(s["succeeded"].get<bool>());
  std::string bottom = tree();
  for (int i = 0; i < depth; ++i) bottom += "/d";
  bottom += "/bottom";
  std::vector<std::string> lines = collectLines(s);
  EXPECT_EQ(static_cast<size_t>(depth) + 2 + ancestorsOf(tree()).size(), lines.size());
  EXPECT_TRUE(std::binary_search(lines.begin(), lines.end(), bottom));
  EXPECT_EQ(0, system(("rm -rf " + tree()).c_str()));
}

TEST_F(IfindTest, ExcludesAndTheFilterFile) {
  dir("keep");
  dir("skipdir");
  dir("byfile");
  write("keep/a.txt", "a");
  write("keep/b.tmp", "b");
  write("skipdir/c.txt", "c");
  write("byfile/d.txt", "d");
  json first = scan({"--exclude", "*.tmp", "--exclude=skipdir", tree()});
  std::vector<std::string> lines = collectLines(first);
  auto recorded = [&](const std::string& rel) {
    return std::binary_search(lines.begin(), lines.end(), tree() + "/" + rel);
  };
  EXPECT_TRUE(recorded("keep/a.txt"));
  EXPECT_FALSE(recorded("keep/b.tmp"));
  EXPECT_FALSE(recorded("skipdir"));
  EXPECT_FALSE(recorded("skipdir/c.txt"));
  EXPECT_EQ(2u, first["excluded"].get<uint64_t>());  // b.tmp, skipdir (its content is never seen)

  std::string filters = first["jobDir"].get<std::string>() + "/filters";
  int fd = open(filters.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string text = "# comment\n\n" + tree() + "/byfile\n";
  ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size()));
  close(fd);
  lines = collectLines(scan({tree()}));
  EXPECT_FALSE(recorded("byfile"));
  EXPECT_FALSE(recorded("byfile/d.txt"));
  EXPECT_TRUE(recorded("skipdir/c.txt"));
}

// --- the scanner's helpers ----------------------------------------------------------

TEST(IfindOptions, ParsesPhaseAndScannerOptions) {
  struct Row {
    std::vector<const char*> args;
    std::string error;
    std::vector<std::string> paths;
    int type;
  } rows[] = {
      {{"a", "b"}, "", {"a", "b"}, 1},
      {{"-s", "-d", "p"}, "", {"p"}, 1},  // -d is the value of -s
      {{"-CS", "p"}, "", {"p"}, 1},
      {{"-cs"}, "Insufficient arguments for option 'cs'", {}, 1},
      {{"-jt"}, "Insufficient arguments for option 'jt'", {}, 1},
      {{"-T", "4", "p"}, "", {"p"}, 4},
      {{"--incremental", "p", "-f", "1"}, "", {"p"}, 1},
      {{"--differential", "--", "-p"}, "", {"-p"}, 4},
      {{"--exclude"}, "option '--exclude' needs a value", {}, 1},
      {{"--streams", "x"}, "invalid value for --streams: 'x'", {}, 1},
      {{"-x"}, "unknown option '-x' (a path that begins with '-' goes after '--')", {}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.empty() ? "" : row.args[0]);
    std::vector<char*> argv{const_cast<char*>("ifind")};
    for (const char* a : row.args) argv.push_back(const_cast<char*>(a));
    ifind::Options o;
    auto err = ifind::parseArguments(static_cast<int>(argv.size()), argv.data(), o);
    EXPECT_EQ(row.error, err.value_or(""));
    if (!err) {
      EXPECT_EQ(row.paths, o.paths);
      EXPECT_EQ(row.type, o.effectiveBackupType());
    }
  }
}

TEST(IfindOptions, ContentRoots) {
  EXPECT_EQ("/a/b", ifind::normalizePath("b/./c/..//", "/a"));
  EXPECT_EQ("/", ifind::normalizePath("/../..", "/x"));
  EXPECT_EQ((std::vector<std::string>{"/a", "/a-b"}), ifind::contentRoots({"/a/b", "/a-b", "/a", "/a/"}, "/"));
  EXPECT_EQ(std::vector<std::string>{"/"}, ifind::contentRoots({"/x", "/", "y"}, "/z"));
  EXPECT_EQ(ifind::contentSubclientId({"/a", "/b"}), ifind::contentSubclientId(ifind::contentRoots({"/b", "/a"}, "/")));
  EXPECT_NE(ifind::contentSubclientId({"/a"}), ifind::contentSubclientId({"/b"}));
}

TEST(IfindMounts, ParsesMountInfo) {
  std::vector<ifind::MountInfo> m = ifind::parseMountInfo(
      "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
      "40 22 8:1 / /mnt/with\\040space\\134x rw - ext4 /dev/sda1 rw,errors=remount-ro\n"
      "garbage\n"
      "41 22 0:50 / /m rw master:1 propagation:x - tmpfs tmpfs rw\n");
  ASSERT_EQ(3u, m.size());
  EXPECT_EQ("/proc", m[0].entry.mnt_dir);
  EXPECT_EQ("proc", m[0].entry.mnt_type);
  EXPECT_EQ(makedev(0, 21), m[0].dev);
  EXPECT_EQ("/mnt/with space\\x", m[1].entry.mnt_dir);
  EXPECT_EQ("ext4", m[1].entry.mnt_type);
  EXPECT_EQ("/dev/sda1", m[1].entry.mnt_fsname);
  EXPECT_EQ("tmpfs", m[2].entry.mnt_type);
  EXPECT_TRUE(ifind::isPseudoFileSystem("cgroup2"));
  EXPECT_FALSE(ifind::isPseudoFileSystem("tmpfs"));
}

TEST(IfindHost, FailuresAreLoggedCountedAndListed) {
  kzhost::ScopedFakePlatform fake;
  kztest::TempDir tmp;
  ifind::ScanHost host(ifind::ScanConfig{});
  const std::string list = tmp / "failures.log";
  snprintf(host.m_files.failuresFile, sizeof host.m_files.failuresFile, "%s", list.c_str());
  host.reportFailFile("opendir: Permission denied", "/d/a\nb");
  host.reportFailFile("lstat: No such file or directory", "/d/c");
  host.Finish();  // closes the list
  EXPECT_EQ("/d/a\\nb|opendir: Permission denied\n/d/c|lstat: No such file or directory\n", kztest::readFile(list));
  EXPECT_EQ(2u, host.stats().failures);
}

}  // namespace
