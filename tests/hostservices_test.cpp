#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>

#include "hostservices/CLoError.h"
#include "hostservices/CLoString.h"
#include "hostservices/EvDebug.h"
#include "hostservices/FakePlatform.h"
#include "hostservices/FileUtil.h"
#include "hostservices/JobClients.h"
#include "hostservices/LocalPlatform.h"
#include "hostservices/Subclient.h"

namespace fs = std::filesystem;
using kzhost::FakePlatform;
using kzhost::LocalPlatform;
using kzhost::Platform;
using kzhost::ScopedFakePlatform;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "kzhost.XXXXXX").string();
    if (mkdtemp(tmpl.data())) m_path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

}  // namespace

// --- Escaping ------------------------------------------------------------------------

TEST(EscapeFileName, Table) {
  static const struct {
    const char* path;
    const char* escaped;
  } cases[] = {
      {"", ""},
      {"/data/a.txt", "/data/a.txt"},
      {"/a|b", "/a\\pb"},
      {"/a\\b", "/a\\\\b"},
      {"/a\nb\r", "/a\\nb\\r"},
      {"/lit\\p", "/lit\\\\p"},  // a literal backslash-p must not read back as "|"
      {"|\\\n\r", "\\p\\\\\\n\\r"},
      {"/caf\xc3\xa9", "/caf\xc3\xa9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(escapeFileName(c.path), c.escaped);
    EXPECT_EQ(unescapeFileName(c.escaped), c.path);
    std::string appended = "head:";
    appendEscapedFileName(appended, c.path);
    EXPECT_EQ(appended, std::string("head:") + c.escaped);
  }
  EXPECT_EQ(escapeFileName(nullptr), "");
}

TEST(EscapeFileName, RoundTripsEveryByteAndNeverLeavesASeparator) {
  std::vector<std::string> inputs;
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  inputs.push_back(all);
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(1, 255), len(0, 40), pick(0, 5);
  for (int i = 0; i < 2000; ++i) {
    std::string s;
    for (int n = len(rng); n > 0; --n) {
      // Bias towards the characters that matter.
      int p = pick(rng);
      s += p == 0 ? '\\' : p == 1 ? '|' : p == 2 ? 'p' : static_cast<char>(byte(rng));
    }
    inputs.push_back(s);
  }
  for (const std::string& s : inputs) {
    std::string e = escapeFileName(s.c_str());
    ASSERT_EQ(e.find_first_of("\n\r|"), std::string::npos) << e;
    ASSERT_EQ(unescapeFileName(e), s);
  }
  // The string_view form carries embedded NULs through.
  std::string withNul("a\0|b", 4), out;
  appendEscapedFileName(out, withNul);
  EXPECT_EQ(unescapeFileName(out), withNul);
}

TEST(EscapeFileName, UnescapeKeepsWhatEscapeNeverMakes) {
  EXPECT_EQ(unescapeFileName("a\\qb"), "a\\qb");
  EXPECT_EQ(unescapeFileName("tail\\"), "tail\\");
}

// --- Paths, strings, directories ------------------------------------------------------

TEST(CLoPath, GetParentAndIsRoot) {
  static const struct {
    const char* path;
    const char* parent;
  } cases[] = {
      {"/a/b", "/a"},  {"/a", "/"},     {"/", ""},     {"", ""},      {"/a/b/", "/a"},
      {"/a//b", "/a"}, {"//a", "/"},    {"a/b", "a"},  {"a", ""},     {"///", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(CLoPath::GetParent(c.path).str(), c.parent);
  }
  EXPECT_TRUE(CLoPath("/").IsRoot());
  EXPECT_FALSE(CLoPath("").IsRoot());
  EXPECT_FALSE(CLoPath("/a").IsRoot());
  // Walking up always ends, from absolute and relative paths alike.
  for (const char* start : {"/a/b/c/d", "x/y/z", "/a//b///c/"}) {
    SCOPED_TRACE(start);
    CLoString cur = CLoPath::GetParent(start);
    int steps = 0;
    while (!cur.empty() && steps < 10) {
      cur = CLoPath::GetParent(cur);
      ++steps;
    }
    EXPECT_LT(steps, 10);
  }
}

TEST(CLoPath, Append) {
  EXPECT_EQ(CLoPath::Append("/job", "Collect1.kzf").str(), "/job/Collect1.kzf");
  EXPECT_EQ(CLoPath::Append("/job/", "x").str(), "/job/x");
  EXPECT_EQ(CLoPath::Append("/", "x").str(), "/x");
}

TEST(ComparePath, Check) {
  static const struct {
    const char* base;
    const char* path;
    int result;
  } cases[] = {
      {"/mnt", "/mnt/a", ComparePath::Inside},      {"/mnt/", "/mnt/a/b", ComparePath::Inside},
      {"/", "/a", ComparePath::Inside},             {"/mnt", "/mnt", ComparePath::Same},
      {"/mnt/", "/mnt", ComparePath::Same},         {"/mnt", "/mntx/a", ComparePath::Unrelated},
      {"/mnt/a", "/mnt", ComparePath::Contains},    {"/mnt", "/other", ComparePath::Unrelated},
      {"", "/a", ComparePath::Unrelated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " vs " + c.path);
    EXPECT_EQ(ComparePath::Check(c.base, c.path), c.result);
  }
  EXPECT_EQ(ComparePath::Check(nullptr, "/a"), ComparePath::Unrelated);
}

TEST(CLoString, NumbersAppendInDecimal) {
  CLoString s(" -c ");
  EXPECT_EQ((s + INT_MIN).str(), " -c -2147483648");
  EXPECT_EQ((s + LONG_MAX).str(), " -c 9223372036854775807");
  EXPECT_EQ((s + LLONG_MIN).str(), " -c -9223372036854775808");
  EXPECT_STREQ(CLoString().c_str(), "");
  EXPECT_TRUE(CLoString(static_cast<const char*>(nullptr)) == "");
}

TEST(CLoDirectory, ListsEntriesAndReportsErrno) {
  TempDir dir;
  std::ofstream(dir / "one") << "1";
  std::ofstream(dir / "two") << "2";
  CLoDirectory d;
  ASSERT_FALSE(d.Open(dir.path().c_str(), "*", false).IsError());
  std::set<std::string> names;
  bool end = false;
  SLoDirEntry entry;
  while (true) {
    ASSERT_FALSE(d.GetEntry(entry, end).IsError());
    if (end) break;
    names.insert(entry.name.str());
  }
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "one", "two"}));
  EXPECT_FALSE(d.Close().IsError());

  static const struct {
    std::string path;
    int err;
  } failures[] = {{dir / "missing", ENOENT}, {dir / "one", ENOTDIR}};
  for (const auto& f : failures) {
    SCOPED_TRACE(f.path);
    CLoError e = d.Open(f.path.c_str(), "*", false);
    ASSERT_TRUE(e.IsError());
    EXPECT_EQ(e.kind(), CLoError::Kind::ErrNo);
    EXPECT_EQ(e.code(), f.err);
  }
  EXPECT_TRUE(d.GetEntry(entry, end).IsError());
}

