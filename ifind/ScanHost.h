// ScanHost: the reference scanner's KzFind. It walks the content paths with the
// walker (ifind/Walker.h) and decides what the scan records: files through
// addToCollect, directories through collectAncestors, changed directories through
// addToDirchange, and entries it could not process through reportFailFile.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "ifind/Exclude.h"
#include "ifind/ScanState.h"
#include "ifind/Walker.h"
#include "scanphase/KzFind.h"

namespace ifind {

struct ScanConfig {
  std::vector<std::string> roots;     // absolute, normalised, none inside another
  std::vector<std::string> excludes;  // patterns, as ifind/Exclude.h reads them
  bool excludeCaches = false;         // leave out what a folder tagged CACHEDIR.TAG holds (not the tag)
  std::vector<std::string> excludeIfPresent;  // leave out folders that hold an entry of one of these names
  bool oneFileSystem = false;
  bool skipPseudoFileSystems = true;
  int threads = 1;
  int maxThreads = 0;  // readers the walk may grow to while they wait on the disk; 0: threads
  StatMode statMode = StatMode::Auto;  // how the walker stats a directory's names
  int statKnown = -1;                 // with Auto: the faster way found before (WalkOptions)
  bool followRoots = false;           // walk what a content path that is a link points to
  RemoteReader* remote = nullptr;     // non-null: directories are read through it, not here
  bool progress = false;              // one refreshed line on stderr
  // Incremental and differential scans record what changed after this time (seconds).
  int64_t referenceTime = 0;
  // What an incremental or differential compares with besides the time: directories
  // not in the base, and paths the base could not take, are taken whole. May be null.
  const ScanBase* base = nullptr;
  // Receives the directories entered and the entries that could not be taken. May be null.
  ScanStateWriter* state = nullptr;
};

struct ScanStats {
  uint64_t entries = 0;      // entries seen (content paths included)
  uint64_t directories = 0;  // directories entered
  uint64_t files = 0;        // non-directories recorded through addToCollect
  uint64_t bytes = 0;        // sum of their sizes
  uint64_t excluded = 0;     // entries left out by a filter
  uint64_t unchanged = 0;    // non-directories an incremental scan left out
  uint64_t failures = 0;     // reportFailFile calls
  uint64_t entryFailures = 0;  // of those, entries that could not be taken (a partial scan)
  uint64_t scannerErrors = 0;  // of those, the scanner's own (descriptors, memory): the scan fails
  std::string scannerError;    // the first of them, for the user
  std::vector<std::string> firstFailures;  // the first few entry failures, "path: reason"
  uint64_t takenWhole = 0;   // directories an incremental took whole (new, moved in, or owed)
  uint64_t writeErrors = 0;  // addToCollect or addToDirchange returned -1
  uint64_t unlisted = 0;     // failures the failures file could not take
  bool missingRoot = false;  // a content path could not be stat'ed, opened or read
  bool interrupted = false;  // the quit flag stopped the walk
  double seconds = 0;
  const char* statStrategy = "single";  // what the walker used
  bool statTimed = false;               // ... timed against the other way in this walk
  int readers = 1;                      // reading threads at the end of the walk
  std::vector<std::string> automountsNotEntered;  // automount points below the content paths
};

// True for an error that is about the scanner rather than the entry: running out of
// descriptors or memory. Such an error fails the scan; an entry's own error makes it partial.
bool isScannerFault(int error);

// "1.5 GiB": bytes in the largest binary unit that keeps a value of at least 1.
std::string humanBytes(uint64_t bytes);

// File-system types that hold no data to back up; never entered unless a content
// path lies on one.
bool isPseudoFileSystem(const std::string& type);
// The automount points (autofs) below the content paths, outermost only, none inside
// another pseudo file system. The walk does not enter them, which would mount every
// share they serve; the user is told.
std::vector<std::string> automountsBelow(const std::vector<mntfs_ent>& mounts, const std::vector<std::string>& roots);

// One line of /proc/self/mountinfo: the mount point (unescaped), type, source and device.
struct MountInfo {
  mntfs_ent entry;
  dev_t dev = 0;
};
// Parses the text of a mountinfo file; lines it cannot read are passed over.
std::vector<MountInfo> parseMountInfo(const std::string& text);
// Undoes the octal escapes (\040, \011, \012, \134) of a mountinfo field.
std::string unescapeMountField(std::string_view field);

class ScanHost : public KzFind {
 public:
  explicit ScanHost(ScanConfig config);
  ~ScanHost() override;

  // Reads the mount table into m_mounts (and the pseudo file systems to skip).
  void loadMounts();
  // Reads the subclient's filter file (after Start: m_files is filled), one pattern a
  // line, blank lines and lines starting with '#' passed over.
  // Returns how many patterns it took.
  int loadFilterFile();
  // Walks the content paths and records them; sets m_scanSucceeded. Call after Start.
  const ScanStats& scan();
  const ScanStats& stats() const { return m_stats; }
  // Raised when the walk is to stop (processIfindInterruption).
  bool stopRequested() const { return m_stop.load(std::memory_order_relaxed); }

  // KzFind hooks.
  CLoError Finish() override;
  void processIfindInterruption() override;
  bool CheckIfFileisFilteredOut(const char* path) override;
  // One collect file per file system: the device of the entry being recorded picks it.
  void DecideIfNewMountPoint(const char* path, bool flag) override;
  // Logs (base), appends "<escaped path>|<reason>" to the failures file and counts.
  void reportFailFile(const char* first, const char* second) override;

 private:
  void closeFailures();
  struct DirState {
    dev_t dev = 0;
    bool changed = false;  // ctime or mtime after the reference time
    bool want = false;     // the directory itself is to be recorded
    bool covered = false;  // a collectAncestors call already recorded it
    bool takeAll = false;  // an incremental takes everything below, whatever its times
    bool cache = false;    // tagged as a cache: only the tag itself is taken
  };

  Action visit(const WalkEntry& e);
  Action onEntry(const WalkEntry& e);
  Action onDirEnter(const WalkEntry& e);
  void onDirLeave(const WalkEntry& e);
  void fail(const WalkEntry& e);
  void failRoot(const WalkEntry& e);
  bool newer(const struct stat* st) const;
  bool owed(std::string_view path) const;
  bool filtered(const WalkEntry& e);
  void progressTick(std::string_view path, bool force);
  void clearProgress();

  ScanConfig m_config;
  ScanStats m_stats;
  std::atomic<bool> m_stop{false};
  bool m_incremental = false;
  bool m_finishing = false;
  std::vector<DirState> m_dirs;  // by depth, for the directories being walked
  bool excludedFolder(const WalkEntry& e, DirState& d);
  ExcludeRules m_excludes;
  std::string m_root;  // the content path being walked
  std::vector<dev_t> m_pseudoDevices;
  std::string m_scratch;

  // DecideIfNewMountPoint: the device of the entry about to be recorded.
  dev_t m_entryDev = 0;
  dev_t m_lastDev = 0;
  std::unordered_map<dev_t, int32_t> m_devCollect;

  FILE* m_failuresFp = nullptr;

  // Progress line.
  uint64_t m_tick = 0;
  double m_lastDraw = 0;
  double m_started = 0;
  bool m_drawn = false;
};

}  // namespace ifind
