// What the scanner keeps of its own scans in a subclient's job directory, so that an
// incremental or differential never misses what an earlier scan did not take:
//
//   scans.jsonl          one line per recorded scan: {"jobId", "status" ("success" or
//                        "partial"), "backupType", "referenceTime", "selection"}
//   scans/<jobId>.dirs   the directories the scan entered: "<dev> <ino> <escaped path>"
//   scans/<jobId>.failed the entries it could not take, one escaped path a line
//
// A later scan compares with a base (the last scan for an incremental, the last full
// for a differential): directories missing from the base's inventory (created, moved
// or renamed in) and every path a scan since the base could not take are taken whole,
// whatever their times. A base whose selection differs, or whose files are missing, is
// no base: the scan runs as a full one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

namespace ifind {

// A directory as the inventory knows it: where it is and what it is.
struct DirKey {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t pathHash = 0;
  bool operator==(const DirKey&) const = default;
};
struct DirKeyHash {
  size_t operator()(const DirKey& k) const noexcept {
    return static_cast<size_t>((k.dev * 0x9E3779B97F4A7C15ull) ^ (k.ino * 0xC2B2AE3D27D4EB4Full) ^ k.pathHash);
  }
};
uint64_t pathHash(std::string_view path);

// What the next scan compares with.
struct ScanBase {
  long long jobId = 0;
  int64_t referenceTime = 0;
  std::unordered_set<DirKey, DirKeyHash> dirs;
  std::unordered_set<std::string> carried;  // paths to take whole, whatever their times
};

// A text that changes whenever what a scan selects changes: the content paths, the
// excludes, the filter file's text, and the file-system choices.
std::string selectionKey(const std::vector<std::string>& roots, const std::vector<std::string>& excludes,
                         const std::string& filterText, bool oneFileSystem, bool followRoots);

// The base for a scan of backupType (2 incremental, 4 differential) in jobDir, or
// nullopt with why set ("no earlier scan of these paths", ...).
std::optional<ScanBase> findBase(const std::string& jobDir, int backupType, const std::string& selection,
                                 std::string& why);

// The large files of a job directory, held open across Start. Start unlinks the
// previous run's collect files, and it is the last reference to an unlinked file that
// frees its blocks, which on ext4 with discards waits for the disk (about a millisecond
// a megabyte once the file was written out). Letting go of them on a thread moves that
// wait off the way to the walk; files Start leaves in place are merely closed.
class HeldOutputs {
 public:
  static constexpr off_t kLarge = off_t{1} << 20;
  static constexpr size_t kMost = 64;
  explicit HeldOutputs(const std::string& jobDir);
  ~HeldOutputs();  // lets go of what is still held and waits for the thread
  HeldOutputs(const HeldOutputs&) = delete;
  HeldOutputs& operator=(const HeldOutputs&) = delete;
  void releaseInBackground();

 private:
  std::vector<int> m_fds;  // O_PATH descriptors
  std::thread m_thread;
};

// Writes the inventory and the failed paths of a scan as it goes.
class ScanStateWriter {
 public:
  ScanStateWriter() = default;
  ~ScanStateWriter();
  ScanStateWriter(const ScanStateWriter&) = delete;
  ScanStateWriter& operator=(const ScanStateWriter&) = delete;

  // Creates jobDir/scans/<jobId>.dirs and .failed; false (errno set) when it cannot.
  bool open(const std::string& jobDir, long long jobId);
  void addDir(dev_t dev, ino_t ino, std::string_view path);
  void addFailed(std::string_view path);
  // Flushes and closes both files; false when any line may be lost.
  bool close();

 private:
  FILE* m_dirs = nullptr;
  FILE* m_failed = nullptr;
  std::string m_line;
  bool m_ok = true;
};

struct ScanRecord {
  long long jobId = 0;
  bool partial = false;
  int backupType = 1;
  int64_t referenceTime = 0;
  std::string selection;
  std::vector<std::string> roots;         // the content paths
  std::vector<std::string> collectFiles;  // what the scan left for the next phase
};
// Appends the record of a finished scan (its files written before) and removes the
// files of scans no later scan can use as a base. False when the record was not written.
bool recordScan(const std::string& jobDir, const ScanRecord& record);

// Notes that the job directory's lists (collect files) are now jobId's, before its walk
// writes them: a listing must never pass an earlier scan's record off with them.
bool noteListsOwner(const std::string& jobDir, long long jobId);

// Writes the entries a recorded scan left in its collect files, as real paths, each
// ended by sep: jobId 0 the latest scan. Only entries at or below its content paths;
// with filesOnly, no folders. 0 on success; else prints why to err and returns 1.
int listScan(const std::string& jobDir, long long jobId, char sep, bool filesOnly, FILE* out, FILE* err);

}  // namespace ifind
