// A command line for tests: owns its texts and hands out an argv of exactly argc
// slots (no trailing null), so reading past argc is an out-of-bounds read that the
// sanitizer build reports.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace kztest {

class Argv {
 public:
  Argv(std::initializer_list<const char*> args) : m_text(args.begin(), args.end()) {}

  const std::vector<std::string>& text() const { return m_text; }
  int argc() const { return static_cast<int>(m_text.size()); }
  // Null when there are no arguments; valid until the next call.
  char** argv() {
    m_ptrs.clear();
    for (std::string& s : m_text) m_ptrs.push_back(s.data());
    return m_ptrs.empty() ? nullptr : m_ptrs.data();
  }

 private:
  std::vector<std::string> m_text;
  std::vector<char*> m_ptrs;
};

}  // namespace kztest
