// Cost of one addToCollect call at debug level 1: paths of 60 to 100 bytes appended to
// one collect file in a temp folder.
//   Plain                  the base writer
//   AppleDouble            m_checkAppleDouble on, no companion exists, m_preserveAtime off
//   AppleDoublePreserve    as AppleDouble, with m_preserveAtime on
// Target: Plain <= 100 ns per call; AppleDouble <= 1.5 x Plain.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "bench/BenchSupport.h"

namespace {

constexpr size_t kPathCount = 4096;  // a power of two: the loop cycles with a mask
// The collect file is emptied (timer paused) every this many lines, so a long run
// does not fill the disk: about 90 MB of lines.
constexpr int64_t kTruncateEvery = 1 << 20;

void runAddToCollect(benchmark::State& state, bool appleDouble, bool preserveAtime) {
  std::string dir = kzbench::BenchHome::get().scratch("add");
  std::vector<std::string> paths = kzbench::makePaths(dir + "/tree", kPathCount, 60, 100);
  auto find = kzbench::makeFinder(dir);
  find->m_checkAppleDouble = appleDouble;
  find->m_preserveAtime = preserveAtime;

  size_t i = 0;
  int64_t sinceTruncate = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    const std::string& p = paths[i];
    if (find->addToCollect(p.c_str(), static_cast<long long>(1000 + i)) != 0) {
      state.SkipWithError("addToCollect failed");
      break;
    }
    bytes += static_cast<int64_t>(p.size()) + 6;
    i = (i + 1) & (kPathCount - 1);
    if (++sinceTruncate == kTruncateEvery) {
      state.PauseTiming();
      if (find->m_collectFp) {
        fflush(find->m_collectFp);
        if (ftruncate(fileno(find->m_collectFp), 0) != 0) state.SkipWithError("ftruncate failed");
      }
      sinceTruncate = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
  state.counters["entries"] = static_cast<double>(find->m_numEntries);
}

void BM_AddToCollect_Plain(benchmark::State& state) { runAddToCollect(state, false, false); }
void BM_AddToCollect_AppleDouble(benchmark::State& state) { runAddToCollect(state, true, false); }
void BM_AddToCollect_AppleDoublePreserve(benchmark::State& state) { runAddToCollect(state, true, true); }

BENCHMARK(BM_AddToCollect_Plain);
BENCHMARK(BM_AddToCollect_AppleDouble);
BENCHMARK(BM_AddToCollect_AppleDoublePreserve);

}  // namespace

BENCHMARK_MAIN();
