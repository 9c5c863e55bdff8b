#include "hostservices/LocalPlatform.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <sstream>

#include "hostservices/SafeOpen.h"
#include "hostservices/Subclient.h"

namespace kzhost {

using nlohmann::json;

namespace {

// Makes the missing folders of dir. Only for the folders above the home: they are the
// user's own choice and are taken as they are.
bool makeDirs(const std::string& dir, mode_t mode) {
  if (dir.empty()) return false;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) makeDirs(dir.substr(0, slash), mode);
  return ::mkdir(dir.c_str(), mode) == 0 || errno == EEXIST;
}

// Closes a descriptor on every path out of a scope.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// path without its last component and that component ("a/b/c" -> "a/b", "c").
std::pair<std::string_view, std::string_view> splitLast(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view(), path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

std::string envText(const char* name) {
  const char* v = getenv(name);
  return v ? std::string(v) : std::string();
}

std::string defaultHome() {
  std::string home = envText("KZFIND_HOME");
  if (!home.empty()) return home;
  std::string xdg = envText("XDG_STATE_HOME");
  if (!xdg.empty()) return xdg + "/kzfind";
  std::string user = envText("HOME");
  if (user.empty()) {
    if (struct passwd* pw = getpwuid(getuid())) user = pw->pw_dir ? pw->pw_dir : "";
  }
  // No shared fallback such as /tmp: another user could have made the folder there first.
  if (user.empty()) return std::string();
  return user + "/.local/state/kzfind";
}

// "2026-12-06T16:00:43.123Z"
std::string timestamp() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  gmtime_r(&ts.tv_sec, &tm);
  char buf[40];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ts.tv_nsec / 1000000));
  return buf;
}

std::string dumpJson(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json maybeText(const char* s) { return s ? json(s) : json(nullptr); }

// The value after the token "-r" in a parameter string, or 0 when there is none.
long long referenceTimeOf(const std::string& params) {
  std::istringstream in(params);
  std::string token;
  while (in >> token) {
    if (token != "-r") continue;
    std::string value;
    if (!(in >> value)) return 0;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(value.c_str(), &end, 10);
    if (errno || end == value.c_str() || *end != '\0') return 0;
    return v;
  }
  return 0;
}

// Parses "major:minor"; false when the text is not of that form.
bool parseAppId(const std::string& appId, uint32_t& major, uint32_t& minor) {
  unsigned long long a = 0, b = 0;
  char tail = 0;
  if (sscanf(appId.c_str(), "%llu:%llu%c", &a, &b, &tail) != 2) return false;
  if (a > UINT32_MAX || b > UINT32_MAX) return false;
  major = static_cast<uint32_t>(a);
  minor = static_cast<uint32_t>(b);
  return true;
}

template <size_t N>
bool setField(char (&field)[N], const std::string& text) {
  if (text.size() >= N) return false;
  memcpy(field, text.c_str(), text.size() + 1);
  return true;
}

// Writes a whole line in one call where the system allows, retrying the rest.
bool writeLine(int fd, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The whole content of an open regular file (short when a read fails).
std::string readAll(int fd) {
  std::string text;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buf, static_cast<size_t>(n));
  }
}

std::string octalMode(mode_t mode) {
  char buf[8];
  snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

// Whether another user could change the folder: it belongs to neither this user nor root,
// or group or others may write to it. With stickyGuards a sticky bit (as on /tmp) is
// enough: others may then rename only what is theirs.
bool othersMayChange(const struct stat& st, bool stickyGuards) {
  const uid_t me = geteuid();
  const bool writable = (st.st_mode & 022) != 0 && !(stickyGuards && (st.st_mode & S_ISVTX));
  return (st.st_uid != me && st.st_uid != 0) || writable;
}

}  // namespace

// Builds journal records; a friend so that the header stays free of the JSON library.
struct JournalWriter {
  static void record(LocalPlatform& platform, long long jobId, const char* call, json args) {
    json j = json::object();
    j["ts"] = timestamp();
    j["pid"] = static_cast<long long>(getpid());
    if (jobId > 0) j["jobId"] = jobId;
    j["call"] = call;
    if (!args.is_null()) j["args"] = std::move(args);
    platform.journal(jobId, dumpJson(j));
  }
};

