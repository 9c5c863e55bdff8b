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
  Argv(std::initializer_list<const char*> args) {
    for (const char* a : args) m_text.emplace_back(a);
    for (std::string& s : m_text) m_ptrs.push_back(s.data());
  }
  Argv(const Argv& other) : Argv(std::vector<std::string>(other.m_text)) {}
  explicit Argv(std::vector<std::string> args) : m_text(std::move(args)) {
    for (std::string& s : m_text) m_ptrs.push_back(s.data());
  }
  Argv& operator=(const Argv&) = delete;

  const std::vector<std::string>& text() const { return m_text; }
  int argc() const { return static_cast<int>(m_ptrs.size()); }
  // Null when there are no arguments.
  char** argv() { return m_ptrs.empty() ? nullptr : m_ptrs.data(); }

 private:
  std::vector<std::string> m_text;
  std::vector<char*> m_ptrs;
};

}  // namespace kztest
