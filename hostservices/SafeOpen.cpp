#include "hostservices/SafeOpen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace kzhost {

bool fopenModeFlags(const char* mode, int& flags, bool& truncate) {
  if (!mode) return false;
  int f = 0;
  bool t = false;
  switch (mode[0]) {
    case 'r': f = O_RDONLY; break;
    case 'w': f = O_WRONLY | O_CREAT; t = true; break;
    case 'a': f = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return false;
  }
  for (const char* c = mode + 1; *c; ++c) {
    switch (*c) {
      case '+': f = (f & ~O_ACCMODE) | O_RDWR; break;
      case 'b':
      case 'e': break;
      case 'x': f |= O_EXCL; break;
      default: return false;
    }
  }
  flags = f;
  truncate = t;
  return true;
}

int openFileAt(int dirFd, const char* name, int flags, mode_t mode) {
  const bool truncate = flags & O_TRUNC;
  // O_NONBLOCK: opening a FIFO must not wait for a peer; it is refused below anyway.
  int fd = ::openat(dirFd, name, (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat st;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EPERM;
  } else {
    const bool writes = (flags & O_ACCMODE) != O_RDONLY;
    if (writes && st.st_uid == geteuid() && (st.st_mode & 077) != 0) (void)fchmod(fd, st.st_mode & 0700);
    if (!(flags & O_NONBLOCK)) {
      int fl = fcntl(fd, F_GETFL);
      if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) err = errno;
    }
    // An empty file is not truncated: on ext4 truncating even an empty file to zero
    // makes its close start writing the new data out (the replace-by-truncate guard),
    // and a scratch file removed a moment later then costs ten times as much to free.
    if (!err && truncate && st.st_size != 0 && ftruncate(fd, 0) != 0) err = errno;
  }
  if (err) {
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

FILE* openStreamAt(int dirFd, const char* name, const char* mode) {
  int flags = 0;
  bool truncate = false;
  if (!name || !fopenModeFlags(mode, flags, truncate)) {
    errno = EINVAL;
    return nullptr;
  }
  int fd = openFileAt(dirFd, name, flags | (truncate ? O_TRUNC : 0));
  if (fd < 0) return nullptr;
  // fdopen gets only what it understands; the creation flags were applied above.
  const bool plus = (flags & O_ACCMODE) == O_RDWR;
  const char* streamMode = mode[0] == 'r' ? (plus ? "r+" : "r") : mode[0] == 'w' ? (plus ? "w+" : "w") : (plus ? "a+" : "a");
  FILE* fp = fdopen(fd, streamMode);
  if (!fp) {
    int err = errno;
    ::close(fd);
    errno = err;
  }
  return fp;
}

bool overwriteFile(int fd, const char* data, size_t size) {
  ssize_t n;
  do {
    n = pwrite(fd, data, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(size)) {
    if (n >= 0) errno = EIO;
    return false;
  }
  return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

PageBuffer pageAlignedBuffer(size_t size) {
  char* p = static_cast<char*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096));
  if (!p) throw std::bad_alloc();
  return PageBuffer(p);
}

}  // namespace kzhost
