#include "FuzzFile.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

FuzzFile::FuzzFile(const char* name) : fd(memfd_create(name, MFD_CLOEXEC)) {
  if (fd < 0) {
    perror("memfd_create");
    abort();
  }
  path = "/proc/self/fd/" + std::to_string(fd);
}

FuzzFile::~FuzzFile() { close(fd); }

void FuzzFile::Fill(const uint8_t* data, size_t size) {
  if (ftruncate(fd, 0) != 0) {
    perror("ftruncate");
    abort();
  }
  size_t written = 0;
  while (written < size) {
    const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (n <= 0) {
      perror("pwrite");
      abort();
    }
    written += static_cast<size_t>(n);
  }
}