LocalPlatform::LocalPlatform() : LocalPlatform(Settings()) {}

LocalPlatform::LocalPlatform(Settings settings) : m_settings(std::move(settings)) {
  if (m_settings.home.empty()) m_settings.home = defaultHome();
  while (m_settings.home.size() > 1 && m_settings.home.back() == '/') m_settings.home.pop_back();

  // Errors and events only: traces name scanned files, which the log must not keep unasked.
  std::string level = envText("KZFIND_DEBUG");
  setDebugLevel(level.empty() ? 0 : atoi(level.c_str()));

  m_homeOk = openHome() && readSettings();
  if (!m_homeOk && m_homeFd >= 0) {
    // Nothing is written below a refused home, nor with refused settings.
    ::close(m_homeFd);
    m_homeFd = -1;
  }
  if (m_settings.streams > kMaxStreams) m_settings.streams = kMaxStreams;
  if (m_homeOk) {
    m_logFd = openFileAt(m_homeFd, "kzfind.log", O_WRONLY | O_CREAT | O_APPEND);
    struct stat st;
    if (m_logFd >= 0 && fstat(m_logFd, &st) == 0) m_logBytes = st.st_size;
  }
}

LocalPlatform::~LocalPlatform() {
  for (auto& [key, fd] : m_locks) ::close(fd);
  if (m_logFd >= 0) ::close(m_logFd);
  if (m_journalFd >= 0) ::close(m_journalFd);
  if (m_homeFd >= 0) ::close(m_homeFd);
}

std::string LocalPlatform::error() const {
  std::lock_guard<std::mutex> lock(m_errorMutex);
  return m_error;
}

void LocalPlatform::refuse(std::string message) const {
  std::lock_guard<std::mutex> lock(m_errorMutex);
  m_error = std::move(message);
}

int LocalPlatform::verifiedDirAt(int dirFd, const std::string& name, const std::string& shown, bool create,
                                 bool narrow) const {
  if (name.empty() || name == "." || name == "..") {
    refuse("bad folder name in " + shown);
    errno = EINVAL;
    return -1;
  }
  if (create && mkdirat(dirFd, name.c_str(), 0700) != 0 && errno != EEXIST) {
    int err = errno;
    refuse("cannot make the folder " + shown + ": " + strerror(err));
    errno = err;
    return -1;
  }
  int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      refuse("bad ownership or modes for directory " + shown +
             ": it is a symbolic link; the state folder must be a real directory (remove the link)");
      errno = ELOOP;
    } else {
      if (err != ENOENT) refuse("cannot open the folder " + shown + ": " + strerror(err));
      errno = err;
    }
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  const uid_t me = geteuid();
  if (othersMayChange(st, false)) {
    refuse("bad ownership or modes for directory " + shown + " (owner uid " + std::to_string(st.st_uid) +
           ", mode " + octalMode(st.st_mode) + "): it must belong to " +
           (me == 0 ? std::string("root") : "uid " + std::to_string(me) + " or root") +
           " and be writable by no one else; fix: chown " + std::to_string(me) + " '" + shown +
           "' && chmod 700 '" + shown + "', or choose another KZFIND_HOME");
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  // Ours and readable by others (made by hand or by an older version): the names in
  // it are no one else's business.
  if (narrow && st.st_uid == me && (st.st_mode & 077) != 0) (void)fchmod(fd, st.st_mode & 0700);
  return fd;
}

// Job files are reached by paths through the folders above the home: one that another
// user may change (rename the home away, put a folder of theirs in its place) could send
// this user's writes wherever that user likes. Each folder from the home's parent up to
// "/" must belong to this user or root and be writable by no one else, unless its
// sticky bit keeps others from renaming what is not theirs (as in /tmp).
bool LocalPlatform::foldersAboveAreSafe(int parentFd) const {
  struct stat root;
  if (stat("/", &root) != 0) return true;
  int fd = fcntl(parentFd, F_DUPFD_CLOEXEC, 0);
  for (int level = 0; fd >= 0 && level < 4096; ++level) {
    struct stat st;
    if (fstat(fd, &st) != 0) break;
    if (othersMayChange(st, true)) {
      char link[32], where[PATH_MAX];
      snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
      const ssize_t n = readlink(link, where, sizeof where - 1);
      const std::string shown = n > 0 ? std::string(where, static_cast<size_t>(n)) : "a folder above it";
      ::close(fd);
      refuse("the folder " + shown + " above the state folder " + m_settings.home + " (owner uid " +
             std::to_string(st.st_uid) + ", mode " + octalMode(st.st_mode) +
             ") may be changed by another user, who could swap the state folder under the scan; fix: chmod go-w '" +
             shown + "' (or +t), or choose another KZFIND_HOME");
      errno = EPERM;
      return false;
    }
    if (st.st_dev == root.st_dev && st.st_ino == root.st_ino) break;
    const int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = up;
  }
  if (fd >= 0) ::close(fd);
  return true;
}

