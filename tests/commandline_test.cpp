// ParseCommandLine: options, values, failures, and argv that is odd or hostile.
#include "support/Argv.h"
#include "support/WriterSupport.h"

namespace {

using kztest::Argv;
constexpr const char* kParse = "virtual CLoError KzFind::ParseCommandLine(int, char**)";

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
