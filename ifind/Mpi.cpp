// The MPI transport of a distributed scan (see Mpi.h). Built as a module of its own that
// ifind loads only for --mpi: linking the MPI libraries into ifind itself cost every
// local scan their loading and start-up (about 5 ms a run).
#include "ifind/Mpi.h"

#include "ifind/DirRead.h"

#include <mpi.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace ifind {

namespace {

enum Tag : int { kTagTree = 1, kTagRead = 2, kTagBatch = 3, kTagStop = 4 };

std::string mpiError(int rc) {
  char text[MPI_MAX_ERROR_STRING];
  int len = 0;
  if (MPI_Error_string(rc, text, &len) != MPI_SUCCESS) return "MPI error " + std::to_string(rc);
  return std::string(text, static_cast<size_t>(len));
}

std::string hostName() {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return "?";
  return host;
}

// What a rank sees at a content path, as text so that a refusal can show both sides.
// Device numbers are left out: nodes number one shared file system differently. The
// listing's names and inodes tell two look-alike local trees apart (every ext4 root
// has inode 2).
std::string fingerprint(const std::string& root, bool followRoots) {
  struct stat st {};
  if ((followRoots ? stat(root.c_str(), &st) : lstat(root.c_str(), &st)) != 0)
    return std::string("cannot stat: ") + strerror(errno);
  struct statfs fs {};
  unsigned long long fsType = statfs(root.c_str(), &fs) == 0 ? static_cast<unsigned long long>(fs.f_type) : 0;
  std::string text = "inode " + std::to_string(st.st_ino) + ", file-system type 0x";
  char hex[32];
  snprintf(hex, sizeof hex, "%llx", fsType);
  text += hex;
  if (S_ISDIR(st.st_mode)) {
    PathReader reader(1);
    WalkOptions opt;
    opt.statRegular = false;
    opt.followRoots = followRoots;
    DirBatch b;
    reader.read(RemoteDir{st.st_dev, {{root, 0, 1}}}, 0, opt, b);
    if (b.error) return text + ", cannot list: " + strerror(b.error);
    // Order-independent: the same directory may list in another order elsewhere.
    uint64_t sum = 0;
    for (const DirChild& c : b.children) {
      uint64_t h = 1469598103934665603ull;
      for (uint32_t i = 0; i < c.nameLen; ++i) h = (h ^ static_cast<unsigned char>(b.names[c.nameOff + i])) * 1099511628211ull;
      sum += h;
    }
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(sum));
    text += ", " + std::to_string(b.children.size()) + " entries (" + hex + ")";
  }
  return text;
}

