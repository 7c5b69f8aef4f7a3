// The system library's own files: the site key, the settings that are sealed with it, and the
// integration log.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "syslib/seal.h"
#include "syslib/syslib.h"
#include "util/error.h"
#include "util/files.h"
#include "util/ini.h"

namespace fs = std::filesystem;

namespace ordane {
namespace {

class SyslibFilesTest : public ::testing::Test {
 protected:
  SyslibFilesTest()
      : dir_(fs::temp_directory_path() / ("ordane-syslib-files-" + std::to_string(getpid()))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "share");
  }
  ~SyslibFilesTest() override { fs::remove_all(dir_); }

  // The error LoadSiteKey gives, or "" when it loads.
  static std::string LoadError(const fs::path& key) {
    try {
      LoadSiteKey(key);
      return "";
    } catch (const Error& e) {
      return e.what();
    }
  }

  fs::path dir_;
};

TEST_F(SyslibFilesTest, SiteKeyIsNeverWrittenThroughALink) {
  const fs::path victim = dir_ / "victim";
  std::ofstream(victim) << "keep me\n";
  const fs::path key = dir_ / "ordane.key";
  fs::create_symlink(victim, key);
  std::string why;
  EXPECT_FALSE(CreateSiteKey(key, false, &why));
  EXPECT_NE(why.find(key.string()), std::string::npos) << why;
  // Replacing puts a new file in the link's place and leaves what it pointed at alone.
  ASSERT_TRUE(CreateSiteKey(key, true, &why)) << why;
  EXPECT_FALSE(fs::is_symlink(key));
  EXPECT_EQ(*ReadWholeFile(victim), "keep me\n");
  EXPECT_EQ(LoadError(key), "");

  // A dangling link is not followed either.
  const fs::path dangling = dir_ / "dangling.key";
  fs::create_symlink(dir_ / "nowhere", dangling);
  EXPECT_FALSE(CreateSiteKey(dangling, false, &why));
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));

  // Owner-only from the start, whatever the umask.
  const mode_t old_mask = umask(0);
  const bool created = CreateSiteKey(dir_ / "wide-umask.key", false, &why);
  umask(old_mask);
  ASSERT_TRUE(created) << why;
  struct stat st {};
  ASSERT_EQ(stat((dir_ / "wide-umask.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(SyslibFilesTest, SiteKeyOthersCanReachIsRefusedWithAdvice) {
  const fs::path key = dir_ / "ordane.key";
  ASSERT_TRUE(CreateSiteKey(key, false, nullptr));
  struct Case {
    mode_t mode;
    const char* refused;  // a part of the message, or "" when the key loads
  } cases[] = {
      {0600, ""},
      {0400, ""},
      {0640, "can be read or changed by other users (mode 0640); make it owner-only with chmod 600"},
      {0604, "(mode 0604)"},
      {0620, "(mode 0620)"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(chmod(key.c_str(), c.mode), 0);
    const std::string error = LoadError(key);
    if (*c.refused == '\0') {
      EXPECT_EQ(error, "") << std::oct << c.mode;
    } else {
      EXPECT_NE(error.find(c.refused), std::string::npos) << error;
      EXPECT_NE(error.find(key.string()), std::string::npos) << error;
    }
  }
  ASSERT_EQ(chmod(key.c_str(), 0600), 0);
  if (geteuid() == 0) {  // only root can give a file away
    ASSERT_EQ(chown(key.c_str(), 65534, 65534), 0);
    EXPECT_NE(LoadError(key).find("belongs to user 65534"), std::string::npos) << LoadError(key);
  }
  EXPECT_NE(LoadError(dir_ / "missing.key").find("not found"), std::string::npos);
}

TEST_F(SyslibFilesTest, SealedPasswordThatDoesNotOpenNamesItsSetting) {
  const fs::path settings = dir_ / "ordane.ini";
  const fs::path key = dir_ / "ordane.key";
  ASSERT_TRUE(CreateSiteKey(key, false, nullptr));
  const std::string sealed = Seal("pw", kDriverKey, LoadSiteKey(key));
  WriteProfileString(settings, "OS", "SQL_Server", "1");
  WriteProfileString(settings, "OS", "KeyFile", key.string());
  WriteProfileString(settings, "OS", "Database_Passwordn", sealed);
  Settings s = ProcessEntry(*NewSystemLibrary(settings));
  EXPECT_EQ(s.DatabasePassword, "pw");
  EXPECT_TRUE(s.problems.empty());

  // The key is lost and a new one made: the password no longer opens.
  ASSERT_TRUE(CreateSiteKey(key, true, nullptr));
  s = ProcessEntry(*NewSystemLibrary(settings));
  EXPECT_EQ(s.DatabasePassword, "");
  ASSERT_EQ(s.problems.size(), 1u);
  EXPECT_EQ(s.problems[0].rfind("Database_Passwordn: the sealed password does not open and is taken as empty: Sealed text was changed or sealed under another key; seal it again", 0), 0u)
      << s.problems[0];
}

TEST_F(SyslibFilesTest, IntegrationLogRotatesBySizeAndKeepsTheNewestRecords) {
  const fs::path settings = dir_ / "ordane.ini";
  WriteProfileString(settings, "OS", "IntegrationLogSize", "100");
  auto lib = NewSystemLibrary(settings);
  lib->set_RemotePath((dir_ / "share").string());
  const fs::path log = dir_ / "share" / "Integration" / "events.log";
  // The log and its rotated files, oldest first, as one text.
  auto all = [&] {
    std::string text;
    for (const char* suffix : {".3", ".2", ".1", ""}) {
      fs::path f = log.string() + suffix;
      if (!fs::exists(f)) continue;
      EXPECT_LE(fs::file_size(f), 100u) << f;
      text += *ReadWholeFile(f);
    }
    return text;
  };
  std::vector<std::string> records;  // each record is 30 bytes: three fit in 100
  for (int i = 1; i <= 15; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "record %02d\t%-18s", i, "x");
    lib->Write_EventAlarm(line, 2);
    records.push_back("2\t" + std::string(line) + "\n");
    if (i == 8) {  // nothing lost yet
      std::string want;
      for (const auto& r : records) want += r;
      EXPECT_EQ(all(), want);
      EXPECT_TRUE(fs::exists(log.string() + ".2"));
      EXPECT_FALSE(fs::exists(log.string() + ".3"));
    }
  }
  // Five files' worth written, four kept: the oldest three records are gone.
  std::string want;
  for (std::size_t i = 3; i < records.size(); ++i) want += records[i];
  EXPECT_EQ(all(), want);
  EXPECT_FALSE(fs::exists(log.string() + ".4"));
}

}  // namespace
}  // namespace ordane
