#include "CleanEnvironment.h"

RunAs CleanEnvironment::AccountOf(uid_t uid) {
  RunAs account;
  std::string reason;
  if (!RunAs::ForUid(uid, account, reason)) {
    account = RunAs();
    account.uid = uid;
    account.home = "/";
    account.shell = "/bin/sh";
  }
  return account;
}

std::vector<std::string> CleanEnvironment::For(const RunAs& account) {
  std::vector<std::string> entries{kPath, "HOME=" + account.home, "SHELL=" + account.shell};
  if (!account.name.empty()) {
    entries.push_back("USER=" + account.name);
    entries.push_back("LOGNAME=" + account.name);
  }
  return entries;
}
