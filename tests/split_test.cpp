// splitCollectFiles over real collect files in a temp folder, through the recording fake.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "support/WriterSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSig = "virtual CLoError KzFind::splitCollectFiles()";

using kztest::readFile;
using kztest::writeFile;
using Files = std::map<std::string, std::string>;

class Split : public ::testing::Test {
 protected:
  void SetUp() override { kztest::useCollectDir(m_scan, m_dir.path(), "C", "L"); }

  std::string collect(int n) const { return m_dir / ("C" + std::to_string(n) + ".L"); }
  std::string scratch(int n) const { return m_dir / ("C" + std::to_string(n) + ".tmp"); }
  std::string config() const { return m_dir / "split_config"; }

  // Only collect files 1..n, with the given contents and sizes, in the folder.
  void makeCollectFiles(const std::vector<std::string>& contents, std::vector<long long> sizes = {}) {
    for (const auto& e : fs::directory_iterator(m_dir.path())) fs::remove_all(e.path());
    for (size_t i = 0; i < contents.size(); ++i) writeFile(collect(static_cast<int>(i) + 1), contents[i]);
    for (size_t i = 0; i < sizes.size(); ++i)
      if (sizes[i]) m_scan.m_collectInfo[static_cast<int>(i) + 1].totalSize = sizes[i];
    m_scan.m_nextCollectNum = static_cast<int32_t>(contents.size()) + 1;
  }

  kzhost::ScopedFakePlatform m_fake;
  kztest::TempDir m_dir;
  KzFind m_scan;
};

TEST_F(Split, WorkedExample) {
  makeCollectFiles({"/a/x|100\n-/a/y|50\n/a/e|0\n/a\n", "", "/b/z|7000"}, {150, 0, 7000});
  m_scan.m_numStreams = 2;
  m_scan.m_subclientFlag = true;
  CLoError e = m_scan.splitCollectFiles();
  ASSERT_FALSE(e.IsError()) << e.ToString();
  // An empty collect file has no stream.
  EXPECT_EQ(kztest::filesIn(m_dir.path()), (Files{{"C1.L", "/a/x\n-/a/y\n/a/e\n/a\n"}, {"C2.L", ""}, {"C3.L", "/b/z\n"},
                                                 {"split_config", "1\n3\n"}}));
  EXPECT_EQ(m_scan.m_curCollectNum, 3);
  EXPECT_EQ(m_scan.m_collectPath, collect(3));
  EXPECT_EQ(m_scan.m_nextCollectNum, 4);
  std::vector<std::string> logged;  // "<level> <text>"
  for (const kzhost::DebugRecord& r : m_fake->debugLines()) {
    if (r.function == kSig) logged.push_back(std::to_string(r.level) + " " + r.text);
  }
  auto processing = [&](int n) { return "0 Processing file " + std::to_string(n) + " :" + collect(n) + ":"; };
  auto size = [](std::string s) { return "2 Size of this collect file no " + s + ", SizePerCollectFile = 0"; };
  EXPECT_EQ(logged, (std::vector<std::string>{processing(1), size("1 = 150"), processing(2),
                                              "1 no data in " + collect(2), processing(3), size("3 = 7000")}));
}

// A collect file of one name is moved aside rather than copied; what it was must not
// show: it keeps its permissions, and a file with a second name is rewritten in place.
TEST_F(Split, RewrittenCollectFilesKeepTheirModeAndOtherNames) {
  makeCollectFiles({"/a|1\n", "/b|2\n"});
  ASSERT_EQ(chmod(collect(1).c_str(), 0640), 0);
  const std::string other = m_dir / "other";
  ASSERT_EQ(link(collect(2).c_str(), other.c_str()), 0);
  ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
  EXPECT_EQ(kztest::filesIn(m_dir.path()), (Files{{"C1.L", "/a\n"}, {"C2.L", "/b\n"}, {"other", "/b\n"},
                                                 {"split_config", "1\n2\n"}}));
  EXPECT_EQ(fs::status(collect(1)).permissions(), fs::perms(0640));
}

