#include "hostservices/JobClients.h"

#include "hostservices/Platform.h"

using kzhost::Platform;

bool KZBkpJobClient::init(const char* dorvaneName, long long jobId, int zero, KZS_PLATFORMTYPE platformType,
                          bool flag, const char* jobToken) {
  m_jobId = jobId;
  return Platform::current().jobInit(dorvaneName, jobId, zero, platformType, flag, jobToken);
}

bool KZBkpJobClient::updateInfo(bool flag, bool* outFlag) {
  bool ok = Platform::current().updateInfo(m_jobId, flag);
  if (outFlag) *outFlag = false;
  return ok;
}

bool KZBkpJobClient::setNumStreams(unsigned long long count) {
  return Platform::current().setNumStreams(m_jobId, count);
}

bool KZBkpJobClient::concatPhaseParams(const CLoString& params, KZJobStrCatAction action) {
  return Platform::current().concatPhaseParams(m_jobId, params.str(), action);
}

bool KZBkpJobClient::complete(KZJobStatus status, KZJobStatusFor statusFor, int zero, KZPendingCause cause) {
  return Platform::current().complete(m_jobId, status, statusFor, zero, cause);
}

bool KZJobCtrlClient::Init2(long long jobId, const char* dorvaneName, ControlFlags flags,
                            KZS_PLATFORMTYPE platformType, const char* jobToken, const char* extra) {
  m_jobId = jobId;
  return Platform::current().jobCtrlInit(jobId, dorvaneName, flags, platformType, jobToken, extra);
}

bool KZJobCtrlClient::checkQuitFlag() { return Platform::current().quitRequested(m_jobId); }

void KZJobCtrlClient::finishedWork(int milliseconds) { Platform::current().finishedWork(m_jobId, milliseconds); }

int KZPI_PlatformBase::invalidKZPlatform() { return Platform::current().platformInvalid() ? 1 : 0; }

const char* KZPI_PlatformBase::getDorvaneHostName() {
  std::optional<std::string> name = Platform::current().dorvaneHostName();
  if (!name) return nullptr;
  m_dorvane = std::move(*name);
  return m_dorvane.c_str();
}

void KZPI_Focus::setFocus(const char* value) { Platform::current().setFocus(value); }

int uxsvc_checkin(const char* name) { return Platform::current().checkin(name); }
