// ifind: the reference scanner. Runs the file-scan phase on this host, on the local
// platform: fills in the phase options the user left out, drives a ScanHost from
// Initialize to Finish, and prints a summary.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hostservices/LocalPlatform.h"
#include "ifind/Options.h"
#include "ifind/Report.h"
#include "ifind/ScanHost.h"

namespace {

kzhost::LocalPlatform* g_platform = nullptr;
std::atomic<int> g_signals{0};

void onSignal(int) {
  // The first signal asks the scan to stop; a second one ends the process at once.
  if (g_signals.fetch_add(1) > 0) _exit(130);
  if (g_platform) g_platform->requestQuit();
}

void installSignals() {
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int cpus() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

std::string hostName() {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return "localhost";
  return host;
}

std::string currentDirectory() {
  std::vector<char> buf(PATH_MAX);
  while (!getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

int usageError(const std::string& message) {
  fprintf(stderr, "ifind: %s\nTry 'ifind --help' for more information.\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ifind;
  Options opt;
  if (auto err = parseArguments(argc, argv, opt)) return usageError(*err);
  if (opt.help) {
    fputs(usageText("ifind").c_str(), stdout);
    return 0;
  }

  kzhost::LocalPlatform::Settings settings;
  int streams = opt.streams > 0 ? opt.streams : cpus();
  if (opt.streams > 0) settings.streams = opt.streams;
  settings.splitFlag = streams > 1;
  auto owned = std::make_unique<kzhost::LocalPlatform>(settings);
  kzhost::LocalPlatform* platform = owned.get();
  kzhost::Platform::install(std::move(owned));
  if (opt.debugLevel >= 0) platform->setDebugLevel(opt.debugLevel);
  if (platform->platformInvalid()) {
    fprintf(stderr, "ifind: %s\n", platform->error().c_str());
    return 1;
  }

  if (opt.history) {
    printHistory(readHistory(platform->home()), opt.json, stdout);
    return 0;
  }
  if (opt.paths.empty()) return usageError("no content path given");
  int type = opt.effectiveBackupType();
  if (type != 1 && type != 2 && type != 4) return usageError("Invalid Backup type");

  std::vector<std::string> roots = contentRoots(opt.paths, currentDirectory());

  // The phase's options the user left out come first, so the user's own win.
  std::vector<std::string> args{argv[0]};
  long long jobId;
  if (opt.jobId) {
    jobId = atoll(opt.jobId->c_str());
    // Appending to another job's journal would merge two jobs in the history.
    if (platform->journalExists(jobId))
      return usageError("job " + *opt.jobId + " already has a journal (" + platform->journalPath(jobId) + ")");
  } else {
    jobId = platform->newJobId();
    if (jobId < 0) {
      fprintf(stderr, "ifind: cannot allocate a job id under %s: %s\n", platform->home().c_str(), strerror(errno));
      return 1;
    }
    args.insert(args.end(), {"-j", std::to_string(jobId)});
  }
  uint32_t major = 1, minor = 0;
  if (opt.appId) {
    major = static_cast<uint32_t>(atoi(opt.appId->c_str()));
    minor = static_cast<uint32_t>(atoi(opt.appId->c_str() + opt.appId->find(':') + 1));
  } else {
    minor = contentSubclientId(roots);
    args.insert(args.end(), {"-a", "1:" + std::to_string(minor)});
  }
  if (!opt.dataServer) args.insert(args.end(), {"-d", hostName()});
  if (!opt.phaseType) args.insert(args.end(), {"-f", std::to_string(type)});
  // The phase knows only the incremental's reference time (it sets 1 for a
  // differential), so the scanner keeps the real one for its comparisons.
  long long refTime = 0;
  if (type != 1) {
    refTime = opt.refTime ? atoll(opt.refTime->c_str()) : platform->lastReferenceTime(major, minor, type);
    if (!opt.refTime) args.insert(args.end(), {"-r", std::to_string(refTime)});
  }
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  std::vector<char*> phaseArgv;
  for (std::string& a : args) phaseArgv.push_back(a.data());
  phaseArgv.push_back(nullptr);

  ScanConfig config;
  config.roots = roots;
  config.excludes = opt.excludes;
  config.oneFileSystem = opt.oneFileSystem;
  config.threads = std::clamp(opt.threads > 0 ? opt.threads : cpus(), 1, 8);
  config.batchStats = !opt.singleStats;
  config.progress = !opt.quiet && isatty(2);
  config.referenceTime = refTime;

  auto host = std::make_unique<ScanHost>(config);
  host->m_checkAppleDouble = opt.appleDouble;
  host->m_preserveAtime = opt.preserveAtime;
  g_platform = platform;
  installSignals();

  Summary summary;
  summary.jobId = jobId;
  summary.backupType = type;
  summary.referenceTime = refTime;
  summary.roots = roots;

  CLoError err = host->Initialize(static_cast<int>(args.size()), phaseArgv.data());
  if (err.IsError()) {
    fprintf(stderr, "ifind: %s\n", err.message().c_str());
    return err.code() == 160 ? 2 : 1;
  }
  // Each step needs the ones before it; after a failure the finish still reports it.
  using Step = CLoError (ScanHost::*)();
  const Step steps[] = {&ScanHost::AppInitialize,    &ScanHost::JobInitialize,   &ScanHost::SCInitialize,
                        &ScanHost::EngineInitialize, &ScanHost::ProxyInitialize, &ScanHost::Start};
  for (Step step : steps) {
    err = (host.get()->*step)();
    if (err.IsError()) break;
  }
  if (err.IsError()) {
    summary.failure = err.message();
    if (!host->m_failureReason.empty()) summary.failure += " (" + host->m_failureReason + ")";
    if (std::string refused = platform->error(); !refused.empty()) summary.failure += ": " + refused;
    fprintf(stderr, "ifind: %s\n", summary.failure.c_str());
    host->Finish();
    summary.journal = platform->journalPath(jobId);
    if (opt.json) printf("%s\n", dumpJson(summaryJson(summary)).c_str());
    return 1;
  }

  host->loadMounts();
  host->loadFilterFile();
  const ScanStats& stats = host->scan();
  host->Finish();

  summary.stats = stats;
  summary.succeeded = host->m_scanSucceeded;
  if (stats.interrupted) summary.failure = "interrupted";
  else if (stats.missingRoot) summary.failure = "a content path could not be scanned";
  else if (stats.writeErrors) summary.failure = "the scan's output files could not be written";
  else if (!summary.succeeded) summary.failure = "the finish failed; see " + platform->home() + "/kzfind.log";
  summary.recorded = host->m_numEntries;
  summary.collectFiles = host->m_nextCollectNum - 1;
  summary.streams = host->m_numStreams;
  summary.jobDir = host->m_files.subclientDir;
  summary.journal = platform->journalPath(jobId);
  summary.splitConfig = host->m_collectDir + "/split_config";
  summary.failuresFile = host->m_files.failuresFile;
  if (summary.succeeded) summary.phaseParams = lastPhaseParams(summary.journal);
  for (int n = 1; n < host->m_nextCollectNum; ++n) {
    std::string p = host->m_collectDir + "/" + host->m_collectBase + std::to_string(n) + "." + host->m_collectExt;
    if (access(p.c_str(), F_OK) == 0) summary.collectPaths.push_back(p);
  }
  host.reset();

  nlohmann::json record = summaryJson(summary);
  appendJournalRecord(summary.journal, {{"call", "ifindSummary"}, {"jobId", jobId}, {"args", record}});
  if (opt.json) {
    printf("%s\n", dumpJson(record).c_str());
  } else {
    fputs(formatSummary(summary).c_str(), stdout);
  }
  return summary.succeeded ? 0 : 1;
}
