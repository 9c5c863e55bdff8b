#include "ifind/Options.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "hostservices/LocalPlatform.h"

namespace ifind {

namespace {

struct PhaseOption {
  const char* name;
  const char* label;  // as in the phase's message
  bool takesValue;
};

// The phase's options, compared case-insensitively with the whole argument.
constexpr PhaseOption kPhaseOptions[] = {
    {"-vm", "vm", true}, {"-cs", "cs", false}, {"-i", "i", true},   {"-d", "d", true},  {"-cn", "cn", true},
    {"-s", "s", true},   {"-jt", "jt", true},  {"-j", "j", true},   {"-a", "a", true},  {"-r", "r", true},
    {"-f", "f/t", true}, {"-t", "f/t", true},  {"-appType", "appType", true},
};

const PhaseOption* phaseOption(const char* arg) {
  for (const PhaseOption& o : kPhaseOptions)
    if (strcasecmp(arg, o.name) == 0) return &o;
  return nullptr;
}

std::optional<int> positive(const std::string& text) {
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) return std::nullopt;
  int v = atoi(text.c_str());
  if (v < 1) return std::nullopt;
  return v;
}

// A job id names a journal file and the phase reads it as a number: digits only, at least 1.
std::optional<std::string> checkJobId(const std::string& value) {
  bool digits = !value.empty() && value.size() <= 18 && std::all_of(value.begin(), value.end(), ::isdigit);
  if (digits && atoll(value.c_str()) >= 1) return std::nullopt;
  return "invalid job id for option -j '" + value + "' (a positive decimal number)";
}

}  // namespace

int Options::effectiveBackupType() const { return phaseType ? atoi(phaseType->c_str()) : backupType; }

namespace {

// Options that take a value.
constexpr std::string_view kValued[] = {"--exclude", "-e", "--exclude-from", "--exclude-if-present", "--streams",
                                        "--threads", "--debug-level", "--wait", "--job", "--name", "--forget",
                                        "--mpi-timeout"};

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

}  // namespace

