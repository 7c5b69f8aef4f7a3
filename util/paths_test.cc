#include "util/paths.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

namespace ordane {
namespace {

TEST(Paths, ResolvesEachComponentWithoutRegardToCase) {
  fs::path root = fs::temp_directory_path() / ("paths_test_" + std::to_string(::getpid()));
  fs::create_directories(root / "Drivers" / "12" / "Status");
  std::ofstream(root / "Drivers" / "12" / "Status" / "Controller000") << "x";

  EXPECT_EQ(ResolvePath(root, "\\drivers\\12\\status\\controller000"),
            root / "Drivers" / "12" / "Status" / "Controller000");
  // Missing components keep the spelling given.
  EXPECT_EQ(ResolvePath(root, "\\DRIVERS\\12\\Events\\a.evt"), root / "Drivers" / "12" / "Events" / "a.evt");
  EXPECT_EQ(ResolvePath(root, "/Drivers//12/"), root / "Drivers" / "12");

  fs::path made;
  ASSERT_TRUE(EnsureFolder(root, "\\drivers\\12\\Commands", &made));
  EXPECT_EQ(made, root / "Drivers" / "12" / "Commands");
  EXPECT_TRUE(fs::is_directory(root / "Drivers" / "12" / "Commands"));
  // The second spelling finds the same folder instead of making a twin.
  ASSERT_TRUE(EnsureFolder(root, "\\DRIVERS\\12\\COMMANDS"));
  EXPECT_FALSE(fs::exists(root / "DRIVERS"));

  std::ofstream(root / "Drivers" / "12" / "Commands" / "b.STP") << "";
  std::ofstream(root / "Drivers" / "12" / "Commands" / "a.stp") << "";
  std::ofstream(root / "Drivers" / "12" / "Commands" / "c.stpx") << "";
  auto found = ListMatching(root / "Drivers" / "12" / "Commands", "*.stp");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].filename(), "a.stp");
  EXPECT_EQ(found[1].filename(), "b.STP");
  EXPECT_TRUE(ListMatching(root / "nowhere", "*").empty());
  fs::remove_all(root);
}

TEST(Paths, WildcardsMatchWithoutRegardToCase) {
  struct Case { const char* pattern; const char* name; bool match; } cases[] = {
      {"*.alm", "X1.ALM", true}, {"*.alm", "x.alm.tmp", false}, {"*", "", true},
      {"Controller???", "controller031", true}, {"Controller???", "Controller0311", false},
      {"*.s*n", "admin.srn", true}, {"a*b*c", "aXbYbZc", true}, {"a*b*c", "aXbYbZ", false},
  };
  for (auto& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

}  // namespace
}  // namespace ordane
