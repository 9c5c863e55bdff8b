#include "ifind/StatBatch.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <time.h>

#include <algorithm>
#include <cerrno>

#if KZ_HAVE_URING
#include <liburing.h>

#include <vector>
#endif

namespace ifind {

namespace {

int statOne(int dirfd, const char* name, struct stat* out) {
  return fstatat(dirfd, name, out, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

}  // namespace

#if KZ_HAVE_URING

namespace {

constexpr unsigned kRingEntries = 256;

void toStat(const struct statx& x, struct stat* st) {
  *st = {};
  st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  st->st_ino = x.stx_ino;
  st->st_mode = x.stx_mode;
  st->st_nlink = x.stx_nlink;
  st->st_uid = x.stx_uid;
  st->st_gid = x.stx_gid;
  st->st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
  st->st_size = static_cast<off_t>(x.stx_size);
  st->st_blksize = static_cast<blksize_t>(x.stx_blksize);
  st->st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
  st->st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
  st->st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
  st->st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
}

}  // namespace

struct StatBatch::Ring {
  io_uring ring{};
  std::vector<struct statx> results = std::vector<struct statx>(kRingEntries);
};

StatBatch::StatBatch(bool useRing) {
  if (!useRing) return;
  auto r = std::make_unique<Ring>();
  // Every entry is submitted even when one fails, so none is left queued behind.
  if (io_uring_queue_init(kRingEntries, &r->ring, IORING_SETUP_SUBMIT_ALL) == 0) m_ring = std::move(r);
}

StatBatch::~StatBatch() {
  if (m_ring) io_uring_queue_exit(&m_ring->ring);
}

void StatBatch::dropRing() {
  io_uring_queue_exit(&m_ring->ring);
  m_ring.reset();
}

size_t StatBatch::ringBatch(int dirfd, const char* const* names, size_t count, struct stat* out, int* errs) {
  io_uring* ring = &m_ring->ring;
  const auto n = static_cast<unsigned>(std::min<size_t>(kRingEntries, count));
  for (unsigned k = 0; k < n; ++k) {
    io_uring_sqe* sqe = io_uring_get_sqe(ring);  // never null: the ring is empty between batches
    io_uring_prep_statx(sqe, dirfd, names[k], AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS,
                        &m_ring->results[k]);
    io_uring_sqe_set_data64(sqe, k);
  }
  int submitted;
  do {
    submitted = io_uring_submit_and_wait(ring, n);
  } while (submitted == -EINTR);
  if (submitted < 0) {
    // Refused (a sandbox, an old kernel): nothing reached the kernel, so the ring can go.
    dropRing();
    return 0;
  }
  for (unsigned k = 0; k < n; ++k) errs[k] = EAGAIN;  // not answered yet
  for (unsigned seen = 0; seen < static_cast<unsigned>(submitted);) {
    io_uring_cqe* cqe = nullptr;
    const int w = io_uring_wait_cqe(ring, &cqe);
    if (w == -EINTR || w == -EAGAIN) continue;
    if (w < 0) {
      // Requests may still be running into the result buffers: keep them alive.
      static_cast<void>(m_ring.release());
      break;
    }
    const auto k = static_cast<unsigned>(io_uring_cqe_get_data64(cqe));
    if (k < n) {
      errs[k] = -cqe->res;
      if (cqe->res == 0) toStat(m_ring->results[k], &out[k]);
    }
    io_uring_cqe_seen(ring, cqe);
    ++seen;
  }
  // What the ring did not answer plainly is asked again the ordinary way.
  for (unsigned k = 0; k < n; ++k) {
    int& e = errs[k];
    if (e == EAGAIN || e == EINTR || e == EINVAL || e == EOPNOTSUPP || e == ENOSYS || e == ECANCELED)
      e = statOne(dirfd, names[k], &out[k]);
  }
  // Entries left unsubmitted must never run later against other names.
  if (static_cast<unsigned>(submitted) < n && m_ring) dropRing();
  return n;
}

#else

struct StatBatch::Ring {};
StatBatch::StatBatch(bool) {}
StatBatch::~StatBatch() = default;

#endif

uint64_t clockNanos(clockid_t clock) {
  struct timespec ts {};
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

StatChooser::StatChooser(Clock clock, int known)
    : m_clock(clock ? clock : [] { return clockNanos(CLOCK_MONOTONIC); }) {
  if (known == 0 || known == 1) {
    m_choice.store(known, std::memory_order_relaxed);
    m_ring.store(known == 1, std::memory_order_relaxed);
    // The first probe comes early: what an earlier scan found (a cold cache, say) may not
    // hold for this one, and most scans are shorter than the usual probe interval.
    m_sinceProbe = kBetweenProbes - kFirstProbe;
  }
}

StatChooser::Turn StatChooser::begin() {
  const uint32_t turn = m_turn.load(std::memory_order_acquire);
  const bool ring = m_ring.load(std::memory_order_relaxed);
  if (m_turnStart.load(std::memory_order_relaxed) == 0) {
    uint64_t none = 0;
    m_turnStart.compare_exchange_strong(none, m_clock(), std::memory_order_relaxed);
  }
  return {turn, ring};
}

void StatChooser::end(Turn t, size_t count) {
  if (t.turn != m_turn.load(std::memory_order_acquire)) return;
  const uint64_t now = m_clock();
  std::lock_guard lock(m_mutex);
  if (t.turn != m_turn.load(std::memory_order_relaxed)) return;
  m_turnNames += count;
  if (m_turnNames >= kTurnNames || probeLosing(now)) closeTurn(now);
}

// A probe of the other way that is clearly slower after a quarter of a turn ends there:
// where the ring is much the slower, a whole turn of it cost a short scan several per
// cent. A probe that keeps up runs the whole turn, so a switch rests on a full turn.
bool StatChooser::probeLosing(uint64_t now) const {
  const int choice = m_choice.load(std::memory_order_relaxed);
  const int way = m_ring.load(std::memory_order_relaxed) ? 1 : 0;
  if (choice < 0 || way == choice || m_turnNames < kTurnNames / 4 || m_perName[choice] == 0) return false;
  const uint64_t start = m_turnStart.load(std::memory_order_relaxed);
  const double perName = static_cast<double>(now > start ? now - start : 1) / static_cast<double>(m_turnNames);
  return perName > 1.1 * m_perName[choice];
}

void StatChooser::closeTurn(uint64_t now) {
  const int way = m_ring.load(std::memory_order_relaxed) ? 1 : 0;
  const double names = static_cast<double>(m_turnNames);
  const uint64_t start = m_turnStart.load(std::memory_order_relaxed);
  const double nanos = static_cast<double>(now > start ? now - start : 1);
  int choice = m_choice.load(std::memory_order_relaxed);
  bool nextRing;
  if (choice < 0) {
    m_names[way] += names;
    m_nanos[way] += nanos;
    // Single, ring, ring, single: a steady drift in the machine's speed favours neither.
    static constexpr bool kOrder[kCalibration] = {false, true, true, false};
    if (++m_turnsDone < kCalibration) {
      nextRing = kOrder[m_turnsDone];
    } else {
      for (int w : {0, 1}) m_perName[w] = m_nanos[w] / m_names[w];
      choice = m_perName[1] < m_perName[0] ? 1 : 0;
      m_choice.store(choice, std::memory_order_relaxed);
      m_timed.store(true, std::memory_order_relaxed);
      nextRing = choice == 1;
    }
  } else {
    const bool first = m_perName[way] == 0;  // a choice given, not timed here yet
    m_perName[way] = way == choice && !first ? 0.7 * m_perName[way] + 0.3 * nanos / names : nanos / names;
    if (way != choice) m_timed.store(true, std::memory_order_relaxed);
    // A probe changes the choice only on a clear lead, so noise does not flip it.
    if (way != choice && m_perName[way] < 0.9 * m_perName[choice]) {
      choice = way;
      m_choice.store(choice, std::memory_order_relaxed);
    }
    nextRing = choice == 1;
    if (way == choice && ++m_sinceProbe >= kBetweenProbes) {
      m_sinceProbe = 0;
      nextRing = choice == 0;
    }
  }
  m_ring.store(nextRing, std::memory_order_relaxed);
  m_turnNames = 0;
  m_turnStart.store(0, std::memory_order_relaxed);
  m_turn.fetch_add(1, std::memory_order_release);
}

const char* StatChooser::decision() {
  switch (m_choice.load(std::memory_order_relaxed)) {
    case 0: return "single";
    case 1: return "ring";
    default: break;
  }
  std::lock_guard lock(m_mutex);
  return m_turnsDone == 0 && m_turnNames == 0 ? "single" : "undecided";
}

void StatBatch::run(int dirfd, const char* const* names, size_t count, struct stat* out, int* errs,
                    StatChooser* chooser) {
  size_t done = 0;
#if KZ_HAVE_URING
  if (chooser && m_ring) {
    const StatChooser::Turn turn = chooser->begin();
    if (turn.ring) {
      while (m_ring && count - done >= 2) {
        const size_t n = ringBatch(dirfd, names + done, count - done, out + done, errs + done);
        if (n == 0) break;
        done += n;
      }
    }
    for (; done < count; ++done) errs[done] = statOne(dirfd, names[done], &out[done]);
    if (m_ring) chooser->end(turn, count);
    return;
  }
  // One name costs one call either way.
  while (m_ring && count - done >= 2) {
    const size_t n = ringBatch(dirfd, names + done, count - done, out + done, errs + done);
    if (n == 0) break;
    done += n;
  }
#endif
  for (; done < count; ++done) errs[done] = statOne(dirfd, names[done], &out[done]);
}

}  // namespace ifind
