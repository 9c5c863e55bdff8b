// Stats the names of one directory many at a time.
//
// Stat calls are most of what a scan costs, and on a virtual machine much of a stat is
// the entry into the kernel. Where the kernel offers a submission ring, the names of a
// directory go to it in batches, one system call for many names. Without a ring (an
// older kernel, a sandbox that refuses it, a build without the library), and for any
// name the ring could not handle, each name is stat'ed by fstatat as before: the
// results are the same either way.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace ifind {

// Which way is faster differs between kernels and machines of one kind (on some the
// ring's workers cost more than the calls they save), so the readers of a walk time
// both on the directories they read and keep the faster, probing the other now and
// then in case the answer changes (a cold cache, another load).
class StatChooser {
 public:
  // Whether the next count names go through the ring.
  bool useRing(size_t count);
  // What count names cost one way, in nanoseconds.
  void record(bool ring, size_t count, uint64_t nanos);
  // "ring", "single" (also when the ring was never there), or "undecided" (too few
  // names to tell).
  const char* decision();

  static constexpr size_t kMinSample = 16;     // smaller batches tell little
  static constexpr size_t kCalibration = 2048;  // names timed each way before choosing

 private:
  std::atomic<int> m_choice{-1};  // -1 calibrating, 0 single, 1 ring
  std::atomic<uint64_t> m_batches{0};
  std::mutex m_mutex;
  size_t m_names[2] = {0, 0};     // (m) timed names each way, while calibrating
  uint64_t m_nanos[2] = {0, 0};   // (m)
  double m_perName[2] = {0, 0};   // (m) moving average of nanoseconds a name
};

class StatBatch {
 public:
  // useRing false: fstatat only.
  explicit StatBatch(bool useRing);
  ~StatBatch();
  StatBatch(const StatBatch&) = delete;
  StatBatch& operator=(const StatBatch&) = delete;

  // Stats names[i] relative to dirfd without following a last symbolic link:
  // errs[i] is 0 with out[i] filled, or the errno of the failure. With a chooser, the
  // ring is used only when it has proved faster.
  void run(int dirfd, const char* const* names, size_t count, struct stat* out, int* errs,
           StatChooser* chooser = nullptr);

  // The ring is in use (it is given up for good when the kernel refuses it).
  bool batching() const { return m_ring != nullptr; }

 private:
  struct Ring;
  // Up to one ring's worth of names through the ring: how many were answered, 0 when
  // the kernel refused the ring (which is then given up).
  size_t ringBatch(int dirfd, const char* const* names, size_t count, struct stat* out, int* errs);
  void dropRing();
  std::unique_ptr<Ring> m_ring;
};

}  // namespace ifind
