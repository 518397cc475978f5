// faultinject.cpp - libzeltafault, a test-only preload library: it counts
// the calls a program makes on files while its main function runs (writes,
// opens, renames, links, unlinks, directories made, syncs, truncations) and
// its allocations, and makes one chosen call among them fail.
//
// Classes and the calls they count:
//   write     write, pwrite, pwrite64
//   open      open, open64, openat, openat64, creat, creat64, fopen,
//             fopen64 (and the checked __open_2 family)
//   rename    rename, renameat, renameat2
//   alloc     malloc, calloc, realloc (and so operator new)
//   link      link, linkat
//   unlink    unlink, unlinkat (AT_REMOVEDIR too), rmdir
//   mkdir     mkdir, mkdirat
//   sync      fsync, fdatasync, syncfs
//   truncate  ftruncate, ftruncate64
//
// Environment:
//   ZELTA_FAULT=CLASS:N[:MODE]  make call N (1 = the first) of CLASS fail.
//       MODE:  eio (default), enospc (the call fails with that error), or,
//              for write only, short (the call writes half of what it was
//              given, nothing at all for a single byte, and succeeds).
//   ZELTA_FAULT_ROOT=DIR  count only calls on paths under DIR: opens,
//       renames, links (either name under DIR), unlinks and mkdirs of such
//       paths; writes and truncations of descriptors of regular files under
//       DIR; syncs of descriptors of files or directories under DIR. A call
//       relative to a directory descriptor names the directory's path (read
//       from /proc/self/fd) joined with its argument. Allocations are
//       counted wherever they come from.
//   ZELTA_FAULT_COUNT=FILE  at the end, write "write=N open=N rename=N
//       alloc=N link=N unlink=N mkdir=N sync=N truncate=N" to FILE.
//   ZELTA_FAULT_TRACE=FILE  append one line per counted call: class, its
//       number, and the path it touched (the old name for a rename or a
//       link).
//   ZELTA_FAULT_LOG=FILE  when the fault fires, write the same kind of line
//       for the call that failed.
//
// Nothing is counted before main starts: the dynamic loader, the C
// library's and the program's start-up stay out of reach. Calls on files
// are counted until the exit handlers the program registered have run
// (the client removes its instance lock in one); allocations only until
// main returns or calls exit().
// Buffered streams opened for writing on files under DIR are rebuilt on
// fopencookie(3) so that their writes, which the C library makes without
// going through write(), reach the count too; fileno() keeps working.
//
// Allocations are counted through malloc, calloc and realloc (operator new
// ends in malloc). A sanitizer runtime that replaces malloc comes first in
// the search order and hides these three: under it, allocations count zero.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
}

