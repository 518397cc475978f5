// estado.cpp - the message table of result codes and the status file
// estado.rsp that tells whatever drives the terminal how the run ended.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "control.h"

namespace {

const char *const kMensajes[kNoHayMemoria + 1] = {
    "Conexion OK",
    "Abortado por exceso de timeouts",
    "Perdida de portadora",
    "Abortado por exceso de NAKs",
    "No se pudo inicializar el modem",
    "No se pudo conectar",
    "Abortado por el usuario",
    nullptr,
    nullptr,
    nullptr,
    "Directorio no encontrado",
    "Falta de memoria",
    "Hay mas archivos de los esperados",
    "No se pudo abrir archivo",
    "Error escribiendo archivo",
    "Error creando archivo",
    "Error de configuracion",
    nullptr,
    "No hay suficiente memoria",
};

}  // namespace

const char *TextoMensaje(int codigo) {
  if (codigo < 0 || codigo > kNoHayMemoria) return nullptr;
  return kMensajes[codigo];
}

size_t ArmarLineaEstado(int codigo, char *linea, size_t cap) {
  const char *texto = TextoMensaje(codigo);
  if (texto == nullptr) texto = "Error desconocido";
  char cifras[12];
  size_t nc = 0;
  unsigned v = codigo < 0 ? 0u - static_cast<unsigned>(codigo) : static_cast<unsigned>(codigo);
  do {
    cifras[nc++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  size_t n = 0;
  auto poner = [&](char c) {
    if (n < cap) linea[n++] = c;
  };
  if (codigo < 0) poner('-');
  while (nc > 0) poner(cifras[--nc]);
  poner(':');
  poner(' ');
  for (const char *p = texto; *p != '\0'; p++) poner(*p);
  poner('\r');
  poner('\n');
  return n;
}

namespace {

// The new status line is written beside the file and renamed over it, so
// that whatever reads estado.rsp finds the old line or the whole new one,
// never an empty or cut file.
constexpr char kTemporal[] = "estado.rsp.tmp";

// Where GrabarEstado failed.
enum FalloEstado {
  kEstadoGrabado = 0,
  kEstadoNoCreado,
  kEstadoNoEscrito,
  kEstadoNoRenombrado,
  kEstadoNoSincronizado
};

// Writes the line to a new estado.rsp.tmp below the root raiz (0666 before
// the umask: under the daemon every program that drives the terminal can
// rewrite it; whatever stood under the temporary name is replaced, never
// written through), forces it to the disk, renames it over estado.rsp and
// syncs the root, so that the new name survives a power cut too.
// Returns kEstadoGrabado, or the step that failed with *error its errno
// value. Async-signal-safe.
FalloEstado GrabarEstado(int raiz, const char *linea, size_t n, int *error) {
  Descriptor fd;
  *error = CrearArchivo(raiz, kTemporal, 0666, fd);
  if (*error != 0) return kEstadoNoCreado;
  FalloEstado fallo = kEstadoGrabado;
  errno = 0;
  if (!EscribirTodo(fd.fd, linea, n) || fsync(fd.fd) != 0) {
    fallo = kEstadoNoEscrito;
    *error = errno != 0 ? errno : EIO;
  }
  if (!fd.Cerrar() && fallo == kEstadoGrabado) {
    fallo = kEstadoNoEscrito;
    *error = errno;
  }
  if (fallo == kEstadoGrabado && renameat(raiz, kTemporal, raiz, "estado.rsp") != 0) {
    fallo = kEstadoNoRenombrado;
    *error = errno;
  }
  // The old estado.rsp stays as it was; no half-written file is left.
  if (fallo != kEstadoGrabado) {
    unlinkat(raiz, kTemporal, 0);
    return fallo;
  }
  *error = Sincronizar(raiz);
  return *error == 0 ? kEstadoGrabado : kEstadoNoSincronizado;
}

}  // namespace

bool EscribirEstado(int codigo) {
  std::string path = UnirRuta(g_corrida.raiz, "estado.rsp");
  char linea[kMaxLineaEstado];
  size_t n = ArmarLineaEstado(codigo, linea, sizeof linea);
  // The run's own descriptor of the root, or one opened here.
  Descriptor propia;
  int raiz = g_corrida.raizfd;
  int error = 0;
  if (raiz < 0) {
    error = AbrirRaiz(g_corrida.raiz, propia);
    raiz = propia.fd;
  }
  FalloEstado fallo = error == 0 ? GrabarEstado(raiz, linea, n, &error) : kEstadoNoCreado;
  switch (fallo) {
    case kEstadoGrabado:
      LogFormato(2, "Escribi %s", "estado.rsp");
      break;
    case kEstadoNoCreado:
      LogFalla(1, ErrorArchivo(error), "Creat %s", path.c_str());
      break;
    case kEstadoNoEscrito:
      LogFalla(1, ErrorArchivo(error), "Error escribiendo %s",
               UnirRuta(g_corrida.raiz, kTemporal).c_str());
      break;
    case kEstadoNoRenombrado:
      LogFalla(1, ErrorArchivo(error), "No se pudo reemplazar %s", path.c_str());
      break;
    case kEstadoNoSincronizado:
      LogFalla(1, ErrorArchivo(error), "Error sincronizando %s", path.c_str());
      break;
  }
  DeslockearDirectorio();
  return fallo == kEstadoGrabado;
}