TEST_F(Split, OpenFailuresStopTheRunWithTheOpenErrno) {
  struct Case {
    std::string failPrefix;  // fake: opens of this path fail (EACCES)
    int second;              // collect file 2: 0 as made, 1 missing, 2 a link to its lines
    int err;
    std::string path;    // in the error and, when logged, in the Error line
    bool logged;
    bool scratchLeft;
  } cases[] = {
      {"", 1, ENOENT, collect(2), true, false},
      {"", 2, ELOOP, collect(2), true, false},  // never read through a link
      {scratch(2), 0, EACCES, scratch(2), true, false},
      {collect(2), 0, EACCES, collect(2), false, true},  // collect file re-created
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    m_fake->clear();
    m_fake->switches().failOpenPrefix = c.failPrefix;
    makeCollectFiles({"/a|1\n", "/b|2\n", "/c|3\n"});
    if (c.second) fs::remove(collect(2));
    if (c.second == 2) {
      kztest::writeFile(m_dir.path() + "/elsewhere", "/b|2\n");
      fs::create_symlink(m_dir.path() + "/elsewhere", collect(2));
    }
    kztest::expectError(m_scan.splitCollectFiles(), c.err, "Failed to open " + c.path, kSig);
    EXPECT_EQ(m_fake->logged("Failed to open " + c.path), c.logged);
    EXPECT_EQ(readFile(collect(1)) + readFile(config()), "/a\n1\n");
    EXPECT_EQ(readFile(collect(2)), c.second == 1 ? "" : "/b|2\n");  // never lost
    fs::remove(m_dir.path() + "/elsewhere");
    EXPECT_EQ(fs::exists(scratch(2)), c.scratchLeft);
    EXPECT_EQ(readFile(collect(3)), "/c|3\n");
  }
}

// Case A: "split_config" cannot be created. Case E: the scratch copy cannot be opened
// again (no descriptor is left once the collect file has been re-created); the collect
// file stays empty and its lines wait in the scratch copy for the next start to clear.
TEST_F(Split, SplitConfigOrScratchCopyThatCannotBeOpened) {
  m_scan.m_collectDir = collect(1);  // a regular file where a directory is expected
  writeFile(m_scan.m_collectDir, "x");
  m_scan.m_nextCollectNum = 2;
  kztest::expectError(m_scan.splitCollectFiles(), ENOTDIR, "Failed to open " + collect(1) + "/split_config", kSig);
  m_scan.m_collectDir = m_dir.path();

  struct NoDescriptorAfter : kzhost::FakePlatform {
    std::string path;  // after this file is created, every descriptor is taken
    std::vector<int> held;
    rlimit saved{};
    FILE* openFile(const char* p, const char* mode) override {
      FILE* fp = FakePlatform::openFile(p, mode);
      if (fp && path == p && strcmp(mode, "w") == 0) {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(fileno(fp)) + 1;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = dup(0)) >= 0;) held.push_back(fd);
      }
      return fp;
    }
  };
  auto platform = std::make_unique<NoDescriptorAfter>();
  NoDescriptorAfter& fake = *platform;
  fake.setDebugLevel(9);
  fake.path = collect(2);
  auto previous = kzhost::Platform::install(std::move(platform));
  makeCollectFiles({"/a|1\n", "/b|2\n", "/c|3\n"});
  CLoError e = m_scan.splitCollectFiles();
  setrlimit(RLIMIT_NOFILE, &fake.saved);
  for (int fd : fake.held) close(fd);
  EXPECT_TRUE(fake.logged("Failed to open " + scratch(2)));
  kzhost::Platform::install(std::move(previous));
  kztest::expectError(e, EMFILE, "Failed to open " + scratch(2), kSig);
  EXPECT_EQ(kztest::filesIn(m_dir.path()), (Files{{"C1.L", "/a\n"}, {"C2.L", ""}, {"C2.tmp", "/b|2\n"},
                                                 {"C3.L", "/c|3\n"}, {"split_config", "1\n"}}));
}

// The folder holding split_config and collect files 1, 2, ... with these contents.
Files withConfig(const std::string& config, const std::vector<std::string>& collect) {
  Files out = {{"split_config", config}};
  for (size_t n = 1; n <= collect.size(); ++n) out["C" + std::to_string(n) + ".L"] = collect[n - 1];
  return out;
}