namespace {

// New classes go at the end: the count line keeps the old ones first.
enum Clase { kWrite, kOpen, kRename, kAlloc, kLink, kUnlink, kMkdir, kSync, kTruncate, kClases };
const char *const kNombres[kClases] = {"write", "open",   "rename", "alloc",   "link",
                                       "unlink", "mkdir", "sync",   "truncate"};

enum Modo { kEIO, kENOSPC, kCorta };

using FnOpen = int (*)(const char *, int, ...);
using FnOpenat = int (*)(int, const char *, int, ...);
using FnCreat = int (*)(const char *, mode_t);
using FnFopen = FILE *(*)(const char *, const char *);
using FnFdopen = FILE *(*)(int, const char *);
using FnRename = int (*)(const char *, const char *);
using FnRenameat = int (*)(int, const char *, int, const char *);
using FnRenameat2 = int (*)(int, const char *, int, const char *, unsigned int);
using FnLink = int (*)(const char *, const char *);
using FnLinkat = int (*)(int, const char *, int, const char *, int);
using FnUnlink = int (*)(const char *);
using FnUnlinkat = int (*)(int, const char *, int);
using FnMkdir = int (*)(const char *, mode_t);
using FnMkdirat = int (*)(int, const char *, mode_t);
using FnSync = int (*)(int);
using FnWrite = ssize_t (*)(int, const void *, size_t);
using FnExit = void (*)(int);
using FnPwrite = ssize_t (*)(int, const void *, size_t, off_t);
using FnPwrite64 = ssize_t (*)(int, const void *, size_t, off64_t);
using FnFtruncate = int (*)(int, off_t);
using FnFtruncate64 = int (*)(int, off64_t);
using FnStart = int (*)(int (*)(int, char **, char **), int, char **, void (*)(), void (*)(),
                        void (*)(), void *);

struct Reales {
  FnOpen open;
  FnOpen open64;
  FnOpenat openat;
  FnOpenat openat64;
  FnCreat creat;
  FnFopen fopen;
  FnFopen fopen64;
  FnFdopen fdopen;
  FnRename rename;
  FnRenameat renameat;
  FnRenameat2 renameat2;
  FnLink link;
  FnLinkat linkat;
  FnUnlink unlink;
  FnUnlinkat unlinkat;
  FnUnlink rmdir;
  FnMkdir mkdir;
  FnMkdirat mkdirat;
  FnSync fsync;
  FnSync fdatasync;
  FnSync syncfs;
  FnPwrite pwrite;
  FnPwrite64 pwrite64;
  FnFtruncate ftruncate;
  FnFtruncate64 ftruncate64;
  FnExit exit;
  FnWrite write;
};

// Plain data only: no constructor may run before the loader is done.
struct Estado {
  bool activo;           // main, or the exit handlers it registered, running
  bool saliendo;         // past main: its exit handlers are running
  int dentro;            // nesting of our own calls (not counted)
  int clase;             // class to fail; -1 none
  long objetivo;         // number of the call to fail
  Modo modo;
  bool disparada;
  long cuenta[kClases];
  char raiz[PATH_MAX];
  size_t largoraiz;
  char archivocuenta[PATH_MAX];
  int traza;             // descriptor of the trace file, -1 none
  char archivolog[PATH_MAX];
  bool cuentaescrita;
  Reales real;
};
Estado g = {};

template <typename F>
F Buscar(const char *nombre) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, nombre));
}

void ResolverReales() {
  if (g.real.write != nullptr) return;
  g.real.open = Buscar<FnOpen>("open");
  g.real.open64 = Buscar<FnOpen>("open64");
  g.real.openat = Buscar<FnOpenat>("openat");
  g.real.openat64 = Buscar<FnOpenat>("openat64");
  g.real.creat = Buscar<FnCreat>("creat");
  g.real.fopen = Buscar<FnFopen>("fopen");
  g.real.fopen64 = Buscar<FnFopen>("fopen64");
  g.real.fdopen = Buscar<FnFdopen>("fdopen");
  g.real.rename = Buscar<FnRename>("rename");
  g.real.renameat = Buscar<FnRenameat>("renameat");
  g.real.renameat2 = Buscar<FnRenameat2>("renameat2");
  g.real.link = Buscar<FnLink>("link");
  g.real.linkat = Buscar<FnLinkat>("linkat");
  g.real.unlink = Buscar<FnUnlink>("unlink");
  g.real.unlinkat = Buscar<FnUnlinkat>("unlinkat");
  g.real.rmdir = Buscar<FnUnlink>("rmdir");
  g.real.mkdir = Buscar<FnMkdir>("mkdir");
  g.real.mkdirat = Buscar<FnMkdirat>("mkdirat");
  g.real.fsync = Buscar<FnSync>("fsync");
  g.real.fdatasync = Buscar<FnSync>("fdatasync");
  g.real.syncfs = Buscar<FnSync>("syncfs");
  g.real.pwrite = Buscar<FnPwrite>("pwrite");
  g.real.pwrite64 = Buscar<FnPwrite64>("pwrite64");
  g.real.ftruncate = Buscar<FnFtruncate>("ftruncate");
  g.real.ftruncate64 = Buscar<FnFtruncate64>("ftruncate64");
  g.real.exit = Buscar<FnExit>("exit");
  // write last: it is the mark that the rest is resolved.
  g.real.write = Buscar<FnWrite>("write");
}

