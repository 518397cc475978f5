// killpoint.cpp - libzeltakill, a test-only preload library: it counts the
// calls by which a program changes files or starts processes (unlink,
// unlinkat, rename, renameat, fsync, fdatasync, pwrite, fork, and open or
// openat with O_CREAT) and kills the program with SIGKILL right after the
// chosen one has returned, as a crash or a kill -9 there would.
//
// Environment (read and removed from the environment when the library is
// loaded, so that the programs it starts run untouched):
//   ZELTA_MATAR=N        kill the process after its call N (1 = the first);
//                        0 or unset: count only.
//   ZELTA_MATAR_TRAZA=F  append one line per counted call to F: its number,
//                        the call's name, the path it touched (for a call on
//                        a descriptor, what /proc names it; "-" for fork)
//                        and the process id.
//
// Only the process that loaded the library counts; its children (a fork's
// child before its exec) do not.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace {

long g_matar = 0;           // the call to kill after, 0 for none
long g_cuenta = 0;          // calls counted so far
pid_t g_pid = 0;            // the process that counts
char g_traza[4096] = "";    // trace file, "" for none

template <typename F>
F real(const char *nombre) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, nombre));
}

using FnOpen = int (*)(const char *, int, ...);
using FnOpenat = int (*)(int, const char *, int, ...);

__attribute__((constructor)) void iniciar() {
  if (const char *m = getenv("ZELTA_MATAR")) g_matar = atol(m);
  if (const char *t = getenv("ZELTA_MATAR_TRAZA")) snprintf(g_traza, sizeof g_traza, "%s", t);
  unsetenv("ZELTA_MATAR");
  unsetenv("ZELTA_MATAR_TRAZA");
  g_pid = getpid();
}

// Counts a call that has just returned; traces it and kills the process
// when it is the chosen one. errno is kept for the caller.
void contar(const char *llamada, const char *ruta) {
  if (getpid() != g_pid || g_pid == 0) return;
  int guardado = errno;
  ++g_cuenta;
  if (g_traza[0] != '\0') {
    static FnOpen abrir = real<FnOpen>("open");
    int fd = abrir(g_traza, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char linea[4200];
      int n = snprintf(linea, sizeof linea, "%ld %s %s %d\n", g_cuenta, llamada,
                       ruta != nullptr ? ruta : "-", static_cast<int>(g_pid));
      if (n > 0) {
        size_t largo = static_cast<size_t>(n) < sizeof linea ? static_cast<size_t>(n) : sizeof linea - 1;
        ssize_t w = write(fd, linea, largo);
        (void)w;
      }
      close(fd);
    }
  }
  if (g_matar > 0 && g_cuenta == g_matar) kill(g_pid, SIGKILL);
  errno = guardado;
}

// A call on a descriptor: traced with the path the descriptor names.
void contarfd(const char *llamada, int fd) {
  if (getpid() != g_pid || g_traza[0] == '\0') {
    contar(llamada, nullptr);
    return;
  }
  int guardado = errno;
  char enlace[64], ruta[4096];
  snprintf(enlace, sizeof enlace, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(enlace, ruta, sizeof ruta - 1);
  ruta[n > 0 ? n : 0] = '\0';
  errno = guardado;
  contar(llamada, n > 0 ? ruta : nullptr);
}

mode_t modo(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char *ruta, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t m = modo(flags, ap);
  va_end(ap);
  static FnOpen f = real<FnOpen>("open");
  int r = f(ruta, flags, m);
  if ((flags & O_CREAT) != 0) contar("open", ruta);
  return r;
}

int open64(const char *ruta, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t m = modo(flags, ap);
  va_end(ap);
  static FnOpen f = real<FnOpen>("open64");
  int r = f(ruta, flags, m);
  if ((flags & O_CREAT) != 0) contar("open", ruta);
  return r;
}

int openat(int dir, const char *ruta, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t m = modo(flags, ap);
  va_end(ap);
  static FnOpenat f = real<FnOpenat>("openat");
  int r = f(dir, ruta, flags, m);
  if ((flags & O_CREAT) != 0) contar("openat", ruta);
  return r;
}

int openat64(int dir, const char *ruta, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t m = modo(flags, ap);
  va_end(ap);
  static FnOpenat f = real<FnOpenat>("openat64");
  int r = f(dir, ruta, flags, m);
  if ((flags & O_CREAT) != 0) contar("openat", ruta);
  return r;
}

int unlink(const char *ruta) {
  static auto f = real<int (*)(const char *)>("unlink");
  int r = f(ruta);
  contar("unlink", ruta);
  return r;
}

int unlinkat(int dir, const char *ruta, int flags) {
  static auto f = real<int (*)(int, const char *, int)>("unlinkat");
  int r = f(dir, ruta, flags);
  contar("unlinkat", ruta);
  return r;
}

int rename(const char *de, const char *a) {
  static auto f = real<int (*)(const char *, const char *)>("rename");
  int r = f(de, a);
  contar("rename", a);
  return r;
}

int renameat(int dirde, const char *de, int dira, const char *a) {
  static auto f = real<int (*)(int, const char *, int, const char *)>("renameat");
  int r = f(dirde, de, dira, a);
  contar("renameat", a);
  return r;
}

int fsync(int fd) {
  static auto f = real<int (*)(int)>("fsync");
  int r = f(fd);
  contarfd("fsync", fd);
  return r;
}

int fdatasync(int fd) {
  static auto f = real<int (*)(int)>("fdatasync");
  int r = f(fd);
  contarfd("fdatasync", fd);
  return r;
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t pos) {
  static auto f = real<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
  ssize_t r = f(fd, buf, n, pos);
  contarfd("pwrite", fd);
  return r;
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off_t pos) {
  static auto f = real<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite64");
  ssize_t r = f(fd, buf, n, pos);
  contarfd("pwrite", fd);
  return r;
}

pid_t fork() {
  static auto f = real<pid_t (*)()>("fork");
  pid_t r = f();
  if (r > 0) contar("fork", nullptr);
  return r;
}

}  // extern "C"
