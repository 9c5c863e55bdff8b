// The host services: escaping, strings, errors, logging and events, the local platform,
// and one contract suite run against the local platform and the recording fake, so the
// fake cannot promise what the real platform does not do.
#include <cerrno>
#include <climits>
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
TEST(LocalPlatform, OneScanPerSubclient) {
  TempDir dir;
  subclientFiles files;
  auto first = std::make_unique<LocalPlatform>(homeAt(dir));
  ASSERT_EQ(first->subclientDirAndFiles(5, 6, &files, 1, nullptr), 0);  // takes the lock itself
  LocalPlatform second(homeAt(dir));
  EXPECT_EQ(second.subclientDirAndFiles(5, 6, &files, 1, nullptr), -1);
  std::string holder;
  EXPECT_EQ(second.lockSubclient(5, 6, 0, &holder), EWOULDBLOCK);
  EXPECT_EQ(holder.rfind("pid " + std::to_string(getpid()) + " since ", 0), 0u) << holder;
  EXPECT_EQ(second.subclientDirAndFiles(5, 7, &files, 1, nullptr), 0);  // another subclient
  first.reset();
  EXPECT_EQ(second.lockSubclient(5, 6, 0), 0);
  EXPECT_EQ(second.subclientDirAndFiles(5, 6, &files, 1, nullptr), 0);
}

TEST(LocalPlatform, UnusableHomeFailsCleanly) {
  TempDir dir;
  kztest::writeFile(dir / "file", "x");
  LocalPlatform p(homeAt(dir, "file/home"));  // below a regular file: ENOTDIR
  EXPECT_TRUE(p.platformInvalid());
  subclientFiles files;
  EXPECT_EQ(p.subclientDirAndFiles(1, 2, &files, 1, nullptr), -1);
  std::string path;
  EXPECT_FALSE(p.openRawResults(1, 7, path));
  EXPECT_EQ(p.newJobId(), -1);
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

bool writable(const std::string& path) {
  FILE* f = fopen_utf(path.c_str(), "w");
  bool ok = f && fputs("x\n", f) >= 0;
  ok = f && fclose(f) == 0 && ok;
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
  std::pair<std::string, int> failures[] = {{this->m_temp / "missing/x", ENOENT}, {file + "/below", ENOTDIR}};
  for (const auto& [path, err] : failures) {
    errno = 0;
    EXPECT_EQ(fopen_utf(path.c_str(), "w"), nullptr);
    EXPECT_EQ(errno, err) << path;
  }
  ASSERT_EQ(symlink(file.c_str(), (this->m_temp / "link").c_str()), 0);
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