void Copiar(char *dst, const char *src) {
  size_t n = 0;
  if (src != nullptr) {
    for (; src[n] != '\0' && n + 1 < PATH_MAX; n++) dst[n] = src[n];
  }
  dst[n] = '\0';
}

void LeerEntorno() {
  g.clase = -1;
  g.traza = -1;
  const char *f = getenv("ZELTA_FAULT");
  if (f != nullptr) {
    for (int c = 0; c < kClases; c++) {
      size_t n = strlen(kNombres[c]);
      if (strncmp(f, kNombres[c], n) != 0 || f[n] != ':') continue;
      char *fin = nullptr;
      long v = strtol(f + n + 1, &fin, 10);
      if (v < 1) break;
      g.clase = c;
      g.objetivo = v;
      g.modo = kEIO;
      if (*fin == ':') {
        if (strcmp(fin + 1, "enospc") == 0) g.modo = kENOSPC;
        if (strcmp(fin + 1, "short") == 0 && c == kWrite) g.modo = kCorta;
      }
      break;
    }
  }
  Copiar(g.raiz, getenv("ZELTA_FAULT_ROOT"));
  g.largoraiz = strlen(g.raiz);
  while (g.largoraiz > 1 && g.raiz[g.largoraiz - 1] == '/') g.raiz[--g.largoraiz] = '\0';
  Copiar(g.archivocuenta, getenv("ZELTA_FAULT_COUNT"));
  Copiar(g.archivolog, getenv("ZELTA_FAULT_LOG"));
  const char *traza = getenv("ZELTA_FAULT_TRACE");
  if (traza != nullptr && *traza != '\0') {
    g.traza = g.real.open(traza, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
}

// True when path names something under the root (every path when no root
// was given). Relative paths are taken from the working directory.
bool BajoRaiz(const char *path) {
  if (path == nullptr) return false;
  if (g.largoraiz == 0) return true;
  char absoluto[PATH_MAX];
  if (path[0] != '/') {
    if (getcwd(absoluto, sizeof absoluto) == nullptr) return false;
    size_t n = strlen(absoluto);
    if (n + 1 + strlen(path) + 1 > sizeof absoluto) return false;
    absoluto[n] = '/';
    memcpy(absoluto + n + 1, path, strlen(path) + 1);
    path = absoluto;
  }
  return strncmp(path, g.raiz, g.largoraiz) == 0 &&
         (path[g.largoraiz] == '/' || path[g.largoraiz] == '\0');
}

// The path that (dir, path) of an *at call names: path itself when it is
// absolute or dir is AT_FDCWD, else the directory's path (from /proc) and
// path joined in buf. Null when it cannot be told.
const char *RutaEn(int dir, const char *path, char *buf, size_t cap) {
  if (path == nullptr || path[0] == '/' || dir == AT_FDCWD) return path;
  char enlace[64];
  snprintf(enlace, sizeof enlace, "/proc/self/fd/%d", dir);
  ssize_t n = readlink(enlace, buf, cap - 1);
  if (n < 0 || static_cast<size_t>(n) + 1 + strlen(path) + 1 > cap) return nullptr;
  buf[n] = '/';
  memcpy(buf + n + 1, path, strlen(path) + 1);
  return buf;
}

// The path of a descriptor that refers to a regular file (or, with
// directorios, to a directory too); false for anything else.
bool RutaDescriptor(int fd, char *ruta, size_t cap, bool directorios = false) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode) && !(directorios && S_ISDIR(st.st_mode))) return false;
  char enlace[64];
  snprintf(enlace, sizeof enlace, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(enlace, ruta, cap - 1);
  if (n < 0) return false;
  ruta[n] = '\0';
  return true;
}