bool LocalPlatform::openHome() {
  const std::string& home = m_settings.home;
  if (home.empty()) {
    refuse("no home folder for the state folder (HOME is unset and the user has no passwd entry); set KZFIND_HOME");
    return false;
  }
  auto [parent, leaf] = splitLast(home);
  std::string parentPath = home[0] == '/' && parent.empty() ? "/" : parent.empty() ? "." : std::string(parent);
  if (leaf.empty()) leaf = ".";  // the home is "/": verified as it stands
  makeDirs(parentPath, 0700);
  int parentFd = ::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parentFd < 0) {
    refuse("cannot open the folder " + parentPath + " that holds the state folder: " + strerror(errno));
    return false;
  }
  FdCloser closeParent{parentFd};
  if (!foldersAboveAreSafe(parentFd)) return false;
  if (leaf == ".") {
    m_homeFd = verifiedDirAt(AT_FDCWD, parentPath, home, false);
  } else {
    m_homeFd = verifiedDirAt(parentFd, std::string(leaf), home, true);
  }
  if (m_homeFd < 0) return false;
  // The two folders every job uses are checked now, so a bad one is named before any work.
  for (const char* sub : {"jobs", "subclients"}) {
    int fd = openHomeDirectory(sub, true);
    if (fd < 0) return false;
    ::close(fd);
  }
  return true;
}

bool LocalPlatform::readSettings() {
  const std::string shown = m_settings.home + "/settings.json";
  // O_NONBLOCK: a FIFO in its place must not stop the start; it is refused below.
  int fd = openat(m_homeFd, "settings.json", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    refuse("cannot read " + shown + ": " + strerror(errno) + (errno == ELOOP ? " (a symbolic link is not read)" : ""));
    return false;
  }
  FdCloser closeFd{fd};
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    refuse(shown + " is not a regular file");
    return false;
  }
  if (st.st_size > kMaxSettingsBytes) {
    refuse(shown + " is larger than " + std::to_string(kMaxSettingsBytes) + " bytes");
    return false;
  }
  json j = json::parse(readAll(fd), nullptr, false);
  if (!j.is_object()) {
    refuse(shown + " is not a JSON object");
    return false;
  }
  auto bad = [&](const char* key, const char* want) {
    refuse(shown + ": \"" + key + "\" must be " + want + " (found " + dumpJson(j[key]).substr(0, 64) + ")");
    return false;
  };
  // settings.json supplies what the caller left at its built-in default.
  const Settings defaults;
  if (j.contains("dorvane")) {
    const json& v = j["dorvane"];
    if (!v.is_string() || v.get_ref<const std::string&>().empty() || v.get_ref<const std::string&>().size() > 255)
      return bad("dorvane", "a host name of 1 to 255 characters");
    if (m_settings.dorvane == defaults.dorvane) m_settings.dorvane = v.get<std::string>();
  }
  if (j.contains("streams")) {
    const json& v = j["streams"];
    bool ok = v.is_number_unsigned() ? v.get<unsigned long long>() <= kMaxStreams
                                     : v.is_number_integer() && v.get<long long>() >= 0 && v.get<long long>() <= kMaxStreams;
    if (!ok) return bad("streams", "a whole number from 0 (one per CPU) to 1024");
    if (m_settings.streams == defaults.streams) m_settings.streams = v.get<int>();
  }
  if (j.contains("splitFlag")) {
    if (!j["splitFlag"].is_boolean()) return bad("splitFlag", "true or false");
    if (m_settings.splitFlag == defaults.splitFlag) m_settings.splitFlag = j["splitFlag"].get<bool>();
  }
  return true;
}

