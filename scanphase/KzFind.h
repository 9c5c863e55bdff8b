// KzFind: the base class of the file-scan phase of a backup job.
//
// What a host does. It constructs a subclass and drives it on one thread, in this
// order: Initialize(argc, argv), AppInitialize, JobInitialize, SCInitialize,
// EngineInitialize, ProxyInitialize, Start, the walk, Finish, and destroys the object.
// Each phase operation returns a CLoError; what the host does after an error is its own
// choice, but these preconditions are not checked by the calls that rely on them:
//   - the write calls (addToCollect, collectAncestors, addToDirchange, reportFailFile)
//     and Finish need JobInitialize and Start to have succeeded: they use the job
//     control client, the collect file names and the directory-change file;
//   - Finish is called once per Start; a scan it reports as a success needs
//     AppInitialize to have succeeded (the subclient gives the stream count);
//   - destroying the object without Finish closes what is open and reports nothing.
//
// What the walking subclass does, between Start and Finish:
//   - fills m_mounts with the mount table before the first addToCollect when it sets
//     m_checkAppleDouble (companions on "hfs*" mounts are never opened);
//   - calls addToCollect per file, collectAncestors per recorded path, addToDirchange
//     for changed directories and their children, reportFailFile per failed entry;
//   - sets m_scanSucceeded before Finish when the walk succeeded (it starts false, and
//     Finish reports a failed scan unless it is set);
//   - may set m_checkAppleDouble, m_preserveAtime, m_failWholeJob, m_isChildPhase,
//     m_baseCollectNum, m_extraPhaseParams and m_dirchangeContext (from its constructor
//     on), and may override the virtual hooks below.
#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostservices/CLoError.h"
#include "hostservices/CLoString.h"
#include "hostservices/EvDebug.h"
#include "hostservices/FileUtil.h"
#include "hostservices/HostTypes.h"
#include "hostservices/JobClients.h"
#include "hostservices/Subclient.h"
#include "AncestorList.h"

// The library is built with hidden visibility; only KzFind is exported.
#define KZFIND_EXPORT __attribute__((visibility("default")))

// What is known of one collect file. Only totalSize is used by the scan phase.
struct _CollectFileInfo {
  int64_t firstEntry = 0;
  std::string note;
  int64_t lastEntry = 0;
  int64_t totalSize = 0;  // sum of the sizes recorded in this collect file
};

class KZFIND_EXPORT KzFind {
 public:
  // Sets every member to its initial value; calls no host service.
  KzFind();
  // Releases the results store, raw results file, clients, subclient and backup set,
  // and closes a collect or directory-change file a host left open.
  virtual ~KzFind();
  KzFind(const KzFind&) = delete;
  KzFind& operator=(const KzFind&) = delete;

  // Brings up m_event, parses argv (through ParseCommandLine), checks "-d" and the
  // backup type, finds the Dorvane name and checks the process in.
  virtual CLoError Initialize(int argc, char** argv);
  // Resolves the application, backup set and subclient.
  virtual CLoError AppInitialize();
  // Creates and initialises the job client and the job control client.
  virtual CLoError JobInitialize();
  // Hooks for subclasses; the base versions succeed and change nothing.
  virtual CLoError SCInitialize();
  virtual CLoError EngineInitialize();
  virtual CLoError ProxyInitialize();
  // Opens the outputs, removes those of an earlier run, records the start time.
  virtual CLoError Start();
  // Writes the ancestors, closes the outputs, splits, hands on the stream count and
  // parameters and reports completion. Always succeeds: the outcome goes to the job manager.
  virtual CLoError Finish();
  // Reads the thirteen options into the members; code 160 on a missing value.
  virtual CLoError ParseCommandLine(int argc, char** argv);
  // Called when the quit flag is up during addToCollect; base: finishedWork(120000).
  virtual void processIfindInterruption();
  // The form of a path in the output files; base: the host's escapeFileName.
  virtual std::string escapeFileName(const char* path);
  // A job directory override; base: stores null through dir and returns null.
  virtual const char* getSubClientDir(const char** dir);
  // Offered to the walking subclass; base: false.
  virtual bool CheckIfFileisFilteredOut(const char* path);
  // Chooses m_curCollectNum; base: the first call takes m_nextCollectNum.
  virtual void DecideIfNewMountPoint(const char* path, bool flag);
  // A file the walk could not process: first is the reason, second the file.
  virtual void reportFailFile(const char* first, const char* second);
  // Rewrites the collect files without sizes, may cut them, writes "split_config".
  virtual CLoError splitCollectFiles();

