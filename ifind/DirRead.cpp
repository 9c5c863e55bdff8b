// Reading one directory into a batch, and a batch's wire form.
#include "ifind/DirRead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace ifind {

namespace {

EntryType typeFromDirent(unsigned char d_type) {
  switch (d_type) {
    case DT_REG: return EntryType::Regular;
    case DT_DIR: return EntryType::Directory;
    case DT_LNK: return EntryType::Symlink;
    case DT_FIFO: return EntryType::Fifo;
    case DT_SOCK: return EntryType::Socket;
    case DT_CHR: return EntryType::CharDevice;
    case DT_BLK: return EntryType::BlockDevice;
    default: return EntryType::Unknown;
  }
}

struct linux_dirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

// Stats the children the listing could not type or whose sizes are wanted, all at
// once now that the names no longer move.
void statChildren(int fd, DirBatch& b, DirReadState& rs) {
  const size_t count = rs.children.size();
  if (count == 0) return;
  rs.names.resize(count);
  rs.errs.resize(count);
  for (size_t i = 0; i < count; ++i) rs.names[i] = b.names.data() + b.children[rs.children[i]].nameOff;
  b.stats.resize(count);  // stat'ed in place, not copied
  rs.stats.run(fd, rs.names.data(), count, b.stats.data(), rs.errs.data(), rs.chooser);
  for (size_t i = 0; i < count; ++i) {
    DirChild& c = b.children[rs.children[i]];
    if (rs.errs[i] == 0) {
      c.type = typeFromMode(b.stats[i].st_mode);
      c.statIdx = static_cast<int32_t>(i);
    } else {
      c.error = rs.errs[i];
    }
  }
}

// Wire form: a fixed header, then the names, the children and the stats as they lie in
// memory. Every count is checked against the message length on the way in.
struct WireHeader {
  int32_t error;
  uint8_t failed;
  uint8_t haveStat;
  uint8_t otherDevice;
  uint8_t pad;
  uint64_t namesLen;
  uint64_t children;
  uint64_t stats;
  struct stat st;
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// Opens a directory without updating its access time where the kernel lets us.
int openDir(int dirfd, const char* name, bool follow) {
  const int flags = follow ? kDirFlags & ~O_NOFOLLOW : kDirFlags;
  int fd = openat(dirfd, name, flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = openat(dirfd, name, flags);
  return fd;
}

}  // namespace

PathReader::PathReader(size_t maxOpen) : m_maxOpen(std::max<size_t>(maxOpen, 4)) {}

PathReader::~PathReader() { closeFrom(0); }

void PathReader::closeFrom(size_t level) {
  while (m_open.size() > level) {
    if (m_open.back().fd >= 0) {
      close(m_open.back().fd);
      --m_openCount;
    }
    m_open.pop_back();
  }
  m_firstOpen = std::min(m_firstOpen, std::max<size_t>(m_open.size(), 1));
}

// Keeps the descriptors of the content path and of the deepest levels: the walk goes
// down one level at a time, and the levels in between are re-opened when it climbs back.
void PathReader::evict(size_t except) {
  while (m_openCount > m_maxOpen) {
    while (m_firstOpen < m_open.size() && (m_open[m_firstOpen].fd < 0 || m_firstOpen == except)) ++m_firstOpen;
    if (m_firstOpen >= m_open.size()) return;
    close(m_open[m_firstOpen].fd);
    m_open[m_firstOpen].fd = -1;
    --m_openCount;
  }
}

void PathReader::adopt(size_t level, int fd) {
  m_open[level].fd = fd;
  ++m_openCount;
  evict(level);
}

int PathReader::fdOf(size_t level) {
  if (m_open[level].fd >= 0) return m_open[level].fd;
  size_t j = level;
  while (j > 0 && m_open[j].fd < 0) --j;
  int cur = m_open[j].fd;  // the content path's stays open
  for (size_t k = j + 1; k <= level; ++k) {
    int fd = openDir(cur, m_open[k].name.c_str(), false);
    struct stat st {};
    int err = errno;
    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_ino != m_open[k].ino)) {
      err = fd >= 0 && st.st_ino != m_open[k].ino ? ENOENT : errno;
      close(fd);
      fd = -1;
    }
    if (cur != m_open[j].fd) close(cur);
    if (fd < 0) {
      errno = err;
      return -1;
    }
    cur = fd;
  }
  adopt(level, cur);
  return cur;
}

