#include "ifind/ScanState.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>

#include "hostservices/FileUtil.h"
#include "hostservices/SafeOpen.h"
#include "ifind/Options.h"

namespace ifind {

using nlohmann::json;

namespace {

std::string scansDir(const std::string& jobDir) { return jobDir + "/scans"; }
std::string dirsPath(const std::string& jobDir, long long id) {
  return scansDir(jobDir) + "/" + std::to_string(id) + ".dirs";
}
std::string failedPath(const std::string& jobDir, long long id) {
  return scansDir(jobDir) + "/" + std::to_string(id) + ".failed";
}

// A field of a record line, nullopt when missing or of another type: a damaged line
// is passed over, never trusted.
template <typename T>
std::optional<T> field(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end()) return std::nullopt;
  if constexpr (std::is_same_v<T, std::string>) {
    if (it->is_string()) return it->get<std::string>();
  } else {
    if (it->is_number_integer()) return it->get<T>();
  }
  return std::nullopt;
}

// The readable records of scans.jsonl in order; lines, when given, receives the text of
// each and lineCount the number of lines read, damaged ones included.
std::vector<ScanRecord> readRecords(const std::string& jobDir, std::vector<std::string>* lines = nullptr,
                                    size_t* lineCount = nullptr) {
  std::vector<ScanRecord> records;
  std::ifstream in(jobDir + "/scans.jsonl");
  std::string line;
  while (std::getline(in, line)) {
    if (lineCount) ++*lineCount;
    json j = json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    auto id = field<long long>(j, "jobId");
    auto status = field<std::string>(j, "status");
    auto type = field<int>(j, "backupType");
    auto ref = field<int64_t>(j, "referenceTime");
    auto sel = field<std::string>(j, "selection");
    if (!id || !status || !type || !ref || !sel || (*status != "success" && *status != "partial")) continue;
    ScanRecord r{*id, *status == "partial", *type, *ref, *sel, {}, {}};
    for (auto [key, list] : {std::pair{"contentPaths", &r.roots}, std::pair{"collectFiles", &r.collectFiles}}) {
      auto it = j.find(key);
      if (it == j.end() || !it->is_array()) continue;
      for (const json& p : *it)
        if (p.is_string()) list->push_back(p.get<std::string>());
    }
    records.push_back(std::move(r));
    if (lines) lines->push_back(line);
  }
  return records;
}

// Stale lines (records no scan can use any more, damaged lines) that scans.jsonl may
// gather before it is rewritten without them: every scan reads the whole file, and a
// subclient scanned hourly would otherwise add a megabyte a year to each start.
constexpr size_t kStaleRecordLines = 64;

// Rewrites scans.jsonl with only these lines, through a new file renamed over it: a
// crash leaves the old file or the new one, never a part.
void rewriteRecords(const std::string& jobDir, const std::vector<std::string>& lines) {
  const std::string path = jobDir + "/scans.jsonl", fresh = path + ".new";
  unlink(fresh.c_str());
  int fd = kzhost::openFileAt(AT_FDCWD, fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) return;  // the file only stays longer
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (::close(fd) == 0 && ok && rename(fresh.c_str(), path.c_str()) == 0) return;
  unlink(fresh.c_str());
}

// Reads the lines of one of our files; false when it is missing or unreadable.
bool readLines(const std::string& path, const std::function<bool(std::string_view)>& take) {
  FILE* f = kzhost::openStreamAt(AT_FDCWD, path.c_str(), "r");
  if (!f) return false;
  // Not stdio's own small buffer at whatever offset the heap gives: see pageAlignedBuffer.
  constexpr size_t kStreamBuf = 64 * 1024;
  kzhost::PageBuffer streamBuf = kzhost::pageAlignedBuffer(kStreamBuf);
  setvbuf(f, streamBuf.get(), _IOFBF, kStreamBuf);
  char* buf = nullptr;
  size_t cap = 0;
  ssize_t n;
  bool ok = true;
  while (ok && (n = getline(&buf, &cap, f)) > 0) {
    std::string_view line(buf, static_cast<size_t>(n));
    if (line.back() != '\n') {
      ok = false;  // cut short: the file was not finished
      break;
    }
    line.remove_suffix(1);
    ok = take(line);
  }
  if (ferror(f)) ok = false;
  free(buf);
  fclose(f);
  return ok;
}

}  // namespace

uint64_t pathHash(std::string_view path) {
  // FNV-1a, 64 bits: stable across processes, unlike std::hash.
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : path) h = (h ^ c) * 1099511628211ull;
  return h;
}

