// Helpers shared by the tests: temp folders and trees, file contents, errors, fake records,
// a phase run up to Start and what the job manager heard.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"
#include "support/Argv.h"

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
    if (m_path.empty()) return;
    // remove_all gives up below PATH_MAX; rm walks deep trees with *at calls.
    std::filesystem::remove_all(m_path, ec);
    if (ec && system(("rm -rf '" + m_path + "'").c_str()) != 0) ADD_FAILURE() << "left " << m_path;
  }
  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The lines of a text, without their newlines.
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::string flushAndRead(FILE* fp, const std::string& path) {
  if (fp) fflush(fp);
  return readFile(path);
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Entries below root: a name ending in '/' is a directory, any other a file that holds
// its own name.
inline void makeTree(const std::string& root, const std::vector<std::string>& entries) {
  for (const std::string& e : entries) {
    if (e.back() == '/') ASSERT_EQ(0, mkdir((root + "/" + e).c_str(), 0755)) << e;
    else writeFile(root + "/" + e, e);
  }
}

// depth directories called name, each inside the last, below root, with the empty file
// leaf at the bottom; with side, each level also holds side/leaf. The *at calls reach
// paths longer than PATH_MAX.
inline void makeChain(const std::string& root, const std::string& name, int depth, const char* leaf,
                      bool side = false) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < depth && fd >= 0; ++i) {
    if (side && mkdirat(fd, "side", 0755) == 0) {
      int s = openat(fd, "side", O_RDONLY | O_DIRECTORY);
      close(openat(s, "leaf", O_WRONLY | O_CREAT, 0644));
      close(s);
    }
    mkdirat(fd, name.c_str(), 0755);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  close(openat(fd, leaf, O_WRONLY | O_CREAT, 0644));
  close(fd);
}

// An error of this code and message, passed on last by function.
inline void expectError(const CLoError& e, int code, const std::string& message, const std::string& function) {
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.code(), code);
  EXPECT_EQ(e.message(), message);
  ASSERT_FALSE(e.locations().empty());
  EXPECT_EQ(e.locations().back().function, function);
}

// Switches of the recording fake with these flags (null: none) raised.
using Flag = bool kzhost::FakePlatform::Switches::*;
inline kzhost::FakePlatform::Switches raised(const std::vector<Flag>& flags) {
  kzhost::FakePlatform::Switches sw;
  for (Flag f : flags) {
    if (f) sw.*f = true;
  }
  return sw;
}

// Collect files dir/<base><N>.<ext>.
inline void useCollectDir(KzFind& f, const std::string& dir, const char* base = "Collect", const char* ext = "kzf") {
  f.m_collectDir = dir;
  f.m_collectBase = base;
  f.m_collectExt = ext;
}

// Debug lines whose text is exactly text.
inline int countLogged(kzhost::FakePlatform& fake, const std::string& text) {
  int n = 0;
  for (const auto& r : fake.debugLines()) n += r.text == text;
  return n;
}

// Initialize with a host's usual arguments, then every step up to Start; the first error.
inline CLoError startPhase(KzFind& k) {
  Argv argv{"ifind", "-d", "/data/", "-a", "1:2", "-j", "4711", "-f", "1", "-jt", "tok"};
  CLoError e = k.Initialize(argv.argc(), argv.argv());
  for (auto step : {&KzFind::AppInitialize, &KzFind::JobInitialize, &KzFind::SCInitialize, &KzFind::EngineInitialize,
                    &KzFind::ProxyInitialize, &KzFind::Start}) {
    if (!e.IsError()) e = (k.*step)();
  }
  return e;
}

// What the job manager heard, in order; with bare, concatPhaseParams without its parameters.
inline std::vector<std::string> jobManagerCalls(const kzhost::FakePlatform& fake, bool bare = false) {
  std::vector<std::string> out;
  for (const std::string& c : fake.calls()) {
    for (const char* p : {"init(", "Init2(", "updateInfo(", "setNumStreams(", "concatPhaseParams(", "complete(",
                          "finishedWork(", "event("}) {
      if (c.starts_with(p)) out.push_back(bare && c.starts_with("concat") ? "concatPhaseParams" : c);
    }
  }
  return out;
}

// The files of a folder by name.
inline std::map<std::string, std::string> filesIn(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out[e.path().filename()] = readFile(e.path());
  return out;
}

}  // namespace kztest
