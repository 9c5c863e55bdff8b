// splitCollectFiles over real collect files in a temp folder, through the recording fake.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"
#include "support/WriterSupport.h"
#include "scanphase/SplitConfigSeam.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSig = "virtual CLoError KzFind::splitCollectFiles()";

using kztest::readFile;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class Split : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kzsplitXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_scan.m_collectDir = m_dir;
    m_scan.m_collectBase = "C";
    m_scan.m_collectExt = "L";
  }
  void TearDown() override { fs::remove_all(m_dir); }

  std::string collect(int n) const { return m_dir + "/C" + std::to_string(n) + ".L"; }
  std::string scratch(int n) const { return m_dir + "/C" + std::to_string(n) + ".tmp"; }
  std::string config() const { return m_dir + "/split_config"; }

  // Only collect files 1..n, with the given contents, in the folder.
  void makeCollectFiles(const std::vector<std::string>& contents) {
    for (const auto& e : fs::directory_iterator(m_dir)) fs::remove_all(e.path());
    for (size_t i = 0; i < contents.size(); ++i) writeFile(collect(static_cast<int>(i) + 1), contents[i]);
    m_scan.m_nextCollectNum = static_cast<int32_t>(contents.size()) + 1;
  }

  // "L<level> <kind>: <text>" of the lines splitCollectFiles wrote.
  std::vector<std::string> logLines() {
    std::vector<std::string> out;
    for (const kzhost::DebugRecord& r : m_fake->debugLines()) {
      if (r.function == kSig) out.push_back("L" + std::to_string(r.level) + " " + r.kind + ": " + r.text);
    }
    return out;
  }

  bool tmpLeft() const {
    for (const auto& e : fs::directory_iterator(m_dir)) {
      if (e.path().extension() == ".tmp") return true;
    }
    return false;
  }

  kzhost::ScopedFakePlatform m_fake;
  std::string m_dir;
  KzFind m_scan;
};

TEST_F(Split, WorkedExample) {
  writeFile(collect(1), "/a/x|100\n-/a/y|50\n/a/e|0\n/a\n");
  writeFile(collect(2), "");
  writeFile(collect(3), "/b/z|7000");
  m_scan.m_nextCollectNum = 4;
  m_scan.m_numStreams = 2;
  m_scan.m_subclientFlag = true;
  m_scan.m_collectInfo[1].totalSize = 150;
  m_scan.m_collectInfo[3].totalSize = 7000;

  CLoError e = m_scan.splitCollectFiles();

  ASSERT_FALSE(e.IsError()) << e.ToString();
  EXPECT_EQ(readFile(collect(1)), "/a/x\n-/a/y\n/a/e\n/a\n");
  EXPECT_EQ(readFile(collect(2)), "");
  EXPECT_EQ(readFile(collect(3)), "/b/z\n");
  EXPECT_EQ(readFile(config()), "1\n3\n");
  EXPECT_FALSE(tmpLeft());
  EXPECT_EQ(m_scan.m_curCollectNum, 3);
  EXPECT_EQ(m_scan.m_collectPath, collect(3));
  EXPECT_EQ(m_scan.m_nextCollectNum, 4);
  std::vector<std::string> want = {
      "L0 Debug: Processing file 1 :" + collect(1) + ":",
      "L2 Debug: Size of this collect file no 1 = 150, SizePerCollectFile = 0",
      "L0 Debug: Processing file 2 :" + collect(2) + ":",
      "L1 Debug: no data in " + collect(2),
      "L0 Debug: Processing file 3 :" + collect(3) + ":",
      "L2 Debug: Size of this collect file no 3 = 7000, SizePerCollectFile = 0",
  };
  EXPECT_EQ(logLines(), want);
}

TEST_F(Split, NoCollectNumberHandedOut) {
  m_scan.m_curCollectNum = 0;
  m_scan.m_collectPath = "unchanged";
  writeFile(config(), "stale\n");

  ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
  EXPECT_EQ(readFile(config()), "");
  EXPECT_EQ(m_scan.m_curCollectNum, 0);
  EXPECT_EQ(m_scan.m_collectPath, "unchanged");
  EXPECT_TRUE(logLines().empty());
}

