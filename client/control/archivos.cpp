// archivos.cpp - the file-access helpers for the untrusted terminal root
// (see archivos.h): directory walks with O_NOFOLLOW, regular-file opens that
// a FIFO cannot block, creation by unlink and O_EXCL, and the small owners
// and loops the rest of the client shares.
#include "archivos.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstring>

namespace {

constexpr int kDirectorio = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens one component below dirfd as a real directory.
int AbrirComponente(int dirfd, const char *nombre, Descriptor &dir) {
  int fd = openat(dirfd, nombre, kDirectorio);
  if (fd < 0) {
    int e = errno;
    if (e != ENOTDIR && e != ELOOP) return e;
    // O_DIRECTORY and O_NOFOLLOW report a link either way: tell them apart.
    struct stat st;
    if (fstatat(dirfd, nombre, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return ELOOP;
    return kNoRegular;
  }
  dir = Descriptor(fd);
  return 0;
}

// Walks the directories of ruta before its last component. Returns 0 with
// *base the descriptor that holds the last component (dirfd itself, or
// padre's) and *nombre that component; or an error of AbrirComponente.
// No heap: CrearArchivo must stay async-signal-safe.
int AbrirPadre(int dirfd, const char *ruta, Descriptor &padre, int *base, const char **nombre) {
  *base = dirfd;
  const char *p = ruta;
  for (const char *barra; (barra = strchr(p, '/')) != nullptr; p = barra + 1) {
    size_t largo = static_cast<size_t>(barra - p);
    if (largo == 0) continue;
    char componente[NAME_MAX + 1];
    if (largo > NAME_MAX) return ENAMETOOLONG;
    memcpy(componente, p, largo);
    componente[largo] = '\0';
    Descriptor siguiente;
    if (int e = AbrirComponente(*base, componente, siguiente); e != 0) return e;
    padre = static_cast<Descriptor &&>(siguiente);
    *base = padre.fd;
  }
  *nombre = p;
  return 0;
}

// Opens a regular file below dirfd with the given access mode.
int AbrirRegular(int dirfd, const char *ruta, int acceso, Descriptor &fd, off_t *tamano) {
  Descriptor padre;
  int base;
  const char *nombre;
  if (int e = AbrirPadre(dirfd, ruta, padre, &base, &nombre); e != 0) return e;
  Descriptor f(openat(base, nombre, acceso | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (f.fd < 0) return errno;
  struct stat st;
  if (fstat(f.fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return kNoRegular;
  int banderas = fcntl(f.fd, F_GETFL);
  if (banderas < 0 || fcntl(f.fd, F_SETFL, banderas & ~O_NONBLOCK) != 0) return errno;
  if (tamano != nullptr) *tamano = st.st_size;
  fd = static_cast<Descriptor &&>(f);
  return 0;
}

}  // namespace

Descriptor &Descriptor::operator=(Descriptor &&o) noexcept {
  if (this != &o) {
    if (fd >= 0) close(fd);
    fd = o.fd;
    o.fd = -1;
  }
  return *this;
}

Descriptor::~Descriptor() {
  if (fd >= 0) close(fd);
}

int Descriptor::Soltar() {
  int f = fd;
  fd = -1;
  return f;
}

bool Descriptor::Cerrar() {
  int r = close(fd);
  fd = -1;
  return r == 0;
}

std::string UnirRuta(const std::string &raiz, const std::string &nombre) {
  if (!raiz.empty() && raiz.back() == '/') return raiz + nombre;
  return raiz + "/" + nombre;
}

std::string DirectorioDe(const std::string &ruta, const char *sinBarra) {
  size_t barra = ruta.rfind('/');
  return barra == std::string::npos ? sinBarra : ruta.substr(0, barra + 1);
}

std::string NombreDe(const std::string &ruta) {
  size_t barra = ruta.rfind('/');
  return barra == std::string::npos ? ruta : ruta.substr(barra + 1);
}

bool EscribirTodo(int fd, const void *datos, size_t n, AnteSenal senal) {
  const char *p = static_cast<const char *>(datos);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR && senal == AnteSenal::kSeguir) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

const char *TextoError(int e) {
  if (e == kNoRegular) return "no es un archivo regular ni un directorio real";
  if (e == kEnlaceRechazado) return "es un enlace simbolico";
  return strerror(e);
}

const char *TextoErrorArchivo(int e) { return TextoError(ErrorArchivo(e)); }

int AbrirRaiz(const std::string &ruta, Descriptor &raiz) {
  int fd = open(ruta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  raiz = Descriptor(fd);
  return 0;
}

int AbrirDirectorio(int dirfd, const char *ruta, Descriptor &dir) {
  Descriptor padre;
  int base;
  const char *nombre;
  if (int e = AbrirPadre(dirfd, ruta, padre, &base, &nombre); e != 0) return e;
  return AbrirComponente(base, nombre, dir);
}

int AbrirLectura(int dirfd, const char *ruta, Descriptor &fd, off_t *tamano) {
  return AbrirRegular(dirfd, ruta, O_RDONLY, fd, tamano);
}

int AbrirEscritura(int dirfd, const char *ruta, Descriptor &fd, off_t *tamano) {
  return AbrirRegular(dirfd, ruta, O_RDWR, fd, tamano);
}

int CrearArchivo(int dirfd, const char *ruta, mode_t modo, Descriptor &fd) {
  Descriptor padre;
  int base;
  const char *nombre;
  if (int e = AbrirPadre(dirfd, ruta, padre, &base, &nombre); e != 0) return e;
  // Two tries: someone may slip a new entry in between the unlink and the
  // create; a third party winning twice is refused rather than followed.
  for (int intento = 0; intento < 2; intento++) {
    if (unlinkat(base, nombre, 0) != 0 && errno != ENOENT) return errno;
    int f = openat(base, nombre, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, modo);
    if (f < 0 && errno == EEXIST) continue;
    if (f < 0) return errno;
    fd = Descriptor(f);
    return 0;
  }
  return EEXIST;
}

int BorrarArchivo(int dirfd, const char *ruta) {
  Descriptor padre;
  int base;
  const char *nombre;
  if (int e = AbrirPadre(dirfd, ruta, padre, &base, &nombre); e != 0) return e;
  return unlinkat(base, nombre, 0) == 0 ? 0 : errno;
}

int ComprobarDirectorio(int dirfd, const char *ruta) {
  Descriptor padre;
  int base;
  const char *nombre;
  if (int e = AbrirPadre(dirfd, ruta, padre, &base, &nombre); e != 0) return e;
  struct stat st;
  if (fstatat(base, nombre, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return 0;
  return S_ISLNK(st.st_mode) ? ELOOP : kNoRegular;
}

DirectorioPtr ListarDirectorio(const Descriptor &dir) {
  int copia = fcntl(dir.fd, F_DUPFD_CLOEXEC, 0);
  if (copia < 0) return nullptr;
  DIR *d = fdopendir(copia);
  if (d == nullptr) {
    int e = errno;
    close(copia);
    errno = e;
    return nullptr;
  }
  rewinddir(d);  // the duplicate shares the original's position
  return DirectorioPtr(d);
}

ArchivoPtr AbrirFlujo(Descriptor &fd, const char *modo) {
  FILE *f = fdopen(fd.fd, modo);
  if (f != nullptr) fd.Soltar();
  return ArchivoPtr(f);
}

int Sincronizar(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int SincronizarDirectorio(int dirfd, const char *ruta) {
  if (ruta[0] == '\0' || strcmp(ruta, ".") == 0) return Sincronizar(dirfd);
  Descriptor dir;
  if (int e = AbrirDirectorio(dirfd, ruta, dir); e != 0) return e;
  return Sincronizar(dir.fd);
}

int SincronizarFlujo(FILE *f) {
  if (fflush(f) != 0) return errno != 0 ? errno : EIO;
  return Sincronizar(fileno(f));
}
