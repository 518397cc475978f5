// unico.cpp - one daemon per base directory. Two daemons on one tx/ would
// both start a client for the same marker (and a late duplicate run can
// empty a download/ the first run completed), so the daemon holds
// flock(LOCK_EX) on tx/ for as long as it serves it.
//
// The lock lives on the directory itself, not on a name: when tx/ is
// deleted and made again, the new directory is locked anew as soon as it is
// seen, and a tx/ that is missing at start is locked when it appears. The
// descriptor is close-on-exec, so no client (and no ping) inherits it: a
// client that outlives a stopped daemon never keeps the next one out.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "acceso.h"
#include "rondador.h"

namespace {

// The tx/ this daemon holds locked (fd -1 while none).
struct EstadoUnico {
  Descriptor tx;
  dev_t dev = 0;
  ino_t ino = 0;
  int ultimoerror = 0;  // of the last failed flock, logged once
};
EstadoUnico g_unico;

}  // namespace

int tomartx(const char *dir) {
  struct stat st;
  if (stat(dir, &st) != 0) return errno;
  if (g_unico.tx.fd >= 0 && st.st_dev == g_unico.dev && st.st_ino == g_unico.ino) return 0;
  Descriptor nuevo;
  if (int e = abrirraiz(dir, nuevo); e != 0) return e;
  if (fstat(nuevo.fd, &st) != 0) return errno;
  if (flock(nuevo.fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return kTxOcupado;
    int e = errno;
    if (e != g_unico.ultimoerror) {
      log_f(1, "No se puede bloquear %s para este rondador: %s", dir, strerror(e));
      g_unico.ultimoerror = e;
    }
    return e;
  }
  g_unico.ultimoerror = 0;
  // Closing the old descriptor gives up the lock of a tx/ that is gone.
  g_unico.tx.reset(nuevo.fd);
  nuevo.fd = -1;
  g_unico.dev = st.st_dev;
  g_unico.ino = st.st_ino;
  log_f(5, "Bloqueado %s para este rondador", dir);
  return 0;
}
