// Job and application initialisation: event object, command line, Dorvane name,
// process check-in, application lookup and the two job manager clients.
#include <new>
#include <string>

#include "scanphase/KzFind.h"
#include "scanphase/Location.h"

namespace {

constexpr const char* kInitSig = "virtual CLoError KzFind::Initialize(int, char**)";
constexpr const char* kAppInitSig = "virtual CLoError KzFind::AppInitialize()";
constexpr const char* kJobInitSig = "virtual CLoError KzFind::JobInitialize()";

constexpr int kBadArgument = 160;
constexpr int kStepFailed = 774;
constexpr int kNotCreated = 14;

constexpr uint32_t kEventMagic = 1621670017u;  // 0x60A8B881
constexpr KZS_PLATFORMTYPE kPlatformType = 4;
constexpr ControlFlags kControlFlags = 1;

constexpr const char* kReasonBackupSet =
    "Could not obtain backup set information. : Services down on Client and/or Dorvane, lost network "
    "connectivity to Dorvane, Out of process memory, handles or corrupted install.";
constexpr const char* kReasonSubclient =
    "Could not obtain Sub Client information. : Services down on Client and/or Dorvane, lost network "
    "connectivity to Dorvane, Out of process memory, handles or corrupted install.";
constexpr const char* kReasonJobObject =
    "Initialization failure. : Services down on Client and/or Dorvane, lost network connectivity to Dorvane, "
    "Out of process memory, handles or corrupted install.";
// The lower-case "dorvane" is what the host's reports have always carried.
constexpr const char* kReasonJobInit =
    "Initialization failure. : Services down on Client and/or Dorvane, lost network connectivity to dorvane, "
    "Out of process memory, handles or corrupted install.";

// The global log writer takes lines only when it exists and its level is not negative.
bool logWriterOn() { return g_ptrLogWriter && g_ptrLogWriter->GetLevel() >= 0; }

}  // namespace

CLoError KzFind::Initialize(int argc, char** argv) {
  if (!m_event.initialize(2, kEventMagic, 0, nullptr, "")) {
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kInitSig), kStepFailed, "Can't initialize. Exiting.");
  }

  // A bad command line is reported as itself, not as a later check that it tripped.
  CLoError parsed = ParseCommandLine(argc, argv);
  if (parsed.IsError()) return parsed.Push(KZ_LOCATION(kInitSig));

  if (m_dataServer.empty()) {
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kInitSig), kBadArgument, "Data Server not defined (-d)");
  }
  if (m_subclient.empty()) m_subclient = "default";

  if (m_dorvaneName.empty()) {
    KZPI_CommClient platform(&m_event);
    const char* name = nullptr;
    if (platform.invalidKZPlatform() || (name = platform.getDorvaneHostName()) == nullptr) {
      return FXErrorUtil::ErrorWin32(KZ_LOCATION(kInitSig), kStepFailed, "Error obtaining Dorvane name");
    }
    m_dorvaneName = name;
  }

  switch (m_backupType) {
    case 1:
      m_refTime = 0;
      m_event.debug(1, "Performing a Full Search.");
      break;
    case 2:
      m_event.debug(1, "Performing an Incremental Search.");
      break;
    case 4:
      m_refTime = 1;
      m_event.debug(1, "(Differential)Performing an Incremental Scan Since Last Full.");
      break;
    default:
      return FXErrorUtil::ErrorWin32(KZ_LOCATION(kInitSig), kStepFailed, "Invalid Backup type");
  }

  const std::string checkinName = "ifind_" + std::to_string(m_jobId);
  uxsvc_checkin(checkinName.c_str());

  m_event.debug(1, "* Debug level is %d", m_event.getDebugLevel());
  m_event.debug(1, "* Dorvane Name = %s", m_dorvaneName.c_str());
  return CLoError::Success();
}

CLoError KzFind::AppInitialize() {
  m_appId = ApplicationId(m_appIdString);
  m_appId.getApplicationId(nullptr);
  m_appIdInfo = m_appId.getAppIdInfo();

  // Both are asked before either is tested; whichever came back is owned from here on.
  m_backupSet.reset(m_appId.getBackupSet(nullptr));
  m_subclientObj.reset(m_appId.getSubclient(nullptr));
  if (!m_backupSet) {
    m_failureReason = kReasonBackupSet;
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kAppInitSig), kStepFailed, "Could not obtain backup set information");
  }
  if (!m_subclientObj) {
    m_failureReason = kReasonSubclient;
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kAppInitSig), kStepFailed, "Could not obtain SubClient information");
  }

  m_subclientAttr = m_subclientObj->getAttributes();
  m_subclientObj->getGUIDStr(m_subclientGuid, nullptr);
  std::string backupSetName;  // asked for by the host's protocol; not used here
  m_backupSet->getBackupSetName(backupSetName);
  return CLoError::Success();
}

CLoError KzFind::JobInitialize() {
  m_jobClient.reset(new (std::nothrow) KZBkpJobClient);
  if (!m_jobClient) {
    m_failureReason = kReasonJobObject;
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kJobInitSig), kStepFailed, "Can't initialize job object");
  }
  m_jobCtrl.reset(new (std::nothrow) KZJobCtrlClient(0));
  if (!m_jobCtrl) {
    m_failureReason = kReasonJobInit;
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kJobInitSig), kNotCreated, "Failed to create job control object");
  }

  if (logWriterOn()) {
    g_ptrLogWriter->Write(nullptr, kJobInitSig, __LINE__, 0, 0, "Init JobObject, Dorvane=[%s]", m_dorvaneName.c_str());
  }
  if (!m_jobClient->init(m_dorvaneName.c_str(), m_jobId, 0, kPlatformType, false, m_jobToken.c_str())) {
    m_failureReason = kReasonJobInit;
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kJobInitSig), kStepFailed, "Could not initialize job object");
  }

  m_event.debug(1, "Initializing Job Control object...");
  if (logWriterOn()) {
    g_ptrLogWriter->Write(nullptr, kJobInitSig, __LINE__, 0, 0, "Init JobCtrlObject, Dorvane=[%s]",
                          m_dorvaneName.c_str());
  }
  if (!m_jobCtrl->Init2(m_jobId, m_dorvaneName.c_str(), kControlFlags, kPlatformType, m_jobToken.c_str(), nullptr)) {
    m_failureReason = kReasonJobInit;
    return FXErrorUtil::ErrorWin32(KZ_LOCATION(kJobInitSig), kStepFailed, "Could not initialize job control");
  }
  return CLoError::Success();
}
