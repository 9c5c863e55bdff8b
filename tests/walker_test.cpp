// The walker on real temp trees: order, types, errors as data, pruning, stopping,
// deep trees, and the reader pool giving the very sequence of one thread.
#include "ifind/Walker.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/WriterSupport.h"

namespace {

using namespace ifind;

// Creates files and directories below a root; "d/" makes a directory.
void makeTree(const std::string& root, const std::vector<std::string>& entries) {
  for (const std::string& e : entries) {
    std::string p = root + "/" + e;
    if (e.back() == '/') {
      ASSERT_EQ(0, mkdir(p.c_str(), 0755)) << p;
    } else {
      int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0) << p;
      ASSERT_EQ(static_cast<ssize_t>(e.size()), write(fd, e.data(), e.size()));
      close(fd);
    }
  }
}

WalkOptions withThreads(int threads) {
  WalkOptions opt;
  opt.threads = threads;
  return opt;
}

const char* visitName(Visit v) {
  switch (v) {
    case Visit::Entry: return "entry";
    case Visit::DirEnter: return "enter";
    case Visit::DirListed: return "listed";
    case Visit::DirLeave: return "leave";
  }
  return "?";
}

// One line per callback: "<visit> <path relative to base> <type>[ size][ error]".
std::string describe(const WalkEntry& e, const std::string& base) {
  std::string p(e.path);
  if (p.starts_with(base)) p = "." + p.substr(base.size());
  std::string line = std::string(visitName(e.visit)) + " " + p + " " + typeName(e.type) + " d" + std::to_string(e.depth);
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

class WalkerTest : public ::testing::Test {
 protected:
  kztest::TempDir tmp;
  std::string root() const { return tmp.path() + "/t"; }
};

TEST_F(WalkerTest, VisitsDirectoriesAsBatchesDepthFirst) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  makeTree(root(), {"a/", "a/x", "a/sub/", "a/sub/deep", "b/", "top", "empty/"});
  ASSERT_EQ(0, symlink("top", (root() + "/link").c_str()));
  ASSERT_EQ(0, mkfifo((root() + "/fifo").c_str(), 0644));

  Recorder r(tmp.path());
  WalkResult res = r.run({root()});
  EXPECT_FALSE(res.stopped);

  // Subdirectories are entered in listing order: find it to write the expectation.
  std::vector<std::string> order;
  for (const std::string& l : r.lines) {
    if (l.starts_with("enter ./t/") && std::count(l.begin(), l.end(), '/') == 2) order.push_back(l.substr(6, 5));
  }
  ASSERT_EQ(3u, order.size());

  std::vector<std::string> expected = {
      "entry ./t dir d0", "enter ./t dir d0",   "entry ./t/a dir d1", "entry ./t/b dir d1",
      "entry ./t/empty dir d1", "entry ./t/fifo fifo d1", "entry ./t/link symlink d1", "entry ./t/top file d1 3",
      "listed ./t dir d0"};
  std::map<std::string, std::vector<std::string>> sub = {
      {"./t/a", {"enter ./t/a dir d1", "entry ./t/a/sub dir d2", "entry ./t/a/x file d2 3", "listed ./t/a dir d1",
                 "enter ./t/a/sub dir d2", "entry ./t/a/sub/deep file d3 10", "listed ./t/a/sub dir d2",
                 "leave ./t/a/sub dir d2", "leave ./t/a dir d1"}},
      {"./t/b", {"enter ./t/b dir d1", "listed ./t/b dir d1", "leave ./t/b dir d1"}},
      {"./t/e", {"enter ./t/empty dir d1", "listed ./t/empty dir d1", "leave ./t/empty dir d1"}},
  };
  for (const std::string& o : order) {
    ASSERT_TRUE(sub.contains(o)) << o;
    expected.insert(expected.end(), sub[o].begin(), sub[o].end());
  }
  expected.push_back("leave ./t dir d0");
  EXPECT_EQ(expected, canonical(r.lines));
}