std::optional<std::string> parseArguments(int argc, char** argv, Options& out) {
  bool pathsOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (pathsOnly) {
      out.paths.push_back(arg);
      continue;
    }
    if (arg == "--") {
      pathsOnly = true;
      continue;
    }
    if (const PhaseOption* o = phaseOption(arg.c_str())) {
      // The same rules as the phase's parser, so a value is never taken for a path.
      if (i + 1 >= argc) return std::string("Insufficient arguments for option '") + o->label + "'";
      out.phaseArgs.push_back(arg);
      if (!o->takesValue) continue;
      std::string value = argv[++i];
      out.phaseArgs.push_back(value);
      std::string_view name = o->name;
      if (name == "-j") {
        if (auto bad = checkJobId(value)) return bad;
        out.jobId = value;
      }
      if (name == "-d") out.dataServer = value;
      if (name == "-f" || name == "-t") out.phaseType = value;
      if (name == "-r") {
        // Read as a number, "2026-12-01" would become 2026: a date taken for seconds.
        if (value.empty() || value.size() > 18 || !std::all_of(value.begin(), value.end(), ::isdigit))
          return "invalid reference time for option -r '" + value + "' (seconds since 1970)";
        out.refTime = value;
      }
      if (name == "-a") {
        if (value.find(':') == std::string::npos) return "Invalid argument for option -a '" + value + "'";
        out.appId = value;
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::string name = arg, value;
      bool inlineValue = false;
      if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inlineValue = true;
      }
      auto needValue = [&]() -> std::optional<std::string> {
        if (inlineValue) return value;
        if (i + 1 >= argc) return std::nullopt;
        return std::string(argv[++i]);
      };
      static constexpr std::pair<std::string_view, bool Options::*> kSwitches[] = {
          {"--help", &Options::help},           {"-h", &Options::help},
          {"--version", &Options::version},     {"-V", &Options::version},
          {"--list", &Options::list},           {"--files-only", &Options::filesOnly},
          {"-0", &Options::print0},             {"--null", &Options::print0},
          {"--one-file-system", &Options::oneFileSystem}, {"-x", &Options::oneFileSystem},
          {"--appledouble", &Options::appleDouble},
          {"--preserve-atime", &Options::preserveAtime}, {"--quiet", &Options::quiet}, {"-q", &Options::quiet},
          {"--exclude-caches", &Options::excludeCaches},
          {"--json", &Options::json},           {"--history", &Options::history},
          {"--single-stats", &Options::singleStats}, {"--batch-stats", &Options::batchStats},
          {"-H", &Options::followRoots},        {"--mpi", &Options::mpi},
          {"--dereference-args", &Options::followRoots},
      };
      static constexpr std::pair<std::string_view, int> kTypes[] = {
          {"--full", 1}, {"--incremental", 2}, {"--differential", 4}};
      auto isSwitch = std::find_if(std::begin(kSwitches), std::end(kSwitches), [&](auto& e) { return e.first == name; });
      auto isType = std::find_if(std::begin(kTypes), std::end(kTypes), [&](auto& e) { return e.first == name; });
      if (isSwitch != std::end(kSwitches)) {
        out.*(isSwitch->second) = true;
      } else if (isType != std::end(kTypes)) {
        out.backupType = isType->second;
      } else if (std::find(std::begin(kValued), std::end(kValued), name) != std::end(kValued)) {
        if (name == "-e") name = "--exclude";
        auto v = needValue();
        if (!v) return "option '" + name + "' needs a value";
        if (name == "--exclude") {
          if (v->empty()) return std::string("option '--exclude' needs a pattern");
          out.excludes.push_back(*v);
        } else if (name == "--exclude-from") {
          std::ifstream in(*v);
          if (!in) return "cannot read the exclude file '" + *v + "': " + strerror(errno);
          for (std::string line; std::getline(in, line);) {
            while (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line[0] != '#') out.excludes.push_back(line);
          }
        } else if (name == "--exclude-if-present") {
          if (v->empty() || v->find('/') != std::string::npos)
            return "invalid value for --exclude-if-present: '" + *v + "' (a name, without '/')";
          out.excludeIfPresent.push_back(*v);
        } else if (name == "--name") {
          if (v->empty() || v->size() > 64) return "invalid value for --name: '" + *v + "' (1 to 64 characters)";
          out.name = *v;
        } else if (name == "--job") {
          if (v->empty() || v->size() > 18 || !std::all_of(v->begin(), v->end(), ::isdigit) || atoll(v->c_str()) < 1)
            return "invalid value for --job: '" + *v + "' (a job id, as --history shows it)";
          out.listJob = atoll(v->c_str());
        } else if (name == "--forget") {
          if (v->empty() || v->size() > 6 || !std::all_of(v->begin(), v->end(), ::isdigit))
            return "invalid value for --forget: '" + *v + "' (how many of the newest jobs to keep)";
          out.forgetKeep = atoi(v->c_str());
        } else if (name == "--debug-level" || name == "--wait") {
          if (v->empty() || v->size() > 7 || !std::all_of(v->begin(), v->end(), ::isdigit))
            return "invalid value for " + name + ": '" + *v + "'";
          (name == "--wait" ? out.waitSeconds : out.debugLevel) = atoi(v->c_str());
        } else if (name == "--mpi-timeout") {
          auto n = positive(*v);
          if (!n || *n > 86400) return "invalid value for " + name + ": '" + *v + "'";
          out.mpiTimeout = *n;
        } else {
          auto n = positive(*v);
          if (!n) return "invalid value for " + name + ": '" + *v + "'";
          if (name == "--streams" && *n > kzhost::LocalPlatform::kMaxStreams)
            return "invalid value for --streams: '" + *v + "' (at most " +
                   std::to_string(kzhost::LocalPlatform::kMaxStreams) + ")";
          (name == "--streams" ? out.streams : out.threads) = *n;
        }
      } else {
        std::string hint = " (a path that begins with '-' goes after '--')";
        if (name.starts_with("--")) {
          // The nearest long option by edit distance, when it is near.
          std::string best;
          size_t bestCost = 3;
          auto consider = [&](std::string_view known) {
            if (!known.starts_with("--")) return;
            size_t cost = editDistance(name, known);
            if (cost < bestCost) bestCost = cost, best = known;
          };
          for (auto& e : kSwitches) consider(e.first);
          for (auto& e : kTypes) consider(e.first);
          for (std::string_view v : kValued) consider(v);
          if (!best.empty()) hint = "; did you mean '" + best + "'?";
        }
        return "unknown option '" + arg + "'" + hint;
      }
      continue;
    }
    out.paths.push_back(arg);
  }
  return std::nullopt;
}