  // Records a file; 0 on success or a permitted skip, -1 when the collect file
  // cannot be opened or written.
  int addToCollect(const char* path, long long size);
  // Remembers the directories above path (each once). Always 0. A subclass may change
  // m_ancestors in any way between calls (AncestorList.h says how long a mutable
  // iterator or reference into it stays good).
  int collectAncestors(const char* path);
  // Writes the remembered directories into the collect files and forgets them. Always 0.
  int dumpAncestors();
  // A top line (child false) or child line of the directory-change file; 0 or -1.
  int addToDirchange(const char* path, bool child);

  // Members, in declaration order.
  EvEvent m_event;
  AppIdInfo m_appIdInfo;
  ApplicationId m_appId;
  std::string m_dataServer;
  std::string m_subclient;
  std::string m_dorvaneName;
  std::string m_clientName;
  std::string m_jobToken;
  std::string m_appIdString;
  std::string m_failureReason;
  std::string m_extraPhaseParams;
  std::string m_collectDir;
  std::string m_collectBase;
  std::string m_collectExt;
  std::string m_collectPath;
  std::string m_reserved1;
  std::string m_reserved2;
  int64_t m_refTime = 0;
  int64_t m_startTime = 0;
  int64_t m_jobId = 0;
  int32_t m_instanceNum = 0;
  uint32_t m_appIdMajor = 0;
  uint32_t m_appIdMinor = 0;
  int32_t m_backupType = -1;
  int32_t m_appType = 0;
  uint32_t m_subclientAttr = 0;
  int32_t m_nextCollectNum = 1;
  int32_t m_curCollectNum = 0;
  int32_t m_openCollectNum = -1;
  int32_t m_baseCollectNum = 0;
  int32_t m_numStreams = 0;
  bool m_isChildPhase = false;
  bool m_scanSucceeded = false;
  bool m_failWholeJob = false;
  bool m_checkAppleDouble = false;
  bool m_preserveAtime = false;
  bool m_subclientFlag = false;
  int64_t m_numEntries = 0;
  std::string m_subclientGuid;
  std::unique_ptr<StoreResults> buResults;
  void* m_dirchangeContext = nullptr;
  FILE* m_resultsFp = nullptr;
  FILE* m_collectFp = nullptr;
  FILE* m_dirchangeFp = nullptr;
  std::unique_ptr<KZBkpJobClient> m_jobClient;
  std::unique_ptr<KZJobCtrlClient> m_jobCtrl;
  std::unique_ptr<Subclient> m_subclientObj;
  std::unique_ptr<BackupSet> m_backupSet;
  subclientFiles m_files;
  std::map<int32_t, _CollectFileInfo> m_collectInfo;
  std::vector<mntfs_ent> m_mounts;
  AncestorList m_ancestors;
  std::string m_reserved3;

 private:
  friend struct KzFindTestAccess;  // defined by the tests only

  // Switches m_collectFp to collect file m_curCollectNum; false (logged) on failure.
  bool switchCollectFile();
  // Closes m_collectFp, noting a failed close or write; false when data was lost.
  bool closeCollectFile();
  // Brings m_ancestors' presence index in step with the list when a change dropped it.
  void syncAncestorIndex();

  // Set when an open of, write to, or close of a collect or directory-change file failed:
  // lines may be lost, so the scan must not be reported as a success.
  bool m_outputLost = false;
  std::unique_ptr<char[]> m_collectBuf;  // stdio buffer of the open collect file
};
