// Collect file splitting: the input, any bytes (empty lines, NULs, no final newline), is
// collect file 1 of a temp folder; splitCollectFiles runs with m_nextCollectNum 2 and
// the result is compared with a plain model: every line cut before its last "|" and
// ended by a newline, and "split_config" holding "1\n" when the file held at least one
// line, else nothing (the file itself then stays as it was).
// The same input is then split again with the subclient asking for up to 1..8 streams,
// so pieces may be cut off: the pieces, read in number order, must hold the same lines,
// none may be empty, and "split_config" must describe them.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "fuzz_split: %s\n", what);
    abort();
  }
}

// The fake platform is kept for the life of the process (reachable, so not a leak): a
// fresh one per input would make a temp folder each time.
kzhost::ScopedFakePlatform* g_platform = nullptr;

const std::string& workDir() {
  static const std::string dir = [] {
    kzhost::FakePlatform::Switches sw;
    char templ[] = "/tmp/kzfuzz-split-XXXXXX";
    if (!mkdtemp(templ)) abort();
    sw.jobDir = std::string(templ) + "/job";
    g_platform = new kzhost::ScopedFakePlatform(sw);
    static std::string removeAtExit = templ;
    atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removeAtExit, ec);
    });
    return std::string(templ);
  }();
  return dir;
}

std::string collectPath(int n) { return workDir() + "/C" + std::to_string(n) + ".L"; }

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

void writeFile(const std::string& path, std::string_view data) {
  FILE* f = fopen(path.c_str(), "wb");
  check(f != nullptr, "cannot create the collect file");
  check(fwrite(data.data(), 1, data.size(), f) == data.size() && fclose(f) == 0, "cannot write the collect file");
}

// Removes everything but the folder of the fake's job files from the work folder.
void clearWorkDir() {
  DIR* d = opendir(workDir().c_str());
  check(d != nullptr, "cannot list the work folder");
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || name == "job") continue;
    unlink((workDir() + "/" + name).c_str());
  }
  closedir(d);
}

bool onlyExpectedFiles(int lastCollect) {
  DIR* d = opendir(workDir().c_str());
  check(d != nullptr, "cannot list the work folder");
  bool ok = true;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || name == "job" || name == "split_config") continue;
    bool known = false;
    for (int n = 1; n <= lastCollect; ++n) known |= name == "C" + std::to_string(n) + ".L";
    ok &= known;
  }
  closedir(d);
  return ok;
}

// The model: each line cut before its last "|", each ended by a newline.
std::string model(std::string_view in, int& lines) {
  std::string out;
  lines = 0;
  size_t pos = 0;
  while (pos < in.size()) {
    size_t nl = in.find('\n', pos);
    size_t end = nl == std::string_view::npos ? in.size() : nl;
    std::string_view line = in.substr(pos, end - pos);
    size_t bar = line.rfind('|');
    out.append(line.substr(0, bar == std::string_view::npos ? line.size() : bar));
    out += '\n';
    ++lines;
    pos = end + 1;
  }
  return out;
}

class FuzzFind : public KzFind {};

// Runs splitCollectFiles over collect file 1 holding data; returns the finder's state.
void runSplit(std::string_view data, bool subclientFlag, int streams, FuzzFind& find) {
  clearWorkDir();
  writeFile(collectPath(1), data);
  find.m_collectDir = workDir();
  find.m_collectBase = "C";
  find.m_collectExt = "L";
  find.m_nextCollectNum = 2;
  find.m_numStreams = streams;
  find.m_subclientFlag = subclientFlag;
  find.m_collectInfo[1].totalSize = static_cast<long long>(data.size()) * 1000;
  CLoError err = find.splitCollectFiles();
  check(!err.IsError(), "splitCollectFiles failed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::string_view data(reinterpret_cast<const char*>(bytes), size);
  workDir();
  int lines = 0;
  const std::string expected = model(data, lines);
  std::string got, config;

  {
    FuzzFind find;
    runSplit(data, false, 1, find);
    check(readFile(collectPath(1), got), "collect file 1 is gone");
    check(readFile(workDir() + "/split_config", config), "no split_config");
    if (lines == 0) {
      check(got.empty(), "an empty collect file was changed");
      check(config.empty(), "split_config lists a collect file without lines");
    } else {
      check(got == expected, "rewritten collect file differs from the model");
      check(config == "1\n", "split_config is not \"1\\n\"");
    }
    check(find.m_nextCollectNum == 2, "a collect file was cut without the subclient asking");
    check(find.m_curCollectNum == 1, "m_curCollectNum is not the last collect file");
    check(onlyExpectedFiles(1), "a scratch copy or stray file was left behind");
  }

  {
    const int streams = 1 + static_cast<int>(size % 8);
    FuzzFind find;
    runSplit(data, true, streams, find);
    const int last = find.m_nextCollectNum - 1;
    check(last >= 1 && last <= (streams > 1 ? streams : 1), "more pieces than streams");
    std::string all;
    for (int n = 1; n <= last; ++n) {
      std::string piece;
      check(readFile(collectPath(n), piece), "a piece is missing");
      if (lines > 0) check(!piece.empty(), "an empty piece");
      all += piece;
    }
    check(all == (lines == 0 ? std::string() : expected), "the pieces differ from the model");
    check(readFile(workDir() + "/split_config", config), "no split_config");
    if (lines == 0) {
      check(config.empty(), "split_config lists a collect file without lines");
    } else if (last == 1) {
      check(config == "1\n", "split_config of an uncut file is not \"1\\n\"");
    } else {
      check(config == "1 2 " + std::to_string(last) + "\n", "split_config does not describe the pieces");
    }
    check(onlyExpectedFiles(last), "a scratch copy or stray file was left behind (cut run)");
  }
  // Drop the recorded calls and debug lines now, so an input frees what it allocated
  // (libFuzzer runs a leak scan after every input that did not).
  (*g_platform)->clear();
  return 0;
}
