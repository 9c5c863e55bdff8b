// The collect file writer: line format, numbering, sizes, the quit flag and failures.
#include <gtest/gtest.h>
#include <limits.h>

#include "hostservices/FakePlatform.h"
#include "support/WriterSupport.h"

namespace {

// A subclass whose collect number the test steers and whose interruptions it counts.
class SteeredFind : public KzFind {
 public:
  int forcedNum = 0;  // 0: the base choice
  int interruptions = 0;
  void DecideIfNewMountPoint(const char* path, bool flag) override {
    if (forcedNum) m_curCollectNum = forcedNum;
    else KzFind::DecideIfNewMountPoint(path, flag);
  }
  void processIfindInterruption() override { ++interruptions; }
};

class CollectWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { kztest::useCollectDir(find, dir.path()); }
  std::string file(int n) const { return dir / ("Collect" + std::to_string(n) + ".kzf"); }
  std::string contents(int n) { return kztest::flushAndRead(find.m_collectFp, file(n)); }

  kzhost::ScopedFakePlatform fake;
  kztest::TempDir dir;
  SteeredFind find;
};

TEST_F(CollectWriterTest, LinesSizesAndNumbering) {
  for (const char* skipped : {"/", "rel/a", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(find.addToCollect(skipped, 9), 0);
  EXPECT_EQ(find.m_curCollectNum, 0);  // skipped paths choose no number
  EXPECT_EQ(kztest::countLogged(*fake, "/"), 1);  // but are logged at level 2
  EXPECT_EQ(find.addToCollect("/data/empty", 0), 0);
  EXPECT_EQ(find.m_collectInfo.count(1), 0u);  // a zero size leaves the record alone
  EXPECT_EQ(find.addToCollect("/data/a.txt", 100), 0);
  EXPECT_EQ(find.addToCollect("/data/b", 50), 0);
  EXPECT_EQ(find.addToCollect("/data/neg", -5), 0);
  EXPECT_EQ(contents(1), "/data/empty|0\n/data/a.txt|100\n/data/b|50\n/data/neg|-5\n");
  EXPECT_EQ(find.m_collectInfo[1].totalSize, 145);
  EXPECT_EQ(find.m_numEntries, 4);
  EXPECT_EQ(find.m_nextCollectNum, 2);
  EXPECT_EQ(find.addToCollect("/huge", INT64_MAX), 0);  // the sum sticks at the limit
  EXPECT_EQ(find.m_collectInfo[1].totalSize, INT64_MAX);
}

TEST_F(CollectWriterTest, SwitchingReopensAndAppends) {
  kztest::writeFile(file(1), "/old|1\n");
  int nums[] = {1, 2, 1};
  for (int n : nums) {
    find.forcedNum = n;
    EXPECT_EQ(find.addToCollect(("/n" + std::to_string(n)).c_str(), n), 0);
  }
  // Opening 2 fails after 1 was closed; going back to 1 must reopen it, not write to the old stream.
  fake->switches().failOpenPrefix = file(2);
  find.forcedNum = 2;
  EXPECT_EQ(find.addToCollect("/lost", 1), -1);
  find.forcedNum = 1;
  EXPECT_EQ(find.addToCollect("/back", 1), 0);
  EXPECT_EQ(contents(1), "/old|1\n/n1|1\n/n1|1\n/back|1\n");
  EXPECT_EQ(contents(2), "/n2|2\n");
}

TEST_F(CollectWriterTest, QuitFlagInterruptsButStillRecords) {
  fake->switches().quitFlag = true;
  EXPECT_EQ(find.addToCollect("/early", 1), 0);  // no job control yet: the flag counts as down
  EXPECT_EQ(find.interruptions, 0);
  find.m_jobCtrl = std::make_unique<KZJobCtrlClient>(0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(find.addToCollect("/q", 1), 0);
  EXPECT_EQ(find.interruptions, 2);
  EXPECT_EQ(kztest::countLogged(*fake, "File Scan interrupted by Job Manager"), 2);
  EXPECT_EQ(contents(1), "/early|1\n/q|1\n/q|1\n");
}

TEST_F(CollectWriterTest, UnopenableCollectFileFailsEveryCall) {
  kztest::writeFile(dir / "plain", "x");
  for (auto [sub, err] : {std::pair{"missing", ENOENT}, std::pair{"plain", ENOTDIR}}) {
    SCOPED_TRACE(sub);
    find.m_collectDir = dir / sub;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(find.addToCollect("/f", 7), -1);
    EXPECT_EQ(kztest::countLogged(*fake, "Could not open '" + (dir / sub) + "/Collect1.kzf' for writing, errno " +
                                             std::to_string(err)), 2);
  }
  EXPECT_EQ(find.m_numEntries, 0);
}

TEST_F(CollectWriterTest, FullDiskIsNoticed) {
  fake->switches().fullDiskPrefix = file(1);
  ASSERT_EQ(find.addToCollect("/a", 1), 0);  // buffered: the loss shows when 1 is closed
  find.forcedNum = 2;
  EXPECT_EQ(find.addToCollect("/b", 1), 0);
  EXPECT_TRUE(fake->logged("Failed to close " + file(1) + ", errno 28"));
  EXPECT_TRUE(KzFindTestAccess::outputLost(find));

  fake->switches().fullDiskPrefix = dir.path();
  find.forcedNum = 3;
  const std::string path = "/data/" + std::string(90, 'p');
  int ok = 0, failed = 0;
  for (int i = 0; i < 20000; ++i) {  // well past one stdio buffer; once failed, always failed
    if (find.addToCollect(path.c_str(), 1) == 0) ASSERT_EQ(failed, 0) << i;
    else ++failed;
    ok += failed == 0;
  }
  EXPECT_GT(failed, 0);
  EXPECT_EQ(find.m_numEntries, 2 + ok);
}

TEST_F(CollectWriterTest, AwkwardPathsGiveOneWellFormedLineEach) {
  const std::string longName = "/" + std::string(PATH_MAX + 100, 'L');
  std::pair<std::string, std::string> cases[] = {
      {"/d/new\nline|", "/d/new\\nline\\p"}, {"/d/bad\xff\xfe", "/d/bad\xff\xfe"}, {longName, longName}};
  std::string expected;
  for (const auto& [path, escaped] : cases) {
    EXPECT_EQ(find.addToCollect(path.c_str(), 1), 0);
    expected += escaped + "|1\n";
  }
  EXPECT_EQ(contents(1), expected);
}

}  // namespace
