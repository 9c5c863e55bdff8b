// The directory-change file and the failure report.
#include <cerrno>

#include "scanphase/Escaping.h"
#include "scanphase/KzFind.h"

int KzFind::addToDirchange(const char* path, bool child) {
  // Once per process, not per object: the first accepted line must be a top line.
  static bool firstDirchangeLine = true;

  // A null path writes nothing; a subclass with a context uses it as a no-op call.
  if (!path) return 0;
  if (!m_dirchangeFp) {
    m_event.debug(1, "Directory change file is not open; '%s' not recorded", path);
    return -1;
  }
  if (firstDirchangeLine) {
    firstDirchangeLine = false;
    if (child) {
      m_event.debug(1, "Error:Not a child: Topmost Node cant be a child %s", path);
      return -1;
    }
  }
  if (child && fputc('\t', m_dirchangeFp) < 0) {
    m_outputLost = true;
    return -1;
  }
  if (EvDebug::enabled(1)) {
    EvDebug tmp(nullptr);
    tmp.debug(1, "dirChange:%s\n", escapeFileName(path).c_str());
  }
  if (!kzfind::detail::putEscaped(*this, path, m_dirchangeFp) || fputc_unlocked('\n', m_dirchangeFp) == EOF) {
    m_event.debug(1, "Could not write to the directory change file, errno %d", errno);
    m_outputLost = true;
    return -1;
  }
  return 0;
}

void KzFind::reportFailFile(const char* first, const char* second) {
  m_event.debug(1, "file '%s' (%s) failed.", second ? second : "(null)", first ? first : "(null)");
}
