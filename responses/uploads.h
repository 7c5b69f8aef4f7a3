// The handlers that copy panel tables into the database, entered from the dispatcher with the
// panel slot, the response's data and extra fields and the whole command response buffer.
// Each stores its table in one transaction; responses/upload.h says what happens to an item
// that is missing or garbled.
#pragma once

#include <cstdint>
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

// Gives person `person` the credential `number` (a decimal token number) as its credential
// `record_number` (0 becomes 1). A number that another existing person holds is left with them
// and that person's id is returned; a number whose holder no longer exists is moved to
// `person`. -1 for a number field, or an empty date, leaves that column as it is. Access
// connection; failures are thrown.
double SaveCredential(Driver& d, const std::string& number, double person,
                      std::int16_t& record_number, std::int16_t status,
                      std::int16_t facility_code_flag, std::int16_t facility_code,
                      std::int16_t re_issue_code, double hot_stamp_number,
                      const std::string& activate_date, const std::string& de_activate_date);

}  // namespace ordane
