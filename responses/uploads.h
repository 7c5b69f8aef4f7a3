// The handlers that copy panel tables into the database, entered from the dispatcher with the
// panel slot, the response's data and extra fields and the whole command response buffer.
#pragma once

#include <string>

#include "core/driver.h"

namespace ordane {

struct UploadInput {
  int slot;
  const std::string& data;
  const std::string& extra;
  const std::string& buffer;
};

void UploadAuthorityLevels(Driver& d, const UploadInput& in);
void StorePointText(Driver& d, const UploadInput& in);
void StoreDoorAreas(Driver& d, const UploadInput& in);
void UploadHolidays(Driver& d, const UploadInput& in);
void UploadPointTexts(Driver& d, const UploadInput& in);
void UploadUserClasses(Driver& d, const UploadInput& in);
void UploadTokenTables(Driver& d, const UploadInput& in);
void UploadUserNames(Driver& d, const UploadInput& in);
void UploadSkeds(Driver& d, const UploadInput& in);

}  // namespace ordane
