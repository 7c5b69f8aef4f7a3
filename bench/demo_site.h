// The site the in-process benchmarks run the driver on: in `root`, the shared tree, a site key,
// a settings file and the demo data of driver 7 on a SQLite file.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "db/db.h"
#include "schema/demo.h"
#include "schema/share.h"
#include "syslib/seal.h"

namespace ordane::bench {

// Lays the site down and returns its connection string; "" after saying why it could not.
inline std::string LayDownDemoSite(const std::filesystem::path& root) {
  std::string why;
  if (!schema::LayDownShare(root / "share", true, &why, 7) ||
      !CreateSiteKey(root / "ordane.key", true, &why)) {
    std::fprintf(stderr, "set-up: %s\n", why.c_str());
    return {};
  }
  const std::string cxn = "sqlite:" + (root / "ordane.db").string();
  std::ofstream(root / "ordane.ini")
      << "[OS]\nRemotePath=" << (root / "share").string()
      << "\nKeyFile=" << (root / "ordane.key").string() << "\nCxn_Access_Control=" << cxn
      << "\nCxn_Hardware=" << cxn << "\n";
  auto c = db::NewConnection();
  c->Open(cxn, "", "");
  schema::DemoOptions demo;
  demo.driver_id = 7;
  schema::LoadDemoData(*c, demo);
  return cxn;
}

}  // namespace ordane::bench
