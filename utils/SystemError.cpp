#include "SystemError.h"

#include <string.h>

std::string SystemError::Text(int error) {
  char buffer[256];
  // The GNU variant returns the text, which may or may not be in buffer.
  return strerror_r(error, buffer, sizeof buffer);
}
