// The reference scanner's command line: its own long options, the content paths, and
// the scan phase's options, which go unchanged to KzFind::Initialize.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ifind {

struct Options {
  std::vector<std::string> paths;     // content paths as given
  std::vector<std::string> excludes;  // --exclude
  int backupType = 1;                 // --full 1, --incremental 2, --differential 4; a phase -f/-t wins
  bool oneFileSystem = false;
  bool appleDouble = false;
  bool preserveAtime = false;
  bool quiet = false;
  bool json = false;
  bool history = false;
  bool help = false;
  bool singleStats = false;  // --single-stats
  int streams = 0;      // 0: the number of CPUs
  int threads = 0;      // 0: the number of CPUs, at most 8
  int debugLevel = -1;  // -1: KZFIND_DEBUG or the platform's default

  // Phase options found on the command line (the last value of each).
  std::optional<std::string> jobId;       // -j
  std::optional<std::string> appId;       // -a
  std::optional<std::string> dataServer;  // -d
  std::optional<std::string> phaseType;   // -f / -t
  std::optional<std::string> refTime;     // -r

  // The backup type the phase will use: -f/-t when given, else the long options.
  int effectiveBackupType() const;
};

// Reads argv[1..argc-1] into out. On a usage error returns the message, for phase
// options the phase's own ("Insufficient arguments for option 'j'"); else nullopt.
std::optional<std::string> parseArguments(int argc, char** argv, Options& out);

// The help text: the scanner's options and the phase's options.
std::string usageText(const char* program);

// An absolute path without ".", "..", repeated or trailing "/" (made absolute against cwd).
std::string normalizePath(std::string_view path, std::string_view cwd);
// The normalised content paths, sorted, without duplicates and without paths that
// lie inside another content path.
std::vector<std::string> contentRoots(const std::vector<std::string>& paths, std::string_view cwd);
// A stable subclient number (1 .. 999999999) for a content path list.
uint32_t contentSubclientId(const std::vector<std::string>& roots);

}  // namespace ifind
