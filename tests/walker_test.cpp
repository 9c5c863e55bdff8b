// The walker on real temp trees: order, types, errors as data, pruning, stopping,
// deep trees, and the reader pool giving the very sequence of one thread.
#include "ifind/Walker.h"

#include <fcntl.h>
#include <sys/resource.h>

#include "ifind/DirRead.h"
#include "ifind/StatBatch.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include "support/WriterSupport.h"

namespace {

using namespace ifind;
namespace fs = std::filesystem;

WalkOptions withThreads(int threads) { return {.skipDevices = {}, .threads = threads}; }

// One line per callback: "<visit> <path relative to base> <type> d<depth>[ size][ error]".
std::string describe(const WalkEntry& e, const std::string& base) {
  static const char* const kVisits[] = {"entry", "enter", "listed", "leave"};
  std::string p(e.path);
  if (p.starts_with(base)) p = "." + p.substr(base.size());
  std::string line = std::string(kVisits[static_cast<int>(e.visit)]) + " " + p + " " + typeName(e.type) + " d" +
                     std::to_string(e.depth);
  if (e.visit == Visit::Entry && e.type == EntryType::Regular && e.st) line += " " + std::to_string(e.st->st_size);
  if (e.error) line += std::string(" ") + failedName(e.failed) + ":" + std::to_string(e.error);
  if (e.otherDevice) line += " other-device";
  return line;
}

struct Recorder {
  explicit Recorder(std::string b) : base(std::move(b)) {}
  std::string base;
  std::vector<std::string> lines;
  std::function<Action(const WalkEntry&)> decide = [](const WalkEntry&) { return Action::Continue; };

  WalkResult run(std::vector<std::string> roots, WalkOptions opt = {}) {
    return walk(roots, opt, [&](const WalkEntry& e) {
      lines.push_back(describe(e, base));
      return decide(e);
    });
  }
};

// The entries of each directory come in listing order; sorting them within each
// "enter ... listed" block gives a form that tests can write down.
std::vector<std::string> canonical(std::vector<std::string> lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].starts_with("enter ")) continue;
    size_t j = i + 1;
    while (j < lines.size() && !lines[j].starts_with("listed ")) ++j;
    std::sort(lines.begin() + static_cast<long>(i) + 1, lines.begin() + static_cast<long>(j));
  }
  return lines;
}

// Directories read as another process would: by names from the content path, through a
// PathReader keeping few descriptors, each batch sent through its wire form.
class LoopbackReader : public RemoteReader {
 public:
  explicit LoopbackReader(int readers, size_t maxOpen = 256) : m_readers(readers), m_reader(maxOpen) {}
  int readers() const override { return m_readers; }
  void read(const RemoteDir& dir, const WalkOptions& opt, DirBatch& out) override {
    std::string wire;
    {
      // Only the levels the reader does not hold are sent, as between processes.
      std::lock_guard lock(m_mutex);
      const size_t known = m_held.common(dir);
      RemoteDir below{dir.rootDev, {dir.levels.begin() + static_cast<long>(known), dir.levels.end()}};
      m_reader.read(below, known, opt, m_batch);
      m_held.update(dir, m_reader.held());
      encodeBatch(m_batch, wire);
    }
    EXPECT_TRUE(decodeBatch(wire, out));
  }

 private:
  int m_readers;
  std::mutex m_mutex;
  PathReader m_reader;
  HeldLevels m_held;
  DirBatch m_batch;
};

class WalkerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, mkdir(root().c_str(), 0755)); }
  kztest::TempDir tmp;
  std::string root() const { return tmp / "t"; }
};

