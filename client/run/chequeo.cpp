// chequeo.cpp - the check run (-c): both configuration files read the way
// a run reads them, every problem printed with its file and line.
#include <cstdio>
#include <string>
#include <vector>

#include "run.h"

int ChequearConfiguracion(const char *argv0) {
  std::vector<Hallazgo> hallazgos;
  RevisarConfiguracion(argv0, hallazgos);
  RevisarDestinos(hallazgos);
  bool fallas = false;
  for (const Hallazgo &h : hallazgos) {
    std::string archivo = g_corrida.dirprog + h.archivo;
    std::string texto = (h.aviso ? "Aviso: " : "") + TextoVisible(h.texto);
    if (h.linea > 0) {
      printf("%s:%d: %s\n", archivo.c_str(), h.linea, texto.c_str());
    } else {
      printf("%s: %s\n", archivo.c_str(), texto.c_str());
    }
    if (!h.aviso) fallas = true;
  }
  // Warnings alone (what a run only warns about) do not fail the check.
  if (!fallas) {
    printf("Configuracion correcta: %szelta.conf, %szelta.destinos\n", g_corrida.dirprog.c_str(),
           g_corrida.dirprog.c_str());
  }
  fflush(stdout);
  return fallas ? kErrorConfiguracion : kExito;
}
