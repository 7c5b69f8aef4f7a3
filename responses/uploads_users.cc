// The panel's users: their classes (passcode, group, area levels), their names and their token
// tables, into the panel-user store, the personnel records and the credentials.
#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

#include "db/db.h"
#include "events/lookups.h"
#include "responses/upload.h"
#include "responses/uploads.h"
#include "util/conversions.h"
#include "util/text.h"
#include "util/values.h"

namespace ordane {

namespace {

constexpr int kLastUser = kPanelUsersPerPanel - 1;  // users 1 to 249; 0 is the installer
constexpr std::size_t kUserClassWidth = 25;
constexpr std::size_t kUserNameWidth = 16;
constexpr std::size_t kTokenItemWidth = 43;
constexpr int kTokenFields = 4;
constexpr const char* kActivateDate = "1/1/2010";
constexpr const char* kDeactivateDate = "1/1/2029";

std::string Number(double value) { return std::to_string(static_cast<long long>(value)); }

std::int16_t RegionOf(Upload& up) {
  return ToInt16(up.driver().lib.Region_Return(up.address()));
}

std::string Capitalised(const std::string& word) {
  std::string out = LCase(word);
  if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

// One user's class item: passcode, a blank, the group digit, then for areas 1 to 8 a blank and
// one hexadecimal digit. nullopt and `why` set when the item is not in that form.
std::optional<PanelUser> ParseUserClass(const std::string& response, int k, std::string& why) {
  const std::size_t start = ValueStart(response, "User Class " + std::to_string(k) + ": ");
  if (start == 0) {
    why = "missing";
    return std::nullopt;
  }
  // The item ends before the blank that precedes the next label's "U".
  const std::size_t next = InStr(response, "U", start + 1);
  const std::string item = next > 0 ? Mid(response, start, next > start + 1 ? next - 1 - start : 0)
                                    : Mid(response, start, kUserClassWidth);
  const std::size_t s = InStr(item, " ");
  const std::string group = Mid(item, s + 1, 1);
  bool ok = s > 0 && item.size() >= s + 17 && AllDigits(group);
  PanelUser user;
  for (std::size_t n = 1; ok && n <= 8; ++n) {
    std::string level = Mid(item, s + 2 * n + 1, 1);
    ok = IsHex(level) && Mid(item, s + 2 * n, 1) == " ";
    if (ok) user.AuthorityLevel[n - 1] = static_cast<std::int16_t>(HexToNumber(level));
  }
  if (!ok) {
    why = "not a passcode, a group and eight levels: " + Shown(item);
    return std::nullopt;
  }
  user.UserNumber = static_cast<std::int16_t>(k);
  user.Passcode = Left(item, s - 1);
  user.UserGroup = static_cast<std::int16_t>(ValueOf0(group));
  return user;
}

void WriteClass(Upload& up, std::int16_t region, std::int16_t k, const PanelUser& user) {
  for (int n = 0; n < 8; ++n)
    up.W_Panel(region, k, "Auth" + std::to_string(n + 1),
               std::to_string(user.AuthorityLevel[static_cast<std::size_t>(n)]));
  up.W_Panel(region, k, "Passcode", user.Passcode);
  up.W_Panel(region, k, "UserGroup", std::to_string(user.UserGroup));
}

// One field of a token item: site code (two hex digits, "FF" for an empty field) and token
// number (four hex digits, "FFFF" for none).
struct TokenField {
  std::string raw;        // the field's ten characters
  std::int16_t site = 0;  // 0 to 255
  bool none = false;      // "FFFF"
  std::uint32_t token = 0;
  bool empty_site() const { return Left(raw, 2) == "FF"; }
  // The token as the system writes it: decimal, or `blank` when the field has none.
  std::string Text(const std::string& blank) const { return none ? blank : std::to_string(token); }
};

std::optional<TokenField> ParseTokenField(const std::string& raw) {
  const std::string site = Mid(raw, 1, 2), token = Mid(raw, 3, 4);
  if (site.size() != 2 || !IsHex(site) || token.size() != 4 || !IsHex(token)) return std::nullopt;
  TokenField f;
  f.raw = raw;
  f.site = static_cast<std::int16_t>(std::stoul(site, nullptr, 16));
  f.token = static_cast<std::uint32_t>(std::stoul(token, nullptr, 16));
  f.none = UCase(token) == "FFFF";
  return f;
}

// The person who holds credential `number` (and `record_number` when it is not 0); 0 when none.
double CredentialHolder(db::Connection& c, std::int64_t number, int record_number) {
  db::Recordset rs;
  rs.Open("select record_id from credentials where credential_number = " +
              std::to_string(number) +
              (record_number ? " and record_number = " + std::to_string(record_number) : ""),
          c, db::CursorType::kStatic);
  return rs.Eof() ? 0 : static_cast<double>(ValueOf0(rs.Text("record_id")));
}

// Adds a person and returns the id the database gave it.
double AddPerson(db::Connection& c, const std::optional<std::string>& first,
                 const std::optional<std::string>& last) {
  db::Recordset rs;
  rs.Open("select * from personnel where 1 = 0", c, db::CursorType::kKeyset);
  rs.AddNew();
  if (first) {
    rs.Set("first_name", *first);
    rs.Set("last_name", *last);
    rs.Set("name", *first + " " + *last);
  }
  rs.Set("card_type", "Normal");
  rs.Update();
  return static_cast<double>(ValueOf0(rs.Text("id")));
}

// The person's access record in the panel's region, from the panel user's settings.
void SaveAccessRecord(db::Connection& c, double person, std::int16_t region, int k,
                      const PanelUser& user, int sub_user_group) {
  db::Recordset rs;
  rs.Open("select * from personnel_rec where record_id = " + Number(person) +
              " and region = " + std::to_string(region),
          c, db::CursorType::kKeyset);
  if (rs.Eof()) {
    rs.AddNew();
    rs.Set("record_id", Number(person));
    rs.Set("region", std::to_string(region));
  }
  rs.Set("record_number", std::to_string(k));
  rs.Set("user_group", std::to_string(user.UserGroup));
  for (std::size_t n = 0; n < 8; ++n)
    rs.Set("area" + std::to_string(n + 1), std::to_string(user.AuthorityLevel[n]));
  rs.Set("user_id", std::to_string(k));
  rs.Set("sub_user_group", std::to_string(sub_user_group));
  rs.Update();
}

}  // namespace

double SaveCredential(Driver& d, const std::string& number, double person,
                      std::int16_t& record_number, std::int16_t status,
                      std::int16_t facility_code_flag, std::int16_t facility_code,
                      std::int16_t re_issue_code, double hot_stamp_number,
                      const std::string& activate_date, const std::string& de_activate_date) {
  db::Connection& c = d.Access();
  if (record_number == 0) record_number = 1;
  // Only a number reaches the statements.
  const std::string credential = std::to_string(ValueOf0(Trim(number)));
  bool taken = false;
  double owner = 0;
  if (ValueOf0(credential) > 0) {
    db::Recordset held;
    held.Open("select * from credentials where credential_number = " + credential +
                  " and record_id <> " + Number(person),
              c, db::CursorType::kKeyset);
    if (!held.Eof()) {
      const std::string other = std::to_string(ValueOf0(held.Text("record_id")));
      db::Recordset who;
      who.Open("select id from personnel where id = " + other, c);
      if (who.Eof()) {  // its holder is gone: the credential is free to move
        held.Set("record_id", Number(person));
        held.Update();
      } else {
        taken = true;
        owner = static_cast<double>(ValueOf0(other));
      }
    }
  }
  if (!taken) {
    db::Recordset rs;
    rs.Open("select * from credentials where record_id = " + Number(person) +
                " and record_number = " + std::to_string(record_number),
            c, db::CursorType::kKeyset);
    if (rs.Eof()) {
      rs.AddNew();
      rs.Set("record_id", Number(person));
    }
    if (facility_code_flag != -1) rs.Set("facility_code_flag", std::to_string(facility_code_flag));
    rs.Set("credential_number", credential);
    rs.Set("record_number", std::to_string(record_number));
    rs.Set("status", std::to_string(status));
    if (facility_code != -1) rs.Set("facility_code", std::to_string(facility_code));
    if (re_issue_code != -1) rs.Set("re_issue_code", std::to_string(re_issue_code));
    if (hot_stamp_number != -1) rs.Set("hot_stamp_number", Number(hot_stamp_number));
    if (!activate_date.empty()) rs.Set("activate_date", activate_date);
    if (!de_activate_date.empty()) rs.Set("de_activate_date", de_activate_date);
    rs.Update();
  }
  return owner;
}

void UploadUserClasses(Driver& d, const UploadInput& in) {
  Upload up(d, in.slot, "User classes", "");
  const std::string response = ResponseText(in.buffer);
  const std::int16_t region = RegionOf(up);
  auto& users = up.Users();
  for (int k = 0; k <= kLastUser && static_cast<std::size_t>(k) < users.size(); ++k) {
    std::string why;
    const auto parsed = ParseUserClass(response, k, why);
    if (!parsed) {
      up.Skip("user " + std::to_string(k), why);
      continue;
    }
    PanelUser& user = users[static_cast<std::size_t>(k)];
    // Site code and token come from the token tables and stay.
    user.UserNumber = k == 0 ? user.UserNumber : parsed->UserNumber;
    user.Passcode = parsed->Passcode;
    user.UserGroup = parsed->UserGroup;
    user.AuthorityLevel = parsed->AuthorityLevel;
    WriteClass(up, region, static_cast<std::int16_t>(k), user);
  }
  up.NoRows();
  up.Finish("SE084", false);
}

void UploadUserNames(Driver& d, const UploadInput& in) {
  Upload up(d, in.slot, "User names", "Reading in User Names");
  const std::string response = ResponseText(in.buffer);
  const std::int16_t region = RegionOf(up);
  auto& users = up.Users();
  if (users.size() < kPanelUsersPerPanel) return;  // no panel-user table for this slot
  db::Connection& c = d.Access();
  up.Store(c, [&] {
    // The installer is always written as such, whatever name the panel holds for it.
    const PanelUser& installer = users[0];
    up.W_Panel(region, 0, "Name", "INSTALLER");
    for (std::size_t n = 0; n < 8; ++n)
      up.W_Panel(region, 0, "Auth" + std::to_string(n + 1),
                 std::to_string(installer.AuthorityLevel[n]));
    up.W_Panel(region, 0, "Token", installer.Token);
    up.W_Panel(region, 0, "Passcode", installer.Passcode);
    up.W_Panel(region, 0, "UserGroup", std::to_string(installer.UserGroup));
    up.W_Panel(region, 0, "SiteCode", std::to_string(installer.SiteCode));

    for (int k = 1; k <= kLastUser; ++k) {
      up.Yield();
      const std::string user = "user " + std::to_string(k);
      const auto item = ItemAfter(response, "~User Name " + std::to_string(k) + ": ",
                                  kUserNameWidth);
      if (!item) {
        up.Skip(user, "missing");
        continue;
      }
      const std::string name = ReplaceAll(*item, std::string(1, '\x1f'), " ");
      up.W_Panel(region, static_cast<std::int16_t>(k), "Name", name);
      const std::size_t space = InStr(name, " ");
      std::string first = name, last = name;
      if (space > 0) {
        first = Left(name, space - 1);
        last = RTrim(Mid(name, space + 1));
      }
      first = Capitalised(first);
      last = Capitalised(last);
      const std::int64_t token = ValueOf0(users[static_cast<std::size_t>(k)].Token);
      if (token <= 0) continue;
      const double id = CredentialLookup(d, std::to_string(token));
      if (id <= 0) continue;
      const std::string where = " where id =" + Number(id);
      up.Item(c, user, [&] {
        c.Execute("UPDATE personnel set [first_name] = " + Quoted(first) + where);
        c.Execute("UPDATE personnel set [last_name] = " + Quoted(last) + where);
        c.Execute("UPDATE personnel set [name] = " + Quoted(first + " " + last) + where);
      });
    }
  });
  up.Finish("SE082", true);
}

void UploadTokenTables(Driver& d, const UploadInput& in) {
  Upload up(d, in.slot, "Token tables", "Reading Token Table");
  const std::string response = ResponseText(in.buffer);
  const std::int16_t region = RegionOf(up);
  auto& users = up.Users();
  if (users.size() < kPanelUsersPerPanel) return;
  db::Connection& c = d.Access();

  // Reads user k's four fields; nullopt (and the user reported) when its item is not whole.
  const auto fields_of = [&](int k) -> std::optional<std::array<TokenField, kTokenFields>> {
    const std::string user = "user " + std::to_string(k);
    const auto item =
        ItemAfter(response, "Token Table " + std::to_string(k) + ": ", kTokenItemWidth);
    if (!item) {
      up.Skip(user, "missing");
      return std::nullopt;
    }
    std::array<TokenField, kTokenFields> fields;
    for (int j = 0; j < kTokenFields; ++j) {
      const auto f = ParseTokenField(Mid(*item, static_cast<std::size_t>(1 + 11 * j), 10));
      if (!f) {
        up.Skip(user, "field " + std::to_string(j) + " not a site code and token: " + Shown(*item));
        return std::nullopt;
      }
      fields[static_cast<std::size_t>(j)] = *f;
    }
    return fields;
  };

  up.Store(c, [&] {
    if (const auto installer = fields_of(0)) {
      users[0].SiteCode = (*installer)[0].site;
      users[0].Token = (*installer)[0].Text("");
    }
    for (int k = 1; k <= kLastUser; ++k) {
      up.Yield();
      const auto fields = fields_of(k);
      if (!fields) continue;
      PanelUser& user = users[static_cast<std::size_t>(k)];
      const PanelUser before = user;
      const bool written = up.Item(c, "user " + std::to_string(k), [&] {
        const std::int16_t uk = static_cast<std::int16_t>(k);
        const std::string passcode = Trim(user.Passcode);
        // The master token.
        const TokenField& master = (*fields)[0];
        user.SiteCode = master.site;
        user.Token = master.Text(" ");
        if (Trim(user.Token).empty() && !passcode.empty()) user.Token = passcode;
        up.W_Panel(region, uk, "Master", user.Token);
        const std::int64_t token = ValueOf0(user.Token);
        double person = CredentialHolder(c, token, 1);
        bool keep_access = person != 0;
        if (person == 0 && (!master.empty_site() || !passcode.empty()) && token > 0) {
          person = AddPerson(c, std::nullopt, std::nullopt);
          std::int16_t record_number = 1;
          SaveCredential(d, std::to_string(token), person, record_number, 1, -1, user.SiteCode, -1,
                         -1, kActivateDate, kDeactivateDate);
          keep_access = true;
        }
        if (keep_access) SaveAccessRecord(c, person, region, k, user, 0);
        // The sub tokens.
        for (int j = 1; j < kTokenFields; ++j) {
          const TokenField& field = (*fields)[static_cast<std::size_t>(j)];
          const std::string sub = field.Text(" ");
          user.SiteCode = field.site;
          const std::int64_t number = ValueOf0(sub);
          const double holder = CredentialHolder(c, number, 0);
          const std::string js = std::to_string(j);
          up.W_Panel(region, uk, "Sub" + js, sub);
          if (holder == 0) {
            if (field.empty_site() || number <= 0) continue;
            const std::string first = "Group " + std::to_string(region);
            const std::string last = "Sub User " + std::to_string(k) + "." + js;
            const double id = AddPerson(c, first, last);
            up.W_Panel(region, uk, "Name" + js, first + " " + last);
            std::int16_t record_number = 1;
            SaveCredential(d, std::to_string(number), id, record_number, 1, -1, field.site, -1, -1,
                           kActivateDate, kDeactivateDate);
            SaveAccessRecord(c, id, region, k, user, j);
          } else if (holder > 0) {
            db::Recordset who;
            who.Open("select id,first_name,last_name from personnel where id = " + Number(holder),
                     c);
            if (!who.Eof())
              up.W_Panel(region, uk, "Name" + js,
                         who.Text("first_name") + " " + who.Text("last_name"));
          }
        }
      });
      if (!written) user = before;  // a refused user keeps what it held
    }
  });
  up.Finish("SE083", false);
}

}  // namespace ordane
