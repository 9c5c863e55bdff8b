// The collect file writer: numbered collect files, one line per recorded file.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "scanphase/AppleDouble.h"
#include "scanphase/Escaping.h"
#include "scanphase/KzFind.h"

namespace {

constexpr const char kAddToCollect[] = "int KzFind::addToCollect(const char*, long long int)";
// One run of a backup writes millions of short lines into the same file: a large
// buffer keeps that to a few hundred write(2) calls per gigabyte of lines.
constexpr size_t kCollectBufSize = 256 * 1024;

}  // namespace

bool KzFind::closeCollectFile() {
  if (!m_collectFp) return true;
  FILE* fp = m_collectFp;
  m_collectFp = nullptr;
  // A write error that stdio kept to itself surfaces here, as does a failed flush.
  bool ok = !ferror(fp);
  int err = errno;
  if (fclose(fp) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    m_event.debug(1, "Failed to close %s, errno %d", m_collectPath.c_str(), err);
    m_outputLost = true;
  }
  return ok;
}

bool KzFind::switchCollectFile() {
  // The stream is tested too: after a failed reopen, or once Finish closed the file,
  // m_openCollectNum may still name a number whose stream is gone.
  if (m_collectFp && m_curCollectNum == m_openCollectNum) return true;
  closeCollectFile();
  m_collectPath.clear();
  m_collectPath.append(m_collectDir).append("/").append(m_collectBase);
  m_collectPath.append(std::to_string(m_curCollectNum)).append(".").append(m_collectExt);
  m_collectFp = fopen_utf(m_collectPath.c_str(), "a");
  if (!m_collectFp) {
    int err = errno;
    m_event.debug(1, "Could not open '%s' for writing, errno %d", m_collectPath.c_str(), err);
    m_outputLost = true;  // the line that needed this file is lost: no success from here on
    return false;
  }
  if (!m_collectBuf) m_collectBuf = std::make_unique_for_overwrite<char[]>(kCollectBufSize);
  setvbuf(m_collectFp, m_collectBuf.get(), _IOFBF, kCollectBufSize);
  m_openCollectNum = m_curCollectNum;
  return true;
}

int KzFind::addToCollect(const char* path, long long size) {
  // Tested here so that a disabled per-file line costs no call at all.
  if (EvDebug::enabled(2)) m_event.DebugLvl(kAddToCollect, 2, m_jobId, "%s", path ? path : "(null)");
  if (!path || path[0] != '/' || path[1] == '\0') return 0;

  // Before JobInitialize there is no job manager to ask: the flag counts as down.
  if (m_jobCtrl && m_jobCtrl->checkQuitFlag()) {
    m_event.debug(1, "File Scan interrupted by Job Manager");
    processIfindInterruption();
  }

  DecideIfNewMountPoint(path, false);
  if (!switchCollectFile()) return -1;

  if (m_checkAppleDouble &&
      kzfind::detail::markAppleDoubleCompanion(m_collectFp, path, m_mounts, m_preserveAtime) < 0) {
    if (!m_outputLost) m_event.debug(1, "Could not write to %s, errno %d", m_collectPath.c_str(), errno);
    m_outputLost = true;
    return -1;
  }

  // The line "<escaped>|<size>\n" (size 0 as "|0"), built in place and written at once.
  if (size != 0) {
    int64_t& total = m_collectInfo[m_curCollectNum].totalSize;
    // Absurd sizes must not make the sum undefined: it sticks at the limit instead.
    if (__builtin_add_overflow(total, size, &total)) total = size < 0 ? INT64_MIN : INT64_MAX;
  }
  // The escaped text goes straight into the stream's buffer, followed by "|<size>\n".
  // One thread records, so stdio's lock (taken on every call once the process has
  // threads, as the scanner's readers are) is skipped.
  char tail[24];  // '|', at most 20 characters of a long long, '\n'
  tail[0] = '|';
  char* end = std::to_chars(tail + 1, tail + sizeof tail - 1, size).ptr;
  *end++ = '\n';
  const auto tailLen = static_cast<size_t>(end - tail);
  // The escaped form is C text: a NUL that a subclass's escaping left inside ends it, as
  // in the directory-change file, so no NUL byte ever reaches a collect line.
  const bool written = kzfind::detail::putEscaped(*this, path, m_collectFp) &&
                       fwrite_unlocked(tail, 1, tailLen, m_collectFp) == tailLen;
  // The error flag stays set once a flush failed, so every later line fails as well.
  if (!written || ferror_unlocked(m_collectFp)) {
    if (!m_outputLost) m_event.debug(1, "Could not write to %s, errno %d", m_collectPath.c_str(), errno);
    m_outputLost = true;
    return -1;
  }
  ++m_numEntries;
  return 0;
}
