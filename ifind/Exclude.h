// Exclude patterns as rsync and borg users write them:
//   name, *.log, [!a-z]*    no "/": the entry's own name, at any depth
//   cache/  logs/*.gz/      a trailing "/": folders only
//   tree/cache, sub/**/tmp  a "/" inside: anchored at the content path, written either from
//                           the content path's own name (tree/cache) or below it (cache)
//   /srv/data/tmp           a leading "/": the whole path
// "*" and "?" never match "/", "**" matches across folders ("a/**/b" also matches "a/b"),
// "[...]" is a class as in the shell, "\" quotes the next character.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ifind {

bool globMatch(std::string_view pattern, std::string_view text);
// The same answer by following every pattern position at once, in the text's length
// times the pattern's: what globMatch falls back on when trying each split takes long.
bool globMatchAtOnce(std::string_view pattern, std::string_view text);

class ExcludeRules {
 public:
  void add(std::string pattern);
  bool empty() const { return m_rules.empty(); }
  // Whether path (below the content path root) is excluded; isDir: it is a folder.
  bool excluded(std::string_view path, std::string_view root, bool isDir) const;

 private:
  enum class Kind { Name, Anchored, Absolute };
  struct Rule {
    std::string glob;
    Kind kind;
    bool dirOnly;
  };
  std::vector<Rule> m_rules;
};

}  // namespace ifind