void EscribirLinea(int fd, int clase, long numero, const char *que) {
  if (fd < 0) return;
  char linea[PATH_MAX + 64];
  int n = snprintf(linea, sizeof linea, "%s %ld %s\n", kNombres[clase], numero,
                   que != nullptr ? que : "-");
  if (n > static_cast<int>(sizeof linea) - 1) n = static_cast<int>(sizeof linea) - 1;
  ssize_t w = g.real.write(fd, linea, static_cast<size_t>(n));
  (void)w;
}

// Counts one call of a class; true when it is the one to fail.
bool Contar(int clase, const char *que) {
  long n = ++g.cuenta[clase];
  if (g.traza >= 0 && clase != kAlloc) EscribirLinea(g.traza, clase, n, que);
  if (g.disparada || clase != g.clase || n != g.objetivo) return false;
  g.disparada = true;
  if (g.archivolog[0] != '\0') {
    int fd = g.real.open(g.archivolog, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EscribirLinea(fd, clase, n, que);
    if (fd >= 0) close(fd);
  }
  return true;
}

int ErrorElegido() { return g.modo == kENOSPC ? ENOSPC : EIO; }

// Nested calls (our own work, the C library's inside a hooked call) are
// neither counted nor failed.
struct Dentro {
  Dentro() { g.dentro++; }
  ~Dentro() { g.dentro--; }
  Dentro(const Dentro &) = delete;
  Dentro &operator=(const Dentro &) = delete;
};

bool Cuenta() { return g.activo && g.dentro == 0; }

// Allocations are counted while main runs only.
bool CuentaAlloc() { return Cuenta() && !g.saliendo; }

bool FallaRuta(int clase, const char *path) {
  if (!Cuenta() || !BajoRaiz(path)) return false;
  Dentro d;
  return Contar(clase, path);
}

// FallaRuta for the name (dir, path) of an *at call.
bool FallaRutaEn(int clase, int dir, const char *path) {
  if (!Cuenta()) return false;
  char completa[PATH_MAX];
  return FallaRuta(clase, RutaEn(dir, path, completa, sizeof completa));
}

// A call with two names (rename, link): counted when either is under the
// root, traced with the old one.
bool FallaPar(int clase, int dviejo, const char *viejo, int dnuevo, const char *nuevo) {
  if (!Cuenta()) return false;
  char cviejo[PATH_MAX], cnuevo[PATH_MAX];
  const char *rviejo = RutaEn(dviejo, viejo, cviejo, sizeof cviejo);
  const char *rnuevo = RutaEn(dnuevo, nuevo, cnuevo, sizeof cnuevo);
  if (rviejo == nullptr || rnuevo == nullptr || (!BajoRaiz(rviejo) && !BajoRaiz(rnuevo))) {
    return false;
  }
  Dentro d;
  return Contar(clase, rviejo);
}

// A call on a descriptor: counted when it refers to a regular file (or,
// with directorios, a directory) under the root.
bool FallaDescriptor(int clase, int fd, bool directorios) {
  if (!Cuenta()) return false;
  Dentro d;
  char ruta[PATH_MAX];
  return RutaDescriptor(fd, ruta, sizeof ruta, directorios) && BajoRaiz(ruta) &&
         Contar(clase, ruta);
}

// The result of a call made to fail: -1 with the chosen error.
int Fallar() {
  errno = ErrorElegido();
  return -1;
}

// ---------------------------------------------------------------- write

// One write (write, pwrite) of largo bytes to a descriptor, counted when it
// is a regular file under the root; real(n) makes the real call for n
// bytes. The one to fail fails, or for a short write is given half the
// bytes (none of a single byte, with no call made).
template <typename F>
ssize_t EscribirCon(int fd, size_t largo, F real) {
  if (!FallaDescriptor(kWrite, fd, false)) return real(largo);
  if (g.modo != kCorta) return Fallar();
  return largo < 2 ? 0 : real(largo / 2);
}

ssize_t Escribir(int fd, const void *datos, size_t largo) {
  return EscribirCon(fd, largo, [&](size_t n) { return g.real.write(fd, datos, n); });
}

// ---------------------------------------------------------------- streams

// The descriptor behind a rebuilt stream, in a fixed table: no allocation.
constexpr int kMaxGalletas = 64;
struct Galleta {
  bool usada;
  int fd;
};
Galleta g_galletas[kMaxGalletas];

// Writes like the C library does on a file stream: a short write is
// followed by another one for the rest.
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
  int r = close(gal->fd);
  gal->usada = false;
  return r;
}

