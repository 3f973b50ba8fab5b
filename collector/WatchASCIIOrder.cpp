#include "WatchASCIIOrder.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>

#include "AccessPolicy.h"
#include "LogServer.h"
#include "OrderCounters.h"
#include "ProgramKeeper.h"
#include "WatchedItem.h"
#include "WatchedList.h"

namespace {

// The grammar is a handful of fixed words matched without regard to ASCII
// case, so it is decided by plain scans of the line: no expression engine,
// no lock shared between connections, and the scans allocate nothing. The
// rules, each exactly what the word patterns of the protocol accept:
//   header   somewhere "begin" directly followed by a letter or digit
//   keyword  the first "begin" of the line; the service name runs from its
//            end to the first blank, line feed or carriage return
//   end line somewhere "end" directly followed by '.', ';' or ','
//   item     from the line start one or more letters or digits, a colon, and
//            no line feed after it; the value starts after the run of blanks
//            and colons that the colon opens
// Keywords and service names count only as whole words, so "watcher" is not
// "watch" and "pids" is not "pid".

bool IsAsciiAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// text[at..] starts with the lower-case word, letters in either case.
bool StartsNoCase(const char* text, int length, int at, const char* word) {
  for (int i = 0; word[i] != '\0'; ++i) {
    if (at + i >= length) {
      return false;
    }
    const char c = text[at + i];
    if (c != word[i] && static_cast<char>(c | 0x20) != word[i]) {
      return false;
    }
  }
  return true;
}

// text is exactly the lower-case word, letters in either case.
bool IsWord(const char* text, int length, const char* word) {
  return static_cast<int>(strlen(word)) == length && StartsNoCase(text, length, 0, word);
}

// Position of the first "begin", -1 when there is none.
int FindBegin(const char* text, int length, int from) {
  for (int i = from; i + 5 <= length; ++i) {
    if (StartsNoCase(text, length, i, "begin")) {
      return i;
    }
  }
  return -1;
}

bool HasHeader(const char* text, int length) {
  for (int at = FindBegin(text, length, 0); at >= 0; at = FindBegin(text, length, at + 1)) {
    if (at + 5 < length && IsAsciiAlnum(text[at + 5])) {
      return true;
    }
  }
  return false;
}

bool HasEnd(const char* text, int length) {
  for (int i = 0; i + 4 <= length; ++i) {
    const char mark = text[i + 3];
    if ((mark == '.' || mark == ';' || mark == ',') && StartsNoCase(text, length, i, "end")) {
      return true;
    }
  }
  return false;
}

// The spans of an item line: the keyword is text[0, itemLength), the value
// text[valueStart, valueEnd) without its surrounding blanks (tabs stay).
struct ItemSpans {
  int itemLength;
  int valueStart;
  int valueEnd;
};

bool DecodeItem(const char* text, int length, ItemSpans& spans) {
  int colon = 0;
  while (colon < length && IsAsciiAlnum(text[colon])) {
    ++colon;
  }
  if (colon == 0 || colon >= length || text[colon] != ':') {
    return false;
  }
  if (memchr(text + colon, '\n', static_cast<size_t>(length - colon)) != nullptr) {
    return false;
  }
  int start = colon;
  while (start < length && (text[start] == ' ' || text[start] == ':')) {
    ++start;
  }
  int end = length;
  while (end > start && text[end - 1] == ' ') {
    --end;
  }
  spans.itemLength = colon;
  spans.valueStart = start;
  spans.valueEnd = end;
  return true;
}

// The number at text (a value's start inside its NUL-terminated line) as
// atoi reads it: leading white space, an optional sign, decimal digits up to
// the first other character, 0 without digits; the blanks that end a value
// stop it like any other character. Values out of range saturate at INT_MIN
// / INT_MAX instead: the text comes from a client, and atoi's overflow is
// undefined.
int ItemNumber(const char* text) {
  const int savedErrno = errno;
  const long number = strtol(text, nullptr, 10);
  errno = savedErrno;
  if (number > INT_MAX) {
    return INT_MAX;
  }
  if (number < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(number);
}

// A client's order the daemon will not act on: logged as a protocol error.
void ReportProtocolError(const std::string& text) {
  OrderCounters::Daemon().CountProtocolError();
  LogServer::Report(Warning, "DL30102", text, "GENERIC", true);
}

// An order with a usable pid counts as executed, one without as refused.
void Count(int usable, OrderCounters::Order order) {
  if (usable == 1) {
    OrderCounters::Daemon().CountExecuted(order);
  } else {
    OrderCounters::Daemon().CountProtocolError();
  }
}

}  // namespace

WatchASCIIOrder::WatchASCIIOrder() : serviceType(ServiceNone), inBlock(0), complete(0) {}

int WatchASCIIOrder::ProcessLine(String& line) {
  const char* text = line.chars();
  const int length = line.length();
  if (inBlock == 1) {
    if (HasEnd(text, length)) {
      if (serviceType == ServiceNone) {
        // The end of an oversized block: the whole block goes.
        Reset();
        return 0;
      }
      complete = 1;
      return 1;
    }
    if (serviceType == ServiceNone) {
      return 0;
    }
    if (this->length() >= kMaxBodyLines) {
      ReportProtocolError("[WatchASCIIOrder::ProcessLine] ERROR : Order block '" +
                          std::string(serviceName.chars()) + "' longer than " +
                          std::to_string(kMaxBodyLines) + " lines, dropped");
      clear();
      serviceType = ServiceNone;
      return 0;
    }
    append(line);
    return 0;
  }
  if (!HasHeader(text, length)) {
    return 0;
  }
  // The name follows the line's first "begin", which need not be the one
  // that made the header ("begin beginwatch" names the empty service).
  const int nameStart = FindBegin(text, length, 0) + 5;
  int nameEnd = nameStart;
  while (nameEnd < length && text[nameEnd] != ' ' && text[nameEnd] != '\n' &&
         text[nameEnd] != '\r') {
    ++nameEnd;
  }
  serviceName = String(text + nameStart, nameEnd - nameStart);
  const int type = ServiceTypeFromName(serviceName);
  if (type != ServiceNone) {
    serviceType = static_cast<ServiceType>(type);
    inBlock = 1;
    clear();
  }
  return 0;
}

int WatchASCIIOrder::ServiceTypeFromName(String& name) {
  if (IsWord(name.chars(), name.length(), "watch")) {
    return ServiceWatch;
  }
  if (IsWord(name.chars(), name.length(), "msg")) {
    return ServiceMsg;
  }
  if (IsWord(name.chars(), name.length(), "mgmt")) {
    return ServiceMgmt;
  }
  if (IsWord(name.chars(), name.length(), "reset")) {
    return ServiceReset;
  }
  if (IsWord(name.chars(), name.length(), "stop")) {
    return ServiceStop;
  }
  if (IsWord(name.chars(), name.length(), "start")) {
    return ServiceStart;
  }
  if (IsWord(name.chars(), name.length(), "restart")) {
    return ServiceRestart;
  }
  if (IsWord(name.chars(), name.length(), "reload")) {
    return ServiceReload;
  }
  ReportProtocolError("[WatchASCIIOrder::ServiceTypeFromName] ERROR : Unknown service name '" +
                      std::string(name.chars()) + "'");
  return ServiceNone;
}

int WatchASCIIOrder::toolDecodeItemValue(String& line, String& item, String& value) {
  ItemSpans spans;
  if (!DecodeItem(line.chars(), line.length(), spans)) {
    return 0;
  }
  item = String(line.chars(), spans.itemLength);
  value = String(line.chars() + spans.valueStart, spans.valueEnd - spans.valueStart);
  return 1;
}

int WatchASCIIOrder::ProcessInfoFromBody(ProcessInfo& info) {
  for (Pix p = first(); p != nullptr; next(p)) {
    const String& line = (*this)(p);
    const char* text = line.chars();
    ItemSpans spans;
    if (!DecodeItem(text, line.length(), spans)) {
      continue;
    }
    const char* value = text + spans.valueStart;
    if (IsWord(text, spans.itemLength, "pid")) {
      info.pid = ItemNumber(value);
    } else if (IsWord(text, spans.itemLength, "psnomwset")) {
      info.psNomWSet = ItemNumber(value);
    } else if (IsWord(text, spans.itemLength, "pswset")) {
      info.psWSet = ItemNumber(value);
    } else if (IsWord(text, spans.itemLength, "pserrors")) {
      info.psErrors = ItemNumber(value);
    }
  }
  return info.pid != 0 ? 1 : 0;
}

int WatchASCIIOrder::WatchSettingsFromBody(WatchSettings& settings) {
  for (Pix p = first(); p != nullptr; next(p)) {
    const String& line = (*this)(p);
    const char* text = line.chars();
    ItemSpans spans;
    if (!DecodeItem(text, line.length(), spans)) {
      continue;
    }
    const char* value = text + spans.valueStart;
    const int valueLength = spans.valueEnd - spans.valueStart;
    if (IsWord(text, spans.itemLength, "psname")) {
      settings.psName = String(value, valueLength);
    } else if (IsWord(text, spans.itemLength, "psstart")) {
      settings.psStart = String(value, valueLength);
    } else if (IsWord(text, spans.itemLength, "psstop")) {
      settings.psStop = String(value, valueLength);
    } else if (IsWord(text, spans.itemLength, "wdfreq")) {
      settings.wdFreq = ItemNumber(value);
      settings.heartbeatOn = 1;
    } else if (IsWord(text, spans.itemLength, "minwset")) {
      settings.minWSet = ItemNumber(value);
      settings.wsetOn = 1;
    } else if (IsWord(text, spans.itemLength, "maxwset")) {
      settings.maxWSet = ItemNumber(value);
      settings.wsetOn = 1;
    } else if (IsWord(text, spans.itemLength, "wsetincr")) {
      settings.wsetIncr = ItemNumber(value);
      settings.wsetOn = 1;
    } else if (IsWord(text, spans.itemLength, "maxerrors")) {
      settings.maxErrors = ItemNumber(value);
      settings.errorsOn = 1;
    }
  }
  return 1;
}

int WatchASCIIOrder::EndReportFromBody(WatchedList::EndReport& end) {
  int wellFormed = 1;
  for (Pix p = first(); p != nullptr; next(p)) {
    const String& line = (*this)(p);
    ItemSpans spans;
    if (!DecodeItem(line.chars(), line.length(), spans) ||
        !IsWord(line.chars(), spans.itemLength, "psdown")) {
      continue;
    }
    const std::string value(line.chars() + spans.valueStart, spans.valueEnd - spans.valueStart);
    wellFormed = 0;
    if (value == "probe") {
      end.reason = Probe;
      end.exitText = std::string();
      wellFormed = 1;
      continue;
    }
    for (const auto& [word, most] : {std::pair<const char*, long>{"exit ", 255},
                                     std::pair<const char*, long>{"signal ", 64}}) {
      const size_t length = strlen(word);
      const std::string number = value.substr(std::min(length, value.size()));
      if (value.compare(0, length, word) != 0 || number.empty() || number.size() > 3 ||
          number.find_first_not_of("0123456789") != std::string::npos) {
        continue;
      }
      const long code = strtol(number.c_str(), nullptr, 10);
      if (code <= most && (code > 0 || word[0] == 'e')) {
        end.reason = Exit;
        end.exitText = word + std::to_string(code);
        wellFormed = 1;
      }
    }
    if (wellFormed == 0) {
      return 0;
    }
  }
  return wellFormed;
}

bool WatchASCIIOrder::NameFromBody(std::string& name) {
  bool named = false;
  for (Pix p = first(); p != nullptr; next(p)) {
    const String& line = (*this)(p);
    ItemSpans spans;
    if (DecodeItem(line.chars(), line.length(), spans) &&
        IsWord(line.chars(), spans.itemLength, "psname")) {
      name.assign(line.chars() + spans.valueStart, spans.valueEnd - spans.valueStart);
      named = true;
    }
  }
  return named;
}

int WatchASCIIOrder::WatchStopFromBody(ProcessInfo& info) {
  for (Pix p = first(); p != nullptr; next(p)) {
    const String& line = (*this)(p);
    ItemSpans spans;
    if (DecodeItem(line.chars(), line.length(), spans) &&
        IsWord(line.chars(), spans.itemLength, "stop")) {
      info.pid = ItemNumber(line.chars() + spans.valueStart);
    }
  }
  return info.pid != 0 ? 1 : 0;
}

int WatchASCIIOrder::ExecuteOrder(Cnx& /*connection*/) {
  WatchedList* list = pepoWatchedList;
  if (list == nullptr) {
    return 0;
  }
  const AccessPolicy* policy = AccessPolicy::Current();
  // Under access rules every admitted client has a known user; should one
  // still arrive unknown, it acts on nothing rather than on whatever was
  // registered as unknown.
  const bool stranger = policy != nullptr && clientUid < 0;
  switch (serviceType) {
    case ServiceWatch: {
      WatchedItem item;
      if (ProcessInfoFromBody(item.info) != 1 || WatchSettingsFromBody(item.settings) != 1) {
        OrderCounters::Daemon().CountProtocolError();
        return 0;
      }
      if (stranger) {
        list->Refuse("watch", item.info.pid, clientUid, WatchedList::UnknownUser);
        return 0;
      }
      if (policy != nullptr &&
          !policy->AdmitCommands(item.info.pid, item.settings.psStart, item.settings.psStop)) {
        return 0;
      }
      if (list->Watch(item, clientUid) != WatchedList::Done) {
        return 0;
      }
      OrderCounters::Daemon().CountExecuted(OrderCounters::kWatch);
      return 1;
    }
    case ServiceMsg: {
      ProcessInfo info;
      // A heartbeat without a pid cannot find its process; it is still
      // handed on, and counted as refused.
      const int usable = ProcessInfoFromBody(info);
      if (stranger) {
        list->Refuse("msg", info.pid, clientUid, WatchedList::UnknownUser);
        return 0;
      }
      // A malformed end report is refused as a whole: acting on half of it
      // would restart a program nobody asked to restart, or miss one.
      WatchedList::EndReport end;
      if (EndReportFromBody(end) != 1) {
        ReportProtocolError("[WatchASCIIOrder::ExecuteOrder] ERROR : msg order for pid " +
                            std::to_string(info.pid) + " refused: psdown is not 'exit N', "
                            "'signal N' or 'probe'");
        return 0;
      }
      const WatchedList::Verdict verdict = list->Beat(info, clientUid, &end);
      if (verdict == WatchedList::OtherUsersItem) {
        return 0;
      }
      Count(usable, OrderCounters::kMsg);
      return verdict == WatchedList::Done ? 1 : 0;
    }
    case ServiceMgmt: {
      ProcessInfo info;
      const int usable = WatchStopFromBody(info);
      if (stranger) {
        list->Refuse("mgmt", info.pid, clientUid, WatchedList::UnknownUser);
        return 0;
      }
      if (list->Forget(info.pid, clientUid) == WatchedList::OtherUsersItem) {
        return 0;
      }
      Count(usable, OrderCounters::kMgmt);
      return 1;
    }
    case ServiceReset: {
      std::string name;
      if (!NameFromBody(name)) {
        OrderCounters::Daemon().CountProtocolError();
        return 0;
      }
      if (stranger) {
        list->Refuse("reset", 0, clientUid, WatchedList::UnknownUser, name);
        return 0;
      }
      const WatchedList::Verdict verdict = list->Reset(name, clientUid);
      if (verdict == WatchedList::Done) {
        OrderCounters::Daemon().CountExecuted(OrderCounters::kReset);
      }
      return verdict == WatchedList::Done ? 1 : 0;
    }
    case ServiceStop:
    case ServiceStart:
    case ServiceRestart:
    case ServiceReload:
      return _KeeperOrder(*list, stranger);
    default:
      return 0;
  }
}

int WatchASCIIOrder::_KeeperOrder(WatchedList& list, bool stranger) {
  static const char* const kOrders[] = {"stop", "start", "restart", "reload"};
  const int index = static_cast<int>(serviceType) - static_cast<int>(ServiceStop);
  const char* order = kOrders[index];
  std::string name;
  if (serviceType != ServiceReload && !NameFromBody(name)) {
    OrderCounters::Daemon().CountProtocolError();
    return 0;
  }
  const bool reload = serviceType == ServiceReload;
  const std::string what = reload ? std::string("the program files") : name;
  ProgramKeeper* keeper = pepoProgramKeeper;
  if (stranger || keeper == nullptr) {
    list.Refuse(order, 0, clientUid, WatchedList::UnknownUser, what);
    return 0;
  }
  const ProgramKeeper::Verdict verdict =
      keeper->Order(static_cast<ProgramKeeper::Verb>(index), name, clientUid);
  if (verdict == ProgramKeeper::Unknown) {
    list.Refuse(order, 0, clientUid, WatchedList::NotFound, what);
    return 0;
  }
  if (verdict == ProgramKeeper::NotAllowed) {
    list.Refuse(order, 0, clientUid,
                reload ? WatchedList::NotDaemonsUser : WatchedList::NotProgramsUser, what);
    return 0;
  }
  // The order counters keep the four orders of the supervision protocol;
  // an operator's orders show in the log instead.
  return 1;
}

int WatchASCIIOrder::Reset() {
  clear();
  serviceName = String();
  serviceType = ServiceNone;
  inBlock = 0;
  complete = 0;
  return 1;
}
