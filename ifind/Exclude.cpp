#include "ifind/Exclude.h"

#include <fnmatch.h>

#include <algorithm>
#include <string>
#include <vector>

namespace ifind {

namespace {

// The "]" that closes the class opened at p[open], or npos (then the "[" is a plain
// character). A "]" first in the class (after any "!" or "^") is one of its characters.
size_t classClose(std::string_view p, size_t open) {
  size_t start = open + 1;
  if (start < p.size() && (p[start] == '!' || p[start] == '^')) ++start;
  if (start < p.size() && p[start] == ']') ++start;
  return p.find(']', start);
}

// Whether c is in the class p[open..close]; never a "/".
bool inClass(std::string_view p, size_t open, size_t close, char c) {
  if (c == '/') return false;
  const std::string cls(p.substr(open, close - open + 1));
  const char one[2] = {c, 0};
  return fnmatch(cls.c_str(), one, 0) == 0;
}

// What each pattern position does when the match stands there. A "**" takes two
// positions: at the first it has read nothing yet and may also stand for no folder
// ("**/"), at the second it has read at least one character.
enum Role : char { kNone, kLiteral, kEscaped, kAny, kClass, kStar, kStarStar, kStarStarIn };

void parseRoles(std::string_view p, char* roles) {
  std::fill(roles, roles + p.size() + 1, kNone);
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] == '*') {
      if (i + 1 < p.size() && p[i + 1] == '*') {
        roles[i] = kStarStar;
        roles[++i] = kStarStarIn;
      } else {
        roles[i] = kStar;
      }
    } else if (p[i] == '?') {
      roles[i] = kAny;
    } else if (p[i] == '[') {
      roles[i] = kClass;  // its characters are no positions of their own
      if (const size_t close = classClose(p, i); close != std::string_view::npos) i = close;
    } else if (p[i] == '\\' && i + 1 < p.size()) {
      roles[i++] = kEscaped;
    } else {
      roles[i] = kLiteral;
    }
  }
}

// Adds position i to set with every position reachable from it without reading.
void addPosition(std::string_view p, const char* roles, char* set, size_t i) {
  if (set[i]) return;
  set[i] = 1;
  switch (roles[i]) {
    case kStar:
    case kStarStarIn:
      addPosition(p, roles, set, i + 1);
      break;
    case kStarStar:
      addPosition(p, roles, set, i + 2);
      if (i + 2 < p.size() && p[i + 2] == '/') addPosition(p, roles, set, i + 3);
      break;
    default:
      break;
  }
}

}  // namespace

bool globMatchAtOnce(std::string_view p, std::string_view s) {
  const size_t n = p.size() + 1;
  char small[3 * 96];
  std::vector<char> large;
  char* roles = small;
  if (3 * n > sizeof small) {
    large.resize(3 * n);
    roles = large.data();
  }
  char* cur = roles + n;
  char* next = cur + n;
  parseRoles(p, roles);
  std::fill(cur, cur + n, 0);
  addPosition(p, roles, cur, 0);
  for (const char c : s) {
    std::fill(next, next + n, 0);
    bool any = false;
    for (size_t i = 0; i < p.size(); ++i) {
      if (!cur[i]) continue;
      size_t to = std::string_view::npos;  // where reading c leads from i
      switch (roles[i]) {
        case kLiteral:
          if (p[i] == c) to = i + 1;
          break;
        case kEscaped:
          if (p[i + 1] == c) to = i + 2;
          break;
        case kAny:
          if (c != '/') to = i + 1;
          break;
        case kClass: {
          const size_t close = classClose(p, i);
          if (close == std::string_view::npos) {
            if (c == '[') to = i + 1;  // no class: a plain "["
          } else if (inClass(p, i, close, c)) {
            to = close + 1;
          }
          break;
        }
        case kStar:
          if (c != '/') to = i;
          break;
        case kStarStar:
          to = i + 1;
          break;
        case kStarStarIn:
          to = i;
          break;
        default:
          break;
      }
      if (to != std::string_view::npos) {
        addPosition(p, roles, next, to);
        any = true;
      }
    }
    if (!any) return false;
    std::swap(cur, next);
  }
  return cur[p.size()] != 0;
}

namespace {

// The usual way, trying each place a star may end in turn: quickest for the patterns
// people write, but several "**" against a deep path have more ways to split it than
// could ever be tried. 1 match, 0 none, -1 budget spent.
int tryEach(std::string_view p, std::string_view s, size_t& budget) {
  if (budget == 0) return -1;
  --budget;
  size_t i = 0, j = 0;
  while (i < p.size()) {
    if (p[i] == '*') {
      const bool across = i + 1 < p.size() && p[i + 1] == '*';
      size_t rest = i + (across ? 2 : 1);
      // "**/" may also stand for no folder at all.
      if (across && rest < p.size() && p[rest] == '/') {
        if (const int r = tryEach(p.substr(rest + 1), s.substr(j), budget); r != 0) return r;
      }
      for (size_t k = j;; ++k) {
        if (const int r = tryEach(p.substr(rest), s.substr(k), budget); r != 0) return r;
        if (k == s.size() || (!across && s[k] == '/')) return 0;
      }
    }
    if (j == s.size()) return 0;
    if (p[i] == '?') {
      if (s[j] == '/') return 0;
    } else if (p[i] == '[') {
      const size_t close = classClose(p, i);
      if (close == std::string_view::npos) {
        if (s[j] != '[') return 0;
      } else {
        if (!inClass(p, i, close, s[j])) return 0;
        i = close;
      }
    } else {
      if (p[i] == '\\' && i + 1 < p.size()) ++i;
      if (p[i] != s[j]) return 0;
    }
    ++i;
    ++j;
  }
  return j == s.size() ? 1 : 0;
}

}  // namespace

// Tried the usual way within a budget a few times the text's length; a pattern that
// spends it (before, a few "**" against a deep path never ended) is followed through
// every position at once.
bool globMatch(std::string_view p, std::string_view s) {
  size_t budget = 256 + 8 * (p.size() + s.size());
  const int r = tryEach(p, s, budget);
  return r >= 0 ? r == 1 : globMatchAtOnce(p, s);
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
