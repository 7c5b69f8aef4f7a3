#include "panel/fake_panel_library.h"

#include <cctype>
#include <cstring>

namespace ordane {

void FakePanelLibrary::Answer(std::string& text, std::string_view answer) {
  if (text.empty()) return;
  std::size_t n = std::min(answer.size(), text.size() - 1);
  text.replace(0, n, answer.substr(0, n));
  text[n] = '\0';
}

std::vector<std::string> FakePanelLibrary::CallNames() const {
  std::vector<std::string> names;
  for (const auto& call : calls_) names.push_back(call.name);
  return names;
}

std::vector<FakePanelLibrary::Call> FakePanelLibrary::CallsTo(std::string_view name) const {
  std::vector<Call> out;
  for (const auto& call : calls_) {
    if (call.name == name) out.push_back(call);
  }
  return out;
}

namespace {

// The link name of a connection text ("TCP/IP - host port", "serial port - COM3 baud=..."), or
// of a request ("COM3 1"): its first word after the kind, upper-cased.
std::string LinkName(std::string_view text) {
  for (std::string_view kind : {"TCP/IP - ", "serial port - "}) {
    if (text.starts_with(kind)) {
      text.remove_prefix(kind.size());
      break;
    }
  }
  std::string name(text.substr(0, text.find(' ')));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

std::int16_t FakePanelLibrary::Handle(const char* name, std::string* text) {
  std::string seen;
  if (text != nullptr) seen = text->substr(0, text->find('\0'));
  calls_.push_back({name, seen});
  if (on_call) on_call(calls_.back());
  if (std::strcmp(name, "TERMINATEALL") == 0) links_.clear();
  if (text == nullptr) return result;

  if (std::strcmp(name, "INITIALIZEPANEL") == 0) {
    if (std::string link = LinkName(seen); !link.empty()) links_.insert(link);
  } else if (std::strcmp(name, "TERMINATEPANEL") == 0) {
    links_.erase(LinkName(seen));
  } else if (std::strcmp(name, "DLLINFORMATION") == 0) {
    Answer(*text, information);
  } else if (std::strcmp(name, "GETCOMMANDRESPONSE") == 0) {
    if (!command_responses_.empty()) {
      Answer(*text, command_responses_.front());
      command_responses_.pop_front();
    }
  } else if (std::strcmp(name, "GETEVENTRESPONSE") == 0) {
    if (!event_lines_.empty()) {
      Answer(*text, event_lines_.front());
      event_lines_.pop_front();
    }
  } else if (std::strcmp(name, "GETBUSYSTATE") == 0) {
    auto queued = busy_queue_.find(seen);
    if (queued != busy_queue_.end() && !queued->second.empty()) {
      Answer(*text, queued->second.front());
      queued->second.pop_front();
    } else if (auto standing = busy_.find(seen); standing != busy_.end()) {
      Answer(*text, standing->second);
    } else if (links_.count(LinkName(seen)) != 0) {
      Answer(*text, default_busy_answer);
    } else {
      Answer(*text, "Unknown panel");
    }
  }
  return result;
}

}  // namespace ordane
