// A platform for tests: records every call in order and fails on demand.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Platform.h"

namespace kzhost {

struct DebugRecord {
  int level;
  std::string kind;      // "debug", "Debug", "Error", "error"
  std::string function;  // empty for debug()/error()
  long long jobId;
  std::string text;
};

class FakePlatform : public Platform {
 public:
  // Switches. Defaults make every call succeed.
  struct Switches {
    bool eventInitFails = false;
    bool noDorvaneName = false;
    bool platformInvalid = false;
    std::string dorvaneName = "dorvane.test";
    bool nullBackupSet = false;
    bool nullSubclient = false;
    bool initFails = false;
    bool init2Fails = false;
    // updateInfo results, taken in turn; when exhausted, updateInfoResult.
    std::vector<bool> updateInfoResults;
    bool updateInfoResult = true;
    bool concatFails = false;
    bool completeFails = false;
    bool quitFlag = false;
    bool subclientDirFails = false;  // GetSubclientDirAndFiles gives -1
    bool openRawFails = false;
    int streams = 1;
    bool splitFlag = false;
    uint32_t subclientAttributes = 0x5;
    std::string subclientGuid = "guid-0001";
    int logWriterLevel = 0;
    // Job files: all inside this folder (made if missing). Empty: a temp folder per platform,
    // removed with everything in it when the platform is destroyed. subclientDirAndFiles
    // names <jobDir>/<collectName>, filters, content, state, DirChange.tmp, failures.log,
    // history.jsonl, DirChange; with a directory override the same names lie inside the
    // override, which is not created. openRawResults gives <jobDir>/results.raw.
    std::string jobDir;
    std::string collectName = "Collect.kzf";
    // Opens of paths that begin with this prefix give a stream on /dev/full (writes
    // fail with ENOSPC when flushed); empty: off.
    std::string fullDiskPrefix;
    // Opens of paths that begin with this prefix fail with EACCES; empty: off.
    std::string failOpenPrefix;
  };

  FakePlatform();
  explicit FakePlatform(Switches switches);
  ~FakePlatform() override;

  Switches& switches() { return m_switches; }

  // Every call except debug lines, file opens and the quit flag, in order, e.g.
  // "checkin(ifind_0)", "complete(1,2,0,0)", "finishedWork(120000)",
  // "event(critical,0x11000002,0,0)", "event(minor,0x1100001b,0,0,args=[4711])",
  // "setFocus(x)", "init(dorvane.test,4711,0,4,false,tok)", "Init2(4711,dorvane.test,1,4,tok,null)",
  // "updateInfo(false)", "setNumStreams(3)", "concatPhaseParams( -parent 1 ...,3)",
  // "logWriter(Init JobObject, Dorvane=[dorvane.test])", "eventInitialize(2,1621670017,0,nocb,)",
  // "setJobId(4711)", "getDorvaneHostName", "openRaw", "cleanUp", "subclientDirAndFiles(1,2,1,null)",
  // "maxStreams", "platformInvalid", "logWriterLevel", "appIdInfo(1:2)", "backupSet(1:2)",
  // "subclient(1:2)". A null text prints as "null"; event codes as 0x and eight hex digits;
  // a type-9 event argument as its signed decimal value, any other as its text.
  // The quit flag is NOT recorded (it is asked per file); quitChecks() counts it.
  std::vector<std::string> calls() const;
  // Only the calls whose text begins with prefix.
  std::vector<std::string> calls(const std::string& prefix) const;
  std::vector<DebugRecord> debugLines() const;
  // True when some debug line's text contains needle.
  bool logged(const std::string& needle) const;
  int quitChecks() const;
  void clear();
  // The folder the job files are in.
  std::string jobDir() const;

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
  bool quitRequested(long long jobId) override;
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
  void record(std::string call);
  mutable std::mutex m_mutex;
  Switches m_switches;
  std::string m_tempDir;  // made when switches.jobDir was empty; removed at destruction
  std::vector<std::string> m_calls;
  std::vector<DebugRecord> m_debug;
  size_t m_updateInfoTaken = 0;
  int m_quitChecks = 0;
};

// Installs a FakePlatform (debug level 9, so every line is recorded) for the life of
// the guard and restores the previous platform afterwards.
class ScopedFakePlatform {
 public:
  ScopedFakePlatform();
  explicit ScopedFakePlatform(FakePlatform::Switches switches);
  ~ScopedFakePlatform();
  FakePlatform& operator*() { return *m_fake; }
  FakePlatform* operator->() { return m_fake; }

 private:
  FakePlatform* m_fake;
  std::unique_ptr<Platform> m_previous;
};

}  // namespace kzhost