TEST_F(WalkerTest, VisitsDirectoriesAsBatchesDepthFirst) {
  kztest::makeTree(root(), {"a/", "a/x", "a/sub/", "a/sub/deep", "b/", "top", "empty/"});
  ASSERT_EQ(0, symlink("top", (root() + "/link").c_str()));
  ASSERT_EQ(0, mkfifo((root() + "/fifo").c_str(), 0644));
  Recorder r(tmp.path());
  EXPECT_FALSE(r.run({root()}).stopped);

  std::vector<std::string> expected = {
      "entry ./t dir d0",       "enter ./t dir d0",       "entry ./t/a dir d1",         "entry ./t/b dir d1",
      "entry ./t/empty dir d1", "entry ./t/fifo fifo d1", "entry ./t/link symlink d1", "entry ./t/top file d1 3",
      "listed ./t dir d0"};
  std::map<std::string, std::vector<std::string>> sub = {
      {"enter ./t/a dir d1",
       {"enter ./t/a dir d1", "entry ./t/a/sub dir d2", "entry ./t/a/x file d2 3", "listed ./t/a dir d1",
        "enter ./t/a/sub dir d2", "entry ./t/a/sub/deep file d3 10", "listed ./t/a/sub dir d2",
        "leave ./t/a/sub dir d2", "leave ./t/a dir d1"}},
      {"enter ./t/b dir d1", {"enter ./t/b dir d1", "listed ./t/b dir d1", "leave ./t/b dir d1"}},
      {"enter ./t/empty dir d1", {"enter ./t/empty dir d1", "listed ./t/empty dir d1", "leave ./t/empty dir d1"}},
  };
  // Subdirectories are entered in listing order: take it from the run.
  for (const std::string& l : r.lines) {
    if (sub.contains(l)) expected.insert(expected.end(), sub[l].begin(), sub[l].end());
  }
  expected.push_back("leave ./t dir d0");
  EXPECT_EQ(25u, expected.size());  // each subdirectory entered once
  EXPECT_EQ(expected, canonical(r.lines));
}

// A directory on a device skipped is not entered; the content path itself always is.
// (Pruning at an entry or at DirEnter: the chunked-folders test.)
TEST_F(WalkerTest, OtherDevicesAreNotEntered) {
  kztest::makeTree(root(), {"keep/", "keep/f", "keep/inner/", "keep/inner/g"});
  struct stat st {};
  ASSERT_EQ(0, stat(root().c_str(), &st));
  Recorder r(tmp.path());
  r.run({root() + "/keep"}, {.skipDevices = {st.st_dev}});  // the content path itself is still entered
  EXPECT_EQ(canonical(r.lines),
            (std::vector<std::string>{"entry ./t/keep dir d0", "enter ./t/keep dir d0", "entry ./t/keep/f file d1 6",
                                      "entry ./t/keep/inner dir d1", "listed ./t/keep dir d0",
                                      "enter ./t/keep/inner dir d1 other-device", "listed ./t/keep/inner dir d1",
                                      "leave ./t/keep/inner dir d1 other-device", "leave ./t/keep dir d0"}));
}

// Long names over many levels: paths far beyond PATH_MAX, and few descriptors, so the
// walker must re-open directories from their ancestors. (ifind's end-to-end test walks
// thousands of levels.)
TEST_F(WalkerTest, DeepTreeBeyondPathMaxWithFewDescriptors) {
  const int levels = 40;
  // A side directory per level keeps each level's descriptor wanted until both are opened.
  kztest::makeChain(root(), std::string(200, 'n'), levels, "bottom", true);
  LoopbackReader remote(2, 4);
  for (int threads : {1, 3, 0}) {  // 0: read remotely
    size_t longest = 0;
    int errors = 0, leaves = 0, bottoms = 0, open = 0;  // open: entered less left
    WalkOptions opt = withThreads(threads);
    opt.maxOpenDirs = 3;
    if (threads == 0) opt.remote = &remote;
    WalkResult res = walk(std::vector<std::string>{root()}, opt, [&](const WalkEntry& e) {
      longest = std::max(longest, e.path.size());
      errors += e.error != 0;
      leaves += e.visit == Visit::Entry && e.name == "leaf";
      bottoms += e.visit == Visit::Entry && e.name == "bottom";
      open += (e.visit == Visit::DirEnter) - (e.visit == Visit::DirLeave);
      return Action::Continue;
    });
    EXPECT_EQ((std::vector<int>{errors, leaves, bottoms, open}), (std::vector<int>{0, levels, 1, 0})) << threads;
    EXPECT_GT(longest, static_cast<size_t>(PATH_MAX));
    EXPECT_TRUE(threads != 1 || res.reopens > 0);  // with readers, timing decides whether one is needed
  }
}

