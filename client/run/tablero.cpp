// tablero.cpp - the status run (zelta -s): one line per terminal root under
// a base directory with what an operator asks first (last result, running
// now, waiting in tx/, retained bundles), and an exit status a monitoring
// check can use.
//
// It only reads, and it reads terminal roots as the untrusted places they
// are: every name is opened below a directory descriptor without following
// a link, only regular files are read (opened non-blocking, so a FIFO
// cannot stall the listing), and never more than a few bytes of each.
// Whatever comes out of a root is shown through the operator's escaping.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "run.h"

namespace {

// The names in the directory dir, without "." entries, sorted.
std::vector<std::string> Nombres(const Descriptor &dir) {
  std::vector<std::string> nombres;
  DirectorioPtr lista = ListarDirectorio(dir);
  if (!lista) return nombres;
  while (dirent *e = readdir(lista.get())) {
    if (e->d_name[0] != '.') nombres.push_back(e->d_name);
  }
  std::sort(nombres.begin(), nombres.end());
  return nombres;
}

// What stands at nombre below dirfd, links not followed.
enum Tipo { kNada, kRegular, kCarpeta, kOtro };
Tipo TipoDe(int dirfd, const char *nombre, struct stat *st) {
  if (fstatat(dirfd, nombre, st, AT_SYMLINK_NOFOLLOW) != 0) return kNada;
  if (S_ISREG(st->st_mode)) return kRegular;
  if (S_ISDIR(st->st_mode)) return kCarpeta;
  return kOtro;
}

// Reads at most tope bytes of the regular file nombre below dirfd. Returns
// false (contenido empty) when it is not a regular file or cannot be read.
bool LeerPrincipio(int dirfd, const char *nombre, size_t tope, std::string &contenido,
                   struct stat *st) {
  contenido.clear();
  Descriptor f;
  if (AbrirLectura(dirfd, nombre, f) != 0 || fstat(f.fd, st) != 0) return false;
  contenido.resize(tope);
  size_t hecho = 0;
  while (hecho < tope) {
    ssize_t n = read(f.fd, contenido.data() + hecho, tope - hecho);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    hecho += static_cast<size_t>(n);
  }
  contenido.resize(hecho);
  return true;
}

// A text from a terminal root fit for a terminal and for a tab-separated
// field: the operator's rule (TextoVisible), which leaves no tab nor line
// end in it.
std::string Visible(const std::string &texto) { return TextoVisible(texto); }

enum Ultimo { kSinCorridas, kIlegible, kLeido };
enum Lock { kLibre, kCorriendo, kBloqueado };

struct Terminal {
  std::string nombre;
  Ultimo ultimo = kSinCorridas;
  int codigo = 0;
  std::string texto;
  time_t cuando = 0;
  Lock lock = kLibre;
  long pid = 0;
  int encola = 0;
  int subidas = 0, dudosas = 0, respuestas = 0;

  bool Retiene() const { return subidas + dudosas + respuestas > 0; }
  bool Falla() const {
    return (ultimo == kIlegible) || (ultimo == kLeido && codigo != kExito) || Retiene() ||
           lock == kBloqueado;
  }
};

// estado.rsp: "<code>: <text>" and CR LF.
void LeerUltimo(int raiz, Terminal &t) {
  struct stat st;
  Tipo tipo = TipoDe(raiz, "estado.rsp", &st);
  if (tipo == kNada) return;
  std::string linea;
  t.ultimo = kIlegible;
  if (tipo != kRegular || !LeerPrincipio(raiz, "estado.rsp", 200, linea, &st)) return;
  t.cuando = st.st_mtime;
  const char *p = linea.c_str();
  char *fin = nullptr;
  errno = 0;
  long codigo = strtol(p, &fin, 10);
  if (fin == p || errno != 0 || codigo < -999 || codigo > 999 || strncmp(fin, ": ", 2) != 0) return;
  std::string texto = fin + 2;
  texto.erase(std::min(texto.find_first_of("\r\n"), texto.size()));
  t.ultimo = kLeido;
  t.codigo = static_cast<int>(codigo);
  t.texto = Visible(texto);
}

// _zelta.lck: the run in progress, or a lock that blocks every run (no
// positive pid in it, or not a regular file). A lock whose process is gone
// is taken over by the next run and counts as free.
void LeerLock(int raiz, Terminal &t) {
  struct stat st;
  Tipo tipo = TipoDe(raiz, "_zelta.lck", &st);
  if (tipo == kNada) return;
  std::string contenido;
  if (tipo != kRegular || !LeerPrincipio(raiz, "_zelta.lck", 11, contenido, &st)) {
    t.lock = kBloqueado;
    return;
  }
  int pid = PidDeLock(contenido.c_str());
  if (pid <= 0) {
    t.lock = kBloqueado;
  } else if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) {
    t.lock = kCorriendo;
    t.pid = pid;
  }
}

bool Termina(const std::string &nombre, const char *sufijo) {
  size_t n = strlen(sufijo);
  return nombre.size() > n && nombre.compare(nombre.size() - n, n, sufijo) == 0;
}

