// One suite run against the local platform and the recording fake, so the fake cannot
// promise what the real platform does not do.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "hostservices/FakePlatform.h"
#include "hostservices/FileUtil.h"
#include "hostservices/JobClients.h"
#include "hostservices/LocalPlatform.h"
#include "hostservices/Subclient.h"

namespace fs = std::filesystem;
using kzhost::FakePlatform;
using kzhost::LocalPlatform;
using kzhost::Platform;

namespace {

std::string makeTemp() {
  std::string tmpl = (fs::temp_directory_path() / "kzcontract.XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return std::string();
  return tmpl;
}

std::unique_ptr<Platform> makePlatform(LocalPlatform*, const std::string& home) {
  LocalPlatform::Settings settings;
  settings.home = home + "/home";
  return std::make_unique<LocalPlatform>(settings);
}

std::unique_ptr<Platform> makePlatform(FakePlatform*, const std::string&) {
  return std::make_unique<FakePlatform>();
}

template <typename P>
class PlatformContract : public ::testing::Test {
 protected:
  void SetUp() override {
    m_temp = makeTemp();
    ASSERT_FALSE(m_temp.empty());
    m_previous = Platform::install(makePlatform(static_cast<P*>(nullptr), m_temp));
  }
  void TearDown() override {
    Platform::install(std::move(m_previous));
    std::error_code ec;
    fs::remove_all(m_temp, ec);
  }
  std::string m_temp;
  std::unique_ptr<Platform> m_previous;
};

using Platforms = ::testing::Types<LocalPlatform, FakePlatform>;
TYPED_TEST_SUITE(PlatformContract, Platforms);

bool writable(const char* path) {
  FILE* f = fopen_utf(path, "w");
  if (!f) return false;
  bool ok = fputs("x\n", f) >= 0;
  ok = fclose(f) == 0 && ok;
  unlink(path);
  return ok;
}

std::string parentOf(const std::string& path) { return fs::path(path).parent_path().string(); }

}  // namespace

TYPED_TEST(PlatformContract, JobDirectoryFilesAreNamedAndWritable) {
  subclientFiles files;
  ASSERT_NE(GetSubclientDirAndFiles(7, 3, &files, 1, nullptr), -1);
  EXPECT_EQ(files.appIdMajor, 7);
  EXPECT_EQ(files.appIdMinor, 3);
  std::string dir = files.subclientDir;
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(fs::is_directory(dir));
  for (const char* path : {files.collectFile, files.filterFile, files.dirChangeTmpFile, files.failuresFile}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(parentOf(path), dir);
    EXPECT_TRUE(writable(path));
  }
  // The scanned entries and the directory changes must not share a file.
  EXPECT_STRNE(files.collectFile, files.dirChangeTmpFile);
  EXPECT_STRNE(files.collectFile, files.failuresFile);
}

TYPED_TEST(PlatformContract, JobDirectoryOverrideIsHonoured) {
  std::string over = this->m_temp + "/elsewhere";
  ASSERT_TRUE(fs::create_directory(over));
  subclientFiles files;
  ASSERT_NE(GetSubclientDirAndFiles(7, 3, &files, 2, over.c_str()), -1);
  EXPECT_EQ(std::string(files.subclientDir), over);
  EXPECT_EQ(parentOf(files.collectFile), over);
  EXPECT_EQ(parentOf(files.dirChangeTmpFile), over);
}

TYPED_TEST(PlatformContract, PathsThatDoNotFitFailInsteadOfBeingCut) {
  std::string over = "/" + std::string(1020, 'd');
  subclientFiles files;
  EXPECT_EQ(GetSubclientDirAndFiles(7, 3, &files, 1, over.c_str()), -1);
  EXPECT_EQ(GetSubclientDirAndFiles(7, 3, nullptr, 1, nullptr), -1);
}

TYPED_TEST(PlatformContract, RawResultsFileCanBeCreated) {
  // The face reports success as false.
  std::string path;
  StoreResults store(7, 4711, false, nullptr);
  ASSERT_FALSE(store.openRaw(RESULTS_FILE_RAW, path));
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(fs::is_directory(parentOf(path)));
  EXPECT_TRUE(writable(path.c_str()));
  store.cleanUp(nullptr);
}

TYPED_TEST(PlatformContract, FileOpensBehaveLikeTheSystem) {
  std::string file = this->m_temp + "/plain";
  ASSERT_TRUE(writable(file.c_str()));
  FILE* f = fopen_utf(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);

  errno = 0;
  EXPECT_EQ(fopen_utf((this->m_temp + "/missing/x").c_str(), "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(fopen_utf((file + "/below").c_str(), "w"), nullptr);
  EXPECT_EQ(errno, ENOTDIR);

  std::string link = this->m_temp + "/link";
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  struct stat st;
  ASSERT_EQ(lstat_utf(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(lstat_utf((this->m_temp + "/missing").c_str(), &st), -1);
}

TYPED_TEST(PlatformContract, LookupsGiveObjectsByDefault) {
  ApplicationId app("7:3");
  EXPECT_EQ(app.getApplicationId(nullptr), 0);
  std::unique_ptr<BackupSet> set(app.getBackupSet(nullptr));
  ASSERT_NE(set, nullptr);
  std::string name;
  EXPECT_TRUE(set->getBackupSetName(name));
  std::unique_ptr<Subclient> sc(app.getSubclient(nullptr));
  ASSERT_NE(sc, nullptr);
  std::string guid;
  sc->getGUIDStr(guid, nullptr);
  EXPECT_FALSE(guid.empty());
  bool flag = false;
  EXPECT_EQ(sc->getSplitCollectFlag(&flag, 0), 0);

  int count = -5;
  AutoStreamHandler::GetMaxNumberOfStreams(sc.get(), count, false, 0, 0, nullptr);
  EXPECT_GE(count, 1);
}

TYPED_TEST(PlatformContract, JobManagerAcceptsAWholeJob) {
  KZPI_CommClient comm(nullptr);
  EXPECT_EQ(comm.invalidKZPlatform(), 0);
  EXPECT_NE(comm.getDorvaneHostName(), nullptr);
  KZBkpJobClient job;
  EXPECT_TRUE(job.init("dorvane", 4711, 0, 4, false, "tok"));
  KZJobCtrlClient ctrl(0);
  EXPECT_TRUE(ctrl.Init2(4711, "dorvane", 1, 4, "tok", nullptr));
  EXPECT_FALSE(ctrl.checkQuitFlag());
  EXPECT_TRUE(job.updateInfo(false, nullptr));
  EXPECT_TRUE(job.setNumStreams(2));
  EXPECT_TRUE(job.concatPhaseParams(CLoString(" -parent 1 -r 100 -c 5"), 3));
  EXPECT_TRUE(job.complete(1, 1, 0, 0));
  ctrl.finishedWork(120000);
}

TYPED_TEST(PlatformContract, DebugLevelStartsAtOne) {
  unsetenv("KZFIND_DEBUG");
  auto platform = makePlatform(static_cast<TypeParam*>(nullptr), this->m_temp);
  EXPECT_EQ(platform->debugLevel(), 1);
}