// The reader pool, local or remote, must not change what the callback sees, nor its order, also with
// pruning (which throws away directories read ahead) and a stop half-way, after which
// nothing is called, not even for the next content path; and no walk moves an access time.
TEST_F(WalkerTest, ReaderPoolGivesTheSequenceOfOneThread) {
  unsigned seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
  std::vector<std::string> dirs{""}, entries;
  for (int i = 0; i < 400; ++i) {
    std::string name = dirs[next() % dirs.size()];
    name += (next() % 5 == 0 ? "skip" : "n") + std::to_string(i);
    if (next() % 3 == 0) dirs.push_back(name += "/");
    entries.push_back(name);
  }
  kztest::makeTree(root(), entries);
  // Two days old: a relatime mount would update it on the next read of the directory.
  struct timespec times[2] = {{time(nullptr) - 2 * 86400, 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, root().c_str(), times, 0));

  auto run = [&](int threads, int stopAfter, int maxThreads = 0) {
    Recorder r(tmp.path());
    int count = 0;
    r.decide = [&](const WalkEntry& e) {
      if (++count == stopAfter) return Action::Stop;
      if (e.visit == Visit::Entry && e.name.starts_with("skip")) return Action::Prune;
      return Action::Continue;
    };
    WalkOptions opt = withThreads(threads);
    opt.maxReadAhead = 16;
    opt.statAll = true;
    opt.maxThreads = maxThreads;
    opt.readerWaits = [] { return true; };  // with maxThreads: a reader added after every read
    LoopbackReader remote(-threads);
    if (threads < 0) opt.remote = &remote;
    EXPECT_EQ(r.run({root(), root() + "/n1"}, opt).stopped, stopAfter > 0);
    return r.lines;
  };
  for (int stopAfter : {0, 300}) {
    std::vector<std::string> one = run(1, stopAfter);
    EXPECT_TRUE(stopAfter ? one.size() == 300u : one.size() > 300u) << one.size();
    // Negative: that many remote readers.
    for (int threads : {2, 8, -1, -3}) EXPECT_EQ(one, run(threads, stopAfter)) << threads << " threads, stop " << stopAfter;
    EXPECT_EQ(one, run(2, stopAfter, 8)) << "readers added, stop " << stopAfter;
  }
  struct stat st {};
  ASSERT_EQ(0, stat(root().c_str(), &st));
  EXPECT_EQ(times[0].tv_sec, st.st_atime);  // access times are left alone
}

