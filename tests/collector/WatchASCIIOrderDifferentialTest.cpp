// The order grammar is decided by plain scans; the expression-engine path it
// replaced is kept here, unchanged, as the reference. Both are fed the same
// generated and randomly mutated sessions, and every observable outcome must
// agree: what each line returns, the block state, the body kept, the decoded
// fields, the protocol errors logged, and what executing the block did to the
// table.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CapturingLogDevice.h"
#include "Cnx.h"
#include "LogServer.h"
#include "Regex.h"
#include "SLList.h"
#include "WatchASCIIOrder.h"
#include "WatchedItem.h"
#include "WatchedList.h"

namespace {

// ---- The engine path, as the daemon ran it before the scans.

const Regex rBeginHeader("[bB][eE][gG][iI][nN][A-Za-z0-9]+", 1, 40);
const Regex rBeginKeyWord("[bB][eE][gG][iI][nN]", 1, 40);
const Regex rEndHeader("[eE][nN][dD][.;,]", 1, 40);
const Regex rWordSeparator("[ \n\r]+", 1, 40);
const Regex rServiceWatch("^[wW][aA][tT][cC][hH]", 1, 40);
const Regex rServiceMsg("^[mM][sS][gG]", 1, 40);
const Regex rServiceMgmt("^[mM][gG][mM][tT]", 1, 40);
const Regex rGlobalLineFormat("^\\([A-Za-z0-9]+\\): ?\\(.*\\)", 1, 40);
const Regex rItemSeparator("[ :]+", 1, 40);
const Regex rOrderStartingSpace("^[ ]+", 1, 40);
const Regex rOrderLeadingSpace("[ ]+$", 1, 40);
const Regex rPIDToken("^[pP][iI][dD]", 1, 40);
const Regex rPSNomWSet("^[pP][sS][nN][oO][mM][wW][sS][eE][tT]", 1, 40);
const Regex rPSWSet("^[pP][sS][wW][sS][eE][tT]", 1, 40);
const Regex rPSErrors("^[pP][sS][eE][rR][rR][oO][rR][sS]", 1, 40);
const Regex rPSName("^[pP][sS][nN][aA][mM][eE]", 1, 40);
const Regex rPSStart("^[pP][sS][sS][tT][aA][rR][tT]", 1, 40);
const Regex rPSStop("^[pP][sS][sS][tT][oO][pP]", 1, 40);
const Regex rWDfreq("^[wW][dD][fF][rR][eE][qQ]", 1, 40);
const Regex rMinWSet("^[mM][iI][nN][wW][sS][eE][tT]", 1, 40);
const Regex rMaxWSet("^[mM][aA][xX][wW][sS][eE][tT]", 1, 40);
const Regex rWSetIncr("^[wW][sS][eE][tT][iI][nN][cC][rR]", 1, 40);
const Regex rMaxErrors("^[mM][aA][xX][eE][rR][rR][oO][rR][sS]", 1, 40);
const Regex rStopWatching("^[sS][tT][oO][pP]", 1, 40);

int Find(const Regex& r, const String& text, int& matchLength) {
  Regex::Groups groups;
  int found = -1;
  r.search(text.chars(), text.length(), matchLength, 0, &groups);
  if (!groups.info(found, matchLength, 0)) {
    matchLength = 0;
    return -1;
  }
  return found;
}

bool Whole(const Regex& r, const String& text) {
  return r.match(text.chars(), text.length(), 0) == text.length();
}

int ItemNumber(const String& value) {
  const long number = strtol(value.chars(), nullptr, 10);
  return number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : static_cast<int>(number);
}

class EngineOrder : public SLList<String> {
 public:
  int ProcessLine(String& line) {
    int matchLength = 0;
    if (inBlock == 1) {
      if (Find(rEndHeader, line, matchLength) >= 0) {
        if (serviceType == WatchASCIIOrder::ServiceNone) {
          Reset();
          return 0;
        }
        complete = 1;
        return 1;
      }
      if (serviceType == WatchASCIIOrder::ServiceNone) {
        return 0;
      }
      if (length() >= WatchASCIIOrder::kMaxBodyLines) {
        errors.push_back("[WatchASCIIOrder::ProcessLine] ERROR : Order block '" +
                         std::string(serviceName.chars()) + "' longer than " +
                         std::to_string(WatchASCIIOrder::kMaxBodyLines) + " lines, dropped");
        clear();
        serviceType = WatchASCIIOrder::ServiceNone;
        return 0;
      }
      append(line);
      return 0;
    }
    if (Find(rBeginHeader, line, matchLength) < 0) {
      return 0;
    }
    const int keyword = Find(rBeginKeyWord, line, matchLength);
    if (keyword < 0) {
      return 0;
    }
    const int nameStart = keyword + matchLength;
    String name(line.chars() + nameStart, line.length() - nameStart);
    const int separator = Find(rWordSeparator, name, matchLength);
    if (separator >= 0) {
      name = String(name.chars(), separator);
    }
    serviceName = name;
    const int type = ServiceTypeFromName(serviceName);
    if (type != WatchASCIIOrder::ServiceNone) {
      serviceType = static_cast<WatchASCIIOrder::ServiceType>(type);
      inBlock = 1;
      clear();
    }
    return 0;
  }

