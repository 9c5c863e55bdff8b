// Application, backup set and subclient lookup; job files; results store; streams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "HostTypes.h"

// The backup set the subclient belongs to. Owned by whoever the lookup handed it to.
class BackupSet {
 public:
  explicit BackupSet(std::string name) : m_name(std::move(name)) {}
  virtual ~BackupSet() = default;
  // Fills name with the backup set's name; true on success.
  virtual bool getBackupSetName(std::string& name) const;

 private:
  std::string m_name;
};

// A named part of a client's data. Owned by whoever the lookup handed it to.
class Subclient {
 public:
  Subclient(std::string name, std::string guid, uint32_t attributes, bool splitFlag)
      : m_name(std::move(name)), m_guid(std::move(guid)), m_attributes(attributes), m_splitFlag(splitFlag) {}
  virtual ~Subclient() = default;

  const std::string& name() const { return m_name; }
  // The subclient's attribute bits.
  virtual uint32_t getAttributes() const { return m_attributes; }
  // Fills guid; reserved must be null.
  virtual void getGUIDStr(std::string& guid, void* reserved) const;
  // Sets *flag: whether collect files may be cut for parallel streams. 0 on success.
  virtual int getSplitCollectFlag(bool* flag, int reserved) const;

 private:
  std::string m_name;
  std::string m_guid;
  uint32_t m_attributes;
  bool m_splitFlag;
};

// The application lookup, built from "major:minor".
class ApplicationId {
 public:
  ApplicationId() = default;
  explicit ApplicationId(const std::string& appId) : m_appId(appId) {}

  const std::string& text() const { return m_appId; }
  int getApplicationId(void* reserved);
  AppIdInfo getAppIdInfo() const;
  // Null when not available; the caller takes ownership.
  BackupSet* getBackupSet(void* reserved);
  Subclient* getSubclient(void* reserved);

 private:
  std::string m_appId;
};

// -1 on failure; otherwise files holds the job directory and job file paths.
// directory, when not null, overrides the job directory.
int GetSubclientDirAndFiles(uint32_t appIdMajor, uint32_t appIdMinor, subclientFiles* files, int backupType,
                            const char* directory);

// The job's results store.
class StoreResults {
 public:
  StoreResults(uint32_t appIdMajor, long long jobId, bool flag, void* reserved)
      : m_appIdMajor(appIdMajor), m_jobId(jobId) {}
  virtual ~StoreResults() = default;
  // false on success with path set to the raw results file to create; true on failure.
  bool openRaw(ResultsFile which, std::string& path);
  void cleanUp(void* reserved);

 private:
  uint32_t m_appIdMajor;
  long long m_jobId;
};

struct AutoStreamHandler {
  // Sets count to the number of parallel streams wanted for the subclient. 0 on success.
  static int GetMaxNumberOfStreams(const Subclient* subclient, int& count, bool flag, int zero1, int zero2,
                                   void* reserved);
};