// Readers added as fast as they can be never pass the bound asked for, nor the open-file
// limit's room for them (6 descriptors each), counted as threads the process really has.
TEST_F(WalkerTest, AddedReadersStayWithinTheBoundAndTheDescriptors) {
  std::vector<std::string> dirs;
  for (int i = 0; i < 300; ++i) {
    if (i % 20 == 0) dirs.push_back("d" + std::to_string(i / 20) + "/");
    dirs.push_back("d" + std::to_string(i / 20) + "/" + std::to_string(i) + "/");
  }
  kztest::makeTree(root(), dirs);
  auto tasks = [] { return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/task"), {})); };
  const int others = tasks() - 1, open = static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
  struct rlimit saved {};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  for (auto [maxThreads, room] : {std::pair{5, 0}, {16, 3}}) {  // room: readers the descriptors allow
    struct rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(open + 8 + 6 * room);
    if (room) {
      ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    }
    int most = 0, errors = 0;
    WalkOptions opt = withThreads(2);
    opt.maxThreads = maxThreads;
    opt.readerWaits = [] {  // a slow disk: readers overlap while the pool grows
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return true;
    };
    WalkResult res = walk(std::vector<std::string>{root()}, opt, [&](const WalkEntry& e) {
      if (e.visit == Visit::DirEnter) most = std::max(most, tasks() - others);
      errors += e.error != 0;
      return Action::Continue;
    });
    setrlimit(RLIMIT_NOFILE, &saved);
    const int bound = room ? room : maxThreads;
    EXPECT_EQ(0, errors);
    EXPECT_LE(most, bound) << maxThreads;
    EXPECT_LE(res.readers, bound);
    EXPECT_GT(res.readers, 2);  // readers were added
  }
}

// Folders of many chunks: every entry once, in the order of one thread whatever the
// threads or the chunk size, also when a Stop lands in the middle of a folder or one
// is pruned at its DirEnter while readers hold chunks of it (it still gets DirListed
// and DirLeave, none of its entries). No descriptor outlives a walk; nodes that would
// are ASan's to find.
TEST_F(WalkerTest, ChunkedFoldersKeepTheOrderAndLeakNothing) {
  std::vector<std::string> entries{"big/", "cut/"};
  for (int i = 0; i < 600; ++i) {
    std::string name = "big/" + std::string(i % 50 == 7 ? "skip" : "f") + std::to_string(i);
    if (i % 40 == 3 || i % 50 == 7) {
      entries.push_back(name + "/");
      entries.push_back(name + "/inner");
    } else {
      entries.push_back(name);
    }
  }
  for (int i = 0; i < 200; ++i) entries.push_back("cut/c" + std::to_string(i));
  kztest::makeTree(root(), entries);
  auto openFds = [] {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  const size_t fdsBefore = openFds();

  auto run = [&](int threads, size_t chunk, int stopAfter) {
    Recorder r(tmp.path());
    int count = 0;
    r.decide = [&](const WalkEntry& e) {
      if (++count == stopAfter) return Action::Stop;
      if (e.visit == Visit::Entry && e.name.starts_with("skip")) return Action::Prune;
      if (e.visit == Visit::DirEnter && e.name == "cut") return Action::Prune;
      return Action::Continue;
    };
    WalkOptions opt = withThreads(threads);
    opt.chunkEntries = chunk;  // some 30 entries a chunk: the buffer shrinks to match
    opt.maxReadAhead = 2;      // a few chunks ahead at most
    std::optional<LoopbackReader> remote;  // holds descriptors of its own while it lives
    if (threads < 0) opt.remote = &remote.emplace(2);
    EXPECT_EQ(r.run({root()}, opt).stopped, stopAfter > 0);
    remote.reset();
    EXPECT_EQ(fdsBefore, openFds()) << threads << " threads, stop " << stopAfter;
    return r.lines;
  };
  const std::vector<std::string> whole = run(1, 0, 0);
  std::set<std::string> big;
  size_t bigLines = 0, middle = 0;
  for (size_t i = 0; i < whole.size(); ++i) {
    const std::string& l = whole[i];
    EXPECT_FALSE(l.starts_with("entry ./t/cut/")) << l;
    if (l.find("/skip") != std::string::npos) {  // pruned at its entry: never entered
      EXPECT_TRUE(l.starts_with("entry ") && l.find("/skip") == l.rfind('/')) << l;
    }
    if (l.starts_with("entry ./t/big/") && l.find(" d2") != std::string::npos) {
      big.insert(l);
      if (++bigLines == 300) middle = i + 1;
    }
  }
  EXPECT_EQ(600u, bigLines);
  EXPECT_EQ(600u, big.size());
  for (const char* l : {"enter ./t/cut dir d1", "listed ./t/cut dir d1", "leave ./t/cut dir d1"})
    EXPECT_EQ(1, std::count(whole.begin(), whole.end(), l)) << l;
  for (int stopAfter : {0, static_cast<int>(middle)}) {
    const std::vector<std::string> one = run(1, 16, stopAfter);
    if (!stopAfter) {
      EXPECT_EQ(whole, one);
    }
    for (int threads : {2, 8, -1}) {
      EXPECT_EQ(one, run(threads, 16, stopAfter)) << threads << " threads, stop " << stopAfter;
    }
  }
}

// Batched stats must give what one fstatat per name gives, for every kind of entry and
// failure, across more names than one batch holds.
TEST_F(WalkerTest, BatchedStatsEqualSingleCalls) {
  std::vector<std::string> names = {"file", "dir", "link", "dangling", "fifo", "missing", "dir/x"};
  kztest::makeTree(root(), {"dir/", "dir/x"});
  kztest::writeFile(root() + "/file", std::string(5000, 'z'));
  ASSERT_EQ(0, symlink("file", (root() + "/link").c_str()));
  ASSERT_EQ(0, symlink("nowhere", (root() + "/dangling").c_str()));
  ASSERT_EQ(0, mkfifo((root() + "/fifo").c_str(), 0600));
  for (int i = 0; i < 600; ++i) {
    names.push_back("n" + std::to_string(i));
    if (i % 3) kztest::writeFile(root() + "/" + names.back(), std::string(static_cast<size_t>(i), 'a'));
  }
  const int fd = open(root().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::vector<const char*> ptrs;
  for (const std::string& n : names) ptrs.push_back(n.c_str());
  // Per name the errno, then what a stat must agree on (the access time may move).
  auto statAll = [&](bool ring) {
    std::vector<struct stat> st(names.size());
    std::vector<int> errs(names.size(), -1);
    StatBatch(ring).run(fd, ptrs.data(), ptrs.size(), st.data(), errs.data());
    std::vector<std::tuple<int, dev_t, ino_t, mode_t, nlink_t, uid_t, gid_t, dev_t, off_t, blkcnt_t, time_t, long,
                           time_t, long>> out;
    const struct stat none {};
    for (size_t i = 0; i < names.size(); ++i) {
      const struct stat& s = errs[i] ? none : st[i];
      out.emplace_back(errs[i], s.st_dev, s.st_ino, s.st_mode, s.st_nlink, s.st_uid, s.st_gid, s.st_rdev, s.st_size,
                       s.st_blocks, s.st_mtim.tv_sec, s.st_mtim.tv_nsec, s.st_ctim.tv_sec, s.st_ctim.tv_nsec);
    }
    return out;
  };
  const auto one = statAll(false), many = statAll(true);
  close(fd);
  EXPECT_EQ(std::get<0>(one[5]), ENOENT);
  EXPECT_TRUE(S_ISLNK(std::get<3>(one[2])));  // links are not followed
  EXPECT_EQ(std::get<8>(one[0]), 5000);
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(one[i], many[i]) << names[i];
}

}  // namespace

namespace {

// What a reading rank answers for directories it cannot reach as the walk read them:
// the failure travels as data and names the step, as a local read would.
TEST_F(WalkerTest, RemoteReadFailuresNameTheStep) {
  kztest::makeTree(root(), {"a/", "a/b/", "file"});
  struct stat a {};
  ASSERT_EQ(0, stat((root() + "/a").c_str(), &a));
  struct stat top {};
  ASSERT_EQ(0, stat(root().c_str(), &top));
  ASSERT_EQ(0, rename((root() + "/a").c_str(), (root() + "/old").c_str()));
  ASSERT_EQ(0, mkdir((root() + "/a").c_str(), 0755));  // same name, another directory
  const struct {
    std::vector<std::string_view> names;  // below the content path
    std::vector<ino_t> inos;              // of the content path and each directory on the way
    Failed failed;
    int error;
  } cases[] = {
      {{"a", "b"}, {top.st_ino, a.st_ino}, Failed::Reopen, ENOENT},  // replaced since it was read
      {{"file"}, {top.st_ino}, Failed::Open, ENOTDIR},
      {{"gone"}, {top.st_ino}, Failed::Open, ENOENT},
      {{"old", "b"}, {top.st_ino, a.st_ino}, Failed::None, 0},
  };
  PathReader reader(4);
  const std::string path = root();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.names.front()) + "/" + std::string(c.names.back()));
    RemoteDir dir{top.st_dev, {{path, top.st_ino, 1}}};
    for (size_t i = 0; i < c.names.size(); ++i) dir.levels.push_back({c.names[i], i + 1 < c.inos.size() ? c.inos[i + 1] : 0, 0});
    DirBatch b;
    reader.read(dir, 0, WalkOptions{}, b);
    EXPECT_EQ(c.failed, b.failed);
    EXPECT_EQ(c.error, b.error);
    EXPECT_EQ(c.error == 0, b.haveStat);
  }
  // A request that counts on levels the reader does not hold is refused, not guessed.
  DirBatch b;
  reader.read(RemoteDir{top.st_dev, {{"b", 0, 0}}}, 9, WalkOptions{}, b);
  EXPECT_EQ(EPROTO, b.error);

  // A listing that fails part-way keeps the entries read before the failure and gives
  // the error once: on DirEnter when less than a chunk came before it (as a local read
  // finds it in its first chunk), else on DirListed; DirLeave repeats it.
  std::vector<std::string> many{"few/", "few/x", "many/"};
  for (int i = 0; i < 20; ++i) many.push_back("many/m" + std::to_string(i));
  kztest::makeTree(root(), many);
  struct FailingReader : LoopbackReader {
    using LoopbackReader::LoopbackReader;
    void read(const RemoteDir& dir, const WalkOptions& opt, DirBatch& out) override {
      LoopbackReader::read(dir, opt, out);
      if (dir.levels.back().name == "few" || dir.levels.back().name == "many") {
        out.error = EIO;
        out.failed = Failed::Read;
      }
    }
  } failing(2);
  Recorder r(tmp.path());
  r.run({root()}, {.skipDevices = {}, .chunkEntries = 8, .remote = &failing});
  const std::string err = " readdir:" + std::to_string(EIO);
  for (const std::string& l : std::vector<std::string>{"enter ./t/few dir d1" + err, "listed ./t/few dir d1", "leave ./t/few dir d1" + err,
                                                        "enter ./t/many dir d1", "listed ./t/many dir d1" + err,
                                                        "leave ./t/many dir d1" + err})
    EXPECT_EQ(1, std::count(r.lines.begin(), r.lines.end(), l)) << l;
  EXPECT_EQ(20, std::count_if(r.lines.begin(), r.lines.end(),
                              [](const std::string& l) { return l.starts_with("entry ./t/many/"); }));
}

