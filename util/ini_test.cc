#include "util/ini.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace ordane {
namespace {

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ini_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& text) { std::ofstream(dir_ / "f.ini", std::ios::binary) << text; }
  std::string Read() {
    std::ifstream in(dir_ / "f.ini", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path file() { return dir_ / "f.ini"; }
  fs::path dir_;
};

TEST_F(IniTest, ReadsLikeTheProfileCalls) {
  Write(
      "; comment\n"
      "garbage line\n"
      "[OS]\n"
      "  RemotePath =  /srv/share  \n"
      "remotepath=second\n"
      "Quoted=\"  padded \"\n"
      "=no key\n"
      "[os]\n"
      "Status_Timer=999\n"
      "[Other]\n"
      "Status_Timer=1000\n");
  EXPECT_EQ(ReadProfileString(file(), "os", "REMOTEPATH"), "/srv/share");  // first match wins
  EXPECT_EQ(ReadProfileString(file(), "OS", "Quoted"), "  padded ");
  EXPECT_EQ(ReadProfileString(file(), "OS", "Status_Timer"), "");  // second [os] never read
  EXPECT_EQ(ReadProfileString(file(), "Other", "Status_Timer"), "1000");
  EXPECT_EQ(ReadProfileString(file(), "Missing", "x", "dflt"), "dflt");
  EXPECT_EQ(ReadProfileString(dir_ / "absent.ini", "OS", "x"), "");
}

TEST_F(IniTest, ReadIsCutAt511Characters) {
  Write("[S]\nK=" + std::string(600, 'x') + "\n");
  EXPECT_EQ(ReadProfileString(file(), "S", "K").size(), kIniReadLimit);
}

TEST_F(IniTest, WriteCreatesFileAndSectionAndKeepsOtherLines) {
  fs::path f = dir_ / "sub.ini";
  ASSERT_TRUE(WriteProfileString(f, "Status_Controllers", "Ver_Info", "01"));
  ASSERT_TRUE(WriteProfileString(f, "Status_Controllers", "Empty", ""));
  ASSERT_TRUE(WriteProfileString(f, "status_controllers", "VER_INFO", "02"));
  ASSERT_TRUE(WriteProfileString(f, "Second", "A", std::string("left\0right", 10)));
  EXPECT_EQ(ReadProfileString(f, "Status_Controllers", "Ver_Info"), "02");
  EXPECT_EQ(ReadProfileString(f, "Second", "A"), "left");
  std::ifstream in(f);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), "[Status_Controllers]\nVER_INFO=02\nEmpty=\n[Second]\nA=left\n");
}

TEST_F(IniTest, HandEditedFileKeepsItsShape) {
  // A file another program wrote, with CR LF ends, comments and blank lines between sections.
  Write("[A]\r\n; keep me\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
  ASSERT_TRUE(WriteProfileString(file(), "A", "z", "new\nline"));
  ASSERT_TRUE(WriteProfileString(file(), "B", "y", "3"));
  EXPECT_EQ(Read(), "[A]\r\n; keep me\r\nx=1\r\nz=new line\r\n\r\n[B]\r\ny=3\r\n");
}

TEST_F(IniTest, DocumentListsKeysInFileOrder) {
  IniDocument doc = IniDocument::Parse("[S]\nb=1\na=2\nB=3\n[T]\nc=4\n");
  EXPECT_EQ(doc.Keys("s"), (std::vector<std::string>{"b", "a"}));
  EXPECT_TRUE(doc.Keys("none").empty());
}

TEST_F(IniTest, WriteIntoUnwritableFolderFails) {
  EXPECT_FALSE(WriteProfileString(dir_ / "no" / "such" / "f.ini", "S", "K", "V"));
}

}  // namespace
}  // namespace ordane
