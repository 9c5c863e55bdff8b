// Shared set-up of the benchmarks: a process-wide local platform whose home is a temp
// folder, scratch folders below it, and a scan phase object ready to write collect files.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostservices/LocalPlatform.h"
#include "hostservices/Platform.h"
#include "scanphase/KzFind.h"

namespace kzbench {

// The walking subclass of a benchmark: the base hooks, nothing else.
class BenchFind : public KzFind {};

// One temp home for the whole process, removed at exit. The first call installs a
// LocalPlatform living there with debug level 1 (per-file lines are dropped).
class BenchHome {
 public:
  static BenchHome& get() {
    static BenchHome home;
    return home;
  }
  const std::string& path() const { return m_path; }

  // A new empty folder below the home (one per benchmark run, so runs do not share files).
  std::string scratch(const char* tag) {
    std::string dir = m_path + "/" + tag + "-" + std::to_string(m_next++);
    std::filesystem::create_directories(dir);
    return dir;
  }

 private:
  BenchHome() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kzbench-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed: " + templ);
    m_path = buf.data();
    kzhost::LocalPlatform::Settings settings;
    settings.home = m_path + "/home";
    settings.dorvane = "bench.local";
    settings.streams = 1;
    settings.splitFlag = false;
    std::filesystem::create_directories(settings.home);
    // The platform stays installed until the process ends: hosts never uninstall theirs.
    kzhost::Platform::install(std::make_unique<kzhost::LocalPlatform>(settings)).reset();
    kzhost::Platform::current().setDebugLevel(1);
  }
  ~BenchHome() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }

  std::string m_path;
  int m_next = 0;
};

// A scan phase object with a job control client (from JobInitialize) and the collect
// file name parts set by hand: collect file N is dir/CollectN.kzf.
inline std::unique_ptr<BenchFind> makeFinder(const std::string& collectDir) {
  BenchHome::get();
  auto find = std::make_unique<BenchFind>();
  find->m_jobId = 1;
  find->m_dorvaneName = "bench.local";
  find->m_jobToken = "bench";
  CLoError err = find->JobInitialize();
  if (err.IsError() || !find->m_jobCtrl) throw std::runtime_error("JobInitialize failed");
  find->m_collectDir = collectDir;
  find->m_collectBase = "Collect";
  find->m_collectExt = "kzf";
  return find;
}

// Deterministic absolute paths of minLen..maxLen bytes, spread over dirCount existing
// directories below root (so lookups beside them walk real directories). The files
// themselves are not created.
inline std::vector<std::string> makePaths(const std::string& root, size_t count, size_t minLen, size_t maxLen,
                                          int dirCount = 64) {
  std::vector<std::string> dirs;
  for (int i = 0; i < dirCount; ++i) {
    char name[64];
    snprintf(name, sizeof name, "/proj_%02d/src_%02d/", i / 8, i % 8);
    dirs.push_back(root + name);
    std::filesystem::create_directories(dirs.back());
  }
  std::mt19937_64 rng(20261206);
  std::uniform_int_distribution<size_t> len(minLen, maxLen);
  std::vector<std::string> paths;
  paths.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    std::string p = dirs[i % dirs.size()];
    char stem[32];
    snprintf(stem, sizeof stem, "file_%06zu_", i);
    p += stem;
    size_t want = len(rng);
    while (p.size() + 4 < want) p += static_cast<char>('a' + rng() % 26);
    p += ".dat";
    paths.push_back(std::move(p));
  }
  return paths;
}

// Copies src over dst (created or truncated); false on any failure.
inline bool copyFile(const std::string& src, const std::string& dst) {
  std::error_code ec;
  return std::filesystem::copy_file(src, dst, std::filesystem::copy_options::overwrite_existing, ec) && !ec;
}

inline long long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace kzbench
