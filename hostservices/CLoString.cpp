#include "hostservices/CLoString.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

const FXCodeLocation kDirLocation{"CLoDirectory", "CLoDirectory", 0};

// Length of text without its trailing "/" (a lone "/" keeps its one character).
size_t trimmedLength(std::string_view text) {
  size_t n = text.size();
  while (n > 1 && text[n - 1] == '/') --n;
  return n;
}

}  // namespace

CLoString CLoString::operator+(int value) const { return CLoString(m_s + std::to_string(value)); }
CLoString CLoString::operator+(long value) const { return CLoString(m_s + std::to_string(value)); }
CLoString CLoString::operator+(long long value) const { return CLoString(m_s + std::to_string(value)); }

bool CLoPath::IsRoot() const { return m_path == "/"; }

CLoString CLoPath::Append(const char* dir, const char* name) {
  std::string out = dir ? dir : "";
  const char* n = name ? name : "";
  if (out.empty()) return CLoString(n);
  if (out.back() != '/') out += '/';
  while (*n == '/') ++n;
  out += n;
  return CLoString(std::move(out));
}

CLoString CLoPath::GetParent(const char* path) {
  std::string_view p = path ? path : "";
  p = p.substr(0, trimmedLength(p));
  if (p.empty() || p == "/") return CLoString("");
  size_t slash = p.rfind('/');
  if (slash == std::string_view::npos) return CLoString("");
  // "/a//b" has the parent "/a": drop the run of slashes before the last name.
  std::string_view parent = p.substr(0, slash + 1);
  parent = parent.substr(0, trimmedLength(parent));
  return CLoString(std::string(parent));
}

CLoDirectory::~CLoDirectory() { Close(); }

CLoError CLoDirectory::Open(const char* directory, const char* pattern, bool recursive) {
  Close();
  if (!directory) return FXErrorUtil::ErrorErrNo(kDirLocation, EINVAL, "No directory to open");
  DIR* d = opendir(directory);
  if (!d) {
    int e = errno;
    return FXErrorUtil::ErrorErrNo(kDirLocation, e, "Failed to open directory %s: %s", directory, strerror(e));
  }
  m_dir = d;
  return CLoError::Success();
}

CLoError CLoDirectory::GetEntry(SLoDirEntry& entry, bool& end) {
  end = false;
  if (!m_dir) return FXErrorUtil::ErrorErrNo(kDirLocation, EBADF, "Directory is not open");
  errno = 0;
  struct dirent* e = readdir(static_cast<DIR*>(m_dir));
  if (!e) {
    int err = errno;
    if (err != 0) return FXErrorUtil::ErrorErrNo(kDirLocation, err, "Failed to read directory: %s", strerror(err));
    end = true;
    return CLoError::Success();
  }
  entry.name = CLoString(e->d_name);
  return CLoError::Success();
}

CLoError CLoDirectory::Close() {
  if (!m_dir) return CLoError::Success();
  DIR* d = static_cast<DIR*>(m_dir);
  m_dir = nullptr;
  if (closedir(d) != 0) {
    int e = errno;
    return FXErrorUtil::ErrorErrNo(kDirLocation, e, "Failed to close directory: %s", strerror(e));
  }
  return CLoError::Success();
}

int ComparePath::Check(const char* base, const char* path) {
  if (!base || !path) return Unrelated;
  std::string_view b(base), p(path);
  b = b.substr(0, trimmedLength(b));
  p = p.substr(0, trimmedLength(p));
  if (b.empty() || p.empty()) return Unrelated;
  if (b == p) return Same;
  // Whether inner lies below outer, at a "/" boundary.
  auto below = [](std::string_view outer, std::string_view inner) {
    if (inner.size() <= outer.size() || inner.compare(0, outer.size(), outer) != 0) return false;
    return outer.back() == '/' || inner[outer.size()] == '/';
  };
  if (below(b, p)) return Inside;
  if (below(p, b)) return Contains;
  return Unrelated;
}
