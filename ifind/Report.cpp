#include "ifind/Report.h"

#include <dirent.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ifind {

using nlohmann::json;

namespace {

std::string withCommas(uint64_t v) {
  std::string digits = std::to_string(v), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}


// The number after token in a parameter string, or -1.
long long paramValue(const std::string& params, const std::string& token) {
  std::istringstream in(params);
  std::string t;
  while (in >> t)
    if (t == token && in >> t) return atoll(t.c_str());
  return -1;
}

// Whether the fields every journal record may carry have the types the writers give them.
bool wellFormed(const json& j) {
  auto is = [&](const char* key, bool (json::*test)() const noexcept) { return !j.contains(key) || (j[key].*test)(); };
  return j.is_object() && is("ts", &json::is_string) && is("call", &json::is_string) &&
         is("pid", &json::is_number_integer) && is("jobId", &json::is_number_integer) && is("args", &json::is_object);
}

// One journal record's part in a history row; throws json::exception where a field
// has another type than the journal writes.
void applyRecord(const json& j, HistoryRow& row, bool& sawComplete) {
  if (row.started.empty()) row.started = j.value("ts", "");
  std::string call = j.value("call", "");
  const json args = j.contains("args") && j["args"].is_object() ? j["args"] : json::object();
  if (call == "subclientDirAndFiles") {
    row.backupType = args.value("backupType", 0);
  } else if (call == "complete") {
    // The last report decides; a failed step followed by a failure report stays failed.
    int status = args.value("status", 0);
    if (!sawComplete || status != 1) row.status = status == 1 ? "success" : "failed";
    sawComplete = true;
  } else if (call == "setNumStreams") {
    row.streams = args.value("count", -1LL);
  } else if (call == "concatPhaseParams") {
    row.recorded = paramValue(args.value("params", ""), "-c");
  } else if (call == "ifindSummary") {
    row.referenceTime = args.value("referenceTime", -1LL);
    // The scanner's own record knows an interruption, which sends no report.
    if (args.value("interrupted", false)) {
      row.status = "interrupted";
    } else if (args.contains("succeeded")) {
      row.status = !args.value("succeeded", false) ? "failed" : args.value("partial", false) ? "partial" : "success";
    }
    if (args.contains("recorded")) row.recorded = args.value("recorded", -1LL);
    if (args.contains("streams")) row.streams = args.value("streams", -1LL);
    if (args.contains("backupType")) row.backupType = args.value("backupType", 0);
    if (args.contains("contentPaths") && args["contentPaths"].is_array()) {
      row.roots.clear();
      for (const json& p : args["contentPaths"])
        if (p.is_string()) row.roots.push_back(p.get<std::string>());
    }
  }
}

}  // namespace

