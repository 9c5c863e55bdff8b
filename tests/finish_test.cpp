// Finish and its reports to the job manager, through the recording fake. The members
// Initialize, JobInitialize and Start would set are set by hand.
#include "support/WriterSupport.h"

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

namespace {

constexpr const char* kCritical = "event(critical,0x11000002,0,0)";
constexpr const char* kFinished = "finishedWork(120000)";
const Calls kFailed = {"updateInfo(false)", "complete(2,1,0,0)", kCritical, kFinished};

class FinishTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }

  // A new scan object, as JobInitialize, AppInitialize and Start leave it, over an
  // empty collect folder, on a new recording fake.
  void fresh() {
    for (const auto& e : fs::directory_iterator(dir.path())) fs::remove_all(e.path());
    scan.reset();
    platform.reset();
    platform = std::make_unique<kzhost::ScopedFakePlatform>();
    scan = std::make_unique<KzFind>();
    scan->m_collectDir = dir.path();
    scan->m_collectBase = "C";
    scan->m_collectExt = "L";
    scan->m_jobClient = std::make_unique<KZBkpJobClient>();
    scan->m_jobCtrl = std::make_unique<KZJobCtrlClient>(0);
    scan->m_subclientObj = std::make_unique<Subclient>("default", "guid", 0, false);
    scan->m_startTime = 86400;
    scan->m_numEntries = 1234;
    scan->m_scanSucceeded = true;
  }

  // Collect files 1..n, as the walk would have left them.
  void collectFiles(int n) {
    for (int i = 1; i <= n; ++i) {
      kztest::writeFile(dir / ("C" + std::to_string(i) + ".L"), "/f|10\n");
      scan->m_collectInfo[i].totalSize = 10;
    }
    scan->m_nextCollectNum = n + 1;
  }

  void finish() {
    CLoError e = scan->Finish();
    EXPECT_FALSE(e.IsError()) << e.ToString();
  }

  kzhost::FakePlatform& fake() { return **platform; }
  kztest::TempDir dir;
  std::unique_ptr<kzhost::ScopedFakePlatform> platform;
  std::unique_ptr<KzFind> scan;
};

