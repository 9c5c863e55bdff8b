// The default platform: everything lives under one home directory on this host, and
// nothing is written outside it (except where a caller passes its own job directory).
//
//   $KZFIND_HOME, else $XDG_STATE_HOME/kzfind, else ~/.local/state/kzfind (made if missing)
//     kzfind.log                 the debug log: "<UTC time> <pid> <jobId> <level> <kind> [<function>:] text",
//                                rotated at Settings::logLimit into kzfind.log.1 .. kzfind.log.<kLogKeep>
//     settings.json              {"dorvane": ..., "streams": N, "splitFlag": bool}
//     next-job-id                the job id counter (taken under flock)
//     jobs/<jobId>.jsonl         the journal of a job: one JSON object per line for every event
//                                and job-manager call: {"ts", "pid", "jobId", "call", "args"}
//     subclients/<major>_<minor>/ the job directory of a subclient:
//        Collect.kzf, filters, content, state, DirChange.tmp, failures.log, DirChange,
//        results-<jobId>.raw      the raw results file of a job
//        lock                     held (flock) by the one process scanning the subclient
//        history.jsonl            one line per successful job: {"jobId", "backupType", "referenceTime", ...}
//
// The home and every folder below it are private: made 0700, and used only when each is
// a real directory (not a link) owned by this user or root that no group or other user
// may write. Each is opened from its verified parent's descriptor, so no rename or
// link planted while the scan runs can redirect it. Files are created 0600 and never
// opened through a link. A refused folder makes the platform invalid and error() says
// which folder and how to fix it.
//
// The initial debug level comes from $KZFIND_DEBUG when set, else 0: errors and events
// only, which name the job's own files but no scanned file. Level 1 traces the scan
// and names changed folders and failed entries, level 2 every recorded file.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform.h"

namespace kzhost {

class LocalPlatform : public Platform {
 public:
  // A field left at its default here is taken from settings.json when the file sets it.
  struct Settings {
    std::string home;  // empty: from the environment as above
    std::string dorvane = "localhost";
    int streams = 0;  // 0: the number of CPUs; never more than kMaxStreams
    bool splitFlag = true;
    bool echoDebugToStderr = false;
    long long logLimit = kLogLimit;  // kzfind.log is rotated before it grows past this
  };

  // The most streams a subclient is given, whatever settings.json or the caller ask.
  static constexpr int kMaxStreams = 1024;
  // The fewest recorded bytes worth a stream of their own (see setRecordedBytes).
  static constexpr unsigned long long kMinPieceBytes = 1ull << 20;
  static constexpr long long kLogLimit = 4ll << 20;
  static constexpr int kLogKeep = 3;  // rotated logs kept beside kzfind.log
  static constexpr long long kMaxSettingsBytes = 64 << 10;

  LocalPlatform();
  explicit LocalPlatform(Settings settings);
  ~LocalPlatform() override;

  const std::string& home() const { return m_settings.home; }
  Settings& settings() { return m_settings; }
  // Why the home, settings.json or a folder below the home was refused (the last
  // refusal), naming the file or folder and the fix; empty when nothing was.
  std::string error() const;
  std::string journalPath(long long jobId) const;
  // subclients/<major>_<minor>, or subclients/<major>_<minor>-<label> once a label was
  // given for that subclient: a name a person can tell apart.
  std::string subclientDir(uint32_t appIdMajor, uint32_t appIdMinor) const;
  // Names the subclient's folder (letters, digits, '-', '.', '_' only; others become '-').
  void setSubclientLabel(uint32_t appIdMajor, uint32_t appIdMinor, std::string_view label);

  // Allocates a new job id (a counter in the home directory, safe across processes),
  // passing over ids that already have a journal, and reserves it as reserveJournal
  // does; -1 when the counter or the journal cannot be made.
  long long newJobId();
  // Takes the subclient's lock (flock on "lock" in its job directory) for the rest of
  // this process, waiting up to waitSeconds. 0: held (also when already held here);
  // EWOULDBLOCK: another process holds it, and holder names it; else the errno of the
  // lock file. The kernel drops the lock when the process ends, however it ends.
  int lockSubclient(uint32_t appIdMajor, uint32_t appIdMinor, int waitSeconds, std::string* holder = nullptr);
  // Creates jobs/<jobId>.jsonl, empty, unless anything of that name exists: the one step
  // that gives a job id to one process, so two runs never share a journal. 0, EEXIST when
  // the id is taken, else the errno of the create.
  int reserveJournal(long long jobId);
  // The bytes the scan recorded, known before its finish: from then on maxStreams
  // gives no more streams than whole kMinPieceBytes in them (at least one), so the
  // split never cuts pieces smaller than that.
  void setRecordedBytes(unsigned long long bytes) { m_recordedBytes.store(bytes, std::memory_order_relaxed); }

