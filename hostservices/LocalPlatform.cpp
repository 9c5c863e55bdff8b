#include "hostservices/LocalPlatform.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "hostservices/Subclient.h"

namespace kzhost {

using nlohmann::json;

namespace {

bool makeDirs(const std::string& dir, mode_t mode) {
  if (dir.empty()) return false;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) makeDirs(dir.substr(0, slash), mode);
  return ::mkdir(dir.c_str(), mode) == 0 || errno == EEXIST;
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
  if (user.empty()) user = "/tmp";
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

// Appends one line with a single write, so concurrent writers never interleave a line.
bool appendLine(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = writeLine(fd, line + "\n");
  ::close(fd);
  return ok;
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
  m_homeOk = makeDirs(m_settings.home, 0700);

  std::string level = envText("KZFIND_DEBUG");
  if (!level.empty()) setDebugLevel(atoi(level.c_str()));

  // settings.json supplies what the caller left at its built-in default.
  const Settings defaults;
  std::ifstream in(m_settings.home + "/settings.json");
  if (in) {
    json j = json::parse(in, nullptr, false);
    if (j.is_object()) {
      if (m_settings.dorvane == defaults.dorvane && j.contains("dorvane") && j["dorvane"].is_string())
        m_settings.dorvane = j["dorvane"].get<std::string>();
      if (m_settings.streams == defaults.streams && j.contains("streams") && j["streams"].is_number_integer())
        m_settings.streams = j["streams"].get<int>();
      if (m_settings.splitFlag == defaults.splitFlag && j.contains("splitFlag") && j["splitFlag"].is_boolean())
        m_settings.splitFlag = j["splitFlag"].get<bool>();
    }
  }

  if (m_homeOk) {
    m_logFd = ::open((m_settings.home + "/kzfind.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
}

LocalPlatform::~LocalPlatform() {
  for (auto& [key, fd] : m_locks) ::close(fd);
  if (m_logFd >= 0) ::close(m_logFd);
  if (m_journalFd >= 0) ::close(m_journalFd);
}

std::string LocalPlatform::journalPath(long long jobId) const {
  return m_settings.home + "/jobs/" + std::to_string(jobId) + ".jsonl";
}

std::string LocalPlatform::subclientDir(uint32_t appIdMajor, uint32_t appIdMinor) const {
  return m_settings.home + "/subclients/" + std::to_string(appIdMajor) + "_" + std::to_string(appIdMinor);
}

long long LocalPlatform::newJobId() {
  // The counter file holds the next id; flock keeps two processes from taking the same one.
  std::string path = m_settings.home + "/next-job-id";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX) != 0) {
    ::close(fd);
    return -1;
  }
  char buf[32] = {};
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  long long id = n > 0 ? atoll(buf) : 0;
  if (id < 1) id = 1;
  std::string next = std::to_string(id + 1) + "\n";
  // Overwrite, then cut: the next number is never shorter, so no moment leaves the file empty.
  bool ok = pwrite(fd, next.data(), next.size(), 0) == static_cast<ssize_t>(next.size()) &&
            ftruncate(fd, static_cast<off_t>(next.size())) == 0;
  flock(fd, LOCK_UN);
  ::close(fd);
  return ok ? id : -1;
}

int LocalPlatform::lockSubclient(uint32_t appIdMajor, uint32_t appIdMinor, int waitSeconds, std::string* holder) {
  const auto key = std::make_pair(appIdMajor, appIdMinor);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_locks.contains(key)) return 0;
  }
  const std::string dir = subclientDir(appIdMajor, appIdMinor);
  if (!makeDirs(dir, 0700)) return errno ? errno : ENOTDIR;
  int fd = ::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
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
  if (ftruncate(fd, 0) != 0 || pwrite(fd, who.data(), who.size(), 0) < 0) {
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
    std::string dir = m_settings.home + "/jobs";
    if (!makeDirs(dir, 0700)) return;
    m_journalFd = ::open(journalPath(jobId).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
  std::lock_guard<std::mutex> lock(m_logMutex);
  if (m_logFd >= 0) writeLine(m_logFd, line);
  if (m_settings.echoDebugToStderr) fwrite(line.data(), 1, line.size(), stderr);
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
  std::string dir = subclientDir(scan->major, scan->minor);
  if (makeDirs(dir, 0700)) {
    json j = {{"ts", timestamp()},
              {"jobId", jobId},
              {"status", status},
              {"statusFor", statusFor},
              {"backupType", scan->backupType},
              {"referenceTime", ref}};
    appendLine(dir + "/history.jsonl", dumpJson(j));
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
  // An override belongs to the caller; only our own job directory is made here.
  if (!dirOverride && !makeDirs(dir, 0700)) return -1;
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
  if (m_settings.streams > 0) return m_settings.streams;
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return cpus > 0 ? static_cast<int>(cpus) : 1;
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
  if (!makeDirs(dir, 0700)) return false;
  path = dir + "/results-" + std::to_string(jobId) + ".raw";
  return true;
}

void LocalPlatform::cleanUpResults(uint32_t appIdMajor, long long jobId) {
  JournalWriter::record(*this, jobId, "cleanUp", {{"major", appIdMajor}});
}

FILE* LocalPlatform::openFile(const char* path, const char* mode) {
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  return fopen(path, mode);
}

int LocalPlatform::lstatFile(const char* path, struct stat* st) { return ::lstat(path, st); }

}  // namespace kzhost
