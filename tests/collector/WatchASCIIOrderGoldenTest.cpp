// The order grammar against recorded sessions. Each orders/N.in holds the
// lines one connection sent, one per line, with bytes outside printable
// ASCII written as C escapes; N.out records what the parser made of every
// line: its return, the block state, the service, the body size and the
// "keyword: value" split, then at each completed block the body and every
// decoded field, and at the end of the session the protocol errors logged.
// The sessions mix valid blocks with the blanks, partial words, odd values,
// overlong lines and random byte edits that clients get wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "ProcessInfo.h"
#include "String.h"
#include "WatchASCIIOrder.h"
#include "WatchSettings.h"

namespace {

std::string Str(const String& s) { return std::string(s.chars(), static_cast<size_t>(s.length())); }

// The escapes of the session files: a letter after the backslash, or xHH.
const std::pair<char, char> kEscapes[] = {{'\\', '\\'}, {'t', '\t'}, {'r', '\r'}, {'n', '\n'}};

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                      [c](const auto& e) { return e.second == c; });
    const unsigned char byte = static_cast<unsigned char>(c);
    char hex[5];
    snprintf(hex, sizeof hex, "\\x%02x", byte);
    out += escape != std::end(kEscapes)  ? std::string{'\\', escape->first}
           : byte < 0x20 || byte >= 0x7f ? std::string(hex)
                                         : std::string(1, c);
  }
  return out;
}

// The inverse of Escape; false on an escape Escape never writes.
bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    const char letter = i + 1 < text.size() ? text[++i] : '\0';
    const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                      [letter](const auto& e) { return e.first == letter; });
    const std::string hex = letter == 'x' ? text.substr(i + 1, 2) : "";
    if (escape != std::end(kEscapes)) {
      out += escape->second;
    } else if (hex.size() == 2 && hex.find_first_not_of("0123456789abcdef") == std::string::npos) {
      out += static_cast<char>(std::stoi(hex, nullptr, 16));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

std::string Join(const std::vector<std::string>& fields) {
  std::string out;
  for (const std::string& field : fields) {
    out += (out.empty() ? "" : " | ") + Escape(field);
  }
  return out;
}

std::vector<std::string> InfoFields(const ProcessInfo& i) {
  return {std::to_string(i.pid), std::to_string(i.psNomWSet), std::to_string(i.psWSet),
          std::to_string(i.psErrors)};
}

std::vector<std::string> SettingsFields(const WatchSettings& s) {
  return {Str(s.psName),
          Str(s.psStart),
          Str(s.psStop),
          std::to_string(s.heartbeatOn),
          std::to_string(s.wsetOn),
          std::to_string(s.errorsOn),
          std::to_string(s.wdFreq),
          std::to_string(s.minWSet),
          std::to_string(s.maxWSet),
          std::to_string(s.wsetIncr),
          std::to_string(s.maxErrors)};
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
    ProcessInfo info, stop;
    WatchSettings settings;
    const int infoResult = order.ProcessInfoFromBody(info);
    const int settingsResult = order.WatchSettingsFromBody(settings);
    const int stopResult = order.WatchStopFromBody(stop);
    out << "  body: " << Join(body) << "\n";
    out << "  info " << infoResult << ": " << Join(InfoFields(info)) << "\n";
    out << "  settings " << settingsResult << ": " << Join(SettingsFields(settings)) << "\n";
    out << "  stop " << stopResult << ": " << stop.pid << "\n";
    order.Reset();
  }
  for (const std::string& message : log.Messages()) {
    out << "log: " << Escape(message) << "\n";
  }
  log.Clear();
  return out.str();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

class WatchASCIIOrderGoldenTest : public ::testing::Test {
 protected:
  void TearDown() override { LogServer::DeleteInstance(); }

  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(LogServer::Instance());
};

TEST_F(WatchASCIIOrderGoldenTest, EverySessionDecodesAsRecorded) {
  int sessions = 0;
  int completed = 0;
  for (int n = 1;; ++n) {
    const std::string base = std::string(ORDER_SESSIONS_DIR) + "/" + std::to_string(n);
    const std::string input = ReadFile(base + ".in");
    if (input.empty()) {
      break;
    }
    std::vector<std::string> lines;
    std::istringstream text(input);
    std::string escaped, line;
    while (std::getline(text, escaped)) {
      ASSERT_TRUE(Unescape(escaped, line)) << base << ".in: '" << escaped << "'";
      lines.push_back(line);
    }
    const std::string expected = ReadFile(base + ".out");
    const std::string got = Render(lines, *log);
    ++sessions;
    if (got == expected) {
      for (size_t at = expected.find("  stop "); at != std::string::npos;
           at = expected.find("  stop ", at + 1)) {
        ++completed;
      }
      continue;
    }
    // Only the first line that differs: a whole session would drown it.
    std::istringstream want(expected), have(got);
    std::string wantLine, haveLine;
    int number = 1;
    while (std::getline(want, wantLine) && std::getline(have, haveLine) && wantLine == haveLine) {
      ++number;
    }
    ADD_FAILURE() << base << ".out line " << number << "\n  expected: " << wantLine
                  << "\n  got:      " << haveLine;
  }
  // A missing directory must not pass as a clean run.
  EXPECT_GE(sessions, 40);
  EXPECT_GE(completed, 150);
}

}  // namespace