TEST_F(Split, LinesKeepTheirTextAndLoseOnlyTheSizeField) {
  // A long line spans several read chunks; many short lines cross chunk borders.
  const std::string longPath = "/" + std::string(3 * 1024 * 1024 + 17, 'p');
  std::string manyIn, manyOut;
  for (int k = 0; k < 120000; ++k) {
    const std::string p = "/d/file-" + std::to_string(k);
    manyIn += p + "|" + std::to_string(k) + "\n";
    manyOut += p + "\n";
  }
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      {"bar inside the path", "/a|b\\p|c|12\n", "/a|b\\p|c\n"},
      {"empty line and ancestor line", "/x|1\n\n/dir\n", "/x\n\n/dir\n"},
      {"only ancestors", "/a\n/a/b\n", "/a\n/a/b\n"},
      {"single newline", "\n", "\n"},
      {"no final newline", "/q|5\n/r|6", "/q\n/r\n"},
      {"line longer than a chunk", longPath + "|9\n/s|1", longPath + "\n/s\n"},
      {"many lines", manyIn, manyOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeCollectFiles({c.in});
    CLoError e = m_scan.splitCollectFiles();
    ASSERT_FALSE(e.IsError()) << e.ToString();
    EXPECT_TRUE(readFile(collect(1)) == c.out);
    EXPECT_EQ(readFile(config()), "1\n");
    EXPECT_FALSE(tmpLeft());
  }
}

TEST_F(Split, OpenFailuresStopTheRunWithTheOpenErrno) {
  struct Case {
    const char* name;
    std::string failPrefix;  // fake: opens through fopen_utf of this path fail (EACCES)
    bool removeSecond;       // collect file 2 missing
    int err;
    std::string path;  // in the error and, when logged, in the Error line
    bool logged;
    std::string second;  // content of collect file 2 afterwards
    bool scratchLeft;
  } cases[] = {
      {"B: collect file missing", "", true, ENOENT, collect(2), true, "", false},
      {"C: scratch copy", scratch(2), false, EACCES, scratch(2), true, "/b|2\n", false},
      {"D: collect file re-created", collect(2), false, EACCES, collect(2), false, "/b|2\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_fake->clear();
    m_fake->switches().failOpenPrefix = c.failPrefix;
    makeCollectFiles({"/a|1\n", "/b|2\n", "/c|3\n"});
    if (c.removeSecond) fs::remove(collect(2));

    CLoError e = m_scan.splitCollectFiles();

    ASSERT_TRUE(e.IsError());
    EXPECT_EQ(e.kind(), CLoError::Kind::ErrNo);
    EXPECT_EQ(e.code(), c.err);
    EXPECT_EQ(e.message(), "Failed to open " + c.path);
    ASSERT_FALSE(e.locations().empty());
    EXPECT_EQ(e.locations()[0].function, kSig);
    EXPECT_EQ(m_fake->logged("Failed to open " + c.path), c.logged);
    EXPECT_EQ(readFile(collect(1)), "/a\n");
    EXPECT_EQ(readFile(config()), "1\n");
    if (!c.removeSecond) {
      EXPECT_EQ(readFile(collect(2)), c.second);
    }
    EXPECT_EQ(fs::exists(scratch(2)), c.scratchLeft);
    EXPECT_EQ(readFile(collect(3)), "/c|3\n");
  }
}

TEST_F(Split, SplitConfigThatCannotBeCreated) {
  m_scan.m_collectDir = m_dir + "/C1.L";  // a regular file where a directory is expected
  writeFile(m_scan.m_collectDir, "x");
  m_scan.m_nextCollectNum = 2;

  CLoError e = m_scan.splitCollectFiles();

  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.code(), ENOTDIR);
  EXPECT_EQ(e.message(), "Failed to open " + m_scan.m_collectDir + "/split_config");
  EXPECT_TRUE(logLines().empty());
}

FILE* openDevFull(const char*, const char* mode) { return fopen("/dev/full", mode); }

