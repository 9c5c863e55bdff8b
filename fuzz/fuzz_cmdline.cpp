// The command line: arbitrary arguments (the input split at NUL bytes, at most 64) go
// to ParseCommandLine on one object and to Initialize on another, on a recording fake
// platform. Neither may crash, read past argv or leak; a success must leave the
// settings Initialize promises.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "fuzz_cmdline: %s\n", what);
    abort();
  }
}

kzhost::FakePlatform& fake() {
  // One platform for the process: a fresh one per input would make a temp folder each time.
  static kzhost::ScopedFakePlatform* platform = [] {
    kzhost::FakePlatform::Switches sw;
    char templ[] = "/tmp/kzfuzz-cmdline-XXXXXX";
    if (!mkdtemp(templ)) abort();
    sw.jobDir = templ;
    static std::string removeAtExit = templ;
    atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removeAtExit, ec);
    });
    return new kzhost::ScopedFakePlatform(sw);
  }();
  return **platform;
}

class FuzzFind : public KzFind {};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kzhost::FakePlatform& platform = fake();

  std::vector<std::string> args;
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i]);
    }
  }
  if (size) args.push_back(cur);
  if (args.size() > 64) args.resize(64);

  // argv as a host builds it: exactly argc entries, each its own allocation (so ASan sees
  // any read past an argument or past argv), then the customary null.
  std::vector<char*> argv;
  for (const auto& a : args) {
    char* p = static_cast<char*>(malloc(a.size() + 1));
    memcpy(p, a.c_str(), a.size() + 1);
    argv.push_back(p);
  }
  int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  {
    FuzzFind find;
    CLoError err = find.ParseCommandLine(argc, argv.data());
    if (!err.IsError()) check(err.message().empty(), "success with a message");
  }
  {
    FuzzFind find;
    CLoError err = find.Initialize(argc, argv.data());
    if (!err.IsError()) {
      check(!find.m_dataServer.empty(), "Initialize succeeded without a data server");
      check(!find.m_subclient.empty(), "Initialize succeeded without a subclient");
      check(!find.m_dorvaneName.empty(), "Initialize succeeded without a Dorvane name");
      check(find.m_backupType == 1 || find.m_backupType == 2 || find.m_backupType == 4,
            "Initialize succeeded with an invalid backup type");
      if (find.m_backupType == 1) check(find.m_refTime == 0, "full scan with a reference time");
      if (find.m_backupType == 4) check(find.m_refTime == 1, "differential scan without reference time 1");
    }
  }
  for (char* p : argv) free(p);
  // Drop the recorded calls and debug lines now, so an input frees what it allocated
  // (libFuzzer runs a leak scan after every input that did not).
  platform.clear();
  return 0;
}
