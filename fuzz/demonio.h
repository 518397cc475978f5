// demonio.h - settings every daemon fuzz target starts from: a silent log
// (debug level 0, log stream /dev/null) and an empty transcoding table.
#pragma once

#include <cstdio>

#include "opciones.h"
#include "prestaciones.h"
#include "registro.h"
#include "apoyo.h"

namespace fuzz {

inline void PrepararRondador() {
  static FILE *nulo = fopen("/dev/null", "w");
  if (nulo == nullptr) Fallar("no se pudo abrir /dev/null");
  rondador::debuglevel = 0;
  rondador::logfile = nulo;
  rondador::vaciartabla();
}

}  // namespace fuzz
