#include "hostservices/EvDebug.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "hostservices/Format.h"

using kzhost::Platform;

namespace {

// Levels of the lines that carry no level of their own.
constexpr int kDebugLevel = 1;
constexpr int kErrorLevel = 0;

}  // namespace

// Each line tests the level before touching its arguments, so a disabled line costs
// one atomic load and one comparison. errno survives a written line, so a caller can
// log a failure and then report its errno.
#define KZ_EMIT(level, kind, function, jobId, format)                                   \
  do {                                                                                  \
    Platform& platform = Platform::current();                                           \
    if ((level) > platform.debugLevel()) return;                                        \
    int savedErrno = errno;                                                             \
    va_list args;                                                                       \
    va_start(args, format);                                                             \
    std::string text = kzhost::formatV(format, args);                                   \
    va_end(args);                                                                       \
    platform.debugLine((level), (kind), (function) ? (function) : "", (jobId), text);   \
    errno = savedErrno;                                                                 \
  } while (0)

void EvDebug::debug(int level, const char* format, ...) { KZ_EMIT(level, "debug", "", m_jobId, format); }

void EvDebug::Debug(const char* function, const char* format, ...) {
  KZ_EMIT(kDebugLevel, "Debug", function, m_jobId, format);
}

void EvDebug::Error(const char* function, const char* format, ...) {
  KZ_EMIT(kErrorLevel, "Error", function, m_jobId, format);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
  KZ_EMIT(level, "Debug", function, m_jobId, format);
}

void EvDebug::DebugLvl(const char* function, int level, long long jobId, const char* format, ...) {
  KZ_EMIT(level, "Debug", function, jobId, format);
}

void EvDebug::error(const char* format, ...) { KZ_EMIT(kErrorLevel, "error", "", m_jobId, format); }

#undef KZ_EMIT

bool EvEvent::initialize(int kind, uint32_t magic, long long reserved, Callback callback, const std::string& name) {
  return Platform::current().eventInitialize(kind, magic, reserved, callback != nullptr, name);
}

void EvEvent::setJobId(long long jobId) {
  m_jobId = jobId;
  Platform::current().eventSetJobId(jobId);
}

EvEvent& EvEvent::operator<<(long value) {
  uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(value));
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
  addArgument(bytes, 9);
  return *this;
}

void EvEvent::addArgument(const void* data, int type) {
  kzhost::EventArgument arg;
  arg.type = type;
  if (data) {
    if (type == 9) {
      arg.bytes.assign(static_cast<const char*>(data), 8);
    } else {
      arg.bytes.assign(static_cast<const char*>(data));
    }
  }
  m_pending.push_back(std::move(arg));
}

void EvEvent::MinorEvent(uint32_t code, int a, int b) { raise(kzhost::EventSeverity::Minor, code, a, b); }

void EvEvent::CriticalEvent(uint32_t code, int a, int b) { raise(kzhost::EventSeverity::Critical, code, a, b); }

void EvEvent::raise(kzhost::EventSeverity severity, uint32_t code, int a, int b) {
  std::vector<kzhost::EventArgument> args;
  args.swap(m_pending);
  Platform::current().raiseEvent(m_jobId, severity, code, a, b, args);
}

int CLogWriterInterface::GetLevel() { return Platform::current().logWriterLevel(); }

void CLogWriterInterface::Write(const void* nullArg, const char* function, int line, int zero1, int zero2,
                                const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = kzhost::formatV(format, args);
  va_end(args);
  WriteLine(function ? function : "", line, text);
}

void CLogWriterInterface::WriteLine(const char* function, int line, const std::string& text) {
  Platform::current().logWriterLine(function, line, text);
}

std::shared_ptr<CLogWriterInterface> g_ptrLogWriter = std::make_shared<CLogWriterInterface>();
