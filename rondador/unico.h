// unico.h - one daemon per base directory: the flock on
// <basedir>/.rondador.lck that the daemon holds while it serves the base
// directory (see unico.cpp).
//
// Depends on registro.h and acceso.h; used by espera.cpp (the lock is
// checked before every scan), clientes.cpp (children let go of it) and
// rondador.cpp.
#pragma once

namespace rondador {

// The lock file's name in the base directory.
constexpr const char *kNombreUnico = ".rondador.lck";
// Results of tomarunico besides 0 and errno values: another process holds
// the lock; the name is not a regular file with one name owned by the
// daemon's user (root), so it is not used.
constexpr int kUnicoOcupado = -2;
constexpr int kUnicoAjeno = -3;
// How long a start waits for a departing daemon to let go of the lock.
constexpr int kEsperaUnicoMs = 5000;
// Sets the lock file to <basedir>/.rondador.lck and takes it (tomarunico),
// trying again for up to kEsperaUnicoMs while another process holds it.
// Returns what the last tomarunico returned.
int arrancarunico(const char *basedir);
// Takes flock(LOCK_EX|LOCK_NB) on the lock file (made 0600 when missing,
// opened without following a link) and holds it on a close-on-exec
// descriptor until the process ends or the name is given to another file; a
// lock already held on the file the name now gives is kept. Returns 0 when
// this daemon holds the lock on what the name now is (or no lock file is
// set: tests of the scan alone), kUnicoOcupado, kUnicoAjeno (logged once;
// a lock held before is kept) or an errno value (logged once; ENOENT while
// the base directory is missing: it is locked once it can be made).
int tomarunico();
// The lock file's path (empty until arrancarunico).
const char *rutaunico();
// In a child right after fork: closes the child's copy of the lock's
// descriptor, so that neither it nor what it execs holds the lock. The
// daemon's own lock stays.
void soltarunico();

}  // namespace rondador
