// Collect file splitting: the input, any bytes (empty lines, NULs, no final newline), is
// collect file 1 of a temp folder, and splitCollectFiles runs with m_nextCollectNum 2,
// once as a plain split and once with the subclient asking for 1..8 streams, so pieces
// may be cut off. The model: every line cut before its last "|" and ended by a newline.
// The pieces, read in number order, must hold the model's lines, none may be empty,
// "split_config" must describe them ("1\n" when uncut, nothing for an empty file, else
// the cut file's line and one line per piece), and no scratch copy may be left.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "scanphase/KzFind.h"

namespace fs = std::filesystem;

namespace {

using kzfuzz::check;

// The collect files go beside the fake's job folder.
const std::string& workDir() {
  static const std::string dir = fs::path(kzfuzz::fake("/job").jobDir()).parent_path();
  return dir;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every name in the work folder but the fake's job folder.
std::set<std::string> names() {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(workDir())) out.insert(e.path().filename());
  out.erase("job");
  return out;
}

std::string model(std::string_view in) {
  std::string out;
  for (size_t pos = 0; pos < in.size();) {
    size_t end = std::min(in.find('\n', pos), in.size());
    std::string_view line = in.substr(pos, end - pos);
    out.append(line.substr(0, std::min(line.rfind('|'), line.size()))) += '\n';
    pos = end + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::string_view data(reinterpret_cast<const char*>(bytes), size);
  const std::string expected = model(data);
  for (bool cut : {false, true}) {
    for (const std::string& n : names()) fs::remove(workDir() + "/" + n);
    std::ofstream(workDir() + "/C1.L", std::ios::binary) << data;
    const int streams = cut ? 1 + static_cast<int>(size % 8) : 1;
    KzFind find;
    find.m_collectDir = workDir();
    find.m_collectBase = "C";
    find.m_collectExt = "L";
    find.m_nextCollectNum = 2;
    find.m_numStreams = streams;
    find.m_subclientFlag = cut;
    find.m_collectInfo[1].totalSize = static_cast<long long>(size) * 1000;
    check(!find.splitCollectFiles().IsError(), "splitCollectFiles failed");

    const int last = find.m_nextCollectNum - 1;
    check(last >= 1 && last <= streams, "more pieces than streams");
    if (!cut) check(last == 1 && find.m_curCollectNum == 1, "a plain split cut or moved the collect number");
    std::string all;
    std::set<std::string> want = {"split_config"};
    for (int n = 1; n <= last; ++n) {
      want.insert("C" + std::to_string(n) + ".L");
      std::optional<std::string> piece = readFile(workDir() + "/C" + std::to_string(n) + ".L");
      check(piece && (size == 0 || !piece->empty()), "a piece is missing or empty");
      all += piece.value_or("");
    }
    check(all == expected, "the pieces differ from the model");
    // A cut file's line names its pieces; each piece then gets its own line in its turn.
    std::string config = size == 0 ? "" : last == 1 ? "1\n" : "1 2 " + std::to_string(last) + "\n";
    for (int n = 2; n <= last; ++n) config += std::to_string(n) + " " + std::to_string(last + 1) + " " + std::to_string(n) + "\n";
    check(readFile(workDir() + "/split_config") == config, "split_config does not describe the pieces");
    check(names() == want, "a scratch copy or stray file was left behind");
  }
  // Drop the recorded calls and debug lines now, so an input frees what it allocated
  // (libFuzzer runs a leak scan after every input that did not).
  kzfuzz::fake().clear();
  return 0;
}
