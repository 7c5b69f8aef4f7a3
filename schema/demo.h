// Base rows every installation needs and the demo installation the set-up tool loads: one
// driver record for this computer, panels on loopback TCP addresses, their channels, devices,
// regions, a few people and their credentials.
#pragma once

#include <string>

#include "db/db.h"

namespace ordane::schema {

// Creates the schema and adds what is missing of the base rows: the driver's own event codes
// in event_descriptions and the global_settings row (Max_Regions 20).
void InitDatabase(db::Connection& c);

// Points and door readers of each demo panel: those of a simulated panel.
inline constexpr int kDemoPoints = 32;
inline constexpr int kDemoReaders = 8;

struct DemoOptions {
  int driver_id = 1;
  int panels = 2;  // 1 to 32; panel i listens on 127.0.0.(i+1), port first_port + i
  int first_port = 7700;
  std::string computer_name;  // empty: this computer's name
  bool replace = false;       // remove an earlier demo of the same driver first
};

// InitDatabase, then the demo rows, in one transaction. Throws Error(kErrGeneric) when the
// driver record exists already and `replace` is off, or the options are out of range.
void LoadDemoData(db::Connection& c, const DemoOptions& options);

}  // namespace ordane::schema
