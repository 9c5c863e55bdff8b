// Faults a whole scan phase must come through without losing a line or calling a failure
// a success: a full disk at every writer, missing or replaced folders, entries changing
// under the walker, a job manager that refuses reports or asks to stop, and a process
// killed in the middle of a scan or of the splitting. The reference scanner's host runs
// each phase, from Initialize to destruction, over the recording fake. And a small
// walking subclass's whole phase on a full disk: what the job manager hears.
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <utility>

#include "ifind/ScanHost.h"
#include "scanphase/SplitConfigSeam.h"
#include "support/WriterSupport.h"

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

// While armed, the walker's stat of an entry named "gone" finds it removed, its sibling
// directory "d" turned into a file and "e" removed; its stat of "morph" finds a directory.
// This is what another process can do between the listing of a directory and the stat of
// its entries, which the walker does with no callback in between.
static std::atomic<bool> g_raceArmed{false};

extern "C" int fstatat(int dirfd, const char* name, struct stat* st, int flags) __THROW {
  if (g_raceArmed && strcmp(name, "gone") == 0) {
    unlinkat(dirfd, "gone", 0);
    unlinkat(dirfd, "e", AT_REMOVEDIR);
    unlinkat(dirfd, "d", AT_REMOVEDIR);
    close(openat(dirfd, "d", O_WRONLY | O_CREAT, 0644));
  } else if (g_raceArmed && strcmp(name, "morph") == 0) {
    unlinkat(dirfd, "morph", 0);
    mkdirat(dirfd, "morph", 0755);
  }
  return static_cast<int>(syscall(SYS_newfstatat, dirfd, name, st, flags));
}

namespace {

// The recording fake, able to kill the process and to refuse reopening a file.
class TestPlatform : public kzhost::FakePlatform {
 public:
  using FakePlatform::FakePlatform;
  int killAtQuitCheck = 0;  // SIGKILL at this quit-flag check (one per recorded file)
  std::string killAtOpen;   // "<path>:<mode>": SIGKILL right after that open
  std::string noAppend;     // opens of this path for appending fail with EMFILE
  FILE* openFile(const char* path, const char* mode) override {
    if (noAppend == path && strcmp(mode, "a") == 0) return errno = EMFILE, nullptr;
    FILE* fp = FakePlatform::openFile(path, mode);
    if (killAtOpen == std::string(path) + ":" + mode) raise(SIGKILL);
    return fp;
  }
  bool quitRequested(long long job) override {
    if (++m_checks == killAtQuitCheck) raise(SIGKILL);
    return FakePlatform::quitRequested(job);
  }

 private:
  int m_checks = 0;
};

using Host = ifind::ScanHost;
using Hook = std::function<void(Host&, TestPlatform&)>;

struct PhaseRun {
  std::string root, jobDir;
  int streams = 1;
  Hook beforeStart = {}, beforeScan = {}, beforeFinish = {};
};

struct Outcome {
  bool succeeded = false;
  Calls calls;  // the reports to the job manager (runPhase leaves out the parameter string)
  std::string log;
  Files files;  // the job folder afterwards
  uint64_t unlisted = 0;  // failures the failures file did not take
};

// One whole phase of the scanner's host, from Initialize to destruction, on a new fake.
Outcome runPhase(const PhaseRun& r) {
  kzhost::FakePlatform::Switches sw;
  sw.jobDir = r.jobDir;
  sw.streams = r.streams;
  sw.splitFlag = r.streams > 1;
  auto owned = std::make_unique<TestPlatform>(sw);
  TestPlatform& fake = *owned;
  fake.setDebugLevel(9);
  auto previous = kzhost::Platform::install(std::move(owned));
  Outcome o;
  {
    ifind::ScanConfig config;
    config.roots = {r.root};
    config.statMode = ifind::StatMode::Single;  // the races above are staged inside fstatat
    Host host(config);
    if (r.beforeStart) r.beforeStart(host, fake);
    CLoError e = kztest::startPhase(host);
    if (e.IsError()) o.log += "step failed: " + e.message() + "\n";
    if (!e.IsError() && r.beforeScan) r.beforeScan(host, fake);
    if (!e.IsError()) host.scan();
    if (r.beforeFinish) r.beforeFinish(host, fake);
    host.Finish();
    o.succeeded = host.m_scanSucceeded;
    o.unlisted = host.stats().unlisted;
  }
  o.calls = kztest::jobManagerCalls(fake, true);
  o.calls.erase(o.calls.begin(), o.calls.begin() + std::min<size_t>(2, o.calls.size()));  // init, Init2
  for (const kzhost::DebugRecord& d : fake.debugLines()) o.log += d.text + "\n";
  o.files = kztest::filesIn(fake.jobDir());
  kzhost::Platform::install(std::move(previous));
  return o;
}

class Reliability : public ::testing::Test {
 protected:
  std::string at(const std::string& name) const { return m_tmp / name; }

