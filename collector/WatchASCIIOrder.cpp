#include "WatchASCIIOrder.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

#include "AccessPolicy.h"
#include "LogServer.h"
#include "Regex.h"
#include "WatchedItem.h"
#include "WatchedList.h"

namespace {

// The grammar, shared by every connection. Constant-initialised, so they
// exist before main and before any other file's static initialisers run;
// each compiles on its first use.
const Regex rBeginHeader(Regex::kDeferred, "[bB][eE][gG][iI][nN][A-Za-z0-9]+", 1, 40);
const Regex rBeginKeyWord(Regex::kDeferred, "[bB][eE][gG][iI][nN]", 1, 40);
const Regex rEndHeader(Regex::kDeferred, "[eE][nN][dD][.;,]", 1, 40);
const Regex rWordSeparator(Regex::kDeferred, "[ \n\r]+", 1, 40);
const Regex rServiceWatch(Regex::kDeferred, "^[wW][aA][tT][cC][hH]", 1, 40);
const Regex rServiceMsg(Regex::kDeferred, "^[mM][sS][gG]", 1, 40);
const Regex rServiceMgmt(Regex::kDeferred, "^[mM][gG][mM][tT]", 1, 40);
const Regex rGlobalLineFormat(Regex::kDeferred, "^\\([A-Za-z0-9]+\\): ?\\(.*\\)", 1, 40);
const Regex rItemSeparator(Regex::kDeferred, "[ :]+", 1, 40);
const Regex rOrderStartingSpace(Regex::kDeferred, "^[ ]+", 1, 40);
const Regex rOrderLeadingSpace(Regex::kDeferred, "[ ]+$", 1, 40);
const Regex rPIDToken(Regex::kDeferred, "^[pP][iI][dD]", 1, 40);
const Regex rPSNomWSet(Regex::kDeferred, "^[pP][sS][nN][oO][mM][wW][sS][eE][tT]", 1, 40);
const Regex rPSWSet(Regex::kDeferred, "^[pP][sS][wW][sS][eE][tT]", 1, 40);
const Regex rPSErrors(Regex::kDeferred, "^[pP][sS][eE][rR][rR][oO][rR][sS]", 1, 40);
const Regex rPSName(Regex::kDeferred, "^[pP][sS][nN][aA][mM][eE]", 1, 40);
const Regex rPSStart(Regex::kDeferred, "^[pP][sS][sS][tT][aA][rR][tT]", 1, 40);
const Regex rPSStop(Regex::kDeferred, "^[pP][sS][sS][tT][oO][pP]", 1, 40);
const Regex rWDfreq(Regex::kDeferred, "^[wW][dD][fF][rR][eE][qQ]", 1, 40);
const Regex rMinWSet(Regex::kDeferred, "^[mM][iI][nN][wW][sS][eE][tT]", 1, 40);
const Regex rMaxWSet(Regex::kDeferred, "^[mM][aA][xX][wW][sS][eE][tT]", 1, 40);
const Regex rWSetIncr(Regex::kDeferred, "^[wW][sS][eE][tT][iI][nN][cC][rR]", 1, 40);
const Regex rMaxErrors(Regex::kDeferred, "^[mM][aA][xX][eE][rR][rR][oO][rR][sS]", 1, 40);
const Regex rStopWatching(Regex::kDeferred, "^[sS][tT][oO][pP]", 1, 40);

// Where r first occurs in text, and the length of that occurrence; -1 when
// it does not occur. The span comes back from the search call itself, so
// another thread using the same expression cannot slip in between.
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

// Keywords and service names count only when the expression covers the
// whole text, so "watcher" is not "watch" and "pids" is not "pid".
bool Whole(const Regex& r, const String& text) {
  return r.match(text.chars(), text.length(), 0) == text.length();
}

// The number in value as atoi reads it: leading white space, an optional
// sign, decimal digits up to the first other character, 0 without digits.
// Values out of range saturate at INT_MIN / INT_MAX instead: the text comes
// from a client, and atoi's overflow is undefined.
int ItemNumber(const String& value) {
  const int savedErrno = errno;
  const long number = strtol(value.chars(), nullptr, 10);
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
  LogServer::Report(Warning, "DL30102", text, "GENERIC", true);
}

}  // namespace

