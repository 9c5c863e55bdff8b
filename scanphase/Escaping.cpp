#include "scanphase/Escaping.h"

#include <string>

#include "scanphase/KzFind.h"

namespace kzfind::detail {

namespace {

// True when the scan's escapeFileName is KzFind's own, not a subclass's. Only GCC can
// tell (a bound member function pointer gives the final overrider); elsewhere the answer
// is no and the virtual call is always made.
bool escapesAsTheHost(KzFind& scan) {
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
  using Escape = std::string (*)(KzFind*, const char*);
  return (Escape)(scan.*(&KzFind::escapeFileName)) == (Escape)(&KzFind::escapeFileName);
#pragma GCC diagnostic pop
#else
  (void)scan;
  return false;
#endif
}

}  // namespace

bool putEscaped(KzFind& scan, const char* path, FILE* out) {
  if (escapesAsTheHost(scan)) {
    if (const size_t plain = unescapedLength(path); plain != std::string::npos)
      return fwrite_unlocked(path, 1, plain, out) == plain;
  }
  return fputs_unlocked(scan.escapeFileName(path).c_str(), out) >= 0;
}

}  // namespace kzfind::detail
