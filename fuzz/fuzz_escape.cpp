// Path escaping: escapeFileName and unescapeFileName round-trip every path exactly, and
// the escaped form never holds a newline, a carriage return or "|" (each would break a
// collect line). appendEscapedFileName must agree with escapeFileName, also on text that
// holds NUL bytes, and unescapeFileName must take any text without harm.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "hostservices/FileUtil.h"

namespace {

using kzfuzz::check;

bool cleanForm(std::string_view s) { return s.find_first_of("\n\r|") == std::string_view::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  // The C-string form: what addToCollect hands over.
  std::string path(raw.substr(0, raw.find('\0')));

  std::string escaped = escapeFileName(path.c_str());
  check(cleanForm(escaped), "escaped form holds a newline, carriage return or '|'");
  check(unescapeFileName(escaped) == path, "unescape(escape(p)) != p");
  if (path.find_first_of("\\\n\r|") == std::string::npos) check(escaped == path, "ordinary path changed");

  // The appending form, after existing text and over the whole input (NULs included).
  std::string out = "prefix|";
  appendEscapedFileName(out, raw);
  check(out.compare(0, 7, "prefix|") == 0, "appendEscapedFileName changed existing text");
  std::string_view appended = std::string_view(out).substr(7);
  check(cleanForm(appended), "appended form holds a newline, carriage return or '|'");
  check(unescapeFileName(appended) == raw, "unescape(append(p)) != p");
  if (raw.size() == path.size()) check(appended == escaped, "appendEscapedFileName != escapeFileName");

  // Arbitrary text as an escaped form: must not crash; a second pass through escaping
  // must round-trip whatever the first produced.
  std::string loose = unescapeFileName(raw);
  check(unescapeFileName(escapeFileName(loose.c_str())) == std::string(loose.c_str()), "second round trip");
  return 0;
}
