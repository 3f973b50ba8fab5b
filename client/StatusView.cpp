#include "StatusView.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
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

// A text field made safe to print, or "-" when it is null or missing.
std::string Text(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() || !found->is_string() ? "-" : Printable(found->get<std::string>());
}

// A duration for people: 45s, 12m05s, 3h04m, 2d05h; "-" for none.
std::string Duration(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number() || found->get<double>() < 1) {
    return "-";
  }
  const long long seconds = found->get<long long>();
  char text[48];
  if (seconds < 60) {
    snprintf(text, sizeof text, "%llds", seconds);
  } else if (seconds < 3600) {
    snprintf(text, sizeof text, "%lldm%02llds", seconds / 60, seconds % 60);
  } else if (seconds < 86400) {
    snprintf(text, sizeof text, "%lldh%02lldm", seconds / 3600, seconds % 3600 / 60);
  } else {
    snprintf(text, sizeof text, "%lldd%02lldh", seconds / 86400, seconds % 86400 / 3600);
  }
  return text;
}

// The "programs" object, or null when the file has none.
const nlohmann::json* Programs(const nlohmann::json& document) {
  const auto programs = document.find("programs");
  return programs != document.end() && programs->is_object() ? &*programs : nullptr;
}

// The columns a program adds: its state (with the seconds left of a
// wait), restarts, last exit, reason and uptime.
std::vector<std::string> ProgramColumns(const nlohmann::json& program) {
  std::string state = Text(program, "state");
  if (state == "waiting" && Field(program, "seconds_left") != "-") {
    state += " " + Field(program, "seconds_left") + "s";
  }
  return {state, Field(program, "restarts"), Text(program, "last_exit"),
          Text(program, "last_reason"), Duration(program, "uptime_seconds")};
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

std::string StatusView::ProgramState(const std::string& name) const {
  try {
    return _ProgramState(name);
  } catch (const nlohmann::json::exception&) {
    return std::string();
  }
}

std::string StatusView::_ProgramState(const std::string& name) const {
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  const nlohmann::json* programs = Programs(document);
  if (programs == nullptr || !programs->contains(name) || !(*programs)[name].is_object()) {
    return std::string();
  }
  const auto state = (*programs)[name].find("state");
  return state != (*programs)[name].end() && state->is_string() ? state->get<std::string>()
                                                                 : std::string("?");
}

bool StatusView::ProgramDefined(const std::string& name) const {
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  const nlohmann::json* programs = Programs(document);
  if (programs == nullptr || !programs->contains(name) || !(*programs)[name].is_object()) {
    return false;
  }
  const auto defined = (*programs)[name].find("defined");
  return defined != (*programs)[name].end() && defined->is_boolean() && defined->get<bool>();
}

std::vector<long> StatusView::ProgramPids(const std::string& name) const {
  std::vector<long> pids;
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  const auto processes = document.find("processes");
  if (processes == document.end() || !processes->is_array()) {
    return pids;
  }
  for (const nlohmann::json& process : *processes) {
    const auto pid = process.find("pid");
    const auto named = process.find("name");
    if (process.is_object() && pid != process.end() && pid->is_number_integer() &&
        named != process.end() && named->is_string() && named->get<std::string>() == name) {
      pids.push_back(pid->get<long>());
    }
  }
  return pids;
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
  const nlohmann::json* programs = Programs(document);
  if (programs != nullptr) {
    rows[0].insert(rows[0].end(), {"LAST EXIT", "REASON", "UPTIME"});
  }
  std::set<std::string> shown;
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
    const std::string key = name != process.end() && name->is_string() ? name->get<std::string>() : "?";
    rows.push_back(
        {Field(process, "pid"), Printable(key),
         Printable(state != process.end() && state->is_string() ? state->get<std::string>() : "?"),
         ago, Field(process, "wdfreq"), Field(process, "wset"), Field(process, "nomwset"),
         Field(process, "maxwset"), Field(process, "errors"), Field(process, "restarts")});
    if (programs == nullptr) {
      continue;
    }
    const auto program = programs->find(key);
    if (program == programs->end() || !program->is_object()) {
      rows.back().insert(rows.back().end(), {"-", "-", "-"});
      continue;
    }
    const std::vector<std::string> columns = ProgramColumns(*program);
    rows.back()[2] = columns[0];
    rows.back()[9] = columns[1];
    rows.back().insert(rows.back().end(), columns.begin() + 2, columns.end());
    shown.insert(key);
  }
  // Names without a process: waiting for their start, or failed.
  const nlohmann::json none = nlohmann::json::object();
  for (const auto& program : (programs != nullptr ? *programs : none).items()) {
    if (shown.count(program.key()) != 0 || !program.value().is_object()) {
      continue;
    }
    const std::vector<std::string> columns = ProgramColumns(program.value());
    rows.push_back({"-", Printable(program.key()), columns[0], "-", "-", "-", "-", "-", "-",
                    columns[1], columns[2], columns[3], columns[4]});
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