std::optional<std::string_view> LocalPlatform::belowHome(std::string_view path) const {
  const std::string& home = m_settings.home;
  if (path.empty() || path[0] != '/') return path;
  if (home == "/") return path.substr(1);
  if (path.size() > home.size() && path.starts_with(home) && path[home.size()] == '/')
    return path.substr(home.size() + 1);
  return std::nullopt;
}

int LocalPlatform::openHomeDirectory(std::string_view path, bool create) {
  if (m_homeFd < 0) {
    errno = EPERM;
    return -1;
  }
  auto rel = belowHome(path);
  if (!rel) {
    errno = EXDEV;
    return -1;
  }
  int fd = fcntl(m_homeFd, F_DUPFD_CLOEXEC, 0);
  std::string shown = m_settings.home;
  std::string_view rest = *rel;
  while (fd >= 0 && !rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    shown += '/';
    shown += part;
    int next = verifiedDirAt(fd, std::string(part), shown, create);
    int err = errno;
    ::close(fd);
    fd = next;
    errno = err;
  }
  return fd;
}

int LocalPlatform::openInHome(std::string_view path, int flags, mode_t mode) {
  auto rel = belowHome(path);
  if (!rel) {
    errno = EXDEV;
    return -1;
  }
  auto [dir, leaf] = splitLast(*rel);
  int dirFd = openHomeDirectory(dir, flags & O_CREAT);
  if (dirFd < 0) return -1;
  FdCloser closeDir{dirFd};
  return openFileAt(dirFd, std::string(leaf).c_str(), flags, mode);
}

std::string LocalPlatform::journalPath(long long jobId) const {
  return m_settings.home + "/jobs/" + std::to_string(jobId) + ".jsonl";
}

std::string LocalPlatform::subclientDir(uint32_t appIdMajor, uint32_t appIdMinor) const {
  std::string dir = m_settings.home + "/subclients/" + std::to_string(appIdMajor) + "_" + std::to_string(appIdMinor);
  auto it = m_labels.find({appIdMajor, appIdMinor});
  if (it != m_labels.end()) dir += "-" + it->second;
  return dir;
}

void LocalPlatform::setSubclientLabel(uint32_t appIdMajor, uint32_t appIdMinor, std::string_view label) {
  std::string clean;
  for (char c : label) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
    if (keep) clean.push_back(c);
    else if (!clean.empty() && clean.back() != '-') clean.push_back('-');
    if (clean.size() >= 48) break;
  }
  while (!clean.empty() && (clean.back() == '-' || clean.back() == '.')) clean.pop_back();
  while (!clean.empty() && clean.front() == '.') clean.erase(clean.begin());
  if (clean.empty()) m_labels.erase({appIdMajor, appIdMinor});
  else m_labels[{appIdMajor, appIdMinor}] = clean;
}

long long LocalPlatform::newJobId() {
  // The counter file holds the next id; flock keeps two processes from taking the same one.
  int fd = openInHome("next-job-id", O_RDWR | O_CREAT);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX) != 0) {
    ::close(fd);
    return -1;
  }
  char buf[32] = {};
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  long long id = n > 0 ? atoll(buf) : 0;
  if (id < 1) id = 1;
  // An id given by hand (-j) may lie ahead of the counter, or be taken at this moment by
  // a run that does not hold the counter's lock: the journal's exclusive create decides.
  int err;
  while ((err = reserveJournal(id)) == EEXIST && id < LLONG_MAX - 1) ++id;
  std::string next = std::to_string(id + 1) + "\n";
  // The next number is never shorter, so no moment leaves the file empty.
  bool ok = err == 0 && overwriteFile(fd, next.data(), next.size());
  if (err == 0 && !ok) err = errno;
  flock(fd, LOCK_UN);
  ::close(fd);
  errno = err;
  return ok ? id : -1;
}

int LocalPlatform::reserveJournal(long long jobId) {
  int fd = openInHome(journalPath(jobId), O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) return errno ? errno : EPERM;
  ::close(fd);
  return 0;
}