// --- Errors ----------------------------------------------------------------------------

TEST(CLoError, CarriesCodeMessageAndSharedChain) {
  CLoError ok = CLoError::Success();
  EXPECT_FALSE(ok.IsError());
  EXPECT_EQ(ok.Push({"KzFind", "f", 1}).IsError(), false);
  EXPECT_EQ(ok.ToString(), "success");
  EXPECT_EQ(ok.kind(), CLoError::Kind::None);

  CLoError e = FXErrorUtil::ErrorWin32({"KzFind", "virtual CLoError KzFind::Start()", 120}, 774,
                                       "Invalid Backup type %d", 3);
  ASSERT_TRUE(e.IsError());
  EXPECT_LT(e.Status(), 0);
  EXPECT_EQ(e.kind(), CLoError::Kind::Win32);
  EXPECT_EQ(e.code(), 774);
  EXPECT_EQ(e.message(), "Invalid Backup type 3");
  CLoError copy = e;
  CLoError pushed = copy.Push({"Host", "run", 7});
  EXPECT_TRUE(pushed.IsError());
  ASSERT_EQ(e.locations().size(), 2u);  // seen through the original too
  EXPECT_EQ(e.locations()[1].function, "run");
  EXPECT_EQ(e.ToString(), "Win32 error 774: Invalid Backup type 3 [at KzFind:virtual CLoError KzFind::Start():120 <- Host:run:7]");

  std::string longText(2000, 'x');
  CLoError n = FXErrorUtil::ErrorErrNo({"KzFind", "split", 1}, ENOENT, "Failed to open %s", longText.c_str());
  EXPECT_EQ(n.kind(), CLoError::Kind::ErrNo);
  EXPECT_EQ(n.code(), ENOENT);
  EXPECT_EQ(n.message(), "Failed to open " + longText);
  EXPECT_EQ(n.ToString().rfind("errno 2: Failed to open xx", 0), 0u);
}

