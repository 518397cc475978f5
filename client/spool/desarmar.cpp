// desarmar.cpp - the download side of the spool: splitting the server's
// bundle download/output.dat into one file per record, and emptying
// download/ before a session.
//
// Record names come from the server and are not trusted: a name must be a
// plain file name inside download/ (not empty, ".", "..", nor holding '/'
// or a control byte) and must not be the bundle being read.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "control.h"
#include "bundle.h"

namespace {

constexpr size_t kLinea = 198;   // the bundle is read in lines of this size
constexpr size_t kBloque = 200;  // binary content is copied in such blocks

// Sets the umask for a scope and puts the old one back on every way out.
struct MascaraTemporal {
  mode_t vieja;
  explicit MascaraTemporal(mode_t m) : vieja(umask(m)) {}
  ~MascaraTemporal() { umask(vieja); }
  MascaraTemporal(const MascaraTemporal &) = delete;
  MascaraTemporal &operator=(const MascaraTemporal &) = delete;
};

struct Registro {
  std::string nombre;
  bool binario = false;
  long tamano = 0;
};

// A record header line starts with "[" and holds a "]". The name runs to the
// first "," or "]"; a "," anywhere makes the record binary, its size the
// number after the first ",".
bool LeerRegistro(const char *linea, size_t n, Registro &r) {
  if (n == 0 || linea[0] != '[' || memchr(linea, ']', n) == nullptr) return false;
  size_t fin = 1;
  while (fin < n && linea[fin] != ',' && linea[fin] != ']') fin++;
  r.nombre.assign(linea + 1, fin - 1);
  const char *coma = static_cast<const char *>(memchr(linea, ',', n));
  r.binario = coma != nullptr;
  r.tamano = 0;
  if (r.binario) {
    std::string cifras(coma + 1, linea + n);
    r.tamano = strtol(cifras.c_str(), nullptr, 10);
  }
  return true;
}

bool NombreValido(const std::string &nombre) {
  if (nombre.empty() || nombre == "." || nombre == ".." || nombre == "output.dat") return false;
  for (char c : nombre) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || u < 0x20 || u == 0x7F) return false;  // NUL, ESC, CR, ...
  }
  return true;
}

bool EsFin(const std::string &nombre) {
  return nombre.size() == 3 && strncasecmp(nombre.c_str(), "FIN", 3) == 0;
}

// Syncs and closes a delivered file: output.dat, the other copy of it, is
// deleted once the split is done. A failed sync or close is a failed write.
int CerrarEntrega(ArchivoPtr &sal, const std::string &path) {
  int e = SincronizarFlujo(sal.get());
  if (fclose(sal.release()) != 0 && e == 0) e = errno;
  if (e != 0) {
    LogFallaEntreCorchetes(1, e, "Error escribiendo %s", path.c_str());
    return kErrorEscribiendo;
  }
  return kExito;
}

// Copies the tamano bytes after a binary record's header line. Returns 0
// or 14.
int CopiarBinario(FILE *in, FILE *sal, long tamano, const std::string &path) {
  char buf[kBloque];
  long restante = tamano;
  while (restante > 0) {
    size_t pedir = restante < static_cast<long>(kBloque) ? static_cast<size_t>(restante) : kBloque;
    size_t leidos = fread(buf, 1, pedir, in);
    if (leidos > 0 && fwrite(buf, 1, leidos, sal) != leidos) {
      LogFallaEntreCorchetes(1, errno, "Error escribiendo %s", path.c_str());
      return kErrorEscribiendo;
    }
    restante -= static_cast<long>(leidos);
    if (leidos < pedir) {
      LogFormato(1, "Registro %s truncado: faltan %ld de %ld bytes", path.c_str(), restante,
                 tamano);
      return kErrorEscribiendo;
    }
  }
  return kExito;
}

}  // namespace

