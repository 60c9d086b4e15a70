#include "halyard/session/ModemSession.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "halyard/gsm/GSMModels.h"

using namespace Halyard;
using Session::TModemOptions;
using Session::TModemSession;

// Every program opens a modem this way: a simulated one without a device, the model picked from
// its answers or as named, the traffic in the log asked for.
TEST(ModemSession, OpensASimulatedModemAsTheOptionsSay) {
  auto log = std::filesystem::temp_directory_path() / ("halyard-session-" + std::to_string(::getpid()) + ".log");
  TModemOptions o;
  o.TrafficLog = log.string();
  o.LogName = "m1";
  {
    TModemSession s(o);
    ASSERT_NE(s.Simulated(), nullptr);
    EXPECT_TRUE(s.AutoModel());
    s.Open();
    EXPECT_EQ(s.Gsm().Equipment(), GSM::eqTC35);  // as the simulator says of itself
    EXPECT_TRUE(s.Gsm().Active());
  }
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("AT+CGMM"), std::string::npos) << text.str().substr(0, 400);
  EXPECT_NE(text.str().find("m1"), std::string::npos);
  std::filesystem::remove(log);

  o = {};
  o.Model = "M20";
  o.Format = "text";
  TModemSession m20(o);
  m20.Open();
  EXPECT_EQ(m20.Gsm().Equipment(), GSM::eqM20);
  EXPECT_EQ(m20.Gsm().SMSFormat(), 1);

  o = {};
  o.Baud = 12345;
  EXPECT_THROW(TModemSession{o}, GSM::EGSMError);
  o = {};
  o.Model = "X99";
  EXPECT_ANY_THROW(TModemSession{o});
}
