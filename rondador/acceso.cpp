// acceso.cpp - the daemon's file access under a terminal root, the log
// file's opening, the escaping of outside text and the joining of paths
// (see acceso.h).
#include "acceso.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rondador {

Descriptor::~Descriptor() {
  if (fd >= 0) close(fd);
}

void Descriptor::reset(int f) {
  if (fd >= 0) close(fd);
  fd = f;
}

int abrirraiz(const char *ruta, Descriptor &raiz) {
  int fd = open(ruta, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  raiz.reset(fd);
  return 0;
}

int abrirdirectorio(int dirfd, const char *nombre, Descriptor &dir) {
  int fd = openat(dirfd, nombre, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    if (e != ENOTDIR && e != ELOOP) return e;
    struct stat st;
    if (fstatat(dirfd, nombre, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return ELOOP;
    return kNoRegular;
  }
  dir.reset(fd);
  return 0;
}

int abrirregular(int dirfd, const char *nombre, int acceso, Descriptor &fd, off_t *tamano) {
  Descriptor f(openat(dirfd, nombre, acceso | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (f.fd < 0) return errno;
  struct stat st;
  if (fstat(f.fd, &st) != 0) return errno;
  // A second name would make an in-place rewrite change some other file.
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return kNoRegular;
  int banderas = fcntl(f.fd, F_GETFL);
  if (banderas < 0 || fcntl(f.fd, F_SETFL, banderas & ~O_NONBLOCK) != 0) return errno;
  *tamano = st.st_size;
  fd.reset(f.fd);
  f.fd = -1;
  return 0;
}

int leerlinea(const char *raiz, const char *nombre, size_t max, std::string *linea,
              struct timespec *mtime) {
  linea->clear();
  Descriptor dir, fd;
  off_t tamano = 0;
  int e = abrirraiz(raiz, dir);
  if (e == 0) e = abrirregular(dir.fd, nombre, O_RDONLY, fd, &tamano);
  if (e != 0) return e;
  struct stat st;
  if (fstat(fd.fd, &st) != 0) return errno;
  *mtime = st.st_mtim;
  std::string buf(max, '\0');
  size_t n = 0;
  while (n < max) {
    ssize_t r = read(fd.fd, buf.data() + n, max - n);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    if (r == 0) break;
    n += static_cast<size_t>(r);
  }
  buf.resize(n);
  *linea = buf.substr(0, buf.find_first_of("\r\n"));
  return 0;
}

int sincronizardirectorio(const char *ruta) {
  Descriptor dir(open(ruta, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0 || fsync(dir.fd) != 0) return errno;
  return 0;
}

int crearsincronizado(const char *dir, const char *nombre) {
  Descriptor d(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.fd < 0) return errno;
  Descriptor f(openat(d.fd, nombre, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (f.fd < 0 && errno != EEXIST) return errno;
  if (f.fd >= 0 && fsync(f.fd) != 0) return errno;
  if (fsync(d.fd) != 0) return errno;
  return 0;
}

const char *textoerror(int e) {
  if (e == kNoRegular) return "no es un archivo regular";
  if (e == ELOOP) return "es un enlace simbolico";
  return strerror(e);
}

int abrirlog(const char *ruta) {
  int fd = open(ruta, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    fchmod(fd, 0644);
    return fd;
  }
  if (errno != EEXIST) return -1;
  return open(ruta, O_WRONLY | O_APPEND | O_CLOEXEC);
}

std::string visible(const char *texto) {
  static const char kHex[] = "0123456789abcdef";
  std::string v;
  for (const char *p = texto; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7E) {
      v += "\\x";
      v += kHex[c >> 4];
      v += kHex[c & 0xF];
    } else {
      v += *p;
    }
  }
  return v;
}

Texto unir(const char *a, const char *b, const char *c) {
  size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
  Texto t(static_cast<char *>(malloc(la + lb + lc + 1)));
  if (!t) return t;
  memcpy(t.get(), a, la);
  memcpy(t.get() + la, b, lb);
  memcpy(t.get() + la + lb, c, lc + 1);
  return t;
}

const char *separador(const char *dir) {
  size_t n = strlen(dir);
  return n > 0 && dir[n - 1] == '/' ? "" : "/";
}

}  // namespace rondador