WatchASCIIOrder::WatchASCIIOrder() : serviceType(ServiceNone), inBlock(0), complete(0) {}

int WatchASCIIOrder::ProcessLine(String& line) {
  int matchLength = 0;
  if (inBlock == 1) {
    if (Find(rEndHeader, line, matchLength) >= 0) {
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
    if (length() >= kMaxBodyLines) {
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
  if (Find(rBeginHeader, line, matchLength) < 0) {
    return 0;
  }
  // The keyword is inside the header just found; the test only keeps a
  // broken invariant from turning into a read before the line.
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
  if (type != ServiceNone) {
    serviceType = static_cast<ServiceType>(type);
    inBlock = 1;
    clear();
  }
  return 0;
}

int WatchASCIIOrder::ServiceTypeFromName(String& name) {
  if (Whole(rServiceWatch, name)) {
    return ServiceWatch;
  }
  if (Whole(rServiceMsg, name)) {
    return ServiceMsg;
  }
  if (Whole(rServiceMgmt, name)) {
    return ServiceMgmt;
  }
  ReportProtocolError("[WatchASCIIOrder::ServiceTypeFromName] ERROR : Unknown service name '" +
                      std::string(name.chars()) + "'");
  return ServiceNone;
}

int WatchASCIIOrder::toolDecodeItemValue(String& line, String& item, String& value) {
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
  // One leading and one trailing run of blanks go; tabs stay. Only the
  // final run of blanks can match the trailing expression, so its search
  // starts there: from every earlier blank the engine would scan on to the
  // next non-blank, which makes a long value with many blanks quadratic, all
  // of it under the lock every connection shares.
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

int WatchASCIIOrder::ProcessInfoFromBody(ProcessInfo& info) {
  for (Pix p = first(); p != nullptr; next(p)) {
    String item;
    String value;
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

int WatchASCIIOrder::WatchSettingsFromBody(WatchSettings& settings) {
  for (Pix p = first(); p != nullptr; next(p)) {
    String item;
    String value;
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

int WatchASCIIOrder::WatchStopFromBody(ProcessInfo& info) {
  for (Pix p = first(); p != nullptr; next(p)) {
    String item;
    String value;
    if (toolDecodeItemValue((*this)(p), item, value) != 1) {
      continue;
    }
    if (Whole(rStopWatching, item)) {
      info.pid = ItemNumber(value);
    }
  }
  return info.pid != 0 ? 1 : 0;
}

int WatchASCIIOrder::ExecuteOrder(Cnx& /*connection*/) {
  WatchedList* list = pepoWatchedList;
  if (list == nullptr) {
    return 0;
  }
  switch (serviceType) {
    case ServiceWatch: {
      WatchedItem item;
      if (ProcessInfoFromBody(item.info) != 1 || WatchSettingsFromBody(item.settings) != 1) {
        return 0;
      }
      const AccessPolicy* policy = AccessPolicy::Current();
      if (policy != nullptr &&
          !policy->AdmitCommands(item.info.pid, item.settings.psStart, item.settings.psStop)) {
        return 0;
      }
      item.ownerUid = clientUid;
      return list->CreateNewWatch(item);
    }
    case ServiceMsg: {
      ProcessInfo info;
      ProcessInfoFromBody(info);
      return list->UpdateWatchedItem(info);
    }
    case ServiceMgmt: {
      ProcessInfo info;
      WatchStopFromBody(info);
      list->DeleteWatch(info.pid);
      return 1;
    }
    default:
      return 0;
  }
}

int WatchASCIIOrder::Reset() {
  clear();
  serviceName = String();
  serviceType = ServiceNone;
  inBlock = 0;
  complete = 0;
  return 1;
}