// Lines "/<tag><k>" for k in [from, to), with the size field "|<size>" unless size is empty.
std::string lines(const char* tag, int from, int to, std::string size = "") {
  if (!size.empty()) size.insert(0, "|");
  std::string text;
  for (int k = from; k < to; ++k) text += "/" + std::string(tag) + std::to_string(k) + size + "\n";
  return text;
}

// A piece ends with the line that reaches the target size, the last takes the rest.
// After a cut every collect file with data, the pieces included in their own turn, gets
// three numbers: its own, m_nextCollectNum when its turn began, and its last piece's.
TEST_F(Split, CuttingSpreadsCollectFilesOverTheStreams) {
  struct Case {
    std::vector<std::string> files;
    std::vector<long long> sizes;
    int streams;
    const char* config;
    std::vector<std::string> pieces;  // collect files 1, 2, ... afterwards
    std::vector<std::string> cutLines = {};  // the "Will split" lines, when checked
  } cases[] = {
      // Target 250 bytes: 25 lines of 10.
      {{lines("f", 0, 100, "10")}, {1000}, 4, "1 2 4\n2 5 2\n3 5 3\n4 5 4\n",
       {lines("f", 0, 25), lines("f", 25, 50), lines("f", 50, 75), lines("f", 75, 100)}},
      // Target 10025 bytes.
      {{lines("f", 0, 401, "100")}, {40100}, 4, "1 2 4\n2 5 2\n3 5 3\n4 5 4\n",
       {lines("f", 0, 101), lines("f", 101, 202), lines("f", 202, 303), lines("f", 303, 401)}},
      // Target 253: room for two pieces.
      {{lines("a", 0, 10, "100"), "/b|10\n"}, {1000, 10}, 4, "1 3 4\n2 5 2\n3 5 3\n4 5 4\n",
       {lines("a", 0, 3), "/b\n", lines("a", 3, 6), lines("a", 6, 10)}},
      // Exactly at the target: the cut follows the first line.
      {{"/a|50\n/b|50\n"}, {100}, 2, "1 2 2\n2 3 2\n", {"/a\n", "/b\n"},
       {"2 Will split collect file: curr Size 50 file size set to 50"}},
      // Size fields read as atoll reads them: blanks and a sign, more than 18 digits, a tail.
      {{"/a| +30\n/b|0000000000000000000020\n/c|5x\n/d|1\n"}, {110}, 2, "1 2 2\n2 3 2\n", {"/a\n/b\n/c\n", "/d\n"},
       {"2 Will split collect file: curr Size 55 file size set to 5"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    m_fake->clear();
    makeCollectFiles(c.files, c.sizes);
    m_scan.m_numStreams = c.streams;
    m_scan.m_subclientFlag = true;
    ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
    EXPECT_EQ(kztest::filesIn(m_dir.path()), withConfig(c.config, c.pieces));
    const auto last = static_cast<int32_t>(c.pieces.size());
    EXPECT_TRUE(m_scan.m_curCollectNum == last && m_scan.m_collectPath == collect(last));
    std::vector<std::string> cuts;
    for (const kzhost::DebugRecord& r : m_fake->debugLines()) {
      if (r.text.starts_with("Will split")) cuts.push_back(std::to_string(r.level) + " " + r.text);
    }
    EXPECT_EQ(cuts.size(), c.pieces.size() - c.files.size());
    if (!c.cutLines.empty()) {
      EXPECT_EQ(cuts, c.cutLines);
    }
  }

  // A piece that cannot be created stops the run: the first piece stays in collect file 1.
  m_fake->switches().failOpenPrefix = collect(2);
  makeCollectFiles({"/a|50\n/b|50\n"}, {100});
  kztest::expectError(m_scan.splitCollectFiles(), EACCES, "Failed to open " + collect(2), kSig);
  EXPECT_TRUE(m_fake->logged("Failed to open " + collect(2)));
  EXPECT_EQ(kztest::filesIn(m_dir.path()), (Files{{"C1.L", "/a\n"}, {"C1.tmp", "/a|50\n/b|50\n"}, {"split_config", ""}}));
}

// Without a cut, lines keep their text and lose only the size field, and the collect
// numbers stay as they are.
TEST_F(Split, NoCutUnlessTheStreamsAskForIt) {
  // A long line spans several read chunks and mapped windows; many short lines cross
  // their borders. A file others may write is read, not mapped.
  const std::string longPath = "/" + std::string(5 * 1024 * 1024 + 17, 'p');
  std::string manyIn, manyOut;
  for (int k = 0; k < 230000; ++k) {
    manyIn += "/d/file-" + std::to_string(k) + "|" + std::to_string(k) + "\n";
    manyOut += "/d/file-" + std::to_string(k) + "\n";
  }
  // Lines of every length up to three blocks of the scan, bars anywhere (first, last,
  // several, none) and empty lines, so every newline and bar position meets every border.
  std::string mixedIn, mixedOut;
  std::mt19937 random(7);
  for (int k = 0; k < 20000; ++k) {
    std::string line(random() % 200, 'x');
    for (int bars = static_cast<int>(random() % 4); bars > 0 && !line.empty(); --bars) line[random() % line.size()] = '|';
    mixedIn += line + "\n";
    mixedOut += line.substr(0, std::min(line.rfind('|'), line.size())) + "\n";
  }
  const std::string abc = "/a|10\n/b|10\n/c|10\n", abcOut = "/a\n/b\n/c\n";
  struct Case {
    std::vector<std::string> in, out;  // collect files 1, 2, ... before and after
    std::vector<long long> sizes = {};
    bool flag = false;
    int streams = 0;
    const char* config = nullptr;  // null: one line per collect file
    mode_t mode = 0;               // of collect file 1, when not as made
  } cases[] = {
      {{"/a|b\\p|c|12\n"}, {"/a|b\\p|c\n"}},  // a bar inside the path
      {{"/x|1\n\n/dir\n"}, {"/x\n\n/dir\n"}},
      {{"\n"}, {"\n"}},
      {{"/q|5\n/r|6"}, {"/q\n/r\n"}},
      {{longPath + "|9\n/s|1"}, {longPath + "\n/s\n"}},
      {{manyIn}, {manyOut}},
      {{manyIn}, {manyOut}, {}, false, 0, nullptr, 0664},
      {{mixedIn}, {mixedOut}},
      {{longPath + "|9\n"}, {longPath + "\n"}, {}, false, 0, nullptr, 0666},
      {{abc}, {abcOut}, {30}, false, 4},  // the subclient does not allow cutting
      {{abc}, {abcOut}, {30}, true, 0},   // no streams
      {{abc}, {abcOut}, {30}, true, 1},   // one stream
      {{"/a|10\n/b|10\n", "/c|10\n"}, {"/a\n/b\n", "/c\n"}, {20, 10}, true, 2},  // as many files as streams
      {{"/a|10\n/b|10\n", ""}, {"/a\n/b\n", ""}, {20}, true, 2, "1\n"},  // an empty one counts as a stream
      {{"/a|1\n/b|100\n"}, {"/a\n/b\n"}, {101}, true, 2},  // only the last line reaches the target
      {{"/a\n/b\n"}, {"/a\n/b\n"}, {0}, true, 3},            // no sizes
      {{}, {}, {}, true, 4},                                 // no collect number handed out
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in.empty() ? "" : c.in[0].substr(0, 20) + " streams " + std::to_string(c.streams));
    makeCollectFiles(c.in, c.sizes);
    if (c.mode) {
      ASSERT_EQ(chmod(collect(1).c_str(), c.mode), 0);
    }
    writeFile(config(), "stale\n");
    m_scan.m_subclientFlag = c.flag;
    m_scan.m_numStreams = c.streams;
    const int32_t next = m_scan.m_nextCollectNum;
    ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
    EXPECT_EQ(m_scan.m_nextCollectNum, next);
    const std::string config = c.config ? c.config : std::string("1\n2\n").substr(0, 2 * c.out.size());
    EXPECT_TRUE(kztest::filesIn(m_dir.path()) == withConfig(config, c.out));
  }
}

}  // namespace
