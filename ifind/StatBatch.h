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
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace ifind {

// Nanoseconds on clock (CLOCK_MONOTONIC, CLOCK_THREAD_CPUTIME_ID, ...).
uint64_t clockNanos(clockid_t clock);

// Which way is faster differs between kernels and machines of one kind (on some the
// ring's workers cost more than the calls they save, and that cost lands on other
// threads, where one reader's own timing cannot see it). So the walk as a whole is
// timed: every reader uses the same way for a turn of a few thousand names, the turns
// alternate single, ring, ring, single, and the way that took less wall time a name is
// kept; now and then one turn goes the other way, in case the answer changes (a cold
// cache, another load). A choice an earlier walk on this machine made can be given: the
// walk then starts with it and only probes. Safe for concurrent use by the readers of one
// walk.
class StatChooser {
 public:
  // Monotonic nanoseconds; tests pass their own clock.
  using Clock = uint64_t (*)();
  // known: 0 single, 1 ring, as found before; -1 times both ways first.
  explicit StatChooser(Clock clock = nullptr, int known = -1);

  struct Turn {
    uint32_t turn;
    bool ring;
  };
  // The way to stat the next batch of names.
  Turn begin();
  // count names of a batch begun in t were stat'ed. Batches begun in an earlier turn
  // do not count: their time belongs to two ways.
  void end(Turn t, size_t count);
  // "ring", "single" (also when the ring was never there), or "undecided" (too few
  // names to tell).
  const char* decision();
  // The choice was timed in this walk (both ways compared, in calibration or a probe).
  bool timed() const { return m_timed.load(std::memory_order_relaxed); }

  static constexpr size_t kTurnNames = 4096;  // names a turn
  static constexpr int kCalibration = 4;      // turns before the first choice
  static constexpr int kBetweenProbes = 32;   // turns the chosen way between two probes
  static constexpr int kFirstProbe = 4;       // ... before the first, when the choice was given

 private:
  void closeTurn(uint64_t now);           // (m)
  bool probeLosing(uint64_t now) const;  // (m)

  Clock m_clock;
  std::atomic<uint32_t> m_turn{0};
  std::atomic<bool> m_ring{false};  // the way of the current turn
  std::atomic<int> m_choice{-1};    // -1 calibrating, 0 single, 1 ring
  std::atomic<bool> m_timed{false};
  std::atomic<uint64_t> m_turnStart{0};  // 0: the turn starts with its first batch
  std::mutex m_mutex;
  size_t m_turnNames = 0;      // (m)
  int m_turnsDone = 0;         // (m) while calibrating
  int m_sinceProbe = 0;        // (m)
  double m_names[2] = {0, 0};  // (m) while calibrating, each way
  double m_nanos[2] = {0, 0};  // (m)
  double m_perName[2] = {0, 0};  // (m) after: the last estimate of each way
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
  // ring is used in the turns the chooser gives it.
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
