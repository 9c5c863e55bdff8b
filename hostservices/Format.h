// printf-style formatting into a std::string, shared by the host-service sources.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kzhost {

// Formats format with args (consumed). One vsnprintf for short texts.
inline std::string formatV(const char* format, va_list args) {
  if (!format) return std::string();
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace kzhost
