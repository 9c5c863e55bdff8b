#include "hostservices/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "hostservices/Platform.h"

namespace {

// Characters that need escaping: backslash, newline, carriage return, "|".
constexpr const char kSpecials[] = "\\\n\r|";

struct SpecialTable {
  bool special[256] = {};
  constexpr SpecialTable() {
    for (const char* c = kSpecials; *c; ++c) special[static_cast<unsigned char>(*c)] = true;
  }
};
constexpr SpecialTable kTable;

// Offset of the first character that needs escaping, or size when none does.
inline size_t firstSpecial(const char* s, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (kTable.special[static_cast<unsigned char>(s[i])]) return i;
  }
  return size;
}

void appendEscapedTail(std::string& out, const char* s, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    char c = s[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '|': out += "\\p"; break;
      default: out += c; break;
    }
  }
}

}  // namespace

std::string escapeFileName(const char* path) {
  if (!path) return std::string();
  // The common case (nothing to escape) is one vectorised scan and one copy.
  size_t first = strcspn(path, kSpecials);
  if (path[first] == '\0') return std::string(path, first);
  size_t size = first + strlen(path + first);
  std::string out;
  out.reserve(size + 8);
  out.assign(path, first);
  appendEscapedTail(out, path + first, size - first);
  return out;
}

size_t unescapedLength(const char* path) {
  const size_t first = strcspn(path, kSpecials);
  return path[first] == '\0' ? first : std::string::npos;
}

void appendEscapedFileName(std::string& out, std::string_view path) {
  size_t first = firstSpecial(path.data(), path.size());
  out.append(path.data(), first);
  if (first != path.size()) appendEscapedTail(out, path.data() + first, path.size() - first);
}

std::string unescapeFileName(std::string_view escaped) {
  size_t first = escaped.find('\\');
  if (first == std::string_view::npos) return std::string(escaped);
  std::string out(escaped.substr(0, first));
  out.reserve(escaped.size());
  for (size_t i = first; i < escaped.size(); ++i) {
    char c = escaped[i];
    if (c != '\\' || i + 1 == escaped.size()) {
      out += c;
      continue;
    }
    char n = escaped[i + 1];
    switch (n) {
      case '\\': out += '\\'; ++i; break;
      case 'n': out += '\n'; ++i; break;
      case 'r': out += '\r'; ++i; break;
      case 'p': out += '|'; ++i; break;
      default: out += c; break;  // not produced by escapeFileName: kept as it stands
    }
  }
  return out;
}

FILE* fopen_utf(const char* path, const char* mode) {
  if (!path || !mode) {
    errno = EINVAL;
    return nullptr;
  }
  return kzhost::Platform::current().openFile(path, mode);
}

int lstat_utf(const char* path, struct stat* st) {
  if (!path || !st) {
    errno = EINVAL;
    return -1;
  }
  return kzhost::Platform::current().lstatFile(path, st);
}

AMTimePreserver::~AMTimePreserver() {
  if (!m_preserver) return;
  // 1 (a symbolic link) is left alone: its target's times are not ours to set.
  if (m_preserver->getstatresult() == 0) {
    const int saved = errno;
    const std::string name = m_preserver->getname();
    const struct timespec atime = {static_cast<time_t>(m_preserver->getatime()),
                                   static_cast<long>(m_preserver->getatimensec())};
    struct stat now {};
    // Still an entry of the captured type whose access time moved: only then is a write due.
    if (lstat_utf(name.c_str(), &now) == 0 && (now.st_mode & S_IFMT) == (m_preserver->getmode() & S_IFMT) &&
        (now.st_atim.tv_sec != atime.tv_sec || now.st_atim.tv_nsec != atime.tv_nsec)) {
      const struct timespec times[2] = {atime, {0, UTIME_OMIT}};
      (void)utimensat(AT_FDCWD, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    errno = saved;
  }
  delete m_preserver;
}