int LocalPlatform::lockSubclient(uint32_t appIdMajor, uint32_t appIdMinor, int waitSeconds, std::string* holder) {
  const auto key = std::make_pair(appIdMajor, appIdMinor);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_locks.contains(key)) return 0;
  }
  // Every folder on the way verified, the file never opened through a link.
  int fd = openInHome(subclientDir(appIdMajor, appIdMinor) + "/lock", O_RDWR | O_CREAT);
  if (fd < 0) return errno ? errno : EPERM;
  struct timespec start {};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((err != EWOULDBLOCK && err != EINTR) || now.tv_sec - start.tv_sec >= waitSeconds) {
      if (holder) {
        char buf[128] = {};
        ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
        *holder = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
        while (!holder->empty() && holder->back() == '\n') holder->pop_back();
      }
      ::close(fd);
      return err == EINTR ? EWOULDBLOCK : err;
    }
    usleep(100 * 1000);
  }
  // Who holds it, for the message of a run that finds it taken.
  std::string who = "pid " + std::to_string(getpid()) + " since " + timestamp() + "\n";
  if (!overwriteFile(fd, who.data(), who.size())) {
    // Only the message of another run suffers; the lock itself holds.
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_locks[key] = fd;
  return 0;
}

void LocalPlatform::journal(long long jobId, const std::string& jsonLine) {
  if (!m_homeOk) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (jobId <= 0) jobId = m_lastJobId;
  if (jobId <= 0) {
    // Calls made before the job id is known (event set-up, command line) go to the
    // journal of the first job named; a process that never names one keeps a few only.
    if (m_early.size() < 64) m_early.push_back(jsonLine);
    return;
  }
  if (m_journalJob != jobId || m_journalFd < 0) {
    if (m_journalFd >= 0) ::close(m_journalFd);
    m_journalFd = -1;
    m_journalJob = -1;
    m_journalFd = openInHome(journalPath(jobId), O_WRONLY | O_CREAT | O_APPEND);
    if (m_journalFd < 0) return;
    m_journalJob = jobId;
  }
  // One write per record: other writers of the journal (the scanner's summary) append
  // through their own descriptors, and O_APPEND keeps whole lines apart.
  for (const std::string& early : m_early) writeLine(m_journalFd, early + "\n");
  m_early.clear();
  writeLine(m_journalFd, jsonLine + "\n");
}

void LocalPlatform::noteJob(long long jobId) {
  if (jobId <= 0) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lastJobId = jobId;
}

void LocalPlatform::debugLine(int level, const char* kind, const char* function, long long jobId,
                              std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string line = timestamp();
  line += ' ';
  line += std::to_string(getpid());
  line += ' ';
  line += std::to_string(jobId);
  line += ' ';
  line += std::to_string(level);
  line += ' ';
  line += kind ? kind : "";
  if (function && *function) {
    line += ' ';
    line += function;
    line += ':';
  }
  line += ' ';
  line.append(text.data(), text.size());
  line += '\n';
  writeLog(line);
}

void LocalPlatform::writeLog(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_logMutex);
  if (m_settings.echoDebugToStderr) fwrite(line.data(), 1, line.size(), stderr);
  if (m_logFd < 0) return;
  if (m_logBytes + static_cast<long long>(line.size()) > m_settings.logLimit) rotateLog(line.size());
  if (m_logFd >= 0 && writeLine(m_logFd, line)) m_logBytes += static_cast<long long>(line.size());
}

void LocalPlatform::rotateLog(size_t incoming) {
  // Several processes may share the log: the lock on the file decides who rotates, and a
  // process that finds the name taken by a newer file only follows it.
  flock(m_logFd, LOCK_EX);
  struct stat mine, named;
  bool moved = fstat(m_logFd, &mine) != 0 || fstatat(m_homeFd, "kzfind.log", &named, AT_SYMLINK_NOFOLLOW) != 0 ||
               mine.st_ino != named.st_ino || mine.st_dev != named.st_dev;
  if (!moved && mine.st_size + static_cast<long long>(incoming) <= m_settings.logLimit) {
    m_logBytes = mine.st_size;  // another process rotated while this one counted
    flock(m_logFd, LOCK_UN);
    return;
  }
  if (!moved) {
    for (int n = kLogKeep; n >= 1; --n) {
      std::string from = n == 1 ? std::string("kzfind.log") : "kzfind.log." + std::to_string(n - 1);
      std::string to = "kzfind.log." + std::to_string(n);
      (void)renameat(m_homeFd, from.c_str(), m_homeFd, to.c_str());
    }
  }
  flock(m_logFd, LOCK_UN);
  ::close(m_logFd);
  m_logFd = openFileAt(m_homeFd, "kzfind.log", O_WRONLY | O_CREAT | O_APPEND);
  struct stat st;
  m_logBytes = m_logFd >= 0 && fstat(m_logFd, &st) == 0 ? st.st_size : 0;
}