// --- Debug log, events, log writer ---------------------------------------------------------

TEST(EvDebug, LinesAboveTheLevelAreNeverFormatted) {
  ScopedFakePlatform fake;
  fake->setDebugLevel(1);
  EvDebug log;
  // Reading this argument would crash: the level test must come first.
  const char* poison = reinterpret_cast<const char*>(static_cast<uintptr_t>(1));
  log.debug(2, "%s", poison);
  log.DebugLvl("f", 2, "%s", poison);
  log.DebugLvl("f", 2, 9, "%s", poison);
  log.debug(1, "kept %d", 1);
  log.DebugLvl("f", 0, "kept %d", 0);
  ASSERT_EQ(fake->debugLines().size(), 2u);
  fake->setDebugLevel(-1);
  log.Error("f", "dropped");
  log.error("dropped");
  EXPECT_EQ(fake->debugLines().size(), 2u);
  EXPECT_FALSE(EvDebug::enabled(0));
}

TEST(EvDebug, LinesCarryKindFunctionAndJob) {
  ScopedFakePlatform fake;
  EvEvent ev;
  ev.setJobId(42);
  ev.debug(1, "a %s", "x");
  ev.Debug("fn", "b");
  ev.Error("fn", "c");
  ev.error("d");
  ev.DebugLvl("fn", 2, 77, "e");
  auto lines = fake->debugLines();
  ASSERT_EQ(lines.size(), 5u);
  static const struct {
    const char* kind;
    const char* function;
    long long job;
    const char* text;
  } expected[] = {{"debug", "", 42, "a x"}, {"Debug", "fn", 42, "b"}, {"Error", "fn", 42, "c"},
                  {"error", "", 42, "d"},   {"Debug", "fn", 77, "e"}};
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(lines[i].kind, expected[i].kind);
    EXPECT_EQ(lines[i].function, expected[i].function);
    EXPECT_EQ(lines[i].jobId, expected[i].job);
    EXPECT_EQ(lines[i].text, expected[i].text);
  }
  EXPECT_EQ(fake->calls(), std::vector<std::string>{"setJobId(42)"});
}

TEST(EvDebug, WrittenLinesKeepErrno) {
  // A platform whose log write disturbs errno, as a real write may.
  class NoisyLog : public FakePlatform {
   public:
    void debugLine(int, const char*, const char*, long long, std::string_view) override { errno = EBADF; }
  };
  auto previous = Platform::install(std::make_unique<NoisyLog>());
  EvDebug log;
  errno = ENOSPC;
  log.debug(1, "line");
  log.Error("f", "line");
  EXPECT_EQ(errno, ENOSPC);
  Platform::install(std::move(previous));
}

namespace {

// Keeps the raw event arguments, to check their bytes.
class ArgumentKeeper : public FakePlatform {
 public:
  void raiseEvent(long long jobId, kzhost::EventSeverity severity, uint32_t code, int a, int b,
                  const std::vector<kzhost::EventArgument>& args) override {
    kept = args;
    FakePlatform::raiseEvent(jobId, severity, code, a, b, args);
  }
  std::vector<kzhost::EventArgument> kept;
};

}  // namespace