void PathReader::read(const RemoteDir& dir, size_t known, const WalkOptions& opt, DirBatch& out) {
  out = DirBatch{};
  if (m_followRoot != opt.followRoots) {
    closeFrom(0);
    m_followRoot = opt.followRoots;
  }
  if (known > m_open.size() || dir.levels.empty()) {
    closeFrom(0);
    out.error = EPROTO;
    out.failed = Failed::Open;
    return;
  }
  const size_t depth = known + dir.levels.size() - 1;
  auto level = [&](size_t i) -> const RemoteDir::Level& { return dir.levels[i - known]; };
  // Keep the levels that are still on the way; the rest belong to another branch.
  size_t keep = known;
  while (keep < m_open.size() && keep <= depth && m_open[keep].name == level(keep).name &&
         (keep == depth || m_open[keep].ino == level(keep).ino))
    ++keep;
  closeFrom(keep);
  for (size_t i = m_open.size(); i <= depth; ++i) {
    const int parent = i == 0 ? AT_FDCWD : fdOf(i - 1);
    if (i > 0 && parent < 0) {
      out.error = errno;
      out.failed = Failed::Reopen;
      return;
    }
    std::string name(level(i).name);
    int fd = openDir(parent, name.c_str(), i == 0 && opt.followRoots);
    int err = errno;
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) != 0) {
      err = errno;
      close(fd);
      fd = -1;
    }
    if (fd >= 0 && i < depth && st.st_ino != level(i).ino) {
      err = ENOENT;  // replaced since the walk read it
      close(fd);
      fd = -1;
    }
    if (fd < 0) {
      out.error = err;
      out.failed = i < depth ? Failed::Reopen : Failed::Open;
      return;
    }
    if (i == 0) m_localRootDev = st.st_dev;
    m_open.push_back({std::move(name), st.st_ino, -1});
    adopt(i, fd);
  }
  const int fd = fdOf(depth);
  if (fd < 0 || fstat(fd, &out.st) != 0) {
    out.error = errno;
    out.failed = fd < 0 ? Failed::Reopen : Failed::Open;
    return;
  }
  out.haveStat = true;
  auto mapDev = [&](struct stat& st) {
    if (st.st_dev == m_localRootDev) st.st_dev = dir.rootDev;
  };
  mapDev(out.st);
  const std::unordered_set<dev_t> skip(opt.skipDevices.begin(), opt.skipDevices.end());
  if (depth > 0 && (skip.contains(out.st.st_dev) || (opt.oneFileSystem && out.st.st_dev != dir.rootDev))) {
    out.otherDevice = true;
    return;
  }
  // The listing reads from the descriptor's position: a directory read before (a
  // content path asked for again) starts from its beginning.
  lseek(fd, 0, SEEK_SET);
  listDirectory(fd, out, m_rs, opt);
  for (struct stat& st : out.stats) mapDev(st);
}

size_t HeldLevels::common(const RemoteDir& dir) const {
  // One id is one directory, so a level in common has all its ancestors in common too:
  // the levels in common are found by bisection, not by comparing every one.
  size_t lo = 0, hi = std::min(m_ids.size(), dir.levels.size());
  while (lo < hi) {
    const size_t mid = lo + (hi - lo + 1) / 2;
    if (m_ids[mid - 1] == dir.levels[mid - 1].id) lo = mid;
    else hi = mid - 1;
  }
  return lo;
}

void HeldLevels::update(const RemoteDir& dir, size_t held) {
  const size_t kept = std::min(held, dir.levels.size());
  const size_t same = std::min(common(dir), kept);
  m_ids.resize(kept);
  for (size_t i = same; i < kept; ++i) m_ids[i] = dir.levels[i].id;
}