bool ModoEscritura(const char *modo) {
  return modo != nullptr && (strchr(modo, 'w') != nullptr || strchr(modo, 'a') != nullptr ||
                             strchr(modo, '+') != nullptr);
}

// A stream on fd whose writes go through Escribir; nullptr when none can be
// made (the caller then makes an ordinary one).
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
  f->_fileno = fd;  // fileno() answers as for an ordinary stream
  return f;
}

bool EnvolverDescriptor(int fd, const char *modo) {
  if (!g.activo || !ModoEscritura(modo)) return false;
  char ruta[PATH_MAX];
  return RutaDescriptor(fd, ruta, sizeof ruta) && BajoRaiz(ruta);
}

// The flags fopen uses for a mode.
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

FILE *Abrir(FnFopen real, const char *path, const char *modo) {
  if (FallaRuta(kOpen, path)) {
    errno = ErrorElegido();
    return nullptr;
  }
  if (!g.activo || !ModoEscritura(modo) || !BajoRaiz(path)) return real(path, modo);
  Dentro d;
  int flags = FlagsModo(modo);
  if (flags < 0) return real(path, modo);
  int fd = g.real.open(path, flags, 0666);
  if (fd < 0) return nullptr;
  FILE *f = nullptr;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) f = Envolver(fd, modo);
  if (f == nullptr) f = g.real.fdopen(fd, modo);
  if (f == nullptr) {
    int e = errno;
    close(fd);
    errno = e;
  }
  return f;
}

// ---------------------------------------------------------------- totals

void EscribirCuenta() {
  if (g.cuentaescrita || g.archivocuenta[0] == '\0' || g.real.open == nullptr) return;
  g.cuentaescrita = true;
  int fd = g.real.open(g.archivocuenta, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char linea[320];
  int n = 0;
  for (int c = 0; c < kClases; c++) {
    n += snprintf(linea + n, sizeof linea - static_cast<size_t>(n), "%s%s=%ld", c > 0 ? " " : "",
                  kNombres[c], g.cuenta[c]);
  }
  n += snprintf(linea + n, sizeof linea - static_cast<size_t>(n), "\n");
  ssize_t w = g.real.write(fd, linea, static_cast<size_t>(n));
  (void)w;
  close(fd);
}

__attribute__((destructor)) void AlTerminar() {
  g.activo = false;
  EscribirCuenta();
}

int (*g_main)(int, char **, char **) = nullptr;

// The last of the program's exit handlers: counting ends here.
void AlSalir() {
  g.activo = false;
  EscribirCuenta();
}

int MainContado(int argc, char **argv, char **envp) {
  // Registered before anything main registers, so it runs after all of
  // those: what the program's own exit handlers do on files (the client
  // removes its instance lock in one) is counted too. Without it, counting
  // ends when main returns.
  if (atexit(AlSalir) != 0) g.saliendo = true;
  g.activo = true;
  int r = g_main(argc, argv, envp);
  if (g.saliendo) {
    AlSalir();
  } else {
    g.saliendo = true;
  }
  return r;
}

mode_t ModoVariable(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(ap, int))
             : 0;
}

