// estado.h - result codes, their message table and the status file
// estado.rsp (estado.cpp).
#pragma once

#include <cstddef>

// Result codes: the exit status of a run and the number estado.rsp
// carries. Functions that return a result code return int (the process's
// exit status), with these names for its values. The text of each code
// that has one is in estado.cpp's message table.
enum CodigoResultado : int {
  kExito = 0,                   // success: "Conexion OK"
  kExcesoTimeouts = 1,          // time-outs, or the session outlived TIEMPOMAXIMO
  kPerdidaPortadora = 2,        // carrier or connection lost
  kExcesoNaks = 3,              // too many NAKs or bad frames
  kModemSinInicializar = 4,     // INIT got no OK
  kSinConexion = 5,             // no modem, no answer, no TCP connection
  kAbortadoUsuario = 6,         // SIGINT, SIGTERM or SIGHUP; the protocol child killed
  kDirectorioNoEncontrado = 10, // upload/ or download/ missing or unusable
  kFaltaMemoria = 11,           // "Falta de memoria": a list the packer needs
  kDemasiadosArchivos = 12,     // more files (or blocks) than a bundle may hold
  kArchivoNoAbierto = 13,       // a file that must be read cannot be opened
  kErrorEscribiendo = 14,       // a write failed
  kErrorCreando = 15,           // a file or directory cannot be made
  kErrorConfiguracion = 16,     // zelta.conf or zelta.destinos
  kNoHayMemoria = 18,           // "No hay suficiente memoria"
  kRaizNoDisponible = 19,       // the root cannot be opened or another run holds it (no text)
  // Below zero: exit statuses of runs that end before a session, and the
  // configuration loader's own codes that estado.rsp carries with 16.
  kUsoInvalido = -1,            // bad command line (exit status 255)
  kIdentificacionFallida = -2,  // host identification failed (254)
  kConfigIncompleta = -2,       // MODEM or CODIGOINTERURBANO missing
  kConfigConErrores = -3,       // errors in zelta.conf
  kConfigSinArchivo = -15,      // no zelta.conf
};

// The text of a result code, or nullptr for codes without one.
const char *TextoMensaje(int codigo);

// Writes "<code>: <text>\r\n" to estado.rsp (mode 0666) in the terminal root,
// synced with the root, then undoes the directory lock. Failures are
// logged. Returns whether the new line is on the disk.
bool EscribirEstado(int codigo);

// Longest status line; ArmarLineaEstado formats "<code>: <text>\r\n" into
// linea without stdio or heap and returns its length.
constexpr size_t kMaxLineaEstado = 64;
size_t ArmarLineaEstado(int codigo, char *linea, size_t cap);