TEST(EvEvent, ArgumentsAreLittleEndianAndClearedAfterEachEvent) {
  auto keeper = std::make_unique<ArgumentKeeper>();
  ArgumentKeeper* k = keeper.get();
  auto previous = Platform::install(std::move(keeper));
  EvEvent ev;
  ev << 0x0102030405060708L << -1L;
  ev.MinorEvent(0x1100001b, 0, 0);
  ASSERT_EQ(k->kept.size(), 2u);
  EXPECT_EQ(k->kept[0].type, 9);
  EXPECT_EQ(k->kept[0].bytes, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
  EXPECT_EQ(k->kept[1].bytes, std::string(8, '\xff'));
  ev.CriticalEvent(0x11000002, 0, 0);
  EXPECT_TRUE(k->kept.empty());
  EXPECT_EQ(k->calls(), (std::vector<std::string>{"event(minor,0x1100001b,0,0,args=[72623859790382856,-1])",
                                                  "event(critical,0x11000002,0,0)"}));
  Platform::install(std::move(previous));
}

TEST(CLogWriter, ForwardsLevelAndLines) {
  FakePlatform::Switches sw;
  sw.logWriterLevel = 3;
  ScopedFakePlatform fake(sw);
  ASSERT_NE(g_ptrLogWriter, nullptr);
  EXPECT_EQ(g_ptrLogWriter->GetLevel(), 3);
  g_ptrLogWriter->Write(nullptr, "fn", 10, 0, 0, "Init JobObject, Dorvane=[%s]", "dorvane.test");
  EXPECT_EQ(fake->calls(), (std::vector<std::string>{"logWriterLevel",
                                                     "logWriter(Init JobObject, Dorvane=[dorvane.test])"}));
}

// --- Faces over the fake's switches ------------------------------------------------------

TEST(Faces, FailuresReachTheCallerInItsOwnSense) {
  FakePlatform::Switches sw;
  sw.openRawFails = true;
  sw.noDorvaneName = true;
  sw.nullSubclient = true;
  sw.nullBackupSet = true;
  sw.streams = 0;
  sw.updateInfoResults = {true, false};
  sw.quitFlag = true;
  ScopedFakePlatform fake(sw);

  std::string path;
  EXPECT_TRUE(StoreResults(1, 2, false, nullptr).openRaw(RESULTS_FILE_RAW, path));
  KZPI_CommClient comm(nullptr);
  EXPECT_EQ(comm.getDorvaneHostName(), nullptr);
  ApplicationId app("1:2");
  EXPECT_EQ(app.getSubclient(nullptr), nullptr);
  EXPECT_EQ(app.getBackupSet(nullptr), nullptr);
  int count = 0;
  EXPECT_NE(AutoStreamHandler::GetMaxNumberOfStreams(nullptr, count, false, 0, 0, nullptr), 0);
  EXPECT_EQ(count, 1);  // never zero streams, whatever the platform says
  KZBkpJobClient job;
  EXPECT_TRUE(job.updateInfo(false, nullptr));
  EXPECT_FALSE(job.updateInfo(false, nullptr));
  EXPECT_TRUE(job.updateInfo(false, nullptr));
  KZJobCtrlClient ctrl(0);
  EXPECT_TRUE(ctrl.checkQuitFlag());
  EXPECT_TRUE(ctrl.checkQuitFlag());
  EXPECT_EQ(fake->quitChecks(), 2);
  EXPECT_EQ(ApplicationId("1:x").getApplicationId(nullptr), -1);
}

TEST(FakePlatform, OpenSwitchesAndTempFolder) {
  std::string dir;
  {
    ScopedFakePlatform fake;
    dir = fake->jobDir();
    ASSERT_TRUE(fs::is_directory(dir));
    fake->switches().failOpenPrefix = dir + "/deny";
    fake->switches().fullDiskPrefix = dir + "/full";
    errno = 0;
    EXPECT_EQ(fopen_utf((dir + "/deny.txt").c_str(), "w"), nullptr);
    EXPECT_EQ(errno, EACCES);
    FILE* f = fopen_utf((dir + "/full.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("data", f);
    errno = 0;
    EXPECT_NE(fflush(f), 0);
    EXPECT_EQ(errno, ENOSPC);
    fclose(f);
    std::ofstream(dir + "/left-behind") << "x";
    fs::create_directory(dir + "/sub");
    std::ofstream(dir + "/sub/deeper") << "x";
  }
  EXPECT_FALSE(fs::exists(dir));
}

// --- Time preserver ------------------------------------------------------------------------

namespace {

class CapturedTimes : public InodePropPreserverImpl {
 public:
  CapturedTimes(std::string name, bool* deleted) : m_name(std::move(name)), m_deleted(deleted) {
    struct stat st;
    m_result = lstat(m_name.c_str(), &st) != 0 ? -1 : S_ISLNK(st.st_mode) ? 1 : 0;
    m_atime = st.st_atime;
    m_mtime = st.st_mtime;
  }
  ~CapturedTimes() override { *m_deleted = true; }
  void reset() override {}
  std::string getname() override { return m_name; }
  int getstatresult() override { return m_result; }
  int64_t getatime() override { return m_atime; }
  int64_t getmtime() override { return m_mtime; }
  uint32_t getinodeuid() override { return 0; }
  uint32_t getmode() override { return 0; }

 private:
  std::string m_name;
  bool* m_deleted;
  int m_result = -1;
  int64_t m_atime = 0, m_mtime = 0;
};

void setTimes(const std::string& path, time_t atime, time_t mtime, int flags = 0) {
  struct timespec t[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, flags), 0);
}

std::pair<time_t, time_t> timesOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(lstat(path.c_str(), &st), 0);
  return {st.st_atime, st.st_mtime};
}

}  // namespace

TEST(AMTimePreserver, PutsBackTheTimesOfAFile) {
  TempDir dir;
  std::string file = dir / "f";
  std::ofstream(file) << "data";
  setTimes(file, 1000000, 2000000);
  bool deleted = false;
  {
    AMTimePreserver keep(new CapturedTimes(file, &deleted));
    setTimes(file, 5000000, 6000000);  // what reading and touching would do
  }
  EXPECT_TRUE(deleted);
  EXPECT_EQ(timesOf(file), (std::pair<time_t, time_t>{1000000, 2000000}));
}

TEST(AMTimePreserver, LeavesASymlinkAndItsTargetAlone) {
  TempDir dir;
  std::string target = dir / "t", link = dir / "l";
  std::ofstream(target) << "data";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  setTimes(link, 1000000, 2000000, AT_SYMLINK_NOFOLLOW);
  bool deleted = false;
  {
    AMTimePreserver keep(new CapturedTimes(link, &deleted));
    setTimes(target, 7000000, 8000000);
    setTimes(link, 3000000, 4000000, AT_SYMLINK_NOFOLLOW);
  }
  EXPECT_TRUE(deleted);
  EXPECT_EQ(timesOf(target), (std::pair<time_t, time_t>{7000000, 8000000}));
  EXPECT_EQ(timesOf(link), (std::pair<time_t, time_t>{3000000, 4000000}));
  AMTimePreserver none(nullptr);  // taking over nothing is harmless
}

// --- Local platform --------------------------------------------------------------------------

namespace {

LocalPlatform::Settings homeAt(const TempDir& dir) {
  LocalPlatform::Settings s;
  s.home = dir / "home";
  return s;
}

// One scan process of subclient 5:6: job directory lookup, parameters, completion.
void runJob(const TempDir& dir, long long jobId, int backupType, long long referenceTime, int status) {
  LocalPlatform p(homeAt(dir));
  p.eventInitialize(2, 1621670017, 0, false, "");
  subclientFiles files;
  ASSERT_EQ(p.subclientDirAndFiles(5, 6, &files, backupType, nullptr), 0);
  p.jobInit("localhost", jobId, 0, 4, false, "tok");
  p.concatPhaseParams(jobId, " -parent 1 -r " + std::to_string(referenceTime) + " -c 10", 3);
  p.complete(jobId, status, 1, 0, 0);
}

}  // namespace

TEST(LocalPlatform, ReferenceTimeFollowsSuccessfulScans) {
  TempDir dir;
  {
    LocalPlatform p(homeAt(dir));
    EXPECT_EQ(p.lastReferenceTime(5, 6, 2), 0);
  }
  runJob(dir, 1, 1, 1000, 1);  // full
  runJob(dir, 2, 2, 2000, 1);  // incremental
  runJob(dir, 3, 2, 3000, 2);  // failed: never a reference
  LocalPlatform p(homeAt(dir));
  std::ofstream(p.subclientDir(5, 6) + "/history.jsonl", std::ios::app) << "{\"status\": \"1\"}\nnot json\n";
  EXPECT_EQ(p.lastReferenceTime(5, 6, 2), 2000);
  EXPECT_EQ(p.lastReferenceTime(5, 6, 4), 1000);
  EXPECT_EQ(p.lastReferenceTime(5, 6, 1), 0);
  EXPECT_EQ(p.lastReferenceTime(5, 7, 2), 0);  // another subclient
}

TEST(LocalPlatform, JournalHoldsOneJsonObjectPerCall) {
  TempDir dir;
  runJob(dir, 4711, 1, 1234, 1);
  LocalPlatform p(homeAt(dir));
  std::ifstream in(p.journalPath(4711));
  ASSERT_TRUE(in.good());
  std::vector<std::string> calls;
  std::string line;
  while (std::getline(in, line)) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object()) << line;
    EXPECT_TRUE(j.contains("ts"));
    calls.push_back(j.value("call", ""));
  }
  // Calls made before the job id was known come first.
  EXPECT_EQ(calls, (std::vector<std::string>{"eventInitialize", "subclientDirAndFiles", "init",
                                             "concatPhaseParams", "complete"}));
  // Texts that are not UTF-8 still give valid lines.
  p.concatPhaseParams(4711, "/bad\xff\xfe", 3);
  std::ifstream again(p.journalPath(4711));
  std::string last;
  while (std::getline(again, line)) last = line;
  EXPECT_TRUE(nlohmann::json::parse(last, nullptr, false).is_object());
}

