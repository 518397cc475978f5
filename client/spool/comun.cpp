// comun.cpp - small pieces the spool operations share: the piecewise line
// reader and the allocation switch the tests use to reach the out-of-memory
// paths.
#include "bundle.h"

int g_fallarAsignacionSpool = 0;

bool AsignacionPermitida() {
  if (g_fallarAsignacionSpool <= 0) return true;
  return --g_fallarAsignacionSpool != 0;
}

size_t LeerLineaSpool(FILE *f, char *buf, size_t max) {
  size_t n = 0;
  while (n < max) {
    int c = getc(f);
    if (c == EOF) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return n;
}
