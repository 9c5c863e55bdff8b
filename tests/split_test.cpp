// splitCollectFiles over real collect files in a temp folder, through the recording fake.
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

TEST_F(Split, OpenFailuresStopTheRunWithTheOpenErrno) {
  struct Case {
    std::string failPrefix;  // fake: opens of this path fail (EACCES)
    bool removeSecond;       // collect file 2 missing
    int err;
    std::string path;    // in the error and, when logged, in the Error line
    bool logged;
    bool scratchLeft;
  } cases[] = {
      {"", true, ENOENT, collect(2), true, false},
      {scratch(2), false, EACCES, scratch(2), true, false},
      {collect(2), false, EACCES, collect(2), false, true},  // collect file re-created
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    m_fake->clear();
    m_fake->switches().failOpenPrefix = c.failPrefix;
    makeCollectFiles({"/a|1\n", "/b|2\n", "/c|3\n"});
    if (c.removeSecond) fs::remove(collect(2));
    kztest::expectError(m_scan.splitCollectFiles(), c.err, "Failed to open " + c.path, kSig);
    EXPECT_EQ(m_fake->logged("Failed to open " + c.path), c.logged);
    EXPECT_EQ(readFile(collect(1)) + readFile(config()), "/a\n1\n");
    EXPECT_EQ(readFile(collect(2)), c.removeSecond ? "" : "/b|2\n");  // never lost
    EXPECT_EQ(fs::exists(scratch(2)), c.scratchLeft);
    EXPECT_EQ(readFile(collect(3)), "/c|3\n");
  }
}

TEST_F(Split, SplitConfigThatCannotBeCreated) {
  m_scan.m_collectDir = collect(1);  // a regular file where a directory is expected
  writeFile(m_scan.m_collectDir, "x");
  m_scan.m_nextCollectNum = 2;
  kztest::expectError(m_scan.splitCollectFiles(), ENOTDIR, "Failed to open " + collect(1) + "/split_config", kSig);
}

// The folder holding split_config and collect files 1, 2, ... with these contents.
Files withConfig(const std::string& config, const std::vector<std::string>& collect) {
  Files out = {{"split_config", config}};
  for (size_t n = 1; n <= collect.size(); ++n) out["C" + std::to_string(n) + ".L"] = collect[n - 1];
  return out;
}

// Lines "/<tag><k>" for k in [from, to), with (sized) and without their size fields "|100".
std::string lines(const char* tag, int from, int to, bool sized = false) {
  std::string text;
  for (int k = from; k < to; ++k) text += "/" + std::string(tag) + std::to_string(k) + (sized ? "|100\n" : "\n");
  return text;
}

// A piece ends with the line that reaches the target size, the last takes the rest;
// later collect files get three numbers after a cut.
TEST_F(Split, CuttingSpreadsCollectFilesOverTheStreams) {
  struct Case {
    std::vector<std::string> files;
    std::vector<long long> sizes;
    const char* config;
    std::vector<std::string> pieces;  // collect files 1, 2, ... afterwards
  } cases[] = {
      // Target 10025 bytes.
      {{lines("f", 0, 401, true)}, {40100}, "1 2 4\n",
       {lines("f", 0, 101), lines("f", 101, 202), lines("f", 202, 303), lines("f", 303, 401)}},
      // Target 253: room for two pieces.
      {{lines("a", 0, 10, true), "/b|10\n"}, {1000, 10}, "1 3 4\n2 5 2\n",
       {lines("a", 0, 3), "/b\n", lines("a", 3, 6), lines("a", 6, 10)}},
  };
  for (const Case& c : cases) {
    makeCollectFiles(c.files, c.sizes);
    m_scan.m_numStreams = 4;
    m_scan.m_subclientFlag = true;
    ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
    EXPECT_EQ(kztest::filesIn(m_dir.path()), withConfig(c.config, c.pieces));
    EXPECT_TRUE(m_scan.m_curCollectNum == 4 && m_scan.m_collectPath == collect(4));
  }
}

// Without a cut, lines keep their text and lose only the size field, and the collect
// numbers stay as they are.
TEST_F(Split, NoCutUnlessTheStreamsAskForIt) {
  // A long line spans several read chunks; many short lines cross chunk borders.
  const std::string longPath = "/" + std::string(3 * 1024 * 1024 + 17, 'p');
  std::string manyIn, manyOut;
  for (int k = 0; k < 120000; ++k) {
    manyIn += "/d/file-" + std::to_string(k) + "|" + std::to_string(k) + "\n";
    manyOut += "/d/file-" + std::to_string(k) + "\n";
  }
  const std::string abc = "/a|10\n/b|10\n/c|10\n", abcOut = "/a\n/b\n/c\n";
  struct Case {
    std::vector<std::string> in, out;  // collect files 1, 2, ... before and after
    std::vector<long long> sizes = {};
    bool flag = false;
    int streams = 0;
  } cases[] = {
      {{"/a|b\\p|c|12\n"}, {"/a|b\\p|c\n"}},  // a bar inside the path
      {{"/x|1\n\n/dir\n"}, {"/x\n\n/dir\n"}},
      {{"\n"}, {"\n"}},
      {{"/q|5\n/r|6"}, {"/q\n/r\n"}},
      {{longPath + "|9\n/s|1"}, {longPath + "\n/s\n"}},
      {{manyIn}, {manyOut}},
      {{abc}, {abcOut}, {30}, false, 4},  // the subclient does not allow cutting
      {{abc}, {abcOut}, {30}, true, 0},   // no streams
      {{abc}, {abcOut}, {30}, true, 1},   // one stream
      {{"/a|10\n/b|10\n", "/c|10\n"}, {"/a\n/b\n", "/c\n"}, {20, 10}, true, 2},  // as many files as streams
      {{"/a|1\n/b|100\n"}, {"/a\n/b\n"}, {101}, true, 2},  // only the last line reaches the target
      {{"/a\n/b\n"}, {"/a\n/b\n"}, {0}, true, 3},            // no sizes
      {{}, {}, {}, true, 4},                                 // no collect number handed out
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in.empty() ? "" : c.in[0].substr(0, 20) + " streams " + std::to_string(c.streams));
    makeCollectFiles(c.in, c.sizes);
    writeFile(config(), "stale\n");
    m_scan.m_subclientFlag = c.flag;
    m_scan.m_numStreams = c.streams;
    const int32_t next = m_scan.m_nextCollectNum;
    ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
    EXPECT_EQ(m_scan.m_nextCollectNum, next);
    EXPECT_TRUE(kztest::filesIn(m_dir.path()) == withConfig(std::string("1\n2\n").substr(0, 2 * c.out.size()), c.out));
  }
}

}  // namespace
