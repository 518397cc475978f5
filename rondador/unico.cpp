// unico.cpp - one daemon per base directory. Two daemons on one tx/ would
// both start a client for the same marker (and a late duplicate run can
// empty a download/ the first run completed), so the daemon holds
// flock(LOCK_EX) on <basedir>/.rondador.lck for as long as it serves the
// base directory.
//
// The lock is on a file the daemon's user (root) owns, mode 0600, opened
// without following a link: tx/ and the terminal roots belong to other
// users, and any process that can open a file can flock it, so a lock on
// tx/ (as it once was) let any terminal user keep every daemon from
// starting. A name that is not such a file is refused, never used.
//
// The descriptor is close-on-exec, and a child closes its copy right after
// fork (soltarunico), so no client, intermediate child or ping holds the
// lock: a client that outlives a stopped daemon never keeps the next one
// out. The file holds nothing, so it needs no sync: lost to a power cut, it
// is made again at the next start.
#include "unico.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "acceso.h"
#include "registro.h"

namespace rondador {

namespace {

// The lock file this daemon holds (fd -1 while none).
struct EstadoUnico {
  std::string ruta;  // <basedir>/.rondador.lck; empty until arrancarunico
  Descriptor fd;
  dev_t dev = 0;
  ino_t ino = 0;
  int ultimoerror = 0;  // of the last failed attempt, logged once
};
EstadoUnico g_unico;

// Opens ruta as the lock file, made 0600 when missing. An existing one must
// be a regular file with one name owned by the daemon's user; one that
// others could open is made 0600. Returns 0 with *st its status,
// kUnicoAjeno, or an errno value.
int abrirbloqueo(const char *ruta, Descriptor &fd, struct stat *st) {
  Descriptor f(open(ruta, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    0600));
  if (f.fd < 0) return errno == ELOOP || errno == EISDIR ? kUnicoAjeno : errno;
  if (fstat(f.fd, st) != 0) return errno;
  if (!S_ISREG(st->st_mode) || st->st_uid != geteuid() || st->st_nlink != 1) return kUnicoAjeno;
  if ((st->st_mode & 077) != 0 && fchmod(f.fd, 0600) != 0) return errno;
  fd.reset(f.fd);
  f.fd = -1;
  return 0;
}

}  // namespace

const char *rutaunico() { return g_unico.ruta.c_str(); }

int tomarunico() {
  if (g_unico.ruta.empty()) return 0;
  const char *ruta = g_unico.ruta.c_str();
  struct stat st;
  if (g_unico.fd.fd >= 0 && lstat(ruta, &st) == 0 && st.st_dev == g_unico.dev &&
      st.st_ino == g_unico.ino)
    return 0;
  Descriptor nuevo;
  int e = abrirbloqueo(ruta, nuevo, &st);
  if (e == 0 && flock(nuevo.fd, LOCK_EX | LOCK_NB) != 0)
    e = errno == EWOULDBLOCK ? kUnicoOcupado : errno;
  if (e != 0) {
    if (e != kUnicoOcupado && e != g_unico.ultimoerror) {
      if (e == kUnicoAjeno) {
        log_f(1, "%s no es un archivo regular de root con un solo nombre; no se usa como bloqueo",
              ruta);
      } else {
        log_falla(1, e, "No se puede bloquear %s para este rondador", ruta);
      }
      g_unico.ultimoerror = e;
    }
    return e;
  }
  g_unico.ultimoerror = 0;
  // Closing the old descriptor gives up the lock of a file that is gone.
  g_unico.fd.reset(nuevo.fd);
  nuevo.fd = -1;
  g_unico.dev = st.st_dev;
  g_unico.ino = st.st_ino;
  log_f(5, "Bloqueado %s para este rondador", ruta);
  return 0;
}

int arrancarunico(const char *basedir) {
  size_t n = strlen(basedir);
  g_unico.ruta = std::string(basedir) + (n > 0 && basedir[n - 1] == '/' ? "" : "/") + kNombreUnico;
  timespec inicio;
  clock_gettime(CLOCK_MONOTONIC, &inicio);
  bool avisado = false;
  for (;;) {
    int e = tomarunico();
    if (e != kUnicoOcupado) return e;
    timespec ahora;
    clock_gettime(CLOCK_MONOTONIC, &ahora);
    long ms = (ahora.tv_sec - inicio.tv_sec) * 1000 + (ahora.tv_nsec - inicio.tv_nsec) / 1000000;
    if (ms >= kEsperaUnicoMs) return e;
    if (!avisado) {
      log_f(2, "%s esta bloqueado; esperando hasta %d ms a que el otro rondador termine",
            g_unico.ruta.c_str(), kEsperaUnicoMs);
      avisado = true;
    }
    timespec pausa{0, 50000000};
    nanosleep(&pausa, nullptr);
  }
}

void soltarunico() {
  // close() alone: the lock belongs to the open file, which the daemon
  // still holds; flock(LOCK_UN) here would release it for the daemon too.
  if (g_unico.fd.fd >= 0) close(g_unico.fd.fd);
  g_unico.fd.fd = -1;
}

}  // namespace rondador
