// The end of the scan phase: write the ancestors, close the outputs, prepare the
// collect files and the next phase, and report the outcome to the job manager.
#include <cerrno>
#include <cstdint>

#include "scanphase/KzFind.h"
#include "scanphase/Streams.h"
#include "scanphase/Location.h"

namespace {

constexpr const char* kFinishSig = "virtual CLoError KzFind::Finish()";
constexpr const char* kPhaseParamsFailed = "Error in setting the phase parameter(s) for clBackup";
constexpr int kFinishedWorkMs = 120000;
constexpr uint32_t kScanFailedEvent = 0x11000002;
constexpr KZJobStatus kStatusSuccess = 1;
constexpr KZJobStatus kStatusFailure = 2;
constexpr KZJobStatusFor kForPhase = 1;
constexpr KZJobStatusFor kForJob = 2;
constexpr KZJobStrCatAction kAppendParams = 3;

// Closes fp and logs a failure; false when buffered lines may have been lost.
bool closeOutput(EvEvent& log, FILE*& fp, const char* path) {
  if (!fp) return true;
  const bool hadError = ferror(fp) != 0;
  errno = 0;
  const int rc = fclose(fp);
  fp = nullptr;
  if (!hadError && rc == 0) return true;
  const int err = rc != 0 && errno ? errno : EIO;
  log.error("Failed to close %s, errno %d", path, err);
  return false;
}

// The report for a scan that did not succeed; fullStop picks the error line's form.
void reportScanFailure(KzFind& scan, bool fullStop) {
  const bool quitting = scan.m_jobCtrl && scan.m_jobCtrl->checkQuitFlag();
  if (!quitting && scan.m_jobClient) {
    const KZJobStatusFor statusFor = scan.m_failWholeJob ? kForJob : kForPhase;
    if (!scan.m_jobClient->complete(kStatusFailure, statusFor, 0, 0)) {
      const char* what = scan.m_failWholeJob ? "job" : "phase";
      if (fullStop) {
        scan.m_event.error("Error notifying Job Manager of failure of %s.", what);
      } else {
        scan.m_event.error("Error notifying Job Manager of failure of %s", what);
      }
    }
  }
  scan.m_event.CriticalEvent(kScanFailedEvent, 0, 0);
}

// A step of the finish failed: the phase is reported as failed at once (unless the
// job is being stopped) and the steps that need a successful scan are skipped.
void failStep(KzFind& scan, const char* text) {
  scan.m_event.debug(1, "%s", text);
  const bool quitting = scan.m_jobCtrl && scan.m_jobCtrl->checkQuitFlag();
  if (!quitting && scan.m_jobClient && !scan.m_jobClient->complete(kStatusFailure, kForPhase, 0, 0)) {
    scan.m_event.error("Error notifying Job Manager of phase failure.");
  }
  scan.m_scanSucceeded = false;
}

}  // namespace

void KzFind::processIfindInterruption() {
  if (m_jobCtrl) m_jobCtrl->finishedWork(kFinishedWorkMs);
}

CLoError KzFind::Finish() {
  // 1. The ancestors go into the collect files while they are still open.
  dumpAncestors();

  // 2. Results store.
  if (buResults) {
    kzfind::detail::closeStream(m_resultsFp);
    m_event.debug(1, "Calling job results cleanup...");
    buResults->cleanUp(nullptr);
    buResults.reset();
  }

  // 3. Outputs. A failed close may have dropped buffered lines: the scan then cannot
  // count as a success, whatever the walk says.
  const bool dirchangeClosed = closeOutput(m_event, m_dirchangeFp, m_files.dirChangeTmpFile);
  const bool collectClosed = closeOutput(m_event, m_collectFp, m_collectPath.c_str());
  if (m_scanSucceeded && (!dirchangeClosed || !collectClosed || m_outputLost)) {
    if (m_outputLost) m_event.error("Lines of the scan outputs were lost; the scan has failed");
    m_scanSucceeded = false;
  }

  // 4.
  if (m_jobClient) m_jobClient->updateInfo(false, nullptr);

  // 5. A walk that failed; also a success claimed without the subclient object the
  // success path needs (AppInitialize never succeeded).
  if (m_scanSucceeded && !m_subclientObj) {
    m_event.error("No subclient object: the scan cannot be handed to clBackup");
    m_scanSucceeded = false;
  }
  if (!m_scanSucceeded) {
    reportScanFailure(*this, false);
  } else {
    // 6. Stream count and the subclient's permission to cut collect files.
    AutoStreamHandler::GetMaxNumberOfStreams(m_subclientObj.get(), m_numStreams, false, 0, 0, nullptr);
    m_subclientObj->getSplitCollectFlag(&m_subclientFlag, 0);
    m_event.Debug(kFinishSig, "Number of Parallel Backup Streams desired=%d [Multi Streaming Factor]",
                  m_numStreams);

    // 7. Splitting may add collect files, so the numbers are read only afterwards.
    if (splitCollectFiles().IsError()) failStep(*this, kPhaseParamsFailed);

    // 8. No more streams than collect files.
    if (m_numStreams >= m_nextCollectNum) m_numStreams = m_nextCollectNum - 1;

    // 9. Next phase.
    if (m_scanSucceeded && m_numStreams > 0) {
      if (m_jobClient) m_jobClient->setNumStreams(static_cast<unsigned long long>(m_numStreams));
      const int32_t maxCollectNum = m_nextCollectNum - 1;
      const auto numCollect = static_cast<int32_t>(static_cast<int64_t>(maxCollectNum) - m_baseCollectNum);
      CLoString params;
      if (!m_isChildPhase) params += " -parent 1";
      params += " -r ";
      params = params + static_cast<long>(m_startTime);
      params += " -c ";
      params = params + static_cast<long long>(m_numEntries);
      params += " -maxcolnum ";
      params = params + static_cast<int>(maxCollectNum);
      params += " -numcol ";
      params = params + static_cast<int>(numCollect);
      params += " ";
      params += m_extraPhaseParams.c_str();
      m_event.debug(1, "clBackup phase parameter(s) string = %s", params.c_str());
      if (m_jobClient && !m_jobClient->concatPhaseParams(params, kAppendParams)) {
        failStep(*this, kPhaseParamsFailed);
      }
    }

    // 10. Reference time.
    if (m_scanSucceeded && m_jobClient && !m_jobClient->updateInfo(false, nullptr)) {
      failStep(*this, "Error in Updating info: Reference Time");
    }

    // 11. Completion report.
    if (!m_scanSucceeded) {
      reportScanFailure(*this, true);
    } else if (m_jobClient) {
      const KZJobStatusFor statusFor = m_numStreams == 0 ? kForJob : kForPhase;
      if (!m_jobClient->complete(kStatusSuccess, statusFor, 0, 0)) {
        m_event.error("Error notifying Job Manager of successful completion.");
      }
    }
  }

  // 12.
  if (m_jobCtrl) m_jobCtrl->finishedWork(kFinishedWorkMs);
  return CLoError::Success();
}
