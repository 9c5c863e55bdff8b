// The scan phase's command line: thirteen options, matched case-insensitively
// against the whole argument; everything else is passed over.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "scanphase/KzFind.h"
#include "scanphase/Location.h"

namespace {

constexpr const char* kParseSig = "virtual CLoError KzFind::ParseCommandLine(int, char**)";
constexpr int kBadArgument = 160;

enum class Option { None, Vm, Cs, I, D, Cn, S, Jt, J, A, R, F, T, AppType };

struct OptionName {
  const char* name;
  Option option;
  const char* missingMessage;  // when the option is the last argument
};

constexpr OptionName kOptions[] = {
    {"-vm", Option::Vm, "Insufficient arguments for option 'vm'"},
    {"-cs", Option::Cs, "Insufficient arguments for option 'cs'"},
    {"-i", Option::I, "Insufficient arguments for option 'i'"},
    {"-d", Option::D, "Insufficient arguments for option 'd'"},
    {"-cn", Option::Cn, "Insufficient arguments for option 'cn'"},
    {"-s", Option::S, "Insufficient arguments for option 's'"},
    {"-jt", Option::Jt, "Insufficient arguments for option 'jt'"},
    {"-j", Option::J, "Insufficient arguments for option 'j'"},
    {"-a", Option::A, "Insufficient arguments for option 'a'"},
    {"-r", Option::R, "Insufficient arguments for option 'r'"},
    {"-f", Option::F, "Insufficient arguments for option 'f/t'"},
    {"-t", Option::T, "Insufficient arguments for option 'f/t'"},
    {"-appType", Option::AppType, "Insufficient arguments for option 'appType'"},
};

const OptionName* findOption(const char* arg) {
  if (!arg) return nullptr;  // a host may pass a null slot; it is no option
  for (const OptionName& o : kOptions) {
    if (strcasecmp(arg, o.name) == 0) return &o;
  }
  return nullptr;
}

}  // namespace

CLoError KzFind::ParseCommandLine(int argc, char** argv) {
  if (!argv) argc = 0;
  int i = 0;
  while (i < argc) {
    const OptionName* opt = findOption(argv[i]);
    if (!opt) {
      ++i;
      continue;
    }
    if (i + 1 >= argc) {
      return FXErrorUtil::ErrorWin32(KZ_LOCATION(kParseSig), kBadArgument, "%s", opt->missingMessage);
    }
    if (opt->option == Option::Cs) {
      // "-cs" takes no value: the next argument is read as an option of its own.
      ++i;
      continue;
    }
    const char* value = argv[i + 1] ? argv[i + 1] : "";
    i += 2;
    switch (opt->option) {
      case Option::Vm:
        KZPI_Focus::setFocus(value);
        break;
      case Option::I:
        m_instanceNum = atoi(value);
        break;
      case Option::D:
        m_dataServer = value;
        if (!m_dataServer.empty() && (m_dataServer.back() == '/' || m_dataServer.back() == '\\')) {
          m_dataServer.pop_back();
        }
        break;
      case Option::Cn:
        m_clientName = value;
        break;
      case Option::S:
        m_subclient = value;
        break;
      case Option::Jt:
        m_jobToken = value;
        break;
      case Option::J:
        m_jobId = atol(value);
        m_event.setJobId(m_jobId);
        break;
      case Option::A: {
        m_appIdString = value;
        const char* colon = strchr(value, ':');
        if (!colon) {
          return FXErrorUtil::ErrorWin32(KZ_LOCATION(kParseSig), kBadArgument, "Invalid argument for option -a '%s'",
                                         value);
        }
        m_appIdMajor = static_cast<uint32_t>(atoi(std::string(value, colon).c_str()));
        m_appIdMinor = static_cast<uint32_t>(atoi(colon + 1));
        break;
      }
      case Option::R:
        m_refTime = atol(value);
        break;
      case Option::F:
      case Option::T:
        m_backupType = atoi(value);
        break;
      case Option::AppType:
        m_appType = atoi(value);
        break;
      case Option::None:
      case Option::Cs:
        break;
    }
  }
  return CLoError::Success();
}
