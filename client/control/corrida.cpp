// corrida.cpp - the process-wide run state and configuration record, and
// the end of a run: the exit handler and the end that cannot go back to the
// driver.
#include <unistd.h>

#include <cstdlib>

#include "control.h"

EstadoCorrida g_corrida;
Configuracion g_config;

void TerminarCorrida(int codigo) {
  static bool terminando = false;
  if (terminando || getpid() != g_corrida.lockpid) _exit(codigo);
  terminando = true;
  MedirResumen();  // before the answer may be moved into retenidos/
  if (FaseActual() == kBundleConfirmado) RetenerRespuesta();
  (void)DisponerBundle(codigo);  // where the bundle went, or why not, is logged
  MarcarFase(kSinBundle);
  if (!g_corrida.reenvio) {
    (void)EscribirEstado(codigo);  // a failure is logged; the code is the exit status
  } else {
    DeslockearDirectorio();
  }
  LogResumen(codigo);
  exit(codigo);
}

void cleanexit() {
  LogMensaje("Exiting ...", 10);
  if (g_corrida.lockpid == getpid() && !g_corrida.locklpath.empty()) {
    unlink(g_corrida.locklpath.c_str());
    g_corrida.locklpath.clear();
  }
}
