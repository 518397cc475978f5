// corte.cpp - libzeltacorte, a test-only preload library that models a power
// cut on the real file system, for file data only.
//
// It tracks every regular file under ZELTA_CORTE_ROOT that the program
// opens for writing or creates, and keeps its durable content: the content
// it had when first seen (empty for a file the run created), replaced by
// the current content at each fsync or fdatasync of it, and for every file
// at syncfs or sync. A cut puts every tracked file back to its durable
// content and kills the process with SIGKILL, as a power cut would leave
// the disk. Directory entries are taken as durable at once (a rename or an
// unlink made stays made); the order of the syncs around them is for the
// call trace to show.
//
// Environment:
//   ZELTA_CORTE_ROOT=DIR   the directory whose files are tracked and whose
//       calls are counted (required: nothing is done without it).
//   ZELTA_CORTE_EN=N       cut right after counted call N (1 = the first).
//   ZELTA_CORTE_TRAZA=FILE append one line per counted call, and one per
//       write to a socket whose data begins with EOT (0x04), and one per
//       connect: "N<TAB>call<TAB>path<TAB>path2<TAB>result", where N is the
//       call's number (for the socket lines, the number of the last counted
//       call), paths are "-" when the call has none, and result is the
//       return value or "-1:errno".
//   ZELTA_CORTE_CUENTA=FILE  at exit, the number of counted calls.
//
// Counted calls, when they touch a path or descriptor under DIR: open and
// creat for writing, unlink, unlinkat, rename, renameat, renameat2, link,
// linkat, mkdir, mkdirat, fsync, fdatasync, syncfs, sync, ftruncate,
// fchmod, the close of a descriptor opened for writing, and write. Buffered
// streams opened for writing under DIR are rebuilt on fopencookie(3), as in
// libzeltafault, so their writes are seen too. Nothing is counted before
// main starts.
//
// Nothing here allocates from the heap: durable contents live in memfds,
// and the tables are fixed.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace {

using FnOpen = int (*)(const char *, int, ...);
using FnOpenat = int (*)(int, const char *, int, ...);
using FnFdopen = FILE *(*)(int, const char *);
using FnFopen = FILE *(*)(const char *, const char *);
using FnWrite = ssize_t (*)(int, const void *, size_t);
using FnSend = ssize_t (*)(int, const void *, size_t, int);
using FnConnect = int (*)(int, const struct sockaddr *, socklen_t);
using FnRuta = int (*)(const char *);
using FnRutaModo = int (*)(const char *, mode_t);
using FnDos = int (*)(const char *, const char *);
using FnUnlinkat = int (*)(int, const char *, int);
using FnMkdirat = int (*)(int, const char *, mode_t);
using FnRenameat = int (*)(int, const char *, int, const char *);
using FnRenameat2 = int (*)(int, const char *, int, const char *, unsigned);
using FnLinkat = int (*)(int, const char *, int, const char *, int);
using FnFd = int (*)(int);
using FnSync = void (*)();
using FnFtruncate = int (*)(int, off_t);
using FnFchmod = int (*)(int, mode_t);
using FnExit = void (*)(int);
using FnStart = int (*)(int (*)(int, char **, char **), int, char **, void (*)(), void (*)(),
                        void (*)(), void *);

struct Reales {
  FnOpen open;
  FnOpenat openat;
  FnFdopen fdopen;
  FnFopen fopen;
  FnWrite write;
  FnSend send;
  FnConnect connect;
  FnRuta unlink;
  FnUnlinkat unlinkat;
  FnRutaModo mkdir;
  FnMkdirat mkdirat;
  FnDos rename;
  FnRenameat renameat;
  FnRenameat2 renameat2;
  FnDos link;
  FnLinkat linkat;
  FnFd fsync;
  FnFd fdatasync;
  FnFd syncfs;
  FnSync sync;
  FnFtruncate ftruncate;
  FnFchmod fchmod;
  FnFd close;
  FnExit exit_;
};

// One tracked file: its inode, a read-write descriptor on it that follows
// it through renames, and a memfd with its durable content.
struct Seguido {
  dev_t dev;
  ino_t ino;
  int guarda;
  int copia;
};

