// What the reference scanner records for each entry the walker yields.
#include "ifind/ScanHost.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "hostservices/FileUtil.h"
#include "hostservices/LocalPlatform.h"
#include "ifind/Options.h"

namespace ifind {

namespace {

double monotonicSeconds() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}


}  // namespace

bool isScannerFault(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS || error == EBADF ||
         error == EFAULT || error == ECOMM;  // ECOMM: a reading rank of a distributed scan failed
}

bool isPseudoFileSystem(const std::string& type) {
  static const char* const kPseudo[] = {
      "proc",     "sysfs",     "devtmpfs",  "devpts",      "cgroup",   "cgroup2", "securityfs", "debugfs",
      "tracefs",  "pstore",    "bpf",       "mqueue",      "hugetlbfs", "configfs", "fusectl",   "autofs",
      "binfmt_misc", "efivarfs", "nsfs",    "rpc_pipefs",  "selinuxfs", "sockfs",  "pipefs",     "anon_inodefs",
      "nfsd",     "fuse.gvfsd-fuse", "fuse.portal"};
  for (const char* p : kPseudo)
    if (type == p) return true;
  return false;
}

std::vector<std::string> automountsBelow(const std::vector<mntfs_ent>& mounts, const std::vector<std::string>& roots) {
  std::vector<std::string> out;
  for (const mntfs_ent& m : mounts) {
    if (m.mnt_type != "autofs") continue;
    // One inside /proc (systemd's binfmt_misc) is never reached anyway.
    const bool inPseudo = std::any_of(mounts.begin(), mounts.end(), [&](const mntfs_ent& p) {
      return p.mnt_type != "autofs" && isPseudoFileSystem(p.mnt_type) && p.mnt_dir != m.mnt_dir && atOrBelow(m.mnt_dir, p.mnt_dir);
    });
    if (inPseudo) continue;
    const bool below = std::any_of(roots.begin(), roots.end(), [&](const std::string& r) { return atOrBelow(m.mnt_dir, r); }) &&
                       std::find(roots.begin(), roots.end(), m.mnt_dir) == roots.end();
    const bool inOuter = std::any_of(out.begin(), out.end(), [&](const std::string& o) { return atOrBelow(m.mnt_dir, o); });
    if (below && !inOuter) {
      std::erase_if(out, [&](const std::string& o) { return atOrBelow(o, m.mnt_dir); });
      out.push_back(m.mnt_dir);
    }
  }
  return out;
}

std::string unescapeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
        octal(field[i + 2]) && octal(field[i + 3])) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<MountInfo> parseMountInfo(const std::string& text) {
  std::vector<MountInfo> mounts;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mountpoint options [optional...] - type source superoptions
    std::vector<std::string_view> f;
    std::string_view rest(line);
    while (!rest.empty()) {
      size_t sp = rest.find(' ');
      std::string_view tok = rest.substr(0, sp);
      if (!tok.empty()) f.push_back(tok);
      if (sp == std::string_view::npos) break;
      rest.remove_prefix(sp + 1);
    }
    if (f.size() < 7) continue;
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (dash + 1 >= f.size()) continue;
    unsigned maj = 0, min = 0;
    if (sscanf(std::string(f[2]).c_str(), "%u:%u", &maj, &min) != 2) continue;
    MountInfo m;
    m.dev = makedev(maj, min);
    m.entry.mnt_dir = unescapeMountField(f[4]);
    m.entry.mnt_type = unescapeMountField(f[dash + 1]);
    if (dash + 2 < f.size()) m.entry.mnt_fsname = unescapeMountField(f[dash + 2]);
    mounts.push_back(std::move(m));
  }
  return mounts;
}

std::string humanBytes(uint64_t bytes) {
  static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 5) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", v, units[u]);
  return buf;
}

ScanHost::ScanHost(ScanConfig config) : m_config(std::move(config)) {
  for (const std::string& p : m_config.excludes) m_excludes.add(p);
}

