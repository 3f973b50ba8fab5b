// orders/N.in holds the escaped lines one connection sent, valid or garbled as clients get them
// wrong; N.out what the parser made of each line, of each completed block and the errors logged.
#include "LoggedCount.h"
#include "WatchASCIIOrder.h"

namespace {

std::string Str(const String& s) { return std::string(s.chars(), static_cast<size_t>(s.length())); }

// The session files' escapes: these bytes by letter, other bytes outside printable ASCII as xHH.
const std::string kBytes = "\\\t\r\n";
const std::string kLetters = "\\trn";

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    char hex[5];
    snprintf(hex, sizeof hex, "\\x%02x", byte);
    const size_t named = kBytes.find(c);
    out += named != std::string::npos    ? std::string{'\\', kLetters[named]}
           : byte < 0x20 || byte >= 0x7f ? std::string(hex)
                                         : std::string(1, c);
  }
  return out;
}

// The inverse of Escape; false on text Escape never writes.
bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t named = text[i] == '\\' ? kLetters.find(text[i + 1]) : std::string::npos;
    if (named != std::string::npos) {
      out += kBytes[named];
      ++i;
    } else if (text.compare(i, 2, "\\x") == 0) {
      out += static_cast<char>(strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += text[i];  // a stray backslash comes back escaped, so the check below refuses it
    }
  }
  return Escape(out) == text;
}

std::string Join(const std::vector<std::string>& fields) {
  std::string out;
  for (const std::string& field : fields) {
    out += (out.empty() ? "" : " | ") + Escape(field);
  }
  return out;
}

// What the parser makes of one session, in the .out format.
std::string Render(const std::vector<std::string>& lines, CapturingLogDevice::Log& log) {
  std::ostringstream out;
  WatchASCIIOrder order;
  for (size_t n = 0; n < lines.size(); ++n) {
    String line(lines[n].data(), static_cast<int>(lines[n].size()));
    const int result = order.ProcessLine(line);
    out << n + 1 << ": " << result << " block " << order.InBlock() << order.Complete() << " type "
        << order.Type() << " name '" << Escape(Str(order.ServiceName())) << "' body "
        << order.length();
    String item, value;
    if (order.toolDecodeItemValue(line, item, value) == 1) {
      out << " item '" << Escape(Str(item)) << "' value '" << Escape(Str(value)) << "'";
    }
    out << "\n";
    if (result != 1) {
      continue;
    }
    std::vector<std::string> body;
    for (Pix p = order.first(); p != nullptr; order.next(p)) {
      body.push_back(Str(order(p)));
    }
    out << "  body: " << Join(body) << "\n";
    ProcessInfo info, stop;
    WatchSettings settings;
    // Left to right: each decode runs before its fields are read, in the order its errors log.
    out << "  info " << order.ProcessInfoFromBody(info) << ": "
        << Join({std::to_string(info.pid), std::to_string(info.psNomWSet),
                 std::to_string(info.psWSet), std::to_string(info.psErrors)})
        << "\n  settings " << order.WatchSettingsFromBody(settings) << ": ";
    std::vector<std::string> fields = {Str(settings.psName), Str(settings.psStart),
                                       Str(settings.psStop)};
    for (int number : {settings.heartbeatOn, settings.wsetOn, settings.errorsOn, settings.wdFreq,
                       settings.minWSet, settings.maxWSet, settings.wsetIncr, settings.maxErrors}) {
      fields.push_back(std::to_string(number));
    }
    out << Join(fields) << "\n  stop " << order.WatchStopFromBody(stop) << ": " << stop.pid << "\n";
    order.Reset();
  }
  for (const std::string& message : log.Messages()) {
    out << "log: " << Escape(message) << "\n";
  }
  log.Clear();
  return out.str();
}

class WatchASCIIOrderGoldenTest : public LoggingTest {};

TEST_F(WatchASCIIOrderGoldenTest, EverySessionDecodesAsRecorded) {
  int sessions = 0;
  for (int n = 1;; ++n) {
    const std::string base = std::string(ORDER_SESSIONS_DIR) + "/" + std::to_string(n);
    std::istringstream text(ReadAll(base + ".in"));
    std::vector<std::string> lines;
    for (std::string escaped, line; std::getline(text, escaped); lines.push_back(line)) {
      ASSERT_TRUE(Unescape(escaped, line)) << base << ".in: '" << escaped << "'";
    }
    if (lines.empty()) {
      break;
    }
    EXPECT_EQ(ReadAll(base + ".out"), Render(lines, *log)) << base << ".out";
    ++sessions;
  }
  // A missing directory must not pass as a clean run.
  EXPECT_GE(sessions, 40);
}

}  // namespace
