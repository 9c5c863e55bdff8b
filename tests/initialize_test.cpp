// Initialize, AppInitialize, JobInitialize through the recording fake: the calls
// made, their arguments, the debug lines, and each failure's error and reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"
#include "support/Argv.h"

namespace {

using kzhost::FakePlatform;
using kzhost::ScopedFakePlatform;
using kztest::Argv;
using Calls = std::vector<std::string>;
using Configure = void (*)(FakePlatform::Switches&);

constexpr const char* kEventInit = "eventInitialize(2,1621670017,0,nocb,)";
constexpr const char* kTail =
    " : Services down on Client and/or Dorvane, lost network connectivity to Dorvane, Out of process memory, handles "
    "or corrupted install.";
const std::string kR1 = std::string("Could not obtain backup set information.") + kTail;
const std::string kR2 = std::string("Could not obtain Sub Client information.") + kTail;
const std::string kR4 =
    "Initialization failure. : Services down on Client and/or Dorvane, lost network connectivity to dorvane, Out of "
    "process memory, handles or corrupted install.";

void expectError(const CLoError& e, int code, const std::string& message, const std::string& operation) {
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.code(), code);
  EXPECT_EQ(e.message(), message);
  ASSERT_FALSE(e.locations().empty());
  EXPECT_EQ(e.locations().back().file, "KzFind");
  EXPECT_EQ(e.locations().back().function, "virtual CLoError KzFind::" + operation);
}

Calls debugTexts(const FakePlatform& fake) {
  Calls out;
  for (const kzhost::DebugRecord& r : fake.debugLines()) out.push_back(std::to_string(r.level) + ":" + r.text);
  return out;
}

TEST(Initialize, Succeeds) {
  struct {
    Argv args;
    const char* presetDorvane;
    Calls calls;
    Calls lines;
    int64_t refTime;
  } cases[] = {
      {Argv{"ifind", "-j", "4711", "-d", "srv", "-r", "500", "-f", "1"}, "",
       Calls{kEventInit, "setJobId(4711)", "platformInvalid", "getDorvaneHostName", "checkin(ifind_4711)"},
       Calls{"1:Performing a Full Search.", "1:* Debug level is 9", "1:* Dorvane Name = dorvane.test"}, 0},
      {Argv{"-d", "srv", "-r", "500", "-f", "2"}, "",
       Calls{kEventInit, "platformInvalid", "getDorvaneHostName", "checkin(ifind_0)"},
       Calls{"1:Performing an Incremental Search.", "1:* Debug level is 9", "1:* Dorvane Name = dorvane.test"}, 500},
      {Argv{"-d", "srv", "-r", "500", "-t", "4", "-j", "9"}, "preset.host",
       Calls{kEventInit, "setJobId(9)", "checkin(ifind_9)"},
       Calls{"1:(Differential)Performing an Incremental Scan Since Last Full.", "1:* Debug level is 9",
             "1:* Dorvane Name = preset.host"},
       1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args.text()));
    ScopedFakePlatform fake;
    KzFind f;
    f.m_dorvaneName = c.presetDorvane;
    CLoError e = f.Initialize(c.args.argc(), c.args.argv());
    ASSERT_FALSE(e.IsError()) << e.ToString();
    EXPECT_EQ(fake->calls(), c.calls);
    EXPECT_EQ(debugTexts(*fake), c.lines);
    EXPECT_EQ(f.m_refTime, c.refTime);
    EXPECT_EQ(f.m_subclient, "default");
  }
}