constexpr int kMaxSeguidos = 512;
constexpr int kMaxDescriptores = 4096;

// Plain data only: no constructor may run before the loader is done.
struct Estado {
  bool activo;  // main has started
  bool cortado;
  long cuenta;
  long en;      // the call to cut after; 0 none
  char raiz[PATH_MAX];
  size_t largoraiz;
  int traza;    // -1 none
  char archivocuenta[PATH_MAX];
  bool cuentaescrita;
  Seguido seguidos[kMaxSeguidos];
  int nseguidos;
  bool escrito[kMaxDescriptores];  // descriptor opened for writing under the root
  char buffer[65536];
  Reales real;
};
Estado g = {};

template <typename F>
F Buscar(const char *nombre) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, nombre));
}

void ResolverReales() {
  if (g.real.close != nullptr) return;
  g.real.open = Buscar<FnOpen>("open");
  g.real.openat = Buscar<FnOpenat>("openat");
  g.real.fdopen = Buscar<FnFdopen>("fdopen");
  g.real.fopen = Buscar<FnFopen>("fopen");
  g.real.write = Buscar<FnWrite>("write");
  g.real.send = Buscar<FnSend>("send");
  g.real.connect = Buscar<FnConnect>("connect");
  g.real.unlink = Buscar<FnRuta>("unlink");
  g.real.unlinkat = Buscar<FnUnlinkat>("unlinkat");
  g.real.mkdir = Buscar<FnRutaModo>("mkdir");
  g.real.mkdirat = Buscar<FnMkdirat>("mkdirat");
  g.real.rename = Buscar<FnDos>("rename");
  g.real.renameat = Buscar<FnRenameat>("renameat");
  g.real.renameat2 = Buscar<FnRenameat2>("renameat2");
  g.real.link = Buscar<FnDos>("link");
  g.real.linkat = Buscar<FnLinkat>("linkat");
  g.real.fsync = Buscar<FnFd>("fsync");
  g.real.fdatasync = Buscar<FnFd>("fdatasync");
  g.real.syncfs = Buscar<FnFd>("syncfs");
  g.real.sync = Buscar<FnSync>("sync");
  g.real.ftruncate = Buscar<FnFtruncate>("ftruncate");
  g.real.fchmod = Buscar<FnFchmod>("fchmod");
  g.real.exit_ = Buscar<FnExit>("_exit");
  g.real.close = Buscar<FnFd>("close");
}

void CopiarTexto(char *dst, const char *src, size_t cap) {
  size_t n = 0;
  if (src != nullptr) {
    for (; src[n] != '\0' && n + 1 < cap; n++) dst[n] = src[n];
  }
  dst[n] = '\0';
}