TEST_F(WalkerTest, StatsOnlyWhatIsAsked) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  makeTree(root(), {"f", "d/"});
  ASSERT_EQ(0, symlink("f", (root() + "/l").c_str()));
  struct Row {
    const char* name;
    bool statRegular, statAll;
    std::set<std::string> withStat;
  } rows[] = {
      {"nothing", false, false, {}},
      {"regular", true, false, {"f"}},
      {"all", true, true, {"f", "l"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::set<std::string> seen;
    WalkOptions opt;
    opt.statRegular = row.statRegular;
    opt.statAll = row.statAll;
    walk(std::vector<std::string>{root()}, opt, [&](const WalkEntry& e) {
      EXPECT_EQ('\0', e.path.data()[e.path.size()]);  // callers pass paths on without copies
      if (e.visit == Visit::Entry && e.depth == 1) {
        if (e.st) seen.insert(std::string(e.name));
        EXPECT_NE(EntryType::Unknown, e.type) << e.path;  // the listing gives the type
      }
      if (e.visit == Visit::DirEnter) {
        EXPECT_NE(nullptr, e.st);  // a directory always has its stat
      }
      return Action::Continue;
    });
    EXPECT_EQ(row.withStat, seen);
  }
}

TEST_F(WalkerTest, LeavesAccessTimesAlone) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  makeTree(root(), {"d/", "d/f"});
  // Two days old: a relatime mount would update it on the next read of the directory.
  struct timespec times[2] = {{time(nullptr) - 2 * 86400, 0}, {0, UTIME_OMIT}};
  for (const char* p : {"", "/d"}) ASSERT_EQ(0, utimensat(AT_FDCWD, (root() + p).c_str(), times, 0));
  for (int threads : {1, 2}) walk(std::vector<std::string>{root()}, withThreads(threads), [](const WalkEntry&) {
    return Action::Continue;
  });
  for (const char* p : {"", "/d"}) {
    struct stat st {};
    ASSERT_EQ(0, stat((root() + p).c_str(), &st));
    EXPECT_EQ(times[0].tv_sec, st.st_atime) << p;
  }
}

TEST_F(WalkerTest, ContentPathErrorsAreData) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  makeTree(root(), {"file"});
  struct Row {
    std::string path;
    std::string line;
  } rows[] = {
      {root() + "/missing", "entry ./t/missing unknown d0 lstat:" + std::to_string(ENOENT)},
      {root() + "/file/sub", "entry ./t/file/sub unknown d0 lstat:" + std::to_string(ENOTDIR)},
      {root() + "/file", "entry ./t/file file d0 4"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    Recorder r(tmp.path());
    WalkResult res = r.run({row.path});
    EXPECT_FALSE(res.stopped);
    EXPECT_EQ(std::vector<std::string>{row.line}, r.lines);
  }
}

TEST_F(WalkerTest, VanishedDirectoryIsReportedAndTheWalkGoesOn) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  makeTree(root(), {"a/", "b/", "b/f", "c/"});
  Recorder r(tmp.path());
  // Whichever subdirectory is entered first removes the other two.
  bool removed = false;
  r.decide = [&](const WalkEntry& e) {
    if (e.visit == Visit::DirEnter && e.depth == 1 && !removed) {
      removed = true;
      for (const char* n : {"a", "b", "c"}) {
        std::string p = root() + "/" + n;
        if (p != e.path) {
          EXPECT_EQ(0, system(("rm -rf " + p).c_str()));
        }
      }
    }
    return Action::Continue;
  };
  WalkResult res = r.run({root()}, withThreads(1));
  EXPECT_FALSE(res.stopped);
  int vanished = 0;
  for (const std::string& l : r.lines) {
    if (l.starts_with("enter ") && l.ends_with("opendir:" + std::to_string(ENOENT))) ++vanished;
  }
  EXPECT_EQ(2, vanished);
  EXPECT_EQ("leave ./t dir d0", r.lines.back());
}

TEST_F(WalkerTest, PruneAndStop) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  makeTree(root(), {"skip/", "skip/hidden", "keep/", "keep/f", "keep/inner/", "keep/inner/g"});

  Recorder pruned(tmp.path());
  pruned.decide = [](const WalkEntry& e) {
    if (e.visit == Visit::Entry && e.name == "skip") return Action::Prune;
    if (e.visit == Visit::DirEnter && e.name == "inner") return Action::Prune;
    return Action::Continue;
  };
  pruned.run({root()});
  for (const std::string& l : pruned.lines) {
    EXPECT_EQ(std::string::npos, l.find("hidden")) << l;
    EXPECT_EQ(std::string::npos, l.find("inner/g")) << l;
  }
  // A directory pruned at its DirEnter still gets DirListed and DirLeave.
  auto has = [&](const std::string& s) { return std::find(pruned.lines.begin(), pruned.lines.end(), s) != pruned.lines.end(); };
  EXPECT_TRUE(has("enter ./t/keep/inner dir d2"));
  EXPECT_TRUE(has("leave ./t/keep/inner dir d2"));
  EXPECT_FALSE(has("enter ./t/skip dir d1"));

  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    Recorder stopped(tmp.path());
    stopped.decide = [](const WalkEntry& e) { return e.name == "f" ? Action::Stop : Action::Continue; };
    WalkResult res = stopped.run({root(), root()}, withThreads(threads));
    EXPECT_TRUE(res.stopped);
    EXPECT_TRUE(stopped.lines.back().starts_with("entry ./t/keep/f ")) << stopped.lines.back();
  }
}

TEST_F(WalkerTest, OtherDevicesAreNotEntered) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  makeTree(root(), {"sub/", "sub/f"});
  struct stat st {};
  ASSERT_EQ(0, stat(root().c_str(), &st));
  Recorder r(tmp.path());
  WalkOptions opt;
  opt.skipDevices = {st.st_dev};  // the content path itself is still entered
  r.run({root()}, opt);
  EXPECT_EQ((std::vector<std::string>{"entry ./t dir d0", "enter ./t dir d0", "entry ./t/sub dir d1", "listed ./t dir d0",
                                      "enter ./t/sub dir d1 other-device", "listed ./t/sub dir d1",
                                      "leave ./t/sub dir d1 other-device", "leave ./t dir d0"}),
            r.lines);
}

