// Helpers shared by the fuzzers.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "hostservices/FakePlatform.h"

namespace kzfuzz {

inline void check(bool ok, const char* what) {
  if (!ok) fprintf(stderr, "fuzz: %s\n", what), abort();
}

// One recording fake for the process, its job files in a temp folder removed at exit: a
// fresh one per input would make a folder each time. It stays reachable, so no leak.
inline kzhost::FakePlatform& fake(const std::string& jobSub = "") {
  static kzhost::ScopedFakePlatform* platform = [&] {
    char templ[] = "/tmp/kzfuzz-XXXXXX";
    if (!mkdtemp(templ)) abort();
    static std::string removeAtExit = templ;
    atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removeAtExit, ec);
    });
    kzhost::FakePlatform::Switches sw;
    sw.jobDir = removeAtExit + jobSub;
    return new kzhost::ScopedFakePlatform(sw);
  }();
  return **platform;
}

}  // namespace kzfuzz