bool listDirectory(int fd, DirBatch& b, DirReadState& rs, const WalkOptions& opt, size_t maxEntries) {
  rs.children.clear();
  // A chunk overshoots maxEntries by at most one buffer: small chunks read with a buffer
  // to match (room for a record with the longest name at least).
  const size_t bufSize = maxEntries < rs.buf.size() / 32 ? std::max<size_t>(1024, maxEntries * 32) : rs.buf.size();
  bool ended = false;
  while (!ended && b.children.size() < maxEntries) {
    long got = syscall(SYS_getdents64, fd, rs.buf.data(), bufSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      b.error = errno;
      b.failed = Failed::Read;
      ended = true;
      break;
    }
    if (got == 0) {
      ended = true;
      break;
    }
    // Records are 24 bytes plus the name, padded to 8: room for the likely count
    // saves the vectors growing one doubling at a time.
    const size_t likely = b.children.size() + static_cast<size_t>(got) / 40 + 1;
    if (b.children.capacity() < likely) {
      b.children.reserve(likely);
      b.names.reserve(b.names.size() + static_cast<size_t>(got) / 2);
    }
    for (long off = 0; off < got;) {
      auto* d = reinterpret_cast<linux_dirent64*>(rs.buf.data() + off);
      off += d->d_reclen;
      const char* nm = d->d_name;
      if (nm[0] == '.' && (nm[1] == 0 || (nm[1] == '.' && nm[2] == 0))) continue;
      size_t len = strlen(nm);
      DirChild c{static_cast<uint32_t>(b.names.size()), static_cast<uint32_t>(len), typeFromDirent(d->d_type), 0,
                 -1, -1};
      b.names.append(nm, len + 1);
      bool wantStat = c.type == EntryType::Unknown || (c.type == EntryType::Regular && opt.statRegular) ||
                      (c.type != EntryType::Directory && opt.statAll);
      if (wantStat) rs.children.push_back(static_cast<uint32_t>(b.children.size()));
      b.children.push_back(c);
    }
  }
  statChildren(fd, b, rs);
  return !ended;
}

void encodeBatch(const DirBatch& b, std::string& out) {
  WireHeader h{};
  h.error = b.error;
  h.failed = static_cast<uint8_t>(b.failed);
  h.haveStat = b.haveStat;
  h.otherDevice = b.otherDevice;
  h.namesLen = b.names.size();
  h.children = b.children.size();
  h.stats = b.stats.size();
  h.st = b.st;
  out.clear();
  out.reserve(sizeof h + b.names.size() + b.children.size() * sizeof(DirChild) + b.stats.size() * sizeof(struct stat));
  out.append(reinterpret_cast<const char*>(&h), sizeof h);
  out.append(b.names);
  if (!b.children.empty())
    out.append(reinterpret_cast<const char*>(b.children.data()), b.children.size() * sizeof(DirChild));
  if (!b.stats.empty()) out.append(reinterpret_cast<const char*>(b.stats.data()), b.stats.size() * sizeof(struct stat));
}

bool decodeBatch(std::string_view in, DirBatch& out) {
  WireHeader h;
  if (in.size() < sizeof h) return false;
  memcpy(&h, in.data(), sizeof h);
  in.remove_prefix(sizeof h);
  if (h.failed > static_cast<uint8_t>(Failed::Reopen)) return false;
  if (h.namesLen > in.size() || h.children > (in.size() - h.namesLen) / sizeof(DirChild)) return false;
  const size_t rest = in.size() - h.namesLen - h.children * sizeof(DirChild);
  if (h.stats > rest / sizeof(struct stat) || rest != h.stats * sizeof(struct stat)) return false;
  out.error = h.error;
  out.failed = static_cast<Failed>(h.failed);
  out.haveStat = h.haveStat != 0;
  out.otherDevice = h.otherDevice != 0;
  out.st = h.st;
  out.names.assign(in.data(), h.namesLen);
  in.remove_prefix(h.namesLen);
  // An empty vector's data() may be null, which memcpy does not take even for 0 bytes.
  out.children.resize(h.children);
  if (h.children) memcpy(out.children.data(), in.data(), h.children * sizeof(DirChild));
  in.remove_prefix(h.children * sizeof(DirChild));
  out.stats.resize(h.stats);
  if (h.stats) memcpy(out.stats.data(), in.data(), h.stats * sizeof(struct stat));
  // A child must point inside the names and the stats, or the recorder would read past them.
  for (const DirChild& c : out.children) {
    if (c.nameLen == 0 || static_cast<uint64_t>(c.nameOff) + c.nameLen >= out.names.size()) return false;
    if (out.names[c.nameOff + c.nameLen] != '\0') return false;
    // One name of this folder, never a way out of it.
    const std::string_view name(out.names.data() + c.nameOff, c.nameLen);
    if (name == "." || name == ".." || name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) return false;
    if (c.statIdx < -1 || (c.statIdx >= 0 && static_cast<size_t>(c.statIdx) >= out.stats.size())) return false;
    if (static_cast<uint8_t>(c.type) > static_cast<uint8_t>(EntryType::BlockDevice)) return false;
  }
  return true;
}

}  // namespace ifind
