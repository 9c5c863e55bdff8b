// Destruction: what a partly initialised object releases, and that nothing leaks or is
// lost when a host skips Finish.
#include <dirent.h>

#include "support/Argv.h"
#include "support/WriterSupport.h"

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

// Drives a fresh object as far as the switches allow, then destroys it; the sanitizer
// build reports any client, subclient or backup set left behind.
TEST(Lifecycle, DestroyAfterEachPartialInitialisation) {
  struct {
    const char* name;
    void (*configure)(FakePlatform::Switches&);
  } cases[] = {
      {"Initialize fails", [](FakePlatform::Switches& s) { s.noDorvaneName = true; }},
      {"no backup set, subclient kept", [](FakePlatform::Switches& s) { s.nullBackupSet = true; }},
      {"no subclient, backup set kept", [](FakePlatform::Switches& s) { s.nullSubclient = true; }},
      {"init refused", [](FakePlatform::Switches& s) { s.initFails = true; }},
      {"Init2 refused", [](FakePlatform::Switches& s) { s.init2Fails = true; }},
      {"Start without job directory", [](FakePlatform::Switches& s) { s.subclientDirFails = true; }},
      {"Start without raw results", [](FakePlatform::Switches& s) { s.openRawFails = true; }},
      {"everything up to Start", [](FakePlatform::Switches&) {}},
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
      ok = ok && !f.AppInitialize().IsError();
      ok = ok && !f.JobInitialize().IsError();
      ok = ok && !f.Start().IsError();
      fake->clear();
    }
    EXPECT_EQ(openDescriptors(), fdsBefore);
    EXPECT_TRUE(fake->calls().empty());  // the destructor releases; it reports nothing to the job manager
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
    fputs("/dir\n", f.m_dirchangeFp);
    f.m_collectFp = fopen((dir + "/left-open.kzf").c_str(), "w");
    ASSERT_NE(f.m_collectFp, nullptr);
    fputs("/a|1\n", f.m_collectFp);
  }
  EXPECT_EQ(openDescriptors(), fdsBefore);
  EXPECT_EQ(kztest::readFile(dir + "/DirChange.tmp"), "Version2\n/dir\n");
  EXPECT_EQ(kztest::readFile(dir + "/left-open.kzf"), "/a|1\n");
}

}  // namespace
