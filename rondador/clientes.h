// clientes.h - starting the client zelta for a terminal: the ping before
// the start (-p), the detached start, and what a child of the daemon
// inherits (see clientes.cpp).
//
// Depends on espera.h (a client's end pipe), marcas.h, unico.h, registro.h,
// opciones.h and acceso.h; used by rondador.cpp.
#pragma once

#include <sys/types.h>

#include "espera.h"

namespace rondador {

// Pings host with the system's "ping -qnc1" until it answers, at most
// kPingIntentos times, kPingEspera seconds each, and no more once a stop is
// asked for (finpedido). Returns whether it answered.
bool pinghost(const char *host);
// Ends the ping in progress, if any, with the terminate signal. For the
// stop's signal handler: async-signal-safe.
void cortarping();

// Double fork. Returns -1 (errno set), 0 in the grandchild, 1 in the caller;
// on 1 *nieto holds the grandchild's process id (0 when it could not be
// learnt).
int fork2(pid_t *nieto);

// Starts path with args (args[1] is the terminal root) as a detached
// grandchild; does not wait for it to end, only for its exec. The
// grandchild inherits fin's write end; the daemon counts the client as
// running until fin reports its end. Returns 0 once the client runs, -1
// (logged) when the fork or the exec failed.
int ejecutarzelta(const char *path, char *const args[], FinCliente *fin);

// Sets the disposition of senal to manejador (a function, SIG_DFL or
// SIG_IGN) with no flags: a wait in progress returns at once with EINTR.
// Returns what sigaction returned.
int fijarsenal(int senal, void (*manejador)(int));
// Records whether SIGHUP is ignored now, before the daemon takes it over,
// so that its children get it as it was given (restaurarhup).
void anotarhup();
// In a child before exec: SIGHUP as whoever started the daemon gave it.
void restaurarhup();

}  // namespace rondador
