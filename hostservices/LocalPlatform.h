// The default platform: everything lives under one home directory on this host.
//
//   $KZFIND_HOME, else $XDG_STATE_HOME/kzfind, else ~/.local/state/kzfind
//     kzfind.log                 the debug log
//     settings.json              {"dorvane": ..., "streams": N, "splitFlag": bool}
//     next-job-id                the job id counter
//     jobs/<jobId>.jsonl         the journal of a job: events and job-manager calls
//     subclients/<major>_<minor>/ the job directory of a subclient:
//        Collect.kzf, filters, content, state, DirChange.tmp, failures.log, history.jsonl, ...
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "hostservices/Platform.h"

namespace kzhost {

class LocalPlatform : public Platform {
 public:
  struct Settings {
    std::string home;  // empty: from the environment as above
    std::string dorvane = "localhost";
    int streams = 0;  // 0: the number of CPUs
    bool splitFlag = true;
    bool echoDebugToStderr = false;
  };

  LocalPlatform();
  explicit LocalPlatform(Settings settings);
  ~LocalPlatform() override;

  const std::string& home() const { return m_settings.home; }
  Settings& settings() { return m_settings; }
  std::string journalPath(long long jobId) const;
  std::string subclientDir(uint32_t appIdMajor, uint32_t appIdMinor) const;

  // Allocates a new job id (a counter in the home directory).
  long long newJobId();
  // The start time a successful scan of this subclient of this backup type handed on
  // (with " -r "), or 0 when there is none. For a differential scan (4), the last full.
  long long lastReferenceTime(uint32_t appIdMajor, uint32_t appIdMinor, int backupType);
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
  FILE* openFile(const char* path, const char* mode) override;
  int lstatFile(const char* path, struct stat* st) override;

 private:
  void journal(long long jobId, const std::string& jsonLine);
  Settings m_settings;
  std::atomic<bool> m_quit{false};
  std::mutex m_mutex;
  FILE* m_log = nullptr;
  long long m_journalJob = -1;
  FILE* m_journal = nullptr;
};

}  // namespace kzhost
