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

#include <cstddef>
#include <memory>

namespace ifind {

class StatBatch {
 public:
  // useRing false: fstatat only.
  explicit StatBatch(bool useRing);
  ~StatBatch();
  StatBatch(const StatBatch&) = delete;
  StatBatch& operator=(const StatBatch&) = delete;

  // Stats names[i] relative to dirfd without following a last symbolic link:
  // errs[i] is 0 with out[i] filled, or the errno of the failure.
  void run(int dirfd, const char* const* names, size_t count, struct stat* out, int* errs);

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