TEST(Initialize, Failures) {
  const Argv good{"-j", "4711", "-d", "srv", "-f", "1", "-s", "sc"};
  const Calls upToDorvane{kEventInit, "setJobId(4711)", "platformInvalid", "getDorvaneHostName"};
  struct {
    const char* name;
    Argv args;
    Configure configure;
    int code;
    const char* message;
    Calls calls;
    size_t locations;
    const char* dorvane;
  } cases[] = {
      // A refused event object: nothing is parsed.
      {"event refused", good, [](FakePlatform::Switches& s) { s.eventInitFails = true; }, 774,
       "Can't initialize. Exiting.", Calls{kEventInit}, 1, ""},
      // A bad command line is reported as itself, with Initialize's location added.
      {"-j without value", Argv{"-d", "srv", "-f", "1", "-j"}, nullptr, 160, "Insufficient arguments for option 'j'",
       Calls{kEventInit}, 2, ""},
      {"bad -a", Argv{"-d", "srv", "-f", "1", "-a", "7"}, nullptr, 160, "Invalid argument for option -a '7'",
       Calls{kEventInit}, 2, ""},
      {"no -d", Argv{"-f", "1"}, nullptr, 160, "Data Server not defined (-d)", Calls{kEventInit}, 1, ""},
      {"-d /", Argv{"-d", "/", "-f", "1"}, nullptr, 160, "Data Server not defined (-d)", Calls{kEventInit}, 1, ""},
      {"platform unusable", good, [](FakePlatform::Switches& s) { s.platformInvalid = true; }, 774,
       "Error obtaining Dorvane name", Calls{kEventInit, "setJobId(4711)", "platformInvalid"}, 1, ""},
      {"no Dorvane name", good, [](FakePlatform::Switches& s) { s.noDorvaneName = true; }, 774,
       "Error obtaining Dorvane name", upToDorvane, 1, ""},
      {"no backup type", Argv{"-j", "4711", "-d", "srv", "-s", "sc"}, nullptr, 774, "Invalid Backup type",
       upToDorvane, 1, "dorvane.test"},
      {"backup type 3", Argv{"-j", "4711", "-d", "srv", "-f", "3"}, nullptr, 774, "Invalid Backup type", upToDorvane,
       1, "dorvane.test"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform::Switches switches;
    if (c.configure) c.configure(switches);
    ScopedFakePlatform fake(switches);
    KzFind f;
    CLoError e = f.Initialize(c.args.argc(), c.args.argv());
    expectError(e, c.code, c.message, "Initialize(int, char**)");
    EXPECT_EQ(e.locations().size(), c.locations);
    EXPECT_EQ(fake->calls(), c.calls);  // in particular: no check-in
    EXPECT_EQ(f.m_dorvaneName, c.dorvane);
    EXPECT_EQ(f.m_failureReason, "");
    if (c.calls.size() == 1) {
      EXPECT_EQ(f.m_subclient, "");
    }
  }
}

TEST(AppInitialize, SucceedsOrFailsWithReason) {
  struct {
    const char* name;
    Configure configure;
    const char* message;  // null: success
    const std::string* reason;
    bool subclientKept;
  } cases[] = {
      {"success", nullptr, nullptr, nullptr, true},
      {"no backup set", [](FakePlatform::Switches& s) { s.nullBackupSet = true; },
       "Could not obtain backup set information", &kR1, true},
      {"no subclient", [](FakePlatform::Switches& s) { s.nullSubclient = true; },
       "Could not obtain SubClient information", &kR2, false},
      {"neither", [](FakePlatform::Switches& s) { s.nullBackupSet = s.nullSubclient = true; },
       "Could not obtain backup set information", &kR1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform::Switches switches;
    if (c.configure) c.configure(switches);
    ScopedFakePlatform fake(switches);
    KzFind f;
    f.m_appIdString = "2:3";
    CLoError e = f.AppInitialize();
    // Both lookups are made before either result is tested.
    EXPECT_EQ(fake->calls(), (Calls{"appIdInfo(2:3)", "backupSet(2:3)", "subclient(2:3)"}));
    EXPECT_EQ(f.m_subclientObj != nullptr, c.subclientKept);
    EXPECT_EQ(f.m_appId.text(), "2:3");
    EXPECT_EQ(f.m_appIdInfo.subclientId, 3);
    if (c.message) {
      expectError(e, 774, c.message, "AppInitialize()");
      EXPECT_EQ(f.m_failureReason, *c.reason);
      EXPECT_EQ(f.m_subclientGuid, "");
      continue;
    }
    ASSERT_FALSE(e.IsError()) << e.ToString();
    EXPECT_EQ(f.m_subclientAttr, 0x5u);
    EXPECT_EQ(f.m_subclientGuid, "guid-0001");
    EXPECT_NE(f.m_backupSet, nullptr);
  }
}

TEST(JobInitialize, CallsAndFailures) {
  const std::string init = "init(dorvane.test,4711,0,4,false,tok)";
  const std::string init2 = "Init2(4711,dorvane.test,1,4,tok,null)";
  struct {
    const char* name;
    Configure configure;
    const char* message;  // null: success
    Calls calls;
  } cases[] = {
      {"success", nullptr, nullptr,
       Calls{"logWriterLevel", "logWriter(Init JobObject, Dorvane=[dorvane.test])", init, "logWriterLevel",
             "logWriter(Init JobCtrlObject, Dorvane=[dorvane.test])", init2}},
      {"log writer off", [](FakePlatform::Switches& s) { s.logWriterLevel = -1; }, nullptr,
       Calls{"logWriterLevel", init, "logWriterLevel", init2}},
      {"init refused", [](FakePlatform::Switches& s) { s.initFails = true; }, "Could not initialize job object",
       Calls{"logWriterLevel", "logWriter(Init JobObject, Dorvane=[dorvane.test])", init}},
      {"Init2 refused", [](FakePlatform::Switches& s) { s.init2Fails = true; }, "Could not initialize job control",
       Calls{"logWriterLevel", "logWriter(Init JobObject, Dorvane=[dorvane.test])", init, "logWriterLevel",
             "logWriter(Init JobCtrlObject, Dorvane=[dorvane.test])", init2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
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
    EXPECT_NE(f.m_jobClient, nullptr);
    EXPECT_NE(f.m_jobCtrl, nullptr);
    const bool reachedInit2 = c.calls.back() == init2;
    EXPECT_EQ(debugTexts(*fake), reachedInit2 ? Calls{"1:Initializing Job Control object..."} : Calls{});
    if (c.message) {
      expectError(e, 774, c.message, "JobInitialize()");
      EXPECT_EQ(f.m_failureReason, kR4);
    } else {
      EXPECT_FALSE(e.IsError()) << e.ToString();
      EXPECT_EQ(f.m_failureReason, "");
    }
  }
}

}  // namespace