std::string usageText(const char* program) {
  std::string p = program ? program : "ifind";
  return "Usage: " + p + " [OPTION]... PATH...\n"
         "Scans PATHs as the file-scan phase of a backup job on this host and prints a summary.\n"
         "\n"
         "Scanner options:\n"
         "  --full                a full scan (the default)\n"
         "  --incremental         only what changed since the last successful scan\n"
         "  --differential        only what changed since the last successful full scan\n"
         "  -e, --exclude GLOB    leave out what matches (repeatable): a name (*.log), a folder\n"
         "                        (cache/), a path below a PATH (tree/cache, sub/**/tmp), or a\n"
         "                        whole path (/srv/tmp); '*' stops at '/', '**' does not\n"
         "  --exclude-from FILE   the patterns of FILE, one a line ('#' starts a comment)\n"
         "  --exclude-caches      leave out what folders tagged by CACHEDIR.TAG hold\n"
         "  --exclude-if-present NAME  leave out folders that hold an entry NAME\n"
         "                        (the subclient's own patterns, one a line, are read from the\n"
         "                        file 'filters' in its job directory, shown in the summary)\n"
         "  -x, --one-file-system do not enter other file systems below a PATH\n"
         "  -H, --dereference-args  a PATH that is a symbolic link: scan what it points to\n"
         "                        (else the link itself is recorded)\n"
         "  --appledouble         mark files that have an AppleDouble companion\n"
         "  --preserve-atime      put back access times of the companions read\n"
         "  --streams N           parallel backup streams the platform reports (default: CPUs,\n"
         "                        at most 1024, and no more than one per MiB recorded)\n"
         "  --threads N           exactly N directory reader threads, at most 8 (default: CPUs,\n"
         "                        at most 8, and more while they wait on the disk: up to 4 per\n"
         "                        CPU, at most 16)\n"
         "  --single-stats        one stat call per entry\n"
         "  --batch-stats         with several threads, a directory's names stat'ed in batches\n"
         "                        through io_uring (default: whichever proves faster here)\n"
         "  --mpi                 under mpirun: rank 0 scans and records, the other ranks read\n"
         "                        directories (every rank must see PATHs on the same file system)\n"
         "  --mpi-timeout SECONDS  a reading rank that does not answer a read in this time\n"
         "                        fails the scan (default: 60)\n"
         "  --debug-level N       debug log level (else $KZFIND_DEBUG, else 0: errors and events;\n"
         "                        1 traces changed folders and failed entries, 2 every file)\n"
         "  --name NAME           the subclient's name: its scans are compared with one another\n"
         "                        whatever the PATHs (default: one subclient per set of PATHs)\n"
         "  --wait SECONDS        wait this long for another scan of the same paths to end\n"
         "                        (default: refuse at once)\n"
         "  -q, --quiet           no progress line\n"
         "  --json                print the summary as one JSON object\n"
         "  --history             list the jobs run so far and exit\n"
         "  --list                print the entries the latest scan of PATHs recorded, as real\n"
         "                        paths (entries below the PATHs, folders too), and exit\n"
         "  --job N               with --list: that job's entries (refused once replaced)\n"
         "  --forget N            remove the journals of the PATHs' jobs but the newest N, and\n"
         "                        exit (the subclient's current lists and records stay)\n"
         "  -0, --null            with --list: end each path with NUL instead of newline\n"
         "  --files-only          with --list: leave folders out\n"
         "  -h, --help            this text\n"
         "  -V, --version         the version, then exit\n"
         "\n"
         "Scan phase options (filled in when not given):\n"
         "  -j JOBID              job id, a positive number without a journal yet (default: a new\n"
         "                        one from the local job manager)\n"
         "  -a MAJOR:MINOR        application id (default: 1:N, N derived from the PATHs)\n"
         "  -d SERVER             data server (default: this host's name)\n"
         "  -f TYPE, -t TYPE      backup type: 1 full, 2 incremental, 4 differential\n"
         "  -r SECONDS            reference time (default: from the subclient's last scan);\n"
         "                        with no usable earlier scan the scan runs as a full one\n"
         "  -s NAME               subclient name (default: \"default\")\n"
         "  -cn NAME              client name\n"
         "  -jt TOKEN             job token\n"
         "  -i N                  instance number\n"
         "  -appType N            application type\n"
         "  -vm TEXT              platform focus\n"
         "  -cs                   takes no value\n"
         "\n"
         "Exit status:\n"
         "  0  success: every entry was recorded\n"
         "  1  failed: nothing may be taken from this scan, the next incremental starts from\n"
         "     the last good one; also a state folder refused\n"
         "  2  usage error\n"
         "  3  partial: some entries could not be read; they are listed in the failures file\n"
         "     and the next incremental or differential takes them in full\n"
         "  4  busy: another scan of the same subclient is running\n"
         "Everything after '--' is a PATH.\n"
         "Files live under $KZFIND_HOME (default ~/.local/state/kzfind), which must be a private\n"
         "folder of this user's; the scan refuses to run otherwise.\n";
}