template <typename T>
void put(std::string& out, T v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

template <typename T>
bool get(std::string_view& in, T& v) {
  if (in.size() < sizeof v) return false;
  memcpy(&v, in.data(), sizeof v);
  in.remove_prefix(sizeof v);
  return true;
}

bool getString(std::string_view& in, std::string_view& s) {
  size_t end = in.find('\0');
  if (end == std::string_view::npos) return false;
  s = in.substr(0, end);
  in.remove_prefix(end + 1);
  return true;
}

// A read request: the walk options a reader needs, how many leading levels the reader
// holds already, then the levels below them (inodes, then names).
void encodeRequest(const RemoteDir& dir, size_t known, const WalkOptions& opt, std::string& out) {
  out.clear();
  uint8_t flags = (opt.statRegular ? 1 : 0) | (opt.statAll ? 2 : 0) | (opt.oneFileSystem ? 4 : 0) |
                  (opt.followRoots ? 8 : 0);
  put(out, flags);
  put(out, static_cast<uint64_t>(dir.rootDev));
  put(out, static_cast<uint32_t>(opt.skipDevices.size()));
  for (dev_t d : opt.skipDevices) put(out, static_cast<uint64_t>(d));
  put(out, static_cast<uint32_t>(known));
  put(out, static_cast<uint32_t>(dir.levels.size() - known));
  for (size_t i = known; i < dir.levels.size(); ++i) put(out, static_cast<uint64_t>(dir.levels[i].ino));
  for (size_t i = known; i < dir.levels.size(); ++i) {
    out.append(dir.levels[i].name);
    out.push_back('\0');
  }
}

bool decodeRequest(std::string_view in, RemoteDir& dir, size_t& known, WalkOptions& opt) {
  uint8_t flags;
  uint64_t v;
  uint32_t count, k;
  if (!get(in, flags) || !get(in, v)) return false;
  opt.statRegular = flags & 1;
  opt.statAll = flags & 2;
  opt.oneFileSystem = flags & 4;
  opt.followRoots = flags & 8;
  dir.rootDev = static_cast<dev_t>(v);
  if (!get(in, count) || count > in.size() / 8) return false;
  opt.skipDevices.clear();
  for (uint32_t i = 0; i < count; ++i) {
    get(in, v);
    opt.skipDevices.push_back(static_cast<dev_t>(v));
  }
  if (!get(in, k) || !get(in, count) || count == 0 || count > in.size() / 8) return false;
  known = k;
  dir.levels.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    get(in, v);
    dir.levels[i].ino = static_cast<ino_t>(v);
  }
  for (uint32_t i = 0; i < count; ++i)
    if (!getString(in, dir.levels[i].name) || dir.levels[i].name.empty()) return false;
  return in.empty();
}

class Session final : public MpiSession, public RemoteReader {
 public:
  Session(int rank, int size) : m_rank(rank), m_size(size), m_held(static_cast<size_t>(size)) {
    for (int r = m_size - 1; r >= 1; --r) m_free.push_back(r);
  }

  ~Session() override {
    if (m_rank == 0) {
      if (m_failed.load()) {
        fflush(nullptr);
        MPI_Abort(MPI_COMM_WORLD, 1);
      }
      for (int r = 1; r < m_size; ++r) MPI_Send(nullptr, 0, MPI_BYTE, r, kTagStop, MPI_COMM_WORLD);
    }
    MPI_Finalize();
  }

  int rank() const override { return m_rank; }
  int size() const override { return m_size; }
  int readers() const override { return m_size - 1; }
  bool failed() const override { return m_failed.load(); }
  std::string failure() const override {
    std::lock_guard lock(m_stateMutex);
    return m_failure;
  }

