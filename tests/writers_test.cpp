// The writers beside the walk: collect lines (numbering, sizes, the quit flag, failures),
// ancestor records, the directory-change file, AppleDouble companion markers and the
// time preserver.
#include <sys/sysmacros.h>

#include "scanphase/AppleDouble.h"
#include "scanphase/InodePropPreserver.h"
#include "support/WriterSupport.h"

namespace {

using Dirs = std::list<std::string>;
using kzfind::detail::appleDoubleOpens;
using kzfind::detail::markAppleDoubleCompanion;

// A subclass whose collect number and escaped forms the test steers.
class SteeredFind : public KzFind {
 public:
  int forcedNum = 0;  // 0: the base choice
  std::string escapeTail;  // appended to every escaped form
  std::string escapeFileName(const char* path) override { return KzFind::escapeFileName(path) + escapeTail; }
  void DecideIfNewMountPoint(const char* path, bool flag) override {
    if (forcedNum) m_curCollectNum = forcedNum;
    else KzFind::DecideIfNewMountPoint(path, flag);
  }
};

// A scan object writing dir/Collect<N>.kzf over a new recording fake.
class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override { kztest::useCollectDir(find, dir.path()); }
  std::string file(int n) const { return dir / ("Collect" + std::to_string(n) + ".kzf"); }
  std::string contents(int n) { return kztest::flushAndRead(find.m_collectFp, file(n)); }

  kzhost::ScopedFakePlatform fake;
  kztest::TempDir dir;
  SteeredFind find;
};
using CollectWriterTest = WriterTest;
using AncestorsTest = WriterTest;

using DirChangeTest = WriterTest;

// Magic, version 2, zero filler, then the entry count.
std::string header(std::string count = std::string("\0\2", 2)) {
  return std::string("\0\5\x16\7\0\2\0\0", 8) + std::string(16, '\0') + count;
}

// Access and modification times: seconds, nanoseconds, seconds, nanoseconds.
using Times = std::tuple<time_t, long, time_t, long>;
constexpr Times kOld{1000000000, 123456789, 1100000000, 987654321};  // an old atime: a read moves it

void setTimes(const std::string& path, Times t) {
  struct timespec ts[2] = {{std::get<0>(t), std::get<1>(t)}, {std::get<2>(t), std::get<3>(t)}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
}

// The times and, last, the ctime in nanoseconds.
std::pair<Times, long long> timesOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0);
  return {{st.st_atim.tv_sec, st.st_atim.tv_nsec, st.st_mtim.tv_sec, st.st_mtim.tv_nsec},
          st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
}

class AppleDoubleTest : public WriterTest {
 protected:
  // The marker the step writes for dir/f with the given mounts ("" or "-").
  std::string marker(const std::vector<mntfs_ent>& mounts = {}, bool preserve = false) {
    FILE* out = tmpfile();
    EXPECT_EQ(markAppleDoubleCompanion(out, (dir / "f").c_str(), mounts, preserve), 0);
    std::string m = ftell(out) == 1 ? "-" : "";
    fclose(out);
    return m;
  }
};

