// Finish and its reports to the job manager, through the recording fake. The members
// Initialize, JobInitialize and Start would set are set by hand.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

namespace {

constexpr const char* kCritical = "event(critical,0x11000002,0,0)";
constexpr const char* kFinished = "finishedWork(120000)";

class FinishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kzfinishXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    fresh();
  }
  void TearDown() override {
    m_holder.reset();
    m_platform.reset();
    fs::remove_all(m_dir);
  }

  // A new scan object, as JobInitialize, AppInitialize and Start leave it, over an
  // empty collect folder, on a new recording fake.
  void fresh() {
    for (const auto& e : fs::directory_iterator(m_dir)) fs::remove_all(e.path());
    m_holder.reset();
    m_platform.reset();
    m_platform = std::make_unique<kzhost::ScopedFakePlatform>();
    m_holder = std::make_unique<KzFind>();
    scan().m_collectDir = m_dir;
    scan().m_collectBase = "C";
    scan().m_collectExt = "L";
    scan().m_jobClient = std::make_unique<KZBkpJobClient>();
    scan().m_jobCtrl = std::make_unique<KZJobCtrlClient>(0);
    scan().m_subclientObj = std::make_unique<Subclient>("default", "guid", 0, false);
    scan().m_startTime = 86400;
    scan().m_numEntries = 1234;
    scan().m_scanSucceeded = true;
  }

  // Collect files 1..n, as the walk would have left them.
  void collectFiles(int n) {
    for (int i = 1; i <= n; ++i) {
      std::ofstream(m_dir + "/C" + std::to_string(i) + ".L") << "/f" << i << "|10\n";
      scan().m_collectInfo[i].totalSize = 10;
    }
    scan().m_nextCollectNum = n + 1;
  }

  // "<kind>: <text>" of every debug line.
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    for (const kzhost::DebugRecord& r : fake().debugLines()) out.push_back(r.kind + ": " + r.text);
    return out;
  }
  bool hasLine(const std::string& line) {
    for (const std::string& l : lines()) {
      if (l == line) return true;
    }
    return false;
  }

  void finish() {
    CLoError e = scan().Finish();
    EXPECT_FALSE(e.IsError()) << e.ToString();
  }

  std::unique_ptr<kzhost::ScopedFakePlatform> m_platform;
  kzhost::FakePlatform& fake() { return **m_platform; }
  std::string m_dir;
  std::unique_ptr<KzFind> m_holder;
  KzFind& scan() { return *m_holder; }
};

