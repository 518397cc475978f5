// cliente.h - settings every client fuzz target starts from: a silent log
// (debug level 0, sink /dev/null) and no run state left from the last input.
#pragma once

#include <cstdio>

#include "apoyo.h"
#include "control.h"

namespace fuzz {

inline void PrepararCliente() {
  static FILE *nulo = fopen("/dev/null", "w");
  if (nulo == nullptr) Fallar("no se pudo abrir /dev/null");
  g_corrida = EstadoCorrida();
  g_corrida.debuglevel = 0;
  g_corrida.raiz = Area() + "/raiz";
  g_corrida.dirprog = Area() + "/";
  ConfiguracionPorDefecto();
  FijarSalidaLog(nulo);
  ReiniciarLog();
}

}  // namespace fuzz
