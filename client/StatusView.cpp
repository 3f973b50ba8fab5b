#include "StatusView.h"

#include <errno.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "SystemError.h"

namespace {

// A number field, or "-" when it is null or missing.
std::string Field(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) {
    return "-";
  }
  return std::to_string(found->get<long long>());
}

// Names come from the network: nothing in them may steer a terminal.
std::string Printable(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  }
  return out;
}

}  // namespace

std::string StatusView::DefaultPath(const char* tlmhome) {
  if (tlmhome != nullptr && *tlmhome != '\0') {
    std::string home(tlmhome);
    if (home.back() != '/') {
      home += '/';
    }
    return home + "log/vigild.status.json";
  }
  return "/var/lib/vigild/log/vigild.status.json";
}

bool StatusView::Load(const std::string& file, std::string* error) {
  path = file;
  std::ifstream in(file);
  if (!in) {
    *error = "no status file '" + file + "': " + SystemError::Text(errno);
    return false;
  }
  std::stringstream content;
  content << in.rdbuf();
  text = content.str();
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object() || !document.contains("daemon") ||
      !document["daemon"].is_object() || !document.contains("processes") ||
      !document["processes"].is_array()) {
    *error = "'" + file + "' is not a vigild status file";
    return false;
  }
  return true;
}

bool StatusView::Running(time_t now, std::string* why) const {
  try {
    return _Running(now, why);
  } catch (const nlohmann::json::exception&) {
    *why = "'" + path + "' is not a vigild status file";
    return false;
  }
}

bool StatusView::_Running(time_t now, std::string* why) const {
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  const nlohmann::json& daemon = document["daemon"];
  const long long pid = daemon.value("pid", 0LL);
  const long long updated = daemon.value("updated", 0LL);
  if (!daemon.value("running", false)) {
    *why = "vigild has ended (status file '" + path + "')";
    return false;
  }
  if (pid < 1 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
    *why = "vigild is not running (pid " + std::to_string(pid) + " in '" + path + "' is gone)";
    return false;
  }
  if (now - updated > kMaxAgeSeconds) {
    *why = "vigild is not running ('" + path + "' was last written " +
           std::to_string(now - updated) + " s ago)";
    return false;
  }
  return true;
}

std::string StatusView::Table(time_t now) const {
  try {
    return _Table(now);
  } catch (const nlohmann::json::exception&) {
    return "'" + path + "' is not a vigild status file\n";
  }
}

std::string StatusView::_Table(time_t now) const {
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  const nlohmann::json& daemon = document["daemon"];
  std::ostringstream out;
  out << "vigild pid " << Field(daemon, "pid") << ", port " << Field(daemon, "port") << ", "
      << Field(daemon, "passes") << " passes";
  const auto orders = document.find("orders");
  if (orders != document.end() && orders->is_object()) {
    out << ", orders watch " << Field(*orders, "watch") << " msg " << Field(*orders, "msg")
        << " mgmt " << Field(*orders, "mgmt");
  }
  out << ", protocol errors " << Field(document, "protocol_errors") << "\n";

  std::vector<std::vector<std::string>> rows{{"PID", "NAME", "STATE", "LAST BEAT", "WDFREQ", "WSET",
                                              "NOMINAL", "MAX", "ERRORS", "RESTARTS"}};
  for (const nlohmann::json& process : document["processes"]) {
    if (!process.is_object()) {
      continue;
    }
    std::string ago = "-";
    const auto beat = process.find("last_heartbeat");
    if (beat != process.end() && beat->is_number()) {
      const long long seconds = static_cast<long long>(now) - beat->get<long long>();
      ago = std::to_string(seconds < 0 ? 0 : seconds);
    }
    const auto name = process.find("name");
    const auto state = process.find("state");
    rows.push_back(
        {Field(process, "pid"),
         Printable(name != process.end() && name->is_string() ? name->get<std::string>() : "?"),
         Printable(state != process.end() && state->is_string() ? state->get<std::string>() : "?"),
         ago, Field(process, "wdfreq"), Field(process, "wset"), Field(process, "nomwset"),
         Field(process, "maxwset"), Field(process, "errors"), Field(process, "restarts")});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], row[c].size());
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      std::string cell = row[c];
      if (c + 1 < row.size()) {
        cell.resize(widths[c], ' ');
        cell += "  ";
      }
      line += cell;
    }
    out << line << "\n";
  }
  return out.str();
}