std::string utcText(long long t) {
  if (t <= 0) return t == 0 ? "none" : "unknown";
  time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  gmtime_r(&tt, &tm);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

const char* backupTypeName(int type) {
  switch (type) {
    case 1: return "full";
    case 2: return "incremental";
    case 4: return "differential";
    default: return "unknown";
  }
}

std::string dumpJson(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string formatSummary(const Summary& s) {
  const ScanStats& st = s.stats;
  std::ostringstream o;
  char rate[64];
  snprintf(rate, sizeof rate, "%.2f s (%.0f entries/s)", st.seconds,
           st.seconds > 0 ? static_cast<double>(st.entries) / st.seconds : 0.0);
  o << "ifind: " << backupTypeName(s.backupType) << " scan, job " << s.jobId << ": "
    << (!s.succeeded ? "FAILED" : s.partial ? "PARTIAL" : "succeeded")
    << (s.failure.empty() ? "" : " (" + s.failure + ")") << "\n";
  if (!s.note.empty()) o << "  note           " << s.note << "\n";
  if (s.filterPatterns > 0)
    o << "  filters        " << s.filterPatterns << " pattern" << (s.filterPatterns == 1 ? "" : "s") << " from "
      << s.filterFile << "\n";
  o << "  content paths  ";
  for (size_t i = 0; i < s.roots.size(); ++i) o << (i ? " " : "") << s.roots[i];
  o << "\n";
  if (s.backupType != 1) {
    o << "  reference time " << utcText(s.referenceTime) << " (" << s.referenceTime << ")";
    if (s.baseJob) o << ", compared with job " << s.baseJob;
    o << "\n";
  }
  // Entries are what the walk met; collect lines are what the files hold: the recorded
  // files plus one line per directory above them, which includes the parents of the
  // content paths that the walk never met. The two counts differ by design.
  o << "  entries        " << withCommas(st.entries) << " seen\n";
  const uint64_t lines = s.recorded > 0 ? static_cast<uint64_t>(s.recorded) : 0;
  o << "  collect lines  " << withCommas(lines) << " (" << withCommas(std::min(st.files, lines)) << " files, "
    << withCommas(lines - std::min(st.files, lines)) << " directories, with the content paths' parents)\n";
  o << "  files          " << withCommas(st.files) << " recorded";
  if (s.backupType != 1) o << ", " << withCommas(st.unchanged) << " unchanged";
  if (st.takenWhole) o << ", " << withCommas(st.takenWhole) << " new or owed folders taken whole";
  if (st.excluded) o << ", " << withCommas(st.excluded) << " excluded";
  o << "\n";
  o << "  directories    " << withCommas(st.directories) << " entered\n";
  o << "  bytes          " << humanBytes(st.bytes) << " (" << withCommas(st.bytes) << ")\n";
  o << "  failures       " << withCommas(st.failures);
  if (st.failures) o << " (listed in " << s.failuresFile << ")";
  if (st.unlisted) o << ", " << withCommas(st.unlisted) << " of them could not be written to that list";
  o << "\n";
  o << "  collect files  " << s.collectFiles << ", streams " << s.streams << "\n";
  o << "  next phase     " << (s.phaseParams.empty() ? "(none)" : "[" + s.phaseParams + "]") << "\n";
  o << "  elapsed        " << rate << "\n";
  o << "  job directory  " << s.jobDir << "\n";
  for (const std::string& p : s.collectPaths) o << "  collect file   " << p << "\n";
  o << "  journal        " << s.journal << "\n";
  return o.str();
}

json summaryJson(const Summary& s) {
  const ScanStats& st = s.stats;
  return json{{"version", kJsonVersion},
              {"jobId", s.jobId},
              {"backupType", s.backupType},
              {"type", backupTypeName(s.backupType)},
              {"referenceTime", s.referenceTime},
              {"reference", utcText(s.referenceTime)},
              {"contentPaths", s.roots},
              {"succeeded", s.succeeded},
              {"partial", s.partial},
              {"status", !s.succeeded ? "failed" : s.partial ? "partial" : "success"},
              {"failure", s.failure},
              {"note", s.note},
              {"baseJob", s.baseJob},
              {"takenWhole", st.takenWhole},
              {"interrupted", st.interrupted},
              {"entries", st.entries},
              {"recorded", s.recorded},
              {"files", st.files},
              {"directories", st.directories},
              {"bytes", st.bytes},
              {"excluded", st.excluded},
              {"unchanged", st.unchanged},
              {"failures", st.failures},
              {"unlisted", st.unlisted},
              {"collectFiles", s.collectFiles},
              {"streams", s.streams},
              {"phaseParams", s.phaseParams},
              {"seconds", std::round(st.seconds * 1000) / 1000},
              {"statStrategy", st.statStrategy},
              {"readers", st.readers},
              {"entriesPerSecond", std::round(st.seconds > 0 ? static_cast<double>(st.entries) / st.seconds : 0.0)},
              {"jobDir", s.jobDir},
              {"collectPaths", s.collectPaths},
              {"splitConfig", s.splitConfig},
              {"failuresFile", s.failuresFile},
              {"filterFile", s.filterPatterns > 0 ? s.filterFile : ""},
              {"filterPatterns", s.filterPatterns},
              {"journal", s.journal}};
}

std::string lastPhaseParams(const std::string& journalPath) {
  std::ifstream in(journalPath);
  std::string line, params;
  while (std::getline(in, line)) {
    // A field of another type throws; such a line is as damaged as one that is not JSON.
    try {
      json j = json::parse(line, nullptr, false);
      if (j.is_object() && j.value("call", "") == "concatPhaseParams" && j.contains("args") &&
          j["args"].is_object())
        params = j["args"].value("params", "");
    } catch (const json::exception&) {
    }
  }
  return params;
}

bool appendJournalRecord(const std::string& journalPath, const json& record) {
  std::string line = dumpJson(record) + "\n";
  // The journal lies in the platform's verified jobs folder; a link there is still not ours to follow.
  int fd = open(journalPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  return ok;
}

std::vector<HistoryRow> readHistory(const std::string& home, FILE* warnings) {
  std::vector<HistoryRow> rows;
  std::string dir = home + "/jobs";
  DIR* d = opendir(dir.c_str());
  if (!d) return rows;
  std::vector<long long> ids;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > 6 && name.ends_with(".jsonl")) {
      long long id = atoll(name.c_str());
      if (id > 0 && std::to_string(id) + ".jsonl" == name) ids.push_back(id);
    }
  }
  closedir(d);
  std::sort(ids.begin(), ids.end());
  for (long long id : ids) {
    HistoryRow row;
    row.jobId = id;
    row.status = "running/aborted";
    const std::string path = dir + "/" + std::to_string(id) + ".jsonl";
    // Only regular files: a FIFO put there would hold the listing forever.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::ifstream in(path);
    std::string line;
    bool sawComplete = false;
    for (int number = 1; std::getline(in, line); ++number) {
      // A damaged line (not JSON, or a field of another type, which throws) is passed
      // over whole: the row goes on from the lines before it.
      HistoryRow next = row;
      bool sawNext = sawComplete;
      json j = json::parse(line, nullptr, false);
      bool damaged = !wellFormed(j);
      try {
        if (!damaged) applyRecord(j, next, sawNext);
      } catch (const json::exception&) {
        damaged = true;
      }
      if (damaged) {
        if (warnings) fprintf(warnings, "ifind: %s line %d is damaged; skipped\n", path.c_str(), number);
        continue;
      }
      row = std::move(next);
      sawComplete = sawNext;
    }
    rows.push_back(row);
  }
  return rows;
}

void printHistory(const std::vector<HistoryRow>& rows, bool asJson, FILE* out) {
  if (asJson) {
    json a = json::array();
    for (const HistoryRow& r : rows)
      a.push_back({{"jobId", r.jobId},
                   {"started", r.started},
                   {"status", r.status},
                   {"type", backupTypeName(r.backupType)},
                   {"referenceTime", r.referenceTime},
                   {"reference", utcText(r.referenceTime)},
                   {"recorded", r.recorded},
                   {"streams", r.streams},
                   {"contentPaths", r.roots}});
    fprintf(out, "%s\n", dumpJson(json{{"version", kJsonVersion}, {"jobs", a}}).c_str());
    return;
  }
  if (rows.empty()) {
    fprintf(out, "no jobs yet\n");
    return;
  }
  // Times in UTC, as the journal keeps them; LINES counts collect lines, as "recorded" does.
  fprintf(out, "%-6s %-20s %-15s %-12s %-20s %10s %7s  %s\n", "JOB", "STARTED", "STATUS", "TYPE", "REFERENCE",
          "LINES", "STREAMS", "PATHS");
  for (const HistoryRow& r : rows) {
    std::string started = r.started.size() > 19 ? r.started.substr(0, 19) + "Z" : r.started;
    std::string ref = r.referenceTime < 0 ? "-" : utcText(r.referenceTime);
    std::string lines = r.recorded < 0 ? "-" : std::to_string(r.recorded);
    std::string streams = r.streams < 0 ? "-" : std::to_string(r.streams);
    std::string paths;
    for (const std::string& p : r.roots) paths += (paths.empty() ? "" : " ") + p;
    fprintf(out, "%-6lld %-20s %-15s %-12s %-20s %10s %7s  %s\n", r.jobId, started.c_str(), r.status.c_str(),
            backupTypeName(r.backupType), ref.c_str(), lines.c_str(), streams.c_str(), paths.c_str());
  }
}

}  // namespace ifind