TEST_F(FinishTest, SuccessHandsTheNextPhaseItsStreamsAndParameters) {
  struct Case {
    int files, platformStreams;
    bool child;
    int base;
    const char* extra;
    int streams;         // m_numStreams afterwards
    const char* params;  // null: no setNumStreams and no parameter string
  } cases[] = {
      {0, 1, false, 0, "", 0, nullptr},  // no collect file
      {3, 8, false, 0, "", 3, " -parent 1 -r 86400 -c 1234 -maxcolnum 3 -numcol 3 "},
      {5, 2, false, 0, "", 2, " -parent 1 -r 86400 -c 1234 -maxcolnum 5 -numcol 5 "},
      {1, 1, true, 0, "", 1, " -r 86400 -c 1234 -maxcolnum 1 -numcol 1 "},
      {5, 8, false, 2, "", 5, " -parent 1 -r 86400 -c 1234 -maxcolnum 5 -numcol 3 "},
      {1, 1, false, 0, "-x 7", 1, " -parent 1 -r 86400 -c 1234 -maxcolnum 1 -numcol 1 -x 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files);
    fresh();
    fake().switches().streams = c.platformStreams;
    collectFiles(c.files);
    scan->m_isChildPhase = c.child;
    scan->m_baseCollectNum = c.base;
    scan->m_extraPhaseParams = c.extra;
    finish();
    Calls want = {"updateInfo(false)", "maxStreams"};
    if (c.params) want.insert(want.end(), {"setNumStreams(" + std::to_string(c.streams) + ")",
                                           std::string("concatPhaseParams(") + c.params + ",3)"});
    // Without a collect file the success covers the whole job.
    want.insert(want.end(), {"updateInfo(false)", c.params ? "complete(1,1,0,0)" : "complete(1,2,0,0)", kFinished});
    EXPECT_EQ(fake().calls(), want);
    EXPECT_EQ(scan->m_numStreams, c.streams);
    EXPECT_TRUE(scan->m_scanSucceeded);
  }
}

// A results store, when there is one, is cleaned up and disposed of first.
TEST_F(FinishTest, FailedScanIsReportedUnlessTheJobIsStopping) {
  struct Case {
    bool wholeJob, refused, quitting, store;
    Calls calls;
  } cases[] = {
      {false, false, false, false, kFailed},
      {true, true, false, false, {"updateInfo(false)", "complete(2,2,0,0)", kCritical, kFinished}},
      {false, true, true, false, {"updateInfo(false)", kCritical, kFinished}},
      {false, false, false, true, {"cleanUp", "updateInfo(false)", "complete(2,1,0,0)", kCritical, kFinished}},
  };
  for (const Case& c : cases) {
    fresh();
    fake().switches().completeFails = c.refused;
    fake().switches().quitFlag = c.quitting;
    scan->m_scanSucceeded = false;
    scan->m_failWholeJob = c.wholeJob;
    if (c.store) {
      scan->buResults = std::make_unique<StoreResults>(1, 4711, false, nullptr);
      scan->m_resultsFp = tmpfile();
    }
    finish();
    EXPECT_EQ(fake().calls(), c.calls);
    EXPECT_TRUE(scan->buResults == nullptr && scan->m_resultsFp == nullptr);
    EXPECT_EQ(fake().logged("Error notifying Job Manager of failure of job"), c.refused && !c.quitting);
  }
}

TEST_F(FinishTest, FailedStepReportsThePhaseTwice) {
  const Calls headToConcat = {"updateInfo(false)", "maxStreams", "setNumStreams(1)",
                              "concatPhaseParams( -parent 1 -r 86400 -c 1234 -maxcolnum 1 -numcol 1 ,3)"};
  const char* kParams = "Error in setting the phase parameter(s) for clBackup";
  struct Case {
    bool noCollectFile;  // the split fails on a missing collect file
    bool concatFails, secondUpdateFails, wholeJob, refused;
    Calls head;
    const char* stepLine;
  } cases[] = {
      {true, false, false, false, false, {"updateInfo(false)", "maxStreams"}, kParams},
      {true, false, false, true, false, {"updateInfo(false)", "maxStreams"}, kParams},
      {false, true, false, false, false, headToConcat, kParams},
      {false, false, true, false, true, headToConcat, "Error in Updating info: Reference Time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stepLine);
    fresh();
    fake().switches().concatFails = c.concatFails;
    fake().switches().updateInfoResults = {true, !c.secondUpdateFails};
    fake().switches().completeFails = c.refused;
    scan->m_failWholeJob = c.wholeJob;
    collectFiles(1);
    if (c.noCollectFile) fs::remove(dir / "C1.L");
    finish();
    Calls want = c.head;
    if (c.secondUpdateFails) want.push_back("updateInfo(false)");
    want.insert(want.end(), {"complete(2,1,0,0)", c.wholeJob ? "complete(2,2,0,0)" : "complete(2,1,0,0)",
                             kCritical, kFinished});
    EXPECT_EQ(fake().calls(), want);
    EXPECT_TRUE(fake().logged(c.stepLine));
    EXPECT_FALSE(scan->m_scanSucceeded);
    EXPECT_EQ(kztest::countLogged(fake(), "Error notifying Job Manager of phase failure."), c.refused);
    EXPECT_EQ(kztest::countLogged(fake(), "Error notifying Job Manager of failure of phase."), c.refused);
  }
}

TEST_F(FinishTest, MissingObjectsAreNeverUsed) {
  struct Case {
    bool subclient, clients, succeeded;
    Calls calls;
  } cases[] = {
      {false, true, true, kFailed},  // a subclass claimed success without AppInitialize
      {true, false, false, {kCritical}},
      {true, false, true, {"maxStreams"}},
  };
  for (const Case& c : cases) {
    fresh();
    if (!c.subclient) scan->m_subclientObj.reset();
    if (!c.clients) scan->m_jobClient.reset(), scan->m_jobCtrl.reset();
    scan->m_scanSucceeded = c.succeeded;
    collectFiles(1);
    finish();
    EXPECT_EQ(fake().calls(), c.calls);
  }
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

}  // namespace
