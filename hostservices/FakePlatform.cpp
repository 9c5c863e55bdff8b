#include "hostservices/FakePlatform.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "hostservices/SafeOpen.h"
#include "hostservices/Subclient.h"

namespace kzhost {

namespace {

const char* orNull(const char* s) { return s ? s : "null"; }

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void removeTree(const std::string& dir) {
  if (!dir.empty()) nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// mkdir -p; true when the directory exists afterwards.
bool makeDirs(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) makeDirs(dir.substr(0, slash));
  return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string makeTempDir() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kzfake.XXXXXX";
  if (!mkdtemp(tmpl.data())) return std::string();
  return tmpl;
}

bool startsWith(const char* path, const std::string& prefix) {
  return !prefix.empty() && strncmp(path, prefix.c_str(), prefix.size()) == 0;
}

// Copies text into a fixed field; false when it does not fit.
template <size_t N>
bool setField(char (&field)[N], const std::string& text) {
  if (text.size() >= N) return false;
  memcpy(field, text.c_str(), text.size() + 1);
  return true;
}

std::string argumentText(const EventArgument& arg) {
  if (arg.type == 9 && arg.bytes.size() == 8) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(arg.bytes[static_cast<size_t>(i)]);
    return std::to_string(static_cast<int64_t>(v));
  }
  return arg.bytes;
}

char hexDigit(unsigned v) { return "0123456789abcdef"[v & 0xf]; }

std::string hex32(uint32_t v) {
  std::string out = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) out += hexDigit(v >> shift);
  return out;
}

}  // namespace

FakePlatform::FakePlatform() : FakePlatform(Switches()) {}

FakePlatform::FakePlatform(Switches switches) : m_switches(std::move(switches)) {
  m_tempDir = makeTempDir();
}

FakePlatform::~FakePlatform() { removeTree(m_tempDir); }

std::vector<std::string> FakePlatform::calls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

std::vector<std::string> FakePlatform::calls(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> out;
  for (const std::string& c : m_calls) {
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  }
  return out;
}

std::vector<DebugRecord> FakePlatform::debugLines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_debug;
}

bool FakePlatform::logged(const std::string& needle) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const DebugRecord& r : m_debug) {
    if (r.text.find(needle) != std::string::npos) return true;
  }
  return false;
}

int FakePlatform::quitChecks() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_quitChecks;
}

void FakePlatform::clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.clear();
  m_debug.clear();
  m_quitChecks = 0;
}

std::string FakePlatform::jobDir() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_switches.jobDir.empty() ? m_tempDir : m_switches.jobDir;
}

void FakePlatform::record(std::string call) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(std::move(call));
}

void FakePlatform::debugLine(int level, const char* kind, const char* function, long long jobId,
                             std::string_view text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_debug.push_back(DebugRecord{level, kind ? kind : "", function ? function : "", jobId, std::string(text)});
}

bool FakePlatform::eventInitialize(int kind, uint32_t magic, long long reserved, bool hasCallback,
                                   const std::string& name) {
  record("eventInitialize(" + std::to_string(kind) + "," + std::to_string(magic) + "," + std::to_string(reserved) +
         "," + (hasCallback ? "cb" : "nocb") + "," + name + ")");
  return !m_switches.eventInitFails;
}

void FakePlatform::eventSetJobId(long long jobId) { record("setJobId(" + std::to_string(jobId) + ")"); }

void FakePlatform::raiseEvent(long long jobId, EventSeverity severity, uint32_t code, int a, int b,
                              const std::vector<EventArgument>& args) {
  std::string call = std::string("event(") + (severity == EventSeverity::Critical ? "critical" : "minor") + "," +
                     hex32(code) + "," + std::to_string(a) + "," + std::to_string(b);
  if (!args.empty()) {
    call += ",args=[";
    for (size_t i = 0; i < args.size(); ++i) {
      if (i) call += ",";
      call += argumentText(args[i]);
    }
    call += "]";
  }
  record(call + ")");
}

int FakePlatform::logWriterLevel() {
  record("logWriterLevel");
  return m_switches.logWriterLevel;
}

void FakePlatform::logWriterLine(const char* function, int line, std::string_view text) {
  record("logWriter(" + std::string(text) + ")");
}

bool FakePlatform::platformInvalid() {
  record("platformInvalid");
  return m_switches.platformInvalid;
}

std::optional<std::string> FakePlatform::dorvaneHostName() {
  record("getDorvaneHostName");
  if (m_switches.noDorvaneName) return std::nullopt;
  return m_switches.dorvaneName;
}

void FakePlatform::setFocus(const char* value) { record(std::string("setFocus(") + orNull(value) + ")"); }

int FakePlatform::checkin(const char* name) {
  record(std::string("checkin(") + orNull(name) + ")");
  return 0;
}

bool FakePlatform::jobInit(const char* dorvane, long long jobId, int zero, KZS_PLATFORMTYPE type, bool flag,
                           const char* token) {
  record(std::string("init(") + orNull(dorvane) + "," + std::to_string(jobId) + "," + std::to_string(zero) + "," +
         std::to_string(type) + "," + (flag ? "true" : "false") + "," + orNull(token) + ")");
  return !m_switches.initFails;
}

bool FakePlatform::jobCtrlInit(long long jobId, const char* dorvane, ControlFlags flags, KZS_PLATFORMTYPE type,
                               const char* token, const char* extra) {
  record("Init2(" + std::to_string(jobId) + "," + orNull(dorvane) + "," + std::to_string(flags) + "," +
         std::to_string(type) + "," + orNull(token) + "," + orNull(extra) + ")");
  return !m_switches.init2Fails;
}

