// Plain records the host platform fills and the scan phase reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The application's information record.
struct AppIdInfo {
  int64_t clientId = 0;
  int64_t appTypeId = 0;
  int64_t instanceId = 0;
  int64_t backupSetId = 0;
  int64_t subclientId = 0;
  int64_t commCellId = 0;
  int64_t clientGroupId = 0;
  int64_t flags = 0;
  int64_t reserved = 0;
  std::string clientName;
  std::string appName;
  std::string subclientName;
  uint32_t platformType = 0;
};

// The subclient's job directory and job files. Each text is NUL-terminated.
struct subclientFiles {
  int64_t appIdMajor = 0;
  int64_t appIdMinor = 0;
  char subclientDir[1025] = {};      // the job directory
  char collectFile[1024] = {};       // collect file path, e.g. <dir>/Collect.kzf
  char filterFile[1024] = {};        // one exclusion pattern per line
  char contentFile[1024] = {};
  char stateFile[1024] = {};
  char dirChangeTmpFile[1024] = {};  // the directory-change file written by the scan
  char failuresFile[1024] = {};      // entries the walk could not process
  char historyFile[1024] = {};
  char dirChangeFile[1024] = {};
  char reservedFile[1024] = {};
  char spareFile[1024] = {};
};
// Platforms fill this record by its layout: the job directory, then ten path fields.
static_assert(sizeof(subclientFiles) == 2 * sizeof(int64_t) + 1025 + 10 * 1024 + 7 /* tail padding */);
static_assert(offsetof(subclientFiles, collectFile) == 16 + 1025 && offsetof(subclientFiles, filterFile) == 16 + 1025 + 1024 &&
              offsetof(subclientFiles, dirChangeTmpFile) == 16 + 1025 + 4 * 1024 &&
              offsetof(subclientFiles, failuresFile) == 16 + 1025 + 5 * 1024);

// One entry of the mount table.
struct mntfs_ent {
  std::string mnt_dir;     // mount point path (first field)
  std::string mnt_type;    // file-system type name, e.g. "ext4", "hfsplus"
  std::string mnt_fsname;  // device or source
};

// Numbers of the job manager's enumerations.
using KZS_PLATFORMTYPE = int;   // the scan phase passes 4
using ControlFlags = int;       // the scan phase passes 1
using KZJobStrCatAction = int;  // 3: append to the next phase's parameters
using KZJobStatus = int;        // 1 success, 2 failure
using KZJobStatusFor = int;     // 1 the phase, 2 the whole job
using KZPendingCause = int;     // 0 none
enum ResultsFile : int { RESULTS_FILE_RAW = 1 };