  int ServiceTypeFromName(String& name) {
    if (Whole(rServiceWatch, name)) {
      return WatchASCIIOrder::ServiceWatch;
    }
    if (Whole(rServiceMsg, name)) {
      return WatchASCIIOrder::ServiceMsg;
    }
    if (Whole(rServiceMgmt, name)) {
      return WatchASCIIOrder::ServiceMgmt;
    }
    errors.push_back("[WatchASCIIOrder::ServiceTypeFromName] ERROR : Unknown service name '" +
                     std::string(name.chars()) + "'");
    return WatchASCIIOrder::ServiceNone;
  }

  static int toolDecodeItemValue(const String& line, String& item, String& value) {
    if (!Whole(rGlobalLineFormat, line)) {
      return 0;
    }
    int separatorLength = 0;
    const int separator = Find(rItemSeparator, line, separatorLength);
    if (separator < 0) {
      return 0;
    }
    const int valueStart = separator + separatorLength;
    item = String(line.chars(), separator);
    value = String(line.chars() + valueStart, line.length() - valueStart);
    const int leading = rOrderStartingSpace.match(value.chars(), value.length(), 0);
    if (leading > 0) {
      value = String(value.chars() + leading, value.length() - leading);
    }
    int tail = value.length();
    while (tail > 0 && value[tail - 1] == ' ') {
      --tail;
    }
    int trailingLength = 0;
    const int trailing =
        rOrderLeadingSpace.search(value.chars(), value.length(), trailingLength, tail);
    if (trailing >= 0) {
      value = String(value.chars(), trailing);
    }
    return 1;
  }

  int ProcessInfoFromBody(ProcessInfo& info) {
    for (Pix p = first(); p != nullptr; next(p)) {
      String item, value;
      if (toolDecodeItemValue((*this)(p), item, value) != 1) {
        continue;
      }
      if (Whole(rPIDToken, item)) {
        info.pid = ItemNumber(value);
      } else if (Whole(rPSNomWSet, item)) {
        info.psNomWSet = ItemNumber(value);
      } else if (Whole(rPSWSet, item)) {
        info.psWSet = ItemNumber(value);
      } else if (Whole(rPSErrors, item)) {
        info.psErrors = ItemNumber(value);
      }
    }
    return info.pid != 0 ? 1 : 0;
  }

  int WatchSettingsFromBody(WatchSettings& settings) {
    for (Pix p = first(); p != nullptr; next(p)) {
      String item, value;
      if (toolDecodeItemValue((*this)(p), item, value) != 1) {
        continue;
      }
      if (Whole(rPSName, item)) {
        settings.psName = value;
      } else if (Whole(rPSStart, item)) {
        settings.psStart = value;
      } else if (Whole(rPSStop, item)) {
        settings.psStop = value;
      } else if (Whole(rWDfreq, item)) {
        settings.wdFreq = ItemNumber(value);
        settings.heartbeatOn = 1;
      } else if (Whole(rMinWSet, item)) {
        settings.minWSet = ItemNumber(value);
        settings.wsetOn = 1;
      } else if (Whole(rMaxWSet, item)) {
        settings.maxWSet = ItemNumber(value);
        settings.wsetOn = 1;
      } else if (Whole(rWSetIncr, item)) {
        settings.wsetIncr = ItemNumber(value);
        settings.wsetOn = 1;
      } else if (Whole(rMaxErrors, item)) {
        settings.maxErrors = ItemNumber(value);
        settings.errorsOn = 1;
      }
    }
    return 1;
  }

