// corrida.cpp - the process-wide run state and configuration record, and
// the end of a run: the exit handler and the end from a signal handler.
#include <unistd.h>

#include "control.h"

EstadoCorrida g_corrida;
Configuracion g_config;

void TerminarCorridaSenal(int codigo) {
  if (getpid() != g_corrida.lockpid) _exit(codigo);
  MedirResumenSenal();  // before the answer may be moved into retenidos/
  RetenerSenal();
  if (!g_corrida.reenvio) EscribirEstadoSenal(codigo);
  DeslockearDirectorioSenal();
  LogResumenSenal(codigo);
  cleanexitSenal();
  _exit(codigo);
}

void cleanexit() {
  LogMensaje("Exiting ...", 10);
  if (g_corrida.lockpid == getpid() && !g_corrida.locklpath.empty()) {
    unlink(g_corrida.locklpath.c_str());
    g_corrida.locklpath.clear();
  }
}

void cleanexitSenal() {
  LogMensajeSenal("Exiting ...", 10);
  if (g_corrida.lockpid == getpid() && !g_corrida.locklpath.empty()) {
    unlink(g_corrida.locklpath.c_str());
  }
}