std::string selectionKey(const std::vector<std::string>& roots, const std::vector<std::string>& excludes,
                         const std::string& filterText, bool oneFileSystem, bool followRoots) {
  std::string all;
  for (const std::string& r : roots) all += "root " + r + '\0';
  for (const std::string& e : excludes) all += "exclude " + e + '\0';
  all += "filters " + filterText + '\0';
  all += oneFileSystem ? "one-file-system\0" : "all-file-systems\0";
  all += followRoots ? "follow-roots" : "links-as-links";
  char hex[17];
  snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(pathHash(all)));
  return hex;
}

std::optional<ScanBase> findBase(const std::string& jobDir, int backupType, const std::string& selection,
                                 std::string& why) {
  std::vector<ScanRecord> records = readRecords(jobDir);
  // An incremental follows the last scan of any type, a differential the last full.
  auto base = std::find_if(records.rbegin(), records.rend(),
                           [&](const ScanRecord& r) { return backupType == 2 || r.backupType == 1; });
  if (base == records.rend()) {
    why = backupType == 2 ? "no earlier scan of these paths" : "no earlier full scan of these paths";
    return std::nullopt;
  }
  if (base->selection != selection) {
    why = "what is selected (paths, excludes, filters or file-system options) changed since job " +
          std::to_string(base->jobId);
    return std::nullopt;
  }
  ScanBase out;
  out.jobId = base->jobId;
  out.referenceTime = base->referenceTime;
  bool ok = readLines(dirsPath(jobDir, base->jobId), [&](std::string_view line) {
    unsigned long long dev = 0, ino = 0;
    int used = 0;
    std::string head(line.substr(0, std::min<size_t>(line.size(), 48)));
    if (sscanf(head.c_str(), "%llu %llu %n", &dev, &ino, &used) != 2 || used <= 0) return false;
    out.dirs.insert({dev, ino, pathHash(unescapeFileName(line.substr(static_cast<size_t>(used))))});
    return true;
  });
  if (!ok) {
    why = "the directory list of job " + std::to_string(base->jobId) + " is missing or damaged";
    return std::nullopt;
  }
  // What the base and every scan since could not take is still owed.
  for (auto it = base.base() - 1; it != records.end(); ++it) {
    if (!it->partial) continue;
    if (!readLines(failedPath(jobDir, it->jobId), [&](std::string_view line) {
          out.carried.insert(unescapeFileName(line));
          return true;
        })) {
      why = "the failures list of job " + std::to_string(it->jobId) + " is missing or damaged";
      return std::nullopt;
    }
  }
  return out;
}

ScanStateWriter::~ScanStateWriter() { close(); }

HeldOutputs::HeldOutputs(const std::string& jobDir) {
  DIR* d = opendir(jobDir.c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    if ((e->d_type != DT_REG && e->d_type != DT_UNKNOWN) || m_fds.size() >= kMost) continue;
    // A path descriptor: it opens nothing (no FIFO can block it) and follows no link.
    const int fd = openat(dirfd(d), e->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= kLarge) m_fds.push_back(fd);
    else ::close(fd);
  }
  closedir(d);
}

HeldOutputs::~HeldOutputs() {
  for (int fd : m_fds) ::close(fd);
  if (m_thread.joinable()) m_thread.join();
}

void HeldOutputs::releaseInBackground() {
  if (m_fds.empty() || m_thread.joinable()) return;
  try {
    m_thread = std::thread([fds = m_fds] {
      for (int fd : fds) ::close(fd);
    });
    m_fds.clear();
  } catch (const std::system_error&) {
    // No thread to be had: the destructor lets go of them.
  }
}

bool ScanStateWriter::open(const std::string& jobDir, long long jobId) {
  const std::string dir = scansDir(jobDir);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  m_dirs = kzhost::openStreamAt(AT_FDCWD, dirsPath(jobDir, jobId).c_str(), "w");
  m_failed = m_dirs ? kzhost::openStreamAt(AT_FDCWD, failedPath(jobDir, jobId).c_str(), "w") : nullptr;
  m_ok = m_dirs && m_failed;
  return m_ok;
}

void ScanStateWriter::addDir(dev_t dev, ino_t ino, std::string_view path) {
  if (!m_dirs) return;
  char head[48];
  int n = snprintf(head, sizeof head, "%llu %llu ", static_cast<unsigned long long>(dev),
                   static_cast<unsigned long long>(ino));
  m_line.assign(head, static_cast<size_t>(n));
  appendEscapedFileName(m_line, path);
  m_line.push_back('\n');
  if (fwrite(m_line.data(), 1, m_line.size(), m_dirs) != m_line.size()) m_ok = false;
}

void ScanStateWriter::addFailed(std::string_view path) {
  if (!m_failed) return;
  m_line.clear();
  appendEscapedFileName(m_line, path);
  m_line.push_back('\n');
  if (fwrite(m_line.data(), 1, m_line.size(), m_failed) != m_line.size()) m_ok = false;
}

