// AppleDouble companion marking and the inode property preserver.
#include "scanphase/AppleDouble.h"
#include "scanphase/InodePropPreserver.h"
#include "support/WriterSupport.h"

namespace {

using kzfind::detail::appleDoubleOpens;
using kzfind::detail::markAppleDoubleCompanion;

// Magic, version 2, zero filler, then the entry count.
std::string header(std::string count = std::string("\0\2", 2)) {
  return std::string("\0\5\x16\7\0\2\0\0", 8) + std::string(16, '\0') + count;
}

void setTimes(const std::string& path, time_t atime, time_t mtime) {
  struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
}

std::pair<time_t, time_t> timesOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0);
  return {st.st_atime, st.st_mtime};
}

class AppleDoubleTest : public ::testing::Test {
 protected:
  // The marker the step writes for dir/f with the given mounts ("" or "-").
  std::string marker(const std::vector<mntfs_ent>& mounts = {}, bool preserve = false) {
    FILE* out = tmpfile();
    EXPECT_EQ(markAppleDoubleCompanion(out, (dir / "f").c_str(), mounts, preserve), 0);
    std::string m = ftell(out) == 1 ? "-" : "";
    fclose(out);
    return m;
  }
  kzhost::ScopedFakePlatform fake;
  kztest::TempDir dir;
};

TEST_F(AppleDoubleTest, CompanionKinds) {
  std::string filler = header(), version = header();
  filler[15] = 1;
  version[5] = 1;
  std::pair<const char*, std::string> cases[] = {
      {"-", header()},       {"-", header() + "more"}, {"-", header(std::string("\1\0", 2))},
      {"", header({"\0\0", 2})}, {"", version},        {"", filler},
      {"", header().substr(0, 25)},
  };
  for (const auto& [expected, bytes] : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    kztest::writeFile(dir / "._f", bytes);
    EXPECT_EQ(marker(), expected);
  }
  std::filesystem::remove(dir / "._f");
  EXPECT_EQ(marker(), "");  // none
  mkdir((dir / "._f").c_str(), 0755);
  EXPECT_EQ(marker(), "");  // a directory
  rmdir((dir / "._f").c_str());
  ASSERT_EQ(mkfifo((dir / "._f").c_str(), 0644), 0);
  EXPECT_EQ(marker(), "");  // a FIFO, which must not block the scan
  std::filesystem::remove(dir / "._f");
  kztest::writeFile(dir / "target", header());
  ASSERT_EQ(symlink("target", (dir / "._f").c_str()), 0);
  EXPECT_EQ(marker({}, true), "-");  // a link to a companion; its times are not touched
}

TEST_F(AppleDoubleTest, HfsMountsAreNeverOpened) {
  kztest::writeFile(dir / "._f", header());
  const std::string d = dir.path();
  std::pair<const char*, std::vector<mntfs_ent>> cases[] = {
      {"", {{d, "hfs", ""}}},
      {"", {{d, "hfsplus", ""}}},
      {"", {{"/", "hfs", ""}, {d, "ext4", ""}}},  // the later, inner entry does not stop the walk
      {"-", {{d, "HFS", ""}}},
      {"-", {{"/elsewhere", "hfs", ""}, {"/", "xfs", ""}}},
      {"-", {{d.substr(0, d.size() - 1), "hfs", ""}}},  // a sibling whose name the folder's begins with
      {"", {{d + "/", "hfs", ""}}},
  };
  for (const auto& [expected, mounts] : cases) {
    SCOPED_TRACE(mounts.front().mnt_type);
    unsigned long opens = appleDoubleOpens();
    EXPECT_EQ(marker(mounts), expected);
    EXPECT_EQ(appleDoubleOpens() - opens, *expected ? 1u : 0u);
  }
}

TEST_F(AppleDoubleTest, ThroughTheWriterWithTimesPreserved) {
  KzFind find;
  kztest::useCollectDir(find, dir.path());
  kztest::writeFile(dir / "._f", header());
  setTimes(dir / "._f", 1000000000, 1100000000);  // older atime: a plain read would move it
  unsigned long opens = appleDoubleOpens();
  find.m_preserveAtime = true;  // without m_checkAppleDouble: nothing is looked at
  ASSERT_EQ(find.addToCollect((dir / "f").c_str(), 3), 0);
  EXPECT_EQ(appleDoubleOpens(), opens);
  find.m_checkAppleDouble = true;
  ASSERT_EQ(find.addToCollect((dir / "f").c_str(), 3), 0);
  EXPECT_EQ(kztest::flushAndRead(find.m_collectFp, dir / "Collect1.kzf"), (dir / "f") + "|3\n-" + (dir / "f") + "|3\n");
  struct stat st {};
  ASSERT_EQ(stat((dir / "._f").c_str(), &st), 0);
  EXPECT_EQ(st.st_atime, 1000000000);
  EXPECT_EQ(st.st_mtime, 1100000000);

  // A marker that cannot be written fails the step; the times still go back.
  FILE* full = fopen("/dev/full", "w");
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(markAppleDoubleCompanion(full, (dir / "f").c_str(), {}, true), -1);
  fclose(full);
  ASSERT_EQ(stat((dir / "._f").c_str(), &st), 0);
  EXPECT_EQ(st.st_atime, 1000000000);
}

// The times captured at construction go back on a file; a link and its target are left alone.
TEST_F(AppleDoubleTest, TimePreserverPutsBackFileTimesOnly) {
  kztest::writeFile(dir / "file", "abc");
  ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
  setTimes(dir / "file", 1000000000, 1100000000);
  setTimes(dir / "link", 3000000, 4000000);
  EXPECT_EQ(CoreInodePropPreserver<struct stat>(dir / "missing").getstatresult(), -1);
  {
    AMTimePreserver link(new CoreInodePropPreserver<struct stat>(dir / "link"));  // released last
    AMTimePreserver file(new CoreInodePropPreserver<struct stat>(dir / "file"));
    setTimes(dir / "file", 5, 6);  // what reading would do
    setTimes(dir / "link", 7, 8);
  }
  EXPECT_EQ(timesOf(dir / "file"), (std::pair<time_t, time_t>{1000000000, 1100000000}));
  EXPECT_EQ(timesOf(dir / "link"), (std::pair<time_t, time_t>{7, 8}));
  AMTimePreserver none(nullptr);  // taking over nothing is harmless
}

}  // namespace