  // Opens a file below the home: path is relative to the home or an absolute path that
  // begins with it. Every folder on the way is verified as above (and made 0700 when
  // missing and flags hold O_CREAT); the file is opened with openFileAt's rules
  // (SafeOpen.h: never through a link, only a regular file, created with mode).
  // The caller owns the descriptor. -1 with errno (EPERM: a folder was refused, see
  // error(); EXDEV: path is not below the home).
  int openInHome(std::string_view path, int flags, mode_t mode = 0600);
  // Opens a folder below the home (O_DIRECTORY, for openat), verified with every folder
  // on the way, made 0700 when missing and create is set. "" is the home itself.
  // The caller owns the descriptor. -1 with errno as above.
  int openHomeDirectory(std::string_view path, bool create);
  // Raises the quit flag (signal-safe: an atomic store).
  void requestQuit() { m_quit.store(true, std::memory_order_relaxed); }

  // Platform
  void debugLine(int level, const char* kind, const char* function, long long jobId,
                 std::string_view text) override;
  bool eventInitialize(int kind, uint32_t magic, long long reserved, bool hasCallback,
                       const std::string& name) override;
  void eventSetJobId(long long jobId) override;
  void raiseEvent(long long jobId, EventSeverity severity, uint32_t code, int a, int b,
                  const std::vector<EventArgument>& args) override;
  int logWriterLevel() override;
  void logWriterLine(const char* function, int line, std::string_view text) override;
  bool platformInvalid() override;
  std::optional<std::string> dorvaneHostName() override;
  void setFocus(const char* value) override;
  int checkin(const char* name) override;
  bool jobInit(const char* dorvane, long long jobId, int zero, KZS_PLATFORMTYPE type, bool flag,
               const char* token) override;
  bool jobCtrlInit(long long jobId, const char* dorvane, ControlFlags flags, KZS_PLATFORMTYPE type,
                   const char* token, const char* extra) override;
  bool updateInfo(long long jobId, bool flag) override;
  bool setNumStreams(long long jobId, unsigned long long count) override;
  bool concatPhaseParams(long long jobId, const std::string& params, KZJobStrCatAction action) override;
  bool complete(long long jobId, KZJobStatus status, KZJobStatusFor statusFor, int zero,
                KZPendingCause cause) override;
  bool quitRequested(long long jobId) override { return m_quit.load(std::memory_order_relaxed); }
  void finishedWork(long long jobId, int milliseconds) override;
  AppIdInfo appIdInfo(const std::string& appId) override;
  std::unique_ptr<BackupSet> backupSet(const std::string& appId) override;
  std::unique_ptr<Subclient> subclient(const std::string& appId) override;
  int subclientDirAndFiles(uint32_t appIdMajor, uint32_t appIdMinor, subclientFiles* files, int backupType,
                           const char* dirOverride) override;
  int maxStreams(const Subclient* subclient) override;
  bool openRawResults(uint32_t appIdMajor, long long jobId, std::string& path) override;
  void cleanUpResults(uint32_t appIdMajor, long long jobId) override;
  // Below the home through openHomeDirectory, elsewhere relative to the working folder;
  // either way with openStreamAt's rules (SafeOpen.h).
  FILE* openFile(const char* path, const char* mode) override;
  int lstatFile(const char* path, struct stat* st) override;

 private:
  friend struct JournalWriter;
  // The subclient this process scans, as the job directory lookup named it.
  struct ScanSubclient {
    uint32_t major;
    uint32_t minor;
    int backupType;
  };
  // Appends one record to the journal of jobId (or of the last job seen when jobId <= 0).
  void journal(long long jobId, const std::string& jsonLine);
  void noteJob(long long jobId);
  bool openHome();
  bool readSettings();
  void refuse(std::string message) const;
  bool foldersAboveAreSafe(int parentFd) const;
  // Opens and verifies the folder name below dirFd (made 0700 first when create is set);
  // shown is its path for messages. narrow: take group and other bits off a folder of ours.
  int verifiedDirAt(int dirFd, const std::string& name, const std::string& shown, bool create,
                    bool narrow = true) const;
  // The path relative to the home, or nullopt when path is not below it.
  std::optional<std::string_view> belowHome(std::string_view path) const;
  void writeLog(const std::string& line);
  void rotateLog(size_t incoming);

  Settings m_settings;
  bool m_homeOk = false;
  int m_homeFd = -1;
  mutable std::mutex m_errorMutex;
  mutable std::string m_error;
  std::atomic<unsigned long long> m_recordedBytes{0};
  std::atomic<bool> m_quit{false};
  std::mutex m_mutex;  // guards the journal and the job state below
  long long m_journalJob = -1;
  int m_journalFd = -1;
  long long m_lastJobId = 0;
  std::vector<std::string> m_early;  // records made before any job id was known
  std::map<long long, long long> m_referenceTimes;  // jobId -> the " -r " value handed on
  std::optional<ScanSubclient> m_scan;
  bool m_haveApp = false;
  uint32_t m_appMajor = 0;
  uint32_t m_appMinor = 0;
  std::map<std::pair<uint32_t, uint32_t>, int> m_locks;
  std::map<long long, std::string> m_rawResults;
  std::map<std::pair<uint32_t, uint32_t>, std::string> m_labels;  // set before any job starts  // raw results files handed out, by job (guarded by m_mutex)  // held subclient locks (guarded by m_mutex)
  std::mutex m_logMutex;  // guards the debug log
  int m_logFd = -1;
  long long m_logBytes = 0;  // the log's size as far as this process knows
};

}  // namespace kzhost