  int WatchStopFromBody(ProcessInfo& info) {
    for (Pix p = first(); p != nullptr; next(p)) {
      String item, value;
      if (toolDecodeItemValue((*this)(p), item, value) == 1 && Whole(rStopWatching, item)) {
        info.pid = ItemNumber(value);
      }
    }
    return info.pid != 0 ? 1 : 0;
  }

  int ExecuteOrder(WatchedList& list) {
    switch (serviceType) {
      case WatchASCIIOrder::ServiceWatch: {
        WatchedItem item;
        if (ProcessInfoFromBody(item.info) != 1 || WatchSettingsFromBody(item.settings) != 1) {
          return 0;
        }
        // A pid below 1 names a process group: refused by the table's own rules.
        return item.info.pid < 1 ? 0 : list.CreateNewWatch(item);
      }
      case WatchASCIIOrder::ServiceMsg: {
        ProcessInfo info;
        ProcessInfoFromBody(info);
        return list.UpdateWatchedItem(info);
      }
      case WatchASCIIOrder::ServiceMgmt: {
        ProcessInfo info;
        WatchStopFromBody(info);
        list.DeleteWatch(info.pid);
        return 1;
      }
      default:
        return 0;
    }
  }

  void Reset() {
    clear();
    serviceName = String();
    serviceType = WatchASCIIOrder::ServiceNone;
    inBlock = 0;
    complete = 0;
  }

  String serviceName;
  WatchASCIIOrder::ServiceType serviceType = WatchASCIIOrder::ServiceNone;
  int inBlock = 0;
  int complete = 0;
  std::vector<std::string> errors;
};

// ---- Generated sessions.

std::string Str(const String& s) { return std::string(s.chars(), static_cast<size_t>(s.length())); }

// Lines of the protocol's shapes in random case, with the blanks, partial
// words and odd values that clients get wrong, then random byte edits.
class LineMaker {
 public:
  explicit LineMaker(unsigned seed) : random(seed) {}

  std::string Line() {
    std::string line;
    switch (Pick(10)) {
      case 0:
      case 1:
        line = Header();
        break;
      case 2:
      case 3:
        line = End();
        break;
      default:
        line = Item();
    }
    if (Pick(5) == 0) {
      Mutate(line);
    }
    return line;
  }

  std::string Header() {
    static const char* const kServices[] = {"watch", "msg",    "mgmt", "watcher", "ms",   "mgm",
                                            "",      "watch2", "w",    "msgs",    "MGMT", "wat ch"};
    static const char* const kAround[] = {"",   "",  "",       " ",     "\t",
                                          "\r", "x", "begin ", "BEGIN", "12"};
    std::string begin = Pick(8) == 0 ? "begi" : "begin";
    return Of(kAround) + Cased(begin) + Cased(Of(kServices)) + Of(kAround) + Of(kAround);
  }

  std::string End() {
    static const char* const kEnds[] = {
        "end;",  "end.",    "end,", "end", "en;", "end:", "nd;", "xend;y", "the end, really",
        "e nd;", "end;end."};
    return Of(kPadding) + Cased(Of(kEnds)) + Of(kPadding);
  }

  std::string Item() {
    static const char* const kKeys[] = {
        "pid",    "psnomwset", "pswset",  "pserrors", "psname",    "psstart", "psstop",
        "wdfreq", "minwset",   "maxwset", "wsetincr", "maxerrors", "stop",    "pids",
        "pi",     "ps",        "",        "p1d",      "stopx",     "wdfreq2", "_pid"};
    static const char* const kSeparators[] = {":", ": ", ":  ", " :",    "::", ": :", ":\t",
                                              "",  " ",  ":: ", ": : :", "=",  ":\n"};
    const std::string lead = Pick(4) == 0 ? Of(kPadding) : "";
    return lead + Cased(Of(kKeys)) + Of(kSeparators) + Value() + Of(kPadding);
  }

