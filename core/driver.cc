#include "core/driver.h"

#include "util/error.h"

namespace ordane {

db::Connection& Driver::Hardware() {
  if (!db.HardwareConnection) throw Error(kErrObjectNotSet, "Object variable or With block variable not set");
  return *db.HardwareConnection;
}

db::Connection& Driver::Access() {
  if (!db.AccessControlConnection) throw Error(kErrObjectNotSet, "Object variable or With block variable not set");
  return *db.AccessControlConnection;
}

std::string Driver::ControllerAddress(int slot) const {
  return std::to_string(DriverId) + "." + std::to_string(slot);
}

PanelSlot& Driver::Slot(int index) {
  if (index < 0 || index >= kPanelSlots)
    throw Error(kErrSubscript, "Subscript out of range: panel " + std::to_string(index) +
                                   " lies outside the panel table (0 to 31)");
  return panels[static_cast<std::size_t>(index)];
}

}  // namespace ordane
