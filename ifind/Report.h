// The reference scanner's reports: the end-of-run summary (text or JSON), its record
// in the job's journal, and the history of past jobs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ifind/ScanHost.h"

namespace ifind {

struct Summary {
  long long jobId = 0;
  int backupType = 1;
  int64_t referenceTime = 0;
  std::vector<std::string> roots;
  bool succeeded = false;
  bool partial = false;    // succeeded, but some entries could not be read (listed, owed)
  std::string failure;     // why the scan failed, when it did
  std::string note;        // why it ran as another type than asked, when it did
  long long baseJob = 0;   // the scan an incremental or differential compared with
  ScanStats stats;
  int64_t recorded = 0;    // lines in the collect files (files and directories)
  int collectFiles = 0;
  int streams = 0;
  std::string phaseParams;  // handed to the next phase; empty when none was
  std::string jobDir;
  std::string journal;
  std::string splitConfig;
  std::string failuresFile;
  std::string filterFile;  // the subclient's own patterns, when it held any
  int filterPatterns = 0;
  std::vector<std::string> collectPaths;
};

// The version of the JSON the scanner prints (summary and history); raised when a key
// changes meaning or shape.
constexpr int kJsonVersion = 1;

const char* backupTypeName(int type);
// "2026-12-06T23:19:37Z"; "none" for 0, "unknown" below.
std::string utcText(long long seconds);
std::string formatSummary(const Summary& s);
nlohmann::json summaryJson(const Summary& s);
// Dumps JSON with invalid UTF-8 (possible in paths) replaced, never throwing.
std::string dumpJson(const nlohmann::json& j);

// The parameters of the last concatPhaseParams record of a job journal, or ""; damaged
// lines are passed over.
std::string lastPhaseParams(const std::string& journalPath);
// Appends one JSON line to a journal with a single write; false on failure.
bool appendJournalRecord(const std::string& journalPath, const nlohmann::json& record);

// One row of the history, read back from a job's journal.
struct HistoryRow {
  long long jobId = 0;
  std::string started;  // timestamp of the journal's first record
  std::string status;   // "success", "partial", "failed", "interrupted", "running/aborted"
  int backupType = 0;
  long long referenceTime = -1;  // -1 unknown
  long long recorded = -1;  // collect lines, as the summary's "recorded"
  long long streams = -1;
  std::vector<std::string> roots;  // the content paths
};
// Lines of a journal that are not JSON objects, or hold a field of another type than
// the journal writes, are skipped whole, each with a line on warnings (when not null).
std::vector<HistoryRow> readHistory(const std::string& home, FILE* warnings = stderr);
void printHistory(const std::vector<HistoryRow>& rows, bool json, FILE* out);

}  // namespace ifind
