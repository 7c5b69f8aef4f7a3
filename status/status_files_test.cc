#include "status/status_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/testing/driver_fixture.h"
#include "util/ini.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

TEST(StatusTexts, VersionFirmwareAndDate) {
  PanelSlot slot;
  slot.LinkState = 1;
  slot.FirmwareText = "7.06a12";
  slot.BusyState = "Busy";
  slot.ActivityText = "Uploading";
  EXPECT_EQ(VerInfo(slot), "017.06aBusy Uploading");
  slot.FirmwareText = "";
  slot.BusyState = "";
  slot.ActivityText = "";
  EXPECT_EQ(VerInfo(slot), "01      ");
  slot.FirmwareText = std::string("7.06") + '\0';  // as a status response delivers it
  slot.BusyState = "Busy";
  EXPECT_EQ(VerInfo(slot), "017.06 Busy ");

  EXPECT_EQ(VersionText("Panel interface library Version 1.2.3 (build 7)"),
            "Driver:" ORDANE_TEST_VERSION "   DLL:1.2.3");
  EXPECT_EQ(VersionText(std::string("Lib Version 2.0") + '\0' + "     "),
            "Driver:" ORDANE_TEST_VERSION "   DLL:2.0");
  // Without "Version " the text is read from its eighth character.
  EXPECT_EQ(VersionText("abcdefg9.9 rest"), "Driver:" ORDANE_TEST_VERSION "   DLL:9.9");

  EXPECT_EQ(DateTimeText(LocalTime{2026, 12, 5, 21, 18, 42}), "Dec 05, 2026   21:18:42");
  EXPECT_EQ(DateTimeText(LocalTime{2027, 1, 9, 7, 5, 3}), "Jan 09, 2027   07:05:03");
}

class StatusFileTest : public DriverTest {};

TEST_F(StatusFileTest, ControllerFileWhileLinkedAndGoneWhenNot) {
  StartedDriver();
  PanelSlot& slot = d_.panels[7];
  slot.PortName = "127.0.0.8";
  slot.LinkState = kLinkEstablished;
  slot.FirmwareText = "7.06";
  slot.AreaStatusText = std::string("AADP----") + '\0';
  slot.DoorStatusText = std::string("LLLLUUUU") + '\0';
  slot.PointStatusText = "NNNO";
  scrn_controller(d_, 7);

  const fs::path file = fs::path(d_.DriverFolder) / "Status" / "Controller007";
  IniDocument doc = IniDocument::Load(file);
  EXPECT_EQ(*doc.Get("Status_Controllers", "Ver_Info"), "017.06");  // read back trimmed
  EXPECT_EQ(*doc.Get("Status_Controllers", "ControllerName"), "127.0.0.8");
  EXPECT_EQ(*doc.Get("Status_Controllers", "AreaStatus"), "AADP----:LLLLUUUU");
  EXPECT_EQ(*doc.Get("Status_Controllers", "MonitorPoints"), "NNNO");
  EXPECT_EQ(doc.Keys("Status_Controllers"),
            (std::vector<std::string>{"Ver_Info", "ControllerName", "MonitorPoints", "OnBoardRelays",
                                      "OffBoardRelays", "AreaStatus", "PanelStatus", "BypassPoints"}));

  WriteIni(d_, "Status_Controllers", "SE080", "1", "\\status\\controller007");  // an upload flag
  EXPECT_EQ(ReadProfileString(file, "Status_Controllers", "SE080"), "1");

  slot.LinkState = kLinkLost;
  scrn_controller(d_, 7);
  EXPECT_FALSE(fs::exists(file));
  slot.LinkState = kLinkEstablished;
  scrn_controller(d_, 7);
  EXPECT_EQ(ReadProfileString(file, "Status_Controllers", "SE080"), "");  // flags went with it
}

TEST_F(StatusFileTest, DriverFileCountsPanelsOnlyOutsideAPollingPass) {
  StartedDriver();
  d_.PanelLibraryInfo = "Panel interface library Version 1.0.0";
  d_.PanelCount = 3;
  scrn_driver(d_);
  const fs::path file = fs::path(d_.DriverFolder) / "Status" / "Driver";
  EXPECT_EQ(ReadProfileString(file, "Status_Drivers", "DT_Info"), "Dec 05, 2026   21:18:42");
  EXPECT_EQ(ReadProfileString(file, "Status_Drivers", "Online_Count"), "3");
  d_.PollingActive = true;
  d_.PanelCount = 0;
  scrn_driver(d_);
  EXPECT_EQ(ReadProfileString(file, "Status_Drivers", "Online_Count"), "3");
}

}  // namespace
}  // namespace ordane