// A full disk must never leave short collect files behind a success.
TEST_F(Split, WriteFailuresAreErrors) {
  struct Case {
    const char* name;
    std::string fullPrefix;  // fake: fopen_utf of this path writes to /dev/full
    bool fullConfig;         // "split_config" written to /dev/full
    std::string path;
  } cases[] = {
      {"scratch copy", scratch(1), false, scratch(1)},
      {"rewritten collect file", collect(1), false, collect(1)},
      {"split_config", "", true, config()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_fake->clear();
    m_fake->switches().fullDiskPrefix = c.fullPrefix;
    auto previous = kzfind_internal::setSplitConfigOpener(c.fullConfig ? openDevFull : nullptr);
    makeCollectFiles({"/a|1\n/b|2\n"});

    CLoError e = m_scan.splitCollectFiles();
    kzfind_internal::setSplitConfigOpener(previous);

    ASSERT_TRUE(e.IsError());
    EXPECT_EQ(e.code(), ENOSPC);
    EXPECT_EQ(e.message(), "Failed to write " + c.path);
    EXPECT_TRUE(m_fake->logged("Failed to write " + c.path));
  }
}

// n lines "/<tag><k>|100", without (out) and with (in) their size fields.
std::string lines(const char* tag, int from, int to, bool sized) {
  std::string text;
  for (int k = from; k < to; ++k) text += "/" + std::string(tag) + std::to_string(k) + (sized ? "|100\n" : "\n");
  return text;
}

TEST_F(Split, CuttingSpreadsOneCollectFileOverTheStreams) {
  makeCollectFiles({lines("f", 0, 401, true)});
  m_scan.m_collectInfo[1].totalSize = 40100;
  m_scan.m_numStreams = 4;
  m_scan.m_subclientFlag = true;

  CLoError e = m_scan.splitCollectFiles();

  // Target 10025 bytes: a piece ends with the line that reaches it, the last takes the rest.
  ASSERT_FALSE(e.IsError()) << e.ToString();
  EXPECT_EQ(readFile(config()), "1 2 4\n");
  EXPECT_EQ(readFile(collect(1)), lines("f", 0, 101, false));
  EXPECT_EQ(readFile(collect(2)), lines("f", 101, 202, false));
  EXPECT_EQ(readFile(collect(3)), lines("f", 202, 303, false));
  EXPECT_EQ(readFile(collect(4)), lines("f", 303, 401, false));
  EXPECT_EQ(m_scan.m_nextCollectNum, 5);
  EXPECT_EQ(m_scan.m_curCollectNum, 4);
  EXPECT_EQ(m_scan.m_collectPath, collect(4));
  EXPECT_FALSE(tmpLeft());
  EXPECT_TRUE(m_fake->logged("Size of this collect file no 1 = 40100, SizePerCollectFile = 10025"));
  EXPECT_TRUE(m_fake->logged("Will split collect file: curr Size 10100 file size set to 100"));
}

TEST_F(Split, LaterCollectFilesGetThreeNumbersAfterACut) {
  // 1000 and 10 bytes over 4 streams: target 253, room for two pieces.
  makeCollectFiles({lines("a", 0, 10, true), "/b|10\n"});
  m_scan.m_collectInfo[1].totalSize = 1000;
  m_scan.m_collectInfo[2].totalSize = 10;
  m_scan.m_numStreams = 4;
  m_scan.m_subclientFlag = true;

  ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
  EXPECT_EQ(readFile(config()), "1 3 4\n2 5 2\n");
  EXPECT_EQ(readFile(collect(1)) + readFile(collect(3)), lines("a", 0, 6, false));
  EXPECT_EQ(readFile(collect(4)), lines("a", 6, 10, false));
  EXPECT_EQ(readFile(collect(2)), "/b\n");
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeCollectFiles(c.files);
    for (size_t i = 0; i < c.sizes.size(); ++i) m_scan.m_collectInfo[static_cast<int>(i) + 1].totalSize = c.sizes[i];
    m_scan.m_subclientFlag = c.flag;
    m_scan.m_numStreams = c.streams;
    const int32_t next = m_scan.m_nextCollectNum;

    ASSERT_FALSE(m_scan.splitCollectFiles().IsError());
    EXPECT_EQ(m_scan.m_nextCollectNum, next);
    EXPECT_EQ(readFile(config()), c.files.size() == 1 ? "1\n" : "1\n2\n");
    EXPECT_FALSE(fs::exists(collect(next)));
  }
}

}  // namespace
