// WatchASCIIOrder: the parser and executor of the line protocol in which
// supervised processes talk to the daemon. It is fed one line at a time,
// collects one order block (a header "begin<service>", item lines
// "keyword: value", an end line "end." / "end;" / "end,") and, once the block
// is complete, turns it into one call on the table of watched processes:
// register (watch), heartbeat (msg), forget (mgmt) or reset a program name
// (reset); or into an order for the program keeper: stop, start or restart
// a program name, or reload the program files. Nothing is sent back.
//
// The list part holds the body lines of the block being collected, in arrival
// order, at most kMaxBodyLines of them. Owned by the routine serving one
// connection, for that connection's whole life. One thread at a time; the
// owner locks (in practice it never leaves its connection's thread). The
// grammar is decided by plain scans of each line, so connections share no
// lock while they decode.
#ifndef VIGILD_COLLECTOR_WATCHASCIIORDER_H
#define VIGILD_COLLECTOR_WATCHASCIIORDER_H

#include <string>

#include "ProcessInfo.h"
#include "SLList.h"
#include "String.h"
#include "WatchSettings.h"
#include "WatchedList.h"

class Cnx;

class WatchASCIIOrder : public SLList<String> {
 public:
  enum ServiceType {
    ServiceNone = 64,
    ServiceWatch = 65,
    ServiceMsg = 66,
    ServiceMgmt = 67,
    ServiceReset = 68,
    ServiceStop = 69,     // an operator's stop of a program file's program
    ServiceStart = 70,    // its start
    ServiceRestart = 71,  // its restart
    ServiceReload = 72,   // read the program files again
  };

  // A complete order needs a dozen item lines; this leaves room for repeats
  // while capping what one connection can make the daemon hold (about 2 MB
  // of 31,743-byte lines). A block that grows past it is dropped whole: one
  // warning, its remaining lines up to and including its end line are
  // swallowed, and nothing is executed.
  static constexpr int kMaxBodyLines = 64;

  WatchASCIIOrder();

  // Feeds one line (without its line feed). 1 when this line completed a
  // block that the caller should now execute, else 0.
  int ProcessLine(String& line);
  // Carries out the completed block on pepoWatchedList as the client's user
  // (see WatchedList::Watch, Beat and Forget for who may do what). 1 when the
  // watch was registered, the heartbeat found its pid, or the mgmt order ran;
  // else 0 (also when no table is published, when the published access rules
  // refuse a watch order's commands, when the item or process is another
  // user's, or when access rules are published and the user is unknown).
  // connection is not used.
  int ExecuteOrder(Cnx& connection);
  // The user owning the client end of the connection (-1: unknown), set by
  // the client routine once the access rules admitted it; a watch order
  // registers its process under this user, whose rights its commands get,
  // and only this user (or root) beats for the item or forgets it.
  void SetClientUid(long uid) { clientUid = uid; }
  // Forgets the block; returns 1.
  int Reset();

  // The steps of decoding, one at a time.
  // The order a header's service name names (whole name, any case), or
  // ServiceNone after logging the unknown name.
  int ServiceTypeFromName(String& name);
  // "pid", "psnomwset", "pswset", "pserrors" into info; 1 when pid ends
  // up non-zero.
  int ProcessInfoFromBody(ProcessInfo& info);
  // "psname", "psstart", "psstop", "wdfreq", "minwset", "maxwset",
  // "wsetincr", "maxerrors" into settings, switching on the tests they
  // configure; returns 1.
  int WatchSettingsFromBody(WatchSettings& settings);
  // "psdown" into end: "exit N" (0..255) and "signal N" (1..64) as Exit with
  // that text, "probe" as Probe. 1 when there is none or it is well formed,
  // 0 (end left alone) when its value is anything else.
  int EndReportFromBody(WatchedList::EndReport& end);
  // The last "psname" value into name; false when there is none.
  bool NameFromBody(std::string& name);
  // "stop" into info.pid; 1 when it is non-zero.
  int WatchStopFromBody(ProcessInfo& info);
  // Splits "keyword: value" into item and value, with the blanks around the
  // value removed (tabs are kept). 0, leaving both alone, when line does not
  // have that shape.
  int toolDecodeItemValue(String& line, String& item, String& value);

  const String& ServiceName() const { return serviceName; }
  ServiceType Type() const { return serviceType; }
  int InBlock() const { return inBlock; }
  int Complete() const { return complete; }

 private:
  // A stop, start, restart or reload order handed to pepoProgramKeeper;
  // refusals are logged through list.
  int _KeeperOrder(WatchedList& list, bool stranger);

  String serviceName;       // from the header of the current block
  ServiceType serviceType;  // ServiceNone also while an oversized block is swallowed
  int inBlock;              // 1 from a valid header to the end line
  int complete;             // 1 once the end line has been seen
  long clientUid = -1;      // the connection's user, -1 when unknown
};

#endif  // VIGILD_COLLECTOR_WATCHASCIIORDER_H
