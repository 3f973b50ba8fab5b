#include "ProcessInfo.h"

ProcessInfo::ProcessInfo() : pid(0), psNomWSet(0), psWSet(0), psErrors(0) {}
