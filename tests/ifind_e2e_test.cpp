// The reference scanner end to end: the built ifind on generated temp trees, with its
// home in a temp folder; and its mount table parser.
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "hostservices/FileUtil.h"
#include "hostservices/LocalPlatform.h"
#include "ifind/Exclude.h"
#include "ifind/Options.h"
#include "ifind/ScanState.h"
#include "ifind/Report.h"
#include "ifind/ScanHost.h"
#include "support/WriterSupport.h"

namespace {

using kztest::readFile;
using kztest::splitLines;
using nlohmann::json;

struct RunResult {
  int code = -1;
  std::string out, err;
};

// How the scanner is started.
struct As {
  int uid = -1;         // this user (needs root); -1: ourselves
  std::string cwd = {}; // start here; empty: where the test runs
  bool cwdGone = false; // remove cwd after entering it
  int fdLimit = 0;      // RLIMIT_NOFILE; 0: unchanged
  int procLimit = 0;    // RLIMIT_NPROC (threads of the user); 0: unchanged
};

class IfindTest : public ::testing::Test {
 protected:
  kztest::TempDir tmp;
  std::string home() const { return tmp / "home"; }
  std::string tree() const { return tmp / "tree"; }
  void SetUp() override { ASSERT_EQ(0, mkdir(tree().c_str(), 0755)); }
  void make(const std::vector<std::string>& entries) { kztest::makeTree(tree(), entries); }

