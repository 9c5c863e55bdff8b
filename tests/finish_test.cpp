// Finish and its reports to the job manager, through the recording fake. The members
// Initialize, JobInitialize and Start would set are set by hand.
#include "support/WriterSupport.h"

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

namespace {

constexpr const char* kCritical = "event(critical,0x11000002,0,0)";
constexpr const char* kFinished = "finishedWork(120000)";
const Calls kFailed = {"updateInfo(false)", "complete(2,1,0,0)", kCritical, kFinished};

// A subclass whose own splitting may leave no stream.
struct Scan : KzFind {
  bool noStreams = false;
  CLoError splitCollectFiles() override {
    if (!noStreams) return KzFind::splitCollectFiles();
    m_numStreams = 0;
    return CLoError::Success();
  }
};

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
    scan = std::make_unique<Scan>();
    kztest::useCollectDir(*scan, dir.path(), "C", "L");
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

  kzhost::FakePlatform& fake() { return **platform; }
  kztest::TempDir dir;
  std::unique_ptr<kzhost::ScopedFakePlatform> platform;
  std::unique_ptr<Scan> scan;
};

TEST_F(FinishTest, SuccessHandsTheNextPhaseItsStreamsAndParameters) {
  struct Case {
    int files, platformStreams;
    bool child;
    int base;
    const char* extra;
    int streams;         // m_numStreams afterwards
    const char* params;  // null: no setNumStreams and no parameter string
    bool noStreams = false;
  } cases[] = {
      {0, 1, false, 0, "", 0, nullptr},        // no collect file
      {2, 1, false, 0, "", 0, nullptr, true},  // the subclass's splitting left no stream
      {3, 8, false, 0, "", 3, " -parent 1 -r 86400 -c 1234 -maxcolnum 3 -numcol 3 "},
      {5, 2, false, 0, "", 2, " -parent 1 -r 86400 -c 1234 -maxcolnum 5 -numcol 5 "},
      {1, 1, true, 0, "", 1, " -r 86400 -c 1234 -maxcolnum 1 -numcol 1 "},
      {5, 8, false, 2, "", 5, " -parent 1 -r 86400 -c 1234 -maxcolnum 5 -numcol 3 "},
      {1, 1, false, 0, "-x 7", 1, " -parent 1 -r 86400 -c 1234 -maxcolnum 1 -numcol 1 -x 7"},
      // The platform's count is used as it comes: none, or a negative one, hands on nothing.
      {2, 0, false, 0, "", 0, nullptr},
      {2, -2, false, 0, "", -2, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files);
    fresh();
    fake().switches().streams = c.platformStreams;
    collectFiles(c.files);
    scan->m_isChildPhase = c.child;
    scan->m_baseCollectNum = c.base;
    scan->m_extraPhaseParams = c.extra;
    scan->noStreams = c.noStreams;
    EXPECT_FALSE(scan->Finish().IsError());
    Calls want = {"updateInfo(false)", "maxStreams"};
    if (c.params) want.insert(want.end(), {"setNumStreams(" + std::to_string(c.streams) + ")",
                                           std::string("concatPhaseParams(") + c.params + ",3)"});
    // Without a stream the success covers the whole job.
    want.insert(want.end(), {"updateInfo(false)", c.streams ? "complete(1,1,0,0)" : "complete(1,2,0,0)", kFinished});
    EXPECT_EQ(fake().calls(), want);
    EXPECT_EQ(scan->m_numStreams, c.streams);
    EXPECT_TRUE(fake().logged("desired=" + std::to_string(c.platformStreams) + " ["));
  }
}

// A failed walk is reported unless the job is stopping; a failed step of the finish
// reports the phase twice; missing objects are never used. A results store, when there
// is one, is cleaned up and disposed of first.
TEST_F(FinishTest, Failures) {
  const Calls toConcat = {"updateInfo(false)", "maxStreams", "setNumStreams(1)",
                          "concatPhaseParams( -parent 1 -r 86400 -c 1234 -maxcolnum 1 -numcol 1 ,3)"};
  const Calls twice = {"complete(2,1,0,0)", "complete(2,1,0,0)", kCritical, kFinished};
  auto then = [](Calls head, const Calls& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const std::string kParams = "Error in setting the phase parameter(s) for clBackup";
  struct Case {
    Calls calls;
    std::vector<std::string> errors = {};  // the debug lines that begin with "Error", in order
    bool succeeded = false, wholeJob = false, refused = false, quitting = false, store = false, subclient = true,
         clients = true, noCollectFile = false, concatFails = false, secondUpdateFails = false;
  } cases[] = {
      {.calls = kFailed},
      {.calls = {"updateInfo(false)", "complete(2,2,0,0)", kCritical, kFinished},
       .errors = {"Error notifying Job Manager of failure of job"}, .wholeJob = true, .refused = true},
      {.calls = {"updateInfo(false)", kCritical, kFinished}, .refused = true, .quitting = true},
      {.calls = then({"cleanUp"}, kFailed), .store = true},
      // A subclass claimed success without AppInitialize.
      {.calls = kFailed, .succeeded = true, .subclient = false},
      {.calls = {kCritical}, .clients = false},
      {.calls = {"maxStreams"}, .succeeded = true, .clients = false},
      // The split fails on a missing collect file.
      {.calls = then({"updateInfo(false)", "maxStreams"}, twice), .errors = {kParams}, .succeeded = true,
       .noCollectFile = true},
      {.calls = {"updateInfo(false)", "maxStreams", "complete(2,1,0,0)", "complete(2,2,0,0)", kCritical, kFinished},
       .errors = {kParams}, .succeeded = true, .wholeJob = true, .noCollectFile = true},
      {.calls = then(toConcat, twice), .errors = {kParams}, .succeeded = true, .concatFails = true},
      {.calls = then(toConcat, then({"updateInfo(false)"}, twice)),
       .errors = {"Error in Updating info: Reference Time", "Error notifying Job Manager of phase failure.",
                  "Error notifying Job Manager of failure of phase."},
       .succeeded = true, .refused = true, .secondUpdateFails = true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.calls));
    fresh();
    collectFiles(1);
    if (c.noCollectFile) fs::remove(dir / "C1.L");
    fake().switches().completeFails = c.refused;
    fake().switches().quitFlag = c.quitting;
    fake().switches().concatFails = c.concatFails;
    fake().switches().updateInfoResults = {true, !c.secondUpdateFails};
    scan->m_scanSucceeded = c.succeeded;
    scan->m_failWholeJob = c.wholeJob;
    if (c.store) {
      scan->buResults = std::make_unique<StoreResults>(1, 4711, false, nullptr);
      scan->m_resultsFp = tmpfile();
    }
    if (!c.subclient) scan->m_subclientObj.reset();
    if (!c.clients) scan->m_jobClient.reset(), scan->m_jobCtrl.reset();
    EXPECT_FALSE(scan->Finish().IsError());  // the failure is reported, not returned
    EXPECT_EQ(fake().calls(), c.calls);
    std::vector<std::string> errors;
    for (const auto& r : fake().debugLines()) {
      if (r.text.starts_with("Error")) errors.push_back(r.text);
    }
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(scan->m_scanSucceeded, !c.clients && c.succeeded);  // nobody to tell otherwise
    EXPECT_TRUE(scan->buResults == nullptr && scan->m_resultsFp == nullptr);
  }
}

}  // namespace
