// Clients of the job manager and the platform, as the scan phase sees them.
#pragma once

#include <string>

#include "CLoString.h"
#include "HostTypes.h"

class EvDebug;

// The backup job client: reports and next-phase parameters.
class KZBkpJobClient {
 public:
  KZBkpJobClient() = default;
  virtual ~KZBkpJobClient() = default;

  // true on success.
  bool init(const char* dorvaneName, long long jobId, int zero, KZS_PLATFORMTYPE platformType, bool flag,
            const char* jobToken);
  // true on success; outFlag may be null.
  bool updateInfo(bool flag, bool* outFlag);
  bool setNumStreams(unsigned long long count);
  // Appends params to the next phase's parameters (action 3); true on success.
  bool concatPhaseParams(const CLoString& params, KZJobStrCatAction action);
  // true when the job manager took the report.
  bool complete(KZJobStatus status, KZJobStatusFor statusFor, int zero, KZPendingCause cause);

 private:
  long long m_jobId = 0;
};

// The job control client: quit flag and end of work. Its destructor is not virtual.
class KZJobCtrlClient {
 public:
  explicit KZJobCtrlClient(int verboselevel) : m_verboseLevel(verboselevel) {}
  ~KZJobCtrlClient() = default;

  bool Init2(long long jobId, const char* dorvaneName, ControlFlags flags, KZS_PLATFORMTYPE platformType,
             const char* jobToken, const char* extra);
  // true when the job manager asked the job to stop. Cheap: one call per recorded file.
  bool checkQuitFlag();
  void finishedWork(int milliseconds);

 private:
  [[maybe_unused]] int m_verboseLevel;
  long long m_jobId = 0;
};

// Base of the platform clients.
class KZPI_PlatformBase {
 public:
  virtual ~KZPI_PlatformBase() = default;
  // Non-zero when the client cannot be used.
  int invalidKZPlatform();
  // The Dorvane's host name, or null when not known. Valid while the client lives.
  const char* getDorvaneHostName();

 private:
  std::string m_dorvane;
};

class KZPI_CommClient : public KZPI_PlatformBase {
 public:
  explicit KZPI_CommClient(EvDebug* debug) : m_debug(debug) {}

 private:
  [[maybe_unused]] EvDebug* m_debug;
};

struct KZPI_Focus {
  // Hands the value of "-vm" to the platform.
  static void setFocus(const char* value);
};

// Checks the process in with the host's service; the result is informational.
int uxsvc_checkin(const char* name);
