// One directory read, or a chunk of its entries: what a reader produces and the
// recorder consumes. A reader in another process reads a directory whole.
//
// A batch is self-contained (the directory's own stat, its names, types, the stats the
// scan asked for and each entry's error), so it can be read by a thread of the walk or
// by another process, possibly on another node, and sent back as bytes.
#pragma once

#include "ifind/StatBatch.h"
#include "ifind/Walker.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ifind {

struct DirChild {
  uint32_t nameOff;
  uint32_t nameLen;
  EntryType type;
  int error;        // stat error
  int32_t statIdx;  // into DirBatch::stats, -1 when not stat'ed
  int32_t subdir;   // the walker's index of the subdirectory, -1 for a non-directory
};

struct DirBatch {
  int error = 0;
  Failed failed = Failed::None;
  bool haveStat = false;
  bool otherDevice = false;
  struct stat st {};
  std::string names;  // each name followed by a NUL
  std::vector<DirChild> children;
  std::vector<struct stat> stats;
};

// What one reading thread reuses from directory to directory.
struct DirReadState {
  DirReadState(bool ring, StatChooser* c) : stats(ring), chooser(c) {}
  std::vector<char> buf = std::vector<char>(64 * 1024);
  StatBatch stats;
  StatChooser* chooser;  // null: the ring whenever it is there
  std::vector<const char*> names;  // of the children to stat
  std::vector<int> errs;
  std::vector<uint32_t> children;  // their places in the batch
};

// Reads directories named by RemoteDir (for a reader in another process), keeping the
// levels of the last one open, so that the next directory nearby costs one open.
// Devices are reported in the walk's numbering where they are the content path's own
// (another node may number the same file system differently).
class PathReader {
 public:
  explicit PathReader(size_t maxOpen = 256);
  ~PathReader();
  PathReader(const PathReader&) = delete;
  PathReader& operator=(const PathReader&) = delete;
  // Reads the directory whose first `known` levels are the ones this reader holds (see
  // held()) and whose further levels are dir.levels. Fills out (reset first): an ancestor
  // that cannot be reached or is no longer the directory read gives failed = Reopen,
  // the directory itself failed = Open, a known beyond held() EPROTO.
  void read(const RemoteDir& dir, size_t known, const WalkOptions& opt, DirBatch& out);
  // The leading levels of the last directory asked for that this reader still holds.
  size_t held() const { return m_open.size(); }

 private:
  struct Level {
    std::string name;
    ino_t ino;
    int fd;
  };
  void closeFrom(size_t level);
  void evict(size_t except);
  void adopt(size_t level, int fd);
  int fdOf(size_t level);  // -1 with errno when a level cannot be re-opened as it was
  size_t m_maxOpen;
  size_t m_openCount = 0;
  size_t m_firstOpen = 1;  // levels before it (the content path's aside) hold no descriptor
  bool m_followRoot = false;
  dev_t m_localRootDev = 0;
  std::vector<Level> m_open;  // [0]: the content path, then one directory a level; fd -1: closed
  DirReadState m_rs{false, nullptr};
};

// What a PathReader in another process holds, as the side that sends it work tracks it,
// so that a request names only the levels below them: a chain thousands of directories
// deep then costs a few names a request, not the whole chain.
class HeldLevels {
 public:
  // How many leading levels of dir the reader holds.
  size_t common(const RemoteDir& dir) const;
  // After a read of dir, the reader holds its first `held` levels.
  void update(const RemoteDir& dir, size_t held);

 private:
  std::vector<uint64_t> m_ids;
};

// Lists the open directory fd into b from where the last call on fd stopped, until b
// holds at least maxEntries entries or the listing ends, and stats the entries the walk
// options ask for. True when entries may remain (call again with a fresh batch); false
// at the end or on a read error, which keeps the entries read before it (failed = Read).
// Does not close fd.
bool listDirectory(int fd, DirBatch& b, DirReadState& rs, const WalkOptions& opt, size_t maxEntries = SIZE_MAX);

// A batch as bytes and back, for sending between processes of one machine kind (stat
// structures are copied as they are). decodeBatch returns false on a malformed message
// and leaves out unspecified.
void encodeBatch(const DirBatch& b, std::string& out);
bool decodeBatch(std::string_view in, DirBatch& out);

}  // namespace ifind