TEST(LocalPlatform, JobIdsAreUniqueAcrossProcesses) {
  TempDir dir;
  int pipes[2];
  ASSERT_EQ(pipe(pipes), 0);
  const int kPerProcess = 40;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    LocalPlatform p(homeAt(dir));
    for (int i = 0; i < kPerProcess; ++i) {
      long long id = p.newJobId();
      if (write(pipes[1], &id, sizeof id) != sizeof id) _exit(1);
    }
    _exit(0);
  }
  close(pipes[1]);
  std::set<long long> ids;
  LocalPlatform p(homeAt(dir));
  for (int i = 0; i < kPerProcess; ++i) ids.insert(p.newJobId());
  long long id;
  while (read(pipes[0], &id, sizeof id) == sizeof id) ids.insert(id);
  close(pipes[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ids.size(), 2u * kPerProcess);
  EXPECT_EQ(*ids.begin(), 1);
}

TEST(LocalPlatform, SettingsFileAndOverrides) {
  TempDir dir;
  fs::create_directories(dir / "home");
  std::ofstream(dir / "home/settings.json") << R"({"dorvane": "cs.example", "streams": 3, "splitFlag": false})";
  {
    LocalPlatform p(homeAt(dir));
    EXPECT_EQ(p.dorvaneHostName(), std::optional<std::string>("cs.example"));
    EXPECT_EQ(p.maxStreams(nullptr), 3);
    bool flag = true;
    p.subclient("1:2")->getSplitCollectFlag(&flag, 0);
    EXPECT_FALSE(flag);
  }
  LocalPlatform::Settings s = homeAt(dir);
  s.streams = 5;
  LocalPlatform p(s);
  EXPECT_EQ(p.maxStreams(nullptr), 5);
  EXPECT_FALSE(p.quitRequested(1));
  p.requestQuit();
  EXPECT_TRUE(p.quitRequested(1));
}

