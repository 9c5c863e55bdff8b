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
  std::vector<std::string> excludes;  // --exclude, and the lines of each --exclude-from file
  bool excludeCaches = false;         // --exclude-caches
  std::vector<std::string> excludeIfPresent;  // --exclude-if-present
  int backupType = 1;                 // --full 1, --incremental 2, --differential 4; a phase -f/-t wins
  bool oneFileSystem = false;
  bool appleDouble = false;
  bool preserveAtime = false;
  bool quiet = false;
  bool json = false;
  bool history = false;
  bool help = false;
  bool version = false;
  bool list = false;        // --list: print the entries of the latest (or --job) scan
  bool print0 = false;      // -0, --null: entries ended by NUL, not newline
  bool filesOnly = false;   // --files-only: no folders in the list
  long long listJob = 0;    // --job N
  int forgetKeep = -1;      // --forget N: keep the newest N jobs of the PATHs' subclient
  bool singleStats = false;  // --single-stats
  bool batchStats = false;   // --batch-stats
  bool followRoots = false;  // -H, --dereference-args: walk what a content path that is a link points to
  bool mpi = false;          // --mpi: directories are read by the other MPI ranks
  int mpiTimeout = 60;       // --mpi-timeout: seconds a read may take before the scan fails
  int waitSeconds = 0;       // --wait: how long to wait for another scan of the subclient
  std::string name;          // --name: the subclient, instead of one derived from the paths
  int streams = 0;      // 0: the number of CPUs
  int threads = 0;      // 0: the number of CPUs, at most 8
  int debugLevel = -1;  // -1: KZFIND_DEBUG or the platform's default

  // Phase options found on the command line (the last value of each).
  std::optional<std::string> jobId;       // -j
  std::optional<std::string> appId;       // -a
  std::optional<std::string> dataServer;  // -d
  std::optional<std::string> phaseType;   // -f / -t
  std::optional<std::string> refTime;     // -r
  // Every phase option as given, with its value, in order: what the phase's own parser
  // gets. Content paths never go there, whatever they look like.
  std::vector<std::string> phaseArgs;

  // The backup type the phase will use: -f/-t when given, else the long options.
  int effectiveBackupType() const;
};

// Reads argv[1..argc-1] into out. On a usage error returns the message, for phase
// options the phase's own ("Insufficient arguments for option 'j'"); else nullopt.
std::optional<std::string> parseArguments(int argc, char** argv, Options& out);

// The help text: the scanner's options and the phase's options.
std::string usageText(const char* program);

// An absolute path without ".", "..", repeated or trailing "/" (made absolute against cwd).
// ".." is taken textually here; resolveContentPath takes it as the kernel does.
std::string normalizePath(std::string_view path, std::string_view cwd);
// A content path made absolute and normal. Everything up to its last ".." is resolved
// against the real directories (a link before ".." is followed, as the kernel does);
// the rest is kept as written, so a link named last stays a link. cwd empty: the
// current directory is gone, and a relative path is an error. On error returns nullopt
// and sets error to the reason.
std::optional<std::string> resolveContentPath(const std::string& path, const std::string& cwd, std::string& error);
// Whether path is root or lies below it (both absolute and normal).
bool atOrBelow(std::string_view path, std::string_view root);
// The content paths, sorted, without duplicates and without paths that lie inside
// another content path (all already absolute and normal).
std::vector<std::string> contentRoots(std::vector<std::string> paths);
// A stable subclient number (1 .. 999999999) for a content path list.
uint32_t contentSubclientId(const std::vector<std::string>& roots);

}  // namespace ifind