  int serve() override {
    PathReader reader;
    std::string msg, reply, wire;
    DirBatch batch;
    for (;;) {
      MPI_Status status;
      int rc = MPI_Probe(0, MPI_ANY_TAG, MPI_COMM_WORLD, &status);
      int count = 0;
      if (rc == MPI_SUCCESS) rc = MPI_Get_count(&status, MPI_BYTE, &count);
      if (rc == MPI_SUCCESS) {
        msg.resize(static_cast<size_t>(count));
        rc = MPI_Recv(msg.data(), count, MPI_BYTE, 0, status.MPI_TAG, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      }
      if (rc != MPI_SUCCESS) {
        fprintf(stderr, "ifind: rank %d: %s\n", m_rank, mpiError(rc).c_str());
        return 1;
      }
      if (status.MPI_TAG == kTagStop) return 0;
      if (status.MPI_TAG == kTagTree) {
        // The content paths, NUL-terminated, after a byte for followRoots.
        reply = hostName();
        std::string_view in(msg);
        bool follow = !in.empty() && in[0];
        if (!in.empty()) in.remove_prefix(1);
        std::string_view root;
        while (getString(in, root)) {
          reply.push_back('\0');
          reply += fingerprint(std::string(root), follow);
        }
      } else if (status.MPI_TAG == kTagRead) {
        RemoteDir dir;
        WalkOptions opt;
        size_t known = 0;
        if (decodeRequest(msg, dir, known, opt)) {
          reader.read(dir, known, opt, batch);
        } else {
          batch = DirBatch{};
          batch.error = EPROTO;
          batch.failed = Failed::Open;
        }
        // The levels it holds now go first, so that the next request can leave them out.
        encodeBatch(batch, wire);
        reply.clear();
        put(reply, static_cast<uint64_t>(reader.held()));
        reply += wire;
      } else {
        continue;
      }
      const int tag = status.MPI_TAG == kTagRead ? kTagBatch : kTagTree;
      rc = MPI_Send(reply.data(), static_cast<int>(reply.size()), MPI_BYTE, 0, tag, MPI_COMM_WORLD);
      if (rc != MPI_SUCCESS) {
        fprintf(stderr, "ifind: rank %d: %s\n", m_rank, mpiError(rc).c_str());
        return 1;
      }
    }
  }

  bool sameTree(const std::vector<std::string>& roots, bool followRoots, std::string& why) override {
    std::string msg(1, followRoots ? '\1' : '\0');
    for (const std::string& r : roots) {
      msg += r;
      msg.push_back('\0');
    }
    std::vector<std::string> mine;
    for (const std::string& r : roots) mine.push_back(fingerprint(r, followRoots));
    const double deadline = m_timeout;
    for (int r = 1; r < m_size; ++r) {
      std::string reply;
      if (!exchange(r, kTagTree, msg, kTagTree, reply, deadline)) {
        why = "the distributed scan cannot start: " + failure();
        return false;
      }
      std::vector<std::string_view> parts;
      std::string_view in(reply);
      for (size_t end; (end = in.find('\0')) != std::string_view::npos;) {
        parts.push_back(in.substr(0, end));
        in.remove_prefix(end + 1);
      }
      parts.push_back(in);
      for (size_t i = 0; i < roots.size(); ++i) {
        std::string_view theirs = i + 1 < parts.size() ? parts[i + 1] : std::string_view("nothing");
        if (theirs != mine[i]) {
          why = "rank " + std::to_string(r) + " (on " + std::string(parts[0]) + ") sees a different tree at " +
                roots[i] + ": " + std::string(theirs) + "; rank 0 (on " + hostName() + ") sees " + mine[i] +
                ". Every rank must see the same file system at the same path.";
          return false;
        }
      }
    }
    return true;
  }

  RemoteReader& reader(double timeoutSeconds) override {
    m_timeout = timeoutSeconds;
    return *this;
  }

  void read(const RemoteDir& dir, const WalkOptions& options, DirBatch& out) override {
    out = DirBatch{};
    int r = takeRank();
    if (r < 0) {
      out.error = ECOMM;
      out.failed = Failed::Open;
      return;
    }
    std::string request, reply;
    HeldLevels& held = m_held[static_cast<size_t>(r)];  // ours while we hold rank r
    encodeRequest(dir, held.common(dir), options, request);
    if (!exchange(r, kTagRead, request, kTagBatch, reply, m_timeout)) {
      giveRank(r);
      out.error = ECOMM;
      out.failed = Failed::Open;
      return;
    }
    std::string_view in(reply);
    uint64_t levels = 0;
    const bool framed = get(in, levels);
    held.update(dir, framed ? static_cast<size_t>(levels) : 0);
    giveRank(r);
    if (!framed || !decodeBatch(in, out)) {
      fail("rank " + std::to_string(r) + " sent a malformed batch");
      out = DirBatch{};
      out.error = ECOMM;
      out.failed = Failed::Open;
    }
  }

 private:
  void fail(const std::string& why) {
    std::lock_guard lock(m_stateMutex);
    if (!m_failed.exchange(true)) m_failure = why;
    m_rankCv.notify_all();
  }

  // A free reading rank, or -1 once the transport has failed.
  int takeRank() {
    std::unique_lock lock(m_stateMutex);
    m_rankCv.wait(lock, [&] { return m_failed.load() || !m_free.empty(); });
    if (m_failed.load()) return -1;
    int r = m_free.back();
    m_free.pop_back();
    return r;
  }

  void giveRank(int r) {
    {
      std::lock_guard lock(m_stateMutex);
      m_free.push_back(r);
    }
    m_rankCv.notify_one();
  }

  // Sends msg to rank r and waits for its answer with tag replyTag, at most deadline
  // seconds. MPI calls are serialised here, so any thread level from SERIALIZED up serves;
  // the wait polls, as a blocking receive could not be given up.
  bool exchange(int r, int tag, const std::string& msg, int replyTag, std::string& reply, double deadline) {
    auto fault = [&](const std::string& what) {
      fail("rank " + std::to_string(r) + ": " + what);
      return false;
    };
    MPI_Request req;
    int rc;
    {
      std::lock_guard lock(m_mpiMutex);
      rc = MPI_Isend(msg.data(), static_cast<int>(msg.size()), MPI_BYTE, r, tag, MPI_COMM_WORLD, &req);
    }
    if (rc != MPI_SUCCESS) return fault(mpiError(rc));
    const auto start = std::chrono::steady_clock::now();
    const auto limit = start + std::chrono::duration<double>(deadline);
    bool sent = false;
    std::chrono::microseconds pause(10);
    for (;;) {
      int flag = 0;
      MPI_Status status;
      {
        std::lock_guard lock(m_mpiMutex);
        if (!sent) {
          rc = MPI_Test(&req, &flag, MPI_STATUS_IGNORE);
          if (rc == MPI_SUCCESS && flag) sent = true;
          flag = 0;
        }
        if (rc == MPI_SUCCESS && sent) rc = MPI_Iprobe(r, replyTag, MPI_COMM_WORLD, &flag, &status);
        if (rc == MPI_SUCCESS && flag) {
          int count = 0;
          rc = MPI_Get_count(&status, MPI_BYTE, &count);
          if (rc == MPI_SUCCESS) {
            reply.resize(static_cast<size_t>(count));
            rc = MPI_Recv(reply.data(), count, MPI_BYTE, r, replyTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
          }
        }
      }
      if (rc != MPI_SUCCESS) return fault(mpiError(rc));
      if (flag) return true;
      if (std::chrono::steady_clock::now() >= limit) {
        if (!sent) {
          std::lock_guard lock(m_mpiMutex);
          MPI_Cancel(&req);
        }
        char secs[32];
        snprintf(secs, sizeof secs, "%g", deadline);
        return fault("no answer within " + std::string(secs) + " s (the rank died or stopped)");
      }
      // Answers from a fast file system come within microseconds; a slow one should
      // not have its proxies spin on a shared core.
      if (std::chrono::steady_clock::now() - start < std::chrono::microseconds(50)) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(500));
      }
    }
  }