ScanHost::~ScanHost() {
  if (m_failuresFp) fclose(m_failuresFp);
}

void ScanHost::loadMounts() {
  std::ifstream in("/proc/self/mountinfo");
  std::stringstream ss;
  ss << in.rdbuf();
  m_mounts.clear();
  m_pseudoDevices.clear();
  for (MountInfo& m : parseMountInfo(ss.str())) {
    if (isPseudoFileSystem(m.entry.mnt_type)) m_pseudoDevices.push_back(m.dev);
    m_mounts.push_back(std::move(m.entry));
  }
}

int ScanHost::loadFilterFile() {
  if (!m_files.filterFile[0]) return 0;
  std::ifstream in(m_files.filterFile);
  std::string line;
  int taken = 0;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    m_excludes.add(line.substr(start));
    ++taken;
  }
  return taken;
}

bool ScanHost::filtered(const WalkEntry& e) {
  return !m_excludes.empty() && m_excludes.excluded(e.path, m_root, e.type == EntryType::Directory);
}

bool ScanHost::CheckIfFileisFilteredOut(const char* path) {
  if (!path || m_excludes.empty()) return false;
  std::string_view p(path);
  for (const std::string& root : m_config.roots) {
    if (p == root || !atOrBelow(p, root)) continue;
    struct stat st {};
    return m_excludes.excluded(p, root, lstat(path, &st) == 0 && S_ISDIR(st.st_mode));
  }
  return false;
}

