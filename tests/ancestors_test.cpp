// Ancestor directory records: gathering during the walk and the lines at the finish.
#include <gtest/gtest.h>

#include "support/WriterSupport.h"

namespace {

using Dirs = std::list<std::string>;

class AncestorsTest : public ::testing::Test {
 protected:
  void SetUp() override { kztest::useCollectDir(find, dir.path()); }
  std::string collect() { return kztest::flushAndRead(find.m_collectFp, dir / "Collect1.kzf"); }
  kzhost::ScopedFakePlatform fake;
  kztest::TempDir dir;
  KzFind find;
};

TEST_F(AncestorsTest, EachDirectoryOnceInFirstMetOrder) {
  std::pair<std::vector<const char*>, Dirs> cases[] = {
      {{"/x/y/f", "/x/z/f"}, {"/x/y", "/x", "/x/z"}},
      {{"/file", "/", "file", ""}, {}},
      {{"/a/b/c/f", "/a/b/c/f", "/a/b/x/f"}, {"/a/b/c", "/a/b", "/a", "/a/b/x"}},
      {{"/a/f", "/a/b/c/f", "/A/f"}, {"/a", "/a/b/c", "/a/b", "/A"}},
  };
  for (const auto& [paths, expected] : cases) {
    SCOPED_TRACE(paths.front());
    find.m_ancestors.clear();
    for (const char* p : paths) EXPECT_EQ(find.collectAncestors(p), 0);
    EXPECT_EQ(find.m_ancestors, expected);
  }
}

TEST_F(AncestorsTest, HandEditsOfTheListAreRespected) {
  find.collectAncestors("/a/b/f");
  find.m_ancestors.clear();
  find.collectAncestors("/a/b/f");
  find.m_ancestors.pop_back();  // same size again after the push, but another node
  find.m_ancestors.push_back("/q");
  find.collectAncestors("/q/f");
  find.collectAncestors("/a/f");
  EXPECT_EQ(find.m_ancestors, (Dirs{"/a/b", "/q", "/a"}));
  find.m_ancestors = {"/p/q/r"};  // without its parents: the walk goes on past it
  find.collectAncestors("/p/q/r/f");
  EXPECT_EQ(find.m_ancestors, (Dirs{"/p/q/r", "/p/q", "/p"}));
}

TEST_F(AncestorsTest, ManyDistinctDirectories) {
  // A linear presence test takes minutes here.
  for (int i = 0; i < 100000; ++i) find.collectAncestors(("/d1/d2/d3/d4/d5/" + std::to_string(i) + "/f").data());
  EXPECT_EQ(find.m_ancestors.size(), 100005u);
}

TEST_F(AncestorsTest, DumpWritesAfterTheFileLinesAndForgets) {
  EXPECT_EQ(find.dumpAncestors(), 0);  // empty: opens nothing
  EXPECT_EQ(find.m_collectFp, nullptr);
  find.collectAncestors("/a/b/f");
  find.dumpAncestors();  // no file line yet: collect file 1 is made
  EXPECT_EQ(find.m_curCollectNum, 1);
  EXPECT_EQ(collect(), "/a/b\n/a\n");
  ASSERT_EQ(find.addToCollect("/x/y/f", 4), 0);
  for (const char* p : {"/x/y/f", "/x/z/f", "/x/a|b/f"}) find.collectAncestors(p);
  find.m_ancestors.push_back("/x");  // a duplicate put in by hand is written once
  EXPECT_EQ(find.dumpAncestors(), 0);
  EXPECT_EQ(collect(), "/a/b\n/a\n/x/y/f|4\n/x/y\n/x\n/x/z\n/x/a\\pb\n");
  EXPECT_EQ(find.m_numEntries, 7);
  EXPECT_TRUE(find.m_ancestors.empty());
}

TEST_F(AncestorsTest, FailuresSkipEntriesAndAreNoticed) {
  find.m_collectDir = dir / "missing";
  find.collectAncestors("/a/b/f");
  find.dumpAncestors();
  const std::string open = "Could not open '" + (dir / "missing/Collect1.kzf") + "' for writing, errno 2";
  EXPECT_EQ(kztest::countLogged(*fake, open), 2);
  EXPECT_TRUE(find.m_ancestors.empty());

  find.m_collectDir = dir.path();
  fake->switches().fullDiskPrefix = dir.path();
  const std::string longDir = "/" + std::string(40, 'd');
  for (int i = 0; i < 10000; ++i) find.collectAncestors((longDir + std::to_string(i) + "/f").data());
  find.dumpAncestors();  // more than one stdio buffer of lines
  EXPECT_LT(find.m_numEntries, 10000);
  EXPECT_TRUE(KzFindTestAccess::outputLost(find));
}

}  // namespace
