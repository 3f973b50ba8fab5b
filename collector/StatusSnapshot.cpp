#include "StatusSnapshot.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "WatchedItem.h"

namespace {

const char* StateName(WatchState state) {
  switch (state) {
    case ItemWatching:
      return "watching";
    case ItemWaiting:
      return "waiting";
    // An operator sees one restart from the stop command to the start
    // command; the stopped process's pause is part of it.
    case ItemRestarting:
    case ItemFinished:
      return "restarting";
    default:
      return "created";
  }
}

int Limit(int on, int value) { return on == 1 ? value : -1; }

nlohmann::json LimitValue(int value) {
  return value == -1 ? nlohmann::json(nullptr) : nlohmann::json(value);
}

// Length of the valid UTF-8 sequence at text[i], or 0 when there is none.
size_t Utf8Length(const std::string& text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  size_t length;
  unsigned minimum;
  unsigned code;
  if (c < 0x80) {
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, code = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, code = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    code = (code << 6) | (next & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " " + type + "\n";
}

std::string ProcessLabels(const StatusSnapshot::Process& process) {
  return "{name=\"" + StatusSnapshot::EscapeLabel(process.name) + "\",pid=\"" +
         std::to_string(process.pid) + "\"}";
}

}  // namespace

StatusSnapshot::Process StatusSnapshot::FromItem(const WatchedItem& item) {
  Process process;
  const WatchSettings& settings = item.settings;
  process.pid = item.info.pid;
  process.name = std::string(settings.psName.chars(), settings.psName.length());
  process.state = StateName(item.state);
  process.lastHeartbeat = item.lastSeen.GMTCount();
  process.wdfreq = Limit(settings.heartbeatOn, settings.wdFreq);
  process.minwset = Limit(settings.wsetOn, settings.minWSet);
  process.maxwset = Limit(settings.wsetOn, settings.maxWSet);
  process.wsetincr = Limit(settings.wsetOn, settings.wsetIncr);
  process.maxerrors = Limit(settings.errorsOn, settings.maxErrors);
  process.wset = item.info.psWSet;
  process.nomwset = item.info.psNomWSet;
  process.errors = item.info.psErrors;
  return process;
}

bool StatusSnapshot::Process::operator==(const Process& other) const {
  return pid == other.pid && name == other.name && state == other.state &&
         lastHeartbeat == other.lastHeartbeat && wdfreq == other.wdfreq &&
         minwset == other.minwset && maxwset == other.maxwset && wsetincr == other.wsetincr &&
         maxerrors == other.maxerrors && wset == other.wset && nomwset == other.nomwset &&
         errors == other.errors;
}

bool StatusSnapshot::Program::operator==(const Program& other) const {
  return name == other.name && state == other.state && startAt == other.startAt &&
         lastExit == other.lastExit && lastReason == other.lastReason && since == other.since &&
         restarts == other.restarts && defined == other.defined;
}

std::vector<StatusSnapshot::Program> StatusSnapshot::ProgramsFrom(
    const std::map<int, WatchedItem>& table, const ProgramTable& programs, int64_t nowMs,
    long nowUtc) {
  // The most pressing state of each name's items: a restart under way, then
  // one waiting, then one watched.
  std::map<std::string, int> rank;
  for (const auto& entry : table) {
    const WatchState state = entry.second.state;
    const int level = state == ItemRestarting ? 3 : state == ItemWatching ? 1 : 2;
    int& best = rank[entry.second.settings.psName.chars()];
    best = std::max(best, level);
  }
  std::vector<Program> list;
  list.reserve(programs.Records().size());
  for (const auto& [name, record] : programs.Records()) {
    Program program;
    program.name = name;
    const auto found = rank.find(name);
    const int level = found == rank.end() ? 3 : found->second;
    // A stopped name with no process left reads "stopped"; one whose
    // process is still being stopped reads as that process does.
    program.state = record.failed                          ? "failed"
                    : record.stopped && found == rank.end() ? "stopped"
                    : level == 3                            ? "restarting"
                    : level == 2  ? "waiting"
                                  : "watching";
    if (!record.failed && level == 2 && record.startAtMs >= 0) {
      const int64_t left = record.startAtMs > nowMs ? record.startAtMs - nowMs : 0;
      program.startAt = nowUtc + static_cast<long>((left + 999) / 1000);
    }
    program.lastExit = record.lastExit;
    program.lastReason = ProgramTable::ReasonName(record.lastReason);
    program.since = record.watchingSince;
    program.restarts = record.restarts;
    program.defined = record.defined;
    list.push_back(program);
  }
  return list;
}

bool StatusSnapshot::ShowsSameAs(const StatusSnapshot& other) const {
  for (int i = 0; i < OrderCounters::kOrderTypes; ++i) {
    if (orders.executed[i] != other.orders.executed[i]) {
      return false;
    }
  }
  return pid == other.pid && started == other.started && port == other.port &&
         running == other.running && orders.protocolErrors == other.orders.protocolErrors &&
         restarts == other.restarts && processes == other.processes &&
         programs == other.programs;
}

std::string StatusSnapshot::ToJson(EntryCache* cache) const {
  nlohmann::json document;
  document["daemon"] = {{"pid", pid},   {"started", started}, {"updated", updated},
                        {"port", port}, {"passes", passes},   {"running", running}};
  nlohmann::json orderCounts = nlohmann::json::object();
  for (int i = 0; i < OrderCounters::kOrderTypes; ++i) {
    orderCounts[OrderCounters::Name(static_cast<OrderCounters::Order>(i))] = orders.executed[i];
  }
  document["orders"] = orderCounts;
  document["protocol_errors"] = orders.protocolErrors;
  document["restarts"] = nlohmann::json::object();
  for (const auto& entry : restarts) {
    document["restarts"][entry.first] = entry.second;
  }
  // A thousand processes make this the bulk of the document, and a few of
  // them change between two writes: each entry is printed by the library
  // alone and indented as the whole document would indent it, so only the
  // changed ones are printed again.
  std::map<int, EntryCache::Entry> entries;
  size_t printed = 0;
  std::string list;
  for (const Process& process : processes) {
    const auto found = restarts.find(process.name);
    const uint64_t count = found == restarts.end() ? 0 : found->second;
    EntryCache::Entry* kept = nullptr;
    if (cache != nullptr) {
      auto old = cache->entries.find(process.pid);
      if (old != cache->entries.end() && old->second.process == process &&
          old->second.restarts == count) {
        kept = &old->second;
      }
    }
    EntryCache::Entry entry;
    if (kept != nullptr) {
      entry = std::move(*kept);
    } else {
      const nlohmann::json object = {{"pid", process.pid},
                                     {"name", process.name},
                                     {"state", process.state},
                                     {"last_heartbeat", process.lastHeartbeat},
                                     {"wdfreq", LimitValue(process.wdfreq)},
                                     {"minwset", LimitValue(process.minwset)},
                                     {"maxwset", LimitValue(process.maxwset)},
                                     {"wsetincr", LimitValue(process.wsetincr)},
                                     {"maxerrors", LimitValue(process.maxerrors)},
                                     {"wset", process.wset},
                                     {"nomwset", process.nomwset},
                                     {"errors", process.errors},
                                     {"restarts", count}};
      const std::string alone =
          object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
      entry.process = process;
      entry.restarts = count;
      entry.text.reserve(alone.size() + 64);
      entry.text = "    ";
      for (char c : alone) {
        entry.text += c;
        if (c == '\n') {
          entry.text += "    ";
        }
      }
      ++printed;
    }
    list += list.empty() ? "\n" : ",\n";
    list += entry.text;
    if (cache != nullptr) {
      entries[process.pid] = std::move(entry);
    }
  }
  if (cache != nullptr) {
    cache->entries.swap(entries);
    cache->printed = printed;
  }
  document["processes"] = nlohmann::json::array();
  document["programs"] = nlohmann::json::object();
  for (const Program& program : programs) {
    const bool waiting = program.state == "waiting";
    const bool watching = program.state == "watching";
    document["programs"][program.name] = {
        {"state", program.state},
        {"seconds_left", waiting && program.startAt > updated ? program.startAt - updated : 0},
        {"last_exit", program.lastExit.empty() ? nlohmann::json(nullptr)
                                               : nlohmann::json(program.lastExit)},
        {"last_reason", program.lastReason.empty() ? nlohmann::json(nullptr)
                                                   : nlohmann::json(program.lastReason)},
        {"uptime_seconds", watching && updated > program.since ? updated - program.since : 0},
        {"restarts", program.restarts}};
    // Only a program file's program says so: the entries of registered
    // names keep their fields.
    if (program.defined) {
      document["programs"][program.name]["defined"] = true;
    }
  }
  // Names come from the network: bytes that are not UTF-8 must not make the
  // writer throw.
  std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  if (!list.empty()) {
    // The first one is the top-level key: the keys before it ("daemon",
    // "orders") hold no text from outside.
    const std::string empty = "\"processes\": []";
    const size_t at = text.find(empty);
    text.replace(at, empty.size(), "\"processes\": [" + list + "\n  ]");
  }
  return text + "\n";
}

std::string StatusSnapshot::EscapeLabel(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size();) {
    const char c = value[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      const size_t length = Utf8Length(value, i);
      if (length == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
        continue;
      }
      out.append(value, i, length);
      i += length;
      continue;
    }
    ++i;
  }
  return out;
}

std::string StatusSnapshot::ToMetrics() const {
  std::string out;
  Family(out, "vigild_up", "gauge", "1 while the daemon runs, 0 once it has ended.");
  out += std::string("vigild_up ") + (running ? "1" : "0") + "\n";
  Family(out, "vigild_start_time_seconds", "gauge", "When the daemon started, UTC seconds.");
  out += "vigild_start_time_seconds " + std::to_string(started) + "\n";
  Family(out, "vigild_passes_total", "counter", "Supervision passes since start.");
  out += "vigild_passes_total " + std::to_string(passes) + "\n";
  Family(out, "vigild_watched_processes", "gauge", "Processes in the watched table.");
  out += "vigild_watched_processes " + std::to_string(processes.size()) + "\n";
  Family(out, "vigild_orders_total", "counter", "Orders carried out since start, by type.");
  for (int i = 0; i < OrderCounters::kOrderTypes; ++i) {
    out += std::string("vigild_orders_total{type=\"") +
           OrderCounters::Name(static_cast<OrderCounters::Order>(i)) + "\"} " +
           std::to_string(orders.executed[i]) + "\n";
  }
  Family(out, "vigild_protocol_errors_total", "counter",
         "Order blocks refused since start (unknown order, too long, no pid).");
  out += "vigild_protocol_errors_total " + std::to_string(orders.protocolErrors) + "\n";
  Family(out, "vigild_restarts_total", "counter",
         "Restart sequences begun since start, by process name.");
  // A name has its series from its registration on, at 0 until it restarts,
  // and keeps it after it failed.
  std::map<std::string, uint64_t> counted = restarts;
  for (const Program& program : programs) {
    counted.emplace(program.name, 0);
  }
  for (const auto& entry : counted) {
    out += "vigild_restarts_total{name=\"" + EscapeLabel(entry.first) + "\"} " +
           std::to_string(entry.second) + "\n";
  }
  Family(out, "vigild_program_state", "gauge",
         "1 for the state a program name is in (watching, restarting, waiting, failed, "
         "stopped), else 0.");
  for (const Program& program : programs) {
    for (const char* state : {"watching", "restarting", "waiting", "failed", "stopped"}) {
      out += "vigild_program_state{name=\"" + EscapeLabel(program.name) + "\",state=\"" + state +
             "\"} " + (program.state == state ? "1" : "0") + "\n";
    }
  }
  Family(out, "vigild_program_uptime_seconds", "gauge",
         "Seconds since a watched program's current process registered; 0 when not watching.");
  for (const Program& program : programs) {
    const long uptime =
        program.state == "watching" && updated > program.since ? updated - program.since : 0;
    out += "vigild_program_uptime_seconds{name=\"" + EscapeLabel(program.name) + "\"} " +
           std::to_string(uptime) + "\n";
  }
  Family(out, "vigild_process_working_set_bytes", "gauge",
         "Last working set a watched process reported, in bytes (reported in kB).");
  for (const Process& process : processes) {
    out += "vigild_process_working_set_bytes" + ProcessLabels(process) + " " +
           std::to_string(static_cast<int64_t>(process.wset) * 1024) + "\n";
  }
  Family(out, "vigild_process_heartbeat_age_seconds", "gauge",
         "Seconds since a watched process last registered or sent a heartbeat.");
  for (const Process& process : processes) {
    const long age = updated > process.lastHeartbeat ? updated - process.lastHeartbeat : 0;
    out += "vigild_process_heartbeat_age_seconds" + ProcessLabels(process) + " " +
           std::to_string(age) + "\n";
  }
  // Beside the age, so that an alert can tell a late heartbeat from a slow one.
  Family(out, "vigild_process_wdfreq_seconds", "gauge",
         "Seconds a watched process may stay silent (its wdfreq); only with a heartbeat test.");
  for (const Process& process : processes) {
    if (process.wdfreq >= 0) {
      out += "vigild_process_wdfreq_seconds" + ProcessLabels(process) + " " +
             std::to_string(process.wdfreq) + "\n";
    }
  }
  return out;
}
