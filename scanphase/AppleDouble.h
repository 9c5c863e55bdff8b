// The AppleDouble companion step of the collect writer. Internal to the scan phase
// (hidden like everything but KzFind); declared here so that tests can reach it.
#pragma once

#include <cstdio>
#include <vector>

#include "hostservices/HostTypes.h"

namespace kzfind::detail {

// Writes the marker "-" into collectFp when the companion of path ("._" inserted
// after the last "/") is a regular file (not a link, FIFO or device: those are never
// read) holding a genuine AppleDouble header (version 2, at least one entry) and lies
// on no "hfs*" mount of mounts. With preserveAtime, the
// companion's access and modification times are captured first and put back at the
// end of the step. 0 when done (marker or not), -1 when the marker could not be written.
int markAppleDoubleCompanion(FILE* collectFp, const char* path, const std::vector<mntfs_ent>& mounts,
                             bool preserveAtime);

// How many companions the step has opened in this process (to check that companions
// on HFS mounts are never opened).
unsigned long appleDoubleOpens();

}  // namespace kzfind::detail