TEST(LocalPlatform, DebugLogHonoursTheLevelAndEnvironment) {
  TempDir dir;
  setenv("KZFIND_DEBUG", "2", 1);
  LocalPlatform p(homeAt(dir));
  unsetenv("KZFIND_DEBUG");
  EXPECT_EQ(p.debugLevel(), 2);
  auto previous = Platform::install(std::make_unique<LocalPlatform>(homeAt(dir)));
  Platform::current().setDebugLevel(1);
  EvDebug log;
  log.debug(1, "visible line\n");
  log.debug(2, "hidden line");
  Platform::install(std::move(previous));
  std::ifstream in(dir / "home/kzfind.log");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("visible line\n"), std::string::npos);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
}

TEST(Platform, NullInstallRestoresALazyLocalPlatform) {
  TempDir dir;
  setenv("KZFIND_HOME", (dir / "lazy").c_str(), 1);
  auto previous = Platform::install(nullptr);
  Platform& made = Platform::current();
  EXPECT_NE(dynamic_cast<LocalPlatform*>(&made), nullptr);
  EXPECT_EQ(&made, &Platform::current());
  EXPECT_TRUE(fs::is_directory(dir / "lazy"));
  auto mine = Platform::install(std::move(previous));
  EXPECT_EQ(mine.get(), &made);
  unsetenv("KZFIND_HOME");
}

TEST(LocalPlatform, UnusableHomeFailsCleanly) {
  TempDir dir;
  std::ofstream(dir / "file") << "x";
  LocalPlatform::Settings s;
  s.home = dir / "file/home";  // below a regular file: ENOTDIR
  LocalPlatform p(s);
  EXPECT_TRUE(p.platformInvalid());
  subclientFiles files;
  EXPECT_EQ(p.subclientDirAndFiles(1, 2, &files, 1, nullptr), -1);
  std::string path;
  EXPECT_FALSE(p.openRawResults(1, 7, path));
  EXPECT_EQ(p.newJobId(), -1);
}
