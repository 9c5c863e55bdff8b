// Opens of the job's own files that never follow a link planted in their place and
// never share what they create.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kzhost {

// The open(2) access and creation flags of an fopen mode: "r", "w" or "a", then any of
// "+", "b", "e", "x" (O_EXCL) in any order. false (nothing set) for a mode fopen refuses.
// O_TRUNC is reported in truncate, not in flags: it is applied only after the file
// proved to be a regular file.
bool fopenModeFlags(const char* mode, int& flags, bool& truncate);

// open(2) of name relative to dirFd (AT_FDCWD: the working folder) with
// O_NOFOLLOW | O_CLOEXEC | O_NOCTTY added, created with mode (0600 unless told). Only
// a regular file is accepted: a symbolic link fails with ELOOP, a folder with EISDIR,
// a FIFO, socket or device with EPERM, without blocking and before anything is
// truncated. A file opened for writing that belongs to this user and is readable by
// others is narrowed to the owner's bits. -1 with errno on failure.
int openFileAt(int dirFd, const char* name, int flags, mode_t mode = 0600);

// fopen's contract on top of openFileAt: null with errno on failure (EINVAL for a bad
// mode), else a stream the caller closes with fclose.
FILE* openStreamAt(int dirFd, const char* name, const char* mode);

// Replaces the whole content of a small file opened for writing: written over from the
// start, then cut to its length. Never truncated to zero on the way, which on ext4
// would write the file out at close and, once its block is on disk, make the cut wait
// for the block to be discarded. false with errno on failure.
bool overwriteFile(int fd, const char* data, size_t size);

// A read buffer that starts on a page. The kernel copies page-cache pages into it; into
// a buffer 16 bytes into a page, as a large heap allocation is, those copies ran 5 times
// slower on the AMD machines we measured (each load aliased the store just made).
struct PageFree {
  void operator()(char* p) const { std::free(p); }
};
using PageBuffer = std::unique_ptr<char[], PageFree>;
PageBuffer pageAlignedBuffer(size_t size);  // throws std::bad_alloc

}  // namespace kzhost