bool LocalPlatform::eventInitialize(int kind, uint32_t magic, long long reserved, bool hasCallback,
                                    const std::string& name) {
  JournalWriter::record(*this, 0, "eventInitialize",
         {{"kind", kind}, {"magic", magic}, {"reserved", reserved}, {"callback", hasCallback}, {"name", name}});
  return true;
}

void LocalPlatform::eventSetJobId(long long jobId) {
  noteJob(jobId);
  JournalWriter::record(*this, jobId, "setJobId", {{"jobId", jobId}});
}

void LocalPlatform::raiseEvent(long long jobId, EventSeverity severity, uint32_t code, int a, int b,
                               const std::vector<EventArgument>& args) {
  json list = json::array();
  for (const EventArgument& arg : args) {
    if (arg.type == 9 && arg.bytes.size() == 8) {
      uint64_t v = 0;
      for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(arg.bytes[static_cast<size_t>(i)]);
      list.push_back(static_cast<int64_t>(v));
    } else {
      list.push_back(arg.bytes);
    }
  }
  char codeText[16];
  snprintf(codeText, sizeof codeText, "0x%08x", code);
  JournalWriter::record(*this, jobId, "event",
         {{"severity", severity == EventSeverity::Critical ? "critical" : "minor"},
          {"code", codeText},
          {"a", a},
          {"b", b},
          {"arguments", list}});
  if (debugLevel() >= 0)
    debugLine(0, "event", "", jobId,
            std::string(severity == EventSeverity::Critical ? "critical" : "minor") + " event " + codeText);
}

int LocalPlatform::logWriterLevel() { return debugLevel(); }

void LocalPlatform::logWriterLine(const char* function, int line, std::string_view text) {
  JournalWriter::record(*this, 0, "logWriter", {{"function", maybeText(function)}, {"line", line}, {"text", std::string(text)}});
  long long jobId;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    jobId = m_lastJobId;
  }
  if (debugLevel() >= 1) debugLine(1, "log", function, jobId, text);
}

bool LocalPlatform::platformInvalid() { return !m_homeOk; }

std::optional<std::string> LocalPlatform::dorvaneHostName() {
  if (m_settings.dorvane.empty()) return std::nullopt;
  return m_settings.dorvane;
}

void LocalPlatform::setFocus(const char* value) { JournalWriter::record(*this, 0, "setFocus", {{"value", maybeText(value)}}); }

int LocalPlatform::checkin(const char* name) {
  JournalWriter::record(*this, 0, "checkin", {{"name", maybeText(name)}, {"pid", static_cast<long long>(getpid())}});
  return 0;
}

bool LocalPlatform::jobInit(const char* dorvane, long long jobId, int zero, KZS_PLATFORMTYPE type, bool flag,
                            const char* token) {
  noteJob(jobId);
  JournalWriter::record(*this, jobId, "init",
         {{"dorvane", maybeText(dorvane)},
          {"jobId", jobId},
          {"zero", zero},
          {"platformType", type},
          {"flag", flag},
          {"token", maybeText(token)}});
  return true;
}

bool LocalPlatform::jobCtrlInit(long long jobId, const char* dorvane, ControlFlags flags, KZS_PLATFORMTYPE type,
                                const char* token, const char* extra) {
  noteJob(jobId);
  JournalWriter::record(*this, jobId, "Init2",
         {{"jobId", jobId},
          {"dorvane", maybeText(dorvane)},
          {"flags", flags},
          {"platformType", type},
          {"token", maybeText(token)},
          {"extra", maybeText(extra)}});
  return true;
}