// retenidos/: the bundles kept by failed runs, by kind. None when the
// directory is missing.
void LeerRetenidos(int raiz, Terminal &t) {
  Descriptor dir;
  if (AbrirDirectorio(raiz, "retenidos", dir) != 0) return;
  for (const std::string &nombre : Nombres(dir)) {
    struct stat st;
    if (TipoDe(dir.fd, nombre.c_str(), &st) != kRegular) continue;
    if (Termina(nombre, ".subida")) t.subidas++;
    if (Termina(nombre, ".dudosa")) t.dudosas++;
    if (Termina(nombre, ".respuesta")) t.respuestas++;
  }
}

// Markers waiting in tx/, counted for the terminal each would start: the
// root of that name, or else of the name in small letters (as the daemon
// resolves them).
void ContarMarcas(int base, std::vector<Terminal> &terminales) {
  Descriptor tx;
  if (AbrirDirectorio(base, "tx", tx) != 0) return;
  std::map<std::string, Terminal *> porNombre;
  for (Terminal &t : terminales) porNombre[t.nombre] = &t;
  for (std::string nombre : Nombres(tx)) {
    auto it = porNombre.find(nombre);
    if (it == porNombre.end()) {
      for (char &c : nombre) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      it = porNombre.find(nombre);
    }
    if (it != porNombre.end()) it->second->encola++;
  }
}

std::string Fecha(time_t t) {
  struct tm tmv;
  char buf[32];
  if (localtime_r(&t, &tmv) == nullptr || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv) == 0) {
    return "?";
  }
  return buf;
}

// The fields of one terminal's line: for people (tabulado false) or for
// scripts.
std::vector<std::string> Campos(const Terminal &t, bool tabulado) {
  std::vector<std::string> c;
  c.push_back(Visible(t.nombre));
  if (t.ultimo == kLeido) {
    if (tabulado) {
      c.push_back(std::to_string(t.codigo));
      c.push_back(t.texto);
      c.push_back(std::to_string(static_cast<long long>(t.cuando)));
    } else {
      c.push_back(std::to_string(t.codigo) + " " + t.texto);
      c.push_back(Fecha(t.cuando));
    }
  } else {
    const char *marca = t.ultimo == kIlegible ? "?" : "-";
    c.push_back(marca);
    if (tabulado) c.push_back(marca);
    c.push_back(t.cuando != 0 ? (tabulado ? std::to_string(static_cast<long long>(t.cuando))
                                          : Fecha(t.cuando))
                              : "-");
  }
  if (t.lock == kCorriendo) {
    c.push_back(tabulado ? std::to_string(t.pid) : "pid " + std::to_string(t.pid));
  } else {
    c.push_back(t.lock == kBloqueado ? "bloqueado" : "-");
  }
  if (tabulado) {
    c.push_back(std::to_string(t.encola));
    c.push_back(std::to_string(t.subidas));
    c.push_back(std::to_string(t.dudosas));
    c.push_back(std::to_string(t.respuestas));
    return c;
  }
  c.push_back(t.encola > 0 ? std::to_string(t.encola) : "-");
  std::string r;
  auto agregar = [&r](int n, const char *tipo) {
    if (n == 0) return;
    if (!r.empty()) r += ", ";
    r += std::to_string(n) + " " + tipo;
  };
  agregar(t.subidas, "subida");
  agregar(t.dudosas, "dudosa");
  agregar(t.respuestas, "respuesta");
  c.push_back(r.empty() ? "-" : r);
  return c;
}

void Imprimir(const std::vector<std::vector<std::string>> &filas, bool tabulado) {
  std::vector<size_t> ancho;
  for (const auto &f : filas) {
    ancho.resize(std::max(ancho.size(), f.size()), 0);
    for (size_t i = 0; i < f.size(); i++) ancho[i] = std::max(ancho[i], f[i].size());
  }
  for (const auto &f : filas) {
    std::string linea;
    for (size_t i = 0; i < f.size(); i++) {
      linea += f[i];
      if (i + 1 == f.size()) break;
      linea += tabulado ? std::string("\t") : std::string(ancho[i] - f[i].size() + 2, ' ');
    }
    printf("%s\n", linea.c_str());
  }
  fflush(stdout);
}

}  // namespace

int MostrarEstadoTerminales(const std::string &base, bool tabulado) {
  Descriptor dir;
  if (int e = AbrirRaiz(base, dir); e != 0) {
    fprintf(stderr, "No se pudo abrir el directorio %s: %s\n", base.c_str(), strerror(e));
    return 1;
  }
  std::vector<Terminal> terminales;
  for (const std::string &nombre : Nombres(dir)) {
    struct stat st;
    if (nombre == "tx" || TipoDe(dir.fd, nombre.c_str(), &st) != kCarpeta) continue;
    Terminal t;
    t.nombre = nombre;
    Descriptor raiz;
    if (AbrirDirectorio(dir.fd, nombre.c_str(), raiz) != 0) {
      t.ultimo = kIlegible;
    } else {
      LeerUltimo(raiz.fd, t);
      LeerLock(raiz.fd, t);
      LeerRetenidos(raiz.fd, t);
    }
    terminales.push_back(t);
  }
  ContarMarcas(dir.fd, terminales);

  std::vector<std::vector<std::string>> filas;
  if (!tabulado) {
    filas.push_back({"TERMINAL", "ULTIMO RESULTADO", "FECHA", "CORRIENDO", "EN COLA", "RETENIDOS"});
  }
  bool falla = false;
  for (const Terminal &t : terminales) {
    filas.push_back(Campos(t, tabulado));
    falla = falla || t.Falla();
  }
  Imprimir(filas, tabulado);
  return falla ? 1 : 0;
}