  // n files of 100 bytes in three folders, and an empty folder; names made long so that
  // a few thousand lines fill more than one stdio buffer.
  std::string makeTree(int n) {
    const std::string root = at("tree");
    fs::create_directories(root + "/sub/deep");
    fs::create_directories(root + "/empty");
    const char* where[] = {"/", "/sub/", "/sub/deep/"};
    for (int i = 0; i < n; ++i) {
      std::ofstream(root + where[i % 3] + "file-" + std::string(60, 'n') + std::to_string(i)) << std::string(100, 'x');
    }
    return root;
  }
  kztest::TempDir m_tmp;
};

FILE* openDevFull(const char*, const char* mode) { return fopen("/dev/full", mode); }

// Every lost or unwritable output fails the phase; a refused report or the quit flag
// at each stage gives exactly the reports it should.
TEST_F(Reliability, LostOutputsRefusedReportsAndTheQuitFlag) {
  const std::string files = makeTree(12), dirsOnly = at("dirs");
  fs::create_directories(dirsOnly + "/x/y");  // records nothing but ancestor lines
  auto full = [](std::string name, int streams = 1) {
    return [=](Host&, TestPlatform& p) {
      p.switches().fullDiskPrefix = p.jobDir() + "/" + name;
      p.switches().streams = streams;
      p.switches().splitFlag = true;
    };
  };
  auto collectIn = [](bool plainFile) {
    return [=](Host&, TestPlatform& p) {
      p.switches().collectName = "out/Collect.kzf";
      fs::create_directories(p.jobDir());
      if (plainFile) std::ofstream(p.jobDir() + "/out") << "x";
    };
  };
  using S = kzhost::FakePlatform::Switches;
  auto up = [](std::vector<kztest::Flag> flags) -> Hook {  // these switches raised
    return [=](Host&, TestPlatform& p) {
      for (kztest::Flag f : flags) p.switches().*f = true;
    };
  };
  const char *kUpdate = "updateInfo(false)", *kConcat = "concatPhaseParams", *kFailed = "complete(2,1,0,0)",
             *kCritical = "event(critical,0x11000002,0,0)", *kDone = "finishedWork(120000)";
  const Calls success = {kUpdate, "setNumStreams(1)", kConcat, kUpdate, "complete(1,1,0,0)", kDone},
              failed = {kUpdate, kFailed, kCritical, kDone}, twice = {kUpdate, kFailed, kFailed, kCritical, kDone};
  enum Stage { kBeforeStart, kBeforeScan, kBeforeFinish };
  struct Row {
    const char* name;
    bool dirsOnly;
    Stage stage;
    Hook hook;
    Calls calls;
    const char* logged;  // "@" stands for the job folder
  } rows[] = {
      {"collect lines", false, kBeforeScan, full("Collect1.kzf"), failed, "Failed to close @/Collect1.kzf, errno 28"},
      {"ancestor lines", true, kBeforeScan, full("Collect1.kzf"), failed, "Failed to close @/Collect1.kzf, errno 28"},
      {"directory-change lines", false, kBeforeScan,
       [](Host& h, TestPlatform&) {
         h.m_backupType = 2;  // incremental: every folder is newer than the reference time
         h.m_dirchangeFp = freopen("/dev/full", "w", h.m_dirchangeFp);
       },
       failed, "Failed to close @/DirChange.tmp, errno 28"},
      {"scratch copy of the split", false, kBeforeFinish, full("Collect1.tmp"), twice,
       "Failed to write @/Collect1.tmp"},
      {"rewritten collect file", false, kBeforeFinish, full("Collect1.kzf"), twice, "Failed to write @/Collect1.kzf"},
      {"piece cut off", false, kBeforeStart, full("Collect2.kzf", 4), twice, "Failed to write @/Collect2.kzf"},
      {"split_config", false, kBeforeFinish,
       [](Host&, TestPlatform&) { kzfind_internal::setSplitConfigOpener(openDevFull); }, twice,
       "Failed to write @/split_config"},
      {"collect folder missing", false, kBeforeStart, collectIn(false), failed,
       "Could not open '@/out/Collect1.kzf' for writing, errno 2"},
      {"collect folder is a file", true, kBeforeStart, collectIn(true), failed,
       "Could not open '@/out/Collect1.kzf' for writing, errno 20"},
      // Collect file 1 was closed (as when the walk moved to another file system) and
      // cannot be opened again for the ancestor lines; the split still finds it whole.
      {"ancestor lines, collect file not reopened", false, kBeforeFinish,
       [](Host& h, TestPlatform& p) {
         fclose(std::exchange(h.m_collectFp, nullptr));
         p.noAppend = p.jobDir() + "/Collect1.kzf";
       },
       failed, "Could not open '@/Collect1.kzf' for writing, errno 24"},
      {"job folder is a file", false, kBeforeStart,
       [this](Host&, TestPlatform& p) {
         std::ofstream(at("job-file")) << "x";
         p.switches().jobDir = at("job-file");
       },
       {"event(minor,0x1100001b,0,0,args=[4711])", kUpdate, kFailed, kCritical, kDone},
       "step failed: Could not Identify base directory for m_subclient default"},
      {"success refused", false, kBeforeFinish, up({&S::completeFails}), success,
       "Error notifying Job Manager of successful completion."},
      {"first updateInfo refused: not examined", false, kBeforeFinish,
       [](Host&, TestPlatform& p) { p.switches().updateInfoResults = {false}; }, success, ""},
      {"quit before the walk", false, kBeforeStart, up({&S::quitFlag}), {kDone, kUpdate, kCritical, kDone}, ""},
      {"quit after a complete walk", false, kBeforeFinish, up({&S::quitFlag}), success, ""},
      {"quit, then concatPhaseParams refused", false, kBeforeFinish, up({&S::quitFlag, &S::concatFails}),
       {kUpdate, "setNumStreams(1)", kConcat, kCritical, kDone}, "Error in setting the phase parameter(s)"},
      {"quit, then the reference time refused", false, kBeforeFinish,
       [](Host&, TestPlatform& p) {
         p.switches().quitFlag = true;
         p.switches().updateInfoResults = {true, false};
       },
       {kUpdate, "setNumStreams(1)", kConcat, kUpdate, kCritical, kDone}, "Error in Updating info: Reference Time"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string job = at("job" + std::to_string(++n));
    PhaseRun r{.root = row.dirsOnly ? dirsOnly : files, .jobDir = job};
    (row.stage == kBeforeStart ? r.beforeStart : row.stage == kBeforeScan ? r.beforeScan : r.beforeFinish) = row.hook;
    Outcome o = runPhase(r);
    kzfind_internal::setSplitConfigOpener(nullptr);
    EXPECT_EQ(o.calls, row.calls);
    EXPECT_EQ(o.succeeded, std::count(row.calls.begin(), row.calls.end(), "complete(1,1,0,0)") == 1);
    std::string logged = row.logged;
    if (size_t i = logged.find('@'); i != std::string::npos) logged.replace(i, 1, job);
    EXPECT_NE(o.log.find(logged), std::string::npos) << o.log;
  }
}

TEST_F(Reliability, EntriesChangingBetweenListingAndStatFailOnlyThemselves) {
  using Lines = std::multiset<std::string>;
  auto sortedLines = [](const std::string& text) {
    std::vector<std::string> lines = kztest::splitLines(text);
    return Lines(lines.begin(), lines.end());
  };
  // The second time into a failures file on a full disk: none of the failures counts as listed.
  for (bool fullDisk : {false, true}) {
    const std::string root = at(fullDisk ? "again" : "tree"), job = at(fullDisk ? "job2" : "job");
    fs::create_directories(root);
    kztest::makeTree(root, {"d/", "e/", "gone", "morph", "keep"});
    g_raceArmed = true;
    Outcome o = runPhase({.root = root, .jobDir = job, .beforeScan = [&](Host&, TestPlatform& p) {
                            if (fullDisk) p.switches().fullDiskPrefix = job + "/failures.log";
                          }});
    g_raceArmed = false;
    EXPECT_TRUE(o.succeeded);
    EXPECT_EQ(o.unlisted, fullDisk ? 3u : 0u);
    EXPECT_EQ(o.log.find("Failed to write the failures file") != std::string::npos, fullDisk);
    EXPECT_EQ(sortedLines(o.files["failures.log"]),
              (fullDisk ? Lines{}
                        : Lines{root + "/d|opendir: Not a directory", root + "/e|opendir: No such file or directory",
                                root + "/gone|lstat: No such file or directory"}));
    Lines want = {root + "/keep", root + "/morph"};  // and the folders up to the top
    for (fs::path p = root; p != "/"; p = p.parent_path()) want.insert(p.string());
    EXPECT_EQ(sortedLines(o.files["Collect1.kzf"]), want);
  }
}

// A phase killed at any point leaves files a new scan of the same subclient replaces
// completely: its outputs are those of a clean run, byte for byte.
TEST_F(Reliability, KilledMidScanOrMidSplitThenRescannedGivesACleanRunsOutputs) {
  const std::string root = makeTree(3000);  // about 330 KB of collect lines
  const Outcome want = runPhase({.root = root, .jobDir = at("clean"), .streams = 4});
  ASSERT_TRUE(want.succeeded);
  ASSERT_TRUE(want.files.contains("Collect4.kzf"));  // cut into four pieces that together hold every line
  Files pieces = want.files, whole = runPhase({.root = root, .jobDir = at("whole")}).files;
  EXPECT_EQ(pieces["Collect1.kzf"] + pieces["Collect2.kzf"] + pieces["Collect3.kzf"] + pieces["Collect4.kzf"],
            whole["Collect1.kzf"]);
  const std::string job = at("job");
  struct Point {
    const char* name;
    int killAtFile;
    std::string killAtOpen, leftover;
  } points[] = {
      {"mid-walk, part of the lines flushed", 2900, "", "Collect1.kzf"},
      {"collect file emptied, its lines only in the scratch copy", 0, job + "/Collect1.kzf:w", "Collect1.tmp"},
      {"cutting a piece off", 0, job + "/Collect3.kzf:w", "Collect1.tmp"},
      {"copying a piece", 0, job + "/Collect2.tmp:w", "Collect2.tmp"},
  };
  for (const Point& p : points) {
    SCOPED_TRACE(p.name);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("TMPDIR", m_tmp.path().c_str(), 1);  // the fake's own folder outlives a kill
      runPhase({.root = root, .jobDir = job, .streams = 4, .beforeScan = [&](Host&, TestPlatform& fake) {
                  fake.killAtQuitCheck = p.killAtFile;
                  fake.killAtOpen = p.killAtOpen;
                }});
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_TRUE(fs::exists(job + "/" + p.leftover));
    const Outcome again = runPhase({.root = root, .jobDir = job, .streams = 4});
    EXPECT_TRUE(again.succeeded);
    EXPECT_TRUE(again.files == want.files);
  }
}

// The walking subclass: the file named in newCollectAt starts a new collect file.
class TreeScan : public KzFind {
 public:
  void DecideIfNewMountPoint(const char* path, bool flag) override {
    if (newCollectAt == path) m_curCollectNum = m_nextCollectNum++;
    KzFind::DecideIfNewMountPoint(path, flag);
  }
  std::string newCollectAt;
};

// Every step to Start, the files recorded with the folders above them (each of size 1000),
// Finish after a walk that succeeded, destruction: what the job manager hears.
Outcome runScan(const std::vector<std::string>& paths, const char* fullDisk = nullptr, const char* newCollectAt = "") {
  kzhost::ScopedFakePlatform fake;
  if (fullDisk) fake->switches().fullDiskPrefix = fake->jobDir() + "/" + fullDisk;
  {
    TreeScan scan;
    scan.newCollectAt = newCollectAt;
    CLoError e = kztest::startPhase(scan);
    EXPECT_FALSE(e.IsError()) << e.ToString();
    for (const std::string& p : paths) {
      EXPECT_EQ(scan.addToCollect(p.c_str(), 1000) + scan.collectAncestors(p.c_str()), 0);
    }
    scan.m_scanSucceeded = true;
    EXPECT_FALSE(scan.Finish().IsError());
  }
  Outcome r;
  r.calls = kztest::jobManagerCalls(*fake);
  return r;
}

Calls withInit(Calls tail) {
  tail.insert(tail.begin(), {"init(dorvane.test,4711,0,4,false,tok)", "Init2(4711,dorvane.test,1,4,tok,null)",
                             "updateInfo(false)"});
  return tail;
}

// Lines lost on a full disk while the walk moved on to another collect file: the scan
// must fail although the walk reported success and the last file closed cleanly.
TEST(EndToEnd, LinesLostOnAFullDiskFailTheScan) {
  Outcome r = runScan({"/first/a", "/second/b"}, "Collect1.kzf", "/second/b");
  EXPECT_EQ(r.calls, withInit({"complete(2,1,0,0)", "event(critical,0x11000002,0,0)", "finishedWork(120000)"}));
}

}  // namespace
