// actualizacion.cpp - the update run (-u). The program directory is the
// terminal root: the run sends a fixed update request, checks what the server
// delivers against the publisher's signed manifest and only then installs it
// into the program directory, keeping a .bak copy of every file it replaces.
//
// The line carries no authentication, so nothing delivered is trusted until
// gpgv has accepted _manifiesto.sig over _manifiesto with the keyring
// zelta-actualizacion.gpg of the program directory, and every delivered file
// matches the size and SHA-256 the manifest lists for its name. The serial
// on the manifest's first line must be greater than the one in zelta.version,
// so an old update cannot be played again.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "run.h"
#include "sha256.h"

namespace {

// Version 1.5.1, company 00, activity 00, key ZELTAUPD.
const char kEncabezadoActualizacion[] = "V1510000ZELTAUPD\r\n";

const char kManifiesto[] = "_manifiesto";
const char kFirma[] = "_manifiesto.sig";
const char kTicket[] = "_ticket.prn";
const char kLlavero[] = "zelta-actualizacion.gpg";
const char kVersion[] = "zelta.version";

constexpr size_t kMaxManifiesto = 1 << 20;
constexpr size_t kMaxCifrasSerie = 18;    // fits an unsigned long long
constexpr size_t kMaxCifrasTamano = 15;
constexpr size_t kMaxSalidaGpgv = 8192;   // what is kept of gpgv's messages

// One file of the manifest: "<sha256 hex> <size> <name>".
struct Listado {
  std::string sha;
  long long tamano = 0;
  std::string nombre;
};

struct Manifiesto {
  unsigned long long serie = 0;
  std::vector<Listado> archivos;  // in the manifest's order
};

// Logs why the update is refused and returns 14, the update run's failure.
__attribute__((format(printf, 1, 2))) int Rechazar(const char *formato, ...) {
  char motivo[400];
  va_list ap;
  va_start(ap, formato);
  vsnprintf(motivo, sizeof motivo, formato, ap);
  va_end(ap);
  LogFormato(1, "Actualizacion rechazada: %s", motivo);
  return kErrorEscribiendo;
}

// Reads fd to the end in 64 KiB pieces, handing each to usar(data, n),
// which returns false to stop. Returns false on a read error (errno set) or
// when usar stopped.
template <typename F>
bool LeerPorTrozos(int fd, F usar) {
  std::vector<char> buf(65536);
  for (;;) {
    ssize_t n = read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!usar(buf.data(), static_cast<size_t>(n))) return false;
  }
}

// Reads from fd until the end, appending to out what fits in max bytes
// (the rest is read and dropped). Returns false on a read error.
bool LeerHastaElFin(int fd, std::string &out, size_t max) {
  return LeerPorTrozos(fd, [&](const char *p, size_t n) {
    out.append(p, std::min(n, out.size() < max ? max - out.size() : 0));
    return true;
  });
}

// Opens a regular file for reading; a symbolic link is not followed.
// Returns the descriptor, or -1 with errno set (EINVAL: not a regular file).
int AbrirRegular(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) return -1;
  struct stat st;
  int err = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (err == 0) return fd;
  close(fd);
  errno = err;
  return -1;
}

// Reads the whole of a regular file of at most max bytes. Returns 0, or an
// errno value (EFBIG when it is larger, EINVAL when not a regular file).
int LeerArchivoChico(const std::string &path, std::string &datos, size_t max) {
  Descriptor fd(AbrirRegular(path));
  if (fd.fd < 0) return errno;
  datos.clear();
  if (!LeerHastaElFin(fd.fd, datos, max + 1)) return errno;
  return datos.size() > max ? EFBIG : 0;
}

// Decimal digits only, at most max of them, into v.
bool LeerDecimal(const std::string &texto, size_t max, unsigned long long &v) {
  if (texto.empty() || texto.size() > max) return false;
  v = 0;
  for (char c : texto) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return true;
}

