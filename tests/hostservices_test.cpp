// The host services: escaping, strings, errors, logging and events, the local platform,
// and one contract suite run against the local platform and the recording fake, so the
// fake cannot promise what the real platform does not do.
#include <pwd.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <set>

#include "hostservices/CLoError.h"
#include "hostservices/CLoString.h"
#include "hostservices/EvDebug.h"
#include "hostservices/FileUtil.h"
#include "hostservices/JobClients.h"
#include "hostservices/LocalPlatform.h"
#include "hostservices/Subclient.h"
#include "support/WriterSupport.h"

namespace fs = std::filesystem;
using kzhost::FakePlatform;
using kzhost::LocalPlatform;
using kzhost::Platform;
using kzhost::ScopedFakePlatform;
using kztest::TempDir;

// The exact escaped forms; the round trip of any bytes is fuzz_escape's.
TEST(EscapeFileName, Table) {
  std::pair<const char*, const char*> cases[] = {
      {"/data/a.txt", "/data/a.txt"}, {"/a|b", "/a\\pb"},          {"/a\nb\r", "/a\\nb\\r"},
      {"/lit\\p", "/lit\\\\p"},  // a literal backslash-p must not read back as "|"
      {"/a\rb", "/a\\rb"},  // a carriage return on its own
      {"|\\\n\r", "\\p\\\\\\n\\r"},   {"/caf\xc3\xa9", "/caf\xc3\xa9"}, {"", ""},
  };
  for (auto [path, escaped] : cases) {
    EXPECT_EQ(escapeFileName(path), escaped);
    EXPECT_EQ(unescapeFileName(escaped), path);
    const bool same = strcmp(path, escaped) == 0;
    EXPECT_EQ(unescapedLength(path), same ? strlen(path) : std::string::npos) << path;
  }
  EXPECT_EQ(escapeFileName(nullptr), "");
  EXPECT_EQ(unescapeFileName("a\\qb"), "a\\qb");  // kept: escaping never makes these
  EXPECT_EQ(unescapeFileName("tail\\"), "tail\\");
}

TEST(CLoString, ExtremeNumbersAppendInDecimal) {
  CLoString s(" -c ");
  EXPECT_EQ((s + INT_MIN).str(), " -c -2147483648");
  EXPECT_EQ((s + LLONG_MIN).str(), " -c -9223372036854775808");
  EXPECT_TRUE(CLoString(static_cast<const char*>(nullptr)) == "");
}

TEST(CLoError, MessageIsNeverCutAndCopiesShareTheChain) {
  EXPECT_FALSE(CLoError::Success().Push({"KzFind", "f", 1}).IsError());
  std::string longText(2000, 'x');
  CLoError e = FXErrorUtil::ErrorErrNo({"KzFind", "split", 1}, ENOENT, "Failed to open %s", longText.c_str());
  CLoError copy = e;
  EXPECT_TRUE(copy.Push({"Host", "run", 7}).IsError());
  EXPECT_EQ(e.ToString(), "errno 2: Failed to open " + longText + " [at KzFind:split:1 <- Host:run:7]");
}

TEST(EvDebugAndEvEvent, LevelBeforeFormattingErrnoKeptArgumentsOnce) {
  // A platform whose log write disturbs errno, as a real write may.
  struct NoisyLog : FakePlatform {
    void debugLine(int l, const char* k, const char* f, long long j, std::string_view t) override {
      FakePlatform::debugLine(l, k, f, j, t);
      errno = EBADF;
    }
  };
  auto noisy = std::make_unique<NoisyLog>();
  NoisyLog* fake = noisy.get();
  auto previous = Platform::install(std::move(noisy));
  fake->setDebugLevel(1);
  EvDebug log;
  const char* poison = reinterpret_cast<const char*>(static_cast<uintptr_t>(1));  // reading it crashes
  log.debug(2, "%s", poison);
  log.DebugLvl("f", 2, "%s", poison);
  log.DebugLvl("f", 2, 9, "%s", poison);
  errno = ENOSPC;
  log.debug(1, "a %s", "x");
  log.Error("fn", "c");
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(fake->debugLines().size(), 2u);
  // Arguments (read back by the fake as little-endian bytes) go with the next event only.
  EvEvent ev;
  ev << 0x0102030405060708L << -1L;
  ev.MinorEvent(0x1100001b, 0, 0);
  ev.CriticalEvent(0x11000002, 0, 0);
  EXPECT_EQ(fake->calls(), (std::vector<std::string>{"event(minor,0x1100001b,0,0,args=[72623859790382856,-1])",
                                                     "event(critical,0x11000002,0,0)"}));
  Platform::install(std::move(previous));
}

