// Construction, destruction and the base hooks of the scan phase object.
#include "scanphase/KzFind.h"
#include "scanphase/Streams.h"

#include "scanphase/Location.h"

KzFind::KzFind() = default;

KzFind::~KzFind() {
  buResults.reset();
  kzfind::detail::closeStream(m_resultsFp);
  m_jobClient.reset();
  m_jobCtrl.reset();
  m_subclientObj.reset();
  m_backupSet.reset();
  // A host that skipped Finish must not lose buffered lines or leak descriptors.
  kzfind::detail::closeStream(m_collectFp);
  kzfind::detail::closeStream(m_dirchangeFp);
}

CLoError KzFind::SCInitialize() { return CLoError::Success(); }
CLoError KzFind::EngineInitialize() { return CLoError::Success(); }
CLoError KzFind::ProxyInitialize() { return CLoError::Success(); }

const char* KzFind::getSubClientDir(const char** dir) {
  if (dir) *dir = nullptr;
  return nullptr;
}

bool KzFind::CheckIfFileisFilteredOut(const char*) { return false; }

void KzFind::DecideIfNewMountPoint(const char*, bool) {
  if (m_curCollectNum == 0) m_curCollectNum = m_nextCollectNum++;
}

std::string KzFind::escapeFileName(const char* path) { return ::escapeFileName(path); }