bool EsHexadecimal(const std::string &texto) {
  for (char c : texto) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A name the manifest may list: a plain file of the program directory that
// is not one of the update run's own files.
bool NombreInstalable(const std::string &nombre) {
  if (nombre.empty() || nombre == "." || nombre == ".." || nombre.find('/') != std::string::npos)
    return false;
  for (char ch : nombre) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return false;
  }
  return nombre != kManifiesto && nombre != kFirma && nombre != kTicket && nombre != kVersion;
}

// Parses the manifest: "serie <N>" on the first line, then one
// "<sha256 hex> <size> <name>" line per file, every line ended by LF.
// Returns 0 or 14 (refusal logged, naming the line).
int ParsearManifiesto(const std::string &texto, Manifiesto &m) {
  if (texto.empty() || texto.back() != '\n') return Rechazar("%s no termina en fin de linea", kManifiesto);
  std::set<std::string> vistos;
  size_t inicio = 0;
  for (int numero = 1; inicio < texto.size(); numero++) {
    size_t fin = texto.find('\n', inicio);
    std::string linea = texto.substr(inicio, fin - inicio);
    inicio = fin + 1;
    if (numero == 1) {
      if (linea.compare(0, 6, "serie ") != 0 || !LeerDecimal(linea.substr(6), kMaxCifrasSerie, m.serie))
        return Rechazar("%s: la linea 1 no es \"serie <numero>\"", kManifiesto);
      continue;
    }
    Listado a;
    size_t espacio = linea.find(' ', 65);
    unsigned long long tamano = 0;
    if (linea.size() < 66 || linea[64] != ' ' || espacio == std::string::npos ||
        !EsHexadecimal(a.sha = linea.substr(0, 64)) ||
        !LeerDecimal(linea.substr(65, espacio - 65), kMaxCifrasTamano, tamano)) {
      return Rechazar("%s: la linea %d no es \"<sha256> <tamano> <nombre>\"", kManifiesto, numero);
    }
    a.tamano = static_cast<long long>(tamano);
    a.nombre = linea.substr(espacio + 1);
    if (!NombreInstalable(a.nombre))
      return Rechazar("%s: nombre no instalable en la linea %d", kManifiesto, numero);
    if (!vistos.insert(a.nombre).second)
      return Rechazar("%s: %s listado dos veces", kManifiesto, a.nombre.c_str());
    m.archivos.push_back(std::move(a));
  }
  return kExito;
}

// The path of an executable program on the search path, or "" when there is
// none. Empty entries (the current directory) are not searched: this runs
// as root.
std::string BuscarEnCamino(const char *programa) {
  const char *camino = getenv("PATH");
  std::string resto = camino != nullptr ? camino : "/usr/bin:/bin";
  size_t inicio = 0;
  while (inicio <= resto.size()) {
    size_t fin = resto.find(':', inicio);
    if (fin == std::string::npos) fin = resto.size();
    std::string dir = resto.substr(inicio, fin - inicio);
    inicio = fin + 1;
    if (dir.empty()) continue;
    std::string path = UnirRuta(dir, programa);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0)
      return path;
  }
  return "";
}