  std::string Value() {
    static const char* const kTexts[] = {"abc",  "12abc",  " 5 ",  "\t7",        "",
                                         "+42",  "-0",     "- 3",  "a b  c   ",  "/bin/x -y",
                                         "0x10", "  \t  ", "end;", "beginwatch", "007"};
    switch (Pick(6)) {
      case 0:
        return std::to_string(static_cast<long long>(random()) - 0x7fffffffLL);
      case 1:
        return std::to_string(Pick(100000));
      case 2:
        return "99999999999999999999" + std::string(Pick(3), ' ');
      case 3:
        // Overlong, sometimes near the line limit of the connection.
        return Pick(20) == 0 ? std::string(1 + Pick(31000), Pick(2) == 0 ? 'x' : ' ') + "1"
                             : std::string(1 + Pick(300), 'v');
      default:
        return Of(kTexts);
    }
  }

  void Mutate(std::string& line) {
    static const char kAlphabet[] = "beginwatchmsgEND.;,: \t\r\n09azAZ_-+\x80\xff";
    const int edits = 1 + Pick(4);
    for (int i = 0; i < edits; ++i) {
      const size_t at = line.empty() ? 0 : Pick(static_cast<unsigned>(line.size()));
      char c = kAlphabet[Pick(sizeof kAlphabet - 1)];
      if (Pick(30) == 0) {
        c = '\0';
      } else if (Pick(10) == 0) {
        c = static_cast<char>(Pick(256));  // any byte at all
      }
      switch (Pick(3)) {
        case 0:
          line.insert(at, 1, c);
          break;
        case 1:
          if (!line.empty()) {
            line.erase(at, 1);
          }
          break;
        default:
          if (!line.empty()) {
            line[at] = c;
          }
      }
    }
  }

  std::string Cased(const std::string& word) {
    std::string out = word;
    const unsigned style = Pick(4);
    for (char& c : out) {
      if (style == 1 || (style == 3 && Pick(2) == 0)) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      }
    }
    return out;
  }

  unsigned Pick(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(random() % n); }

 private:
  template <size_t N>
  std::string Of(const char* const (&items)[N]) {
    return items[Pick(N)];
  }

  static constexpr const char* kPadding[] = {"", "", "", " ", "  ", "\t", "\r"};
  std::mt19937 random;
};

constexpr const char* LineMaker::kPadding[];

using Fields = std::vector<std::string>;

Fields InfoFields(const ProcessInfo& i) {
  return {std::to_string(i.pid), std::to_string(i.psNomWSet), std::to_string(i.psWSet),
          std::to_string(i.psErrors)};
}

