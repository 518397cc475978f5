// corrida.cpp - the process-wide run state and configuration record, and the
// path join every module uses.
#include "control.h"

EstadoCorrida g_corrida;
Configuracion g_config;

std::string UnirRuta(const std::string &raiz, const std::string &nombre) {
  if (!raiz.empty() && raiz.back() == '/') return raiz + nombre;
  return raiz + "/" + nombre;
}
