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

bool StatChooser::useRing(size_t count) {
  if (count < kMinSample) return m_choice.load(std::memory_order_relaxed) == 1;
  const uint64_t n = m_batches.fetch_add(1, std::memory_order_relaxed);
  const int choice = m_choice.load(std::memory_order_relaxed);
  // Calibrating: turn about. Decided: the choice, and every 64th batch the other way.
  if (choice < 0) return (n & 1) != 0;
  return (n % 64 == 63) ? choice == 0 : choice == 1;
}

void StatChooser::record(bool ring, size_t count, uint64_t nanos) {
  if (count < kMinSample) return;
  const int way = ring ? 1 : 0;
  const double perName = static_cast<double>(nanos) / static_cast<double>(count);
  std::lock_guard lock(m_mutex);
  if (m_choice.load(std::memory_order_relaxed) < 0) {
    m_names[way] += count;
    m_nanos[way] += nanos;
    if (m_names[0] < kCalibration || m_names[1] < kCalibration) return;
    for (int w : {0, 1}) m_perName[w] = static_cast<double>(m_nanos[w]) / static_cast<double>(m_names[w]);
    m_choice.store(m_perName[1] < m_perName[0] ? 1 : 0, std::memory_order_relaxed);
    return;
  }
  m_perName[way] = 0.9 * m_perName[way] + 0.1 * perName;
  const int choice = m_choice.load(std::memory_order_relaxed);
  // Switch only on a clear lead, so noise does not flip it back and forth.
  if (m_perName[1 - choice] < 0.9 * m_perName[choice]) m_choice.store(1 - choice, std::memory_order_relaxed);
}

const char* StatChooser::decision() {
  switch (m_choice.load(std::memory_order_relaxed)) {
    case 0: return "single";
    case 1: return "ring";
    default: break;
  }
  std::lock_guard lock(m_mutex);
  return m_names[0] + m_names[1] == 0 ? "single" : "undecided";
}

void StatBatch::run(int dirfd, const char* const* names, size_t count, struct stat* out, int* errs,
                    StatChooser* chooser) {
  size_t done = 0;
#if KZ_HAVE_URING
  if (chooser && m_ring) {
    const bool ring = chooser->useRing(count);
    struct timespec t0 {}, t1 {};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    if (ring) {
      while (m_ring && count - done >= 2) {
        const size_t n = ringBatch(dirfd, names + done, count - done, out + done, errs + done);
        if (n == 0) break;
        done += n;
      }
    }
    for (; done < count; ++done) errs[done] = statOne(dirfd, names[done], &out[done]);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    const int64_t ns = (t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec);
    if (m_ring) chooser->record(ring, count, static_cast<uint64_t>(std::max<int64_t>(ns, 0)));
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