Fields SettingsFields(const WatchSettings& s) {
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

std::map<int, Fields> Table(WatchedList& list) {
  std::map<int, Fields> table;
  for (const auto& entry : list.Snapshot()) {
    Fields fields = InfoFields(entry.second.info);
    const Fields settings = SettingsFields(entry.second.settings);
    fields.insert(fields.end(), settings.begin(), settings.end());
    table[entry.first] = fields;
  }
  return table;
}

Fields Body(const SLList<String>& list) {
  Fields body;
  for (Pix p = list.first(); p != nullptr; list.next(p)) {
    body.push_back(Str(list(p)));
  }
  return body;
}

// Every pid above 0 is a live process, so the table's rules refuse only pids below 1.
class EveryPidLives : public WatchedList::ProcessServices {
 public:
  int CheckPID(int pid) override { return pid > 0 ? 1 : 0; }
  bool StartTime(int pid, unsigned long long& ticks) override {
    ticks = 1;
    return pid > 0;
  }
};

// The protocol errors of the parser, without the table's refusals.
std::vector<std::string> ParserMessages(const CapturingLogDevice::Log& log) {
  std::vector<std::string> messages;
  for (const std::string& message : log.Messages()) {
    if (message.rfind("[WatchedList]", 0) != 0) {
      messages.push_back(message);
    }
  }
  return messages;
}

class WatchASCIIOrderDifferentialTest : public ::testing::Test {
 protected:
  void TearDown() override {
    pepoWatchedList = nullptr;
    LogServer::DeleteInstance();
  }

  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(LogServer::Instance());
};

TEST_F(WatchASCIIOrderDifferentialTest, ScansDecideEveryLineAsTheEngineDid) {
  constexpr int kSessions = 500;
  constexpr unsigned kSeed = 20261206;
  LineMaker maker(kSeed);
  EveryPidLives processes;
  WatchedList engineList(&processes);
  WatchedList scanList(&processes);
  pepoWatchedList = &scanList;
  long lines = 0;
  long executed = 0;
  long decodedItems = 0;
  for (int session = 0; session < kSessions; ++session) {
    EngineOrder engine;
    WatchASCIIOrder scan;
    Cnx connection;
    const int length = 20 + static_cast<int>(maker.Pick(200));
    for (int n = 0; n < length; ++n) {
      std::string text;
      // Whole valid blocks now and then, so executed orders are frequent;
      // sometimes more body lines than a block may hold.
      const unsigned shape = maker.Pick(12);
      if (shape == 0) {
        text = maker.Header();
      } else if (shape == 1 && engine.inBlock == 1 && maker.Pick(3) == 0) {
        text = maker.End();
      } else {
        text = maker.Line();
      }
      String engineLine(text.data(), static_cast<int>(text.size()));
      String scanLine(text.data(), static_cast<int>(text.size()));
      const int expected = engine.ProcessLine(engineLine);
      const int got = scan.ProcessLine(scanLine);
      ++lines;
      SCOPED_TRACE("session " + std::to_string(session) + " line " + std::to_string(n) + ": '" +
                   text.substr(0, 80) + "'");
      ASSERT_EQ(expected, got);
      ASSERT_EQ(engine.inBlock, scan.InBlock());
      ASSERT_EQ(engine.complete, scan.Complete());
      ASSERT_EQ(engine.serviceType, scan.Type());
      ASSERT_EQ(Str(engine.serviceName), Str(scan.ServiceName()));
      ASSERT_EQ(Body(engine), Body(scan));

      String engineItem("-"), engineValue("-"), scanItem("-"), scanValue("-");
      const int engineDecoded =
          EngineOrder::toolDecodeItemValue(engineLine, engineItem, engineValue);
      ASSERT_EQ(engineDecoded, scan.toolDecodeItemValue(scanLine, scanItem, scanValue));
      ASSERT_EQ(Str(engineItem), Str(scanItem));
      ASSERT_EQ(Str(engineValue), Str(scanValue));
      decodedItems += engineDecoded;

      if (expected == 1) {
        ProcessInfo engineInfo, scanInfo, engineStop, scanStop;
        WatchSettings engineSettings, scanSettings;
        ASSERT_EQ(engine.ProcessInfoFromBody(engineInfo), scan.ProcessInfoFromBody(scanInfo));
        ASSERT_EQ(InfoFields(engineInfo), InfoFields(scanInfo));
        ASSERT_EQ(engine.WatchSettingsFromBody(engineSettings),
                  scan.WatchSettingsFromBody(scanSettings));
        ASSERT_EQ(SettingsFields(engineSettings), SettingsFields(scanSettings));
        ASSERT_EQ(engine.WatchStopFromBody(engineStop), scan.WatchStopFromBody(scanStop));
        ASSERT_EQ(InfoFields(engineStop), InfoFields(scanStop));
        ASSERT_EQ(engine.ExecuteOrder(engineList), scan.ExecuteOrder(connection));
        ASSERT_EQ(Table(engineList), Table(scanList));
        engine.Reset();
        scan.Reset();
        ++executed;
      }
    }
    ASSERT_EQ(engine.errors, ParserMessages(*log)) << "session " << session;
    log->Clear();
  }
  // The sessions must reach every kind of outcome, or the comparison proves
  // little: many lines, many executed orders, a table that was written.
  EXPECT_GT(lines, 40000);
  EXPECT_GT(executed, 1000);
  EXPECT_GT(decodedItems, 10000);
  EXPECT_FALSE(Table(scanList).empty());
}

}  // namespace