bool LocalPlatform::updateInfo(long long jobId, bool flag) {
  JournalWriter::record(*this, jobId, "updateInfo", {{"flag", flag}});
  return true;
}

bool LocalPlatform::setNumStreams(long long jobId, unsigned long long count) {
  JournalWriter::record(*this, jobId, "setNumStreams", {{"count", count}});
  return true;
}

bool LocalPlatform::concatPhaseParams(long long jobId, const std::string& params, KZJobStrCatAction action) {
  JournalWriter::record(*this, jobId, "concatPhaseParams", {{"params", params}, {"action", action}});
  long long ref = referenceTimeOf(params);
  if (ref > 0) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_referenceTimes[jobId] = ref;
  }
  return true;
}

bool LocalPlatform::complete(long long jobId, KZJobStatus status, KZJobStatusFor statusFor, int zero,
                             KZPendingCause cause) {
  JournalWriter::record(*this, jobId, "complete", {{"status", status}, {"statusFor", statusFor}, {"zero", zero}, {"cause", cause}});
  if (status != 1) return true;
  std::optional<ScanSubclient> scan;
  long long ref = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    scan = m_scan;
    auto it = m_referenceTimes.find(jobId);
    if (it != m_referenceTimes.end()) ref = it->second;
  }
  // Without a known subclient the success cannot be tied to a history.
  if (!scan) return true;
  int fd = openInHome(subclientDir(scan->major, scan->minor) + "/history.jsonl", O_WRONLY | O_CREAT | O_APPEND);
  if (fd >= 0) {
    json j = {{"ts", timestamp()},
              {"jobId", jobId},
              {"status", status},
              {"statusFor", statusFor},
              {"backupType", scan->backupType},
              {"referenceTime", ref}};
    // One write: concurrent writers never interleave a line.
    writeLine(fd, dumpJson(j) + "\n");
    ::close(fd);
  }
  return true;
}

void LocalPlatform::finishedWork(long long jobId, int milliseconds) {
  JournalWriter::record(*this, jobId, "finishedWork", {{"milliseconds", milliseconds}});
}

AppIdInfo LocalPlatform::appIdInfo(const std::string& appId) {
  JournalWriter::record(*this, 0, "appIdInfo", {{"appId", appId}});
  AppIdInfo info;
  uint32_t major = 0, minor = 0;
  if (parseAppId(appId, major, minor)) {
    info.instanceId = major;
    info.subclientId = minor;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_appMajor = major;
    m_appMinor = minor;
    m_haveApp = true;
  }
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  info.clientId = 1;
  info.appTypeId = 29;
  info.backupSetId = 1;
  info.clientName = host;
  info.appName = "FileSystem";
  info.subclientName = "default";
  info.platformType = 4;
  return info;
}

std::unique_ptr<BackupSet> LocalPlatform::backupSet(const std::string& appId) {
  JournalWriter::record(*this, 0, "backupSet", {{"appId", appId}});
  uint32_t major = 0, minor = 0;
  if (!parseAppId(appId, major, minor)) return nullptr;
  return std::make_unique<BackupSet>("defaultBackupSet");
}

std::unique_ptr<Subclient> LocalPlatform::subclient(const std::string& appId) {
  JournalWriter::record(*this, 0, "subclient", {{"appId", appId}});
  uint32_t major = 0, minor = 0;
  if (!parseAppId(appId, major, minor)) return nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_appMajor = major;
    m_appMinor = minor;
    m_haveApp = true;
  }
  char guid[64];
  snprintf(guid, sizeof guid, "local-%08x-%08x", major, minor);
  return std::make_unique<Subclient>("default", guid, 0, m_settings.splitFlag);
}