int DesarmarArchivosBIN(Descriptor *bajada) {
  LogMensaje("DesarmarArchivosBIN()", 20);
  const std::string download = UnirRuta(g_corrida.raiz, g_corrida.dirbajada);
  const std::string bundle = UnirRuta(download, "output.dat");
  // download/ is held open for the whole split: swapping it for a link
  // meanwhile changes nothing for us.
  Descriptor raiz, dir, fdin;
  int e = AbrirRaiz(g_corrida.raiz, raiz);
  if (e == 0) e = AbrirDirectorio(raiz.fd, g_corrida.dirbajada.c_str(), dir);
  if (e == 0) e = AbrirLectura(dir.fd, "output.dat", fdin);
  ArchivoPtr in;
  if (e == 0) in = AbrirFlujo(fdin, "rb");
  if (!in) {
    LogFallaEntreCorchetes(1, ErrorArchivo(e != 0 ? e : errno), "No se pudo abrir %s",
                           bundle.c_str());
    return kArchivoNoAbierto;
  }
  MascaraTemporal mascara(0);

  char linea[kLinea];
  size_t n = LeerLineaSpool(in.get(), linea, kLinea);
  while (n > 0) {
    Registro r;
    if (!LeerRegistro(linea, n, r)) {
      n = LeerLineaSpool(in.get(), linea, kLinea);
      continue;
    }
    if (EsFin(r.nombre)) break;
    if (!NombreValido(r.nombre)) {
      LogFormato(1, "Nombre de archivo invalido: %s", r.nombre.c_str());
      return kErrorCreando;
    }
    if (r.binario && r.tamano < 0) {
      LogFormato(1, "Tamano invalido para %s: %ld", r.nombre.c_str(), r.tamano);
      return kErrorEscribiendo;
    }
    const std::string path = UnirRuta(download, r.nombre);
    // Made anew, 0666 for every user of the terminal (the umask is 0 here):
    // a link or FIFO the terminal's user left under the name is replaced,
    // not followed.
    Descriptor fdsal;
    e = CrearArchivo(dir.fd, r.nombre.c_str(), 0666, fdsal);
    ArchivoPtr sal;
    if (e == 0) sal = AbrirFlujo(fdsal, "wb");
    if (!sal) {
      LogFallaEntreCorchetes(1, ErrorArchivo(e != 0 ? e : errno), "No se pudo crear %s",
                             path.c_str());
      return kErrorCreando;
    }

    if (r.binario) {
      LogFormato(10, "Guardando %s binario de %ld bytes\n", r.nombre.c_str(), r.tamano);
      if (int res = CopiarBinario(in.get(), sal.get(), r.tamano, path); res != kExito) {
        return res;
      }
      if (int res = CerrarEntrega(sal, path); res != kExito) return res;
      n = LeerLineaSpool(in.get(), linea, kLinea);
      continue;
    }
    // Text: every line up to the next "[" at the start of a line.
    bool inicio = true;
    while ((n = LeerLineaSpool(in.get(), linea, kLinea)) > 0) {
      if (linea[0] == '[' && inicio) break;
      inicio = linea[n - 1] == '\r' || linea[n - 1] == '\n';
      if (fwrite(linea, 1, n, sal.get()) != n) {
        LogFallaEntreCorchetes(1, errno, "Error escribiendo %s", path.c_str());
        return kErrorEscribiendo;
      }
    }
    if (int res = CerrarEntrega(sal, path); res != kExito) return res;
  }
  if (ferror(in.get())) {
    // A read error is not the end of the bundle: the rest would be lost.
    LogFallaEntreCorchetes(1, errno, "Error leyendo %s", bundle.c_str());
    return kErrorEscribiendo;
  }
  // The new names too must be on the disk before output.dat may go.
  if (e = Sincronizar(dir.fd); e != 0) {
    LogFallaEntreCorchetes(1, e, "Error sincronizando %s", download.c_str());
    return kErrorEscribiendo;
  }
  if (bajada != nullptr) *bajada = std::move(dir);
  return kExito;
}

int LimpiarDescargas() {
  const std::string download = UnirRuta(g_corrida.raiz, "download");
  // Only a real download/ is emptied, never a directory a link leads to;
  // links inside it are removed themselves.
  Descriptor raiz, fddir;
  int e = AbrirRaiz(g_corrida.raiz, raiz);
  if (e == 0) e = AbrirDirectorio(raiz.fd, "download", fddir);
  DirectorioPtr dir;
  if (e == 0) dir = ListarDirectorio(fddir);
  if (!dir) {
    LogFallaEntreCorchetes(1, ErrorArchivo(e != 0 ? e : errno), "No se pudo abrir el directorio %s",
                           download.c_str());
    return kDirectorioNoEncontrado;
  }
  while (struct dirent *ent = readdir(dir.get())) {
    if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
    if (unlinkat(fddir.fd, ent->d_name, 0) != 0) unlinkat(fddir.fd, ent->d_name, AT_REMOVEDIR);
  }
  return kExito;
}
