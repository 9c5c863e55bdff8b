// The command line: arbitrary arguments (the input split at NUL bytes, at most 64) go
// to ParseCommandLine on one object and to Initialize on another, on a recording fake
// platform. Neither may crash, read past argc or leak; a success must leave the
// settings Initialize promises.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "scanphase/KzFind.h"

using kzfuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kzhost::FakePlatform& platform = kzfuzz::fake();
  // argv as a host builds it: exactly argc entries, each its own allocation (so ASan sees
  // any read past an argument or past argv), then the customary null.
  std::vector<char*> argv;
  for (size_t start = 0; start < size && argv.size() < 64;) {
    const void* nul = memchr(data + start, 0, size - start);
    size_t end = nul ? static_cast<const uint8_t*>(nul) - data : size;
    argv.push_back(strndup(reinterpret_cast<const char*>(data + start), end - start));
    start = end + 1;
    if (nul && start == size && argv.size() < 64) argv.push_back(strdup(""));  // a final NUL ends an empty argument
  }
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  CLoError parsed = KzFind().ParseCommandLine(argc, argv.data());
  check(parsed.IsError() || parsed.message().empty(), "success with a message");
  KzFind find;
  if (!find.Initialize(argc, argv.data()).IsError()) {
    check(!find.m_dataServer.empty() && !find.m_subclient.empty() && !find.m_dorvaneName.empty(),
          "Initialize succeeded without a data server, subclient or Dorvane name");
    check(find.m_backupType == 1 || find.m_backupType == 2 || find.m_backupType == 4, "invalid backup type");
    check(find.m_backupType != 1 || find.m_refTime == 0, "full scan with a reference time");
    check(find.m_backupType != 4 || find.m_refTime == 1, "differential scan without reference time 1");
  }
  for (char* p : argv) free(p);
  // Drop the recorded calls and debug lines now, so an input frees what it allocated
  // (libFuzzer runs a leak scan after every input that did not).
  platform.clear();
  return 0;
}
