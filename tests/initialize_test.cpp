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
  for (std::string o : {"vm", "i", "d", "cn", "s", "j", "a", "r", "f", "appType"})
    all.push_back({Argv{("-" + o).c_str()}, "Insufficient arguments for option '" + (o == "f" ? "f/t" : o) + "'", ""});
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

TEST(Initialize, Succeeds) {
  struct {
    Argv args;
    const char* presetDorvane;
    Calls calls;
    int64_t refTime;
  } cases[] = {
      {Argv{"ifind", "-j", "4711", "-d", "srv", "-r", "500", "-f", "1"}, "",
       Calls{kEventInit, "setJobId(4711)", "platformInvalid", "getDorvaneHostName", "checkin(ifind_4711)"}, 0},
      {Argv{"-d", "srv", "-r", "500", "-f", "2"}, "",
       Calls{kEventInit, "platformInvalid", "getDorvaneHostName", "checkin(ifind_0)"}, 500},
      {Argv{"-d", "srv", "-r", "500", "-t", "4", "-j", "9"}, "preset.host",
       Calls{kEventInit, "setJobId(9)", "checkin(ifind_9)"}, 1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args.text()));
    ScopedFakePlatform fake;
    KzFind f;
    f.m_dorvaneName = c.presetDorvane;
    CLoError e = f.Initialize(c.args.argc(), c.args.argv());
    ASSERT_FALSE(e.IsError()) << e.ToString();
    EXPECT_EQ(fake->calls(), c.calls);
    EXPECT_EQ(f.m_dorvaneName, *c.presetDorvane ? c.presetDorvane : "dorvane.test");
    EXPECT_EQ(f.m_refTime, c.refTime);
    EXPECT_EQ(f.m_subclient, "default");
  }
}

TEST(Initialize, FailuresCheckNothingIn) {
  const Argv good{"-j", "4711", "-d", "srv", "-f", "1", "-s", "sc"};
  const Calls upToDorvane{kEventInit, "setJobId(4711)", "platformInvalid", "getDorvaneHostName"};
  struct {
    Argv args;
    kztest::Flag flag;
    int code;
    const char* message;
    Calls calls;
  } cases[] = {
      // A refused event object: nothing is parsed.
      {good, &S::eventInitFails, 774, "Can't initialize. Exiting.", Calls{kEventInit}},
      {Argv{"-d", "srv", "-f", "1", "-j"}, nullptr, 160, "Insufficient arguments for option 'j'", Calls{kEventInit}},
      {Argv{"-d", "/", "-f", "1"}, nullptr, 160, "Data Server not defined (-d)", Calls{kEventInit}},
      {good, &S::platformInvalid, 774, "Error obtaining Dorvane name",
       Calls{kEventInit, "setJobId(4711)", "platformInvalid"}},
      {good, &S::noDorvaneName, 774, "Error obtaining Dorvane name", upToDorvane},
      {Argv{"-j", "4711", "-d", "srv", "-s", "sc"}, nullptr, 774, "Invalid Backup type", upToDorvane},
      {Argv{"-j", "4711", "-d", "srv", "-f", "3"}, nullptr, 774, "Invalid Backup type", upToDorvane},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args.text()));
    ScopedFakePlatform fake(kztest::raised({c.flag}));
    KzFind f;
    kztest::expectError(f.Initialize(c.args.argc(), c.args.argv()), c.code, c.message,
                        "virtual CLoError KzFind::Initialize(int, char**)");
    EXPECT_EQ(fake->calls(), c.calls);  // in particular: no check-in
    EXPECT_EQ(f.m_failureReason, "");
  }
}

TEST(AppInitialize, SucceedsOrFailsWithReason) {
  struct {
    Flags flags;
    const char* message;  // null: success
    const std::string* reason;
    bool subclientKept;
  } cases[] = {
      {{}, nullptr, nullptr, true},
      {{&S::nullBackupSet}, "Could not obtain backup set information", &kR1, true},
      {{&S::nullSubclient}, "Could not obtain SubClient information", &kR2, false},
      {{&S::nullBackupSet, &S::nullSubclient}, "Could not obtain backup set information", &kR1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message ? c.message : "success");
    ScopedFakePlatform fake(kztest::raised(c.flags));
    KzFind f;
    f.m_appIdString = "2:3";
    CLoError e = f.AppInitialize();
    // Both lookups are made before either result is tested.
    EXPECT_EQ(fake->calls(), (Calls{"appIdInfo(2:3)", "backupSet(2:3)", "subclient(2:3)"}));
    EXPECT_EQ(f.m_subclientObj != nullptr, c.subclientKept);
    EXPECT_EQ(f.m_appIdInfo.subclientId, 3);
    if (c.message) kztest::expectError(e, 774, c.message, "virtual CLoError KzFind::AppInitialize()");
    EXPECT_EQ(f.m_failureReason, c.reason ? *c.reason : "");
    EXPECT_EQ(f.m_subclientGuid, c.message ? "" : "guid-0001");
  }
}

TEST(JobInitialize, CallsAndFailures) {
  const std::string init = "init(dorvane.test,4711,0,4,false,tok)";
  const std::string init2 = "Init2(4711,dorvane.test,1,4,tok,null)";
  const std::string log1 = "logWriter(Init JobObject, Dorvane=[dorvane.test])";
  const std::string log2 = "logWriter(Init JobCtrlObject, Dorvane=[dorvane.test])";
  struct {
    kztest::Flag flag;
    const char* message;  // null: success
    Calls calls;
  } cases[] = {
      {nullptr, nullptr, Calls{"logWriterLevel", log1, init, "logWriterLevel", log2, init2}},
      {&S::initFails, "Could not initialize job object", Calls{"logWriterLevel", log1, init}},
      {&S::init2Fails, "Could not initialize job control",
       Calls{"logWriterLevel", log1, init, "logWriterLevel", log2, init2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message ? c.message : "success");
    ScopedFakePlatform fake(kztest::raised({c.flag}));
    KzFind f;
    f.m_dorvaneName = "dorvane.test";
    f.m_jobId = 4711;
    f.m_jobToken = "tok";
    CLoError e = f.JobInitialize();
    EXPECT_EQ(fake->calls(), c.calls);
    // Both clients exist, also after a refusal: the destructor releases them.
    EXPECT_TRUE(f.m_jobClient && f.m_jobCtrl);
    if (c.message) kztest::expectError(e, 774, c.message, "virtual CLoError KzFind::JobInitialize()");
    EXPECT_EQ(e.IsError(), c.message != nullptr);
    EXPECT_EQ(f.m_failureReason, c.message ? kR4 : "");
  }
}

}  // namespace
