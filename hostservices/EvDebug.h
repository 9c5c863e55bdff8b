// The job's debug log, event object and the process-wide log writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform.h"

// A debug log. Every line goes to the current platform's log. A line whose level is
// above the platform's debug level is dropped before anything is formatted, so a
// disabled line costs one load and one comparison.
class EvDebug {
 public:
  // fileInstance names a log file of the host; null means the job's default log.
  explicit EvDebug(const void* fileInstance = nullptr) : m_fileInstance(fileInstance) {}
  virtual ~EvDebug() = default;
  EvDebug(const EvDebug&) = delete;
  EvDebug& operator=(const EvDebug&) = delete;

  static bool enabled(int level) { return level <= kzhost::Platform::current().debugLevel(); }
  int getDebugLevel() const { return kzhost::Platform::current().debugLevel(); }

  // Debug and debug(1, ...) lines are level 1; Error and error lines level 0, so they
  // are written unless the level is negative. A trailing newline in format is allowed.
  void debug(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void Debug(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void Error(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void DebugLvl(const char* function, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void DebugLvl(const char* function, int level, long long jobId, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

 protected:
  long long m_jobId = 0;  // carried on every line once set

 private:
  [[maybe_unused]] const void* m_fileInstance;
};

// The job's event object; it is also the phase's debug log.
class EvEvent : public EvDebug {
 public:
  using Callback = bool (*)(unsigned long, void*, uint32_t);

  EvEvent() = default;

  // Brings up the event service; true on success.
  bool initialize(int kind, uint32_t magic, long long reserved, Callback callback, const std::string& name);
  // Ties later events and debug lines to the job.
  void setJobId(long long jobId);
  long long jobId() const { return m_jobId; }
  // Adds one argument to the next event: the value as a little-endian 64-bit integer, type 9.
  EvEvent& operator<<(long value);
  // Type 9: data points to 8 bytes (little-endian integer); any other type: a NUL-terminated text.
  void addArgument(const void* data, int type);
  // Raise an event with the pending arguments, which are then cleared.
  void MinorEvent(uint32_t code, int a, int b);
  void CriticalEvent(uint32_t code, int a, int b);

 private:
  void raise(kzhost::EventSeverity severity, uint32_t code, int a, int b);
  std::vector<kzhost::EventArgument> m_pending;
};

// The process-wide log writer. Its write goes to the current platform.
class CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface() = default;
  virtual int GetLevel();
  // nullArg is always null; the two zeros are reserved by the host.
  void Write(const void* nullArg, const char* function, int line, int zero1, int zero2, const char* format, ...)
      __attribute__((format(printf, 7, 8)));

 protected:
  virtual void WriteLine(const char* function, int line, const std::string& text);
};

extern std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;