bool FakePlatform::updateInfo(long long jobId, bool flag) {
  record(std::string("updateInfo(") + (flag ? "true" : "false") + ")");
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_updateInfoTaken < m_switches.updateInfoResults.size()) return m_switches.updateInfoResults[m_updateInfoTaken++];
  return m_switches.updateInfoResult;
}

bool FakePlatform::setNumStreams(long long jobId, unsigned long long count) {
  record("setNumStreams(" + std::to_string(count) + ")");
  return true;
}

bool FakePlatform::concatPhaseParams(long long jobId, const std::string& params, KZJobStrCatAction action) {
  record("concatPhaseParams(" + params + "," + std::to_string(action) + ")");
  return !m_switches.concatFails;
}

bool FakePlatform::complete(long long jobId, KZJobStatus status, KZJobStatusFor statusFor, int zero,
                            KZPendingCause cause) {
  record("complete(" + std::to_string(status) + "," + std::to_string(statusFor) + "," + std::to_string(zero) + "," +
         std::to_string(cause) + ")");
  return !m_switches.completeFails;
}

bool FakePlatform::quitRequested(long long jobId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_quitChecks;
  return m_switches.quitFlag;
}

void FakePlatform::finishedWork(long long jobId, int milliseconds) {
  record("finishedWork(" + std::to_string(milliseconds) + ")");
}

AppIdInfo FakePlatform::appIdInfo(const std::string& appId) {
  record("appIdInfo(" + appId + ")");
  AppIdInfo info;
  unsigned long long major = 0, minor = 0;
  if (sscanf(appId.c_str(), "%llu:%llu", &major, &minor) == 2) {
    info.instanceId = static_cast<int64_t>(major);
    info.subclientId = static_cast<int64_t>(minor);
  }
  info.clientId = 1;
  info.appTypeId = 29;
  info.backupSetId = 1;
  info.clientName = "client.test";
  info.appName = "FileSystem";
  info.subclientName = "default";
  info.platformType = 4;
  return info;
}

std::unique_ptr<BackupSet> FakePlatform::backupSet(const std::string& appId) {
  record("backupSet(" + appId + ")");
  if (m_switches.nullBackupSet) return nullptr;
  return std::make_unique<BackupSet>("defaultBackupSet");
}

std::unique_ptr<Subclient> FakePlatform::subclient(const std::string& appId) {
  record("subclient(" + appId + ")");
  if (m_switches.nullSubclient) return nullptr;
  return std::make_unique<Subclient>("default", m_switches.subclientGuid, m_switches.subclientAttributes,
                                     m_switches.splitFlag);
}

int FakePlatform::subclientDirAndFiles(uint32_t appIdMajor, uint32_t appIdMinor, subclientFiles* files,
                                       int backupType, const char* dirOverride) {
  record("subclientDirAndFiles(" + std::to_string(appIdMajor) + "," + std::to_string(appIdMinor) + "," +
         std::to_string(backupType) + "," + orNull(dirOverride) + ")");
  if (m_switches.subclientDirFails || !files) return -1;
  std::string dir;
  if (dirOverride) {
    dir = dirOverride;
  } else {
    dir = jobDir();
    if (!makeDirs(dir)) return -1;
  }
  std::string collectName;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    collectName = m_switches.collectName;
  }
  subclientFiles out;
  out.appIdMajor = appIdMajor;
  out.appIdMinor = appIdMinor;
  // A path that would not fit is a failure rather than a silently cut path.
  bool ok = setField(out.subclientDir, dir) && setField(out.collectFile, dir + "/" + collectName) &&
            setField(out.filterFile, dir + "/filters") && setField(out.contentFile, dir + "/content") &&
            setField(out.stateFile, dir + "/state") && setField(out.dirChangeTmpFile, dir + "/DirChange.tmp") &&
            setField(out.failuresFile, dir + "/failures.log") && setField(out.historyFile, dir + "/history.jsonl") &&
            setField(out.dirChangeFile, dir + "/DirChange");
  if (!ok) return -1;
  *files = out;
  return 0;
}

int FakePlatform::maxStreams(const Subclient* subclient) {
  record("maxStreams");
  return m_switches.streams;
}

bool FakePlatform::openRawResults(uint32_t appIdMajor, long long jobId, std::string& path) {
  record("openRaw");
  if (m_switches.openRawFails) return false;
  std::string dir = jobDir();
  if (!makeDirs(dir)) return false;
  path = dir + "/results.raw";
  return true;
}

void FakePlatform::cleanUpResults(uint32_t appIdMajor, long long jobId) { record("cleanUp"); }

FILE* FakePlatform::openFile(const char* path, const char* mode) {
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  std::string failPrefix, fullPrefix;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    failPrefix = m_switches.failOpenPrefix;
    fullPrefix = m_switches.fullDiskPrefix;
  }
  if (startsWith(path, failPrefix)) {
    errno = EACCES;
    return nullptr;
  }
  if (startsWith(path, fullPrefix)) return fopen("/dev/full", mode);
  return openStreamAt(AT_FDCWD, path, mode);
}

int FakePlatform::lstatFile(const char* path, struct stat* st) { return ::lstat(path, st); }

ScopedFakePlatform::ScopedFakePlatform() : ScopedFakePlatform(FakePlatform::Switches()) {}

ScopedFakePlatform::ScopedFakePlatform(FakePlatform::Switches switches) {
  auto fake = std::make_unique<FakePlatform>(std::move(switches));
  fake->setDebugLevel(9);
  m_fake = fake.get();
  m_previous = Platform::install(std::move(fake));
}

ScopedFakePlatform::~ScopedFakePlatform() { Platform::install(std::move(m_previous)); }

}  // namespace kzhost