int LocalPlatform::subclientDirAndFiles(uint32_t appIdMajor, uint32_t appIdMinor, subclientFiles* files,
                                        int backupType, const char* dirOverride) {
  JournalWriter::record(*this, 0, "subclientDirAndFiles",
         {{"major", appIdMajor}, {"minor", appIdMinor}, {"backupType", backupType}, {"dir", maybeText(dirOverride)}});
  if (!files) return -1;
  std::string dir = dirOverride ? std::string(dirOverride) : subclientDir(appIdMajor, appIdMinor);
  // An override belongs to the caller and is not made here, but it is checked as our own
  // folders are: the scan deletes earlier outputs in it and writes files there as root.
  int dirFd = dirOverride ? verifiedDirAt(AT_FDCWD, dir, dir, false, false) : openHomeDirectory(dir, true);
  if (dirFd < 0) return -1;
  ::close(dirFd);
  // Two scans of one subclient would remove and append to each other's files: a host
  // that did not take the lock itself gets it here, or no job directory.
  if (!dirOverride) {
    std::string holder;
    if (int err = lockSubclient(appIdMajor, appIdMinor, 0, &holder)) {
      std::string why = err == EWOULDBLOCK ? "another scan holds it (" + holder + ")" : strerror(err);
      debugLine(0, "error", "", m_lastJobId, "job directory " + dir + " is not available: " + why);
      return -1;
    }
  }
  subclientFiles out;
  out.appIdMajor = appIdMajor;
  out.appIdMinor = appIdMinor;
  bool ok = setField(out.subclientDir, dir) && setField(out.collectFile, dir + "/Collect.kzf") &&
            setField(out.filterFile, dir + "/filters") && setField(out.contentFile, dir + "/content") &&
            setField(out.stateFile, dir + "/state") && setField(out.dirChangeTmpFile, dir + "/DirChange.tmp") &&
            setField(out.failuresFile, dir + "/failures.log") && setField(out.historyFile, dir + "/history.jsonl") &&
            setField(out.dirChangeFile, dir + "/DirChange");
  if (!ok) return -1;
  *files = out;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_scan = ScanSubclient{appIdMajor, appIdMinor, backupType};
  return 0;
}

int LocalPlatform::maxStreams(const Subclient* subclient) {
  long n = m_settings.streams;
  if (n <= 0) n = sysconf(_SC_NPROCESSORS_ONLN);
  n = std::clamp(n, 1L, static_cast<long>(kMaxStreams));
  // The split shares the recorded bytes out over the streams: fewer streams than that
  // many whole minimum pieces keep every piece at least kMinPieceBytes.
  const unsigned long long bytes = m_recordedBytes.load(std::memory_order_relaxed);
  if (bytes > 0) n = std::min<long>(n, static_cast<long>(std::max<unsigned long long>(1, bytes / kMinPieceBytes)));
  return static_cast<int>(n);
}

bool LocalPlatform::openRawResults(uint32_t appIdMajor, long long jobId, std::string& path) {
  JournalWriter::record(*this, jobId, "openRaw", {{"major", appIdMajor}});
  if (!m_homeOk) return false;
  // The store is opened before the job directory is asked for, so the subclient comes
  // from the application lookup; without one the results go beside the job's journal.
  std::string dir;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_haveApp && m_appMajor == appIdMajor) dir = subclientDir(m_appMajor, m_appMinor);
  }
  if (dir.empty()) dir = m_settings.home + "/jobs";
  int dirFd = openHomeDirectory(dir, true);
  if (dirFd < 0) return false;
  ::close(dirFd);
  path = dir + "/results-" + std::to_string(jobId) + ".raw";
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rawResults[jobId] = path;
  return true;
}

void LocalPlatform::cleanUpResults(uint32_t appIdMajor, long long jobId) {
  JournalWriter::record(*this, jobId, "cleanUp", {{"major", appIdMajor}});
  // Nothing in this component writes raw results: an empty file is only clutter.
  std::string path;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_rawResults.find(jobId);
    if (it == m_rawResults.end()) return;
    path = it->second;
    m_rawResults.erase(it);
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) unlink(path.c_str());
}

FILE* LocalPlatform::openFile(const char* path, const char* mode) {
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  auto rel = path[0] == '/' ? belowHome(path) : std::nullopt;
  if (!rel) return openStreamAt(AT_FDCWD, path, mode);
  auto [dir, leaf] = splitLast(*rel);
  int dirFd = openHomeDirectory(dir, false);
  if (dirFd < 0) return nullptr;
  FdCloser closeDir{dirFd};
  return openStreamAt(dirFd, std::string(leaf).c_str(), mode);
}

int LocalPlatform::lstatFile(const char* path, struct stat* st) { return ::lstat(path, st); }

}  // namespace kzhost
