// A whole scan phase, from construction to destruction, by a small walking subclass
// over the recording fake: the outputs it leaves and what the job manager hears.
#include "support/Argv.h"
#include "support/WriterSupport.h"

using Calls = std::vector<std::string>;

namespace {

using kztest::readFile;

// The walking subclass: records a file and the directories above it. The file named in
// newCollectAt starts a new collect file.
class TreeScan : public KzFind {
 public:
  void record(const std::string& path, long long size) {
    ASSERT_EQ(addToCollect(path.c_str(), size), 0) << path;
    collectAncestors(path.c_str());
  }
  void DecideIfNewMountPoint(const char* path, bool flag) override {
    if (newCollectAt == path) m_curCollectNum = m_nextCollectNum++;
    KzFind::DecideIfNewMountPoint(path, flag);
  }
  std::string newCollectAt;
};

class EndToEnd : public ::testing::Test {
 protected:
  // Construction and every step up to Start, as a host runs them.
  void startScan() {
    kztest::Argv argv{"ifind", "-d", "/data/", "-a", "1:2", "-j", "4711", "-f", "1", "-jt", "tok"};
    CLoError e = m_scan->Initialize(argv.argc(), argv.argv());
    ASSERT_FALSE(e.IsError()) << e.ToString();
    for (auto step : {&KzFind::AppInitialize, &KzFind::JobInitialize, &KzFind::SCInitialize,
                      &KzFind::EngineInitialize, &KzFind::ProxyInitialize, &KzFind::Start}) {
      e = ((*m_scan).*step)();
      ASSERT_FALSE(e.IsError()) << e.ToString();
    }
  }
  // Finish after a successful walk, then destruction; gives the entry count.
  long long finishScan() {
    m_scan->m_scanSucceeded = true;
    CLoError e = m_scan->Finish();
    EXPECT_FALSE(e.IsError()) << e.ToString();
    m_startTime = m_scan->m_startTime;
    long long entries = m_scan->m_numEntries;
    m_scan.reset();
    return entries;
  }

  std::string jobFile(const std::string& name) { return m_fake->jobDir() + "/" + name; }

  // What the job manager hears, in order: after a successful scan when streams > 0,
  // else after a failed one.
  void expectJobManagerHeard(int streams = 0, int maxCollect = 0, long long entries = 0) {
    Calls want = {"init(dorvane.test,4711,0,4,false,tok)", "Init2(4711,dorvane.test,1,4,tok,null)",
                  "updateInfo(false)"};
    if (streams) {
      const std::string params = " -parent 1 -r " + std::to_string(m_startTime) + " -c " + std::to_string(entries) +
                                 " -maxcolnum " + std::to_string(maxCollect) + " -numcol " +
                                 std::to_string(maxCollect) + " ";
      want.insert(want.end(), {"setNumStreams(" + std::to_string(streams) + ")", "concatPhaseParams(" + params + ",3)",
                               "updateInfo(false)", "complete(1,1,0,0)"});
    } else {
      want.insert(want.end(), {"complete(2,1,0,0)", "event(critical,0x11000002,0,0)"});
    }
    want.push_back("finishedWork(120000)");
    Calls heard;
    for (const std::string& c : m_fake->calls()) {
      for (const char* p : {"init(", "Init2(", "updateInfo(", "setNumStreams(", "concatPhaseParams(", "complete(",
                            "finishedWork(", "event("}) {
        if (c.starts_with(p)) heard.push_back(c);
      }
    }
    EXPECT_EQ(heard, want);
  }

  kzhost::ScopedFakePlatform m_fake;
  std::unique_ptr<TreeScan> m_scan = std::make_unique<TreeScan>();
  long long m_startTime = 0;  // kept from Finish, for the calls checked after destruction
};

TEST_F(EndToEnd, RoadOfOneFile) {
  m_fake->switches().streams = 4;
  ASSERT_NO_FATAL_FAILURE(startScan());
  ASSERT_EQ(m_scan->addToCollect("/data/a.txt", 1200), 0);
  EXPECT_EQ(kztest::flushAndRead(m_scan->m_collectFp, jobFile("Collect1.kzf")), "/data/a.txt|1200\n");
  long long entries = finishScan();
  EXPECT_EQ(readFile(jobFile("Collect1.kzf")), "/data/a.txt\n");
  EXPECT_EQ(readFile(jobFile("split_config")), "1\n");
  EXPECT_EQ(readFile(jobFile("DirChange.tmp")), "Version2\n");
  expectJobManagerHeard(1, 1, entries);
}

TEST_F(EndToEnd, OneCollectFileCutForFourStreams) {
  m_fake->switches().streams = 4;
  m_fake->switches().splitFlag = true;
  ASSERT_NO_FATAL_FAILURE(startScan());
  std::string want;
  for (int k = 0; k < 200; ++k) {
    m_scan->record("/d/f" + std::to_string(k), 1000 + k);
    want += "/d/f" + std::to_string(k) + "\n";
  }
  long long entries = finishScan();
  EXPECT_EQ(readFile(jobFile("split_config")), "1 2 4\n");
  std::string joined;
  for (int n = 1; n <= 4; ++n) joined += readFile(jobFile("Collect" + std::to_string(n) + ".kzf"));
  EXPECT_EQ(joined, want + "/d\n");
  expectJobManagerHeard(4, 4, entries);
}

// Lines lost on a full disk while the walk moved on to another collect file: the scan
// must fail although the walk reported success and the last file closed cleanly.
TEST_F(EndToEnd, LinesLostOnAFullDiskFailTheScan) {
  ASSERT_NO_FATAL_FAILURE(startScan());
  m_fake->switches().fullDiskPrefix = jobFile("Collect1.kzf");
  m_scan->newCollectAt = "/second/b";
  m_scan->record("/first/a", 10);
  m_scan->record("/second/b", 20);  // closing collect file 1 flushes into /dev/full
  finishScan();
  expectJobManagerHeard();
}

}  // namespace