  RunResult run(const std::vector<std::string>& args, int uid = -1) { return run(args, As{.uid = uid}); }
  RunResult run(const std::vector<std::string>& args, const As& as) {
    const std::string outPath = tmp / "stdout", errPath = tmp / "stderr";
    pid_t pid = fork();
    if (pid == 0) {
      setenv("KZFIND_HOME", home().c_str(), 1);
      unsetenv("KZFIND_DEBUG");
      dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      if (!as.cwd.empty() && chdir(as.cwd.c_str()) != 0) _exit(125);
      if (as.cwdGone && rmdir(as.cwd.c_str()) != 0) _exit(125);
      if (as.uid >= 0 && (setgid(as.uid) != 0 || setuid(as.uid) != 0)) _exit(126);
      struct rlimit rl = {static_cast<rlim_t>(as.fdLimit), static_cast<rlim_t>(as.fdLimit)};
      if (as.fdLimit > 0 && setrlimit(RLIMIT_NOFILE, &rl) != 0) _exit(125);
      struct rlimit pl = {static_cast<rlim_t>(as.procLimit), static_cast<rlim_t>(as.procLimit)};
      if (as.procLimit > 0 && setrlimit(RLIMIT_NPROC, &pl) != 0) _exit(125);
      alarm(60);  // a hang ends as a failure (128 + SIGALRM), not as a stuck suite
      std::vector<char*> argv{const_cast<char*>(IFIND_BINARY)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(IFIND_BINARY, argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readFile(outPath), readFile(errPath)};
  }

  // Runs with --json and gives the summary.
  json scan(std::vector<std::string> args, int expectedCode = 0, int uid = -1) {
    return scan(std::move(args), expectedCode, As{.uid = uid});
  }
  json scan(std::vector<std::string> args, int expectedCode, const As& as) {
    args.insert(args.begin(), {"--json", "--quiet"});
    RunResult r = run(args, as);
    EXPECT_EQ(expectedCode, r.code) << r.err;
    json j = json::parse(r.out, nullptr, false);
    EXPECT_TRUE(j.is_object()) << r.out;
    return j;
  }
};

// Runs fn in a child process as uid (from root); the planting other users could do.
void asUser(uid_t uid, const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(setgid(uid) == 0 && setuid(uid) == 0 && fn() == 0 ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ADD_FAILURE() << "could not act as uid " << uid;
}

// Every line of every collect file of a run, sorted.
std::vector<std::string> collectLines(const json& summary) {
  std::vector<std::string> lines;
  for (const json& p : summary["collectPaths"]) {
    for (std::string& l : splitLines(readFile(p.get<std::string>()))) lines.push_back(std::move(l));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string failuresOf(const json& summary) { return readFile(summary["failuresFile"].get<std::string>()); }

// The last arguments of each call in the run's journal.
std::map<std::string, json> journal(const json& summary) {
  std::map<std::string, json> last;
  for (const std::string& line : splitLines(readFile(summary["journal"].get<std::string>()))) {
    json j = json::parse(line, nullptr, false);
    if (j.is_object()) last[j.value("call", "")] = j.value("args", json::object());
  }
  return last;
}

// The given paths and the escaped directories above the last, up to (not including) the root.
std::vector<std::string> withAncestors(std::vector<std::string> lines, std::string path) {
  for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/')) {
    path.resize(slash);
    lines.push_back(escapeFileName(path.c_str()));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Waits until the clock has left the second in which the tree was last changed, so
// that a later change is newer than a scan started now.
void waitForNextSecond() {
  time_t now = time(nullptr);
  while (time(nullptr) == now) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST_F(IfindTest, FullScanRecordsEveryEntryOnceWithAwkwardNames) {
  const std::vector<std::string> entries = {"plain",  "new\nline", "pi|pe",      "back\\slash", "bad\xff\xfeutf8",
                                            "sp ace", "sub/",      "sub/empty/", "sub/x|y/",   "sub/x|y/f"};
  make(entries);
  ASSERT_EQ(0, symlink("plain", (tree() + "/link").c_str()));
  ASSERT_EQ(0, mkfifo((tree() + "/fifo").c_str(), 0644));
  std::vector<std::string> expected = {tree(), tree() + "/link", tree() + "/fifo"};
  for (std::string rel : entries) {
    if (rel.back() == '/') rel.pop_back();
    expected.push_back(escapeFileName((tree() + "/" + rel).c_str()));
  }

  json s = scan({tree()});
  const std::vector<std::string> lines = collectLines(s);
  EXPECT_EQ(withAncestors(expected, tree()), lines);  // after the finish: paths only, each once
  EXPECT_EQ(json::array({s["files"], s["bytes"], s["directories"]}), json::array({9, 52, 4}));
  EXPECT_FALSE(readFile(s["splitConfig"].get<std::string>()).empty());
  const std::string rawResults = s["jobDir"].get<std::string>() + "/results-" + std::to_string(s["jobId"].get<long long>()) + ".raw";
  EXPECT_NE(0, access(rawResults.c_str(), F_OK));  // nothing wrote it: not left behind

  // The journal holds the success and the parameters the summary shows.
  auto calls = journal(s);
  EXPECT_EQ(1, calls["complete"].value("status", 0));
  const std::string params = calls["concatPhaseParams"].value("params", "");
  EXPECT_EQ(params, s["phaseParams"].get<std::string>());
  EXPECT_NE(std::string::npos, params.find(" -c " + std::to_string(lines.size()) + " "));
  EXPECT_NE(std::string::npos, run({"--history"}).out.find("success"));

  // Damaged journal lines of any kind are passed over with a warning, never fatal; a
  // FIFO among the journals is not waited on.
  ASSERT_EQ(0, mkfifo((home() + "/jobs/999.jsonl").c_str(), 0600));
  std::ofstream(s["journal"].get<std::string>(), std::ios::app)
      << "not json\n[1]\n{\"call\": 5}\n{\"ts\": 1}\n{\"call\": \"complete\", \"args\": {\"status\": \"2\"}}\n"
         "{\"call\": \"concatPhaseParams\", \"args\": {\"params\": 7}}\n";
  RunResult history = run({"--history"});
  EXPECT_EQ(0, history.code) << history.err;
  EXPECT_NE(std::string::npos, history.out.find("success"));
  EXPECT_EQ(6u, splitLines(history.err).size()) << history.err;
  EXPECT_EQ(params, ifind::lastPhaseParams(s["journal"].get<std::string>()));

  // One reader, or several without batched stats, record the very same lines; however
  // many streams are asked for, a few small files are not cut into pieces.
  json oneReader = scan({"--threads", "1", "--streams", "1024", tree()});
  EXPECT_EQ(lines, collectLines(oneReader));
  EXPECT_EQ(1, oneReader["collectFiles"].get<int>());
  EXPECT_EQ(lines, collectLines(scan({"--threads", "3", "--single-stats", tree()})));

  // --list gives back the tree's entries as they are, byte for byte, for tar and friends;
  // an earlier job's lists, replaced since, are refused.
  std::vector<std::string> raw = {tree(), tree() + "/link", tree() + "/fifo"};
  for (std::string rel : entries) raw.push_back(tree() + "/" + (rel.back() == '/' ? rel.substr(0, rel.size() - 1) : rel));
  std::sort(raw.begin(), raw.end());
  RunResult listed = run({"--list", "-0", tree()});
  std::vector<std::string> got;
  for (size_t at = 0, end; (end = listed.out.find('\0', at)) != std::string::npos; at = end + 1)
    got.push_back(listed.out.substr(at, end - at));
  std::sort(got.begin(), got.end());
  EXPECT_EQ(raw, got) << listed.err;
  const std::string tarCmd = std::string(IFIND_BINARY) + " --list -0 " + tree() + " | tar --null --no-recursion -T - -cf " +
                             (tmp / "x.tar") + " 2>/dev/null && tar -tf " + (tmp / "x.tar") + " | wc -l >" + (tmp / "n");
  setenv("KZFIND_HOME", home().c_str(), 1);
  ASSERT_EQ(0, system(tarCmd.c_str()));
  EXPECT_EQ(std::to_string(raw.size()) + "\n", readFile(tmp / "n"));
  const std::string rsyncCmd = std::string(IFIND_BINARY) + " --list -0 " + tree() +
                               " | rsync -a --from0 --files-from=- / " + (tmp / "copy") + " && find " +
                               (tmp / "copy") + tree() + " -print0 | tr -cd '\\0' | wc -c >" + (tmp / "n");
  ASSERT_EQ(0, system(rsyncCmd.c_str()));
  EXPECT_EQ(std::to_string(raw.size()) + "\n", readFile(tmp / "n"));
  const std::string files = run({"--list", "--files-only", "-0", tree()}).out;
  EXPECT_EQ(raw.size() - 4, static_cast<size_t>(std::count(files.begin(), files.end(), '\0')));  // 4 folders
  RunResult replaced = run({"--list", "--job", std::to_string(s["jobId"].get<long long>()), tree()});
  EXPECT_EQ(1, replaced.code);
  EXPECT_NE(std::string::npos, replaced.err.find("were replaced by those of job")) << replaced.err;
}

TEST_F(IfindTest, ExitCodes) {
  struct Row {
    std::vector<std::string> args;
    int code;
    std::string message;  // in stderr
  } rows[] = {
      {{"-j"}, 2, "Insufficient arguments for option 'j'"},
      {{"-f", "3", tree()}, 2, "invalid backup type 3"},
      {{"--exlude", "x", tree()}, 2, "unknown option '--exlude'; did you mean '--exclude'?"},
      {{"--threads", "0", tree()}, 2, "--threads"},
      {{"--bogus", tree()}, 2, "unknown option '--bogus'"},
      {{"--streams", "999999999", tree()}, 2, "invalid value for --streams: '999999999' (at most 1024)"},
      {{"-j", "4x", tree()}, 2, "invalid job id for option -j '4x'"},
      {{"-j", "-5", tree()}, 2, "invalid job id for option -j '-5'"},
      {{"-j", "0", tree()}, 2, "invalid job id for option -j '0'"},
      {{"-f", "2", "-r", "2026-12-01", tree()}, 2, "invalid reference time for option -r '2026-12-01' (seconds since 1970)"},
      {{"-j", "9", tree()}, 0, ""},
      {{"-j", "9", tree()}, 2, "job 9 already has a journal (" + home() + "/jobs/9.jsonl)"},
      {{}, 2, "no content path"},
      {{"--help"}, 0, ""},
      {{tree()}, 0, ""},
  };
  for (const Row& row : rows) {
    RunResult r = run(row.args);
    EXPECT_EQ(row.code, r.code) << row.message << r.err;
    EXPECT_NE(std::string::npos, r.err.find(row.message)) << r.err;
  }
  // Every option of --help is in the man page and both completions.
  const std::string help = run({"--help"}).out;
  std::string man = readFile(std::string(KZ_SOURCE_DIR) + "/docs/ifind.1");
  for (size_t at; (at = man.find("\\-")) != std::string::npos;) man.replace(at, 2, "-");
  std::string bash = readFile(std::string(KZ_SOURCE_DIR) + "/completions/ifind.bash");
  std::replace_if(bash.begin(), bash.end(), [](char c) { return c == '\n' || c == '"'; }, ' ');
  const std::string zsh = readFile(std::string(KZ_SOURCE_DIR) + "/completions/_ifind");
  int options = 0;
  for (const std::string& line : splitLines(help)) {
    if (!line.starts_with("  -")) continue;
    std::istringstream words(line);
    for (std::string w; words >> w && w[0] == '-';) {
      if (w.back() == ',') w.pop_back();
      SCOPED_TRACE(w);
      ++options;
      EXPECT_NE(std::string::npos, man.find(w));
      EXPECT_NE(std::string::npos, bash.find(w + " "));
      EXPECT_NE(std::string::npos, zsh.find(w));
    }
  }
  EXPECT_GT(options, 40);
}

// What another local user can leave in or make of the state folder, tried on a root
// scan: each is refused by name or ignored, and no file outside the home is touched.
TEST_F(IfindTest, StateFolderAttacksAreRefused) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(0, chmod(tmp.path().c_str(), 0711));  // the other user may pass, not list
  make({"f"});
  const std::string victim = tmp / "victim", job = home() + "/subclients/1_7";
  const std::vector<std::string> asJob = {"-a", "1:7", "-j", "5", tree()};
  struct Row {
    std::string name;
    std::function<void()> plant;  // on a home made as the platform makes it
    std::vector<std::string> args;
    int code;
    std::string message;  // in stderr
  } rows[] = {
      {"kzfind.log", [&] { symlink((victim + "/file").c_str(), (home() + "/kzfind.log").c_str()); }, asJob, 0, ""},
      {"next-job-id", [&] { symlink((victim + "/file").c_str(), (home() + "/next-job-id").c_str()); }, {tree()}, 1,
       "cannot allocate a job id"},
      {"journal", [&] { symlink((victim + "/file").c_str(), (home() + "/jobs/6.jsonl").c_str()); },
       {"-a", "1:7", "-j", "6", tree()}, 2, "job 6 already has a journal"},
      {"DirChange.tmp", [&] { symlink((victim + "/file").c_str(), (job + "/DirChange.tmp").c_str()); }, asJob, 1,
       "Failed open dirchange file"},
      {"results-5.raw", [&] { symlink((victim + "/file").c_str(), (job + "/results-5.raw").c_str()); }, asJob, 0, ""},
      {"Collect1.kzf", [&] { symlink((victim + "/file").c_str(), (job + "/Collect1.kzf").c_str()); }, asJob, 0, ""},  // removed at Start
      {"history.jsonl", [&] { symlink((victim + "/file").c_str(), (job + "/history.jsonl").c_str()); }, asJob, 0, ""},
      {"failures.log", [&] { symlink((victim + "/file").c_str(), (job + "/failures.log").c_str()); },
       {"-a", "1:7", "-j", "5", tree(), tmp / "missing"}, 1, ""},
      {"job directory a link", [&] {
         rmdir(job.c_str());
         symlink(victim.c_str(), job.c_str());
       }, asJob, 1, "bad ownership or modes for directory " + job},
      {"home writable by others", [&] {
         chmod(home().c_str(), 0777);
         asUser(65534, [&] { return symlink((victim + "/file").c_str(), (home() + "/kzfind.log").c_str()); });
       }, asJob, 1,
       "bad ownership or modes for directory " + home() + " (owner uid 0, mode 0777)"},
      {"settings.json a FIFO", [&] { mkfifo((home() + "/settings.json").c_str(), 0600); }, asJob, 1,
       home() + "/settings.json is not a regular file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(home());
    std::filesystem::remove_all(victim);
    for (const std::string& d : {home(), home() + "/jobs", home() + "/subclients", job, victim})
      ASSERT_EQ(0, mkdir(d.c_str(), 0700));
    kztest::writeFile(victim + "/file", "secret");
    kztest::writeFile(victim + "/Collect.conf", "keep");
    row.plant();
    RunResult r = run(row.args);
    EXPECT_EQ(row.code, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(row.message)) << r.err;
    EXPECT_EQ(kztest::filesIn(victim),
              (std::map<std::string, std::string>{{"Collect.conf", "keep"}, {"file", "secret"}}));
  }
}

// A directory the scan may not read is a failure of that entry only: the scan goes on,
// says it is partial (exit 3), and the next incremental takes what it missed, whatever
// its times. A content path it may not read fails the scan.
TEST_F(IfindTest, PartialScanIsToldAndOwedToTheNextIncremental) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the scanner as another user";
  ASSERT_EQ(0, chmod(tmp.path().c_str(), 01777));  // the other user's home goes here
  make({"open/", "locked/", "open/f", "locked/secret"});
  const std::string locked = tree() + "/locked";
  ASSERT_EQ(0, chmod(locked.c_str(), 0));
  waitForNextSecond();
  RunResult text = run({"--quiet", tree()}, 65534);
  EXPECT_EQ(3, text.code);
  EXPECT_NE(std::string::npos, text.out.find(": PARTIAL")) << text.out;
  EXPECT_NE(std::string::npos, text.err.find("partial scan: 1 entry could not be read")) << text.err;
  EXPECT_NE(std::string::npos, text.err.find("  " + locked + ": opendir: Permission denied")) << text.err;

  json full = scan({tree()}, 3, 65534);
  EXPECT_EQ("partial", full["status"]);
  EXPECT_EQ(escapeFileName(locked.c_str()) + "|opendir: Permission denied\n", failuresOf(full));
  // The folder that failed is not a line, nor is anything below it.
  EXPECT_EQ(withAncestors({tree(), tree() + "/open", tree() + "/open/f"}, tree()), collectLines(full));
  EXPECT_NE(std::string::npos, run({"--history"}, 65534).out.find("partial"));

  // Fixed, with old times: still taken, once; then owed no more.
  ASSERT_EQ(0, chmod(locked.c_str(), 0755));
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (locked + "/secret").c_str(), old, 0));
  waitForNextSecond();
  json inc = scan({"--incremental", tree()}, 0, 65534);
  EXPECT_EQ(json::array({inc["files"], inc["baseJob"]}), json::array({1, full["jobId"]}));
  EXPECT_EQ(withAncestors({locked, locked + "/secret", tree()}, tree()), collectLines(inc));
  waitForNextSecond();
  EXPECT_EQ(0, scan({"--incremental", tree()}, 0, 65534)["files"]);

  // Names that can be listed but not stat'ed are still there: a changed folder's
  // entries in the directory-change file name them, so none is taken for deleted.
  make({"shut/", "shut/f"});
  ASSERT_EQ(0, chmod((tree() + "/shut").c_str(), 0444));
  json shut = scan({"--incremental", tree()}, 3, 65534);
  const std::string changes = readFile(shut["jobDir"].get<std::string>() + "/DirChange.tmp");
  EXPECT_NE(std::string::npos, changes.find("\n\t" + tree() + "/shut/f\n")) << changes;
  ASSERT_EQ(0, chmod((tree() + "/shut").c_str(), 0755));

  // A partial scan that cannot be recorded: an earlier base knows nothing of what it
  // owes, so the next incremental runs as a full scan.
  ASSERT_EQ(0, chmod(locked.c_str(), 0));
  const std::string scans = full["jobDir"].get<std::string>() + "/scans.jsonl";
  ASSERT_EQ(0, chmod(scans.c_str(), 0444));
  RunResult unrecorded = run({"--quiet", tree()}, 65534);
  EXPECT_EQ(3, unrecorded.code);
  EXPECT_NE(std::string::npos, unrecorded.err.find("history is cleared")) << unrecorded.err;
  ASSERT_EQ(0, chmod(locked.c_str(), 0755));
  EXPECT_EQ("full", scan({"--incremental", tree()}, 0, 65534)["type"]);

  // A content path that cannot be opened has nothing to offer: failed, never a base.
  ASSERT_EQ(0, chmod(locked.c_str(), 0));
  json none = scan({locked}, 1, 65534);
  EXPECT_EQ(json::array({none["status"], none["failure"]}), json::array({"failed", "a content path could not be scanned"}));
  EXPECT_EQ(2, journal(none)["complete"].value("status", 0));
  EXPECT_EQ("full", scan({"--incremental", locked}, 1, 65534)["type"]);  // no base: runs as a full scan
}

// A process limit that leaves fewer threads than asked for: the scan goes on with the
// threads it has (none but its own at the least) and misses nothing.
TEST_F(IfindTest, FewerThreadsThanAskedMissNothing) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the scanner as another user";
  ASSERT_EQ(0, chmod(tmp.path().c_str(), 01777));  // the other user's home goes here
  make({"a/", "a/b/", "a/b/f", "c/", "c/g", "h"});
  const std::vector<std::string> all = collectLines(scan({tree()}, 0, 65534));
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "not under the sanitizers: their leak check needs a thread of its own";
#endif
  for (int limit : {1, 2}) {
    SCOPED_TRACE(limit);
    EXPECT_EQ(all, collectLines(scan({"--threads", "8", tree()}, 0, As{.uid = 65534, .procLimit = limit})));
  }
}

// Running out of descriptors is the scanner's fault, never an entry's: the scan fails
// rather than succeed with what it could open.
TEST_F(IfindTest, ScannerOutOfDescriptorsFailsTheScan) {
  std::vector<std::string> dirs;
  for (const char* a : {"a/", "b/", "c/", "d/", "e/", "f/"}) {
    dirs.push_back(a);
    for (const char* b : {"1/", "2/", "3/", "4/", "5/", "6/"})
      for (const char* c : {"", "x/", "x/f"}) dirs.push_back(std::string(a) + b + c);
  }
  make(dirs);
  const std::vector<std::string> all = collectLines(scan({tree()}));
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' checks open pipes of their own: starved of descriptors they report
  // errors that are not the scanner's.
  GTEST_SKIP() << "not under the sanitizers";
#endif
  int shortInTheWalk = 0;
  for (int limit : {12, 13, 14, 15, 16, 24}) {
    SCOPED_TRACE(limit);
    RunResult r = run({"--json", "--quiet", "--threads", "8", tree()}, As{.fdLimit = limit});
    json s = json::parse(r.out, nullptr, false);
    if (!s.is_object()) {  // short before the scan began: said so, and nothing recorded
      EXPECT_EQ(1, r.code);
      EXPECT_NE(std::string::npos, r.err.find("Too many open files")) << r.err;
    } else if (r.code == 0) {
      EXPECT_EQ(all, collectLines(s));  // enough descriptors after all: then everything
    } else {
      EXPECT_EQ(json::array({1, "failed"}), json::array({r.code, s["status"]})) << r.err;
      shortInTheWalk += s["entries"].get<long long>() > 0;
    }
  }
  EXPECT_GT(shortInTheWalk, 0);  // one of the limits ran out in the walk itself
}

// Two scans of one subclient never run together: the second refuses (exit 4) or waits.
TEST_F(IfindTest, OneScanPerSubclientAtATime) {
  make({"f"});
  json first = scan({tree()});
  kzhost::LocalPlatform other([&] {
    kzhost::LocalPlatform::Settings s;
    s.home = home();
    return s;
  }());
  const auto minor = static_cast<uint32_t>(ifind::contentSubclientId({tree()}));
  other.setSubclientLabel(1, minor, tree());
  ASSERT_EQ(first["jobDir"], other.subclientDir(1, minor));  // named after its paths
  ASSERT_EQ(0, other.lockSubclient(1, minor, 0));
  RunResult busy = run({"--quiet", tree()});
  EXPECT_EQ(4, busy.code);
  EXPECT_NE(std::string::npos, busy.err.find("another scan of these paths is running (pid " + std::to_string(getpid())))
      << busy.err;
  RunResult waited = run({"--quiet", "--wait", "1", tree()});
  EXPECT_EQ(4, waited.code);
  EXPECT_NE(std::string::npos, waited.err.find("waiting up to 1 s")) << waited.err;
  // Another subclient is not held up, and job ids follow one another across refused runs.
  ASSERT_EQ(0, mkdir((tmp / "other").c_str(), 0755));
  EXPECT_EQ(first["jobId"].get<long long>() + 1, scan({tmp / "other"})["jobId"].get<long long>());
}

// A directory mounted below itself is reported once as a loop, not walked forever.
TEST_F(IfindTest, BindMountLoopIsAFailureOfOneEntry) {
  make({"a/", "a/b/", "a/f"});
  const std::string out = tmp / "loop.json";
  const std::string cmd = "unshare -m sh -c 'mount --bind " + tree() + " " + tree() +
                          "/a/b 2>/dev/null || exit 99; KZFIND_HOME=" + home() + " " + IFIND_BINARY +
                          " --json --quiet " + tree() + " >" + out + " 2>/dev/null' 2>/dev/null";
  int status = system(cmd.c_str());
  // 99: the bind mount was refused; otherwise unshare itself failed before ifind ran.
  if (readFile(out).empty()) GTEST_SKIP() << "no private mount namespace here (status " << status << ")";
  json s = json::parse(readFile(out), nullptr, false);
  ASSERT_TRUE(s.is_object());
  EXPECT_TRUE(s["succeeded"].get<bool>());
  EXPECT_EQ(escapeFileName((tree() + "/a/b").c_str()) + "|loop: Too many levels of symbolic links\n", failuresOf(s));
}

// Paths inside another content path are walked once; a missing one fails the job.
TEST_F(IfindTest, ContentPaths) {
  make({"sub/", "sub/f", "g", "a/", "a/b/", "a/b/deep"});
  json alone = scan({tree()});
  json nested = scan({tree() + "/sub", tree() + "/./", tree() + "/sub/f"});
  EXPECT_EQ(json::array({tree()}), nested["contentPaths"]);
  EXPECT_EQ(collectLines(alone), collectLines(nested));
  EXPECT_EQ(alone["jobDir"], nested["jobDir"]);  // the same subclient for the same paths
  EXPECT_TRUE(alone["jobDir"].get<std::string>().ends_with("-tree")) << alone["jobDir"];  // named after them
  EXPECT_TRUE(scan({"--name", "My Data/2", tree()})["jobDir"].get<std::string>().ends_with("-My-Data-2"));

  json s = scan({tree(), tmp / "missing"}, 1);
  EXPECT_EQ(json::array({s["succeeded"], s["failures"]}), json::array({false, 1}));
  EXPECT_EQ(2, journal(s)["complete"].value("status", 0));
  EXPECT_EQ(escapeFileName((tmp / "missing").c_str()) + "|lstat: No such file or directory\n", failuresOf(s));

  // Siblings that share a prefix are two paths, both walked.
  ASSERT_EQ(0, mkdir((tree() + "2").c_str(), 0755));
  EXPECT_EQ(json::array({tree(), tree() + "2"}), scan({tree() + "2", tree()})["contentPaths"]);

  // ".." climbs from where a link leads, as the kernel does; a link named last is
  // recorded as a link unless -H asks for what it points to.
  ASSERT_EQ(0, symlink((tree() + "/a/b").c_str(), (tree() + "/link").c_str()));
  EXPECT_EQ(json::array({tree() + "/a"}), scan({tree() + "/link/.."})["contentPaths"]);
  RunResult linkOnly = run({"--json", "--quiet", tree() + "/link"});
  EXPECT_NE(std::string::npos, linkOnly.err.find("is a symbolic link to a directory")) << linkOnly.err;
  EXPECT_EQ(1, json::parse(linkOnly.out)["files"]);
  EXPECT_EQ(withAncestors({tree() + "/link", tree() + "/link/deep"}, tree() + "/link"),
            collectLines(scan({"-H", tree() + "/link"})));

  // Everything after "--" is a path, even what looks like a phase option.
  make({"-a/", "7:7/"});
  json dashed = scan({"--", "-a", "7:7"}, 0, As{.cwd = tree()});
  EXPECT_EQ(json::array({tree() + "/-a", tree() + "/7:7"}), dashed["contentPaths"]);
  EXPECT_FALSE(dashed["jobDir"].get<std::string>().ends_with("/1_7"));

  // No current directory: a relative path names nothing, and nothing is scanned.
  ASSERT_EQ(0, mkdir((tmp / "gone").c_str(), 0755));
  RunResult gone = run({"."}, As{.cwd = tmp / "gone", .cwdGone = true});
  EXPECT_EQ(2, gone.code);
  EXPECT_NE(std::string::npos, gone.err.find("the current directory no longer exists")) << gone.err;
  EXPECT_EQ("", gone.out);
}

TEST_F(IfindTest, IncrementalAfterFullRecordsOnlyWhatChanged) {
  make({"a/", "b/", "c/", "a/x", "a/y", "b/old", "c/z"});
  waitForNextSecond();
  json full = scan({tree()});
  waitForNextSecond();
  kztest::writeFile(tree() + "/a/x", "more");  // a file changed in place: its directory did not change
  make({"b/new"});                              // a new file: its directory changed

  json inc = scan({"-f", "2", tree()});
  EXPECT_EQ(full["jobDir"], inc["jobDir"]);
  // The reference time is the start time the full handed on.
  const std::string fullParams = full["phaseParams"].get<std::string>();
  const long long fullStart = atoll(fullParams.c_str() + fullParams.find(" -r ") + 4);
  EXPECT_EQ(json::array({inc["referenceTime"], inc["files"]}), json::array({fullStart, 2}));
  EXPECT_EQ(withAncestors({tree() + "/a/x", tree() + "/b/new", tree() + "/a", tree() + "/b", tree()}, tree()),
            collectLines(inc));

  // The changed directory is a top line, its entries child lines.
  std::vector<std::string> lines = splitLines(readFile(inc["jobDir"].get<std::string>() + "/DirChange.tmp"));
  ASSERT_EQ(4u, lines.size());
  std::sort(lines.begin() + 2, lines.end());
  EXPECT_EQ((std::vector<std::string>{"Version2", tree() + "/b", "\t" + tree() + "/b/new", "\t" + tree() + "/b/old"}),
            lines);

  // At the default level the log names none of the changed folder's entries; a trace does.
  EXPECT_EQ(std::string::npos, readFile(home() + "/kzfind.log").find(tree() + "/b"));

  // A differential compares with the full, so it takes both changes again.
  json diff = scan({"--differential", "--debug-level", "1", tree()});
  EXPECT_EQ(json::array({diff["files"], diff["referenceTime"]}), json::array({2, fullStart}));
  EXPECT_NE(std::string::npos, readFile(home() + "/kzfind.log").find(tree() + "/b/new"));

  // Everything the runs left is private to the user who ran them.
  for (const auto& e : std::filesystem::recursive_directory_iterator(home())) {
    struct stat st;
    ASSERT_EQ(0, lstat(e.path().c_str(), &st));
    EXPECT_EQ(e.is_directory() ? 040700u : 0100600u, st.st_mode) << e.path();
  }

  // Forgetting old journals keeps what later scans compare with.
  EXPECT_EQ("ifind: removed 2 journals, kept 1\n", run({"--forget", "1", tree()}).out);
  EXPECT_EQ(1u, json::parse(run({"--history", "--json", tree()}).out)["jobs"].size());
  EXPECT_EQ(diff["jobId"], scan({"--incremental", tree()})["baseJob"]);
}

// What an incremental compares with besides times: a folder moved in keeps its old
// times and is taken whole; links and other entries are stat'ed like files; a changed
// selection, or no earlier scan, makes it a full scan, said so.
TEST_F(IfindTest, IncrementalTakesWhatTimesDoNotShow) {
  make({"a/", "a/old", "sel/", "sel/x.log", "sel/y.txt"});
  ASSERT_EQ(0, symlink("a/old", (tree() + "/oldlink").c_str()));
  ASSERT_EQ(0, mkfifo((tree() + "/oldfifo").c_str(), 0644));
  kztest::makeTree(tmp.path(), {"away/", "away/sub/", "away/sub/m"});
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (tmp / "away/sub/m").c_str(), old, 0));
  RunResult first = run({"--json", "--quiet", "--incremental", tree()});
  EXPECT_NE(std::string::npos, first.err.find("no earlier scan of these paths: running a full scan")) << first.err;
  EXPECT_EQ("full", json::parse(first.out)["type"]);
  waitForNextSecond();
  json full = scan({"--exclude", "*.log", tree()});

  waitForNextSecond();
  ASSERT_EQ(0, rename((tmp / "away").c_str(), (tree() + "/a/moved").c_str()));
  ASSERT_EQ(0, symlink("nowhere", (tree() + "/newlink").c_str()));
  json inc = scan({"--exclude", "*.log", "--incremental", tree()});
  EXPECT_EQ(json::array({inc["type"], inc["baseJob"], inc["takenWhole"]}), json::array({"incremental", full["jobId"], 1}));
  EXPECT_EQ(withAncestors({tree() + "/a/moved", tree() + "/a/moved/sub", tree() + "/a/moved/sub/m", tree() + "/newlink",
                           tree() + "/a", tree()},
                          tree()),
            collectLines(inc));

  // Without the exclude the selection is another: a full scan takes x.log, even when
  // the reference time is given by hand.
  const std::string ref = std::to_string(inc["referenceTime"].get<long long>());
  RunResult widened = run({"--json", "--quiet", "--incremental", "-r", ref, tree()});
  EXPECT_NE(std::string::npos, widened.err.find("changed since job " + std::to_string(inc["jobId"].get<long long>())))
      << widened.err;
  json w = json::parse(widened.out);
  EXPECT_EQ(json::array({w["type"], w["files"]}), json::array({"full", 7}));
  EXPECT_NE(std::string::npos, w["note"].get<std::string>().find("ran as a full scan"));
}

// Times have whole seconds: a file made in the very second the reference scan started
// may have been made after that scan read its folder, so that second counts as new.
TEST_F(IfindTest, IncrementalTakesTheReferenceSecondItself) {
  make({"d/"});
  for (int attempt = 0; attempt < 5; ++attempt) {
    waitForNextSecond();
    json full = scan({tree()});
    const std::string params = full["phaseParams"].get<std::string>();
    const long long start = atoll(params.c_str() + params.find(" -r ") + 4);
    const std::string name = "late" + std::to_string(attempt);
    kztest::writeFile(tree() + "/d/" + name, "x");
    if (time(nullptr) != start) continue;  // the second is over: try again
    json inc = scan({"--incremental", tree()});
    EXPECT_EQ(start, inc["referenceTime"]);
    EXPECT_EQ(withAncestors({tree(), tree() + "/d", tree() + "/d/" + name}, tree()), collectLines(inc));
    return;
  }
  GTEST_SKIP() << "no scan finished within the second it started";
}

// --one-file-system is part of the selection: dropping it takes the mount's files.
TEST_F(IfindTest, OneFileSystemAndItsSelection) {
  make({"m/", "f"});
  const std::string out = tmp / "runs";
  const std::string ifind = std::string("KZFIND_HOME=") + home() + " " + IFIND_BINARY + " --json --quiet ";
  const std::string cmd = "unshare -m sh -c 'mount -t tmpfs none " + tree() + "/m 2>/dev/null || exit 99; echo x >" +
                          tree() + "/m/inside; " + ifind + "--one-file-system " + tree() + " >" + out + "1; " + ifind +
                          "--incremental " + tree() + " >" + out + "2' 2>/dev/null";
  int status = system(cmd.c_str());
  if (readFile(out + "2").empty()) GTEST_SKIP() << "no private mount namespace or tmpfs here (status " << status << ")";
  json one = json::parse(readFile(out + "1")), inc = json::parse(readFile(out + "2"));
  // Both runs write the same collect files: the first is known by its counts.
  EXPECT_EQ(json::array({one["files"], one["directories"]}), json::array({1, 2}));
  EXPECT_EQ("full", inc["type"]);
  EXPECT_EQ(withAncestors({tree(), tree() + "/f", tree() + "/m", tree() + "/m/inside"}, tree()), collectLines(inc));
}

TEST_F(IfindTest, DeepTree) {
  const int depth = 3000;
  kztest::makeChain(tree(), "d", depth, "bottom");
  std::vector<std::string> want = {tree()};
  for (int i = 0; i < depth; ++i) want.push_back(want.back() + "/d");
  want.push_back(want.back() + "/bottom");
  EXPECT_EQ(withAncestors(want, tree()), collectLines(scan({tree()})));
  // Several "**" against deep paths: matched in the paths' time, not by trying every split.
  EXPECT_EQ(withAncestors(want, tree()), collectLines(scan({"--exclude", "**/d/**/d/**/x", tree()})));
}

TEST_F(IfindTest, ExcludesAndTheFilterFile) {
  make({"keep/", "skipdir/", "byfile/", "keep/a.txt", "keep/b.tmp", "skipdir/c.txt", "byfile/d.txt"});
  json first = scan({"--exclude", "*.tmp", "--exclude=skipdir", tree()});
  auto under = [&](std::vector<std::string> rels) {  // the lines of a scan that records these entries
    for (std::string& r : rels) r = tree() + "/" + r;
    rels.push_back(tree());
    return withAncestors(rels, tree());
  };
  EXPECT_EQ(under({"keep", "byfile", "keep/a.txt", "byfile/d.txt"}), collectLines(first));
  EXPECT_EQ(2u, first["excluded"].get<uint64_t>());  // b.tmp, skipdir (its content is never seen)

  kztest::writeFile(first["jobDir"].get<std::string>() + "/filters", "# comment\n\n" + tree() + "/byfile\n");
  EXPECT_EQ(under({"keep", "skipdir", "keep/a.txt", "keep/b.tmp", "skipdir/c.txt"}), collectLines(scan({tree()})));

  // A file of patterns, a folder anchored at the content path, caches and marked folders.
  make({"c/", "c/CACHEDIR.TAG", "c/blob", "c/sub/", "c/sub/x", "n/", "n/.nobackup", "n/y", "keep/deep/", "keep/deep/z"});
  kztest::writeFile(tree() + "/c/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n");
  kztest::writeFile(tmp / "patterns", "# mine\n*.tmp\n" + tree().substr(tree().rfind('/') + 1) + "/skipdir\nkeep/**/z\n");
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  for (const char* f : {"c/blob", "c/sub/x"}) ASSERT_EQ(0, utimensat(AT_FDCWD, (tree() + "/" + f).c_str(), old, 0));
  waitForNextSecond();
  const std::vector<std::string> opts = {"--exclude-from", tmp / "patterns", "--exclude-caches", "--exclude-if-present",
                                         ".nobackup"};
  auto scanWith = [&](std::vector<std::string> args) {
    args.insert(args.begin(), opts.begin(), opts.end());
    return scan(args);
  };
  json more = scanWith({tree()});
  EXPECT_EQ(under({"keep", "keep/a.txt", "keep/deep", "c", "c/CACHEDIR.TAG"}), collectLines(more));

  // A cache no longer: its files are old, and no scan has taken them yet.
  ASSERT_EQ(0, unlink((tree() + "/c/CACHEDIR.TAG").c_str()));
  waitForNextSecond();
  EXPECT_EQ(under({"c", "c/blob", "c/sub", "c/sub/x"}), collectLines(scanWith({"--incremental", tree()})));
}

// Both ways of matching give each answer: trying each split, and every position at once.
TEST(Glob, BothWaysAgree) {
  std::string deep;
  for (int i = 0; i < 60; ++i) deep += "d/";
  const struct {
    std::string pattern, text;
    bool match;
  } rows[] = {
      {"*.log", "b.log", true},       {"*.log", "a/b.log", false},     {"a/**/c", "a/c", true},
      {"a/**/c", "a/b/b/c", true},    {"a**c", "ab/c", true},          {"**/", "ab", false},
      {"**/", "", true},              {"****/", "ab", true},           {"a*/**/", "ab/", true},
      {"?", "/", false},              {"?.c", "a.c", true},            {"[!a-z]*", "abc", false},
      {"[!a-z]*", "Abc", true},       {"[]]x", "]x", true},
      {"[ab", "[ab", true},           {"\\*", "*", true},              {"\\*", "x", false},
      {"a\\", "a\\", true},           {"**/d/**/d/**/x", deep + "y", false},
      {"**/d/**/d/**/x", deep + "x", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.pattern + " " + r.text.substr(0, 20));
    EXPECT_EQ(r.match, ifind::globMatch(r.pattern, r.text));
    EXPECT_EQ(r.match, ifind::globMatchAtOnce(r.pattern, r.text));
  }
}

// Patterns as users of other backup and copy tools write them.
TEST(ExcludeRules, Table) {
  struct {
    const char* pattern;
    const char* path;  // below the content path /srv/tree
    bool isDir;
    bool excluded;
  } rows[] = {
      {"*.log", "/srv/tree/a/b.log", false, true},     {"*.log", "/srv/tree/a.log/x", false, false},
      {"cache/", "/srv/tree/x/cache", true, true},     {"cache/", "/srv/tree/x/cache", false, false},
      {"tree/cache", "/srv/tree/cache", true, true},   {"cache", "/srv/tree/x/cache", false, true},
      {"x/cache", "/srv/tree/x/cache", true, true},    {"x/cache", "/srv/tree/y/x/cache", true, false},
      {"a/*/c", "/srv/tree/a/b/c", false, true},       {"a/*/c", "/srv/tree/a/b/b/c", false, false},
      {"a/**/c", "/srv/tree/a/b/b/c", false, true},    {"a/**/c", "/srv/tree/a/c", false, true},
      {"/srv/tree/a", "/srv/tree/a", true, true},      {"/srv/*/a", "/srv/tree/a", true, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.pattern) + " " + r.path);
    ifind::ExcludeRules rules;
    rules.add(r.pattern);
    EXPECT_EQ(r.excluded, rules.excluded(r.path, "/srv/tree", r.isDir));
  }
}

TEST(IfindMounts, ParsesMountInfo) {
  std::vector<ifind::MountInfo> m = ifind::parseMountInfo(
      "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
      "40 22 8:1 / /mnt/with\\040space\\134x rw - ext4 /dev/sda1 rw,errors=remount-ro\n"
      "garbage\n"
      "41 22 0:50 / /m rw master:1 propagation:x - tmpfs tmpfs rw\n");
  ASSERT_EQ(3u, m.size());
  EXPECT_EQ(makedev(0, 21), m[0].dev);
  EXPECT_EQ("/mnt/with space\\x|ext4|/dev/sda1",
            m[1].entry.mnt_dir + "|" + m[1].entry.mnt_type + "|" + m[1].entry.mnt_fsname);
  EXPECT_EQ("tmpfs", m[2].entry.mnt_type);
  EXPECT_TRUE(ifind::isPseudoFileSystem("cgroup2"));
  EXPECT_FALSE(ifind::isPseudoFileSystem("tmpfs") || ifind::isPseudoFileSystem("ramfs"));  // they hold data

  // Automount points below a content path are named, the outermost of nested ones once;
  // one that is a content path, or lies elsewhere, is not.
  std::vector<mntfs_ent> mounts;
  for (const char* where : {"/net/a", "/home", "/net", "/srv", "/home2", "/home/x/auto", "/proc/sys/fs/binfmt_misc"})
    mounts.push_back({where, "autofs", "auto"});
  mounts.push_back({"/proc", "proc", "proc"});
  mounts.push_back({"/home/alice", "nfs", "server:/home/alice"});
  EXPECT_EQ(ifind::automountsBelow(mounts, {"/", "/srv"}), (std::vector<std::string>{"/home", "/net", "/home2"}));
  EXPECT_EQ(ifind::automountsBelow(mounts, {"/home"}), (std::vector<std::string>{"/home/x/auto"}));
}

}  // namespace