bool ScanStateWriter::close() {
  // Both lists go to the disk at once; the second fsync then mostly finds its data written.
  for (FILE** f : {&m_dirs, &m_failed}) {
    if (!*f) continue;
    if (ferror(*f) || fflush(*f) != 0) m_ok = false;
    else (void)sync_file_range(fileno(*f), 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  for (FILE** f : {&m_dirs, &m_failed}) {
    if (!*f) continue;
    if (ferror(*f) || fsync(fileno(*f)) != 0) m_ok = false;
    if (fclose(*f) != 0) m_ok = false;
    *f = nullptr;
  }
  return m_ok;
}

bool recordScan(const std::string& jobDir, const ScanRecord& r) {
  json j = {{"jobId", r.jobId},
            {"status", r.partial ? "partial" : "success"},
            {"backupType", r.backupType},
            {"referenceTime", r.referenceTime},
            {"selection", r.selection},
            {"contentPaths", r.roots},
            {"collectFiles", r.collectFiles}};
  std::string line = j.dump() + "\n";
  int fd = kzhost::openFileAt(AT_FDCWD, (jobDir + "/scans.jsonl").c_str(), O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) return false;
  // Not synced: the lists it names already are, and a line lost in a crash only makes the
  // next incremental compare with an earlier scan (or run as a full one) and take more.
  bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  if (!ok) return false;

  // Only the last full and what came after it can still be a base or owe entries.
  std::vector<std::string> lines;
  size_t lineCount = 0;
  std::vector<ScanRecord> records = readRecords(jobDir, &lines, &lineCount);
  auto lastFull = std::find_if(records.rbegin(), records.rend(), [](const ScanRecord& x) { return x.backupType == 1; });
  const auto firstKept = lastFull == records.rend() ? records.begin() : lastFull.base() - 1;
  std::set<long long> keep;
  for (auto it = firstKept; it != records.end(); ++it) keep.insert(it->jobId);
  keep.insert(r.jobId);
  const size_t kept = static_cast<size_t>(records.end() - firstKept);
  if (lineCount - kept >= kStaleRecordLines)
    rewriteRecords(jobDir, std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(kept), lines.end()));
  const std::string dir = scansDir(jobDir);
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      size_t dot = name.find('.');
      if (dot == std::string::npos || dot == 0) continue;
      std::string ext = name.substr(dot);
      if (ext != ".dirs" && ext != ".failed") continue;
      long long id = atoll(name.c_str());
      if (std::to_string(id) == name.substr(0, dot) && !keep.contains(id)) unlinkat(dirfd(d), name.c_str(), 0);
    }
    closedir(d);
  }
  return true;
}

bool noteListsOwner(const std::string& jobDir, long long jobId) {
  const std::string text = std::to_string(jobId) + "\n";
  int fd = kzhost::openFileAt(AT_FDCWD, (jobDir + "/lists-of").c_str(), O_WRONLY | O_CREAT);
  if (fd < 0) return false;
  bool ok = kzhost::overwriteFile(fd, text.data(), text.size());
  return ::close(fd) == 0 && ok;
}

int listScan(const std::string& jobDir, long long jobId, char sep, bool filesOnly, FILE* out, FILE* err) {
  std::vector<ScanRecord> records = readRecords(jobDir);
  auto rec = std::find_if(records.rbegin(), records.rend(),
                          [&](const ScanRecord& r) { return jobId == 0 || r.jobId == jobId; });
  if (rec == records.rend()) {
    fprintf(err, jobId ? "ifind: job %lld is no recorded scan of these paths\n" : "ifind: no recorded scan of these paths\n",
            jobId);
    return 1;
  }
  long long owner = 0;
  readLines(jobDir + "/lists-of", [&](std::string_view line) {
    owner = atoll(std::string(line).c_str());
    return true;
  });
  if (owner != rec->jobId) {
    fprintf(err, "ifind: the lists of job %lld were replaced by those of job %lld\n", rec->jobId, owner);
    return 1;
  }
  auto inside = [&](const std::string& p) {
    return std::any_of(rec->roots.begin(), rec->roots.end(), [&](const std::string& r) { return atOrBelow(p, r); });
  };
  for (const std::string& file : rec->collectFiles) {
    bool ok = readLines(file, [&](std::string_view line) {
      // A leading "-" marks a file with an AppleDouble companion; paths begin with "/".
      if (line.starts_with("-/")) line.remove_prefix(1);
      std::string path = unescapeFileName(line);
      if (!inside(path)) return true;  // the folders above the content paths
      struct stat st {};
      if (filesOnly && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
      fwrite(path.data(), 1, path.size(), out);
      fputc(sep, out);
      return true;
    });
    if (!ok) {
      fprintf(err, "ifind: %s of job %lld is missing or cut short\n", file.c_str(), rec->jobId);
      return 1;
    }
  }
  return fflush(out) == 0 && !ferror(out) ? 0 : 1;
}

}  // namespace ifind
