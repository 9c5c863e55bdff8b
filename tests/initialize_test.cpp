// Initialize, AppInitialize, JobInitialize through the recording fake: the calls
// made, their arguments, the debug lines, and each failure's error and reason.
#include "support/Argv.h"
#include "support/WriterSupport.h"

namespace {

using kzhost::FakePlatform;
using kzhost::ScopedFakePlatform;
using kztest::Argv;
using Calls = std::vector<std::string>;
using Configure = void (*)(FakePlatform::Switches&);

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
    Configure configure;
    int code;
    const char* message;
    Calls calls;
  } cases[] = {
      // A refused event object: nothing is parsed.
      {good, [](FakePlatform::Switches& s) { s.eventInitFails = true; }, 774, "Can't initialize. Exiting.",
       Calls{kEventInit}},
      {Argv{"-d", "srv", "-f", "1", "-j"}, nullptr, 160, "Insufficient arguments for option 'j'", Calls{kEventInit}},
      {Argv{"-d", "/", "-f", "1"}, nullptr, 160, "Data Server not defined (-d)", Calls{kEventInit}},
      {good, [](FakePlatform::Switches& s) { s.platformInvalid = true; }, 774, "Error obtaining Dorvane name",
       Calls{kEventInit, "setJobId(4711)", "platformInvalid"}},
      {good, [](FakePlatform::Switches& s) { s.noDorvaneName = true; }, 774, "Error obtaining Dorvane name",
       upToDorvane},
      {Argv{"-j", "4711", "-d", "srv", "-s", "sc"}, nullptr, 774, "Invalid Backup type", upToDorvane},
      {Argv{"-j", "4711", "-d", "srv", "-f", "3"}, nullptr, 774, "Invalid Backup type", upToDorvane},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args.text()));
    FakePlatform::Switches switches;
    if (c.configure) c.configure(switches);
    ScopedFakePlatform fake(switches);
    KzFind f;
    kztest::expectError(f.Initialize(c.args.argc(), c.args.argv()), c.code, c.message,
                        "virtual CLoError KzFind::Initialize(int, char**)");
    EXPECT_EQ(fake->calls(), c.calls);  // in particular: no check-in
    EXPECT_EQ(f.m_failureReason, "");
  }
}

TEST(AppInitialize, SucceedsOrFailsWithReason) {
  struct {
    Configure configure;
    const char* message;  // null: success
    const std::string* reason;
    bool subclientKept;
  } cases[] = {
      {nullptr, nullptr, nullptr, true},
      {[](FakePlatform::Switches& s) { s.nullBackupSet = true; }, "Could not obtain backup set information", &kR1,
       true},
      {[](FakePlatform::Switches& s) { s.nullSubclient = true; }, "Could not obtain SubClient information", &kR2,
       false},
      {[](FakePlatform::Switches& s) { s.nullBackupSet = s.nullSubclient = true; },
       "Could not obtain backup set information", &kR1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message ? c.message : "success");
    FakePlatform::Switches switches;
    if (c.configure) c.configure(switches);
    ScopedFakePlatform fake(switches);
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
    Configure configure;
    const char* message;  // null: success
    Calls calls;
  } cases[] = {
      {nullptr, nullptr, Calls{"logWriterLevel", log1, init, "logWriterLevel", log2, init2}},
      {[](FakePlatform::Switches& s) { s.initFails = true; }, "Could not initialize job object",
       Calls{"logWriterLevel", log1, init}},
      {[](FakePlatform::Switches& s) { s.init2Fails = true; }, "Could not initialize job control",
       Calls{"logWriterLevel", log1, init, "logWriterLevel", log2, init2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message ? c.message : "success");
    FakePlatform::Switches switches;
    if (c.configure) c.configure(switches);
    ScopedFakePlatform fake(switches);
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
