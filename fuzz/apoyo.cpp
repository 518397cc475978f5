// apoyo.cpp - the scratch directory and file helpers of the fuzz targets.
#include "apoyo.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

namespace {

std::string g_area;

int Borrar(const char *path, const struct stat *, int, struct FTW *ftw) {
  if (ftw->level == 0) return 0;  // the area itself stays
  remove(path);
  return 0;
}

void BorrarArea() {
  if (g_area.empty()) return;
  VaciarArea();
  rmdir(g_area.c_str());
}

}  // namespace

const std::string &Area() {
  if (g_area.empty()) {
    const char *tmp = getenv("TMPDIR");
    std::string plantilla = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                            "/zeltafuzz.XXXXXX";
    std::vector<char> buf(plantilla.begin(), plantilla.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) Fallar("mkdtemp %s: %s", buf.data(), strerror(errno));
    g_area = buf.data();
    atexit(BorrarArea);
  }
  return g_area;
}

void VaciarArea() {
  // Anything left without write or search permission must still go.
  nftw(Area().c_str(), [](const char *p, const struct stat *st, int tipo, struct FTW *) {
    if (tipo == FTW_D || tipo == FTW_DNR) chmod(p, (st->st_mode & 07777) | 0700);
    return 0;
  }, 16, FTW_PHYS);
  nftw(Area().c_str(), Borrar, 16, FTW_DEPTH | FTW_PHYS);
}

void EscribirArchivo(const std::string &path, const std::string &datos) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) Fallar("fopen %s: %s", path.c_str(), strerror(errno));
  bool bien = fwrite(datos.data(), 1, datos.size(), f) == datos.size();
  if (fclose(f) != 0 || !bien) Fallar("escribiendo %s: %s", path.c_str(), strerror(errno));
}

std::string LeerArchivo(const std::string &path) {
  std::string datos;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return datos;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) datos.append(buf, n);
  fclose(f);
  return datos;
}

bool Existe(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void CrearDirectorio(const std::string &path) {
  if (mkdir(path.c_str(), 0755) != 0) Fallar("mkdir %s: %s", path.c_str(), strerror(errno));
}

std::vector<std::string> Listar(const std::string &dir) {
  std::vector<std::string> nombres;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return nombres;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) nombres.push_back(e->d_name);
  }
  closedir(d);
  std::sort(nombres.begin(), nombres.end());
  return nombres;
}

bool EsArchivoRegular(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Partir(const uint8_t *data, size_t size, std::string &primera, std::string &segunda) {
  const char *texto = reinterpret_cast<const char *>(data);
  for (size_t i = 0; i + 1 < size; i++) {
    if (texto[i] == '\0' && texto[i + 1] == '\0') {
      primera.assign(texto, i);
      segunda.assign(texto + i + 2, size - i - 2);
      return true;
    }
  }
  primera.assign(texto, size);
  segunda.clear();
  return false;
}

void SilenciarSalida() {
  fflush(stdout);
  int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) Fallar("/dev/null: %s", strerror(errno));
  close(fd);
}

void Fallar(const char *formato, ...) {
  va_list ap;
  va_start(ap, formato);
  fputs("FUZZ: ", stderr);
  vfprintf(stderr, formato, ap);
  fputc('\n', stderr);
  va_end(ap);
  abort();
}

}  // namespace fuzz