// Long names over many levels: paths far beyond PATH_MAX, and few descriptors, so the
// walker must re-open directories from their ancestors.
TEST_F(WalkerTest, DeepTreeBeyondPathMaxWithFewDescriptors) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  const std::string name(200, 'n');
  const int levels = 40;
  int fd = open(root().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < levels; ++i) {
    // A side directory per level keeps each level's descriptor wanted until both are opened.
    ASSERT_EQ(0, mkdirat(fd, "side", 0755));
    int sfd = openat(fd, "side", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(sfd, 0);
    close(openat(sfd, "leaf", O_WRONLY | O_CREAT, 0644));
    close(sfd);
    ASSERT_EQ(0, mkdirat(fd, name.c_str(), 0755));
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(next, 0);
    close(fd);
    fd = next;
  }
  close(openat(fd, "bottom", O_WRONLY | O_CREAT, 0644));
  close(fd);

  for (int threads : {1, 3}) {
    SCOPED_TRACE(threads);
    size_t longest = 0;
    int leaves = 0, bottoms = 0, errors = 0;
    WalkOptions opt;
    opt.threads = threads;
    opt.maxOpenDirs = 3;
    WalkResult res = walk(std::vector<std::string>{root()}, opt, [&](const WalkEntry& e) {
      longest = std::max(longest, e.path.size());
      if (e.error) ++errors;
      if (e.visit == Visit::Entry && e.name == "leaf") ++leaves;
      if (e.visit == Visit::Entry && e.name == "bottom") ++bottoms;
      return Action::Continue;
    });
    EXPECT_EQ(0, errors);
    EXPECT_EQ(levels, leaves);
    EXPECT_EQ(1, bottoms);
    EXPECT_GT(longest, static_cast<size_t>(PATH_MAX));
    EXPECT_GT(res.reopens, 0u);
  }
  EXPECT_EQ(0, system(("rm -rf " + root()).c_str()));
}

TEST_F(WalkerTest, ThousandsOfLevels) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  const int depth = 3000;
  int fd = open(root().c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(0, mkdirat(fd, "d", 0755));
    int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(next, 0);
    close(fd);
    fd = next;
  }
  close(openat(fd, "f", O_WRONLY | O_CREAT, 0644));
  close(fd);
  int maxDepth = 0, errors = 0, enters = 0, leaves = 0;
  walk(std::vector<std::string>{root()}, withThreads(2), [&](const WalkEntry& e) {
    maxDepth = std::max(maxDepth, e.depth);
    errors += e.error != 0;
    enters += e.visit == Visit::DirEnter;
    leaves += e.visit == Visit::DirLeave;
    return Action::Continue;
  });
  EXPECT_EQ(depth + 1, maxDepth);  // the file below the last directory
  EXPECT_EQ(0, errors);
  EXPECT_EQ(depth + 1, enters);
  EXPECT_EQ(enters, leaves);
  EXPECT_EQ(0, system(("rm -rf " + root()).c_str()));
}

// The reader pool must not change what the callback sees, nor its order, also with
// pruning (which throws away directories read ahead) and a stop half-way.
TEST_F(WalkerTest, ReaderPoolGivesTheSequenceOfOneThread) {
  ASSERT_EQ(0, mkdir(root().c_str(), 0755));
  unsigned seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
  std::vector<std::string> dirs{""};
  std::vector<std::string> entries;
  for (int i = 0; i < 400; ++i) {
    std::string parent = dirs[next() % dirs.size()];
    std::string name = (next() % 5 == 0 ? "skip" : "n") + std::to_string(i);
    if (next() % 3 == 0) {
      entries.push_back(parent + name + "/");
      dirs.push_back(parent + name + "/");
    } else {
      entries.push_back(parent + name);
    }
  }
  makeTree(root(), entries);

  auto run = [&](int threads, int stopAfter) {
    Recorder r(tmp.path());
    int count = 0;
    r.decide = [&](const WalkEntry& e) {
      if (++count == stopAfter) return Action::Stop;
      if (e.visit == Visit::Entry && e.name.starts_with("skip")) return Action::Prune;
      return Action::Continue;
    };
    WalkOptions opt;
    opt.threads = threads;
    opt.maxReadAhead = 16;
    opt.statAll = true;
    r.run({root(), root() + "/n1"}, opt);
    return r.lines;
  };
  for (int stopAfter : {0, 300}) {
    SCOPED_TRACE(stopAfter);
    std::vector<std::string> one = run(1, stopAfter);
    EXPECT_GT(one.size(), 100u);
    for (int threads : {2, 8}) EXPECT_EQ(one, run(threads, stopAfter)) << threads << " threads";
  }
}

}  // namespace
