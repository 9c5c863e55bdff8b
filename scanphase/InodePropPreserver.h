// The property preserver of one file system entry, on top of a stat record.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "hostservices/FileUtil.h"

// Captures the properties of name once, at construction (lstat: links are not
// followed). getstatresult() is 0 for a captured entry, 1 for a captured symbolic
// link, -1 (or lstat_utf's failure value) when nothing could be captured; the other
// getters then return zeros. Nothing is read again after construction.
template <typename StatT>
class CoreInodePropPreserver : public InodePropPreserverImpl {
 public:
  explicit CoreInodePropPreserver(const std::string& path) : name(path) {
    statResult = -1;
    statResult = lstat_utf(name, statBuf);
    if (statResult == 0 && (statBuf.st_mode & 0xF000) == 0xA000) statResult = 1;
  }
  ~CoreInodePropPreserver() override = default;

  void reset() override {}
  std::string getname() override { return name; }
  int getstatresult() override { return statResult; }
  int64_t getatime() override { return static_cast<int64_t>(statBuf.st_atime); }
  int64_t getmtime() override { return static_cast<int64_t>(statBuf.st_mtime); }
  uint32_t getinodeuid() override { return static_cast<uint32_t>(statBuf.st_uid); }
  uint32_t getmode() override { return static_cast<uint32_t>(statBuf.st_mode); }
  int64_t getatimensec() override { return static_cast<int64_t>(statBuf.st_atim.tv_nsec); }

 private:
  std::string name;
  StatT statBuf{};
  int32_t statResult = -1;
};
