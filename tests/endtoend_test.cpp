// A whole scan phase, from construction to destruction, by a small walking subclass
// over the recording fake: the outputs it leaves and what the job manager hears.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"
#include "support/WriterSupport.h"
#include "support/Argv.h"

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

namespace {

using kztest::readFile;

// The walking subclass: records every regular file below a root, in name order, and
// the directories above it. A file named in newCollectAt starts a new collect file.
class TreeScan : public KzFind {
 public:
  void walk(const std::string& root) {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      if (e.is_regular_file()) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& p : files) record(p.string(), static_cast<long long>(fs::file_size(p)));
  }
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

// The calls that reach the job manager (and its events), in order.
Calls jobManagerCalls(kzhost::FakePlatform& fake) {
  Calls out;
  for (const std::string& c : fake.calls()) {
    for (const char* p : {"init(", "Init2(", "updateInfo(", "setNumStreams(", "concatPhaseParams(", "complete(",
                          "finishedWork(", "event("}) {
      if (c.rfind(p, 0) == 0) out.push_back(c);
    }
  }
  return out;
}

class EndToEnd : public ::testing::Test {
 protected:
  // Construction and every step up to Start, as a host runs them.
  void startScan(const char* backupType = "1") {
    kztest::Argv argv{"ifind", "-d", "/data/", "-a", "1:2", "-j", "4711", "-f", backupType, "-jt", "tok"};
    CLoError e = m_scan->Initialize(argv.argc(), argv.argv());
    ASSERT_FALSE(e.IsError()) << e.ToString();
    for (auto step : {&KzFind::AppInitialize, &KzFind::JobInitialize, &KzFind::SCInitialize,
                      &KzFind::EngineInitialize, &KzFind::ProxyInitialize, &KzFind::Start}) {
      e = ((*m_scan).*step)();
      ASSERT_FALSE(e.IsError()) << e.ToString();
    }
  }
  void finishScan() {
    CLoError e = m_scan->Finish();
    EXPECT_FALSE(e.IsError()) << e.ToString();
    m_startTime = m_scan->m_startTime;
  }

  std::string jobFile(const std::string& name) { return m_fake->jobDir() + "/" + name; }

  // What the job manager hears after the walk of a successful scan.
  Calls successTail(int streams, int maxCollect, long long entries) {
    const std::string params = " -parent 1 -r " + std::to_string(m_startTime) + " -c " +
                               std::to_string(entries) + " -maxcolnum " + std::to_string(maxCollect) +
                               " -numcol " + std::to_string(maxCollect) + " ";
    return {"updateInfo(false)",
            "setNumStreams(" + std::to_string(streams) + ")",
            "concatPhaseParams(" + params + ",3)",
            "updateInfo(false)",
            "complete(1,1,0,0)",
            "finishedWork(120000)"};
  }
  const Calls kInit = {"init(dorvane.test,4711,0,4,false,tok)", "Init2(4711,dorvane.test,1,4,tok,null)"};

