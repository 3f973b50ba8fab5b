#include "Sleep.h"

#include <time.h>

void Sleep(unsigned milliseconds) {
  if (milliseconds == 0) {
    return;
  }
  timespec pause;
  pause.tv_sec = static_cast<time_t>(milliseconds / 1000);
  pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  nanosleep(&pause, nullptr);
}
