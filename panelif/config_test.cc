#include "panelif/config.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ordane::panelif {
namespace {

TEST(ParseConnectTextTest, ReadsBothKindsAndRefusesTheRest) {
  struct Case {
    std::string text;
    bool ok = false;
    bool serial = false;
    std::string name{};
    std::uint16_t port = 0;
    unsigned baud = 0;
  };
  const std::vector<Case> cases = {
      {"TCP/IP - 127.0.0.2 4001", true, false, "127.0.0.2", 4001, 9600},
      {"tcp/ip - panelhost  10001", true, false, "panelhost", 10001, 9600},
      {"serial port - COM3 baud=19200 parity=n data=8 stop=1", true, true, "COM3", 0, 19200},
      {"serial port - COM1", true, true, "COM1", 0, 9600},
      {"TCP/IP - host", false},
      {"TCP/IP - host 0", false},
      {"TCP/IP - host 65536", false},
      {"TCP/IP - host 12ab", false},
      {"TCP/IP - ", false},
      {"serial port - ", false},
      {"serial port - COM2 baud=fast", false},
      {"modem - COM1", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string why;
    auto t = ParseConnectText(c.text, &why);
    ASSERT_EQ(t.has_value(), c.ok) << why;
    if (!c.ok) {
      EXPECT_FALSE(why.empty());
      continue;
    }
    EXPECT_EQ(t->serial, c.serial);
    EXPECT_EQ(t->name, c.name);
    if (!c.serial) {
      EXPECT_EQ(t->host, c.name);
      EXPECT_EQ(t->port, c.port);
    } else {
      EXPECT_EQ(t->baud, c.baud);
    }
  }
}

TEST(SerialDevicePathTest, MapFromEnvironmentThenFileThenDefault) {
  const std::string file =
      ::testing::TempDir() + "panelif_ports_" + std::to_string(::getpid()) + ".map";
  {
    std::ofstream out(file);
    out << "# test ports\n[Ports]\nCOM2 = /tmp/line2\r\ncom5=/dev/pts/9\n";
  }
  ::setenv("PANELIF_PORTMAP_FILE", file.c_str(), 1);
  ::setenv("PANELIF_PORTMAP", "COM2=/dev/pts/4; COM3=/dev/pts/5", 1);
  struct Case {
    std::string name, want;
  };
  const std::vector<Case> cases = {
      {"COM2", "/dev/pts/4"},  // the environment wins over the file
      {"com3", "/dev/pts/5"}, {"COM5", "/dev/pts/9"},
      {"COM1", "/dev/ttyS0"}, {"COM12", "/dev/ttyS11"},
      {"COM0", ""},           {"COMX", ""},
      {"LPT1", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SerialDevicePath(c.name), c.want) << c.name;
  ::unsetenv("PANELIF_PORTMAP");
  EXPECT_EQ(SerialDevicePath("COM2"), "/tmp/line2");
  ::unsetenv("PANELIF_PORTMAP_FILE");
  EXPECT_EQ(SerialDevicePath("COM2"), "/dev/ttyS1");
  std::remove(file.c_str());
}

TEST(ConfigTest, EnvironmentOverridesPositiveNumbersOnly) {
  const std::pair<const char*, const char*> settings[] = {{"PANELIF_PING_MS", "250"},
                                                          {"PANELIF_DOWN_MS", "0"},
                                                          {"PANELIF_BUSY_MS", "soon"},
                                                          {"PANELIF_TRACE_MAX_BYTES", "5000"}};
  for (const auto& [name, value] : settings) ::setenv(name, value, 1);
  Config c = Config::FromEnvironment();
  EXPECT_EQ(c.trace_max_bytes, 5000u);
  EXPECT_EQ(c.ping, Millis(250));
  EXPECT_EQ(c.down, Millis(30000));
  EXPECT_EQ(c.busy, Millis(2000));
  for (const auto& [name, value] : settings) ::unsetenv(name);
  EXPECT_EQ(Config::FromEnvironment().trace_max_bytes, 10u * 1024 * 1024);
}

}  // namespace
}  // namespace ordane::panelif
