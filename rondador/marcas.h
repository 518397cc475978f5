// marcas.h - the scan of <basedir>/tx/: which markers wait, oldest first,
// whether a marker may start a client, and its deletion (the claim of its
// work) or its return after a failed start.
//
// Depends on registro.h and acceso.h; used by espera.cpp (the scan between
// waits), clientes.cpp (the terminal's name) and rondador.cpp.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "acceso.h"

namespace rondador {

// Whether a directory entry name counts as a marker (it does not begin
// with '.').
bool selectregfiles(const char *nombre);

// The terminal's name in a terminal root path: its last component.
const char *nombreterminal(const char *raiz);

// The markers of the last listing of buscartx that are still waiting,
// oldest first.
std::vector<std::string> marcasencola();

// Returns the name of the oldest marker in dir (by modification time,
// nanoseconds; equal times by name), or nothing when there is none or the
// listing fails. A marker that could not be deleted earlier is passed over
// until it changes (see borrarmarca). A marker whose owner is neither root
// nor the owner of the terminal root it names is deleted and logged, never
// returned.
std::optional<std::string> buscartx(const char *dir);
// Deletes the marker dir/name and syncs dir, so that the deletion outlives
// a power cut (a failed sync is logged). When the deletion fails the marker is remembered with
// its modification time so that buscartx does not return it again until it
// is touched or replaced; the failure is logged. Returns 0 or -1.
int borrarmarca(const char *dir, const std::string &nombre);
// Forgets the scan state kept between polls (the last listing, the markers
// passed over, the last listing error), as at the daemon's start. For tests
// that poll in one process more than once.
void reiniciarronda();

// The terminal root for a marker: <basedir>/<name>, or the same with the
// name in small letters when the first does not exist. Nothing when memory
// is short.
Texto raizdeterminal(const char *basedir, const std::string &nombre);
// Whether a marker of txdir may start a client. A marker named tx or
// holding control bytes, or whose terminal root exists but is not a
// directory or is txdir itself, would have the client (as root) work on
// what is not a terminal root: it is refused, logged, and the caller
// deletes it.
bool marcavalida(const char *txdir, const std::string &nombre, const char *raiz);
// Puts back in txdir the marker of a client that could not be started, so
// that it is tried again; logged either way.
void restituirmarca(const char *txdir, const std::string &nombre);

}  // namespace rondador