  int m_rank;
  int m_size;
  double m_timeout = 60;
  std::mutex m_mpiMutex;
  mutable std::mutex m_stateMutex;
  std::condition_variable m_rankCv;
  std::vector<int> m_free;  // (m_stateMutex) reading ranks not serving a read now
  std::vector<HeldLevels> m_held;  // per rank: touched only by the thread that took it
  std::atomic<bool> m_failed{false};
  std::string m_failure;  // (m_stateMutex)
};

}  // namespace

MpiSession* startSession(int* argc, char*** argv, std::string& why) {
  int provided = 0;
  int rc = MPI_Init_thread(argc, argv, MPI_THREAD_MULTIPLE, &provided);
  if (rc != MPI_SUCCESS) {
    why = "MPI could not start: " + mpiError(rc);
    return nullptr;
  }
  // Faults come back as codes the scan reports, instead of ending the process.
  MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (provided < MPI_THREAD_SERIALIZED) {
    why = "the MPI library does not allow calls from several threads (MPI_THREAD_SERIALIZED)";
    MPI_Finalize();
    return nullptr;
  }
  return new Session(rank, size);
}

}  // namespace ifind

extern "C" __attribute__((visibility("default"))) ifind::MpiSession* kzfind_mpi_start(int* argc, char*** argv,
                                                                                      std::string* why) {
  return ifind::startSession(argc, argv, *why);
}
