// The reference scanner's file-system walker.
//
// The walker knows nothing about output: it hands every entry to one callback, which
// answers Continue, Prune or Stop. A failure on one entry (stat, open, read, a loop)
// reaches the callback as data (error, failed) and never ends the walk by itself.
//
// Order. Content paths are walked one after the other. Directories are visited in
// depth-first order of the directory tree:
//
//   Entry(root)                      the content path itself (depth 0)
//   DirEnter(D)                      D was opened and its listing begun (or failed: error set)
//     Entry(child) ...               every entry of D, in the order the file system lists them
//   DirListed(D)                     all entries of D were visited
//     DirEnter(first subdirectory) ... DirLeave(first subdirectory)
//     ...
//   DirLeave(D)                      everything below D was visited
//
// A directory is read in chunks of a few thousand entries, each visited while the next
// is read: memory follows the chunks read ahead and the subdirectories still to enter,
// not the number of entries in one directory. A listing that fails part-way (failed =
// Read, the entries read before the failure still given) carries its error on DirEnter
// when fewer than a chunk's worth of entries came before the failure, else on DirListed
// (DirEnter has been answered by then); DirLeave repeats what was given.
//
// Every DirEnter is matched by one DirLeave unless the callback answers Stop, after which
// nothing more is called. A directory entry answered with Prune is
// not entered; a DirEnter answered with Prune skips the entries and subdirectories of
// that directory (DirListed and DirLeave still follow).
//
// The walker opens directories relative to their parent (openat, O_NOFOLLOW), so path
// length and depth are unbounded; it keeps a bounded number of directories open and
// re-opens one from an open ancestor when it needs it again. It never follows symbolic
// links, never opens regular files, and opens directories with O_NOATIME where allowed.
//
// With threads > 1, threads - 1 reader threads read and stat directories ahead of the
// calling thread, which alone runs the callback, in exactly the order above: the
// callback sees the same sequence whatever the thread count. The calling thread reads
// too whenever the chunk it needs next is still being read. A walk given maxThreads adds
// readers while they spend most of their time waiting off the CPU (a tree that is not
// cached: every directory and inode block is a disk read), up to maxThreads.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ifind {

enum class EntryType : uint8_t { Unknown, Regular, Directory, Symlink, Fifo, Socket, CharDevice, BlockDevice };

enum class Visit : uint8_t { Entry, DirEnter, DirListed, DirLeave };

enum class Action : uint8_t { Continue, Prune, Stop };

enum class StatMode : uint8_t { Auto, Single, Ring };

// The step that failed for an entry with error != 0.
enum class Failed : uint8_t {
  None,
  Stat,    // lstat/fstatat of the entry
  Open,    // opening the directory
  Read,    // reading the directory's entries (the entries read before the error are given)
  Loop,    // the directory is one of its own ancestors (error ELOOP)
  Reopen,  // an ancestor vanished or was replaced while the walk was below it
};

struct WalkEntry {
  Visit visit = Visit::Entry;
  std::string_view path;  // the full path, NUL-terminated; valid during the callback only
  std::string_view name;  // the last component (the whole path for a content path)
  EntryType type = EntryType::Unknown;
  int depth = 0;                   // 0 for a content path
  const struct stat* st = nullptr;  // null when the walker did not stat the entry
  int error = 0;                   // 0, or the errno of the step named by failed
  Failed failed = Failed::None;
  // DirEnter only: the directory lies on a file system the walk does not enter
  // (skipDevices, oneFileSystem); it was not read and st is its own stat.
  bool otherDevice = false;
};

// What the walker stats. Directories are stat'ed when opened (DirEnter carries it);
// entries whose type the listing does not give are always stat'ed.
class RemoteReader;

struct WalkOptions {
  bool statRegular = true;   // stat regular files (for their size)
  bool statAll = false;      // stat every entry that is not a directory (times)
  bool oneFileSystem = false;  // do not enter directories on another device than their content path
  std::vector<dev_t> skipDevices;  // never entered below a content path
  int threads = 1;           // directory readers, the calling thread included (max 8)
  // With threads > 1: the readers the walk may grow to while they wait on the disk (at
  // most 16, fewer under a small open-file limit); 0 or threads: exactly threads.
  int maxThreads = 0;
  // Open directory descriptors kept for re-use; 0: from RLIMIT_NOFILE. A directory being
  // listed holds one more until its last chunk is read: readers list at most a quarter
  // as many at once (at least one each).
  int maxOpenDirs = 0;
  int maxReadAhead = 0;      // directories read ahead of the callback; 0: a default
  size_t chunkEntries = 0;   // entries of one directory read at a time; 0: a default (4096)
  // With threads > 1, a directory's names can be stat'ed many per system call through the
  // kernel's submission ring. Auto times both ways on the walk's own directories and
  // keeps the faster; Single never uses the ring; Ring uses it wherever the kernel allows.
  StatMode statMode = StatMode::Auto;
  // Auto: the way an earlier walk on this machine found faster (0 single, 1 ring), to
  // start with instead of timing both; -1: none known.
  int statKnown = -1;
  bool followRoots = false;  // a content path that is a symbolic link is walked as what it points to
  // Non-null: every directory is read through it, by remote->readers() threads, and
  // threads and maxOpenDirs are ignored. Content paths are still stat'ed here.
  RemoteReader* remote = nullptr;
  // Tests: asked by a reader thread after each directory it reads, in place of its own
  // measure of whether it waits on the disk, while readers may still be added.
  std::function<bool()> readerWaits = nullptr;
};

using WalkCallback = std::function<Action(const WalkEntry&)>;

struct DirBatch;

// A directory named for a reader that does not share the walk's descriptors: the levels
// from its content path down to it.
struct RemoteDir {
  struct Level {
    std::string_view name;  // level 0: the content path as given
    ino_t ino = 0;          // as the walk read it; 0 for the directory asked for
    uint64_t id = 0;        // unique in the walk: one id, one directory
  };
  dev_t rootDev = 0;  // the content path's device as the walk sees it
  std::vector<Level> levels;  // the content path first, the directory asked for last
};

// Reads directories elsewhere (other processes or nodes). The walker calls read from
// up to readers() threads at once; read always fills out, turning its own faults into
// the batch's error (failed = Open), never throwing.
class RemoteReader {
 public:
  virtual ~RemoteReader() = default;
  virtual int readers() const = 0;
  virtual void read(const RemoteDir& dir, const WalkOptions& options, DirBatch& out) = 0;
};

struct WalkResult {
  bool stopped = false;        // the callback answered Stop
  uint64_t directoriesRead = 0;
  uint64_t reopens = 0;        // directories re-opened from an ancestor
  const char* statStrategy = "single";  // how names were stat'ed: "ring", "single", "undecided"
  bool statTimed = false;  // Auto: statStrategy was timed against the other way in this walk
  int readers = 1;             // reading threads at the end, the calling thread included
};

// Walks each content path in turn (absolute or relative; used as given in the paths
// handed to the callback). Safe to call from any one thread; the callback runs on it.
WalkResult walk(std::span<const std::string> roots, const WalkOptions& options, const WalkCallback& callback);

// The type named by a stat mode.
EntryType typeFromMode(mode_t mode);
// A short lower-case name: "file", "dir", "symlink", "fifo", "socket", "chardev", "blockdev", "unknown".
const char* typeName(EntryType type);
// The step's name as used in failure reports: "lstat", "opendir", "readdir", "loop", "reopen".
const char* failedName(Failed failed);

}  // namespace ifind
