// Cost of the path escaping that every collect and directory-change line goes through.
//   Ordinary   paths of 60 to 100 bytes with nothing to escape
//   Hostile    the same lengths, about one byte in eight a "\", "|", newline or carriage
//              return, the rest any byte 1..255
// Each is measured for escapeFileName (a new string per call), appendEscapedFileName
// (into a reused buffer) and unescapeFileName of the escaped form.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "hostservices/FileUtil.h"

namespace {

constexpr size_t kCount = 4096;

std::vector<std::string> ordinaryPaths() {
  std::vector<std::string> out;
  std::mt19937_64 rng(7);
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789_-.ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (size_t i = 0; i < kCount; ++i) {
    size_t len = 60 + rng() % 41;
    std::string p;
    while (p.size() < len) {
      p += '/';
      size_t comp = 4 + rng() % 12;
      for (size_t k = 0; k < comp && p.size() < len; ++k) p += alphabet[rng() % alphabet.size()];
    }
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<std::string> hostilePaths() {
  std::vector<std::string> out;
  std::mt19937_64 rng(8);
  const char specials[] = {'\\', '|', '\n', '\r'};
  for (size_t i = 0; i < kCount; ++i) {
    size_t len = 60 + rng() % 41;
    std::string p = "/";
    while (p.size() < len) {
      if (rng() % 8 == 0) {
        p += specials[rng() % 4];
      } else {
        p += static_cast<char>(1 + rng() % 255);  // never NUL
      }
    }
    out.push_back(std::move(p));
  }
  return out;
}

const std::vector<std::string>& paths(bool hostile) {
  static const std::vector<std::string> ordinary = ordinaryPaths();
  static const std::vector<std::string> bad = hostilePaths();
  return hostile ? bad : ordinary;
}

int64_t totalBytes(const std::vector<std::string>& v, int64_t iterations) {
  int64_t sum = 0;
  for (const auto& s : v) sum += static_cast<int64_t>(s.size());
  return sum * iterations / static_cast<int64_t>(v.size());
}

void BM_EscapeFileName(benchmark::State& state) {
  const auto& v = paths(state.range(0) != 0);
  size_t i = 0;
  for (auto _ : state) {
    std::string e = escapeFileName(v[i].c_str());
    benchmark::DoNotOptimize(e.data());
    i = (i + 1) & (kCount - 1);
  }
  state.SetBytesProcessed(totalBytes(v, state.iterations()));
  state.SetLabel(state.range(0) ? "hostile" : "ordinary");
}

void BM_AppendEscapedFileName(benchmark::State& state) {
  const auto& v = paths(state.range(0) != 0);
  std::string out;
  out.reserve(1024);
  size_t i = 0;
  for (auto _ : state) {
    out.clear();
    appendEscapedFileName(out, v[i]);
    benchmark::DoNotOptimize(out.data());
    i = (i + 1) & (kCount - 1);
  }
  state.SetBytesProcessed(totalBytes(v, state.iterations()));
  state.SetLabel(state.range(0) ? "hostile" : "ordinary");
}

void BM_UnescapeFileName(benchmark::State& state) {
  const auto& raw = paths(state.range(0) != 0);
  std::vector<std::string> v;
  for (const auto& s : raw) v.push_back(escapeFileName(s.c_str()));
  size_t i = 0;
  for (auto _ : state) {
    std::string u = unescapeFileName(v[i]);
    benchmark::DoNotOptimize(u.data());
    i = (i + 1) & (kCount - 1);
  }
  state.SetBytesProcessed(totalBytes(v, state.iterations()));
  state.SetLabel(state.range(0) ? "hostile" : "ordinary");
}

BENCHMARK(BM_EscapeFileName)->Arg(0)->Arg(1);
BENCHMARK(BM_AppendEscapedFileName)->Arg(0)->Arg(1);
BENCHMARK(BM_UnescapeFileName)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
