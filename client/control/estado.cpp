// estado.cpp - the message table of result codes and the status file
// estado.rsp that tells whatever drives the terminal how the run ended.
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
  // drives the terminal can rewrite it. A link or special file standing
  // under the name is replaced, never written through.
  Descriptor raiz, fd;
  int e = AbrirRaiz(g_corrida.raiz, raiz);
  if (e == 0) e = CrearArchivo(raiz.fd, "estado.rsp", 0666, fd);
  if (e != 0) {
    LogFormato(1, "Creat %s: %s", path.c_str(), TextoErrorArchivo(e));
  } else {
    const char *texto = TextoMensaje(codigo);
    char linea[64];
    int n = snprintf(linea, sizeof linea, "%d: %s\r\n", codigo,
                     texto != nullptr ? texto : "Error desconocido");
    // A failed write is not looked at further.
    EscribirTodo(fd.fd, linea, static_cast<size_t>(n));
    fd.Cerrar();
    LogFormato(2, "Escribi %s", "estado.rsp");
  }
  DeslockearDirectorio();
}
