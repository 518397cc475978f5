// estado.cpp - the message table of result codes and the status file
// estado.rsp that tells whatever drives the terminal how the run ended.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "control.h"

namespace {

const char *const kMensajes[19] = {
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
  if (codigo < 0 || codigo > 18) return nullptr;
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

// Creates the status file (0666 before the umask: under the daemon every
// program that drives the terminal can rewrite it) and writes the line.
// Returns 0, -errno when it cannot be created, or errno when the write or
// the close fails. Async-signal-safe.
int GrabarEstado(const char *path, const char *linea, size_t n) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return -errno;
  int error = 0;
  for (size_t hecho = 0; hecho < n && error == 0;) {
    ssize_t escrito = write(fd, linea + hecho, n - hecho);
    if (escrito < 0 && errno == EINTR) continue;
    if (escrito <= 0) error = escrito < 0 ? errno : EIO;
    else hecho += static_cast<size_t>(escrito);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

void EscribirEstado(int codigo) {
  std::string path = UnirRuta(g_corrida.raiz, "estado.rsp");
  char linea[kMaxLineaEstado];
  size_t n = ArmarLineaEstado(codigo, linea, sizeof linea);
  int error = GrabarEstado(path.c_str(), linea, n);
  if (error < 0) {
    errno = -error;
    LogFormato(1, "Creat %s: %m", path.c_str());
  } else if (error > 0) {
    errno = error;
    LogFormato(1, "Error escribiendo %s: %m", path.c_str());
  } else {
    LogFormato(2, "Escribi %s", "estado.rsp");
  }
  DeslockearDirectorio();
}

void EscribirEstadoSenal(int codigo) {
  if (g_corrida.rutaestado.empty()) return;
  char linea[kMaxLineaEstado];
  size_t n = ArmarLineaEstado(codigo, linea, sizeof linea);
  if (GrabarEstado(g_corrida.rutaestado.c_str(), linea, n) != 0) {
    LogMensajeSenal("No se pudo escribir estado.rsp", 1);
  }
}
