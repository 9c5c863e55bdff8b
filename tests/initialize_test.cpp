// ParseCommandLine (options, values, failures), then Initialize, AppInitialize and
// JobInitialize through the recording fake: the calls made, their arguments, the debug
// lines, and each failure's error and reason.
#include "support/WriterSupport.h"

namespace {

using kzhost::FakePlatform;
using kzhost::ScopedFakePlatform;
using kztest::Argv;
using Calls = std::vector<std::string>;
using S = FakePlatform::Switches;
using Flags = std::vector<kztest::Flag>;

constexpr const char* kParse = "virtual CLoError KzFind::ParseCommandLine(int, char**)";

// The members the command line may set, listing only those that left their initial
// value ("", 0, or -1 for the backup type).
std::string changed(const KzFind& f) {
  using std::to_string;
  const std::pair<const char*, std::string> members[] = {
      {"d", f.m_dataServer},           {"s", f.m_subclient},         {"cn", f.m_clientName},
      {"jt", f.m_jobToken},            {"a", f.m_appIdString},       {"major", to_string(f.m_appIdMajor)},
      {"minor", to_string(f.m_appIdMinor)}, {"j", to_string(f.m_jobId)}, {"r", to_string(f.m_refTime)},
      {"i", to_string(f.m_instanceNum)}, {"f", to_string(f.m_backupType)}, {"appType", to_string(f.m_appType)}};
  std::string out;
  for (const auto& [key, v] : members) {
    if (v != "" && v != "0" && v != "-1") out += std::string(out.empty() ? "" : " ") + key + "=" + v;
  }
  return out;
}

TEST(ParseCommandLine, Table) {
  struct Case {
    Argv args;
    std::string error;  // empty: success
    std::string state;  // changed(f) afterwards
  } cases[] = {
      {Argv{}, "", ""},
      {Argv{"", "", ""}, "", ""},
      {Argv{"ifind", "-i", "3", "-d", "srv", "-cn", "c", "-s", "sc", "-jt", "tok", "-j", "4711", "-a", "12:34", "-r",
            "500", "-f", "2", "-appType", "33"},
       "", "d=srv s=sc cn=c jt=tok a=12:34 major=12 minor=34 j=4711 r=500 i=3 f=2 appType=33"},
      {Argv{"-d", "/"}, "", ""},
      {Argv{"-d", "/srv/\\"}, "", "d=/srv/"},
      {Argv{"-a", "7"}, "Invalid argument for option -a '7'", "a=7"},
      {Argv{"-a", ":5"}, "", "a=:5 minor=5"},
      {Argv{"-F", "1", "-APPTYPE", "9"}, "", "f=1 appType=9"},
      {Argv{"-cs", "-d", "/x"}, "", "d=/x"},
      {Argv{"-j", " -9000000000x"}, "", "j=-9000000000"},
      {Argv{"-x", "foo", "-s", "-d"}, "", "s=-d"},
      {Argv{"-s", "a", "-S", "b"}, "", "s=b"},
      {Argv{"-a", "1", "-d", "srv"}, "Invalid argument for option -a '1'", "a=1"},
      {Argv{"-cs", "-cs"}, "Insufficient arguments for option 'cs'", ""},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // An option as the last argument lacks its value.
  for (std::string o : {"vm", "i", "d", "cn", "s", "jt", "j", "a", "r", "f", "t", "appType"})
    all.push_back({Argv{("-" + o).c_str()}, "Insufficient arguments for option '" + (o == "f" || o == "t" ? "f/t" : o) + "'", ""});
  for (Case& c : all) {
    SCOPED_TRACE(testing::PrintToString(c.args.text()));
    kzhost::ScopedFakePlatform fake;
    KzFind f;
    CLoError e = f.ParseCommandLine(c.args.argc(), c.args.argv());
    EXPECT_EQ(changed(f), c.state);
    EXPECT_EQ(e.IsError(), !c.error.empty()) << e.ToString();
    if (!c.error.empty()) kztest::expectError(e, 160, c.error, kParse);
  }
}

constexpr const char* kEventInit = "eventInitialize(2,1621670017,0,nocb,)";
const std::string kTail =
    " : Services down on Client and/or Dorvane, lost network connectivity to Dorvane, Out of process memory, handles "
    "or corrupted install.";
const std::string kR1 = "Could not obtain backup set information." + kTail;
const std::string kR2 = "Could not obtain Sub Client information." + kTail;
const std::string kR4 =
    "Initialization failure. : Services down on Client and/or Dorvane, lost network connectivity to dorvane, Out of "
    "process memory, handles or corrupted install.";

// A failure checks nothing in and leaves no reason.
TEST(Initialize, CallsResultsAndFailures) {
  const Argv good{"-j", "4711", "-d", "srv", "-f", "1", "-s", "sc"};
  const Calls upToDorvane{kEventInit, "setJobId(4711)", "platformInvalid", "getDorvaneHostName"};
  struct {
    Argv args;
    Calls calls;
    const char* error = nullptr;  // null: success
    int code = 774;
    kztest::Flag flag = nullptr;
    int64_t refTime = 0;
    const char* presetDorvane = "";
  } cases[] = {
      {.args = Argv{"ifind", "-j", "4711", "-d", "srv", "-r", "500", "-f", "1"},
       .calls = {kEventInit, "setJobId(4711)", "platformInvalid", "getDorvaneHostName", "checkin(ifind_4711)"}},
      {.args = Argv{"-d", "srv", "-r", "500", "-f", "2"},
       .calls = {kEventInit, "platformInvalid", "getDorvaneHostName", "checkin(ifind_0)"}, .refTime = 500},
      {.args = Argv{"-d", "srv", "-r", "500", "-t", "4", "-j", "9"},
       .calls = {kEventInit, "setJobId(9)", "checkin(ifind_9)"}, .refTime = 1, .presetDorvane = "preset.host"},
      // A refused event object: nothing is parsed.
      {.args = good, .calls = {kEventInit}, .error = "Can't initialize. Exiting.", .flag = &S::eventInitFails},
      {.args = Argv{"-d", "srv", "-f", "1", "-j"}, .calls = {kEventInit},
       .error = "Insufficient arguments for option 'j'", .code = 160},
      {.args = Argv{"-d", "/", "-f", "1"}, .calls = {kEventInit}, .error = "Data Server not defined (-d)", .code = 160},
      {.args = good, .calls = {kEventInit, "setJobId(4711)", "platformInvalid"},
       .error = "Error obtaining Dorvane name", .flag = &S::platformInvalid},
      {.args = good, .calls = upToDorvane, .error = "Error obtaining Dorvane name", .flag = &S::noDorvaneName},
      {.args = Argv{"-j", "4711", "-d", "srv", "-s", "sc"}, .calls = upToDorvane, .error = "Invalid Backup type"},
      {.args = Argv{"-j", "4711", "-d", "srv", "-f", "3"}, .calls = upToDorvane, .error = "Invalid Backup type"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args.text()));
    ScopedFakePlatform fake(kztest::raised({c.flag}));
    KzFind f;
    f.m_dorvaneName = c.presetDorvane;
    CLoError e = f.Initialize(c.args.argc(), c.args.argv());
    EXPECT_EQ(fake->calls(), c.calls);
    EXPECT_EQ(f.m_failureReason, "");
    if (c.error) {
      kztest::expectError(e, c.code, c.error, "virtual CLoError KzFind::Initialize(int, char**)");
      continue;
    }
    ASSERT_FALSE(e.IsError()) << e.ToString();
    EXPECT_EQ(f.m_dorvaneName, *c.presetDorvane ? c.presetDorvane : "dorvane.test");
    EXPECT_EQ(f.m_refTime, c.refTime);
    EXPECT_EQ(f.m_subclient, "default");
  }
}

// AppInitialize makes both lookups before it tests either; JobInitialize keeps both
// clients, also after a refusal (the destructor releases them).
TEST(AppAndJobInitialize, CallsAndFailures) {
  const Calls lookups = {"appIdInfo(2:3)", "backupSet(2:3)", "subclient(2:3)"};
  const Calls clients = {"logWriterLevel", "logWriter(Init JobObject, Dorvane=[dorvane.test])",
                         "init(dorvane.test,4711,0,4,false,tok)", "logWriterLevel",
                         "logWriter(Init JobCtrlObject, Dorvane=[dorvane.test])",
                         "Init2(4711,dorvane.test,1,4,tok,null)"};
  struct Step {
    CLoError (KzFind::*run)();
    const char* function;
  } const app{&KzFind::AppInitialize, "virtual CLoError KzFind::AppInitialize()"},
      job{&KzFind::JobInitialize, "virtual CLoError KzFind::JobInitialize()"};
  struct {
    Step step;
    Flags flags;
    Calls calls;
    const char* message;  // null: success
    std::string reason;
    const char* kept;  // the objects that exist afterwards: s(ubclient), j(ob client), c(ontrol client)
  } cases[] = {
      {app, {}, lookups, nullptr, "", "s"},
      {app, {&S::nullBackupSet}, lookups, "Could not obtain backup set information", kR1, "s"},
      {app, {&S::nullSubclient}, lookups, "Could not obtain SubClient information", kR2, ""},
      {app, {&S::nullBackupSet, &S::nullSubclient}, lookups, "Could not obtain backup set information", kR1, ""},
      {job, {}, clients, nullptr, "", "jc"},
      {job, {&S::initFails}, Calls(clients.begin(), clients.begin() + 3), "Could not initialize job object", kR4, "jc"},
      {job, {&S::init2Fails}, clients, "Could not initialize job control", kR4, "jc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message ? c.message : "success");
    ScopedFakePlatform fake(kztest::raised(c.flags));
    KzFind f;
    f.m_appIdString = "2:3";
    f.m_dorvaneName = "dorvane.test";
    f.m_jobId = 4711;
    f.m_jobToken = "tok";
    CLoError e = (f.*c.step.run)();
    EXPECT_EQ(fake->calls(), c.calls);
    EXPECT_EQ(std::string(f.m_subclientObj ? "s" : "") + (f.m_jobClient ? "j" : "") + (f.m_jobCtrl ? "c" : ""), c.kept);
    EXPECT_EQ(e.IsError(), c.message != nullptr);
    if (c.message) kztest::expectError(e, 774, c.message, c.step.function);
    EXPECT_EQ(f.m_failureReason, c.reason);
    EXPECT_EQ(f.m_subclientGuid, c.step.run == app.run && !c.message ? "guid-0001" : "");
  }
}

}  // namespace
