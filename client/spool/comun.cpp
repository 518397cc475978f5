// comun.cpp - small pieces the spool operations share: the piecewise line
// reader, the check of the spool directories, and the allocation switch the
// tests use to reach the out-of-memory paths.
#include <cerrno>

#include "control.h"
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

int VerificarDirectorios() {
  Descriptor raiz;
  if (int e = AbrirRaiz(g_corrida.raiz, raiz); e != 0) {
    LogFalla(1, ErrorArchivo(e), "No se pudo abrir el directorio %s", g_corrida.raiz.c_str());
    return kDirectorioNoEncontrado;
  }
  // Checked before anything is packed: a transaction whose answer has
  // nowhere to go is not sent, and its files stay in upload/.
  for (const char *sub : {"upload", "download"}) {
    int e = ComprobarDirectorio(raiz.fd, sub);
    if (e == 0) continue;
    if (e == ENOENT) {
      LogFormato(1, "No existe el directorio %s", UnirRuta(g_corrida.raiz, sub).c_str());
    } else {
      LogFalla(1, ErrorArchivo(e), "%s no es un directorio real",
               UnirRuta(g_corrida.raiz, sub).c_str());
    }
    return kDirectorioNoEncontrado;
  }
  return kExito;
}
