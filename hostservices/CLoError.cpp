#include "hostservices/CLoError.h"

#include <cstdarg>
#include <cstdio>

#include "hostservices/Format.h"

namespace {

const std::string kEmpty;
const std::vector<FXCodeLocation> kNoLocations;

}  // namespace

CLoError CLoError::Push(const FXCodeLocation& location) {
  if (m_detail) m_detail->locations.push_back(location);
  return *this;
}

CLoError::Kind CLoError::kind() const { return m_detail ? m_detail->kind : Kind::None; }
int CLoError::code() const { return m_detail ? m_detail->code : 0; }
const std::string& CLoError::message() const { return m_detail ? m_detail->message : kEmpty; }
const std::vector<FXCodeLocation>& CLoError::locations() const {
  return m_detail ? m_detail->locations : kNoLocations;
}

std::string CLoError::ToString() const {
  if (!IsError()) return "success";
  std::string out = m_detail->kind == Kind::Win32 ? "Win32 error " : "errno ";
  out += std::to_string(m_detail->code);
  out += ": ";
  out += m_detail->message;
  for (size_t i = 0; i < m_detail->locations.size(); ++i) {
    const FXCodeLocation& l = m_detail->locations[i];
    out += i == 0 ? " [at " : " <- ";
    out += l.file + ":" + l.function + ":" + std::to_string(l.line);
  }
  if (!m_detail->locations.empty()) out += "]";
  return out;
}

CLoError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CLoError e;
  e.m_status = -1;
  e.m_detail = std::make_shared<CLoError::Detail>(
      CLoError::Detail{CLoError::Kind::Win32, code, kzhost::formatV(format, args), {location}});
  va_end(args);
  return e;
}

CLoError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int errnoValue, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CLoError e;
  e.m_status = -1;
  e.m_detail = std::make_shared<CLoError::Detail>(
      CLoError::Detail{CLoError::Kind::ErrNo, errnoValue, kzhost::formatV(format, args), {location}});
  va_end(args);
  return e;
}
