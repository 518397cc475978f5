// actualizacion.cpp - the update run (-u). The program directory is the
// terminal root: the run sends a fixed update request and installs what the
// server delivers into the program directory, keeping a .bak copy of every
// file it replaces.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control.h"

namespace {

// Version 1.5.1, company 00, activity 00, key ZELTAUPD.
const char kEncabezadoActualizacion[] = "V1510000ZELTAUPD\r\n";

// Copies origen to a new file destino with the given mode; destino is
// removed again on failure. Returns true on success.
bool CopiarArchivo(const std::string &origen, const std::string &destino, mode_t modo) {
  Descriptor in(open(origen.c_str(), O_RDONLY));
  if (in.fd < 0) return false;
  unlink(destino.c_str());
  Descriptor out(open(destino.c_str(), O_WRONLY | O_CREAT | O_EXCL, modo));
  if (out.fd < 0) return false;
  std::vector<char> buf(65536);
  bool ok = true;
  for (;;) {
    ssize_t n = read(in.fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!EscribirTodo(out.fd, buf.data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  if (ok) ok = fchmod(out.fd, modo) == 0 && fsync(out.fd) == 0;
  if (!out.Cerrar()) ok = false;
  if (!ok) unlink(destino.c_str());
  return ok;
}

// Installs one delivered file. Returns 0 or 14 (logged).
int Instalar(const std::string &nuevo, const std::string &nombre) {
  std::string destino = g_corrida.dirprog + nombre;
  mode_t modo = (nombre == "zelta" || nombre == "rondador") ? 0755 : 0644;
  struct stat st;
  if (stat(destino.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      LogFormato(1, "No se puede reemplazar %s: no es un archivo", destino.c_str());
      return 14;
    }
    modo = st.st_mode & 07777;
    if (!CopiarArchivo(destino, destino + ".bak", modo)) {
      LogFormato(1, "No se pudo respaldar %s: %s", destino.c_str(), strerror(errno));
      return 14;
    }
  }
  // The new file appears under its name in one step, complete.
  std::string temporal = g_corrida.dirprog + "." + nombre + ".nuevo";
  if (!CopiarArchivo(nuevo, temporal, modo) || rename(temporal.c_str(), destino.c_str()) != 0) {
    LogFormato(1, "No se pudo instalar %s: %s", destino.c_str(), strerror(errno));
    unlink(temporal.c_str());
    return 14;
  }
  unlink(nuevo.c_str());
  LogFormato(1, "Actualizado %s", nombre.c_str());
  return 0;
}

}  // namespace

int PrepararActualizacion() {
  for (const char *sub : {"upload", "download"}) {
    std::string path = UnirRuta(g_corrida.raiz, sub);
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      LogFormato(1, "No se pudo crear %s: %s", path.c_str(), strerror(errno));
      return 10;
    }
  }
  std::string svl0 = UnirRuta(g_corrida.raiz, "upload/_svl.0");
  Descriptor fd(open(svl0.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  bool ok = fd.fd >= 0 &&
            EscribirTodo(fd.fd, kEncabezadoActualizacion, sizeof kEncabezadoActualizacion - 1);
  if (fd.fd >= 0 && !fd.Cerrar()) ok = false;
  if (!ok) {
    LogFormato(1, "No se pudo crear %s: %s", svl0.c_str(), strerror(errno));
    return 15;
  }
  return 0;
}

int CompletarActualizacion() {
  std::string descargas = UnirRuta(g_corrida.raiz, "download");
  DirectorioPtr dir(opendir(descargas.c_str()));
  if (!dir) {
    LogFormato(1, "No se pudo abrir %s: %s", descargas.c_str(), strerror(errno));
    return 14;
  }
  std::vector<std::string> nombres;
  while (dirent *e = readdir(dir.get())) {
    std::string nombre = e->d_name;
    if (nombre == "." || nombre == ".." || nombre == "_ticket.prn") continue;
    struct stat st;
    if (lstat(UnirRuta(descargas, nombre).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      nombres.push_back(nombre);
    }
  }
  std::sort(nombres.begin(), nombres.end());  // a repeatable order
  for (const std::string &nombre : nombres) {
    int r = Instalar(UnirRuta(descargas, nombre), nombre);
    if (r != 0) return r;
  }
  return 0;
}