int AbrirRuta(FnOpen real, const char *path, int flags, mode_t modo) {
  if (FallaRuta(kOpen, path)) {
    errno = ErrorElegido();
    return -1;
  }
  return real(path, flags, modo);
}

int AbrirEn(FnOpenat real, int dir, const char *path, int flags, mode_t modo) {
  char completa[PATH_MAX];
  if (FallaRuta(kOpen, RutaEn(dir, path, completa, sizeof completa))) {
    errno = ErrorElegido();
    return -1;
  }
  return real(dir, path, flags, modo);
}

}  // namespace

// ---------------------------------------------------------------- hooks

extern "C" {

// glibc's entry and its checked open variants, which no header declares.
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
  return AbrirRuta(g.real.open, path, flags, modo);
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t modo = ModoVariable(flags, ap);
  va_end(ap);
  ResolverReales();
  return AbrirRuta(g.real.open64, path, flags, modo);
}

int __open_2(const char *path, int flags) {
  ResolverReales();
  return AbrirRuta(g.real.open, path, flags, 0);
}

int __open64_2(const char *path, int flags) {
  ResolverReales();
  return AbrirRuta(g.real.open64, path, flags, 0);
}

int openat(int dir, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t modo = ModoVariable(flags, ap);
  va_end(ap);
  ResolverReales();
  return AbrirEn(g.real.openat, dir, path, flags, modo);
}

int openat64(int dir, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t modo = ModoVariable(flags, ap);
  va_end(ap);
  ResolverReales();
  return AbrirEn(g.real.openat64, dir, path, flags, modo);
}

int __openat_2(int dir, const char *path, int flags) {
  ResolverReales();
  return AbrirEn(g.real.openat, dir, path, flags, 0);
}

int __openat64_2(int dir, const char *path, int flags) {
  ResolverReales();
  return AbrirEn(g.real.openat64, dir, path, flags, 0);
}

int creat(const char *path, mode_t modo) {
  ResolverReales();
  if (FallaRuta(kOpen, path)) {
    errno = ErrorElegido();
    return -1;
  }
  return g.real.creat(path, modo);
}

int creat64(const char *path, mode_t modo) { return creat(path, modo); }

FILE *fopen(const char *path, const char *modo) {
  ResolverReales();
  return Abrir(g.real.fopen, path, modo);
}

FILE *fopen64(const char *path, const char *modo) {
  ResolverReales();
  return Abrir(g.real.fopen64, path, modo);
}

FILE *fdopen(int fd, const char *modo) {
  ResolverReales();
  if (EnvolverDescriptor(fd, modo)) {
    Dentro d;
    if (FILE *f = Envolver(fd, modo)) return f;
  }
  return g.real.fdopen(fd, modo);
}

int rename(const char *viejo, const char *nuevo) {
  ResolverReales();
  if (FallaPar(kRename, AT_FDCWD, viejo, AT_FDCWD, nuevo)) return Fallar();
  return g.real.rename(viejo, nuevo);
}

int renameat(int dviejo, const char *viejo, int dnuevo, const char *nuevo) {
  ResolverReales();
  if (FallaPar(kRename, dviejo, viejo, dnuevo, nuevo)) return Fallar();
  return g.real.renameat(dviejo, viejo, dnuevo, nuevo);
}

int renameat2(int dviejo, const char *viejo, int dnuevo, const char *nuevo, unsigned int flags) {
  ResolverReales();
  if (FallaPar(kRename, dviejo, viejo, dnuevo, nuevo)) return Fallar();
  return g.real.renameat2(dviejo, viejo, dnuevo, nuevo, flags);
}

int link(const char *viejo, const char *nuevo) {
  ResolverReales();
  if (FallaPar(kLink, AT_FDCWD, viejo, AT_FDCWD, nuevo)) return Fallar();
  return g.real.link(viejo, nuevo);
}