TEST_F(FinishTest, SuccessHandsTheNextPhaseItsStreamsAndParameters) {
  struct Case {
    const char* name;
    int files;
    int platformStreams;
    bool child;
    int base;
    const char* extra;
    int streams;        // m_numStreams afterwards
    const char* params;  // null: no setNumStreams and no parameter string
    const char* complete;
  } cases[] = {
      {"no collect file", 0, 1, false, 0, "", 0, nullptr, "complete(1,2,0,0)"},
      {"streams capped by the files", 3, 8, false, 0, "", 3, " -parent 1 -r 86400 -c 1234 -maxcolnum 3 -numcol 3 ",
       "complete(1,1,0,0)"},
      {"fewer streams than files", 5, 2, false, 0, "", 2, " -parent 1 -r 86400 -c 1234 -maxcolnum 5 -numcol 5 ",
       "complete(1,1,0,0)"},
      {"child phase", 1, 1, true, 0, "", 1, " -r 86400 -c 1234 -maxcolnum 1 -numcol 1 ", "complete(1,1,0,0)"},
      {"base collect number", 5, 8, false, 2, "", 5, " -parent 1 -r 86400 -c 1234 -maxcolnum 5 -numcol 3 ",
       "complete(1,1,0,0)"},
      {"extra parameters", 1, 1, false, 0, "-x 7", 1, " -parent 1 -r 86400 -c 1234 -maxcolnum 1 -numcol 1 -x 7",
       "complete(1,1,0,0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    fake().switches().streams = c.platformStreams;
    collectFiles(c.files);
    scan().m_isChildPhase = c.child;
    scan().m_baseCollectNum = c.base;
    scan().m_extraPhaseParams = c.extra;

    finish();

    Calls want = {"updateInfo(false)", "maxStreams"};
    if (c.params) {
      want.push_back("setNumStreams(" + std::to_string(c.streams) + ")");
      want.push_back(std::string("concatPhaseParams(") + c.params + ",3)");
    }
    want.insert(want.end(), {"updateInfo(false)", c.complete, kFinished});
    EXPECT_EQ(fake().calls(), want);
    EXPECT_EQ(scan().m_numStreams, c.streams);
    EXPECT_TRUE(scan().m_scanSucceeded);
    EXPECT_TRUE(hasLine("Debug: Number of Parallel Backup Streams desired=" + std::to_string(c.platformStreams) +
                        " [Multi Streaming Factor]"));
    if (c.params) {
      EXPECT_TRUE(hasLine(std::string("debug: clBackup phase parameter(s) string = ") + c.params));
    }
  }
}

TEST_F(FinishTest, FailedScanIsReportedUnlessTheJobIsStopping) {
  struct Case {
    const char* name;
    bool wholeJob;
    bool refused;
    bool quitting;
    Calls calls;
    const char* errorLine;  // null: none
  } cases[] = {
      {"phase", false, false, false, {"updateInfo(false)", "complete(2,1,0,0)", kCritical, kFinished}, nullptr},
      {"whole job refused", true, true, false, {"updateInfo(false)", "complete(2,2,0,0)", kCritical, kFinished},
       "error: Error notifying Job Manager of failure of job"},
      {"quitting", false, true, true, {"updateInfo(false)", kCritical, kFinished}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    fake().switches().completeFails = c.refused;
    fake().switches().quitFlag = c.quitting;
    scan().m_scanSucceeded = false;
    scan().m_failWholeJob = c.wholeJob;

    finish();

    EXPECT_EQ(fake().calls(), c.calls);
    bool anyNotifyError = false;
    for (const std::string& l : lines()) anyNotifyError |= l.find("Error notifying") != std::string::npos;
    EXPECT_EQ(anyNotifyError, c.errorLine != nullptr);
    if (c.errorLine) {
      EXPECT_TRUE(hasLine(c.errorLine));
    }
  }
}

TEST_F(FinishTest, FailedStepReportsThePhaseTwice) {
  const Calls headToConcat = {"updateInfo(false)", "maxStreams", "setNumStreams(1)",
                              "concatPhaseParams( -parent 1 -r 86400 -c 1234 -maxcolnum 1 -numcol 1 ,3)"};
  struct Case {
    const char* name;
    bool noCollectFile;  // the split fails on a missing collect file
    bool concatFails;
    bool secondUpdateFails;
    bool wholeJob;
    bool refused;
    Calls head;
    const char* stepLine;
  } cases[] = {
      {"split", true, false, false, false, false, {"updateInfo(false)", "maxStreams"},
       "debug: Error in setting the phase parameter(s) for clBackup"},
      {"split, whole job", true, false, false, true, false, {"updateInfo(false)", "maxStreams"},
       "debug: Error in setting the phase parameter(s) for clBackup"},
      {"concatPhaseParams", false, true, false, false, false, headToConcat,
       "debug: Error in setting the phase parameter(s) for clBackup"},
      {"reference time", false, false, true, false, true, headToConcat,
       "debug: Error in Updating info: Reference Time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    fake().switches().concatFails = c.concatFails;
    fake().switches().updateInfoResults = {true, !c.secondUpdateFails};
    fake().switches().completeFails = c.refused;
    scan().m_failWholeJob = c.wholeJob;
    collectFiles(1);
    if (c.noCollectFile) fs::remove(m_dir + "/C1.L");

    finish();

    Calls want = c.head;
    if (c.secondUpdateFails) want.push_back("updateInfo(false)");
    want.insert(want.end(), {"complete(2,1,0,0)", c.wholeJob ? "complete(2,2,0,0)" : "complete(2,1,0,0)",
                             kCritical, kFinished});
    EXPECT_EQ(fake().calls(), want);
    EXPECT_TRUE(hasLine(c.stepLine));
    EXPECT_FALSE(scan().m_scanSucceeded);
    EXPECT_EQ(hasLine("error: Error notifying Job Manager of phase failure."), c.refused);
    EXPECT_EQ(hasLine("error: Error notifying Job Manager of failure of phase."), c.refused);
  }
}

// Lines lost when the outputs were closed must turn a successful walk into a failed scan.
TEST_F(FinishTest, FailedCloseOfAnOutputFailsTheScan) {
  for (bool collect : {true, false}) {
    SCOPED_TRACE(collect ? "collect file" : "directory-change file");
    fresh();
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    fputs("/lost|1\n", full);  // buffered; the flush at close fails with ENOSPC
    std::string path;
    if (collect) {
      scan().m_collectFp = full;
      path = scan().m_collectPath = m_dir + "/C1.L";
      scan().m_openCollectNum = scan().m_curCollectNum = 1;
      scan().m_nextCollectNum = 2;
    } else {
      scan().m_dirchangeFp = full;
      snprintf(scan().m_files.dirChangeTmpFile, sizeof scan().m_files.dirChangeTmpFile, "%s/DirChange.tmp",
               m_dir.c_str());
      path = scan().m_files.dirChangeTmpFile;
    }

    finish();

    EXPECT_EQ(scan().m_collectFp, nullptr);
    EXPECT_EQ(scan().m_dirchangeFp, nullptr);
    EXPECT_TRUE(hasLine("error: Failed to close " + path + ", errno 28"));
    EXPECT_EQ(fake().calls(), (Calls{"updateInfo(false)", "complete(2,1,0,0)", kCritical, kFinished}));
    EXPECT_FALSE(scan().m_scanSucceeded);
  }
}

TEST_F(FinishTest, MissingObjectsAreNeverUsed) {
  struct Case {
    const char* name;
    bool subclient, clients, succeeded;
    Calls calls;
  } cases[] = {
      // A subclass claimed success without AppInitialize.
      {"no subclient", false, true, true, {"updateInfo(false)", "complete(2,1,0,0)", kCritical, kFinished}},
      {"no clients, failed scan", true, false, false, {kCritical}},
      {"no clients, successful scan", true, false, true, {"maxStreams"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    if (!c.subclient) scan().m_subclientObj.reset();
    if (!c.clients) {
      scan().m_jobClient.reset();
      scan().m_jobCtrl.reset();
    }
    scan().m_scanSucceeded = c.succeeded;
    collectFiles(1);

    finish();

    EXPECT_EQ(fake().calls(), c.calls);
  }
}

TEST_F(FinishTest, ResultsStoreIsCleanedUpAndDisposedOf) {
  scan().buResults = std::make_unique<StoreResults>(1, 4711, false, nullptr);
  scan().m_resultsFp = tmpfile();
  scan().m_scanSucceeded = false;

  finish();

  EXPECT_EQ(scan().buResults, nullptr);
  EXPECT_EQ(scan().m_resultsFp, nullptr);
  EXPECT_TRUE(hasLine("debug: Calling job results cleanup..."));
  EXPECT_EQ(fake().calls(), (Calls{"cleanUp", "updateInfo(false)", "complete(2,1,0,0)", kCritical, kFinished}));
}

// A subclass's own splitting may leave no stream; the success then covers the whole job.
TEST_F(FinishTest, NoStreamLeftReportsForTheWholeJob) {
  struct NoStreams : KzFind {
    CLoError splitCollectFiles() override {
      m_numStreams = 0;
      return CLoError::Success();
    }
  } own;
  own.m_jobClient = std::make_unique<KZBkpJobClient>();
  own.m_subclientObj = std::make_unique<Subclient>("default", "guid", 0, false);
  own.m_nextCollectNum = 3;
  own.m_scanSucceeded = true;

  EXPECT_FALSE(own.Finish().IsError());

  EXPECT_EQ(fake().calls(), (Calls{"updateInfo(false)", "maxStreams", "updateInfo(false)", "complete(1,2,0,0)"}));
}

TEST_F(FinishTest, InterruptionFinishesTheWork) {
  scan().processIfindInterruption();
  EXPECT_EQ(fake().calls(), (Calls{kFinished}));
  scan().m_jobCtrl.reset();
  scan().processIfindInterruption();
  EXPECT_EQ(fake().calls(), (Calls{kFinished}));
}

}  // namespace