TEST_F(CollectWriterTest, LinesSizesAndNumbering) {
  for (const char* skipped : {"/", "rel/a", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(find.addToCollect(skipped, 9), 0);
  EXPECT_EQ(find.m_curCollectNum, 0);  // skipped paths choose no number
  EXPECT_EQ(kztest::countLogged(*fake, "/"), 1);  // but are logged at level 2
  EXPECT_EQ(find.addToCollect("/data/empty", 0), 0);
  EXPECT_EQ(find.m_collectInfo.count(1), 0u);  // a zero size leaves the record alone
  for (auto [path, size] : {std::pair{"/data/a.txt", 100}, {"/data/b", 50}, {"/data/neg", -5}})
    EXPECT_EQ(find.addToCollect(path, size), 0);
  EXPECT_EQ(contents(1), "/data/empty|0\n/data/a.txt|100\n/data/b|50\n/data/neg|-5\n");
  EXPECT_TRUE(find.m_collectInfo[1].totalSize == 145 && find.m_numEntries == 4 && find.m_nextCollectNum == 2);
  EXPECT_EQ(find.addToCollect("/huge", INT64_MAX), 0);  // the sum sticks at the limit
  EXPECT_EQ(find.m_collectInfo[1].totalSize, INT64_MAX);
}

// A subclass's escaping makes every line, plain paths too (the host's own escaping of
// plain and awkward names is the scanner's full scan).
TEST_F(CollectWriterTest, LinesTakeTheSubclassesEscaping) {
  find.escapeTail = "~";
  EXPECT_EQ(find.addToCollect("/data/a", 1), 0);
  EXPECT_EQ(contents(1), "/data/a~|1\n");
}

TEST_F(CollectWriterTest, SwitchingReopensAndAppends) {
  kztest::writeFile(file(1), "/old|1\n");
  for (int n : {1, 2, 1}) {
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
  find.m_jobCtrl = std::make_unique<KZJobCtrlClient>(0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(find.addToCollect("/q", 1), 0);
  // The base interruption tells the job manager once per call.
  EXPECT_EQ(fake->calls(), (std::vector<std::string>{"finishedWork(120000)", "finishedWork(120000)"}));
  EXPECT_EQ(kztest::countLogged(*fake, "File Scan interrupted by Job Manager"), 2);
  EXPECT_EQ(contents(1), "/early|1\n/q|1\n/q|1\n");
}

TEST_F(CollectWriterTest, FullDiskIsNoticed) {
  fake->switches().fullDiskPrefix = dir.path();
  const std::string path = "/data/" + std::string(90, 'p');
  int ok = 0, failed = 0;
  for (int i = 0; i < 20000; ++i) {  // well past one stdio buffer; once failed, always failed
    if (find.addToCollect(path.c_str(), 1) == 0) ASSERT_EQ(failed, 0) << i;
    else ++failed;
    ok += failed == 0;
  }
  EXPECT_GT(failed, 0);
  EXPECT_EQ(find.m_numEntries, ok);
  EXPECT_TRUE(KzFindTestAccess::outputLost(find));
}

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
  find.m_ancestors.clear();  // a linear presence test takes minutes here
  for (int i = 0; i < 100000; ++i) find.collectAncestors(("/d1/d2/d3/d4/d5/" + std::to_string(i) + "/f").data());
  EXPECT_EQ(find.m_ancestors.size(), 100005u);
}

// Whatever a subclass does to the list between calls, the next call answers as a search
// of the list as it stands would (the sanitizer build also sees any view into a freed or
// reused node). Each row starts from the list /srv/a, /srv.
TEST_F(AncestorsTest, HandEditsOfTheListAreRespected) {
  struct {
    const char* change;
    void (*edit)(AncestorList&);
    const char* next;  // the path of the following collectAncestors
    Dirs expected;
  } cases[] = {
      {"pop_back, push_back", [](AncestorList& l) { l.pop_back(), l.push_back("/q"); }, "/srv/f", {"/srv/a", "/q", "/srv"}},
      {"assign, same size", [](AncestorList& l) { l = Dirs{"/x", "/y"}; }, "/srv/a/f", {"/x", "/y", "/srv/a", "/srv"}},
      {"clear", [](AncestorList& l) { l.clear(); }, "/srv/a/f", {"/srv/a", "/srv"}},
      {"extend without parents", [](AncestorList& l) { l.push_back("/p/q/r"); }, "/p/q/r/f",
       {"/srv/a", "/srv", "/p/q/r", "/p/q", "/p"}},
      {"prune", [](AncestorList& l) { l.pop_front(); }, "/srv/a/f", {"/srv", "/srv/a"}},
      {"reorder", [](AncestorList& l) { l.reverse(); }, "/srv/a/b/f", {"/srv", "/srv/a", "/srv/a/b"}},
      {"edit through an iterator", [](AncestorList& l) { *l.begin() = "/t"; }, "/srv/a/f", {"/t", "/srv", "/srv/a"}},
      {"erase, insert", [](AncestorList& l) { l.insert(l.erase(l.begin()), "/z"); }, "/srv/a/f", {"/z", "/srv", "/srv/a"}},
      {"swap", [](AncestorList& l) { AncestorList o{"/o"}; swap(l, o); }, "/srv/a/f", {"/o", "/srv/a", "/srv"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    find.m_ancestors.clear();
    find.collectAncestors("/srv/a/f");
    c.edit(find.m_ancestors);
    find.collectAncestors(c.next);
    EXPECT_EQ(find.m_ancestors, c.expected);
  }
}

TEST_F(AncestorsTest, DumpWritesAfterTheFileLinesAndForgets) {
  EXPECT_EQ(find.dumpAncestors(), 0);  // empty: opens nothing
  EXPECT_EQ(find.m_collectFp, nullptr);
  find.collectAncestors("/a/b/f");
  find.dumpAncestors();  // no file line yet: collect file 1 is made
  ASSERT_EQ(find.addToCollect("/x/y/f", 4), 0);
  for (const char* p : {"/x/y/f", "/x/z/f", "/x/a|b/f"}) find.collectAncestors(p);
  find.m_ancestors.push_back("/x");  // a duplicate put in by hand is written once
  EXPECT_EQ(find.dumpAncestors(), 0);
  EXPECT_EQ(contents(1), "/a/b\n/a\n/x/y/f|4\n/x/y\n/x\n/x/z\n/x/a\\pb\n");
  EXPECT_EQ(find.m_numEntries, 7);
  EXPECT_TRUE(find.m_ancestors.empty());

  // The escaped form is C text in file and ancestor lines alike: a NUL inside it ends it.
  find.escapeTail = std::string("\0tail", 5);
  ASSERT_EQ(find.addToCollect("/c", 5), 0);
  find.collectAncestors("/b/f");
  find.dumpAncestors();
  EXPECT_TRUE(contents(1).ends_with("/x/a\\pb\n/c|5\n/b\n"));
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

// The first line the process accepts must be a top line; no later one is checked. The check
// lives once per process, so this is the program's only test that writes these lines.
TEST_F(DirChangeTest, LinesAndTheFirstLineCheck) {
  EXPECT_EQ(find.addToDirchange("/a", false), -1);  // no file: fails, leaves the check pending
  find.m_dirchangeFp = fopen((dir / "dc").c_str(), "wb");
  EXPECT_EQ(find.addToDirchange(nullptr, true), 0);  // a no-op, also leaving it pending
  EXPECT_EQ(find.addToDirchange("/a/x", true), -1);
  EXPECT_TRUE(fake->logged("Error:Not a child: Topmost Node cant be a child /a/x"));
  KzFind other;  // the check is per process, not per object
  other.m_dirchangeFp = find.m_dirchangeFp;
  EXPECT_EQ(other.addToDirchange("/c/z", true), 0);
  other.m_dirchangeFp = nullptr;
  for (auto [path, child] : {std::pair{"/a", false}, {"/a/y|z", true}, {"/b\nc", false}})
    EXPECT_EQ(find.addToDirchange(path, child), 0);
  EXPECT_EQ(kztest::flushAndRead(find.m_dirchangeFp, dir / "dc"), "\t/c/z\n/a\n\t/a/y\\pz\n/b\\nc\n");
  EXPECT_EQ(kztest::countLogged(*fake, "dirChange:/a/y\\pz\n"), 1);
  fclose(find.m_dirchangeFp);

  // A TAB that cannot be written: -1 and nothing else, not even a debug line.
  find.m_dirchangeFp = fopen("/dev/full", "w");
  setvbuf(find.m_dirchangeFp, nullptr, _IONBF, 0);
  const size_t lines = fake->debugLines().size();
  EXPECT_EQ(find.addToDirchange("/d/x", true), -1);
  EXPECT_EQ(fake->debugLines().size(), lines);
  EXPECT_TRUE(KzFindTestAccess::outputLost(find));
  fclose(find.m_dirchangeFp);
  find.m_dirchangeFp = nullptr;

  find.reportFailFile("Permission denied", "/d/f");  // the reason comes first, the file second
  EXPECT_EQ(fake->debugLines().back().text, "file '/d/f' (Permission denied) failed.");
}

TEST_F(AppleDoubleTest, CompanionKinds) {
  std::string filler = header(), version = header();
  filler[15] = 1;
  version[5] = 1;
  kztest::writeFile(dir / "target", header());
  struct {
    const char* expected;
    // f: a file of these bytes, n: none, d: a directory, p: a FIFO, c: a device,
    // l: a link to a genuine companion, z: a link to /dev/zero
    char kind;
    std::string bytes = {};
  } cases[] = {
      {"-", 'f', header()}, {"-", 'f', header() + "more"}, {"-", 'f', header(std::string("\1\0", 2))},
      {"", 'f', header({"\0\0", 2})}, {"", 'f', version}, {"", 'f', filler}, {"", 'f', header().substr(0, 25)},
      {"", 'n'}, {"", 'd'}, {"", 'p'},  // a FIFO must not block the scan
      {"", 'c'}, {"", 'l'}, {"", 'z'},  // anyone can name these like a companion
  };
  const std::string f = dir / "._f";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind + testing::PrintToString(c.bytes));
    std::filesystem::remove_all(f);
    if (c.kind == 'f') kztest::writeFile(f, c.bytes);
    if (c.kind == 'c' && mknod(f.c_str(), S_IFCHR | 0644, makedev(1, 5)) != 0) continue;  // unprivileged: no device
    ASSERT_EQ(0, c.kind == 'd' ? mkdir(f.c_str(), 0755) : c.kind == 'p' ? mkfifo(f.c_str(), 0644)
                                                       : c.kind == 'l' ? symlink("target", f.c_str())
                                                       : c.kind == 'z' ? symlink("/dev/zero", f.c_str()) : 0);
    const unsigned long opens = appleDoubleOpens();
    EXPECT_EQ(marker({}, c.kind == 'l' || c.kind == 'z'), c.expected);  // a link's times are not touched
    if (c.kind == 'l' || c.kind == 'z') {
      EXPECT_EQ(appleDoubleOpens(), opens) << "a link was followed";
    }
  }
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
  kztest::writeFile(dir / "._f", header());
  setTimes(dir / "._f", kOld);
  unsigned long opens = appleDoubleOpens();
  find.m_preserveAtime = true;  // without m_checkAppleDouble: nothing is looked at
  ASSERT_EQ(find.addToCollect((dir / "f").c_str(), 3), 0);
  EXPECT_EQ(appleDoubleOpens(), opens);
  find.m_checkAppleDouble = true;
  ASSERT_EQ(find.addToCollect((dir / "f").c_str(), 3), 0);
  EXPECT_EQ(contents(1), (dir / "f") + "|3\n-" + (dir / "f") + "|3\n");
  EXPECT_EQ(timesOf(dir / "._f").first, kOld);  // to the nanosecond

  // A marker that cannot be written fails the step; the times still go back.
  setTimes(dir / "._f", kOld);
  FILE* full = fopen("/dev/full", "w");
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(markAppleDoubleCompanion(full, (dir / "f").c_str(), {}, true), -1);
  fclose(full);
  EXPECT_EQ(timesOf(dir / "._f").first, kOld);
}

// Only an access time that moved is put back, to the nanosecond; the modification time is
// never written, and a companion nobody opened (on an HFS mount) keeps even its ctime. A
// link is left alone, and its target must not be given the link's times.
TEST_F(AppleDoubleTest, TimePreserverPutsBackAMovedAccessTimeOnly) {
  kztest::writeFile(dir / "file", "abc");
  kztest::writeFile(dir / "._f", header());
  ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
  setTimes(dir / "file", kOld);
  setTimes(dir / "._f", kOld);
  setTimes(dir / "link", {3000000, 0, 4000000, 0});
  const long long companionCtime = timesOf(dir / "._f").second;
  usleep(20000);  // a later write of the times would show in the ctime
  {
    AMTimePreserver link(new CoreInodePropPreserver<struct stat>(dir / "link"));  // released last
    AMTimePreserver file(new CoreInodePropPreserver<struct stat>(dir / "file"));
    setTimes(dir / "file", {5, 0, 1200000000, 5});  // a read, and a write by someone else
    setTimes(dir / "link", {7, 0, 8, 0});
  }
  EXPECT_EQ(timesOf(dir / "file").first, (Times{1000000000, 123456789, 1200000000, 5}));
  EXPECT_EQ(timesOf(dir / "link").first, (Times{7, 0, 8, 0}));
  EXPECT_EQ(marker({{dir.path(), "hfs", ""}}, true), "");
  EXPECT_EQ(timesOf(dir / "._f"), std::pair(kOld, companionCtime));
}

}  // namespace
