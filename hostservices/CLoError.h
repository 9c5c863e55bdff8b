// Error results of the host platform: a status code plus shared details.
#pragma once

#include <memory>
#include <string>
#include <vector>

// Where an error was built or passed through.
struct FXCodeLocation {
  std::string file;      // source name, e.g. "KzFind"
  std::string function;  // signature text, e.g. "virtual CLoError KzFind::Start()"
  int line = 0;
};

// The result of a phase operation. Success costs nothing (no details are held);
// an error has a negative status and shares its details between copies, so Push on
// any copy is seen by all of them.
class CLoError {
 public:
  enum class Kind { None, Win32, ErrNo };

  CLoError() = default;  // success
  static CLoError Success() { return CLoError(); }

  bool IsError() const { return m_status < 0; }
  int Status() const { return m_status; }

  // Adds a location to the chain and yields the error again (success stays success).
  CLoError Push(const FXCodeLocation& location);

  Kind kind() const;                                   // None for success
  int code() const;                                    // Win32 code or errno; 0 for success
  const std::string& message() const;                  // formatted message; empty for success
  const std::vector<FXCodeLocation>& locations() const;  // first is where it was built
  // "Win32 error 774: Invalid Backup type [at KzFind:virtual ...:120 <- ...]",
  // "errno 2: Failed to open ..." or "success".
  std::string ToString() const;

 private:
  friend struct FXErrorUtil;
  struct Detail {
    Kind kind;
    int code;
    std::string message;
    std::vector<FXCodeLocation> locations;
  };
  int m_status = 0;
  std::shared_ptr<Detail> m_detail;
};

// The one place where errors are built.
struct FXErrorUtil {
  static CLoError ErrorWin32(const FXCodeLocation& location, int code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static CLoError ErrorErrNo(const FXCodeLocation& location, int errnoValue, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
};
