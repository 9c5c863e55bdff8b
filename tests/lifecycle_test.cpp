// Construction, destruction and the base hooks: initial values, what a partly
// initialised object releases, and that nothing leaks when a host skips Finish.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"
#include "support/WriterSupport.h"
#include "support/Argv.h"

namespace {

using kzhost::FakePlatform;
using kzhost::ScopedFakePlatform;

int openDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

using kztest::readFile;

TEST(Lifecycle, NewObjectHasInitialValues) {
  ScopedFakePlatform fake;
  KzFind f;
  EXPECT_EQ(f.m_backupType, -1);
  EXPECT_EQ(f.m_nextCollectNum, 1);
  EXPECT_EQ(f.m_curCollectNum, 0);
  EXPECT_EQ(f.m_openCollectNum, -1);
  EXPECT_EQ(f.m_refTime + f.m_startTime + f.m_jobId + f.m_numEntries, 0);
  EXPECT_EQ(f.m_instanceNum + f.m_appType + f.m_baseCollectNum + f.m_numStreams, 0);
  EXPECT_EQ(f.m_appIdMajor + f.m_appIdMinor + f.m_subclientAttr, 0u);
  EXPECT_FALSE(f.m_isChildPhase || f.m_scanSucceeded || f.m_failWholeJob || f.m_checkAppleDouble ||
               f.m_preserveAtime || f.m_subclientFlag);
  EXPECT_TRUE(!f.buResults && !f.m_dirchangeContext && !f.m_resultsFp && !f.m_collectFp && !f.m_dirchangeFp &&
              !f.m_jobClient && !f.m_jobCtrl && !f.m_subclientObj && !f.m_backupSet);
  EXPECT_EQ(f.m_dataServer + f.m_subclient + f.m_dorvaneName + f.m_clientName + f.m_jobToken + f.m_appIdString +
                f.m_failureReason + f.m_extraPhaseParams + f.m_collectDir + f.m_collectBase + f.m_collectExt +
                f.m_collectPath + f.m_reserved1 + f.m_reserved2 + f.m_subclientGuid + f.m_reserved3 +
                f.m_files.subclientDir + f.m_files.collectFile + f.m_appIdInfo.clientName + f.m_appId.text(),
            "");
  EXPECT_TRUE(f.m_collectInfo.empty() && f.m_mounts.empty() && f.m_ancestors.empty());
}

TEST(Lifecycle, FreshObjectCallsNoHostService) {
  ScopedFakePlatform fake;
  { KzFind f; }
  EXPECT_TRUE(fake->calls().empty());
  EXPECT_TRUE(fake->debugLines().empty());
}

TEST(Lifecycle, BaseHooks) {
  ScopedFakePlatform fake;
  KzFind f;
  const char* dir = "sentinel";
  EXPECT_EQ(f.getSubClientDir(&dir), nullptr);
  EXPECT_EQ(dir, nullptr);
  EXPECT_FALSE(f.CheckIfFileisFilteredOut("/etc/passwd"));
  EXPECT_FALSE(f.CheckIfFileisFilteredOut(""));
  f.DecideIfNewMountPoint("/a", false);
  EXPECT_EQ(f.m_curCollectNum, 1);
  EXPECT_EQ(f.m_nextCollectNum, 2);
  f.DecideIfNewMountPoint("/b", true);
  EXPECT_EQ(f.m_curCollectNum, 1);
  EXPECT_EQ(f.m_nextCollectNum, 2);
  EXPECT_FALSE(f.SCInitialize().IsError() || f.EngineInitialize().IsError() || f.ProxyInitialize().IsError());
  EXPECT_TRUE(fake->calls().empty());
}

// Drives a fresh object as far as the switches allow, then destroys it; the sanitizer
// build reports any client, subclient or backup set left behind.
TEST(Lifecycle, DestroyAfterEachPartialInitialisation) {
  struct {
    const char* name;
    void (*configure)(FakePlatform::Switches&);
    int steps;  // how many of Initialize, AppInitialize, JobInitialize, Start to run
  } cases[] = {
      {"after Initialize failed", [](FakePlatform::Switches& s) { s.noDorvaneName = true; }, 1},
      {"no backup set, subclient kept", [](FakePlatform::Switches& s) { s.nullBackupSet = true; }, 2},
      {"no subclient, backup set kept", [](FakePlatform::Switches& s) { s.nullSubclient = true; }, 2},
      {"init refused", [](FakePlatform::Switches& s) { s.initFails = true; }, 3},
      {"Init2 refused", [](FakePlatform::Switches& s) { s.init2Fails = true; }, 3},
      {"Start without job directory", [](FakePlatform::Switches& s) { s.subclientDirFails = true; }, 4},
      {"Start without raw results", [](FakePlatform::Switches& s) { s.openRawFails = true; }, 4},
      {"everything up to Start", [](FakePlatform::Switches&) {}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform::Switches switches;
    c.configure(switches);
    ScopedFakePlatform fake(switches);
    const int fdsBefore = openDescriptors();
    {
      KzFind f;
      kztest::Argv args{"-d", "srv", "-f", "1", "-a", "2:3", "-j", "7"};
      // Run until the first failure, as a host that gives up would.
      bool ok = !f.Initialize(args.argc(), args.argv()).IsError();
      if (ok && c.steps >= 2) ok = !f.AppInitialize().IsError();
      if (ok && c.steps >= 3) ok = !f.JobInitialize().IsError();
      if (ok && c.steps >= 4) ok = !f.Start().IsError();
      fake->clear();
    }
    EXPECT_EQ(openDescriptors(), fdsBefore);
    // The destructor releases; it reports nothing to the job manager.
    EXPECT_TRUE(fake->calls().empty());
  }
}

TEST(Lifecycle, DestroyAfterStartWithoutFinishKeepsEveryLine) {
  ScopedFakePlatform fake;
  const std::string dir = fake->jobDir();
  const int fdsBefore = openDescriptors();
  {
    KzFind f;
    kztest::Argv args{"-d", "srv", "-f", "1", "-a", "2:3"};
    ASSERT_FALSE(f.Initialize(args.argc(), args.argv()).IsError());
    ASSERT_FALSE(f.Start().IsError());
    ASSERT_FALSE(f.Start().IsError());  // a second start reopens rather than leaks
    ASSERT_NE(f.buResults, nullptr);
    ASSERT_NE(f.m_resultsFp, nullptr);
    fputs("/dir\n", f.m_dirchangeFp);
    f.m_collectFp = fopen((dir + "/left-open.kzf").c_str(), "w");
    ASSERT_NE(f.m_collectFp, nullptr);
    fputs("/a|1\n", f.m_collectFp);
  }
  EXPECT_EQ(openDescriptors(), fdsBefore);
  EXPECT_EQ(readFile(dir + "/DirChange.tmp"), "Version2\n/dir\n");
  EXPECT_EQ(readFile(dir + "/left-open.kzf"), "/a|1\n");
}

}  // namespace