// A folder left out as a whole (it holds an --exclude-if-present name), or one whose
// content is (a cache tagged by CACHEDIR.TAG).
bool ScanHost::excludedFolder(const WalkEntry& e, DirState& d) {
  if (m_config.excludeIfPresent.empty() && !m_config.excludeCaches) return false;
  m_scratch.assign(e.path);
  m_scratch.push_back('/');
  const size_t base = m_scratch.size();
  struct stat st {};
  for (const std::string& name : m_config.excludeIfPresent) {
    m_scratch.resize(base);
    m_scratch += name;
    if (lstat(m_scratch.c_str(), &st) == 0) return true;
  }
  if (m_config.excludeCaches) {
    static constexpr char kSignature[] = "Signature: 8a477f597d28d172789f06886806bc55";
    m_scratch.resize(base);
    m_scratch += "CACHEDIR.TAG";
    // Only a regular file is opened: opening a device has effects of its own (a tape rewinds).
    int fd = lstat(m_scratch.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                 ? open(m_scratch.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                 : -1;
    if (fd >= 0) {
      char buf[sizeof kSignature - 1];
      d.cache = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read(fd, buf, sizeof buf) == sizeof buf &&
                memcmp(buf, kSignature, sizeof buf) == 0;
      close(fd);
    }
  }
  return false;
}

void ScanHost::DecideIfNewMountPoint(const char* path, bool) {
  dev_t dev = m_entryDev;
  if (m_finishing) {
    // Ancestor lines at the finish: the directory's own file system, when the walk met it.
    // While the walk met one file system at most and its collect file is the current
    // one, every answer below leaves m_curCollectNum as it is: skip the lstat.
    if (m_curCollectNum != 0 &&
        (m_devCollect.empty() || (m_devCollect.size() == 1 && m_devCollect.begin()->second == m_curCollectNum)))
      return;
    struct stat st {};
    if (!path || lstat(path, &st) != 0 || !m_devCollect.contains(st.st_dev)) {
      if (m_curCollectNum == 0) m_curCollectNum = m_nextCollectNum++;
      return;
    }
    dev = st.st_dev;
  }
  if (m_curCollectNum != 0 && dev == m_lastDev) return;
  auto [it, added] = m_devCollect.try_emplace(dev, 0);
  if (added) it->second = m_nextCollectNum++;
  m_curCollectNum = it->second;
  m_lastDev = dev;
}

void ScanHost::processIfindInterruption() {
  KzFind::processIfindInterruption();
  m_stop.store(true, std::memory_order_relaxed);
}

void ScanHost::reportFailFile(const char* first, const char* second) {
  KzFind::reportFailFile(first, second);
  ++m_stats.failures;
  if (!m_failuresFp && m_files.failuresFile[0]) m_failuresFp = fopen_utf(m_files.failuresFile, "a");
  std::string line = escapeFileName(second ? second : "");
  line += '|';
  line += first ? first : "";
  line += '\n';
  // A short list would tell the user every other file was saved: count what it missed.
  if (!m_failuresFp || fwrite(line.data(), 1, line.size(), m_failuresFp) != line.size()) ++m_stats.unlisted;
}

void ScanHost::closeFailures() {
  if (!m_failuresFp) return;
  // Lines still buffered are lost when the flush fails; which ones is unknown, so all
  // of the file counts as unlisted.
  bool ok = !ferror(m_failuresFp);
  if (fclose(m_failuresFp) != 0) ok = false;
  m_failuresFp = nullptr;
  if (!ok) {
    m_event.debug(1, "Failed to write the failures file %s, errno %d", m_files.failuresFile, errno);
    m_stats.unlisted = m_stats.failures;
  }
}

CLoError ScanHost::Finish() {
  clearProgress();
  closeFailures();
  // The local platform sizes the streams, and so the split's pieces, by what was recorded.
  if (auto* local = dynamic_cast<kzhost::LocalPlatform*>(&kzhost::Platform::current())) {
    unsigned long long bytes = 0;
    for (const auto& [number, info] : m_collectInfo)
      if (info.totalSize > 0) bytes += static_cast<unsigned long long>(info.totalSize);
    local->setRecordedBytes(bytes);
  }
  m_finishing = true;
  CLoError result = KzFind::Finish();
  m_finishing = false;
  return result;
}

bool ScanHost::newer(const struct stat* st) const {
  if (!st) return true;  // unknown times: take it rather than lose it
  // Times have whole seconds here: an entry changed in the very second the reference
  // scan started may have changed after that scan read it, so that second counts too.
  return st->st_mtime >= m_config.referenceTime || st->st_ctime >= m_config.referenceTime;
}

bool ScanHost::owed(std::string_view path) const {
  const ScanBase* base = m_config.base;
  return base && !base->carried.empty() && base->carried.contains(std::string(path));
}

void ScanHost::fail(const WalkEntry& e) {
  std::string reason = failedName(e.failed);
  reason += ": ";
  reason += strerror(e.error);
  reportFailFile(reason.c_str(), e.path.data());
  std::string shown = std::string(e.path) + ": " + reason;
  if (isScannerFault(e.error)) {
    if (m_stats.scannerErrors++ == 0) m_stats.scannerError = shown;
    return;
  }
  if (e.depth == 0) return;  // a content path that fails fails the scan
  ++m_stats.entryFailures;
  if (m_config.state) m_config.state->addFailed(e.path);
  if (m_stats.firstFailures.size() < 5) m_stats.firstFailures.push_back(std::move(shown));
}

const ScanStats& ScanHost::scan() {
  m_incremental = m_backupType == 2 || m_backupType == 4;
  m_stats = ScanStats{};
  m_started = monotonicSeconds();
  // The failures file describes this scan only.
  if (m_files.failuresFile[0]) unlink(m_files.failuresFile);

  WalkOptions opt;
  opt.statRegular = true;
  opt.statAll = m_incremental;
  opt.oneFileSystem = m_config.oneFileSystem;
  if (m_config.skipPseudoFileSystems) {
    opt.skipDevices = m_pseudoDevices;
    if (!m_config.oneFileSystem) m_stats.automountsNotEntered = automountsBelow(m_mounts, m_config.roots);
  }
  opt.threads = m_config.threads;
  opt.maxThreads = m_config.maxThreads;
  opt.statMode = m_config.statMode;
  opt.statKnown = m_config.statKnown;
  opt.followRoots = m_config.followRoots;
  opt.remote = m_config.remote;
  WalkResult r = walk(m_config.roots, opt, [this](const WalkEntry& e) { return visit(e); });

  m_stats.interrupted = r.stopped || m_stop.load();
  m_stats.statStrategy = r.statStrategy;
  m_stats.statTimed = r.statTimed;
  m_stats.readers = r.readers;
  m_stats.seconds = monotonicSeconds() - m_started;
  clearProgress();
  // A scan that could not take an entry through no fault of that entry has a gap no
  // later scan would know of: it fails. Failures of entries are listed and owed.
  m_scanSucceeded = !m_stats.interrupted && !m_stats.missingRoot && m_stats.writeErrors == 0 &&
                    m_stats.scannerErrors == 0;
  return m_stats;
}

Action ScanHost::visit(const WalkEntry& e) {
  if (m_stop.load(std::memory_order_relaxed)) return Action::Stop;
  switch (e.visit) {
    case Visit::Entry:
      return onEntry(e);
    case Visit::DirEnter:
      return onDirEnter(e);
    case Visit::DirListed:
      // A listing that failed after more than a chunk of entries: the entries read were
      // recorded, the folder is owed to the next scan like any failed entry.
      if (e.error) {
        failRoot(e);
        fail(e);
      }
      return Action::Continue;
    case Visit::DirLeave:
      onDirLeave(e);
      return Action::Continue;
  }
  return Action::Continue;
}

Action ScanHost::onEntry(const WalkEntry& e) {
  ++m_stats.entries;
  if (m_config.progress && (++m_tick & 1023) == 0) progressTick(e.path, false);
  DirState* parent = e.depth > 0 && static_cast<size_t>(e.depth) <= m_dirs.size() ? &m_dirs[e.depth - 1] : nullptr;
  auto leftOut = [&] { return e.depth > 0 && (filtered(e) || (parent && parent->cache && e.name != "CACHEDIR.TAG")); };
  if (e.error) {
    // Listed but not readable, it is still there: a changed folder's entries must name
    // it, or the next phase would take it for deleted. One gone since the listing is not.
    if (parent && parent->changed && e.error != ENOENT && !leftOut() && addToDirchange(e.path.data(), true) != 0)
      ++m_stats.writeErrors;
    failRoot(e);
    fail(e);
    return Action::Continue;
  }
  if (e.depth == 0) m_root.assign(e.path);
  if (leftOut()) {
    ++m_stats.excluded;
    return Action::Prune;
  }
  if (parent && parent->changed) {
    if (addToDirchange(e.path.data(), true) != 0) ++m_stats.writeErrors;
  }
  if (e.type == EntryType::Directory) return Action::Continue;

  if (m_incremental && !newer(e.st) && !(parent && parent->takeAll) && !owed(e.path)) {
    ++m_stats.unchanged;
    return Action::Continue;
  }
  long long size = e.type == EntryType::Regular && e.st ? static_cast<long long>(e.st->st_size) : 0;
  m_entryDev = e.st ? e.st->st_dev : (parent ? parent->dev : 0);
  if (addToCollect(e.path.data(), size) != 0) {
    ++m_stats.writeErrors;
    return Action::Continue;
  }
  ++m_stats.files;
  m_stats.bytes += static_cast<uint64_t>(size);
  if (parent) {
    parent->want = true;
  } else {
    collectAncestors(e.path.data());  // a content path that is a file
  }
  return Action::Continue;
}

void ScanHost::failRoot(const WalkEntry& e) {
  if (e.depth != 0) return;
  m_stats.missingRoot = true;
  fprintf(stderr, "ifind: cannot scan '%.*s': %s\n", static_cast<int>(e.path.size()), e.path.data(),
          strerror(e.error));
}

Action ScanHost::onDirEnter(const WalkEntry& e) {
  if (m_dirs.size() <= static_cast<size_t>(e.depth)) m_dirs.resize(e.depth + 1);
  DirState& d = m_dirs[e.depth];
  d = DirState{};
  if (e.st) d.dev = e.st->st_dev;
  if (e.error) {
    failRoot(e);
    fail(e);
    // The entries read before a read error are still recorded.
    if (e.failed != Failed::Read) return Action::Prune;
  }
  if (!e.otherDevice && excludedFolder(e, d)) {
    ++m_stats.excluded;
    d = DirState{};  // not even its own line
    return Action::Prune;
  }
  ++m_stats.directories;
  if (m_jobCtrl && m_jobCtrl->checkQuitFlag()) {
    processIfindInterruption();
    return Action::Stop;
  }
  if (m_incremental && e.st) {
    // A directory the base never saw at this path (made, moved or renamed in: its
    // entries keep their old times) or one the base could not read is taken whole.
    const ScanBase* base = m_config.base;
    d.takeAll = (e.depth > 0 && m_dirs[e.depth - 1].takeAll) ||
                (base && (!base->dirs.contains({static_cast<uint64_t>(e.st->st_dev),
                                                static_cast<uint64_t>(e.st->st_ino), pathHash(e.path)}) ||
                          owed(e.path)));
    if (d.takeAll && (e.depth == 0 || !m_dirs[e.depth - 1].takeAll)) ++m_stats.takenWhole;
  }
  d.changed = m_incremental && e.st && (d.takeAll || newer(e.st));
  d.want = !m_incremental || d.changed;
  if (e.otherDevice) return Action::Prune;
  // A cache's files were left out: once it is no cache, the next incremental must take it whole.
  if (m_config.state && e.st && !e.error && !d.cache) m_config.state->addDir(e.st->st_dev, e.st->st_ino, e.path);
  if (d.changed) {
    if (addToDirchange(e.path.data(), false) != 0) ++m_stats.writeErrors;
  }
  if (m_config.progress) progressTick(e.path, false);
  return Action::Continue;
}

void ScanHost::onDirLeave(const WalkEntry& e) {
  if (static_cast<size_t>(e.depth) >= m_dirs.size()) return;
  DirState& d = m_dirs[e.depth];
  if (d.want && !d.covered) {
    // A path inside the directory makes collectAncestors remember the directory itself.
    m_scratch.assign(e.path);
    if (m_scratch.empty() || m_scratch.back() != '/') m_scratch.push_back('/');
    m_scratch.push_back('.');
    collectAncestors(m_scratch.c_str());
    d.covered = true;
  }
  if (d.covered && e.depth > 0) m_dirs[e.depth - 1].covered = true;
  d = DirState{};
}

void ScanHost::progressTick(std::string_view path, bool force) {
  double now = monotonicSeconds();
  if (!force && now - m_lastDraw < 0.25) return;
  m_lastDraw = now;
  struct winsize ws {};
  int width = ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
  double elapsed = now - m_started;
  char head[160];
  int n = snprintf(head, sizeof head, "%llu entries, %llu dirs, %s, %.0f/s ",
                   static_cast<unsigned long long>(m_stats.entries),
                   static_cast<unsigned long long>(m_stats.directories), humanBytes(m_stats.bytes).c_str(),
                   elapsed > 0 ? static_cast<double>(m_stats.entries) / elapsed : 0.0);
  std::string line(head, std::max(n, 0));
  int room = width - 1 - static_cast<int>(line.size());
  if (room > 4) {
    // The end of the path says most; cut at a character boundary and keep it printable.
    std::string shown;
    if (static_cast<int>(path.size()) > room) {
      size_t start = path.size() - static_cast<size_t>(room - 3);
      while (start < path.size() && (static_cast<unsigned char>(path[start]) & 0xC0) == 0x80) ++start;
      shown = "..." + std::string(path.substr(start));
    } else {
      shown.assign(path);
    }
    for (char& c : shown)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    line += shown;
  }
  fprintf(stderr, "\r\033[K%s", line.c_str());
  fflush(stderr);
  m_drawn = true;
}

void ScanHost::clearProgress() {
  if (!m_drawn) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  m_drawn = false;
}

}  // namespace ifind
