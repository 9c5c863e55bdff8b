// Scan start: results store, job files, collect file naming, the directory-change
// file and the removal of an earlier run's outputs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "scanphase/KzFind.h"
#include "scanphase/Streams.h"
#include "scanphase/Location.h"

namespace {

constexpr const char* kStartSig = "virtual CLoError KzFind::Start()";
constexpr int kStepFailed = 774;
constexpr uint32_t kRawResultsEvent = 0x1100001b;
constexpr char kDirchangeHeader[] = "Version2\n";
constexpr size_t kDirchangeHeaderLen = sizeof kDirchangeHeader - 1;  // 9 bytes, no terminator

// Outputs of other steps of the job that a new scan replaces.
constexpr std::string_view kStalePrefixes[] = {"CIdxDone.kzf", "HCollect", "split_config", "Merged_split_config"};

// digits+ '.' tail, e.g. "12.kzf" for tail "kzf".
bool isNumberedName(std::string_view name, std::string_view tail) {
  size_t digits = 0;
  while (digits < name.size() && isdigit(static_cast<unsigned char>(name[digits]))) ++digits;
  if (digits == 0 || digits >= name.size() || name[digits] != '.') return false;
  return name.substr(digits + 1) == tail;
}

// Whether a job directory entry is an output of an earlier run.
bool isStaleOutput(std::string_view name, const std::string& collectBase, const std::string& collectExt) {
  if (collectBase.empty()) {
    // Every name begins with the empty text: match only what this job's collect
    // writer and splitter make (N.<ext> and the scratch copies N.tmp).
    if (isNumberedName(name, collectExt) || isNumberedName(name, "tmp")) return true;
  } else if (name.starts_with(collectBase)) {
    return true;
  }
  for (std::string_view prefix : kStalePrefixes) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace

CLoError KzFind::Start() {
  // A host that starts again must not leak the streams of the first attempt, nor go on
  // writing into a collect file that the cleanup below removes.
  kzfind::detail::closeStream(m_resultsFp);
  kzfind::detail::closeStream(m_dirchangeFp);
  closeCollectFile();
  // What an earlier run lost is not this run's loss: its outputs are removed below.
  m_outputLost = false;
  buResults = std::make_unique<StoreResults>(m_appIdMajor, m_jobId, false, nullptr);
  std::string resultsPath;
  if (buResults->openRaw(RESULTS_FILE_RAW, resultsPath)) {
    m_event << static_cast<long>(m_jobId);
    m_event.MinorEvent(kRawResultsEvent, 0, 0);
    m_event.debug(1, "failed buResults->openFile");
    buResults.reset();
  } else {
    m_resultsFp = fopen_utf(resultsPath.c_str(), "w+");
    if (!m_resultsFp) {
      m_event.debug(1, "Could not open file for backup results '%s'", resultsPath.c_str());
      buResults.reset();
    }
  }
  if (buResults) {
    m_event.debug(1, "Result file opened.");
  } else {
    m_event.debug(1, "Result file is not initialized.");
  }

  const char* dirOut = nullptr;
  const char* dirOverride = getSubClientDir(&dirOut);
  if (GetSubclientDirAndFiles(m_appIdMajor, m_appIdMinor, &m_files, m_backupType, dirOverride) == -1) {
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kStartSig), kStepFailed,
                                   "Could not Identify base directory for m_subclient %s", m_subclient.c_str());
  }
  m_event.debug(1, "* m_subclient dir = %s", m_files.subclientDir);
  m_event.debug(1, "* collect File = %s", m_files.collectFile);
  m_event.debug(1, "* filter file = %s", m_files.filterFile);
  m_event.debug(1, "* dirchangeTmp = %s", m_files.dirChangeTmpFile);
  m_event.debug(1, "* failures = %s", m_files.failuresFile);

  m_collectDir = m_files.collectFile;
  const size_t slash = m_collectDir.rfind('/');
  if (slash == std::string::npos) {
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kStartSig), kStepFailed, "Collect file name '%s' must have full path",
                                   m_collectDir.c_str());
  }
  m_collectBase = m_collectDir.substr(slash + 1);
  m_collectDir.resize(slash);
  const size_t dot = m_collectBase.rfind('.');
  if (dot == std::string::npos) {
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kStartSig), kStepFailed, "Collect file name '%s' must have extension",
                                   m_collectBase.c_str());
  }
  m_collectExt = m_collectBase.substr(dot + 1);
  m_collectBase.resize(dot);

  m_dirchangeFp = fopen_utf(m_files.dirChangeTmpFile, "wb");
  if (!m_dirchangeFp) {
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kStartSig), kStepFailed, "Failed open dirchange file '%s'",
                                   m_files.dirChangeTmpFile);
  }
  // A file without its header would be misread by the next phase, so a full disk
  // must show here rather than when the first line is written.
  if (fwrite(kDirchangeHeader, 1, kDirchangeHeaderLen, m_dirchangeFp) != kDirchangeHeaderLen ||
      fflush(m_dirchangeFp) != 0) {
    m_event.error("Failed to write dirchange file '%s'", m_files.dirChangeTmpFile);
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kStartSig), kStepFailed, "Failed to write dirchange file '%s'",
                                   m_files.dirChangeTmpFile);
  }

  // Removal by path is safe only because the job directory is private: the local
  // platform hands out a real directory (not a link) that no one but this user or
  // root can write, so no other user can have put a name here or swap the folder while
  // the loop runs; unlink never follows a link and cannot remove a folder.
  CLoDirectory listing;
  CLoError opened = listing.Open(m_files.subclientDir, "*", false);
  if (opened.IsError()) return opened.Push(KZ_LOCATION(kStartSig));
  // The files opened above may bear a name of the list (a collect base "D" matches
  // "DirChange.tmp"): they are this run's, and removing them would lose its lines.
  struct stat own[2];
  size_t owned = 0;
  for (FILE* f : {m_dirchangeFp, m_resultsFp}) {
    if (f && fstat(fileno(f), &own[owned]) == 0) ++owned;
  }
  auto isOwn = [&](const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return false;
    return std::any_of(own, own + owned,
                       [&](const struct stat& o) { return o.st_dev == st.st_dev && o.st_ino == st.st_ino; });
  };
  SLoDirEntry entry;
  bool end = false;
  while (true) {
    // An error part-way ends the cleanup; what was not seen stays for the next run.
    if (listing.GetEntry(entry, end).IsError() || end) break;
    const std::string& name = entry.name.str();
    if (name == "." || name == "..") continue;
    if (isStaleOutput(name, m_collectBase, m_collectExt)) {
      const CLoString path = CLoPath::Append(m_files.subclientDir, name.c_str());
      if (!isOwn(path)) unlink(path.c_str());  // a matching directory stays
    }
  }
  listing.Close();
  unlink(CLoPath::Append(m_files.subclientDir, "verifySyntheticFull.done").c_str());

  m_startTime = time(nullptr);
  return CLoError::Success();
}