// Runs a program with fork and exec, standard input from /dev/null, its
// standard output and error collected in salida. Returns its exit status
// (127 when the exec failed), 128 + the signal that ended it, or -1 when no
// process could be made (logged).
int Ejecutar(const std::vector<std::string> &argumentos, std::string &salida) {
  int tubo[2];
  if (pipe2(tubo, O_CLOEXEC) != 0) {
    LogFalla(1, errno, "No se pudo crear una tuberia");
    return -1;
  }
  std::vector<char *> argv;
  for (const std::string &a : argumentos) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int nulo = open("/dev/null", O_RDONLY);
    if (nulo < 0 || dup2(nulo, 0) < 0 || dup2(tubo[1], 1) < 0 || dup2(tubo[1], 2) < 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(tubo[1]);
  Descriptor lectura(tubo[0]);
  if (pid < 0) {
    LogFalla(1, errno, "No se pudo crear el proceso %s", argv[0]);
    return -1;
  }
  LeerHastaElFin(lectura.fd, salida, kMaxSalidaGpgv);
  int estado = 0;
  while (waitpid(pid, &estado, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFSIGNALED(estado)) return 128 + WTERMSIG(estado);
  return WEXITSTATUS(estado);
}

// Logs each line of a program's output at the given level.
void LogSalida(const std::string &salida, int nivel) {
  size_t inicio = 0;
  while (inicio < salida.size()) {
    size_t fin = salida.find('\n', inicio);
    if (fin == std::string::npos) fin = salida.size();
    if (fin > inicio) LogFormato(nivel, "%s", salida.substr(inicio, fin - inicio).c_str());
    inicio = fin + 1;
  }
}

// Has gpgv check the detached signature of the manifest against the
// keyring. Returns 0 or 14 (refusal logged, with what gpgv said).
int VerificarFirma(const std::string &gpgv, const std::string &llavero, const std::string &descargas) {
  std::string firma = UnirRuta(descargas, kFirma);
  struct stat st;
  if (lstat(firma.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return Rechazar("no se entrego la firma %s", kFirma);
  std::string salida;
  int r = Ejecutar({gpgv, "--keyring", llavero, "--", firma, UnirRuta(descargas, kManifiesto)}, salida);
  if (r == 0) {
    LogSalida(salida, 5);
    return kExito;
  }
  LogSalida(salida, 1);
  if (r < 0) return Rechazar("no se pudo ejecutar %s", gpgv.c_str());
  return Rechazar("%s no es una firma valida de %s con el llavero %s (gpgv termino con %d)", kFirma,
                  kManifiesto, llavero.c_str(), r);
}

// The serial of the installed update, 0 when none was ever installed.
// Returns 0 or 14 (refusal logged: a record that cannot be read must not
// open the door to an old update).
int LeerSerieInstalada(unsigned long long &serie) {
  std::string path = g_corrida.dirprog + kVersion;
  std::string texto;
  int err = LeerArchivoChico(path, texto, 64);
  serie = 0;
  if (err == ENOENT) return kExito;
  if (err == 0 && !texto.empty() && texto.back() == '\n') texto.pop_back();
  if (err != 0 || !LeerDecimal(texto, kMaxCifrasSerie, serie))
    return Rechazar("no se puede leer la serie instalada de %s", path.c_str());
  return kExito;
}

// Size and SHA-256 of a regular file. Returns 0 or an errno value (EINVAL
// when it is not a regular file).
int MedirArchivo(const std::string &path, long long &tamano, std::string &sha) {
  Descriptor fd(AbrirRegular(path));
  if (fd.fd < 0) return errno;
  Sha256 s;
  IniciarSha256(s);
  tamano = 0;
  bool leido = LeerPorTrozos(fd.fd, [&](const char *p, size_t n) {
    AgregarSha256(s, p, n);
    tamano += static_cast<long long>(n);
    return true;
  });
  if (!leido) return errno;
  unsigned char digest[kTamanoSha256];
  TerminarSha256(s, digest);
  sha = HexDigest(digest);
  return 0;
}

// Every delivered file (the ticket and the manifest's own files aside) must
// be listed, and every listed file delivered with its listed size and
// SHA-256. Returns 0 or 14 (refusal logged).
int VerificarEntregados(const std::string &descargas, const Manifiesto &m) {
  DirectorioPtr dir(opendir(descargas.c_str()));
  if (!dir) return Rechazar("no se pudo abrir %s: %s", descargas.c_str(), strerror(errno));
  std::set<std::string> listados;
  for (const Listado &a : m.archivos) listados.insert(a.nombre);
  while (dirent *e = readdir(dir.get())) {
    std::string nombre = e->d_name;
    if (nombre == "." || nombre == ".." || nombre == kTicket || nombre == kManifiesto || nombre == kFirma)
      continue;
    if (listados.count(nombre) == 0) return Rechazar("%s entregado pero no listado en %s", nombre.c_str(), kManifiesto);
  }
  for (const Listado &a : m.archivos) {
    long long tamano = 0;
    std::string sha;
    int err = MedirArchivo(UnirRuta(descargas, a.nombre), tamano, sha);
    if (err == ENOENT) return Rechazar("%s listado en %s pero no entregado", a.nombre.c_str(), kManifiesto);
    if (err == EINVAL) return Rechazar("%s no es un archivo regular", a.nombre.c_str());
    if (err != 0) return Rechazar("no se pudo leer %s: %s", a.nombre.c_str(), strerror(err));
    if (tamano != a.tamano)
      return Rechazar("%s tiene %lld bytes, %s dice %lld", a.nombre.c_str(), tamano, kManifiesto, a.tamano);
    if (sha != a.sha) return Rechazar("el SHA-256 de %s no es el de %s", a.nombre.c_str(), kManifiesto);
  }
  return kExito;
}

// Everything that must hold before the first file is installed: the
// keyring and gpgv (the operator's part, named first), the signed manifest,
// a newer serial, the delivered files. Returns 0 with m filled, or 14
// (refusal logged).
int VerificarActualizacion(const std::string &descargas, Manifiesto &m) {
  std::string llavero = g_corrida.dirprog + kLlavero;
  struct stat st;
  if (stat(llavero.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return Rechazar("no hay llavero del publicador %s", llavero.c_str());
  std::string gpgv = BuscarEnCamino("gpgv");
  if (gpgv.empty()) return Rechazar("gpgv no esta en el camino de busqueda (PATH)");
  std::string texto;
  int err = LeerArchivoChico(UnirRuta(descargas, kManifiesto), texto, kMaxManifiesto);
  if (err == ENOENT) return Rechazar("no se entrego el manifiesto %s", kManifiesto);
  if (err != 0) return Rechazar("no se pudo leer %s: %s", kManifiesto, strerror(err));
  int r = VerificarFirma(gpgv, llavero, descargas);
  if (r != kExito) return r;
  r = ParsearManifiesto(texto, m);
  if (r != kExito) return r;
  unsigned long long instalada = 0;
  r = LeerSerieInstalada(instalada);
  if (r != kExito) return r;
  if (m.serie <= instalada)
    return Rechazar("serie %llu no es mayor que la instalada (%llu)", m.serie, instalada);
  return VerificarEntregados(descargas, m);
}

// Copies origen to a new file destino with the given mode; destino is
// removed again on failure. Returns true on success.
bool CopiarArchivo(const std::string &origen, const std::string &destino, mode_t modo) {
  Descriptor in(open(origen.c_str(), O_RDONLY));
  if (in.fd < 0) return false;
  unlink(destino.c_str());
  Descriptor out(open(destino.c_str(), O_WRONLY | O_CREAT | O_EXCL, modo));
  if (out.fd < 0) return false;
  bool ok = LeerPorTrozos(in.fd, [&](const char *p, size_t n) { return EscribirTodo(out.fd, p, n); });
  if (ok) ok = fchmod(out.fd, modo) == 0 && fsync(out.fd) == 0;
  if (!out.Cerrar()) ok = false;
  if (!ok) unlink(destino.c_str());
  return ok;
}

// Syncs the program directory, so that a name just renamed into it is on
// the disk before the copy it replaces, or the delivered one, goes.
// Returns 0 or an errno value.
int SincronizarPrograma() {
  Descriptor dir;
  int e = AbrirRaiz(g_corrida.dirprog, dir);
  return e == 0 ? Sincronizar(dir.fd) : e;
}

// Installs one delivered file. Returns 0 or 14 (logged).
int Instalar(const std::string &nuevo, const std::string &nombre) {
  std::string destino = g_corrida.dirprog + nombre;
  mode_t modo = (nombre == "zelta" || nombre == "rondador") ? 0755 : 0644;
  struct stat st;
  if (stat(destino.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      LogFormato(1, "No se puede reemplazar %s: no es un archivo", destino.c_str());
      return kErrorEscribiendo;
    }
    modo = st.st_mode & 07777;
    if (!CopiarArchivo(destino, destino + ".bak", modo)) {
      LogFalla(1, errno, "No se pudo respaldar %s", destino.c_str());
      return kErrorEscribiendo;
    }
  }
  // The new file appears under its name in one step, complete.
  std::string temporal = g_corrida.dirprog + "." + nombre + ".nuevo";
  // The backup copy is on the disk, name and all, before the rename
  // replaces the file it copies.
  bool ok = CopiarArchivo(nuevo, temporal, modo);
  if (ok && SincronizarPrograma() != 0) ok = false;
  if (!ok || rename(temporal.c_str(), destino.c_str()) != 0) {
    LogFalla(1, errno, "No se pudo instalar %s", destino.c_str());
    unlink(temporal.c_str());
    return kErrorEscribiendo;
  }
  if (int e = SincronizarPrograma(); e != 0) {
    LogFalla(1, e, "No se pudo instalar %s", destino.c_str());
    return kErrorEscribiendo;
  }
  unlink(nuevo.c_str());
  LogFormato(1, "Actualizado %s", nombre.c_str());
  return kExito;
}

// Writes the installed serial to zelta.version: a temporary file renamed
// over it, so the record is always whole. Returns 0 or 14 (logged).
int EscribirSerie(unsigned long long serie) {
  std::string destino = g_corrida.dirprog + kVersion;
  std::string temporal = g_corrida.dirprog + "." + kVersion + ".nuevo";
  std::string texto = std::to_string(serie) + "\n";
  unlink(temporal.c_str());
  Descriptor fd(open(temporal.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
  bool ok = fd.fd >= 0 && EscribirTodo(fd.fd, texto.data(), texto.size()) && fchmod(fd.fd, 0644) == 0 &&
            fsync(fd.fd) == 0;
  if (fd.fd >= 0 && !fd.Cerrar()) ok = false;
  if (!ok || rename(temporal.c_str(), destino.c_str()) != 0) {
    LogFalla(1, errno, "No se pudo escribir %s", destino.c_str());
    unlink(temporal.c_str());
    return kErrorEscribiendo;
  }
  if (int e = SincronizarPrograma(); e != 0) {
    LogFalla(1, e, "No se pudo escribir %s", destino.c_str());
    return kErrorEscribiendo;
  }
  return kExito;
}

}  // namespace

int PrepararActualizacion() {
  for (const char *sub : {"upload", "download"}) {
    std::string path = UnirRuta(g_corrida.raiz, sub);
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      LogFalla(1, errno, "No se pudo crear %s", path.c_str());
      return kDirectorioNoEncontrado;
    }
  }
  std::string svl0 = UnirRuta(g_corrida.raiz, "upload/_svl.0");
  Descriptor fd(open(svl0.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  bool ok = fd.fd >= 0 &&
            EscribirTodo(fd.fd, kEncabezadoActualizacion, sizeof kEncabezadoActualizacion - 1);
  if (fd.fd >= 0 && !fd.Cerrar()) ok = false;
  if (!ok) {
    LogFalla(1, errno, "No se pudo crear %s", svl0.c_str());
    return kErrorCreando;
  }
  return kExito;
}

int CompletarActualizacion() {
  std::string descargas = UnirRuta(g_corrida.raiz, "download");
  Manifiesto m;
  int r = VerificarActualizacion(descargas, m);
  if (r != kExito) return r;
  for (const Listado &a : m.archivos) {
    // A file this update already installed (a run cut off before it
    // recorded the serial) is left as it is: installing it again would copy
    // the new version over the .bak that holds the old one.
    long long tamano = 0;
    std::string sha;
    if (MedirArchivo(g_corrida.dirprog + a.nombre, tamano, sha) == 0 && tamano == a.tamano &&
        sha == a.sha) {
      unlink(UnirRuta(descargas, a.nombre).c_str());
      LogFormato(1, "Ya instalado %s", a.nombre.c_str());
      continue;
    }
    r = Instalar(UnirRuta(descargas, a.nombre), a.nombre);
    if (r != kExito) return r;
  }
  r = EscribirSerie(m.serie);
  if (r != kExito) return r;
  unlink(UnirRuta(descargas, kManifiesto).c_str());
  unlink(UnirRuta(descargas, kFirma).c_str());
  LogFormato(1, "Actualizacion serie %llu instalada", m.serie);
  return kExito;
}
