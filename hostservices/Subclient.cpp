#include "hostservices/Subclient.h"

#include <cerrno>
#include <cstdlib>

#include "hostservices/Platform.h"

using kzhost::Platform;

bool BackupSet::getBackupSetName(std::string& name) const {
  name = m_name;
  return true;
}

void Subclient::getGUIDStr(std::string& guid, void* reserved) const { guid = m_guid; }

int Subclient::getSplitCollectFlag(bool* flag, int reserved) const {
  if (!flag) return -1;
  *flag = m_splitFlag;
  return 0;
}

int ApplicationId::getApplicationId(void* reserved) {
  // "major:minor", both decimal.
  const char* s = m_appId.c_str();
  char* end = nullptr;
  errno = 0;
  std::strtoull(s, &end, 10);
  if (end == s || *end != ':' || errno) return -1;
  const char* minor = end + 1;
  std::strtoull(minor, &end, 10);
  if (end == minor || *end != '\0' || errno) return -1;
  return 0;
}

AppIdInfo ApplicationId::getAppIdInfo() const { return Platform::current().appIdInfo(m_appId); }

BackupSet* ApplicationId::getBackupSet(void* reserved) { return Platform::current().backupSet(m_appId).release(); }

Subclient* ApplicationId::getSubclient(void* reserved) { return Platform::current().subclient(m_appId).release(); }

int GetSubclientDirAndFiles(uint32_t appIdMajor, uint32_t appIdMinor, subclientFiles* files, int backupType,
                            const char* directory) {
  if (!files) return -1;
  return Platform::current().subclientDirAndFiles(appIdMajor, appIdMinor, files, backupType, directory);
}

bool StoreResults::openRaw(ResultsFile which, std::string& path) {
  if (which != RESULTS_FILE_RAW) return true;
  return !Platform::current().openRawResults(m_appIdMajor, m_jobId, path);
}

void StoreResults::cleanUp(void* reserved) { Platform::current().cleanUpResults(m_appIdMajor, m_jobId); }

int AutoStreamHandler::GetMaxNumberOfStreams(const Subclient* subclient, int& count, bool flag, int zero1,
                                             int zero2, void* reserved) {
  // The count is the platform's, unchanged: Finish reads 0 or less as "no stream" and
  // reports the success for the whole job. A platform that wants a floor sets it itself.
  count = Platform::current().maxStreams(subclient);
  return count < 1 ? -1 : 0;
}
