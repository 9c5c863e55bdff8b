#include "ifind/Exclude.h"

#include <fnmatch.h>

namespace ifind {

bool globMatch(std::string_view p, std::string_view s) {
  size_t i = 0, j = 0;
  while (i < p.size()) {
    if (p[i] == '*') {
      const bool across = i + 1 < p.size() && p[i + 1] == '*';
      size_t rest = i + (across ? 2 : 1);
      // "**/" may also stand for no folder at all.
      if (across && rest < p.size() && p[rest] == '/' && globMatch(p.substr(rest + 1), s.substr(j))) return true;
      for (size_t k = j;; ++k) {
        if (globMatch(p.substr(rest), s.substr(k))) return true;
        if (k == s.size() || (!across && s[k] == '/')) return false;
      }
    }
    if (j == s.size()) return false;
    if (p[i] == '?') {
      if (s[j] == '/') return false;
    } else if (p[i] == '[') {
      // A "]" first in the class (after any "!" or "^") is one of its characters.
      size_t start = i + 1;
      if (start < p.size() && (p[start] == '!' || p[start] == '^')) ++start;
      if (start < p.size() && p[start] == ']') ++start;
      const size_t close = p.find(']', start);
      if (close == std::string_view::npos) {
        if (s[j] != '[') return false;
      } else {
        const std::string cls(p.substr(i, close - i + 1));
        const char one[2] = {s[j], 0};
        if (s[j] == '/' || fnmatch(cls.c_str(), one, 0) != 0) return false;
        i = close;
      }
    } else {
      if (p[i] == '\\' && i + 1 < p.size()) ++i;
      if (p[i] != s[j]) return false;
    }
    ++i;
    ++j;
  }
  return j == s.size();
}

void ExcludeRules::add(std::string pattern) {
  Rule r{std::move(pattern), Kind::Name, false};
  while (r.glob.size() > 1 && r.glob.back() == '/') {
    r.glob.pop_back();
    r.dirOnly = true;
  }
  if (r.glob.starts_with('/')) r.kind = Kind::Absolute;
  else if (r.glob.find('/') != std::string::npos) r.kind = Kind::Anchored;
  m_rules.push_back(std::move(r));
}

bool ExcludeRules::excluded(std::string_view path, std::string_view root, bool isDir) const {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  // Below the content path, and from the content path's own name on.
  std::string_view below, fromRoot;
  if (path.size() > root.size() && path.starts_with(root)) {
    below = path.substr(root.size());
    while (below.starts_with('/')) below.remove_prefix(1);
    const size_t rootSlash = root.rfind('/', root.size() > 1 ? root.size() - 2 : 0);
    fromRoot = rootSlash == std::string_view::npos ? path : path.substr(rootSlash + 1);
  }
  for (const Rule& r : m_rules) {
    if (r.dirOnly && !isDir) continue;
    switch (r.kind) {
      case Kind::Name:
        if (globMatch(r.glob, name)) return true;
        break;
      case Kind::Absolute:
        if (globMatch(r.glob, path)) return true;
        break;
      case Kind::Anchored:
        if ((!below.empty() && globMatch(r.glob, below)) || (!fromRoot.empty() && globMatch(r.glob, fromRoot)))
          return true;
        break;
    }
  }
  return false;
}

}  // namespace ifind
