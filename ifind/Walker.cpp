// The walker: directories are read in chunks (by the calling thread or by reader
// threads), and the calling thread visits the chunks depth-first.
#include "ifind/Walker.h"

#include "ifind/DirRead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace ifind {

EntryType typeFromMode(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return EntryType::Regular;
    case S_IFDIR: return EntryType::Directory;
    case S_IFLNK: return EntryType::Symlink;
    case S_IFIFO: return EntryType::Fifo;
    case S_IFSOCK: return EntryType::Socket;
    case S_IFCHR: return EntryType::CharDevice;
    case S_IFBLK: return EntryType::BlockDevice;
    default: return EntryType::Unknown;
  }
}

const char* typeName(EntryType type) {
  switch (type) {
    case EntryType::Regular: return "file";
    case EntryType::Directory: return "dir";
    case EntryType::Symlink: return "symlink";
    case EntryType::Fifo: return "fifo";
    case EntryType::Socket: return "socket";
    case EntryType::CharDevice: return "chardev";
    case EntryType::BlockDevice: return "blockdev";
    case EntryType::Unknown: break;
  }
  return "unknown";
}

const char* failedName(Failed failed) {
  switch (failed) {
    case Failed::Stat: return "lstat";
    case Failed::Open: return "opendir";
    case Failed::Read: return "readdir";
    case Failed::Loop: return "loop";
    case Failed::Reopen: return "reopen";
    case Failed::None: break;
  }
  return "none";
}

namespace {

// Levels of a directory's place in visiting order kept for ordering the readers' work.
constexpr size_t kOrderLevels = 64;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// Readers a walk may grow to: past this, a disk queue gains little and each reader
// still costs a ring and descriptors.
constexpr int kMaxReaders = 16;

// Whether a reader waits on the disk more than it works: over windows of at least 4 ms
// of reading (on a warm cache dozens of directories), its thread CPU time against the
// wall time of its reads, and whether the process read from the disk meanwhile. Time off
// the CPU alone would also count a busy machine's run queue and the waits for the ring's
// workers, which stat cached inodes on other CPUs: readers added for those would only
// crowd the CPUs. A cached tree reads nothing from the disk.
class WaitGauge {
 public:
  // After a read of wallNanos: true when two windows running have closed with the
  // reader off the CPU for more than half their time while the disk was read.
  bool waiting(uint64_t wallNanos) {
    m_wall += wallNanos;
    if (m_wall < kWindowNanos) return false;
    const uint64_t cpu = clockNanos(CLOCK_THREAD_CPUTIME_ID), blocks = blocksRead();
    const bool waited = cpu - m_cpu < m_wall / 2 && blocks > m_blocks;
    m_waitedWindows = waited ? m_waitedWindows + 1 : 0;
    m_cpu = cpu;
    m_blocks = blocks;
    m_wall = 0;
    return m_waitedWindows >= 2;
  }

 private:
  static constexpr uint64_t kWindowNanos = 4000000;

  // Blocks the whole process (every reader and the ring's workers) read from disks.
  static uint64_t blocksRead() {
    struct rusage ru {};
    return getrusage(RUSAGE_SELF, &ru) == 0 ? static_cast<uint64_t>(ru.ru_inblock) : 0;
  }

  uint64_t m_cpu = clockNanos(CLOCK_THREAD_CPUTIME_ID);
  uint64_t m_blocks = blocksRead();
  uint64_t m_wall = 0;
  int m_waitedWindows = 0;
};

// The descriptors this process has open now (an estimate when /proc is missing).
long openDescriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return 16;
  long n = 0;
  while (readdir(d)) ++n;
  closedir(d);
  return n - 3;  // ".", "..", and the listing's own descriptor
}

