// collectAncestors over a tree of 100,000 distinct leaf directories at depth 6
// (/data/pN/qN/rN/sN/tN, ten of each: 111,111 distinct directories in all), visited depth
// first as a walker would. The reported time is the whole pass on a fresh object.
// Target: one pass with one file per directory < 0.2 s.
//   BM_CollectAncestors/1    one file per leaf directory (100,000 calls)
//   BM_CollectAncestors/10   ten files per leaf directory (1,000,000 calls)
//   BM_DumpAncestors         writing the 111,111 remembered directories to a collect file
#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"

namespace {

const std::vector<std::string>& leafDirs() {
  static const std::vector<std::string> dirs = [] {
    std::vector<std::string> out;
    out.reserve(100000);
    char buf[128];
    for (int p = 0; p < 10; ++p)
      for (int q = 0; q < 10; ++q)
        for (int r = 0; r < 10; ++r)
          for (int s = 0; s < 10; ++s)
            for (int t = 0; t < 10; ++t) {
              snprintf(buf, sizeof buf, "/data/project_%02d/module_%02d/component_%02d/package_%02d/unit_%02d", p,
                       q, r, s, t);
              out.emplace_back(buf);
            }
    return out;
  }();
  return dirs;
}

void BM_CollectAncestors(benchmark::State& state) {
  const int filesPerDir = static_cast<int>(state.range(0));
  const auto& dirs = leafDirs();
  std::vector<std::string> files;
  for (int f = 0; f < filesPerDir; ++f) files.push_back("/file_" + std::to_string(f) + ".txt");
  std::string path;
  size_t remembered = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto find = std::make_unique<kzbench::BenchFind>();
    state.ResumeTiming();
    for (const auto& d : dirs) {
      for (const auto& f : files) {
        path.assign(d);
        path += f;
        find->collectAncestors(path.c_str());
      }
    }
    state.PauseTiming();
    remembered = find->m_ancestors.size();
    find.reset();
    state.ResumeTiming();
  }
  state.counters["dirs"] = static_cast<double>(remembered);
  state.counters["calls"] = static_cast<double>(dirs.size() * files.size());
  if (remembered != 111111) state.SkipWithError("unexpected number of remembered directories");
}

void BM_DumpAncestors(benchmark::State& state) {
  const auto& dirs = leafDirs();
  std::string path;
  for (auto _ : state) {
    state.PauseTiming();
    std::string dir = kzbench::BenchHome::get().scratch("dump");
    auto find = kzbench::makeFinder(dir);
    for (const auto& d : dirs) {
      path.assign(d);
      path += "/f";
      find->collectAncestors(path.c_str());
    }
    state.ResumeTiming();
    find->dumpAncestors();
    if (find->m_collectFp) fflush(find->m_collectFp);
    state.PauseTiming();
    if (find->m_numEntries != 111111) state.SkipWithError("unexpected number of ancestor lines");
    find.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    state.ResumeTiming();
  }
}

BENCHMARK(BM_CollectAncestors)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DumpAncestors)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