namespace {

// A scan's lists as the scanner leaves them: one directory, and the failed paths given.
void keepScan(const std::string& jobDir, long long id, int type, bool partial, std::vector<std::string> failed) {
  ifind::ScanStateWriter w;
  ASSERT_TRUE(w.open(jobDir, id));
  w.addDir(1, 2, "/t/new\nline");
  for (const std::string& f : failed) w.addFailed(f);
  ASSERT_TRUE(w.close());
  ASSERT_TRUE(ifind::recordScan(jobDir, {id, partial, type, id * 100, "S", {}, {}}));
}

}  // namespace

// The base of a later scan, and when there is none.
TEST(ScanState, BaseAndWhatIsOwed) {
  kztest::TempDir dir;
  const std::string jd = dir.path();
  std::string why;
  EXPECT_FALSE(ifind::findBase(jd, 2, "S", why));
  EXPECT_EQ("no earlier scan of these paths", why);
  keepScan(jd, 1, 1, true, {"/t/a|b"});
  kztest::writeFile(jd + "/scans.jsonl", readFile(jd + "/scans.jsonl") + "not json\n{\"jobId\": \"2\"}\n");
  keepScan(jd, 2, 2, true, {"/t/c"});

  auto inc = ifind::findBase(jd, 2, "S", why);
  ASSERT_TRUE(inc);
  EXPECT_EQ(json::array({inc->jobId, inc->referenceTime, inc->carried.size()}), json::array({2, 200, 1}));
  EXPECT_TRUE(inc->dirs.contains({1, 2, ifind::pathHash("/t/new\nline")}));
  auto diff = ifind::findBase(jd, 4, "S", why);
  ASSERT_TRUE(diff);
  EXPECT_EQ(json::array({diff->jobId, diff->carried.contains("/t/a|b"), diff->carried.contains("/t/c")}),
            json::array({1, true, true}));

  EXPECT_FALSE(ifind::findBase(jd, 2, "T", why));
  EXPECT_EQ("what is selected (paths, excludes, filters or file-system options) changed since job 2", why);
  const std::string dirs2 = readFile(jd + "/scans/2.dirs");
  kztest::writeFile(jd + "/scans/2.dirs", dirs2.substr(0, dirs2.size() - 1));  // cut short
  EXPECT_FALSE(ifind::findBase(jd, 2, "S", why));
  EXPECT_EQ("the directory list of job 2 is missing or damaged", why);
  ASSERT_EQ(0, unlink((jd + "/scans/1.failed").c_str()));
  EXPECT_FALSE(ifind::findBase(jd, 4, "S", why));
  EXPECT_EQ("the failures list of job 1 is missing or damaged", why);

  // A new full leaves nothing earlier that a base could need.
  keepScan(jd, 3, 1, false, {});
  EXPECT_EQ(-1, access((jd + "/scans/2.dirs").c_str(), F_OK));
  EXPECT_EQ(0, access((jd + "/scans/3.dirs").c_str(), F_OK));

  // Records no scan can use (and damaged lines) gather until they are worth a rewrite.
  for (long long id = 4; id <= 62; ++id) ASSERT_TRUE(ifind::recordScan(jd, {id, false, 1, id * 100, "S", {}, {}}));
  ASSERT_TRUE(ifind::recordScan(jd, {63, false, 2, 6300, "S", {}, {}}));
  EXPECT_EQ(kztest::splitLines(readFile(jd + "/scans.jsonl")).size(), 65u);  // 1, two damaged, 2 to 63
  keepScan(jd, 64, 1, false, {});
  const std::vector<std::string> left = kztest::splitLines(readFile(jd + "/scans.jsonl"));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(json::parse(left[0])["jobId"], 64);
  auto base = ifind::findBase(jd, 2, "S", why);
  ASSERT_TRUE(base) << why;
  EXPECT_EQ(base->jobId, 64);
}

// The previous outputs held across Start: only large regular files, and every one let go,
// so the space of what Start unlinked comes back during the scan, not at its exit.
TEST(ScanState, LargeOutputsAreHeldThenLetGo) {
  kztest::TempDir dir;
  const std::string d = dir.path();
  kztest::writeFile(d + "/Collect1.kzf", std::string(ifind::HeldOutputs::kLarge, 'x'));
  kztest::writeFile(d + "/small", "x\n");
  ASSERT_EQ(0, symlink((d + "/Collect1.kzf").c_str(), (d + "/link").c_str()));
  ASSERT_EQ(0, mkdir((d + "/sub").c_str(), 0700));
  auto heldIn = [&](const std::string& tail = "") {  // descriptors open on d's entries
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
      n += target.starts_with(d + "/") && target.ends_with(tail);
    }
    return n;
  };
  {
    ifind::HeldOutputs held(d);
    EXPECT_EQ(heldIn(), 1);
    ASSERT_EQ(0, unlink((d + "/Collect1.kzf").c_str()));  // as Start does
    EXPECT_EQ(heldIn("Collect1.kzf (deleted)"), 1);
    held.releaseInBackground();
  }
  EXPECT_EQ(heldIn(), 0);
}
