// estado.cpp - the message table of result codes and the status file
// estado.rsp that tells whatever drives the terminal how the run ended.
#include <fcntl.h>
#include <unistd.h>

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

void EscribirEstado(int codigo) {
  std::string path = UnirRuta(g_corrida.raiz, "estado.rsp");
  // 0666 before the umask: under the daemon (umask 0) every program that
  // drives the terminal can rewrite it.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    LogFormato(1, "Creat %s: %m", path.c_str());
  } else {
    const char *texto = TextoMensaje(codigo);
    char linea[64];
    int n = snprintf(linea, sizeof linea, "%d: %s\r\n", codigo,
                     texto != nullptr ? texto : "Error desconocido");
    // A short write is finished; a failed one is not looked at further.
    for (int hecho = 0; hecho < n;) {
      ssize_t escrito = write(fd, linea + hecho, static_cast<size_t>(n - hecho));
      if (escrito <= 0) break;
      hecho += static_cast<int>(escrito);
    }
    close(fd);
    LogFormato(2, "Escribi %s", "estado.rsp");
  }
  DeslockearDirectorio();
}
