// rondador.h - the daemon rondador: it watches <basedir>/tx/ for transaction
// markers and starts the client zelta, detached, for each terminal root that
// drops one (after an optional ping and service-code rewrite, see
// prestaciones.h).
//
// The daemon's files, bottom up (each uses only those before it): acceso
// (file access, paths), opciones (settings), registro (log), unico (one
// daemon per base directory), prestaciones (service codes), marcas (the
// scan of tx/), espera (the wait and the clients' end pipes), clientes (the
// ping and the client start), rondador (start, signals, the loop).
//
// Depends on every other module of the daemon; used by main.cpp.
#pragma once

namespace rondador {

// The daemon's whole life; returns the exit status: of a start-up failure,
// 0 after a stop asked for by a signal, 1 when another daemon took over the
// base directory.
int rondador_main(int argc, char **argv);

}  // namespace rondador
