#include "responses/uploads.h"

#include "core/log.h"

namespace ordane {

namespace {

// The table uploads are not in this build: a table that arrives is noted in the log only.
void NotYetStored(Driver& d, const UploadInput& in, const char* what) {
  LogLine(LogLevel::kInfo, std::string(what) + " of panel " + d.ControllerAddress(in.slot) +
                               " received; table uploads are not stored by this build");
}

}  // namespace

void UploadAuthorityLevels(Driver& d, const UploadInput& in) { NotYetStored(d, in, "authority levels"); }
void StorePointText(Driver& d, const UploadInput& in) { NotYetStored(d, in, "point text"); }
void StoreDoorAreas(Driver& d, const UploadInput& in) { NotYetStored(d, in, "door areas"); }
void UploadHolidays(Driver& d, const UploadInput& in) { NotYetStored(d, in, "holidays"); }
void UploadPointTexts(Driver& d, const UploadInput& in) { NotYetStored(d, in, "point texts"); }
void UploadUserClasses(Driver& d, const UploadInput& in) { NotYetStored(d, in, "user classes"); }
void UploadTokenTables(Driver& d, const UploadInput& in) { NotYetStored(d, in, "token tables"); }
void UploadUserNames(Driver& d, const UploadInput& in) { NotYetStored(d, in, "user names"); }
void UploadSkeds(Driver& d, const UploadInput& in) { NotYetStored(d, in, "schedules"); }

}  // namespace ordane
