// The scan read by many processes: rank 0 records, every other rank reads directories.
//
// Rank 0 runs the scan as ever, with the walker's directory reads sent to the reading
// ranks (one proxy thread each), so order, read-ahead and every output are those of a
// local scan. A reading rank answers requests until rank 0 tells it to stop. Any fault
// of the transport (an MPI error, a rank that does not answer in time, a malformed
// answer) fails the read with ECOMM, which the scan counts as its own fault, and fails
// every read after it: the scan ends quickly and never as a success.
#pragma once

#include "ifind/Walker.h"

#include <memory>
#include <string>
#include <vector>

namespace ifind {

// Whether this scanner was built with MPI.
bool mpiBuilt();

class MpiSession {
 public:
  // Initialises MPI. Null with why set when it cannot (or when built without MPI).
  static std::unique_ptr<MpiSession> start(int* argc, char*** argv, std::string& why);
  // Rank 0: tells the reading ranks to stop and finalises; after a transport fault it
  // aborts the job instead (a stopped rank would hang the finalisation), so the job's
  // exit status is non-zero.
  virtual ~MpiSession() = default;

  virtual int rank() const = 0;
  virtual int size() const = 0;
  // Reading ranks: serves rank 0 until told to stop. The process's exit status.
  virtual int serve() = 0;
  // Rank 0: false with why (also after a transport fault) when a reading rank sees another file system object at a
  // content path (inode, file-system type or the content path's own listing differ).
  virtual bool sameTree(const std::vector<std::string>& roots, bool followRoots, std::string& why) = 0;
  // Rank 0: the reader the walk uses. Any answer, the start-up check's too, is waited
  // for at most timeoutSeconds.
  virtual RemoteReader& reader(double timeoutSeconds) = 0;
  // A transport fault happened; failure() describes the first.
  virtual bool failed() const = 0;
  virtual std::string failure() const = 0;
};

}  // namespace ifind
