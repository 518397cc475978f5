// demonio.h - settings every daemon fuzz target starts from: a silent log
// (debug level 0, log stream /dev/null) and an empty transcoding table.
#pragma once

#include <cstdio>

#include "hash.h"
#include "rondador.h"
#include "apoyo.h"

namespace fuzz {

inline void PrepararRondador() {
  static FILE *nulo = fopen("/dev/null", "w");
  if (nulo == nullptr) Fallar("no se pudo abrir /dev/null");
  debuglevel = 0;
  logfile = nulo;
  vaciartabla();
}

}  // namespace fuzz