void LeerEntorno() {
  g.traza = -1;
  CopiarTexto(g.raiz, getenv("ZELTA_CORTE_ROOT"), sizeof g.raiz);
  g.largoraiz = strlen(g.raiz);
  while (g.largoraiz > 1 && g.raiz[g.largoraiz - 1] == '/') g.raiz[--g.largoraiz] = '\0';
  const char *en = getenv("ZELTA_CORTE_EN");
  g.en = en != nullptr ? atol(en) : 0;
  CopiarTexto(g.archivocuenta, getenv("ZELTA_CORTE_CUENTA"), sizeof g.archivocuenta);
  const char *traza = getenv("ZELTA_CORTE_TRAZA");
  if (traza != nullptr && *traza != '\0') {
    g.traza = g.real.open(traza, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
}

bool Activo() { return g.activo && g.largoraiz > 0 && !g.cortado; }

// True when the absolute path names the root or something below it.
bool BajoRaiz(const char *path) {
  return path != nullptr && g.largoraiz > 0 && strncmp(path, g.raiz, g.largoraiz) == 0 &&
         (path[g.largoraiz] == '/' || path[g.largoraiz] == '\0');
}

// The absolute path that (dir, path) names, in buf: the directory's path
// (from /proc, or the working directory) joined with path. Null when it
// cannot be told.
const char *RutaEn(int dir, const char *path, char *buf, size_t cap) {
  if (path == nullptr) return nullptr;
  if (path[0] == '/') {
    CopiarTexto(buf, path, cap);
    return buf;
  }
  ssize_t n;
  if (dir == AT_FDCWD) {
    if (getcwd(buf, cap) == nullptr) return nullptr;
    n = static_cast<ssize_t>(strlen(buf));
  } else {
    char enlace[64];
    snprintf(enlace, sizeof enlace, "/proc/self/fd/%d", dir);
    n = readlink(enlace, buf, cap - 1);
    if (n < 0) return nullptr;
  }
  size_t largo = strlen(path);
  if (static_cast<size_t>(n) + 1 + largo + 1 > cap) return nullptr;
  buf[n] = '/';
  memcpy(buf + n + 1, path, largo + 1);
  return buf;
}

// The path of a descriptor; false when it has none.
bool RutaDescriptor(int fd, char *ruta, size_t cap) {
  char enlace[64];
  snprintf(enlace, sizeof enlace, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(enlace, ruta, cap - 1);
  if (n < 0) return false;
  ruta[n] = '\0';
  return true;
}

// ---------------------------------------------------------------- trace

void Traza(long n, const char *llamada, const char *a, const char *b, long resultado, int error) {
  if (g.traza < 0) return;
  char linea[2 * PATH_MAX + 96];
  char res[32];
  if (resultado < 0) {
    snprintf(res, sizeof res, "-1:%d", error);
  } else {
    snprintf(res, sizeof res, "%ld", resultado);
  }
  int k = snprintf(linea, sizeof linea, "%ld\t%s\t%s\t%s\t%s\n", n, llamada,
                   a != nullptr ? a : "-", b != nullptr ? b : "-", res);
  if (k > static_cast<int>(sizeof linea) - 1) k = static_cast<int>(sizeof linea) - 1;
  ssize_t w = g.real.write(g.traza, linea, static_cast<size_t>(k));
  (void)w;
}

void EscribirCuenta() {
  if (g.cuentaescrita || g.archivocuenta[0] == '\0' || g.real.open == nullptr) return;
  g.cuentaescrita = true;
  int fd = g.real.open(g.archivocuenta, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char linea[32];
  int n = snprintf(linea, sizeof linea, "%ld\n", g.cuenta);
  ssize_t w = g.real.write(fd, linea, static_cast<size_t>(n));
  (void)w;
  g.real.close(fd);
}

// ---------------------------------------------------------------- durable contents

// Copies the whole content of desde over hacia.
bool CopiarContenido(int desde, int hacia) {
  if (g.real.ftruncate(hacia, 0) != 0) return false;
  off_t pos = 0;
  for (;;) {
    ssize_t n = pread(desde, g.buffer, sizeof g.buffer, pos);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    ssize_t hecho = 0;
    while (hecho < n) {
      ssize_t w = pwrite(hacia, g.buffer + hecho, static_cast<size_t>(n - hecho), pos + hecho);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      hecho += w;
    }
    pos += n;
  }
}

Seguido *BuscarSeguido(const struct stat &st) {
  for (int i = 0; i < g.nseguidos; i++) {
    if (g.seguidos[i].dev == st.st_dev && g.seguidos[i].ino == st.st_ino) return &g.seguidos[i];
  }
  return nullptr;
}

// Starts tracking the regular file open on fd, unless it is already: its
// durable content is what it holds now (conservado) or nothing (a file
// this run made).
void Seguir(int fd, bool conservado) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || BuscarSeguido(st) != nullptr) return;
  if (g.nseguidos == kMaxSeguidos) return;
  char enlace[64];
  snprintf(enlace, sizeof enlace, "/proc/self/fd/%d", fd);
  int guarda = g.real.open(enlace, O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (guarda < 0) return;
  int copia = memfd_create("corte", MFD_CLOEXEC);
  if (copia < 0 || (conservado && !CopiarContenido(guarda, copia))) {
    g.real.close(guarda);
    if (copia >= 0) g.real.close(copia);
    return;
  }
  g.seguidos[g.nseguidos++] = {st.st_dev, st.st_ino, guarda, copia};
}

// Before an open for writing of (dir, path): an existing regular file is
// tracked with the content it has before the open can truncate it.
void SeguirAntes(int dir, const char *path) {
  int fd = g.real.openat(dir, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return;
  Seguir(fd, true);
  g.real.close(fd);
}

// fsync of fd: a tracked file's durable content becomes its content now.
void Sincronizado(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  if (Seguido *s = BuscarSeguido(st)) CopiarContenido(s->guarda, s->copia);
}

void TodoSincronizado() {
  for (int i = 0; i < g.nseguidos; i++) CopiarContenido(g.seguidos[i].guarda, g.seguidos[i].copia);
}

// The cut: every tracked file back to its durable content, then the end.
[[noreturn]] void Cortar() {
  g.cortado = true;
  for (int i = 0; i < g.nseguidos; i++) CopiarContenido(g.seguidos[i].copia, g.seguidos[i].guarda);
  kill(getpid(), SIGKILL);
  for (;;) pause();
}

// Counts one call that changed something under the root (already made,
// with its result) and cuts when it is the chosen one.
void Contar(const char *llamada, const char *a, const char *b, long resultado, int error) {
  long n = ++g.cuenta;
  Traza(n, llamada, a, b, resultado, error);
  if (g.en > 0 && n == g.en) Cortar();
  errno = error;
}

// Counts a call on a descriptor under the root.
void ContarDescriptor(const char *llamada, int fd, long resultado, int error) {
  char ruta[PATH_MAX];
  if (RutaDescriptor(fd, ruta, sizeof ruta) && BajoRaiz(ruta)) {
    Contar(llamada, ruta, nullptr, resultado, error);
  }
  errno = error;
}

bool ParaEscribir(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

void MarcarEscrito(int fd, bool si) {
  if (fd >= 0 && fd < kMaxDescriptores) g.escrito[fd] = si;
}

bool Escrito(int fd) { return fd >= 0 && fd < kMaxDescriptores && g.escrito[fd]; }

// Every open goes through here: (dir, path) with its flags.
int AbrirEn(int dir, const char *path, int flags, mode_t modo) {
  char ruta[PATH_MAX];
  if (!Activo() || !ParaEscribir(flags) || !BajoRaiz(RutaEn(dir, path, ruta, sizeof ruta))) {
    return g.real.openat(dir, path, flags, modo);
  }
  SeguirAntes(dir, path);
  int fd = g.real.openat(dir, path, flags, modo);
  int error = errno;
  if (fd >= 0) {
    Seguir(fd, false);
    MarcarEscrito(fd, true);
  }
  Contar("open", ruta, nullptr, fd, error);
  return fd;
}

// ---------------------------------------------------------------- write

ssize_t Escribir(int fd, const void *datos, size_t largo) {
  ssize_t r = g.real.write(fd, datos, largo);
  if (!Activo()) return r;
  int error = errno;
  struct stat st;
  if (fstat(fd, &st) == 0) {
    if (S_ISREG(st.st_mode)) {
      char ruta[PATH_MAX];
      if (RutaDescriptor(fd, ruta, sizeof ruta) && BajoRaiz(ruta)) {
        MarcarEscrito(fd, true);
        Contar("write", ruta, nullptr, r, error);
      }
    } else if (S_ISSOCK(st.st_mode) && largo > 0 && static_cast<const char *>(datos)[0] == 0x04) {
      Traza(g.cuenta, "eot", "socket", nullptr, r, error);
    }
  }
  errno = error;
  return r;
}

// ---------------------------------------------------------------- streams

constexpr int kMaxGalletas = 64;
struct Galleta {
  bool usada;
  int fd;
};
Galleta g_galletas[kMaxGalletas];

ssize_t GalletaEscribir(void *c, const char *datos, size_t largo) {
  int fd = static_cast<Galleta *>(c)->fd;
  size_t hecho = 0;
  while (hecho < largo) {
    ssize_t n = Escribir(fd, datos + hecho, largo - hecho);
    if (n < 0) {
      if (errno == EINTR) continue;
      return hecho > 0 ? static_cast<ssize_t>(hecho) : -1;
    }
    hecho += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(hecho);
}

ssize_t GalletaLeer(void *c, char *datos, size_t largo) {
  return read(static_cast<Galleta *>(c)->fd, datos, largo);
}

int GalletaBuscar(void *c, off64_t *pos, int desde) {
  off64_t r = lseek64(static_cast<Galleta *>(c)->fd, *pos, desde);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}

int GalletaCerrar(void *c) {
  Galleta *gal = static_cast<Galleta *>(c);
  int r = close(gal->fd);  // through the hook below: a counted close
  gal->usada = false;
  return r;
}

bool ModoEscritura(const char *modo) {
  return modo != nullptr && (strchr(modo, 'w') != nullptr || strchr(modo, 'a') != nullptr ||
                             strchr(modo, '+') != nullptr);
}

FILE *Envolver(int fd, const char *modo) {
  Galleta *gal = nullptr;
  for (auto &c : g_galletas) {
    if (!c.usada) {
      gal = &c;
      break;
    }
  }
  if (gal == nullptr) return nullptr;
  char m[4] = {modo[0], '\0', '\0', '\0'};
  if (strchr(modo, '+') != nullptr) m[1] = '+';
  cookie_io_functions_t funciones = {GalletaLeer, GalletaEscribir, GalletaBuscar, GalletaCerrar};
  gal->usada = true;
  gal->fd = fd;
  FILE *f = fopencookie(gal, m, funciones);
  if (f == nullptr) {
    gal->usada = false;
    return nullptr;
  }
  f->_fileno = fd;
  return f;
}

bool RegularBajoRaiz(int fd) {
  struct stat st;
  char ruta[PATH_MAX];
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && RutaDescriptor(fd, ruta, sizeof ruta) &&
         BajoRaiz(ruta);
}

int FlagsModo(const char *modo) {
  bool mas = strchr(modo, '+') != nullptr;
  int f = 0;
  switch (modo[0]) {
    case 'r': f = mas ? O_RDWR : O_RDONLY; break;
    case 'w': f = (mas ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': f = (mas ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: return -1;
  }
  if (strchr(modo, 'e') != nullptr) f |= O_CLOEXEC;
  if (strchr(modo, 'x') != nullptr) f |= O_EXCL;
  return f;
}

FILE *Abrir(const char *path, const char *modo) {
  char ruta[PATH_MAX];
  int flags = modo != nullptr ? FlagsModo(modo) : -1;
  if (!Activo() || flags < 0 || !ModoEscritura(modo) ||
      !BajoRaiz(RutaEn(AT_FDCWD, path, ruta, sizeof ruta))) {
    return g.real.fopen(path, modo);
  }
  int fd = AbrirEn(AT_FDCWD, path, flags, 0666);
  if (fd < 0) return nullptr;
  FILE *f = RegularBajoRaiz(fd) ? Envolver(fd, modo) : nullptr;
  if (f == nullptr) f = g.real.fdopen(fd, modo);
  if (f == nullptr) {
    int e = errno;
    close(fd);
    errno = e;
  }
  return f;
}

// ---------------------------------------------------------------- the rest

// A call on one path (dir, path), counted when it is under the root.
template <typename F>
int UnaRuta(const char *llamada, int dir, const char *path, F hacer) {
  int r = hacer();
  if (!Activo()) return r;
  int error = errno;
  char ruta[PATH_MAX];
  if (BajoRaiz(RutaEn(dir, path, ruta, sizeof ruta))) Contar(llamada, ruta, nullptr, r, error);
  errno = error;
  return r;
}

// A call on two paths, counted when either is under the root. The paths
// are resolved before the call: after a rename the old one is gone.
template <typename F>
int DosRutas(const char *llamada, int d1, const char *p1, int d2, const char *p2, F hacer) {
  if (!Activo()) return hacer();
  char r1[PATH_MAX], r2[PATH_MAX];
  const char *a = RutaEn(d1, p1, r1, sizeof r1);
  const char *b = RutaEn(d2, p2, r2, sizeof r2);
  int r = hacer();
  int error = errno;
  if (BajoRaiz(a) || BajoRaiz(b)) Contar(llamada, a, b, r, error);
  errno = error;
  return r;
}

int (*g_main)(int, char **, char **) = nullptr;

int MainContado(int argc, char **argv, char **envp) {
  g.activo = true;
  return g_main(argc, argv, envp);
}

mode_t ModoVariable(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(ap, int))
             : 0;
}

__attribute__((destructor)) void AlTerminar() {
  EscribirCuenta();
  g.activo = false;
}

}  // namespace

// ---------------------------------------------------------------- hooks

extern "C" {

int __libc_start_main(int (*principal)(int, char **, char **), int argc, char **argv,
                      void (*init)(), void (*fini)(), void (*rtld_fini)(), void *pila);
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dir, const char *path, int flags);
int __openat64_2(int dir, const char *path, int flags);

int __libc_start_main(int (*principal)(int, char **, char **), int argc, char **argv,
                      void (*init)(), void (*fini)(), void (*rtld_fini)(), void *pila) {
  ResolverReales();
  LeerEntorno();
  g_main = principal;
  FnStart real = Buscar<FnStart>("__libc_start_main");
  return real(MainContado, argc, argv, init, fini, rtld_fini, pila);
}

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t modo = ModoVariable(flags, ap);
  va_end(ap);
  ResolverReales();
  return AbrirEn(AT_FDCWD, path, flags, modo);
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t modo = ModoVariable(flags, ap);
  va_end(ap);
  ResolverReales();
  return AbrirEn(AT_FDCWD, path, flags, modo);
}

int __open_2(const char *path, int flags) {
  ResolverReales();
  return AbrirEn(AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags) {
  ResolverReales();
  return AbrirEn(AT_FDCWD, path, flags, 0);
}

int openat(int dir, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t modo = ModoVariable(flags, ap);
  va_end(ap);
  ResolverReales();
  return AbrirEn(dir, path, flags, modo);
}

int openat64(int dir, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t modo = ModoVariable(flags, ap);
  va_end(ap);
  ResolverReales();
  return AbrirEn(dir, path, flags, modo);
}

int __openat_2(int dir, const char *path, int flags) {
  ResolverReales();
  return AbrirEn(dir, path, flags, 0);
}

int __openat64_2(int dir, const char *path, int flags) {
  ResolverReales();
  return AbrirEn(dir, path, flags, 0);
}

int creat(const char *path, mode_t modo) {
  ResolverReales();
  return AbrirEn(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, modo);
}

int creat64(const char *path, mode_t modo) { return creat(path, modo); }

FILE *fopen(const char *path, const char *modo) {
  ResolverReales();
  return Abrir(path, modo);
}

FILE *fopen64(const char *path, const char *modo) {
  ResolverReales();
  return Abrir(path, modo);
}

FILE *fdopen(int fd, const char *modo) {
  ResolverReales();
  if (Activo() && ModoEscritura(modo) && RegularBajoRaiz(fd)) {
    if (FILE *f = Envolver(fd, modo)) return f;
  }
  return g.real.fdopen(fd, modo);
}

ssize_t write(int fd, const void *datos, size_t largo) {
  ResolverReales();
  return Escribir(fd, datos, largo);
}

ssize_t send(int fd, const void *datos, size_t largo, int flags) {
  ResolverReales();
  ssize_t r = g.real.send(fd, datos, largo, flags);
  if (Activo() && largo > 0 && static_cast<const char *>(datos)[0] == 0x04) {
    int error = errno;
    Traza(g.cuenta, "eot", "socket", nullptr, r, error);
    errno = error;
  }
  return r;
}

int connect(int fd, const struct sockaddr *a, socklen_t largo) {
  ResolverReales();
  int r = g.real.connect(fd, a, largo);
  if (Activo()) {
    int error = errno;
    Traza(g.cuenta, "connect", "socket", nullptr, r, error);
    errno = error;
  }
  return r;
}

int unlink(const char *path) {
  ResolverReales();
  return UnaRuta("unlink", AT_FDCWD, path, [&] { return g.real.unlink(path); });
}

int unlinkat(int dir, const char *path, int flags) {
  ResolverReales();
  return UnaRuta("unlink", dir, path, [&] { return g.real.unlinkat(dir, path, flags); });
}

int mkdir(const char *path, mode_t modo) {
  ResolverReales();
  return UnaRuta("mkdir", AT_FDCWD, path, [&] { return g.real.mkdir(path, modo); });
}

int mkdirat(int dir, const char *path, mode_t modo) {
  ResolverReales();
  return UnaRuta("mkdir", dir, path, [&] { return g.real.mkdirat(dir, path, modo); });
}

int rename(const char *viejo, const char *nuevo) {
  ResolverReales();
  return DosRutas("rename", AT_FDCWD, viejo, AT_FDCWD, nuevo,
                  [&] { return g.real.rename(viejo, nuevo); });
}

int renameat(int dv, const char *viejo, int dn, const char *nuevo) {
  ResolverReales();
  return DosRutas("rename", dv, viejo, dn, nuevo,
                  [&] { return g.real.renameat(dv, viejo, dn, nuevo); });
}

int renameat2(int dv, const char *viejo, int dn, const char *nuevo, unsigned flags) {
  ResolverReales();
  return DosRutas("rename", dv, viejo, dn, nuevo,
                  [&] { return g.real.renameat2(dv, viejo, dn, nuevo, flags); });
}

int link(const char *viejo, const char *nuevo) {
  ResolverReales();
  return DosRutas("link", AT_FDCWD, viejo, AT_FDCWD, nuevo,
                  [&] { return g.real.link(viejo, nuevo); });
}

int linkat(int dv, const char *viejo, int dn, const char *nuevo, int flags) {
  ResolverReales();
  return DosRutas("link", dv, viejo, dn, nuevo,
                  [&] { return g.real.linkat(dv, viejo, dn, nuevo, flags); });
}

int fsync(int fd) {
  ResolverReales();
  int r = g.real.fsync(fd);
  int error = errno;
  if (r == 0) Sincronizado(fd);
  if (Activo()) ContarDescriptor("fsync", fd, r, error);
  errno = error;
  return r;
}

int fdatasync(int fd) {
  ResolverReales();
  int r = g.real.fdatasync(fd);
  int error = errno;
  if (r == 0) Sincronizado(fd);
  if (Activo()) ContarDescriptor("fdatasync", fd, r, error);
  errno = error;
  return r;
}

int syncfs(int fd) {
  ResolverReales();
  int r = g.real.syncfs(fd);
  int error = errno;
  if (r == 0) TodoSincronizado();
  if (Activo()) ContarDescriptor("syncfs", fd, r, error);
  errno = error;
  return r;
}

void sync() {
  ResolverReales();
  g.real.sync();
  TodoSincronizado();
  if (Activo()) Contar("sync", g.raiz, nullptr, 0, 0);
}

int ftruncate(int fd, off_t largo) {
  ResolverReales();
  int r = g.real.ftruncate(fd, largo);
  if (Activo()) ContarDescriptor("ftruncate", fd, r, errno);
  return r;
}

int fchmod(int fd, mode_t modo) {
  ResolverReales();
  int r = g.real.fchmod(fd, modo);
  if (Activo()) ContarDescriptor("fchmod", fd, r, errno);
  return r;
}

int close(int fd) {
  ResolverReales();
  if (!Activo() || !Escrito(fd)) return g.real.close(fd);
  char ruta[PATH_MAX];
  bool bajo = RutaDescriptor(fd, ruta, sizeof ruta) && BajoRaiz(ruta);
  MarcarEscrito(fd, false);
  int r = g.real.close(fd);
  int error = errno;
  if (bajo) Contar("close", ruta, nullptr, r, error);
  errno = error;
  return r;
}

void _exit(int estado) {
  ResolverReales();
  EscribirCuenta();
  g.real.exit_(estado);
  for (;;) pause();
}

}  // extern "C"
