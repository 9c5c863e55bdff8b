// One suite run against the local platform and the recording fake, so the fake cannot
// promise what the real platform does not do.
#include <set>

#include "hostservices/FileUtil.h"
#include "hostservices/JobClients.h"
#include "hostservices/LocalPlatform.h"
#include "hostservices/Subclient.h"
#include "support/WriterSupport.h"

namespace fs = std::filesystem;
using kzhost::FakePlatform;
using kzhost::LocalPlatform;
using kzhost::Platform;

namespace {

std::unique_ptr<Platform> makePlatform(LocalPlatform*, const std::string& home) {
  LocalPlatform::Settings settings;
  settings.home = home + "/home";
  return std::make_unique<LocalPlatform>(settings);
}
std::unique_ptr<Platform> makePlatform(FakePlatform*, const std::string&) { return std::make_unique<FakePlatform>(); }

template <typename P>
class PlatformContract : public ::testing::Test {
 protected:
  void SetUp() override { m_previous = Platform::install(makePlatform(static_cast<P*>(nullptr), m_temp.path())); }
  void TearDown() override { Platform::install(std::move(m_previous)); }
  kztest::TempDir m_temp;
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

TYPED_TEST(PlatformContract, FacesSucceedByDefault) {
  ApplicationId app("7:3");
  EXPECT_EQ(app.getApplicationId(nullptr), 0);
  std::unique_ptr<BackupSet> set(app.getBackupSet(nullptr));
  std::unique_ptr<Subclient> sc(app.getSubclient(nullptr));
  ASSERT_TRUE(set && sc);
  std::string guid;
  sc->getGUIDStr(guid, nullptr);
  EXPECT_FALSE(guid.empty());
  int count = -5;
  AutoStreamHandler::GetMaxNumberOfStreams(sc.get(), count, false, 0, 0, nullptr);
  EXPECT_GE(count, 1);
  KZPI_CommClient comm(nullptr);
  EXPECT_TRUE(comm.invalidKZPlatform() == 0 && comm.getDorvaneHostName() != nullptr);
  KZBkpJobClient job;
  KZJobCtrlClient ctrl(0);
  EXPECT_TRUE(job.init("dorvane", 4711, 0, 4, false, "tok") && ctrl.Init2(4711, "dorvane", 1, 4, "tok", nullptr));
  EXPECT_FALSE(ctrl.checkQuitFlag());
  EXPECT_TRUE(job.updateInfo(false, nullptr) && job.setNumStreams(2));
  EXPECT_TRUE(job.concatPhaseParams(CLoString(" -parent 1 -r 100 -c 5"), 3) && job.complete(1, 1, 0, 0));
  ctrl.finishedWork(120000);
}
