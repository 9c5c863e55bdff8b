// Start: results store, job files, collect path split, the directory-change header
// and the removal of an earlier run's outputs, in a real temporary job directory.
// Destruction: what a partly initialised object releases, and that nothing leaks or is
// lost when a host skips Finish.
#include <optional>
#include <set>

#include "support/WriterSupport.h"

namespace {

namespace fs = std::filesystem;
using kzhost::FakePlatform;
using kzhost::ScopedFakePlatform;
using Names = std::set<std::string>;
using Lines = std::vector<std::string>;
constexpr const char* kStart = "virtual CLoError KzFind::Start()";

// The recording fake, with the job file paths it hands out open to change.
class FilesPlatform : public FakePlatform {
 public:
  std::optional<std::string> collectFile, subclientDir;
  int subclientDirAndFiles(uint32_t major, uint32_t minor, subclientFiles* files, int type, const char* o) override {
    int rc = FakePlatform::subclientDirAndFiles(major, minor, files, type, o);
    if (rc == -1) return rc;
    if (collectFile) snprintf(files->collectFile, sizeof files->collectFile, "%s", collectFile->c_str());
    if (subclientDir) snprintf(files->subclientDir, sizeof files->subclientDir, "%s", subclientDir->c_str());
    return rc;
  }
};

class StartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = std::make_unique<FilesPlatform>();
    p->setDebugLevel(9);
    fake = p.get();
    m_previous = kzhost::Platform::install(std::move(p));
    dir = fake->jobDir();
  }
  void TearDown() override { kzhost::Platform::install(std::move(m_previous)); }

  // "@" in a text stands for the job directory.
  std::string at(std::string s) const {
    if (size_t i = s.find('@'); i != std::string::npos) s.replace(i, 1, dir);
    return s;
  }
  void touch(const Names& names) {
    for (const std::string& n : names) kztest::writeFile(dir + "/" + n, "x");
  }
  Names entries() const {
    Names out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
  }
  static std::string collectSplit(const KzFind& k) {
    return k.m_collectDir + "|" + k.m_collectBase + "|" + k.m_collectExt;
  }
  static std::unique_ptr<KzFind> phase() {
    auto k = std::make_unique<KzFind>();
    k->m_appIdMajor = 2;
    k->m_appIdMinor = 3;
    k->m_jobId = 4711;
    k->m_backupType = 1;
    k->m_subclient = "default";
    return k;
  }

  FilesPlatform* fake = nullptr;
  std::string dir;

 private:
  std::unique_ptr<kzhost::Platform> m_previous;
};

