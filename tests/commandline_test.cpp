// ParseCommandLine: options, values, failures, and argv that is odd or hostile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostservices/FakePlatform.h"
#include "scanphase/KzFind.h"
#include "support/Argv.h"

namespace {

using kztest::Argv;

// The members the command line may set, listing only those that left their initial value.
std::string changed(const KzFind& f) {
  std::string out;
  auto add = [&](const char* key, const std::string& v, bool differs) {
    if (differs) out += std::string(out.empty() ? "" : " ") + key + "=" + v;
  };
  add("d", f.m_dataServer, !f.m_dataServer.empty());
  add("s", f.m_subclient, !f.m_subclient.empty());
  add("cn", f.m_clientName, !f.m_clientName.empty());
  add("jt", f.m_jobToken, !f.m_jobToken.empty());
  add("a", f.m_appIdString, !f.m_appIdString.empty());
  add("major", std::to_string(f.m_appIdMajor), f.m_appIdMajor != 0);
  add("minor", std::to_string(f.m_appIdMinor), f.m_appIdMinor != 0);
  add("j", std::to_string(f.m_jobId), f.m_jobId != 0);
  add("r", std::to_string(f.m_refTime), f.m_refTime != 0);
  add("i", std::to_string(f.m_instanceNum), f.m_instanceNum != 0);
  add("f", std::to_string(f.m_backupType), f.m_backupType != -1);
  add("appType", std::to_string(f.m_appType), f.m_appType != 0);
  return out;
}

TEST(ParseCommandLine, Table) {
  struct Case {
    Argv args;
    const char* error;  // null: success
    const char* state;  // changed(f) afterwards
  } cases[] = {
      {Argv{}, nullptr, ""},
      {Argv{"ifind"}, nullptr, ""},
      {Argv{"", "", ""}, nullptr, ""},
      {Argv{"ifind", "-i", "3", "-d", "srv", "-cn", "c", "-s", "sc", "-jt", "tok", "-j", "4711", "-a", "12:34", "-r",
            "500", "-f", "2", "-appType", "33"},
       nullptr, "d=srv s=sc cn=c jt=tok a=12:34 major=12 minor=34 j=4711 r=500 i=3 f=2 appType=33"},
      {Argv{"-d", "/"}, nullptr, ""},
      {Argv{"-d", "/srv//"}, nullptr, "d=/srv/"},
      {Argv{"-d", "/srv/\\"}, nullptr, "d=/srv/"},
      {Argv{"-d", ""}, nullptr, ""},
      {Argv{"-a", "7"}, "Invalid argument for option -a '7'", "a=7"},
      {Argv{"-a", "12:34:56"}, nullptr, "a=12:34:56 major=12 minor=34"},
      {Argv{"-a", ":5"}, nullptr, "a=:5 minor=5"},
      {Argv{"-F", "1"}, nullptr, "f=1"},
      {Argv{"-T", "4"}, nullptr, "f=4"},
      {Argv{"-APPTYPE", "9"}, nullptr, "appType=9"},
      {Argv{"-dfoo", "x"}, nullptr, ""},
      {Argv{"-cs", "-d", "/x"}, nullptr, "d=/x"},
      {Argv{"-cs", "host"}, nullptr, ""},
      {Argv{"-j", "abc"}, nullptr, ""},
      {Argv{"-j", " -9000000000x"}, nullptr, "j=-9000000000"},
      {Argv{"-x", "foo"}, nullptr, ""},
      {Argv{"-s", "-d"}, nullptr, "s=-d"},
      {Argv{"-s", "a", "-S", "b"}, nullptr, "s=b"},
      {Argv{"-d", "srv", "-jt"}, "Insufficient arguments for option 'jt'", "d=srv"},
      {Argv{"-a", "1", "-d", "srv"}, "Invalid argument for option -a '1'", "a=1"},
      {Argv{"x", "-cs"}, "Insufficient arguments for option 'cs'", ""},
      {Argv{"-cs", "-cs"}, "Insufficient arguments for option 'cs'", ""},
      {Argv{"-vm"}, "Insufficient arguments for option 'vm'", ""},
      {Argv{"-i"}, "Insufficient arguments for option 'i'", ""},
      {Argv{"-d"}, "Insufficient arguments for option 'd'", ""},
      {Argv{"-cn"}, "Insufficient arguments for option 'cn'", ""},
      {Argv{"-s"}, "Insufficient arguments for option 's'", ""},
      {Argv{"-j"}, "Insufficient arguments for option 'j'", ""},
      {Argv{"-a"}, "Insufficient arguments for option 'a'", ""},
      {Argv{"-r"}, "Insufficient arguments for option 'r'", ""},
      {Argv{"-f"}, "Insufficient arguments for option 'f/t'", ""},
      {Argv{"-t"}, "Insufficient arguments for option 'f/t'", ""},
      {Argv{"-appType"}, "Insufficient arguments for option 'appType'", ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args.text()));
    kzhost::ScopedFakePlatform fake;
    KzFind f;
    CLoError e = f.ParseCommandLine(c.args.argc(), c.args.argv());
    EXPECT_EQ(changed(f), c.state);
    if (!c.error) {
      EXPECT_FALSE(e.IsError()) << e.ToString();
      continue;
    }
    ASSERT_TRUE(e.IsError());
    EXPECT_EQ(e.code(), 160);
    EXPECT_EQ(e.message(), c.error);
    ASSERT_EQ(e.locations().size(), 1u);
    EXPECT_EQ(e.locations()[0].file, "KzFind");
    EXPECT_EQ(e.locations()[0].function, "virtual CLoError KzFind::ParseCommandLine(int, char**)");
  }
}

TEST(ParseCommandLine, JobIdAndFocusGoToTheHost) {
  kzhost::ScopedFakePlatform fake;
  KzFind f;
  Argv args{"-j", "abc", "-vm", "first", "-j", "4711", "-VM", "second"};
  ASSERT_FALSE(f.ParseCommandLine(args.argc(), args.argv()).IsError());
  EXPECT_EQ(fake->calls(),
            (std::vector<std::string>{"setJobId(0)", "setFocus(first)", "setJobId(4711)", "setFocus(second)"}));
  EXPECT_EQ(f.m_event.jobId(), 4711);
  EXPECT_EQ(changed(f), "j=4711");  // "-vm" keeps nothing
}

TEST(ParseCommandLine, ReadsNothingBeyondArgc) {
  kzhost::ScopedFakePlatform fake;
  KzFind f;
  Argv args{"-d", "srv"};
  EXPECT_EQ(f.ParseCommandLine(1, args.argv()).message(), "Insufficient arguments for option 'd'");
  EXPECT_FALSE(f.ParseCommandLine(0, nullptr).IsError());
  EXPECT_FALSE(f.ParseCommandLine(-3, args.argv()).IsError());
  char d[] = "-d", s[] = "-s";
  char* withNulls[] = {nullptr, d, nullptr, s, nullptr};
  EXPECT_FALSE(f.ParseCommandLine(5, withNulls).IsError());
  EXPECT_EQ(changed(f), "");
  EXPECT_TRUE(fake->calls().empty());
}

}  // namespace
