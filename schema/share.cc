#include "schema/share.h"

#include <system_error>

#include "schema/schema.h"
#include "syslib/seal.h"
#include "util/ini.h"
#include "util/text.h"

namespace ordane::schema {
namespace {

namespace fs = std::filesystem;

constexpr int kAlarm = 111;     // priority 1 alarm with an integration record
constexpr int kAlarmLow = 130;  // priority 20 alarm
constexpr int kEvent = 102;     // logged only
constexpr int kReport = 101;    // logged and passed to integration

// Base numbers of the resource blocks by the code's two letters.
struct Block {
  std::string_view prefix;
  int base;
};
constexpr Block kBlocks[] = {
    {"AZ", 15000}, {"CE", 16000}, {"DO", 17000}, {"HS", 18000}, {"II", 19000}, {"IO", 20000},
    {"MC", 21000}, {"OO", 22000}, {"PO", 23000}, {"RI", 24000}, {"RO", 25000}, {"SA", 26000},
    {"SE", 27000}, {"TC", 28000}, {"TS", 29000}, {"UC", 30000}, {"PC", 31000}, {"RD", 21500}};

std::string Hex2(int n) {
  static const char* kDigits = "0123456789ABCDEF";
  return {kDigits[(n >> 4) & 15], kDigits[n & 15]};
}

}  // namespace

const std::vector<PanelEventText>& PanelEvents() {
  static const std::vector<PanelEventText> events = {
      {0, "Panel Event Not Defined", kEvent},
      {1, "Burglary Alarm", kAlarm},
      {2, "Burglary Alarm Restore", kReport},
      {3, "Opening by User", kReport},
      {4, "Closing by User", kReport},
      {5, "Fire Alarm", kAlarm},
      {6, "Fire Alarm Restore", kReport},
      {7, "Panic Alarm", kAlarm},
      {8, "Duress Alarm", kAlarm},
      {9, "Relay Activated", kEvent},
      {10, "Point Trouble", kAlarmLow},
      {11, "Point Trouble Restore", kReport},
      {12, "Point Bypassed", kReport},
      {13, "Point Bypass Restored", kReport},
      {14, "AC Power Failure", kAlarmLow},
      {15, "AC Power Restored", kReport},
      {16, "Low Battery", kAlarmLow},
      {17, "Battery Restored", kReport},
      {18, "Relay Deactivated", kEvent},
      {19, "Phone Line Failure", kAlarmLow},
      {20, "Phone Line Restored", kReport},
      {21, "Communication Failure to Receiver", kAlarmLow},
      {22, "Communication to Receiver Restored", kReport},
      {23, "Auxiliary Power Failure", kAlarmLow},
      {24, "Auxiliary Power Restored", kReport},
      {25, "Supervisory Alarm", kAlarmLow},
      {26, "Supervisory Restore", kReport},
      {27, "Cancel by User", kReport},
      {28, "Alarm Silenced by User", kReport},
      {29, "Area Armed Early", kEvent},
      {30, "Point Alarm with User", kAlarm},
      {31, "User Code Entered", kEvent},
      {32, "Area Disarmed Late", kEvent},
      {33, "Area Failed to Arm", kAlarmLow},
      {34, "Area Failed to Disarm", kAlarmLow},
      {35, "Forced Arming", kReport},
      {36, "Area Partially Armed", kReport},
      {37, "Area Perimeter Armed", kReport},
      {38, "Area Fully Armed", kReport},
      {39, "Area Disarmed", kReport},
      {40, "Exit Error", kAlarmLow},
      {41, "Recent Closing", kReport},
      {42, "Invalid User Code", kAlarmLow},
      {43, "Code Tamper Lockout", kAlarm},
      {44, "Keypad Trouble", kAlarmLow},
      {45, "Keypad Trouble Restore", kReport},
      {46, "Keypad Tamper", kAlarm},
      {47, "Keypad Tamper Restore", kReport},
      {48, "Expansion Module Trouble", kAlarmLow},
      {49, "Expansion Module Restore", kReport},
      {50, "Expansion Module Tamper", kAlarm},
      {51, "Expansion Module Tamper Restore", kReport},
      {52, "Wireless Receiver Jam", kAlarmLow},
      {53, "Wireless Receiver Jam Restore", kReport},
      {54, "Wireless Point Low Battery", kAlarmLow},
      {55, "Wireless Point Battery Restored", kReport},
      {56, "Wireless Point Missing", kAlarmLow},
      {57, "Wireless Point Missing Restore", kReport},
      {58, "Printer Trouble", kEvent},
      {59, "Printer Restore", kEvent},
      {60, "Bell Circuit Trouble", kAlarmLow},
      {61, "Bell Circuit Restore", kReport},
      {62, "Ground Fault", kAlarmLow},
      {63, "Ground Fault Restore", kReport},
      {64, "Memory Checksum Error", kAlarmLow},
      {65, "Watchdog Reset", kEvent},
      {66, "Panel Power Up", kReport},
      {67, "Date Changed", kEvent},
      {68, "Time Changed", kEvent},
      {69, "Programming Session Started", kReport},
      {70, "Panel Tamper", kAlarm},
      {71, "Panel Tamper Restore", kReport},
      {72, "Programming Session Ended", kReport},
      {73, "Remote Programming Access", kReport},
      {74, "Remote Programming Failed", kAlarmLow},
      {75, "Test Report", kEvent},
      {76, "Walk Test Started", kEvent},
      {77, "Walk Test Ended", kEvent},
      {78, "Point Tested", kEvent},
      {79, "Point Not Tested", kEvent},
      {80, "Fire Drill Started", kEvent},
      {81, "Fire Drill Ended", kEvent},
      {82, "Smoke Detector Reset", kEvent},
      {83, "Smoke Detector Dirty", kAlarmLow},
      {84, "Gas Alarm", kAlarm},
      {85, "Gas Alarm Restore", kReport},
      {86, "Water Alarm", kAlarm},
      {87, "Water Alarm Restore", kReport},
      {88, "High Temperature Alarm", kAlarm},
      {89, "Low Temperature Alarm", kAlarm},
      {90, "Temperature Restore", kReport},
      {91, "Medical Alarm", kAlarm},
      {92, "Medical Alarm Restore", kReport},
      {93, "Hold-up Alarm", kAlarm},
      {94, "Hold-up Alarm Restore", kReport},
      {95, "Cross Point Alarm", kAlarm},
      {96, "Verified Alarm", kAlarm},
      {97, "Unverified Event", kAlarmLow},
      {98, "Alarm Abort", kReport},
      {99, "Alarm Cancel Confirmed", kReport},
      {100, "Door Access Granted", kEvent},
      {101, "Door Access Denied", kAlarmLow},
      {102, "Door Forced Open", kAlarm},
      {103, "Door Forced Open Restore", kReport},
      {104, "Door Held Open", kAlarmLow},
      {105, "Door Held Open Restore", kReport},
      {106, "Door Unlocked by Schedule", kEvent},
      {107, "Door Locked by Schedule", kEvent},
      {108, "Door Unlocked by User", kReport},
      {109, "Door Locked by User", kReport},
      {110, "Door Cycled", kEvent},
      {111, "Request to Exit", kEvent},
      {112, "Reader Trouble", kAlarmLow},
      {113, "Reader Trouble Restore", kReport},
      {114, "Reader Tamper", kAlarm},
      {115, "Access Granted with User", kReport},
      {116, "Access Denied Unknown Token", kAlarmLow},
      {117, "Access Denied Wrong Area", kAlarmLow},
      {118, "Access Denied Wrong Time", kAlarmLow},
      {119, "Anti-passback Violation", kAlarmLow},
      {120, "Sked Executed", kEvent},
      {121, "Sked Changed", kReport},
      {122, "Holiday Table Changed", kReport},
      {123, "User Code Added", kReport},
      {124, "User Code Changed", kReport},
      {125, "User Code Deleted", kReport},
      {126, "User Name Changed", kReport},
      {127, "Token Added", kReport},
      {128, "Token Deleted", kReport},
      {129, "Authority Level Changed", kReport},
      {130, "Point Text Changed", kReport},
      {131, "Area Entry Delay Started", kEvent},
      {132, "Area Exit Delay Started", kEvent},
      {133, "Area Alarm Memory Cleared", kEvent},
      {134, "Swinger Shutdown", kAlarmLow},
      {135, "Swinger Shutdown Restore", kReport},
      {136, "Point Missing", kAlarmLow},
      {137, "Point Missing Restore", kReport},
      {138, "Extra Point Found", kAlarmLow},
      {139, "Extra Point Removed", kReport},
      {140, "Output Fault", kAlarmLow},
      {141, "Output Fault Restore", kReport},
      {142, "Network Module Trouble", kAlarmLow},
      {143, "Network Module Restore", kReport},
      {144, "Network Path Failure", kAlarmLow},
      {145, "Network Path Restored", kReport},
      {146, "Cellular Module Trouble", kAlarmLow},
      {147, "Cellular Module Restore", kReport},
      {148, "Service Requested", kEvent},
      {149, "Service Request Cancelled", kEvent},
      {150, "Area Armed by Schedule", kReport},
      {151, "Area Disarmed by Schedule", kReport},
      {152, "Area Armed Remotely", kReport},
      {153, "Area Disarmed Remotely", kReport},
      {154, "Point Bypassed Remotely", kReport},
      {155, "Point Unbypassed Remotely", kReport},
      {156, "Relay Set Remotely", kEvent},
      {157, "Relay Reset Remotely", kEvent},
      {158, "Panel Clock Set Remotely", kEvent},
      {159, "Event Log Overflow", kAlarmLow},
      {160, "Event Log Threshold Reached", kEvent},
      {161, "Event Log Cleared", kReport},
      {162, "Parameter Checksum Failure", kAlarmLow},
      {163, "Firmware Updated", kReport},
      {164, "Installer Code Used", kReport},
      {165, "Installer Lockout", kAlarmLow},
      {166, "Keyswitch Armed", kReport},
      {167, "Keyswitch Disarmed", kReport},
      {168, "Emergency Alarm", kAlarm},
      {169, "Emergency Alarm Restore", kReport},
      {170, "Panel Reset", kReport},
  };
  return events;
}

int ResourceNumber(std::string_view code) {
  int base = 0;
  for (const auto& b : kBlocks) {
    if (Left(code, 2) == b.prefix) base = b.base;
  }
  int n = 0;
  for (char c : Right(code, 3)) {
    if (c >= '0' && c <= '9') n = n * 10 + (c - '0');
  }
  return base + n;
}

std::vector<std::pair<int, std::string>> ResourceTexts() {
  std::vector<std::pair<int, std::string>> texts;
  for (const auto& e : PanelEvents()) {
    texts.emplace_back(ResourceNumber("RD" + ZeroPad(e.number, 3)), std::string(e.description));
  }
  for (const auto& e : DriverEventCodes()) {
    texts.emplace_back(ResourceNumber(e.code), std::string(e.description));
  }
  // The codes other components raise through this driver's files.
  const std::pair<std::string_view, std::string_view> others[] = {
      {"RO001", "Access Granted"},
      {"RO002", "Access Granted Door Not Opened"},
      {"RO017", "Reader Message"},
      {"RO018", "Reader Message"},
      {"RO020", "Access Denied"},
      {"RO021", "Access Denied Unknown Card"},
      {"RO024", "Access Granted Disarm"},
      {"RO025", "Access Granted Disarm Door Not Opened"},
      {"RO044", "Access Denied Wrong Time"},
      {"RO045", "Access Denied Wrong Area"},
      {"RO050", "Reader Event"},
      {"RO071", "Access Denied Lost Card"},
      {"IO002", "Intercom Call"},
      {"IO008", "Intercom Call Answered"},
      {"IO009", "Intercom Call Ended"},
      {"IO044", "Control Point Activated"},
      {"OO001", "Output On"},
      {"OO002", "Output Off"},
      {"II001", "Input Active"},
      {"II002", "Input Normal"},
      {"DO001", "Door Controller Online"},
      {"DO002", "Door Controller Offline"},
      {"UC001", "Unknown Credential"},
      {"AZ001", "Area Armed"},
      {"AZ002", "Area Disarmed"},
      {"MC001", "Manual Command"},
      {"TC001", "Time Changed"},
      {"CE001", "Camera Event"},
      {"PC001", "Panel Command Sent"},
      {"SE001", "System Event"},
  };
  for (const auto& [code, text] : others) {
    texts.emplace_back(ResourceNumber(code), std::string(text));
  }
  return texts;
}

bool LayDownShare(const fs::path& root, bool overwrite, std::string* why, int demo_driver) {
  std::vector<std::string> folders{"Drivers", "Events", "hardware", "info", "Data", "Resources"};
  if (demo_driver != 0)
    folders.insert(folders.end(),
                   {"Drivers/90/commands", "Drivers/199/commands", "sites/site2/Events"});
  std::error_code ec;
  for (const std::string& folder : folders) {
    fs::create_directories(root / folder, ec);
    if (ec) {
      if (why != nullptr) *why = "cannot create " + (root / folder).string() + ": " + ec.message();
      return false;
    }
  }
  auto write = [&](const fs::path& file, const IniDocument& doc) {
    if (!overwrite && fs::exists(file)) return true;
    if (!doc.Save(file)) {
      if (why != nullptr) *why = "cannot write " + file.string();
      return false;
    }
    return true;
  };

  IniDocument events;
  for (const auto& e : PanelEvents()) {
    std::string section = std::to_string(e.number);
    events.Set(section, "Event_ID", "RD" + Hex2(e.number));
    events.Set(section, "Description", e.description);
    events.Set(section, "Log_Type", std::to_string(e.log_type));
  }
  IniDocument dvr;
  dvr.Set("Parameters", "Description", "Intrusion Alarm Panel Driver");
  dvr.Set("Parameters", "Driver_Type", "11000");
  IniDocument resources;
  for (const auto& [number, text] : ResourceTexts()) {
    resources.Set("Strings", std::to_string(number), text);
  }
  // A site's own sites.map routes no alarm anywhere until its operators name the other sites.
  IniDocument sites;
  sites.Set("Site1", "Enabled", "0");
  sites.Set("Site1", "RemotePath", (root / "sites" / "site1").string());
  if (demo_driver == 0) {
    return write(root / "Drivers" / "11000.ini", events) &&
           write(root / "hardware" / "11000.dvr", dvr) &&
           write(root / "Resources" / "strings.ini", resources) && write(root / "sites.map", sites);
  }

  // The demo's second site, with a key of its own.
  sites.Set("Site2", "Enabled", "1");
  sites.Set("Site2", "RemotePath", (root / "sites" / "site2").string());
  sites.Set("Site2", "KeyFile", "sites/site2.key");
  // The demo video switcher: monitors and cameras of driver 90, commands in its template.
  IniDocument camera_dvr;
  camera_dvr.Set("Parameters", "Description", "Demo Video Switcher");
  camera_dvr.Set("Parameters", "camera_padding", "3");
  camera_dvr.Set("Parameters", "monitor_padding", "2");
  camera_dvr.Set("Protocol", "SOM", "2");
  camera_dvr.Set("Protocol", "EOM", "3");
  camera_dvr.Set("Protocol", "CKM", "0");
  camera_dvr.Set("Protocol", "Mode", "ASCII");
  camera_dvr.Set("Protocol", "1", "<SOM>MON<Mon>CAM<Cam><EOM>");
  camera_dvr.Set("Protocol", "20", "<SOM>GOTO<Data><EOM>");
  camera_dvr.Set("Protocol", "22", "<SOM>ZOOM<Data><EOM>");
  camera_dvr.Set("Protocol", "30", "<SOM>PRESET<Data><EOM>");
  const std::string panel0 = std::to_string(demo_driver) + ".0";
  IniDocument camera;
  camera.Set(panel0 + ".2.I1", "Monitor", "90.1.0.M1");
  camera.Set(panel0 + ".2.I1", "Camera", "90.1.0.C1");
  camera.Set(panel0 + ".2.I1", "Preset", "2,5");
  IniDocument intercom;
  intercom.Set(panel0 + ".2.I2", "Command", "I");
  intercom.Set(panel0 + ".2.I2", "AA", "12");
  intercom.Set(panel0 + ".2.I2", "BB", "34");

  const fs::path key = root / "sites" / "site2.key";
  if (!fs::exists(key) && !CreateSiteKey(key, false, why)) return false;

  return write(root / "Drivers" / "11000.ini", events) &&
         write(root / "hardware" / "11000.dvr", dvr) &&
         write(root / "Resources" / "strings.ini", resources) && write(root / "sites.map", sites) &&
         write(root / "hardware" / "CAMDEMO.dvr", camera_dvr) &&
         write(root / ("camera" + std::to_string(demo_driver) + ".ini"), camera) &&
         write(root / ("InterComm" + std::to_string(demo_driver) + ".ini"), intercom);
}

}  // namespace ordane::schema
