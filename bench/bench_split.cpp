// splitCollectFiles on one generated collect file (file lines with sizes, some with the
// AppleDouble marker, some of size 0, ancestor lines at the end), reported in bytes/s of
// collect file. The file is restored from a master copy before each run (timer paused).
//   BM_SplitCollectFiles/1    about 1 MB
//   BM_SplitCollectFiles/35   about 35 MB
//   BM_SplitCollectFiles_TwoStreams/35   the same file cut in two for two streams, as
//                                        `ifind --streams 2` does: the piece is visited too
// Target: 35 MB in <= 0.3 x the time of  sed -E 's/\|[^|]*$//' FILE >/dev/null.
//
// Two more modes, for bench/compare:
//   bench_split --generate FILE MEGABYTES   writes the same content to FILE
//   bench_split --split DIR                 runs splitCollectFiles once over DIR/Collect1.kzf
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include <unistd.h>

#include "bench/BenchSupport.h"

namespace {

// Writes about megabytes MB of collect lines to path; returns the sum of the sizes.
long long generateCollectFile(const std::string& path, long long megabytes) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("cannot create " + path);
  const long long target = megabytes * 1000 * 1000;
  std::mt19937_64 rng(35);
  std::lognormal_distribution<double> sizes(7.6, 1.6);  // median about 2 KiB
  long long written = 0, total = 0;
  char line[256];
  for (long long i = 0; written < target * 97 / 100; ++i) {
    long long size = (i % 23 == 0) ? 0 : static_cast<long long>(sizes(rng));
    int n = snprintf(line, sizeof line, "%s/data/project_%02d/module_%02d/src/file_%07lld_%llx.dat|%lld\n",
                     (i % 16 == 0) ? "-" : "", static_cast<int>(i / 50000 % 100), static_cast<int>(i / 500 % 100),
                     i, static_cast<unsigned long long>(rng() & 0xffffff), size);
    fputs(line, f);
    written += n;
    total += size;
  }
  for (int p = 0; written < target; ++p) {
    int n = fprintf(f, "/data/project_%02d/module_%02d/src\n/data/project_%02d/module_%02d\n", p / 100 % 100,
                    p % 100, p / 100 % 100, p % 100);
    written += n;
  }
  if (fclose(f) != 0) throw std::runtime_error("cannot write " + path);
  return total;
}

struct Master {
  std::string path;
  long long totalSize = 0;
  long long bytes = 0;
};

const Master& masterFile(long long megabytes) {
  static std::map<long long, Master> masters;
  auto it = masters.find(megabytes);
  if (it != masters.end()) return it->second;
  Master m;
  m.path = kzbench::BenchHome::get().scratch("master") + "/master.kzf";
  m.totalSize = generateCollectFile(m.path, megabytes);
  m.bytes = kzbench::fileSize(m.path);
  return masters.emplace(megabytes, m).first->second;
}

// One splitCollectFiles over dir/Collect1.kzf, as Finish runs it: without a cut for one
// stream, cut into pieces for more.
CLoError splitOnce(const std::string& dir, long long totalSize, int streams = 1) {
  kzbench::BenchFind find;
  find.m_collectDir = dir;
  find.m_collectBase = "Collect";
  find.m_collectExt = "kzf";
  find.m_nextCollectNum = 2;
  find.m_numStreams = streams;
  find.m_subclientFlag = streams > 1;
  find.m_collectInfo[1].totalSize = totalSize;
  return find.splitCollectFiles();
}

void splitBenchmark(benchmark::State& state, int streams) {
  const Master& m = masterFile(state.range(0));
  std::string dir = kzbench::BenchHome::get().scratch("split");
  std::string collect = dir + "/Collect1.kzf";
  for (auto _ : state) {
    state.PauseTiming();
    // As after Start: no piece of an earlier run is left for the cut to truncate.
    for (int piece = 2; piece <= streams; ++piece) unlink((dir + "/Collect" + std::to_string(piece) + ".kzf").c_str());
    if (!kzbench::copyFile(m.path, collect)) {
      state.SkipWithError("cannot copy the master collect file");
      break;
    }
    state.ResumeTiming();
    CLoError err = splitOnce(dir, m.totalSize, streams);
    if (err.IsError()) {
      state.SkipWithError(("splitCollectFiles failed: " + err.message()).c_str());
      break;
    }
  }
  state.SetBytesProcessed(m.bytes * state.iterations());
  state.counters["MB"] = static_cast<double>(m.bytes) / 1e6;
}

void BM_SplitCollectFiles(benchmark::State& state) { splitBenchmark(state, 1); }
void BM_SplitCollectFiles_TwoStreams(benchmark::State& state) { splitBenchmark(state, 2); }

BENCHMARK(BM_SplitCollectFiles)->Arg(1)->Arg(35)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitCollectFiles_TwoStreams)->Arg(35)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "--generate") == 0) {
    if (argc != 4) {
      std::cerr << "usage: bench_split --generate FILE MEGABYTES\n";
      return 2;
    }
    generateCollectFile(argv[2], atoll(argv[3]));
    return 0;
  }
  if (argc >= 2 && strcmp(argv[1], "--split") == 0) {
    if (argc != 3) {
      std::cerr << "usage: bench_split --split DIR\n";
      return 2;
    }
    kzbench::BenchHome::get();
    CLoError err = splitOnce(argv[2], 0);
    if (err.IsError()) {
      std::cerr << "splitCollectFiles failed: " << err.message() << "\n";
      return 1;
    }
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
