// ifind: the reference scanner. Runs the file-scan phase on this host, on the local
// platform: fills in the phase options the user left out, drives a ScanHost from
// Initialize to Finish, and prints a summary.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "hostservices/LocalPlatform.h"
#include "hostservices/SafeOpen.h"
#include "ifind/Mpi.h"
#include "ifind/Options.h"
#include "ifind/Report.h"
#include "ifind/ScanHost.h"
#include "ifind/ScanState.h"

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

// The current directory, or "" when it is gone (a relative path then names nothing).
std::string currentDirectory() {
  std::vector<char> buf(PATH_MAX);
  while (!getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return "";
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

std::string readSmallFile(const std::string& path) {
  std::string text;
  if (FILE* f = kzhost::openStreamAt(AT_FDCWD, path.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 20)) text.append(buf, n);
    fclose(f);
  }
  return text;
}

// Which way of stat'ing names proved faster here is kept in the home with the kernel it
// was found on: later scans start with it instead of timing both ways again (the slower
// way's share of that costs a few percent of a scan). Another kernel times again.
constexpr const char* kStatStrategyFile = "stat-strategy";

std::string kernelRelease() {
  struct utsname u {};
  return uname(&u) == 0 ? u.release : "";
}

// 0 single, 1 ring, -1 nothing known for this kernel.
int knownStatStrategy(kzhost::LocalPlatform& platform) {
  int fd = platform.openInHome(kStatStrategyFile, O_RDONLY);
  if (fd < 0) return -1;
  char buf[256];
  const ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  if (n <= 0) return -1;
  std::string_view text(buf, static_cast<size_t>(n));
  const std::string kernel = kernelRelease() + " ";
  if (!text.starts_with(kernel)) return -1;
  text.remove_prefix(kernel.size());
  return text == "single\n" ? 0 : text == "ring\n" ? 1 : -1;
}

void rememberStatStrategy(kzhost::LocalPlatform& platform, int known, const ifind::ScanStats& stats) {
  const int way = strcmp(stats.statStrategy, "single") == 0 ? 0 : strcmp(stats.statStrategy, "ring") == 0 ? 1 : -1;
  if (!stats.statTimed || way < 0 || way == known) return;
  int fd = platform.openInHome(kStatStrategyFile, O_WRONLY | O_CREAT);
  if (fd < 0) return;  // only a hint: the next scan times both ways again
  const std::string line = kernelRelease() + " " + stats.statStrategy + "\n";
  // A short write leaves a line the next scan does not accept: it times both ways again.
  (void)kzhost::overwriteFile(fd, line.data(), line.size());
  close(fd);
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
  // Rank 0 goes on as a local scan would; every other rank only reads directories for it.
  // Declared first, so that every return below stops the reading ranks.
  std::unique_ptr<MpiSession> mpi;
  if (opt.mpi && !opt.help && !opt.version) {
    if (!mpiBuilt()) return usageError("--mpi: this ifind was built without MPI");
    std::string why;
    mpi = MpiSession::start(&argc, &argv, why);
    if (!mpi) {
      fprintf(stderr, "ifind: --mpi: %s\n", why.c_str());
      return 1;
    }
    if (mpi->rank() != 0) return mpi->serve();
    if (mpi->size() < 2) return usageError("--mpi needs at least one reading rank (mpirun -n 2 or more)");
  }
  if (opt.help) {
    fputs(usageText("ifind").c_str(), stdout);
    return 0;
  }
  if (opt.version) {
    printf("ifind (kzfind) %s\n", KZFIND_VERSION);
    return 0;
  }

  kzhost::LocalPlatform::Settings settings;
  // Without --streams, settings.json may still ask for streams or the split (also on one CPU).
  if (opt.streams > 0) {
    settings.streams = opt.streams;
    settings.splitFlag = opt.streams > 1;
  }
  auto owned = std::make_unique<kzhost::LocalPlatform>(settings);
  kzhost::LocalPlatform* platform = owned.get();
  kzhost::Platform::install(std::move(owned));
  if (opt.debugLevel >= 0) platform->setDebugLevel(opt.debugLevel);
  if (platform->platformInvalid()) {
    fprintf(stderr, "ifind: %s\n", platform->error().c_str());
    return 1;
  }

  std::vector<std::string> resolved;
  const std::string cwd = currentDirectory();
  for (const std::string& p : opt.paths) {
    std::string why;
    auto r = resolveContentPath(p, cwd, why);
    if (!r) return usageError(why);
    resolved.push_back(*r);
  }
  std::vector<std::string> roots = contentRoots(resolved);

  if (opt.history) {
    // With PATHs, the jobs of that selection of paths only.
    std::vector<HistoryRow> rows = readHistory(platform->home());
    if (!roots.empty()) std::erase_if(rows, [&](const HistoryRow& r) { return r.roots != roots; });
    printHistory(rows, opt.json, stdout);
    return 0;
  }
  if (roots.empty()) return usageError("no content path given");
  int type = opt.effectiveBackupType();
  if (type != 1 && type != 2 && type != 4)
    return usageError("invalid backup type " + std::to_string(type) + " (1 full, 2 incremental, 4 differential)");
  for (const std::string& r : roots) {
    struct stat lst {}, st {};
    if (!opt.followRoots && lstat(r.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) && stat(r.c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode))
      fprintf(stderr, "ifind: '%s' is a symbolic link to a directory: recording the link only (-H scans what it points to)\n",
              r.c_str());
  }

  RemoteReader* remote = mpi ? &mpi->reader(opt.mpiTimeout) : nullptr;
  if (mpi) {
    std::string why;
    if (!mpi->sameTree(roots, opt.followRoots, why)) {
      fprintf(stderr, "ifind: %s\n", why.c_str());
      return 1;
    }
  }

  uint32_t major = 1, minor = 0;
  if (opt.appId) {
    major = static_cast<uint32_t>(atoi(opt.appId->c_str()));
    minor = static_cast<uint32_t>(atoi(opt.appId->c_str() + opt.appId->find(':') + 1));
  } else {
    // The folder is named after the subclient, so a person can tell which is which.
    minor = opt.name.empty() ? contentSubclientId(roots) : contentSubclientId({"\1name " + opt.name});
    std::string label = opt.name;
    if (label.empty())
      for (const std::string& r : roots) label += (label.empty() ? "" : "+") + r;
    platform->setSubclientLabel(major, minor, label);
  }
  const std::string jobDir = platform->subclientDir(major, minor);

  if (opt.forgetKeep >= 0) {
    // Only journals go: the job directory's lists and records are what later scans need.
    std::vector<HistoryRow> rows = readHistory(platform->home());
    std::erase_if(rows, [&](const HistoryRow& r) { return r.roots != roots; });
    size_t removed = 0;
    for (size_t i = 0; i + static_cast<size_t>(opt.forgetKeep) < rows.size(); ++i)
      if (unlink(platform->journalPath(rows[i].jobId).c_str()) == 0) ++removed;
    printf("ifind: removed %zu journal%s, kept %zu\n", removed, removed == 1 ? "" : "s", rows.size() - removed);
    return 0;
  }
  if (opt.list) {
    // A scan running now is rewriting the lists: wait for it or refuse, as a scan would.
    std::string holder;
    int err = platform->lockSubclient(major, minor, opt.waitSeconds, &holder);
    if (err == EWOULDBLOCK) {
      fprintf(stderr, "ifind: a scan of these paths is running (%s); its lists are not complete\n", holder.c_str());
      return 4;
    }
    return listScan(jobDir, opt.listJob, opt.print0 ? '\0' : '\n', opt.filesOnly, stdout, stderr);
  }

  // One scan of a subclient at a time, from before its start until it is recorded.
  std::string holder;
  int lockErr = platform->lockSubclient(major, minor, 0, &holder);
  if (lockErr == EWOULDBLOCK && opt.waitSeconds > 0) {
    fprintf(stderr, "ifind: another scan of these paths is running (%s); waiting up to %d s\n", holder.c_str(),
            opt.waitSeconds);
    lockErr = platform->lockSubclient(major, minor, opt.waitSeconds, &holder);
  }
  if (lockErr == EWOULDBLOCK) {
    fprintf(stderr, "ifind: another scan of these paths is running (%s); try again later or use --wait SECONDS\n",
            holder.c_str());
    return 4;
  }
  if (lockErr != 0) {
    std::string refused = platform->error();
    fprintf(stderr, "ifind: cannot lock the job directory %s: %s\n", jobDir.c_str(),
            refused.empty() ? strerror(lockErr) : refused.c_str());
    return 1;
  }

  Summary summary;
  // What a later incremental must compare with, and what this one compares with.
  std::vector<std::string> excludes = opt.excludes;
  if (opt.excludeCaches) excludes.push_back("\1caches");  // not a pattern anyone writes
  for (const std::string& n : opt.excludeIfPresent) excludes.push_back("\1if-present " + n);
  const std::string selection = selectionKey(roots, excludes, readSmallFile(jobDir + "/filters"),
                                             opt.oneFileSystem, opt.followRoots);
  std::optional<ScanBase> base;
  long long refTime = 0;
  if (type != 1) {
    std::string why;
    base = findBase(jobDir, type, selection, why);
    // Without a base its owed entries and changed selection are unknown: a reference
    // time given by hand would skip them for good.
    if (base) {
      summary.baseJob = base->jobId;
    } else {
      fprintf(stderr, "ifind: %s: running a full scan instead of %s %s\n", why.c_str(),
              type == 2 ? "an" : "a", backupTypeName(type));
      summary.note = "ran as a full scan: " + why;
      type = 1;
    }
    if (type != 1) refTime = opt.refTime ? atoll(opt.refTime->c_str()) : base->referenceTime;
  }

  // The phase's options the user left out come first, so the user's own win.
  std::vector<std::string> args{argv[0]};
  long long jobId;
  if (opt.jobId) {
    jobId = atoll(opt.jobId->c_str());
    // Appending to another job's journal would merge two jobs in the history; two runs
    // given the same id at once are told apart by the journal's exclusive create.
    if (int err = platform->reserveJournal(jobId); err == EEXIST) {
      return usageError("job " + *opt.jobId + " already has a journal (" + platform->journalPath(jobId) + ")");
    } else if (err != 0) {
      fprintf(stderr, "ifind: cannot create the journal %s: %s\n", platform->journalPath(jobId).c_str(), strerror(err));
      return 1;
    }
  } else {
    jobId = platform->newJobId();
    if (jobId < 0) {
      fprintf(stderr, "ifind: cannot allocate a job id under %s: %s\n", platform->home().c_str(), strerror(errno));
      return 1;
    }
    args.insert(args.end(), {"-j", std::to_string(jobId)});
  }
  if (!opt.appId) args.insert(args.end(), {"-a", "1:" + std::to_string(minor)});
  if (!opt.dataServer) args.insert(args.end(), {"-d", hostName()});
  if (!opt.phaseType) args.insert(args.end(), {"-f", std::to_string(type)});
  // The phase knows only the incremental's reference time (it sets 1 for a
  // differential), so the scanner keeps the real one for its comparisons.
  if (type != 1 && !opt.refTime) args.insert(args.end(), {"-r", std::to_string(refTime)});
  for (size_t i = 0; i < opt.phaseArgs.size(); ++i) {
    args.push_back(opt.phaseArgs[i]);
    // A type the scan could not keep is replaced in the user's own option too.
    const std::string& a = opt.phaseArgs[i];
    if ((strcasecmp(a.c_str(), "-f") == 0 || strcasecmp(a.c_str(), "-t") == 0) && i + 1 < opt.phaseArgs.size()) {
      args.push_back(std::to_string(type));
      ++i;
    }
  }
  std::vector<char*> phaseArgv;
  for (std::string& a : args) phaseArgv.push_back(a.data());
  phaseArgv.push_back(nullptr);

  ScanStateWriter state;
  bool stateOpen = state.open(jobDir, jobId);
  if (!stateOpen)
    fprintf(stderr, "ifind: cannot keep this scan's directory list in %s/scans: %s (the next incremental will run as a full scan)\n",
            jobDir.c_str(), strerror(errno));

  ScanConfig config;
  config.roots = roots;
  config.excludes = opt.excludes;
  config.excludeCaches = opt.excludeCaches;
  config.excludeIfPresent = opt.excludeIfPresent;
  config.oneFileSystem = opt.oneFileSystem;
  config.followRoots = opt.followRoots;
  config.remote = remote;
  config.threads = std::clamp(opt.threads > 0 ? opt.threads : cpus(), 1, 8);
  // By default readers are added while they wait on the disk: an uncached tree is read
  // faster by more readers than CPUs. --threads N is N readers, no more.
  if (opt.threads <= 0) config.maxThreads = std::min(4 * cpus(), 16);
  config.statMode = opt.singleStats ? StatMode::Single : opt.batchStats ? StatMode::Ring : StatMode::Auto;
  const bool timesStats = config.statMode == StatMode::Auto && !remote && config.threads > 1;
  if (timesStats) config.statKnown = knownStatStrategy(*platform);
  config.progress = !opt.quiet && isatty(2);
  config.referenceTime = refTime;
  config.base = base ? &*base : nullptr;
  config.state = stateOpen ? &state : nullptr;

  auto host = std::make_unique<ScanHost>(config);
  host->m_checkAppleDouble = opt.appleDouble;
  host->m_preserveAtime = opt.preserveAtime;
  g_platform = platform;
  installSignals();

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
  std::optional<HeldOutputs> held;
  for (Step step : steps) {
    if (step == &ScanHost::Start) held.emplace(jobDir);
    err = (host.get()->*step)();
    if (err.IsError()) break;
  }
  if (held) held->releaseInBackground();
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

  if (!noteListsOwner(jobDir, jobId))
    fprintf(stderr, "ifind: cannot note this job in %s/lists-of: %s (--list will refuse its lists)\n", jobDir.c_str(),
            strerror(errno));
  host->loadMounts();
  summary.filterPatterns = host->loadFilterFile();
  summary.filterFile = host->m_files.filterFile;
  const ScanStats& stats = host->scan();
  if (timesStats) rememberStatStrategy(*platform, config.statKnown, stats);
  // The lists wait on the disk while the finish rewrites the collect files on the CPU;
  // nothing of the finish touches them.
  bool stateKept = false;
  std::thread stateCloser;
  if (stateOpen) {
    try {
      stateCloser = std::thread([&] { stateKept = state.close(); });
    } catch (const std::system_error&) {
      stateKept = state.close();  // no thread to be had: here, before the finish
    }
  }
  // The split removes the scratch copies it makes of these collect files; held here,
  // their pages are freed on a thread while the scan is recorded.
  HeldOutputs collected(jobDir);
  host->Finish();
  collected.releaseInBackground();
  if (stateCloser.joinable()) stateCloser.join();

  summary.stats = stats;
  summary.succeeded = host->m_scanSucceeded;
  summary.partial = summary.succeeded && stats.entryFailures > 0;
  // A rank that fails on a content path makes it look missing: the rank's failure is the cause.
  if (stats.interrupted) summary.failure = "interrupted";
  else if (mpi && mpi->failed()) summary.failure = "a reading rank failed: " + mpi->failure();
  else if (stats.missingRoot) summary.failure = "a content path could not be scanned";
  else if (stats.scannerErrors)
    summary.failure = "the scanner itself ran short (" + stats.scannerError +
                      "); raise the open-file limit (ulimit -n) or use fewer --threads";
  else if (stats.writeErrors) summary.failure = "the scan's output files could not be written";
  else if (!summary.succeeded) summary.failure = "the finish failed; see " + platform->home() + "/kzfind.log";
  for (int n = 1; n < host->m_nextCollectNum; ++n) {
    std::string p = host->m_collectDir + "/" + host->m_collectBase + std::to_string(n) + "." + host->m_collectExt;
    if (access(p.c_str(), F_OK) == 0) summary.collectPaths.push_back(p);
  }
  if (summary.succeeded && (!stateKept || !recordScan(jobDir, {jobId, summary.partial, type, host->m_startTime,
                                                               selection, roots, summary.collectPaths}))) {
    // Without its lists this scan cannot be compared with. After a whole scan an earlier
    // one is a safe base: the next incremental takes more, not less. But what a partial
    // scan could not read is owed, and an earlier base knows nothing of it: the history
    // goes, so that the next incremental runs as a full scan.
    const std::string scans = jobDir + "/scans.jsonl";
    if (!summary.partial) {
      fprintf(stderr, "ifind: this scan could not be recorded in %s (the next incremental compares with an earlier scan or runs as a full scan)\n",
              jobDir.c_str());
    } else if (unlink(scans.c_str()) == 0 || errno == ENOENT) {
      fprintf(stderr, "ifind: this partial scan could not be recorded in %s; its history is cleared, so the next incremental runs as a full scan\n",
              jobDir.c_str());
    } else {
      fprintf(stderr, "ifind: this partial scan could not be recorded in %s, nor its history cleared (%s): nothing may be taken from it; remove %s or run the next scan as a full one\n",
              jobDir.c_str(), strerror(errno), scans.c_str());
      summary.failure = "the partial scan could not be recorded";
      summary.succeeded = summary.partial = false;
    }
  }
  summary.recorded = host->m_numEntries;
  summary.collectFiles = host->m_nextCollectNum - 1;
  summary.streams = host->m_numStreams;
  summary.jobDir = host->m_files.subclientDir;
  summary.journal = platform->journalPath(jobId);
  summary.splitConfig = host->m_collectDir + "/split_config";
  summary.failuresFile = host->m_files.failuresFile;
  if (summary.succeeded) summary.phaseParams = lastPhaseParams(summary.journal);
  host.reset();

  nlohmann::json record = summaryJson(summary);
  appendJournalRecord(summary.journal, {{"call", "ifindSummary"}, {"jobId", jobId}, {"args", record}});
  if (opt.json) {
    printf("%s\n", dumpJson(record).c_str());
  } else {
    fputs(formatSummary(summary).c_str(), stdout);
  }
  // Left out by design, but what is mounted there is data the user may expect in the backup.
  for (const std::string& a : summary.stats.automountsNotEntered)
    fprintf(stderr, "ifind: %s is an automount point: not entered (that would mount what it serves); give it as a content path to scan it\n",
            a.c_str());
  if (summary.partial) {
    const ScanStats& st = summary.stats;
    fprintf(stderr, "ifind: partial scan: %llu entr%s could not be read, listed in %s; the next incremental takes them in full\n",
            static_cast<unsigned long long>(st.entryFailures), st.entryFailures == 1 ? "y" : "ies",
            summary.failuresFile.c_str());
    for (const std::string& f : st.firstFailures) fprintf(stderr, "  %s\n", f.c_str());
    if (st.entryFailures > st.firstFailures.size()) fprintf(stderr, "  ...\n");
  }
  if (!summary.succeeded) return 1;
  return summary.partial ? 3 : 0;
}
