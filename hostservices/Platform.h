// The one seam between the host-service faces and whatever stands behind them.
//
// Every host-service face (job clients, events, debug log, subclient lookup, results
// store, stream count, file opens) forwards to the process-wide Platform object. The
// local platform (LocalPlatform.h) is the default; tests install a FakePlatform
// (FakePlatform.h) that records every call and can be told to fail.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "HostTypes.h"

class Subclient;
class BackupSet;

namespace kzhost {

enum class EventSeverity { Minor, Critical };

struct EventArgument {
  int type = 0;       // 9: a 64-bit little-endian integer
  std::string bytes;  // the argument's bytes
};

// Implementations must be safe to call from several threads at once: the reference
// scanner's reader threads open files and the signal path raises the quit flag.
class Platform {
 public:
  virtual ~Platform() = default;

  // The current platform; a LocalPlatform made on first use unless one was installed.
  static Platform& current();
  // Makes p the current platform and returns the previous one (which the caller owns
  // again). Passing null restores the default local platform.
  static std::unique_ptr<Platform> install(std::unique_ptr<Platform> p);

  // Lines above this level are dropped before formatting. Lock-free.
  int debugLevel() const { return m_debugLevel.load(std::memory_order_relaxed); }
  void setDebugLevel(int level) { m_debugLevel.store(level, std::memory_order_relaxed); }

  // --- Debug log, events, global log writer -------------------------------------
  // A line that passed the level test. kind: "debug", "Debug", "Error", "error".
  virtual void debugLine(int level, const char* kind, const char* function, long long jobId,
                         std::string_view text) = 0;
  virtual bool eventInitialize(int kind, uint32_t magic, long long reserved, bool hasCallback,
                               const std::string& name) = 0;
  virtual void eventSetJobId(long long jobId) = 0;
  virtual void raiseEvent(long long jobId, EventSeverity severity, uint32_t code, int a, int b,
                          const std::vector<EventArgument>& args) = 0;
  virtual int logWriterLevel() = 0;
  virtual void logWriterLine(const char* function, int line, std::string_view text) = 0;

  // --- Platform client, focus, service check-in ----------------------------------
  virtual bool platformInvalid() = 0;
  virtual std::optional<std::string> dorvaneHostName() = 0;
  virtual void setFocus(const char* value) = 0;
  virtual int checkin(const char* name) = 0;

  // --- Job manager ----------------------------------------------------------------
  virtual bool jobInit(const char* dorvane, long long jobId, int zero, KZS_PLATFORMTYPE type, bool flag,
                       const char* token) = 0;
  virtual bool jobCtrlInit(long long jobId, const char* dorvane, ControlFlags flags, KZS_PLATFORMTYPE type,
                           const char* token, const char* extra) = 0;
  virtual bool updateInfo(long long jobId, bool flag) = 0;
  virtual bool setNumStreams(long long jobId, unsigned long long count) = 0;
  virtual bool concatPhaseParams(long long jobId, const std::string& params, KZJobStrCatAction action) = 0;
  virtual bool complete(long long jobId, KZJobStatus status, KZJobStatusFor statusFor, int zero,
                        KZPendingCause cause) = 0;
  // Hot: asked once per recorded file.
  virtual bool quitRequested(long long jobId) = 0;
  virtual void finishedWork(long long jobId, int milliseconds) = 0;

  // --- Application, backup set, subclient -----------------------------------------
  virtual AppIdInfo appIdInfo(const std::string& appId) = 0;
  // Null when not available; the caller owns the object.
  virtual std::unique_ptr<BackupSet> backupSet(const std::string& appId) = 0;
  virtual std::unique_ptr<Subclient> subclient(const std::string& appId) = 0;
  // -1 on failure, else files is filled.
  virtual int subclientDirAndFiles(uint32_t appIdMajor, uint32_t appIdMinor, subclientFiles* files,
                                   int backupType, const char* dirOverride) = 0;
  // Streams wanted for a subclient.
  virtual int maxStreams(const Subclient* subclient) = 0;

  // --- Results store ----------------------------------------------------------------
  // true and path set on success (note: the face inverts this to the host's sense).
  virtual bool openRawResults(uint32_t appIdMajor, long long jobId, std::string& path) = 0;
  virtual void cleanUpResults(uint32_t appIdMajor, long long jobId) = 0;

  // --- Files --------------------------------------------------------------------------
  virtual FILE* openFile(const char* path, const char* mode) = 0;
  virtual int lstatFile(const char* path, struct stat* st) = 0;

 private:
  std::atomic<int> m_debugLevel{1};
};

}  // namespace kzhost
