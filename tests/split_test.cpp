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
  void SetUp() override {
    m_scan.m_collectDir = m_dir.path();
    m_scan.m_collectBase = "C";
    m_scan.m_collectExt = "L";
  }

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

TEST_F(Split, LinesKeepTheirTextAndLoseOnlyTheSizeField) {
  // A long line spans several read chunks; many short lines cross chunk borders.
  const std::string longPath = "/" + std::string(3 * 1024 * 1024 + 17, 'p');
  std::string manyIn, manyOut;
  for (int k = 0; k < 120000; ++k) {
    manyIn += "/d/file-" + std::to_string(k) + "|" + std::to_string(k) + "\n";
    manyOut += "/d/file-" + std::to_string(k) + "\n";
  }
  std::pair<std::string, std::string> cases[] = {
      {"/a|b\\p|c|12\n", "/a|b\\p|c\n"},  // a bar inside the path
      {"/x|1\n\n/dir\n", "/x\n\n/dir\n"},  {"/a\n/a/b\n", "/a\n/a/b\n"}, {"\n", "\n"},
      {"/q|5\n/r|6", "/q\n/r\n"},           {longPath + "|9\n/s|1", longPath + "\n/s\n"},
      {manyIn, manyOut},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in.substr(0, 20));
    makeCollectFiles({in});
    CLoError e = m_scan.splitCollectFiles();
    ASSERT_FALSE(e.IsError()) << e.ToString();
    EXPECT_TRUE(kztest::filesIn(m_dir.path()) == (Files{{"C1.L", out}, {"split_config", "1\n"}}));
  }
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
    Files want = {{"split_config", c.config}};
    for (size_t n = 1; n <= c.pieces.size(); ++n) want["C" + std::to_string(n) + ".L"] = c.pieces[n - 1];
    EXPECT_EQ(kztest::filesIn(m_dir.path()), want);
    EXPECT_TRUE(m_scan.m_curCollectNum == 4 && m_scan.m_collectPath == collect(4));
  }
}

TEST_F(Split, NoCutUnlessTheStreamsAskForIt) {
  struct Case {
    const char* name;
    bool flag;
    int streams;
    std::vector<std::string> files;
    std::vector<long long> sizes;
  } cases[] = {
      {"flag off", false, 4, {"/a|10\n/b|10\n/c|10\n"}, {30}},
      {"no streams", true, 0, {"/a|10\n/b|10\n/c|10\n"}, {30}},
      {"one stream", true, 1, {"/a|10\n/b|10\n/c|10\n"}, {30}},
      {"as many files as streams", true, 2, {"/a|10\n/b|10\n", "/c|10\n"}, {20, 10}},
      {"only the last line reaches the target", true, 2, {"/a|1\n/b|100\n"}, {101}},
      {"no sizes", true, 3, {"/a\n/b\n"}, {0}},
      {"no collect number handed out", true, 4, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeCollectFiles(c.files, c.sizes);
    writeFile(config(), "stale\n");
    m_scan.m_subclientFlag = c.flag;
    m_scan.m_numStreams = c.streams;
    const int32_t next = m_scan.m_nextCollectNum;
    ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
    EXPECT_EQ(m_scan.m_nextCollectNum, next);
    EXPECT_EQ(readFile(config()), std::string("1\n2\n").substr(0, 2 * c.files.size()));
    EXPECT_FALSE(fs::exists(collect(next)));
  }
}

}  // namespace
