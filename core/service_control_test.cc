#include "core/service_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ordane {
namespace {

namespace fs = std::filesystem;

// The folders a unit lets a service write to, from its settings: the shared tree and the
// folder of an SQLite file, each once, none that the service's own folder already covers.
TEST(ServiceUnitTest, WritableFoldersComeFromTheSettings) {
  EXPECT_EQ(WritableFolders("/srv/ordane/share/", "/srv/ordane/share",
                            {"sqlite:/srv/db/ordane.db", "sqlite:///srv/db/other.db",
                             "postgresql://ordane@db.example/ordane"}),
            (std::vector<fs::path>{"/srv/ordane/share", "/srv/db"}));
  EXPECT_EQ(WritableFolders("/var/lib/ordane/share", "/var/lib/ordane",
                            {"sqlite:/var/lib/ordane/ordane.db", "/srv/bare/path.db"}),
            (std::vector<fs::path>{"/srv/bare"}));
  // Relative paths say nothing about where the service will run; a look-alike is not below.
  EXPECT_EQ(WritableFolders("share", "", {"sqlite:ordane.db"}), std::vector<fs::path>{});
  EXPECT_EQ(WritableFolders("/var/lib/ordane2", "", {}), (std::vector<fs::path>{"/var/lib/ordane2"}));
}

}  // namespace
}  // namespace ordane