// The other refusals reach the scan phase's tests through the fake's switches.
TEST(Faces, OddPlatformAnswersAreSafe) {
  FakePlatform::Switches sw;
  sw.streams = 0;
  ScopedFakePlatform fake(sw);
  EXPECT_EQ(ApplicationId("1:x").getApplicationId(nullptr), -1);
  for (int streams : {0, -3}) {  // handed on unchanged: Finish decides what none means
    fake->switches().streams = streams;
    int count = 7;
    EXPECT_NE(AutoStreamHandler::GetMaxNumberOfStreams(nullptr, count, false, 0, 0, nullptr), 0);
    EXPECT_EQ(count, streams);
  }
}

// --- Local platform ---------------------------------------------------------------------

namespace {

LocalPlatform::Settings homeAt(const TempDir& dir, const char* home = "home") {
  LocalPlatform::Settings s;
  s.home = dir / home;
  return s;
}

}  // namespace

// One process scans a subclient at a time; the lock names its holder and dies with it.
// A job id, counted or given by hand, belongs to the one run that created its journal.
TEST(LocalPlatform, OneScanPerSubclientOneRunPerJob) {
  TempDir dir;
  subclientFiles files;
  {
    LocalPlatform earlier(homeAt(dir));
    ASSERT_EQ(earlier.lockSubclient(5, 6, 0), 0);
  }
  for (const auto& e : fs::recursive_directory_iterator(dir.path()))
    if (e.path().filename() == "lock")
      kztest::writeFile(e.path(), "pid 1 since long ago, followed by a long tail that must go\n");
  auto first = std::make_unique<LocalPlatform>(homeAt(dir));
  ASSERT_EQ(first->subclientDirAndFiles(5, 6, &files, 1, nullptr), 0);  // takes the lock itself
  LocalPlatform second(homeAt(dir));
  EXPECT_EQ(second.subclientDirAndFiles(5, 6, &files, 1, nullptr), -1);
  std::string holder;
  EXPECT_EQ(second.lockSubclient(5, 6, 0, &holder), EWOULDBLOCK);
  EXPECT_EQ(holder.rfind("pid " + std::to_string(getpid()) + " since ", 0), 0u) << holder;
  EXPECT_EQ(holder.find("tail"), std::string::npos) << holder;
  first.reset();
  EXPECT_EQ(second.lockSubclient(5, 6, 0), 0);
  EXPECT_EQ(second.subclientDirAndFiles(5, 6, &files, 1, nullptr), 0);

  EXPECT_EQ(second.reserveJournal(2), 0);  // given by hand, ahead of the counter
  EXPECT_EQ(second.reserveJournal(2), EEXIST);
  EXPECT_EQ(second.newJobId(), 1);
  EXPECT_EQ(second.newJobId(), 3);
  EXPECT_EQ(second.reserveJournal(3), EEXIST);
}

