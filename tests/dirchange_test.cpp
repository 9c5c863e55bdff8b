// The directory-change file.
//
// The first-line flag lives once per process. ctest runs every test in its own
// process; when the whole program runs at once, the tests that need a fresh flag
// skip themselves after the first test that used it.
#include <gtest/gtest.h>

#include "support/WriterSupport.h"

namespace {

bool g_flagUsed = false;

class DirChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    find.m_dirchangeFp = fopen((dir / "dc").c_str(), "wb");
    fputs("Version2\n", find.m_dirchangeFp);
  }
  std::string contents() { return kztest::flushAndRead(find.m_dirchangeFp, dir / "dc"); }
  void needsFreshFlag() {
    if (g_flagUsed) GTEST_SKIP() << "needs its own process (as ctest runs it)";
    g_flagUsed = true;
  }
  kzhost::ScopedFakePlatform fake;
  kztest::TempDir dir;
  KzFind find;
};

TEST_F(DirChangeTest, TopAndChildLines) {
  g_flagUsed = true;
  EXPECT_EQ(find.addToDirchange("/a", false), 0);
  EXPECT_EQ(find.addToDirchange("/a/x", true), 0);
  EXPECT_EQ(find.addToDirchange("/a/y|z", true), 0);
  EXPECT_EQ(find.addToDirchange("/b\nc", false), 0);
  EXPECT_EQ(contents(), "Version2\n/a\n\t/a/x\n\t/a/y\\pz\n/b\\nc\n");
  EXPECT_EQ(kztest::countLogged(*fake, "dirChange:/a/y\\pz\n"), 1);
}

TEST_F(DirChangeTest, OnlyTheFirstLineOfTheProcessIsChecked) {
  needsFreshFlag();
  if (IsSkipped()) return;
  int context = 0;
  for (void* ctx : {static_cast<void*>(&context), static_cast<void*>(nullptr)}) {
    find.m_dirchangeContext = ctx;
    EXPECT_EQ(find.addToDirchange(nullptr, true), 0);  // no-ops that leave the flag
  }
  FILE* fp = std::exchange(find.m_dirchangeFp, nullptr);
  EXPECT_EQ(find.addToDirchange("/a", false), -1);  // no file: fails, leaves the flag
  find.m_dirchangeFp = fp;
  EXPECT_EQ(find.addToDirchange("/a/x", true), -1);
  EXPECT_TRUE(fake->logged("Error:Not a child: Topmost Node cant be a child /a/x"));
  EXPECT_EQ(find.addToDirchange("/a/y", true), 0);
  KzFind other;  // the flag is per process, not per object
  other.m_dirchangeFp = find.m_dirchangeFp;
  EXPECT_EQ(other.addToDirchange("/c/z", true), 0);
  other.m_dirchangeFp = nullptr;
  EXPECT_EQ(contents(), "Version2\n\t/a/y\n\t/c/z\n");
}

TEST_F(DirChangeTest, WriteFailuresAreNoticed) {
  g_flagUsed = true;
  fclose(find.m_dirchangeFp);
  find.m_dirchangeFp = fopen("/dev/full", "w");
  setvbuf(find.m_dirchangeFp, nullptr, _IONBF, 0);
  EXPECT_EQ(find.addToDirchange("/a", false), -1);
  EXPECT_EQ(find.addToDirchange("/a/x", true), -1);  // the TAB already fails
  EXPECT_TRUE(KzFindTestAccess::outputLost(find));
}

}  // namespace
