#include "BError.h"

static const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

BError::BError(const char* fromText) : from(OrEmpty(fromText)) {}

BError::BError(const char* fromText, const char* messageText)
    : from(OrEmpty(fromText)), message(OrEmpty(messageText)) {}

int BError::AddErrorLine(int /*level*/, const char* /*line*/) { return 1; }

const char* BError::GetMsg(String& out) const {
  out = "BError: '";
  out += message.c_str();
  out += "',from '";
  out += from.c_str();
  out += "'";
  return static_cast<const char*>(out);
}