// What another user could have made of the state folder: every folder from the home
// down to a job directory must be a real directory that only this user (or root) can
// change, and settings.json a regular file of sane size with values in range.
// Anything else is refused by name, and nothing is written through it.
TEST(LocalPlatform, RefusesWhatOthersCouldHaveMade) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  const uid_t other = 65534;
  auto mk = [](const std::string& d) { ASSERT_EQ(mkdir(d.c_str(), 0700), 0) << d; };
  auto settings = [&](const std::string& text) {
    return [=](const std::string& h, const std::string&) { mk(h), kztest::writeFile(h + "/settings.json", text); };
  };
  struct Row {
    std::string name;
    std::function<void(const std::string& home, const std::string& elsewhere)> plant;
    std::string error;  // after the home's path
    bool atJobDir = false;  // refused when the job directory is asked for, not at the start
  } rows[] = {
      {"home of another user", [&](auto& h, auto&) { mk(h), chown(h.c_str(), other, other); },
       "bad ownership or modes for directory @ (owner uid 65534, mode 0700): it must belong to root and be "
       "writable by no one else; fix: chown 0 '@' && chmod 700 '@'"},
      {"home writable by others", [&](auto& h, auto&) { mk(h), chmod(h.c_str(), 0777); }, " (owner uid 0, mode 0777)"},
      {"home writable by the group", [&](auto& h, auto&) { mk(h), chmod(h.c_str(), 0770); }, " (owner uid 0, mode 0770)"},
      {"home is a link", [](auto& h, auto& e) { symlink(e.c_str(), h.c_str()); }, ": it is a symbolic link"},
      {"home below a file", [](auto& h, auto&) { kztest::writeFile(h, "x"); }, "/file that holds the state folder: Not a directory"},
      // Planted on the folder above the home ("up"): its owner or others could swap the home.
      {"above: writable by others", [&](auto& up, auto&) { mk(up), chmod(up.c_str(), 0777); },
       "up above the state folder @ (owner uid 0, mode 0777) may be changed by another user"},
      {"above: of another user", [&](auto& up, auto&) { mk(up), chown(up.c_str(), other, other); }, " (owner uid 65534"},
      {"jobs is a link", [&](auto& h, auto& e) { mk(h), symlink(e.c_str(), (h + "/jobs").c_str()); },
       "/jobs: it is a symbolic link"},
      {"job directory is a link", [&](auto& h, auto& e) {
         mk(h), mk(h + "/subclients"), symlink(e.c_str(), (h + "/subclients/5_6").c_str());
       }, "/subclients/5_6: it is a symbolic link", true},
      {"job directory of another user", [&](auto& h, auto&) {
         mk(h), mk(h + "/subclients"), mk(h + "/subclients/5_6"), chown((h + "/subclients/5_6").c_str(), other, other);
       }, "/subclients/5_6 (owner uid 65534", true},
      {"settings: streams too many", settings(R"({"streams": 10000000000})"),
       "/settings.json: \"streams\" must be a whole number from 0 (one per CPU) to 1024 (found 10000000000)"},
      {"settings: streams above the cap", settings(R"({"streams": 1025})"), "\"streams\" must be"},
      {"settings: streams negative", settings(R"({"streams": -1})"), "\"streams\" must be"},
      {"settings: streams a text", settings(R"({"streams": "4"})"), "\"streams\" must be"},
      {"settings: splitFlag", settings(R"({"splitFlag": "yes"})"), "\"splitFlag\" must be true or false"},
      {"settings: dorvane", settings(R"({"dorvane": 7})"), "\"dorvane\" must be a host name"},
      {"settings: not an object", settings("[1, 2]"), "/settings.json is not a JSON object"},
      {"settings: huge", settings("{\"dorvane\": \"" + std::string(70000, 'x') + "\"}"),
       "/settings.json is larger than 65536 bytes"},
      {"settings: a link", [&](auto& h, auto& e) { mk(h), symlink((e + "/Collect.conf").c_str(), (h + "/settings.json").c_str()); },
       "/settings.json: Too many levels of symbolic links (a symbolic link is not read)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string home = dir / "home", elsewhere = dir / "elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    kztest::writeFile(elsewhere + "/Collect.conf", "{}");
    const bool above = row.name.starts_with("above");
    row.plant(row.name == "home below a file" ? dir / "file" : above ? dir / "up" : home, elsewhere);
    LocalPlatform p(homeAt(dir, row.name == "home below a file" ? "file/home" : above ? "up/home" : "home"));
    EXPECT_EQ(p.platformInvalid(), !row.atJobDir);
    subclientFiles files;
    std::string path;
    EXPECT_EQ(p.subclientDirAndFiles(5, 6, &files, 1, nullptr), -1);
    if (!row.atJobDir) {
      EXPECT_FALSE(p.openRawResults(1, 7, path));
      EXPECT_EQ(p.newJobId(), -1);
    }
    std::string want = row.error;
    for (size_t at; (at = want.find('@')) != std::string::npos;) want.replace(at, 1, p.home());
    EXPECT_NE(p.error().find(want), std::string::npos) << p.error();
    EXPECT_EQ(kztest::filesIn(elsewhere), (std::map<std::string, std::string>{{"Collect.conf", "{}"}}));
  }

  // A home made beforehand for others to read is narrowed, its new folders are private;
  // settings in range are taken, and the streams never cut pieces below the floor.
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "home").c_str(), 0755), 0);
  kztest::writeFile(dir / "home/settings.json", R"({"streams": 1024, "splitFlag": false, "dorvane": "db1"})");
  LocalPlatform p(homeAt(dir));
  ASSERT_FALSE(p.platformInvalid()) << p.error();
  for (const char* sub : {"", "/jobs", "/subclients"}) {
    struct stat st;
    ASSERT_EQ(stat((dir / "home" + sub).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << sub;
  }
  EXPECT_EQ(std::make_tuple(p.maxStreams(nullptr), p.settings().dorvane, p.settings().splitFlag),
            std::make_tuple(1024, std::string("db1"), false));
  p.setRecordedBytes(3 * LocalPlatform::kMinPieceBytes + 5);
  EXPECT_EQ(p.maxStreams(nullptr), 3);
  p.setRecordedBytes(100);
  EXPECT_EQ(p.maxStreams(nullptr), 1);

  // With no home at all there is no shared place to fall back on.
  pid_t pid = fork();
  if (pid == 0) {
    for (const char* v : {"KZFIND_HOME", "XDG_STATE_HOME", "HOME"}) unsetenv(v);
    if (getpwuid(54321) || setuid(54321) != 0) _exit(2);
    LocalPlatform none;
    _exit(none.platformInvalid() && none.error().find("set KZFIND_HOME") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "uid 54321 has a passwd entry here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The log is private, rotated at its limit with a few old files kept, and at the default
// level holds only errors and events.
TEST(LocalPlatform, LogIsPrivateBoundedAndQuietByDefault) {
  TempDir dir;
  unsetenv("KZFIND_DEBUG");
  LocalPlatform::Settings s = homeAt(dir);
  s.logLimit = 1000;
  LocalPlatform p(s);
  EXPECT_EQ(p.debugLevel(), 0);
  for (int i = 0; i < 200; ++i) p.debugLine(0, "Error", "f", 7, std::string(40, 'a' + i % 26));
  const std::string log = dir / "home/kzfind.log";
  for (const std::string suffix : {"", ".1", ".2", ".3"}) {
    struct stat st;
    ASSERT_EQ(lstat((log + suffix).c_str(), &st), 0) << suffix;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << suffix;
    EXPECT_LE(st.st_size, 1000) << suffix;
    if (!suffix.empty()) {
      EXPECT_GT(st.st_size, 900) << suffix;  // rotated when full, not earlier
    }
  }
  EXPECT_NE(access((log + ".4").c_str(), F_OK), 0);
  const std::string last = kztest::splitLines(kztest::readFile(log)).back();
  EXPECT_TRUE(last.ends_with(" Error f: " + std::string(40, 'a' + 199 % 26))) << last;
}

// --- Contract of both platforms ---------------------------------------------------------

namespace {

std::unique_ptr<Platform> makePlatform(LocalPlatform*, const TempDir& t) {
  return std::make_unique<LocalPlatform>(homeAt(t));
}
std::unique_ptr<Platform> makePlatform(FakePlatform*, const TempDir&) { return std::make_unique<FakePlatform>(); }

template <typename P>
class PlatformContract : public ::testing::Test {
 protected:
  void SetUp() override { m_previous = Platform::install(makePlatform(static_cast<P*>(nullptr), m_temp)); }
  void TearDown() override { Platform::install(std::move(m_previous)); }
  TempDir m_temp;
  std::unique_ptr<Platform> m_previous;
};

using Platforms = ::testing::Types<LocalPlatform, FakePlatform>;
TYPED_TEST_SUITE(PlatformContract, Platforms);

// Whether the platform creates path, private to its owner, and writes it.
bool writable(const std::string& path) {
  FILE* f = fopen_utf(path.c_str(), "w");
  bool ok = f && fputs("x\n", f) >= 0;
  ok = f && fclose(f) == 0 && ok;
  struct stat st;
  ok = ok && stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600;
  unlink(path.c_str());
  return ok;
}

std::string parentOf(const std::string& path) { return fs::path(path).parent_path().string(); }

}  // namespace

TYPED_TEST(PlatformContract, JobFilesAreWritableInTheirDirectoryOrFailWhole) {
  const std::string over = this->m_temp / "elsewhere";
  ASSERT_TRUE(fs::create_directory(over));
  for (const char* dirOverride : {static_cast<const char*>(nullptr), over.c_str()}) {
    subclientFiles files;
    ASSERT_NE(GetSubclientDirAndFiles(7, 3, &files, 1, dirOverride), -1);
    EXPECT_EQ(files.appIdMajor * 10 + files.appIdMinor, 73);
    const std::string dir = files.subclientDir;
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(dir, dirOverride ? over : dir);
    for (const char* path : {files.collectFile, files.filterFile, files.dirChangeTmpFile, files.failuresFile}) {
      EXPECT_EQ(parentOf(path), dir);
      EXPECT_TRUE(writable(path)) << path;
    }
    // The scanned entries, the directory changes and the failures never share a file.
    EXPECT_EQ((std::set<std::string>{files.collectFile, files.dirChangeTmpFile, files.failuresFile}).size(), 3u);
  }
  // Paths that do not fit fail instead of being cut.
  subclientFiles files;
  EXPECT_EQ(GetSubclientDirAndFiles(7, 3, &files, 1, ("/" + std::string(1020, 'd')).c_str()), -1);
  EXPECT_EQ(GetSubclientDirAndFiles(7, 3, nullptr, 1, nullptr), -1);
}

TYPED_TEST(PlatformContract, FileOpensAndResultsBehaveLikeTheSystem) {
  const std::string file = this->m_temp / "plain";
  kztest::writeFile(file, "x");
  ASSERT_EQ(symlink(file.c_str(), (this->m_temp / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((this->m_temp / "fifo").c_str(), 0600), 0);
  // A link in a job file's place is never followed; nor is a FIFO waited on.
  const std::string link = this->m_temp / "link", fifo = this->m_temp / "fifo";
  std::tuple<std::string, const char*, int> failures[] = {
      {this->m_temp / "missing/x", "w", ENOENT}, {file + "/below", "w", ENOTDIR},
      {link, "w", ELOOP}, {link, "a", ELOOP}, {link, "r", ELOOP},
      {fifo, "r", EPERM}, {fifo, "w", ENXIO},  // a writer finds no reader at once
  };
  for (const auto& [path, mode, err] : failures) {
    errno = 0;
    EXPECT_EQ(fopen_utf(path.c_str(), mode), nullptr);
    EXPECT_EQ(errno, err) << path << " " << mode;
  }
  EXPECT_EQ(kztest::readFile(file), "x");
  struct stat st;
  ASSERT_EQ(lstat_utf((this->m_temp / "link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(lstat_utf((this->m_temp / "missing").c_str(), &st), -1);

  std::string path;
  StoreResults store(7, 4711, false, nullptr);
  ASSERT_FALSE(store.openRaw(RESULTS_FILE_RAW, path));  // false: success
  EXPECT_TRUE(writable(path));
  store.cleanUp(nullptr);
}