int linkat(int dviejo, const char *viejo, int dnuevo, const char *nuevo, int flags) {
  ResolverReales();
  if (FallaPar(kLink, dviejo, viejo, dnuevo, nuevo)) return Fallar();
  return g.real.linkat(dviejo, viejo, dnuevo, nuevo, flags);
}

// unlink is called from the client's signal handlers too: this path takes
// no lock and allocates nothing.
int unlink(const char *path) {
  ResolverReales();
  if (FallaRuta(kUnlink, path)) return Fallar();
  return g.real.unlink(path);
}

int unlinkat(int dir, const char *path, int flags) {
  ResolverReales();
  if (FallaRutaEn(kUnlink, dir, path)) return Fallar();
  return g.real.unlinkat(dir, path, flags);
}

int rmdir(const char *path) {
  ResolverReales();
  if (FallaRuta(kUnlink, path)) return Fallar();
  return g.real.rmdir(path);
}

int mkdir(const char *path, mode_t modo) {
  ResolverReales();
  if (FallaRuta(kMkdir, path)) return Fallar();
  return g.real.mkdir(path, modo);
}

int mkdirat(int dir, const char *path, mode_t modo) {
  ResolverReales();
  if (FallaRutaEn(kMkdir, dir, path)) return Fallar();
  return g.real.mkdirat(dir, path, modo);
}

int fsync(int fd) {
  ResolverReales();
  if (FallaDescriptor(kSync, fd, true)) return Fallar();
  return g.real.fsync(fd);
}

int fdatasync(int fd) {
  ResolverReales();
  if (FallaDescriptor(kSync, fd, true)) return Fallar();
  return g.real.fdatasync(fd);
}

int syncfs(int fd) {
  ResolverReales();
  if (FallaDescriptor(kSync, fd, true)) return Fallar();
  return g.real.syncfs(fd);
}

// exit from inside main: the exit handlers run from here on.
void exit(int estado) {
  ResolverReales();
  if (g.activo) g.saliendo = true;
  g.real.exit(estado);
  __builtin_unreachable();
}

ssize_t write(int fd, const void *datos, size_t largo) {
  ResolverReales();
  return Escribir(fd, datos, largo);
}

ssize_t pwrite(int fd, const void *datos, size_t largo, off_t pos) {
  ResolverReales();
  return EscribirCon(fd, largo, [&](size_t n) { return g.real.pwrite(fd, datos, n, pos); });
}

ssize_t pwrite64(int fd, const void *datos, size_t largo, off64_t pos) {
  ResolverReales();
  return EscribirCon(fd, largo, [&](size_t n) { return g.real.pwrite64(fd, datos, n, pos); });
}

int ftruncate(int fd, off_t largo) {
  ResolverReales();
  if (FallaDescriptor(kTruncate, fd, false)) return Fallar();
  return g.real.ftruncate(fd, largo);
}

int ftruncate64(int fd, off64_t largo) {
  ResolverReales();
  if (FallaDescriptor(kTruncate, fd, false)) return Fallar();
  return g.real.ftruncate64(fd, largo);
}

void *malloc(size_t n) {
  if (CuentaAlloc()) {
    Dentro d;
    if (Contar(kAlloc, nullptr)) {
      errno = ENOMEM;
      return nullptr;
    }
  }
  return __libc_malloc(n);
}

void *calloc(size_t n, size_t t) {
  if (CuentaAlloc()) {
    Dentro d;
    if (Contar(kAlloc, nullptr)) {
      errno = ENOMEM;
      return nullptr;
    }
  }
  return __libc_calloc(n, t);
}

void *realloc(void *p, size_t n) {
  if (CuentaAlloc()) {
    Dentro d;
    if (Contar(kAlloc, nullptr)) {
      errno = ENOMEM;
      return nullptr;
    }
  }
  return __libc_realloc(p, n);
}

}  // extern "C"