// Opens a directory without updating its access time where the kernel lets us.
int openDir(int dirfd, const char* name) {
  int fd = openat(dirfd, name, kDirFlags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = openat(dirfd, name, kDirFlags);
  return fd;
}

using ReadState = DirReadState;

class Walker;
struct Node;

// Entries of one directory listed together, handed from the thread that read them to
// the visiting thread. A big folder comes as many chunks, each visited while the next
// is read, so memory follows the chunks in flight, not the size of the folder.
struct Chunk {
  DirBatch batch;  // names, children and stats only: the directory's own stat is its node's
  std::vector<std::shared_ptr<Node>> subdirs;  // of its directory children, in child order
  size_t counted = 0;  // entries counted against the read-ahead limit
  std::unique_ptr<Chunk> next;
};

enum Phase : uint8_t {
  kUnread,   // not opened yet
  kListing,  // opened, chunks remain to be read
  kListed,   // nothing more to read (listed to the end, failed, or given up)
};

// One directory to read. Owned by shared pointers: the parent's subdirs (or a chunk's),
// the visiting frame and the readers' work heaps. Fields marked (m) are guarded by
// Walker::m_mutex; (b) belong to the thread that set busy, and are read by others only
// after the mutex passed them on.
struct Node {
  Node(Walker* w, std::shared_ptr<Node> p, std::string n, int d, dev_t rd)
      : walker(w), parent(std::move(p)), name(std::move(n)), depth(d), rootDev(rd) {}
  ~Node();

  Walker* walker;
  std::shared_ptr<Node> parent;
  std::string name;  // for a content path: the path as given
  // The place in visiting order: the ordinal of each subdirectory on the way down from
  // the content path, 4 big-endian bytes a level, so that plain string comparison
  // sorts nodes in the order the walk visits them. Only the first kOrderLevels levels
  // are kept: a full key would make a deep chain cost the square of its depth, and the
  // order only decides which directories are read ahead first.
  std::string order;
  int depth;
  dev_t rootDev;
  uint64_t id = 0;  // unique in the walk, for remote readers

  // Set by its first read, before its phase leaves kUnread.
  dev_t dev = 0;
  ino_t ino = 0;
  struct stat st {};
  bool haveStat = false;
  bool otherDevice = false;
  int error = 0;  // opening or stat'ing it failed
  Failed failed = Failed::None;

  int fd = -1;               // (m) kept while subdirectories remain to be opened or it is listed
  int fdUsers = 0;           // (m) the listing counts as one while it holds fd
  int unopenedSubdirs = 0;   // (m)
  bool inLru = false;        // (m) the listing's descriptor joins the cache when it ends
  std::list<Node*>::iterator lru;  // (m)
  bool holdsFd = false;      // (m) the listing holds fd (one of fdUsers)
  bool counted = false;      // (m) counts against the read-ahead limit of directories
  size_t aheadEntries = 0;   // (m) entries of its chunks counted against the entry limit

  Phase phase = kUnread;     // (m)
  bool busy = false;         // (m) a thread is reading its next chunk
  bool cancelled = false;    // (m) given up: nothing more is read of it
  bool streaming = false;    // (m) holds a place among the directories being listed
  bool inMore = false;       // (m) on the heap of directories with chunks left to read
  std::unique_ptr<Chunk> head;  // (m) chunks read and not yet visited, oldest first
  Chunk* tail = nullptr;        // (m)
  int readError = 0;            // (m) listing failed after listedAtError entries
  size_t listedAtError = 0;     // (m)

  int listFd = -1;          // (b) the descriptor being listed
  size_t listed = 0;        // (b) entries listed so far
  int32_t subdirsMade = 0;  // (b)

  // The visiting thread's: the subdirectories of the chunks it visited, in child order.
  std::vector<std::shared_ptr<Node>> subdirs;
};

class Walker {
 public:
  Walker(const WalkOptions& options, const WalkCallback& callback) : m_opt(options), m_cb(callback) {
    m_threads = std::clamp(options.threads, 1, 8);
    // Readers are added only to a pool: one thread reads in visiting order, unshared.
    int most = m_threads > 1 ? std::clamp(options.maxThreads, m_threads, kMaxReaders) : 1;
    int budget = options.maxOpenDirs;
    // Remote readers hold no descriptors here: one proxy thread each.
    if (options.remote) most = m_threads = std::max(options.remote->readers(), 1) + 1;
    if (budget <= 0 && !options.remote) {
      // What is left of the open-file limit, less a reserve for the caller's own files
      // (collect files, lists): a small limit means fewer readers and a smaller cache,
      // never a walk that runs out half-way.
      struct rlimit rl {};
      long soft = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? static_cast<long>(rl.rlim_cur) : 1024;
      long free = soft - openDescriptors() - 8;
      // A reader holds its ring, the folder it reads and its parent's descriptor; the
      // room for readers added later is kept from the start; folders parked between
      // chunks (a quarter of the cache's size) fit in the half of what is free that the
      // cache leaves.
      most = static_cast<int>(std::clamp(free / 6, 1L, static_cast<long>(most)));
      m_threads = std::min(m_threads, most);
      budget = static_cast<int>(std::clamp((free - 3L * most) / 2, 2L, 4096L));
    }
    m_mostReaders = m_threads > 1 ? most : 1;
    m_running = m_threads;
    m_fdBudget = std::max(budget, 2);
    // A folder being listed keeps its descriptor until its last chunk is read: the
    // readers start no new one beyond this many (the visiting thread always may).
    m_maxStreams = options.remote ? m_threads : std::clamp(m_fdBudget / 4, m_threads, 64);
    m_chunk = options.chunkEntries > 0 ? options.chunkEntries : 4096;
    m_readAhead = options.maxReadAhead > 0 ? options.maxReadAhead : 4096;
    // Chunks read ahead hold about 200 bytes an entry: this keeps them near 12 MiB
    // however slowly the callback consumes them.
    m_readAheadEntries = options.maxReadAhead > 0 ? static_cast<size_t>(options.maxReadAhead) * 64 : size_t{1} << 16;
    m_skip.insert(options.skipDevices.begin(), options.skipDevices.end());
    if (m_threads > 1) {
      // The calling thread is one of the readers: it reads whenever it would otherwise
      // wait for a chunk, so the pool never holds more busy threads than readers.
      std::lock_guard lock(m_mutex);  // a reader may add another meanwhile
      try {
        for (int i = 1; i < m_threads; ++i) m_readers.emplace_back([this] { readerLoop(); });
      } catch (const std::system_error&) {
        // No more threads to be had (a process limit): the walk goes on with those it has.
        m_threads = static_cast<int>(m_readers.size()) + 1;
        m_running = m_threads;
        m_mostReaders = m_threads;
      }
    }
  }

  ~Walker() {
    {
      std::lock_guard lock(m_mutex);
      m_done = true;  // from here on no reader is added: m_readers stays as it is
    }
    m_workCv.notify_all();
    for (auto& t : m_readers) t.join();
    std::vector<std::shared_ptr<Node>> drop, dropMore;
    {
      std::lock_guard lock(m_mutex);
      drop.swap(m_work);
      dropMore.swap(m_more);
    }
  }

  WalkResult run(std::span<const std::string> roots) {
    for (const std::string& root : roots) {
      if (!walkRoot(root)) {
        m_result.stopped = true;
        break;
      }
    }
    m_result.directoriesRead = m_dirsRead.load();
    // Remote readers stat one name per call, whatever was asked.
    m_result.statStrategy = m_opt.remote                         ? "single"
                            : m_opt.statMode == StatMode::Ring   ? "ring"
                            : m_opt.statMode == StatMode::Single ? "single"
                                                                 : m_chooser.decision();
    m_result.statTimed = !m_opt.remote && m_opt.statMode == StatMode::Auto && m_chooser.timed();
    m_result.reopens = m_reopens.load();
    m_result.readers = m_running.load();
    return m_result;
  }

  // Node destruction: give back its descriptor and what it counted against the limits.
  // (Its chunks hold no subdirectories by then: each would keep it alive.)
  void nodeGone(Node& n) {
    int fd = -1;
    bool freed = false;
    {
      std::lock_guard lock(m_mutex);
      if (n.fd >= 0) {
        fd = n.fd;
        n.fd = -1;
        dropFromLru(n);
      }
      freed = n.counted || n.streaming || n.aheadEntries > 0;
      if (n.streaming) {
        n.streaming = false;
        --m_streams;
      }
      if (n.counted) uncount(n);
      m_aheadEntries -= n.aheadEntries;
      n.aheadEntries = 0;
    }
    if (fd >= 0) close(fd);
    if (freed) m_workCv.notify_one();
  }

 private:
  struct Frame {
    std::shared_ptr<Node> node;
    size_t pathLen;
    size_t nextSubdir;
    bool entered;  // DirEnter was answered Continue and the directory is on the loop set
    int error;     // what DirEnter or DirListed gave, for DirLeave
    Failed failed;
  };

  // A directory was entered or given up: it no longer counts as read ahead. (m)
  void uncount(Node& n) {
    n.counted = false;
    --m_outstanding;
  }

  // The work heaps put the directory visited first on top.
  static bool laterInWalk(const std::shared_ptr<Node>& a, const std::shared_ptr<Node>& b) {
    return a->order > b->order;
  }

  // --- descriptors ------------------------------------------------------------------
  void dropFromLru(Node& n) {  // (m)
    if (n.inLru) {
      m_lru.erase(n.lru);
      n.inLru = false;
      --m_openFds;
    }
  }

  // Closes the least recently used descriptor nobody is using. (m)
  bool evictOne(std::vector<int>& toClose) {
    for (auto it = m_lru.begin(); it != m_lru.end(); ++it) {
      Node* n = *it;
      if (n->fdUsers == 0 && n->fd >= 0) {
        toClose.push_back(n->fd);
        n->fd = -1;
        dropFromLru(*n);
        return true;
      }
    }
    return false;
  }

  // Puts n's descriptor in the cache, closing others (into toClose) to stay in budget. (m)
  void cache(Node& n, std::vector<int>& toClose) {
    while (m_openFds >= m_fdBudget && evictOne(toClose)) {
    }
    n.lru = m_lru.insert(m_lru.end(), &n);
    n.inLru = true;
    ++m_openFds;
  }

  // Makes fd n's cached descriptor. (m)
  void adopt(Node& n, int fd, std::vector<int>& toClose) {
    n.fd = fd;
    cache(n, toClose);
  }

  void closeSome() {
    std::vector<int> toClose;
    {
      std::lock_guard lock(m_mutex);
      for (int i = 0; i < 8 && evictOne(toClose); ++i) {
      }
    }
    for (int f : toClose) close(f);
  }

  // A descriptor of n for opening its subdirectories, re-opened from an ancestor when
  // it was closed. Pair with releaseFd. -1 with errno set when n cannot be reached.
  int acquireFd(Node& n) {
    {
      std::lock_guard lock(m_mutex);
      if (n.fd >= 0) {
        ++n.fdUsers;
        if (n.inLru) m_lru.splice(m_lru.end(), m_lru, n.lru);
        return n.fd;
      }
    }
    int fd = reopen(n);
    if (fd < 0) return -1;
    std::vector<int> toClose;
    int result;
    {
      std::lock_guard lock(m_mutex);
      if (n.fd >= 0) {
        toClose.push_back(fd);  // another reader got there first
      } else {
        adopt(n, fd, toClose);
      }
      ++n.fdUsers;
      result = n.fd;
    }
    for (int f : toClose) close(f);
    return result;
  }

  // openedChild: one of n's subdirectories was opened (or given up).
  void releaseFd(Node& n, bool openedChild) { settle(n, true, openedChild); }

  // A subdirectory of n will never be opened.
  void subdirGivenUp(Node& n) { settle(n, false, true); }

  // Closes n's descriptor once no reader holds it and no subdirectory still needs it.
  void settle(Node& n, bool dropUser, bool subdirDone) {
    int fd = -1;
    {
      std::lock_guard lock(m_mutex);
      if (dropUser) --n.fdUsers;
      if (subdirDone) --n.unopenedSubdirs;
      if (n.unopenedSubdirs <= 0 && n.fdUsers == 0 && n.fd >= 0) {
        fd = n.fd;
        n.fd = -1;
        dropFromLru(n);
      }
    }
    if (fd >= 0) close(fd);
  }

  // n's listing is over (read to its end, failed, or given up): its place among the
  // folders being listed is free, and its descriptor stays, in the cache, only while
  // subdirectories remain to be opened from it. (m)
  void endListing(Node& n, std::vector<int>& toClose) {
    if (!n.streaming) return;
    n.streaming = false;
    --m_streams;
    if (!n.holdsFd) return;
    n.holdsFd = false;
    n.listFd = -1;
    --n.fdUsers;
    if (n.unopenedSubdirs > 0) {
      if (!n.inLru) cache(n, toClose);
    } else if (n.fdUsers == 0) {
      toClose.push_back(n.fd);
      n.fd = -1;
      dropFromLru(n);
    }
  }

  // Opens n again by descending from its nearest ancestor with an open descriptor (or
  // from its content path), checking that each directory is still the one read.
  int reopen(Node& n) {
    m_reopens.fetch_add(1, std::memory_order_relaxed);
    std::vector<Node*> chain;  // n first, then upwards
    Node* anchor = nullptr;
    int anchorFd = -1;
    {
      std::lock_guard lock(m_mutex);
      for (Node* p = &n; p; p = p->parent.get()) {
        if (p != &n && p->fd >= 0) {
          anchor = p;
          anchorFd = p->fd;
          ++p->fdUsers;
          break;
        }
        chain.push_back(p);
      }
    }
    int cur = anchorFd;
    Node* curKept = anchor;  // the node whose descriptor cur is, when a node holds it
    int err = 0;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      Node* step = *it;
      int next = step->parent ? openDir(cur, step->name.c_str()) : openRoot(step->name);
      if (next < 0 && (errno == EMFILE || errno == ENFILE)) {
        closeSome();
        next = step->parent ? openDir(cur, step->name.c_str()) : openRoot(step->name);
      }
      if (next < 0) {
        err = errno;
      } else {
        struct stat st {};
        if (fstat(next, &st) != 0 || st.st_dev != step->dev || st.st_ino != step->ino) {
          err = ENOENT;
          close(next);
          next = -1;
        }
      }
      if (curKept) {
        releaseFd(*curKept, false);
      } else if (cur >= 0) {
        close(cur);
      }
      cur = next;
      curKept = nullptr;
      if (cur < 0) break;
      if (step != &n) {
        // An ancestor with subdirectories still to open will be wanted again soon:
        // keep it while there is room, so climbing back up costs one open per level.
        std::lock_guard lock(m_mutex);
        if (step->fd < 0 && step->unopenedSubdirs > 0 && m_openFds < m_fdBudget) {
          step->fd = cur;
          step->lru = m_lru.insert(m_lru.end(), step);
          step->inLru = true;
          ++m_openFds;
          ++step->fdUsers;
          curKept = step;
        }
      }
    }
    // The anchor was released in the first step of the loop.
    if (cur < 0) {
      errno = err ? err : ENOENT;
      return -1;
    }
    return cur;
  }

  // --- reading ------------------------------------------------------------------------
  // A content path is opened as the user named it: through a final link only when asked.
  int openRoot(const std::string& name) const {
    if (!m_opt.followRoots) return openDir(AT_FDCWD, name.c_str());
    int fd = openat(AT_FDCWD, name.c_str(), (kDirFlags & ~O_NOFOLLOW) | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = openat(AT_FDCWD, name.c_str(), kDirFlags & ~O_NOFOLLOW);
    return fd;
  }

  // Opens and stats n and lists its first chunk into b. True when more remain.
  bool openAndList(const std::shared_ptr<Node>& node, DirBatch& b, ReadState& rs) {
    Node& n = *node;
    int fd;
    if (n.parent) {
      int pfd = acquireFd(*n.parent);
      if (pfd < 0) {
        n.error = errno;
        n.failed = Failed::Reopen;
        subdirGivenUp(*n.parent);
        return false;
      }
      fd = openDir(pfd, n.name.c_str());
      if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
        closeSome();
        fd = openDir(pfd, n.name.c_str());
      }
      int openErr = errno;
      releaseFd(*n.parent, true);
      errno = openErr;
    } else {
      fd = openRoot(n.name);
    }
    if (fd < 0) {
      n.error = errno;
      n.failed = Failed::Open;
      return false;
    }
    m_dirsRead.fetch_add(1, std::memory_order_relaxed);
    if (fstat(fd, &n.st) != 0) {
      n.error = errno;
      n.failed = Failed::Open;
      close(fd);
      return false;
    }
    n.haveStat = true;
    n.dev = n.st.st_dev;
    n.ino = n.st.st_ino;
    if (n.parent && (m_skip.contains(n.st.st_dev) || (m_opt.oneFileSystem && n.st.st_dev != n.rootDev))) {
      n.otherDevice = true;
      close(fd);
      return false;
    }
    {
      // Shared with the readers of its subdirectories while it is listed; nobody had it
      // before (it has no subdirectories yet).
      std::lock_guard lock(m_mutex);
      n.fd = fd;
      ++n.fdUsers;
      n.holdsFd = true;
    }
    n.listFd = fd;
    return listDirectory(fd, b, rs, m_opt, m_chunk);
  }

  // Reads n through the remote readers, whole: its path goes as names from its content
  // path (with the inode of each directory on the way, so a replaced one is noticed),
  // so depth and path length are unbounded there as here.
  void readRemote(const std::shared_ptr<Node>& node, DirBatch& b) {
    Node& n = *node;
    RemoteDir dir;
    dir.rootDev = n.rootDev;
    for (const Node* p = &n; p; p = p->parent.get()) dir.levels.push_back({p->name, p == &n ? 0 : p->ino, p->id});
    std::reverse(dir.levels.begin(), dir.levels.end());
    m_opt.remote->read(dir, m_opt, b);
    n.st = b.st;
    n.haveStat = b.haveStat;
    n.otherDevice = b.otherDevice;
    if (b.failed != Failed::Read) {
      n.error = b.error;
      n.failed = b.failed;
    }
    if (b.haveStat) {
      m_dirsRead.fetch_add(1, std::memory_order_relaxed);
      n.dev = b.st.st_dev;
      n.ino = b.st.st_ino;
    }
    if (!b.haveStat || b.otherDevice || n.error) b.children.clear();
  }

  // Makes the nodes of a chunk's subdirectories, in the order they are listed.
  void makeSubdirs(const std::shared_ptr<Node>& node, Chunk& chunk) {
    Node& n = *node;
    DirBatch& b = chunk.batch;
    for (DirChild& c : b.children) {
      c.subdir = -1;
      if (c.type != EntryType::Directory || c.error) continue;
      c.subdir = n.subdirsMade++;
      auto sub =
          std::make_shared<Node>(this, node, std::string(b.names.data() + c.nameOff, c.nameLen), n.depth + 1, n.rootDev);
      if (m_threads > 1) {
        sub->order = n.order;
        if (n.order.size() < kOrderLevels * 4) {
          const auto ordinal = static_cast<uint32_t>(c.subdir);
          for (int shift = 24; shift >= 0; shift -= 8) sub->order.push_back(static_cast<char>(ordinal >> shift));
        }
      }
      sub->id = m_nextId.fetch_add(1, std::memory_order_relaxed);
      chunk.subdirs.push_back(std::move(sub));
    }
  }

  // Reads node's next chunk (opening it first when it is unread) and hands it over; the
  // caller set busy. ahead: read for later, so it counts against the read-ahead limit
  // until it is visited.
  void readStep(const std::shared_ptr<Node>& node, ReadState& rs, bool ahead) {
    Node& n = *node;
    auto chunk = std::make_unique<Chunk>();
    DirBatch& b = chunk->batch;
    bool more = false;
    if (m_opt.remote) {
      readRemote(node, b);
    } else if (n.listFd < 0) {
      more = openAndList(node, b, rs);
    } else {
      more = listDirectory(n.listFd, b, rs, m_opt, m_chunk);
    }
    n.listed += b.children.size();
    makeSubdirs(node, *chunk);
    std::vector<int> toClose;
    {
      std::lock_guard lock(m_mutex);
      if (b.failed == Failed::Read) {
        n.readError = b.error;
        n.listedAtError = n.listed;
      }
      n.unopenedSubdirs += static_cast<int>(chunk->subdirs.size());
      n.phase = more ? kListing : kListed;
      n.busy = false;
      if (!more) endListing(n, toClose);
      if (m_threads > 1 && !n.cancelled) {
        for (const auto& sub : chunk->subdirs) {
          m_work.push_back(sub);
          std::push_heap(m_work.begin(), m_work.end(), laterInWalk);
        }
        if (more && !n.inMore) {
          n.inMore = true;
          m_more.push_back(node);
          std::push_heap(m_more.begin(), m_more.end(), laterInWalk);
        }
      }
      if (ahead) m_reserved -= m_chunk;
      if (!b.children.empty()) {
        if (ahead) {
          chunk->counted = b.children.size();
          n.aheadEntries += chunk->counted;
          m_aheadEntries += chunk->counted;
        }
        Chunk* c = chunk.get();
        if (n.tail) {
          n.tail->next = std::move(chunk);
        } else {
          n.head = std::move(chunk);
        }
        n.tail = c;
      }
    }
    for (int f : toClose) close(f);
    m_readyCv.notify_all();
    if (m_threads > 1) m_workCv.notify_one();
  }

  // Takes n's oldest chunk not yet visited; it no longer counts as read ahead. (m)
  std::unique_ptr<Chunk> popChunk(Node& n) {
    std::unique_ptr<Chunk> c = std::move(n.head);
    if (!c) return c;
    n.head = std::move(c->next);
    if (!n.head) n.tail = nullptr;
    n.aheadEntries -= c->counted;
    m_aheadEntries -= c->counted;
    return c;
  }

  // The next reading a reader may do within the limits, marked busy: the next chunk of
  // a folder being listed or a directory not yet opened, whichever the walk visits
  // first. Entries that no longer want reading go to drop, to be released unlocked. (m)
  std::shared_ptr<Node> takeWork(std::vector<std::shared_ptr<Node>>& drop) {
    if (m_aheadEntries + m_reserved >= m_readAheadEntries) return nullptr;
    while (!m_more.empty()) {
      const Node& t = *m_more.front();
      if (t.phase == kListing && !t.busy && !t.cancelled) break;
      std::pop_heap(m_more.begin(), m_more.end(), laterInWalk);
      m_more.back()->inMore = false;
      drop.push_back(std::move(m_more.back()));
      m_more.pop_back();
    }
    while (!m_work.empty()) {
      const Node& t = *m_work.front();
      if (t.phase == kUnread && !t.busy && !t.cancelled) break;
      std::pop_heap(m_work.begin(), m_work.end(), laterInWalk);
      drop.push_back(std::move(m_work.back()));
      m_work.pop_back();
    }
    const bool more = !m_more.empty();
    const bool fresh = !m_work.empty() && m_outstanding < m_readAhead && m_streams < m_maxStreams;
    if (!more && !fresh) return nullptr;
    const bool takeMore = more && (!fresh || !laterInWalk(m_more.front(), m_work.front()));
    std::vector<std::shared_ptr<Node>>& heap = takeMore ? m_more : m_work;
    std::pop_heap(heap.begin(), heap.end(), laterInWalk);
    std::shared_ptr<Node> node = std::move(heap.back());
    heap.pop_back();
    node->busy = true;
    m_reserved += m_chunk;
    if (takeMore) {
      node->inMore = false;
    } else {
      node->counted = true;
      ++m_outstanding;
      node->streaming = true;
      ++m_streams;
    }
    return node;
  }

  // Starts one more reader unless the walk is over or has as many as it may have.
  void addReader() {
    std::lock_guard lock(m_mutex);
    if (m_done || m_running.load() >= m_mostReaders.load()) return;
    try {
      m_readers.emplace_back([this] { readerLoop(); });
      ++m_running;
    } catch (const std::system_error&) {
      m_mostReaders.store(m_running.load());  // no more threads to be had: stay as we are
    }
  }

  void readerLoop() {
    ReadState rs(m_opt.statMode != StatMode::Single && !m_opt.remote, chooser());
    WaitGauge gauge;
    std::vector<std::shared_ptr<Node>> drop;
    for (;;) {
      std::shared_ptr<Node> node;
      bool chain = false;
      {
        std::unique_lock lock(m_mutex);
        m_workCv.wait(lock, [&] { return m_done || (node = takeWork(drop)) != nullptr; });
        if (m_done) return;
        // Work wakes one reader at a time (a crowd woken for one chunk costs more than
        // the chunk); the one woken passes the turn on while work is left.
        chain = !m_work.empty() || !m_more.empty();
      }
      if (chain) m_workCv.notify_one();
      drop.clear();  // may run ~Node, which locks
      const bool mayGrow = m_running.load(std::memory_order_relaxed) < m_mostReaders.load(std::memory_order_relaxed);
      const uint64_t start = mayGrow ? clockNanos(CLOCK_MONOTONIC) : 0;
      readStep(node, rs, true);
      if (mayGrow && (m_opt.readerWaits ? m_opt.readerWaits() : gauge.waiting(clockNanos(CLOCK_MONOTONIC) - start)))
        addReader();
    }
  }

  // Waits until node's first chunk was read (or its opening failed), reading it here
  // when no reader has taken it. Returns the read error DirEnter gives: one that came
  // before a chunk's worth of entries (so that where a failure is given does not depend
  // on who read the directory, nor on how).
  int ensureStarted(const std::shared_ptr<Node>& node) {
    Node& n = *node;
    std::unique_lock lock(m_mutex);
    if (n.phase == kUnread && !n.busy) {
      n.busy = true;
      n.streaming = true;
      ++m_streams;
      lock.unlock();
      readStep(node, m_rs, false);
      lock.lock();
    }
    while (n.phase == kUnread) {
      // A reader has it: read the next work waiting meanwhile, and sleep only when
      // there is none (or the read-ahead is full).
      lock.unlock();
      const bool helped = readAheadOne();
      lock.lock();
      if (!helped) m_readyCv.wait(lock, [&] { return n.phase != kUnread; });
    }
    const bool freed = n.counted;
    if (n.counted) uncount(n);
    const int early = n.readError && n.listedAtError < m_chunk ? n.readError : 0;
    lock.unlock();
    if (freed) m_workCv.notify_one();
    return early;
  }

  // The next chunk of node to visit, read here when no reader has it; null when the
  // listing is over.
  std::unique_ptr<Chunk> nextChunk(const std::shared_ptr<Node>& node) {
    Node& n = *node;
    std::unique_lock lock(m_mutex);
    for (;;) {
      if (n.head) {
        std::unique_ptr<Chunk> c = popChunk(n);
        lock.unlock();
        if (c->counted) m_workCv.notify_one();
        return c;
      }
      if (n.phase == kListed) return nullptr;
      if (!n.busy) {
        n.busy = true;
        lock.unlock();
        readStep(node, m_rs, false);
        lock.lock();
        continue;
      }
      lock.unlock();
      const bool helped = readAheadOne();
      lock.lock();
      if (!helped) m_readyCv.wait(lock, [&] { return n.head || !n.busy; });
    }
  }

  // The calling thread's share of the reading: takes what a reader thread would take
  // next, and reads it. false when there was nothing it could take.
  bool readAheadOne() {
    // Remote reads wait for a free reader: the calling thread would only queue there.
    if (m_threads <= 1 || m_opt.remote) return false;
    std::shared_ptr<Node> node;
    std::vector<std::shared_ptr<Node>> drop;  // released unlocked
    {
      std::lock_guard lock(m_mutex);
      node = takeWork(drop);
    }
    drop.clear();
    if (!node) return false;
    readStep(node, m_rs, true);
    return true;
  }

  // Gives up a directory (not to be visited, or no further) and everything already read
  // below it: no more of it is read, its chunks go and its descriptor is settled.
  void cancel(Node* parent, const std::shared_ptr<Node>& sub) {
    std::vector<std::pair<Node*, std::shared_ptr<Node>>> todo{{parent, sub}};
    while (!todo.empty()) {
      auto [p, s] = std::move(todo.back());
      todo.pop_back();
      std::vector<int> toClose;
      bool unread;
      {
        std::unique_lock lock(m_mutex);
        if (s->cancelled) continue;
        s->cancelled = true;
        unread = s->phase == kUnread && !s->busy;
        if (!unread) {
          // Let a chunk being read finish: it may hold subdirectories to give up too.
          m_readyCv.wait(lock, [&] { return !s->busy; });
          s->phase = kListed;
          endListing(*s, toClose);
          if (s->counted) uncount(*s);
          while (std::unique_ptr<Chunk> c = popChunk(*s))
            for (auto& d : c->subdirs) todo.emplace_back(s.get(), std::move(d));
        }
      }
      for (int f : toClose) close(f);
      if (unread) {
        if (p) subdirGivenUp(*p);
        continue;
      }
      for (auto& d : s->subdirs)
        if (d) todo.emplace_back(s.get(), std::move(d));
      s->subdirs.clear();
      m_workCv.notify_one();
    }
  }

  // --- visiting -----------------------------------------------------------------------
  Action emit(Visit visit, std::string_view path, size_t nameOff, EntryType type, int depth,
              const struct stat* st, int error, Failed failed, bool otherDevice = false) {
    WalkEntry e;
    e.visit = visit;
    e.path = path;
    e.name = path.substr(nameOff);
    e.type = type;
    e.depth = depth;
    e.st = st;
    e.error = error;
    e.failed = failed;
    e.otherDevice = otherDevice;
    return m_cb(e);
  }

  // false when the callback said Stop.
  bool walkRoot(const std::string& root) {
    struct stat rst {};
    if ((m_opt.followRoots ? stat(root.c_str(), &rst) : lstat(root.c_str(), &rst)) != 0) {
      int err = errno;
      return emit(Visit::Entry, root, 0, EntryType::Unknown, 0, nullptr, err, Failed::Stat) != Action::Stop;
    }
    EntryType rtype = typeFromMode(rst.st_mode);
    Action a = emit(Visit::Entry, root, 0, rtype, 0, &rst, 0, Failed::None);
    if (a == Action::Stop) return false;
    if (rtype != EntryType::Directory || a == Action::Prune) return true;

    auto rootNode = std::make_shared<Node>(this, nullptr, root, 0, rst.st_dev);
    rootNode->id = m_nextId.fetch_add(1, std::memory_order_relaxed);
    std::string path = root;
    std::vector<Frame> stack;
    auto key = [](dev_t d, ino_t i) { return (static_cast<uint64_t>(d) * 0x9E3779B97F4A7C15ull) ^ i; };
    std::unordered_multiset<uint64_t> onPath;  // dev/ino of the entered directories, for loops
    bool stopped = false;

    // Enters node (whose path is in `path`), visits its entries, and pushes its frame.
    auto enter = [&](const std::shared_ptr<Node>& node, size_t nameOff) -> bool {
      const int early = ensureStarted(node);
      Node& n = *node;
      Frame f{node, path.size(), 0, false, n.error, n.failed};
      if (!n.error && early) {
        f.error = early;
        f.failed = Failed::Read;
      }
      const struct stat* dst = n.haveStat ? &n.st : nullptr;
      Action act;
      bool loop = false;
      if (n.haveStat && !n.otherDevice) {
        // A loop needs the same directory twice on the path; check exactly on a hash hit.
        if (onPath.contains(key(n.dev, n.ino))) {
          for (const Frame& fr : stack)
            if (fr.entered && fr.node->dev == n.dev && fr.node->ino == n.ino) loop = true;
        }
      }
      if (loop) {
        act = emit(Visit::DirEnter, path, nameOff, EntryType::Directory, n.depth, dst, ELOOP, Failed::Loop);
        cancel(n.parent.get(), node);
      } else {
        act = emit(Visit::DirEnter, path, nameOff, EntryType::Directory, n.depth, dst, f.error, f.failed,
                   n.otherDevice);
      }
      if (act == Action::Stop) {
        // On the stack, so that the giving up below ends its listing and its subdirectories.
        stack.push_back(std::move(f));
        return false;
      }
      const bool visitChildren = !loop && act == Action::Continue && !n.otherDevice && n.error == 0;
      int late = 0;
      if (visitChildren) {
        f.entered = true;
        onPath.insert(key(n.dev, n.ino));
        const size_t base = path.size();
        const bool sep = path.empty() || path.back() != '/';
        while (std::unique_ptr<Chunk> chunk = nextChunk(node)) {
          for (auto& sub : chunk->subdirs) n.subdirs.push_back(std::move(sub));
          const DirBatch& b = chunk->batch;
          for (const DirChild& c : b.children) {
            path.resize(base);
            if (sep) path.push_back('/');
            size_t off = path.size();
            path.append(b.names.data() + c.nameOff, c.nameLen);
            const struct stat* st = c.statIdx >= 0 ? &b.stats[c.statIdx] : nullptr;
            Action ca = emit(Visit::Entry, path, off, c.type, n.depth + 1, st, c.error,
                             c.error ? Failed::Stat : Failed::None);
            if (ca == Action::Stop) {
              path.resize(base);
              stack.push_back(std::move(f));
              return false;
            }
            if (ca == Action::Prune && c.subdir >= 0) {
              auto& sub = n.subdirs[c.subdir];
              cancel(&n, sub);
              sub.reset();
            }
          }
        }
        path.resize(base);
        // Listed to its end: no reader writes the error any more.
        if (n.readError && n.listedAtError >= m_chunk) {
          late = n.readError;
          f.error = late;
          f.failed = Failed::Read;
        }
      } else {
        cancel(n.parent.get(), node);
      }
      if (emit(Visit::DirListed, path, nameOff, EntryType::Directory, n.depth, dst, late,
               late ? Failed::Read : Failed::None) == Action::Stop) {
        stack.push_back(std::move(f));
        return false;
      }
      stack.push_back(std::move(f));
      return true;
    };

    if (!enter(rootNode, 0)) stopped = true;
    rootNode.reset();
    while (!stopped && !stack.empty()) {
      Frame& top = stack.back();
      Node& n = *top.node;
      std::shared_ptr<Node> next;
      while (top.nextSubdir < n.subdirs.size() && !next) next = std::move(n.subdirs[top.nextSubdir++]);
      if (next) {
        path.resize(top.pathLen);
        if (path.empty() || path.back() != '/') path.push_back('/');
        size_t off = path.size();
        path.append(next->name);
        if (!enter(next, off)) stopped = true;
        continue;
      }
      path.resize(top.pathLen);
      size_t nameOff = n.parent ? path.size() - n.name.size() : 0;
      Action a = emit(Visit::DirLeave, path, nameOff, EntryType::Directory, n.depth, n.haveStat ? &n.st : nullptr,
                      top.error, top.failed, n.otherDevice);
      if (top.entered) onPath.erase(onPath.find(key(n.dev, n.ino)));
      n.subdirs.clear();
      stack.pop_back();
      if (a == Action::Stop) stopped = true;
    }
    // Stopped: give up everything not yet visited, the listing under way included.
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) cancel(it->node->parent.get(), it->node);
    stack.clear();
    return !stopped;
  }

  const WalkOptions& m_opt;
  const WalkCallback& m_cb;
  int m_threads = 1;        // readers at the start
  std::atomic<int> m_mostReaders{1};  // readers the walk may grow to (written under m_mutex)
  std::atomic<int> m_running{1};  // readers started, the calling thread included
  int m_fdBudget = 64;
  int m_maxStreams = 1;
  size_t m_chunk = 4096;
  int m_readAhead = 4096;
  size_t m_readAheadEntries = 0;
  std::unordered_set<dev_t> m_skip;
  // One thread gains nothing from the ring: it would only wait for the kernel's workers.
  StatChooser m_chooser{nullptr, m_opt.statKnown};
  StatChooser* chooser() { return m_opt.statMode == StatMode::Auto ? &m_chooser : nullptr; }
  ReadState m_rs{m_opt.statMode != StatMode::Single && m_opt.threads > 1 && !m_opt.remote, chooser()};
  WalkResult m_result;
  std::atomic<uint64_t> m_dirsRead{0};
  std::atomic<uint64_t> m_reopens{0};
  std::atomic<uint64_t> m_nextId{1};

  std::mutex m_mutex;
  std::condition_variable m_workCv;   // readers: work or room appeared, or done
  std::condition_variable m_readyCv;  // visitor: a chunk was read
  std::vector<std::shared_ptr<Node>> m_work;  // (m) heap of unread directories: the next in visiting order on top
  std::vector<std::shared_ptr<Node>> m_more;  // (m) heap of folders with chunks left to read
  std::list<Node*> m_lru;                     // (m) nodes holding a cached descriptor, least recent first
  int m_openFds = 0;                          // (m) in the cache
  int m_streams = 0;                          // (m) folders being listed (each holds a descriptor)
  int m_outstanding = 0;                      // (m) directories taken by readers, not yet entered
  size_t m_aheadEntries = 0;                  // (m) entries in chunks read ahead, not yet visited
  // (m) a chunk's worth for each read ahead under way, so that readers starting together
  // cannot pass the limit by a chunk each
  size_t m_reserved = 0;
  bool m_done = false;                        // (m)
  std::vector<std::thread> m_readers;
};

Node::~Node() {
  // Children were released first (their parent pointer keeps this node alive).
  walker->nodeGone(*this);
}

}  // namespace

WalkResult walk(std::span<const std::string> roots, const WalkOptions& options, const WalkCallback& callback) {
  Walker w(options, callback);
  return w.run(roots);
}

}  // namespace ifind
