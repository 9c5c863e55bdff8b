// AppleDouble companion marking for the collect writer, with access-time preservation.
#include "scanphase/AppleDouble.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "hostservices/CLoString.h"
#include "hostservices/FileUtil.h"
#include "scanphase/InodePropPreserver.h"

namespace {

// Magic 0x00051607, version 0x00020000, sixteen bytes of zero filler.
constexpr unsigned char kAppleDoubleHeader[24] = {0x00, 0x05, 0x16, 0x07, 0x00, 0x02, 0x00, 0x00};
constexpr size_t kHeaderRead = 26;  // the header above plus the entry count

std::atomic<unsigned long> g_companionOpens{0};

}  // namespace

// True when path is a genuine AppleDouble file outside every HFS mount. Companions
// on HFS are the file system's own and are never opened.
static bool isAppleDouble(const char* path, const std::vector<mntfs_ent>& mounts) {
  // Every containing mount counts, not only the innermost, so walk the whole table.
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    if (ComparePath::Check(it->mnt_dir.c_str(), path) == ComparePath::Inside &&
        strncmp(it->mnt_type.c_str(), "hfs", 3) == 0) {
      return false;
    }
  }
  // Anyone may name an entry like a companion. O_NOFOLLOW: a link is no companion, and
  // the scan must not open what it points to (a device, another user's file);
  // O_NONBLOCK: a FIFO or device must not hang the scan. Only a regular file is read.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  g_companionOpens.fetch_add(1, std::memory_order_relaxed);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  unsigned char buf[kHeaderRead];
  ssize_t got = read(fd, buf, sizeof buf);
  close(fd);
  return got == static_cast<ssize_t>(kHeaderRead) && memcmp(buf, kAppleDoubleHeader, sizeof kAppleDoubleHeader) == 0 &&
         (buf[24] | buf[25]) != 0;
}

namespace kzfind::detail {

int markAppleDoubleCompanion(FILE* collectFp, const char* path, const std::vector<mntfs_ent>& mounts,
                             bool preserveAtime) {
  const char* slash = strrchr(path, '/');
  if (!slash) return 0;
  std::string companion;
  companion.reserve(strlen(path) + 2);
  companion.append(path, static_cast<size_t>(slash + 1 - path)).append("._").append(slash + 1);

  // Captured before anything opens the companion; released (times put back) on every path out.
  std::unique_ptr<AMTimePreserver> timePreserver;
  if (preserveAtime) {
    auto preserver = std::make_unique<CoreInodePropPreserver<struct stat>>(companion);
    timePreserver = std::make_unique<AMTimePreserver>(preserver.get());
    preserver.release();  // owned by the time preserver now
  }

  if (access(companion.c_str(), F_OK) == 0 && isAppleDouble(companion.c_str(), mounts)) {
    if (fputc('-', collectFp) < 0) return -1;
  }
  return 0;
}

unsigned long appleDoubleOpens() { return g_companionOpens.load(std::memory_order_relaxed); }

}  // namespace kzfind::detail