  kzhost::ScopedFakePlatform m_fake;
  std::unique_ptr<TreeScan> m_scan = std::make_unique<TreeScan>();
  long long m_startTime = 0;  // kept from Finish, for the calls checked after destruction
};

TEST_F(EndToEnd, RoadOfOneFile) {
  m_fake->switches().streams = 4;
  ASSERT_NO_FATAL_FAILURE(startScan());

  ASSERT_EQ(m_scan->addToCollect("/data/a.txt", 1200), 0);
  fflush(m_scan->m_collectFp);
  EXPECT_EQ(readFile(jobFile("Collect1.kzf")), "/data/a.txt|1200\n");
  m_scan->m_scanSucceeded = true;
  finishScan();
  m_scan.reset();

  EXPECT_EQ(readFile(jobFile("Collect1.kzf")), "/data/a.txt\n");
  EXPECT_EQ(readFile(jobFile("split_config")), "1\n");
  EXPECT_EQ(readFile(jobFile("DirChange.tmp")), "Version2\n");
  Calls want = kInit;
  for (const std::string& c : successTail(1, 1, 1)) want.push_back(c);
  EXPECT_EQ(jobManagerCalls(*m_fake), want);
}

TEST_F(EndToEnd, WalkOfATree) {
  char tmpl[] = "/tmp/kzwalkXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  fs::create_directories(root + "/sub/deep");
  std::ofstream(root + "/a.txt") << "hello";
  std::ofstream(root + "/sub/b.bin");
  std::ofstream(root + "/sub/deep/c") << std::string(300, 'c');
  // Leftovers of an earlier run that Start must clear.
  std::ofstream(jobFile("Collect7.kzf")) << "/old|1\n";
  std::ofstream(jobFile("split_config")) << "7\n";

  ASSERT_NO_FATAL_FAILURE(startScan());
  m_scan->walk(root);
  m_scan->m_scanSucceeded = true;
  finishScan();
  const long long entries = m_scan->m_numEntries;
  const int streams = m_scan->m_numStreams;
  m_scan.reset();

  std::string want = root + "/a.txt\n" + root + "/sub/b.bin\n" + root + "/sub/deep/c\n";
  // The ancestors, in the order first met, up to but without the root directory.
  std::vector<std::string> ancestors = {root};
  for (fs::path p = fs::path(root).parent_path(); p != "/"; p = p.parent_path()) ancestors.push_back(p.string());
  ancestors.push_back(root + "/sub");
  ancestors.push_back(root + "/sub/deep");
  for (const std::string& a : ancestors) want += a + "\n";
  EXPECT_EQ(readFile(jobFile("Collect1.kzf")), want);
  EXPECT_EQ(entries, 3 + static_cast<long long>(ancestors.size()));
  EXPECT_FALSE(fs::exists(jobFile("Collect7.kzf")));
  EXPECT_FALSE(fs::exists(jobFile("Collect1.tmp")));
  EXPECT_EQ(readFile(jobFile("split_config")), "1\n");
  EXPECT_EQ(streams, 1);
  Calls wantCalls = kInit;
  for (const std::string& c : successTail(1, 1, entries)) wantCalls.push_back(c);
  EXPECT_EQ(jobManagerCalls(*m_fake), wantCalls);
  fs::remove_all(root);
}

TEST_F(EndToEnd, OneCollectFileCutForFourStreams) {
  m_fake->switches().streams = 4;
  m_fake->switches().splitFlag = true;
  ASSERT_NO_FATAL_FAILURE(startScan());
  for (int k = 0; k < 200; ++k) m_scan->record("/d/f" + std::to_string(k), 1000 + k);
  m_scan->m_scanSucceeded = true;
  finishScan();
  const long long entries = m_scan->m_numEntries;
  m_scan.reset();

  EXPECT_EQ(readFile(jobFile("split_config")), "1 2 4\n");
  std::string joined;
  for (int n = 1; n <= 4; ++n) joined += readFile(jobFile("Collect" + std::to_string(n) + ".kzf"));
  std::string want;
  for (int k = 0; k < 200; ++k) want += "/d/f" + std::to_string(k) + "\n";
  EXPECT_EQ(joined, want + "/d\n");
  Calls wantCalls = kInit;
  for (const std::string& c : successTail(4, 4, entries)) wantCalls.push_back(c);
  EXPECT_EQ(jobManagerCalls(*m_fake), wantCalls);
}

// Lines lost on a full disk while the walk moved on to another collect file: the scan
// must fail although the walk reported success and the last file closed cleanly.
TEST_F(EndToEnd, LinesLostOnAFullDiskFailTheScan) {
  ASSERT_NO_FATAL_FAILURE(startScan());
  m_fake->switches().fullDiskPrefix = jobFile("Collect1.kzf");
  m_scan->newCollectAt = "/second/b";
  m_scan->record("/first/a", 10);
  m_scan->record("/second/b", 20);  // closing collect file 1 flushes into /dev/full
  m_scan->m_scanSucceeded = true;
  finishScan();
  m_scan.reset();

  Calls want = kInit;
  for (const char* c : {"updateInfo(false)", "complete(2,1,0,0)", "event(critical,0x11000002,0,0)",
                        "finishedWork(120000)"}) {
    want.push_back(c);
  }
  EXPECT_EQ(jobManagerCalls(*m_fake), want);
}

}  // namespace
