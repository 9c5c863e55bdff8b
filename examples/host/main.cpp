// A small host of the scan phase: walks one directory tree and records every file.
//   example_host DIR    (state under $KZFIND_HOME, as for ifind)
#include <kzfind/KzFind.h>

#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

// The subclass walks; the base class writes the collect files and reports.
class TreeScan : public KzFind {
 public:
  explicit TreeScan(fs::path root) : m_root(std::move(root)) {}

  bool walk() {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_root, ec); !ec && it != fs::end(it); it.increment(ec)) {
      const std::string path = it->path().string();
      if (it->is_directory(ec)) continue;  // folders go in as the ancestors of their files
      std::uintmax_t size = it->is_regular_file(ec) ? it->file_size(ec) : 0;
      if (addToCollect(path.c_str(), static_cast<long long>(size)) != 0) return false;
      collectAncestors(path.c_str());
    }
    if (ec) reportFailFile(ec.message().c_str(), m_root.c_str());
    return !ec;
  }

 private:
  fs::path m_root;
};

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: example_host DIR\n";
    return 2;
  }
  TreeScan scan(fs::absolute(argv[1]));
  // The phase's own command line: job 1, application 1:1, a data server, a full backup.
  char* args[] = {argv[0], const_cast<char*>("-j"), const_cast<char*>("1"), const_cast<char*>("-a"),
                  const_cast<char*>("1:1"), const_cast<char*>("-d"), const_cast<char*>("localhost"),
                  const_cast<char*>("-f"), const_cast<char*>("1")};
  CLoError err = scan.Initialize(9, args);
  // Each step needs the one before it; Finish reports a failure to the job manager too.
  using Step = CLoError (KzFind::*)();
  for (Step step : {&KzFind::AppInitialize, &KzFind::JobInitialize, &KzFind::SCInitialize,
                    &KzFind::EngineInitialize, &KzFind::ProxyInitialize, &KzFind::Start}) {
    if (err.IsError()) break;
    err = (scan.*step)();
  }
  if (err.IsError()) {
    std::cerr << "example_host: " << err.message() << "\n";
    if (scan.m_jobClient) scan.Finish();
    return 1;
  }
  scan.m_scanSucceeded = scan.walk();  // Finish reports what the walk says
  scan.Finish();
  std::cout << scan.m_numEntries << " lines in " << scan.m_collectDir << "/" << scan.m_collectBase << "*."
            << scan.m_collectExt << "\n";
  return scan.m_scanSucceeded ? 0 : 1;
}
