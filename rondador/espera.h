// espera.h - how the scan loop waits for work (inotify on tx/, the ends of
// the running clients, the self-pipe of the signal handlers, the poll
// pause), and the pipe by which the daemon learns that a client has ended
// (see espera.cpp).
//
// Depends on marcas.h (the scan between waits), unico.h, registro.h,
// opciones.h and acceso.h; used by clientes.cpp (a client's end pipe) and
// rondador.cpp.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>

namespace rondador {

// Sets up the watch of dir (tx/) with inotify; without inotify, or with the
// environment variable RONDADOR_SIN_INOTIFY set, markers are found by the
// poll alone. RONDADOR_PAUSA_MS replaces the poll pause (tests).
void iniciarespera(const char *dir);
// Returns the oldest marker in dir once there is one and fewer than
// maxclientes clients run (no limit when maxclientes is 0). Waits on inotify
// and on the ends of the running clients, for at most the poll pause each
// time, scanning dir after every wait. A reload asked for (recargapedida)
// is carried out by calling recargar between two waits. Before every scan
// it makes sure this daemon still holds the lock of its base directory
// (tomarunico). Returns nothing when the daemon is to stop (finpedido set,
// kFinPorTx when the lock went to another daemon).
std::optional<std::string> esperartx(const char *dir, void (*recargar)());

// The pipe by which the daemon learns that a client has ended; both ends
// -1 for a client that runs untracked.
struct FinCliente {
  int lectura = -1;
  int escritura = -1;
};
// Opens the pipe of the next client. Returns 0, or -1 (logged) when it
// cannot be made under a cap: the client must not start untracked. With no
// cap a failure is logged and 0 returned with both ends -1.
int abrirfin(FinCliente *fin);
// Closes both ends (the client could not be started).
void cerrarfin(FinCliente *fin);
// Daemon side, after the start: drops the write end and counts the client
// as running until the read end reports its end, which is logged with the
// pid, the result in raiz's estado.rsp and the time since the start.
// lanzado is CLOCK_REALTIME_COARSE taken before the start: an estado.rsp
// older than that was not written by this client.
void registrarcliente(FinCliente *fin, pid_t pid, const char *raiz, const timespec &lanzado);
// Grandchild side, before exec: keeps the write end open across exec.
void heredarfin(const FinCliente &fin);

// Makes the self-pipe that despertarespera writes to. Returns 0 or -1
// (logged; a signal then ends a wait by interrupting it only).
int abrirdespertador();
// Ends the wait in progress, or the next one, at once. Async-signal-safe.
void despertarespera();

}  // namespace rondador