TEST_F(StartTest, CollectPathSplit) {
  struct {
    const char* path;
    const char* error;  // null: success
    const char* split;  // dir|base|ext afterwards
  } cases[] = {
      {"/Name.ext", nullptr, "|Name|ext"},
      {"@/Name.tar.gz", nullptr, "@|Name.tar|gz"},
      {"@/Name.", nullptr, "@|Name|"},
      {"@/a.b/Name", "Collect file name 'Name' must have extension", "@/a.b|Name|"},
      {"Name.ext", "Collect file name 'Name.ext' must have full path", "Name.ext||"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    fake->collectFile = at(c.path);
    auto k = phase();
    CLoError e = k->Start();
    if (c.error) kztest::expectError(e, 774, c.error, kStart);
    EXPECT_EQ(e.IsError(), c.error != nullptr);
    EXPECT_EQ(k->m_dirchangeFp == nullptr, c.error != nullptr);
    EXPECT_EQ(collectSplit(*k), at(c.split));
  }
}

// A collect file name that is all extension must not turn the cleanup into "delete
// everything": only numbered collect files and their scratch copies go. The stale
// directory-change file is replaced by its header, on disk before Start returns.
TEST_F(StartTest, ReplacesOutputsOfAnEarlierRunOnly) {
  struct {
    const char* collectName;  // null: the platform's
    Names removed, kept;
  } cases[] = {
      {nullptr,
       {"split_config.1", "split_config", "CIdxDone.kzf.tmp", "HCollect7", "Merged_split_config", "Collect.kzf",
        "Collect1.kzf", "Collect3.tmp", "CollectAnything", "verifySyntheticFull.done"},
       {"Split_config", "hcollect", "CIdxDone.kz", "collect1.kzf", "keep.txt"}},
      {".kzf", {"1.kzf", "12.kzf", "3.tmp", "split_config"},
       {".kzf", "a1.kzf", "1.kzfx", "1kzf", "x.tmp", ".tmp", "1.", "1.kz", "keep.txt", "1.kzf.bak"}},
      {".", {"1.", "7.tmp"}, {".kzf", "1.kzf", "1", "keep.txt"}},
      // Bases that begin the names of the files Start has just opened.
      {"D.kzf", {"D1.kzf", "Dx"}, {"keep.txt"}},
      {"res.kzf", {"res1.kzf"}, {"keep.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.collectName ? c.collectName : "");
    for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
    touch(c.removed);
    touch(c.kept);
    touch({"DirChange.tmp"});
    ASSERT_EQ(mkdir((dir + "/HCollectDir").c_str(), 0755), 0);  // may match, but unlink cannot remove it
    if (c.collectName) fake->collectFile = dir + "/" + c.collectName;
    auto k = phase();
    ASSERT_FALSE(k->Start().IsError());
    Names expected = c.kept;
    expected.insert({"HCollectDir", "results.raw", "DirChange.tmp"});
    EXPECT_EQ(entries(), expected);
    EXPECT_EQ(kztest::readFile(dir + "/DirChange.tmp"), "Version2\n");
  }
}

// Without a results store the scan still runs; a refused store raises an event.
TEST_F(StartTest, ResultsStoreFailuresDoNotStopStart) {
  for (bool openRawFails : {true, false}) {
    fake->clear();
    fake->switches().openRawFails = openRawFails;
    fake->switches().failOpenPrefix = dir + "/results.raw";
    auto k = phase();
    ASSERT_FALSE(k->Start().IsError());
    Lines want = {"openRaw", "subclientDirAndFiles(2,3,1,null)"};
    if (openRawFails) want.insert(want.begin() + 1, "event(minor,0x1100001b,0,0,args=[4711])");
    EXPECT_EQ(fake->calls(), want);
    EXPECT_TRUE(!k->buResults && !k->m_resultsFp);
  }
}

TEST_F(StartTest, FailedSteps) {
  using P = FilesPlatform;
  touch({"jobdir-file"});
  struct {
    void (*configure)(P&, const std::string& dirchange);
    int code;
    const char* message;
    bool dirchangeOpen;
  } cases[] = {
      {[](P& p, const std::string&) { p.switches().subclientDirFails = true; }, 774,
       "Could not Identify base directory for m_subclient default", false},
      {[](P& p, const std::string& f) { p.switches().failOpenPrefix = f; }, 774,
       "Failed open dirchange file '@/DirChange.tmp'", false},
      {[](P& p, const std::string& f) { p.switches().fullDiskPrefix = f; }, 774,
       "Failed to write dirchange file '@/DirChange.tmp'", true},
      // A job directory that cannot be listed.
      {[](P& p, const std::string& f) { p.subclientDir = fs::path(f).parent_path() / "jobdir-missing"; }, ENOENT,
       "Failed to open directory @/jobdir-missing: No such file or directory", true},
      {[](P& p, const std::string& f) { p.subclientDir = fs::path(f).parent_path() / "jobdir-file"; }, ENOTDIR,
       "Failed to open directory @/jobdir-file: Not a directory", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    fake->switches() = FakePlatform::Switches();
    c.configure(*fake, dir + "/DirChange.tmp");
    touch({"HCollect7"});
    auto k = phase();
    kztest::expectError(k->Start(), c.code, at(c.message), kStart);
    EXPECT_TRUE(k->buResults && k->m_resultsFp);  // opened before the failing step; the destructor releases them
    EXPECT_EQ(k->m_dirchangeFp != nullptr, c.dirchangeOpen);
    EXPECT_EQ(k->m_startTime, 0);
    EXPECT_TRUE(fs::exists(dir + "/HCollect7"));  // no cleanup after a failed step
  }
}

TEST_F(StartTest, SubclassChoosesTheJobDirectory) {
  struct Elsewhere : KzFind {
    std::string where;
    const char* getSubClientDir(const char** out) override { return where.c_str(); }
  } k;
  k.where = dir + "/elsewhere";
  ASSERT_EQ(mkdir(k.where.c_str(), 0755), 0);
  kztest::writeFile(k.where + "/HCollect1", "x");
  ASSERT_FALSE(k.Start().IsError());
  EXPECT_EQ(fake->calls("subclientDirAndFiles"), Lines{"subclientDirAndFiles(0,0,-1," + k.where + ")"});
  EXPECT_EQ(k.m_collectDir, k.where);
  EXPECT_FALSE(fs::exists(k.where + "/HCollect1"));
}

long openDescriptors() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }

// Drives a fresh object as far as the switches allow, then destroys it; the sanitizer
// build reports any client, subclient or backup set left behind.
TEST(Lifecycle, DestroyAfterEachPartialInitialisation) {
  using S = FakePlatform::Switches;
  std::pair<const char*, kztest::Flag> cases[] = {
      {"Initialize fails", &S::noDorvaneName},
      {"no backup set, subclient kept", &S::nullBackupSet},
      {"no subclient, backup set kept", &S::nullSubclient},
      {"init refused", &S::initFails},
      {"Init2 refused", &S::init2Fails},
      {"Start without job directory", &S::subclientDirFails},
      {"Start without raw results", &S::openRawFails},
      {"everything up to Start", nullptr},
  };
  for (const auto& [name, flag] : cases) {
    SCOPED_TRACE(name);
    ScopedFakePlatform fake(kztest::raised({flag}));
    const long fdsBefore = openDescriptors();
    {
      KzFind f;
      kztest::startPhase(f);  // runs until the first failure, as a host that gives up would
      fake->clear();
    }
    EXPECT_EQ(openDescriptors(), fdsBefore);
    EXPECT_TRUE(fake->calls().empty());  // the destructor releases; it reports nothing to the job manager
  }
}

// A second Start begins a fresh set of outputs: neither a line the first attempt lost nor
// its open collect file (removed by the cleanup) reaches the second run. Destroying the
// object without Finish then keeps every line and leaks no descriptor.
TEST(Lifecycle, SecondStartThenDestroyWithoutFinishKeepsEveryLine) {
  ScopedFakePlatform fake;
  const std::string dir = fake->jobDir();
  const long fdsBefore = openDescriptors();
  {
    KzFind f;
    ASSERT_FALSE(kztest::startPhase(f).IsError());
    ASSERT_EQ(f.addToCollect("/first", 1), 0);
    FILE* dirchange = f.m_dirchangeFp;
    f.m_dirchangeFp = fopen("/dev/full", "w");
    setvbuf(f.m_dirchangeFp, nullptr, _IONBF, 0);
    ASSERT_EQ(f.addToDirchange("/lost", false), -1);
    fclose(f.m_dirchangeFp);
    f.m_dirchangeFp = dirchange;
    ASSERT_TRUE(KzFindTestAccess::outputLost(f));

    ASSERT_FALSE(f.Start().IsError());  // reopens rather than leaks
    EXPECT_FALSE(KzFindTestAccess::outputLost(f));
    fputs("/dir\n", f.m_dirchangeFp);
    ASSERT_EQ(f.addToCollect("/second", 1), 0);
  }
  EXPECT_EQ(openDescriptors(), fdsBefore);
  EXPECT_EQ(kztest::readFile(dir + "/DirChange.tmp"), "Version2\n/dir\n");
  EXPECT_EQ(kztest::readFile(dir + "/Collect1.kzf"), "/second|1\n");
}

}  // namespace