// A batch from another process is checked before the recorder trusts its offsets.
TEST(DirBatchWire, MalformedBatchesAreRejected) {
  DirBatch b;
  b.haveStat = true;
  b.names = std::string("x\0yz\0", 5);
  b.children = {{0, 1, EntryType::Regular, 0, 0, -1}, {2, 2, EntryType::Directory, EACCES, -1, -1}};
  b.stats.resize(1);
  b.stats[0].st_size = 42;
  std::string wire;
  encodeBatch(b, wire);
  DirBatch back;
  ASSERT_TRUE(decodeBatch(wire, back));
  EXPECT_EQ(b.names, back.names);
  EXPECT_EQ(EACCES, back.children[1].error);
  EXPECT_EQ(42, back.stats[0].st_size);

  const size_t childAt = wire.size() - sizeof(struct stat) - 2 * sizeof(DirChild);
  const struct {
    const char* what;
    std::function<void(std::string&)> spoil;
  } cases[] = {
      {"truncated", [](std::string& w) { w.pop_back(); }},
      {"extra byte", [](std::string& w) { w.push_back(0); }},
      {"name past the end", [&](std::string& w) { w[childAt + offsetof(DirChild, nameOff)] = 4; }},
      {"stat index past the end", [&](std::string& w) { w[childAt + offsetof(DirChild, statIdx)] = 1; }},
      // A name that leaves its folder would have the walk record, or enter, what lies outside it.
      {"name with a slash", [&](std::string& w) { w[childAt - 2] = '/'; }},
      {"name \"..\"", [&](std::string& w) { w.replace(childAt - 3, 2, ".."); }},
      {"name with a NUL", [&](std::string& w) { w[childAt - 3] = '\0'; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bad = wire;
    c.spoil(bad);
    EXPECT_FALSE(decodeBatch(bad, back));
  }
}

}  // namespace

// The stat strategy follows the way the walk as a whole goes faster, and changes its
// mind on a clear lead only.
namespace {
uint64_t g_fakeNow = 1;
uint64_t fakeClock() { return g_fakeNow; }
}  // namespace

TEST(StatChooserTest, KeepsTheFasterWayAndFollowsAChange) {
  struct Row {
    const char* name;
    uint64_t singleNanos, ringNanos;  // wall time of 64 names
    const char* chosen;
  } rows[] = {{"ring slower", 6400, 9600, "single"}, {"ring faster", 9600, 6400, "ring"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ifind::StatChooser c(fakeClock);
    EXPECT_STREQ("single", c.decision());  // nothing timed yet
    auto batch = [&](bool swapped) {
      ifind::StatChooser::Turn t = c.begin();
      g_fakeNow += (t.ring != swapped) ? r.ringNanos : r.singleNanos;
      c.end(t, 64);
    };
    int batches = 0;
    while (std::string(c.decision()) == "undecided" || batches == 0) {
      batch(false);
      ASSERT_LT(++batches, 1000);
    }
    EXPECT_STREQ(r.chosen, c.decision());
    // Calibration costs four turns, half of them the slower way.
    EXPECT_EQ(ifind::StatChooser::kCalibration * ifind::StatChooser::kTurnNames / 64, batches);
    EXPECT_TRUE(c.timed());
    // The other way turns faster: a probe sees it and the choice follows.
    for (int i = 0; i < 20000 && std::string(c.decision()) == r.chosen; ++i) batch(true);
    EXPECT_STRNE(r.chosen, c.decision());
  }
  // A choice found by an earlier walk: no calibration, and a probe still corrects it.
  ifind::StatChooser known(fakeClock, 1);
  EXPECT_STREQ("ring", known.decision());
  EXPECT_TRUE(known.begin().ring);
  EXPECT_FALSE(known.timed());
  int batches = 0;
  for (; batches < 20000 && std::string(known.decision()) == "ring"; ++batches) {
    ifind::StatChooser::Turn t = known.begin();
    g_fakeNow += t.ring ? 9600 : 6400;
    known.end(t, 64);
  }
  EXPECT_STREQ("single", known.decision());
  EXPECT_TRUE(known.timed());
  // Early: a scan shorter than the usual interval still checks what it was given.
  EXPECT_EQ((ifind::StatChooser::kFirstProbe + 1) * ifind::StatChooser::kTurnNames / 64, batches);
  // A probe that clearly loses ends after a quarter of a turn, and the choice stays.
  ifind::StatChooser given(fakeClock, 0);
  int ringBatches = 0;
  for (size_t i = 0; i < (ifind::StatChooser::kFirstProbe + 1) * ifind::StatChooser::kTurnNames / 64; ++i) {
    ifind::StatChooser::Turn t = given.begin();
    g_fakeNow += t.ring ? 9600 : 6400;
    given.end(t, 64);
    ringBatches += t.ring;
  }
  EXPECT_EQ(ifind::StatChooser::kTurnNames / 4 / 64, static_cast<size_t>(ringBatches));
  EXPECT_STREQ("single", given.decision());
  EXPECT_TRUE(given.timed());
}
