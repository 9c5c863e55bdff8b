// The recording side of a scan when its readers are free: how many entries a second one
// recording process (ifind's only process, or rank 0 of ifind --mpi) can take.
//
// A reader that answers at once stands in for the reading ranks: it decodes each
// directory from the bytes a reading rank would send (so decoding is counted), and the
// walker runs as under --mpi, its reader slots being proxies; the callback writes every
// file to a collect file through addToCollect. The tree: one folder of Arg(0)
// subfolders of 100 empty files each. Reported: entries a second (wall) and the
// process's processor time an entry. Not counted: MPI's own transport (a message per
// folder, of about 30 bytes a name).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <string>

#include "bench/BenchSupport.h"
#include "ifind/DirRead.h"
#include "ifind/Walker.h"

namespace {

constexpr int kFilesPerFolder = 100;


class FreeReaders : public ifind::RemoteReader {
 public:
  FreeReaders(const struct stat& rootSt, int folders, int readers) : m_readers(readers) {
    ifind::DirBatch root;
    root.haveStat = true;
    root.st = rootSt;
    for (int i = 0; i < folders; ++i) add(root, "folder_" + std::to_string(100000 + i), ifind::EntryType::Directory, nullptr);
    ifind::encodeBatch(root, m_rootWire);

    ifind::DirBatch leaf;
    leaf.haveStat = true;
    leaf.st = rootSt;
    leaf.st.st_ino = rootSt.st_ino + 1;
    struct stat file = rootSt;
    file.st_mode = S_IFREG | 0644;
    file.st_size = 4096;
    for (int i = 0; i < kFilesPerFolder; ++i)
      add(leaf, "file_" + std::to_string(1000000 + i) + ".dat", ifind::EntryType::Regular, &file);
    ifind::encodeBatch(leaf, m_leafWire);
  }

  int readers() const override { return m_readers; }
  void read(const ifind::RemoteDir& dir, const ifind::WalkOptions&, ifind::DirBatch& out) override {
    out = ifind::DirBatch{};
    if (!ifind::decodeBatch(dir.levels.size() == 1 ? m_rootWire : m_leafWire, out)) out.error = EPROTO;
  }

 private:
  static void add(ifind::DirBatch& b, const std::string& name, ifind::EntryType type, const struct stat* st) {
    ifind::DirChild c{};
    c.nameOff = static_cast<uint32_t>(b.names.size());
    c.nameLen = static_cast<uint32_t>(name.size());
    c.type = type;
    c.statIdx = -1;
    c.subdir = -1;
    if (st) {
      c.statIdx = static_cast<int32_t>(b.stats.size());
      b.stats.push_back(*st);
    }
    b.names += name;
    b.names.push_back('\0');
    b.children.push_back(c);
  }

  int m_readers;
  std::string m_rootWire, m_leafWire;
};

double processSeconds() {
  struct timespec t {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_RecordFromFreeReaders(benchmark::State& state) {
  const int folders = static_cast<int>(state.range(0));
  const int readers = static_cast<int>(state.range(1));
  std::string dir = kzbench::BenchHome::get().scratch("record");
  std::string root = dir + "/root";
  mkdir(root.c_str(), 0700);
  struct stat rootSt {};
  lstat(root.c_str(), &rootSt);
  FreeReaders remote(rootSt, folders, readers);

  int64_t entries = 0;
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto find = kzbench::makeFinder(dir);
    ifind::WalkOptions opt;
    opt.remote = &remote;
    opt.threads = readers;
    state.ResumeTiming();
    const double cpu0 = processSeconds();
    int64_t seen = 0;
    bool failed = false;
    ifind::walk(std::span<const std::string>(&root, 1), opt, [&](const ifind::WalkEntry& e) {
      if (e.visit != ifind::Visit::Entry) return ifind::Action::Continue;
      ++seen;
      if (e.type == ifind::EntryType::Regular && find->addToCollect(e.path.data(), e.st ? e.st->st_size : 0) != 0)
        failed = true;
      return ifind::Action::Continue;
    });
    if (find->m_collectFp) fflush(find->m_collectFp);
    cpu += processSeconds() - cpu0;
    entries += seen;
    state.PauseTiming();
    if (failed || seen != 1 + folders + static_cast<int64_t>(folders) * kFilesPerFolder)
      state.SkipWithError("entries lost or not written");
    find.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(entries);
  state.counters["cpu_ns_per_entry"] = entries ? cpu * 1e9 / static_cast<double>(entries) : 0;
}

// 2,000 folders: 202,001 entries a walk; 1, 2 and 8 free readers.
BENCHMARK(BM_RecordFromFreeReaders)->Args({2000, 1})->Args({2000, 2})->Args({2000, 8})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