std::string normalizePath(std::string_view path, std::string_view cwd) {
  std::vector<std::string_view> parts;
  auto add = [&](std::string_view p) {
    while (!p.empty()) {
      size_t slash = p.find('/');
      std::string_view part = p.substr(0, slash);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      if (slash == std::string_view::npos) break;
      p.remove_prefix(slash + 1);
    }
  };
  if (path.empty() || path[0] != '/') add(cwd);
  add(path);
  std::string out;
  for (std::string_view part : parts) {
    out.push_back('/');
    out.append(part);
  }
  return out.empty() ? "/" : out;
}

std::optional<std::string> resolveContentPath(const std::string& path, const std::string& cwd,
                                              std::string& error) {
  if (path.empty()) {
    error = "an empty content path";
    return std::nullopt;
  }
  if (path[0] != '/' && cwd.empty()) {
    error = "cannot resolve '" + path + "': the current directory no longer exists (give an absolute path)";
    return std::nullopt;
  }
  std::string absolute = path[0] == '/' ? path : cwd + "/" + path;
  // The part up to the last ".." goes to the kernel, which climbs from where a link
  // really leads; textual climbing would name another directory than find or ls do.
  size_t cut = std::string::npos;
  for (size_t pos = absolute.find(".."); pos != std::string::npos; pos = absolute.find("..", pos + 1)) {
    bool starts = pos == 0 || absolute[pos - 1] == '/';
    bool ends = pos + 2 == absolute.size() || absolute[pos + 2] == '/';
    if (starts && ends) cut = pos + 2;
  }
  if (cut == std::string::npos) return normalizePath(absolute, "/");
  std::string head = absolute.substr(0, cut);
  char* real = realpath(head.c_str(), nullptr);
  if (!real) {
    error = "cannot resolve '" + path + "': " + strerror(errno);
    return std::nullopt;
  }
  std::string resolved = real;
  free(real);
  return normalizePath(absolute.substr(cut), resolved);
}

bool atOrBelow(std::string_view path, std::string_view root) {
  return root == "/" || path == root ||
         (path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/');
}

std::vector<std::string> contentRoots(std::vector<std::string> all) {
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  std::vector<std::string> roots;
  for (const std::string& p : all) {
    bool inside = std::any_of(roots.begin(), roots.end(), [&](const std::string& r) { return atOrBelow(p, r); });
    if (!inside) roots.push_back(p);
  }
  return roots;
}

uint32_t contentSubclientId(const std::vector<std::string>& roots) {
  // FNV-1a over the paths, each ended by a NUL byte.
  uint32_t h = 2166136261u;
  for (const std::string& r : roots) {
    for (unsigned char c : r) h = (h ^ c) * 16777619u;
    h = (h ^ 0u) * 16777619u;
  }
  return h % 999999999u + 1;
}

}  // namespace ifind
