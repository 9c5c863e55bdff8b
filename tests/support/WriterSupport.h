// Helpers for the tests of the scan output writers.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"

struct KzFindTestAccess {
  static bool outputLost(const KzFind& f) { return f.m_outputLost; }
};

namespace kztest {

// A fresh folder under /tmp, removed with its contents at destruction.
class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/kzwriter.XXXXXX";
    m_path = mkdtemp(templ) ? templ : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

inline std::string flushAndRead(FILE* fp, const std::string& path) {
  if (fp) fflush(fp);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Collect files dir/Collect<N>.kzf.
inline void useCollectDir(KzFind& f, const std::string& dir) {
  f.m_collectDir = dir;
  f.m_collectBase = "Collect";
  f.m_collectExt = "kzf";
}

// Debug lines whose text is exactly text.
inline int countLogged(kzhost::FakePlatform& fake, const std::string& text) {
  int n = 0;
  for (const auto& r : fake.debugLines()) n += r.text == text;
  return n;
}

}  // namespace kztest
