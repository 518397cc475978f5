// marcas.cpp - the scan of tx/: listing the markers oldest first, the checks
// a marker passes before its client starts (whose it is, what it names), and
// the deletion that claims it.
#include "marcas.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "acceso.h"
#include "registro.h"

namespace rondador {

namespace {

// A marker's name and modification time as last seen.
struct Marca {
  std::string nombre;
  timespec mtime;
  uid_t dueno = 0;
};

// State of the scan loop.
//
// A full listing of tx/ stats every entry, so doing one per handled marker
// makes a backlog cost the square of its length. The markers of the last
// listing are therefore kept, newest first (the oldest at the back), and the
// next poll takes the back again as long as the directory has not changed
// since (other than by our own deletions) and that marker is still as it
// was listed. Any other change, and an empty list, mean a new listing.
struct EstadoRonda {
  std::vector<Marca> trabadas;  // could not be deleted: passed over while unchanged
  std::vector<Marca> cola;      // the last listing, oldest at the back
  bool colavalida = false;
  dev_t dirdev = 0;
  ino_t dirino = 0;
  timespec dirmtime{};
  int ultimoerror = 0;  // errno of the last failed listing, 0 after a good one
};
EstadoRonda g_ronda;

bool mismotiempo(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool masviejo(const timespec &a, const std::string &na, const timespec &b,
              const std::string &nb) {
  if (a.tv_sec != b.tv_sec) return a.tv_sec < b.tv_sec;
  if (a.tv_nsec != b.tv_nsec) return a.tv_nsec < b.tv_nsec;
  return na < nb;
}


bool mismodirectorio(const struct stat &sd) {
  return g_ronda.colavalida && sd.st_dev == g_ronda.dirdev && sd.st_ino == g_ronda.dirino &&
         mismotiempo(sd.st_mtim, g_ronda.dirmtime);
}

void recordardirectorio(const struct stat &sd) {
  g_ronda.dirdev = sd.st_dev;
  g_ronda.dirino = sd.st_ino;
  g_ronda.dirmtime = sd.st_mtim;
}

// A failed look at tx/: "scandir" when the error changes, and the path once
// until tx/ can be read again (then listar says so).
void fallolistado(const char *dir, int e) {
  if (e != g_ronda.ultimoerror) log_falla(1, e, "scandir");
  if (g_ronda.ultimoerror == 0) log_falla(1, e, "No se puede leer el directorio de marcas %s", dir);
  g_ronda.ultimoerror = e;
  g_ronda.colavalida = false;
  g_ronda.cola.clear();
}

// The base directory of the tx/ dir names (its parent, by name), opened.
// A failure leaves base at -1: every marker not made by root then counts as
// naming no root.
void abrirbase(const char *dir, Descriptor &base) {
  std::string ruta(dir);
  while (ruta.size() > 1 && ruta.back() == '/') ruta.pop_back();
  size_t barra = ruta.rfind('/');
  ruta = barra == std::string::npos ? "." : barra == 0 ? "/" : ruta.substr(0, barra);
  base.reset(open(ruta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Owner of the terminal root a marker names (as raizdeterminal finds it:
// the name, else the name in small letters) into *dueno. Returns false when
// there is no such root.
bool duenoraiz(int base, const char *nombre, uid_t *dueno) {
  struct stat st;
  if (base < 0) return false;
  if (fstatat(base, nombre, &st, 0) != 0) {
    if (errno != ENOENT) return false;
    std::string minusculas(nombre);
    for (char &c : minusculas) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (minusculas == nombre || fstatat(base, minusculas.c_str(), &st, 0) != 0) return false;
  }
  *dueno = st.st_uid;
  return true;
}

// Whether uid may drop markers for any terminal: root, or the daemon's own
// user when it does not run as root (tests).
bool duenodetodas(uid_t uid) { return uid == 0 || uid == geteuid(); }

// "uid N (name)" for the log.
std::string textousuario(uid_t uid) {
  std::string t = "uid " + std::to_string(uid);
  char buf[1024];
  struct passwd pw, *r = nullptr;
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &r) == 0 && r != nullptr) {
    t += " (";
    t += r->pw_name;
    t += ")";
  }
  return t;
}

// Markers deleted for not belonging to their terminal. The log says at most
// one full line and one line with a count a second, so that a flood of them
// costs no more than a few lines however many there are.
struct Ajenas {
  size_t pendientes = 0;  // deleted since the last line, not yet counted in one
  std::string ultima;
  uid_t ultimodueno = 0;
  timespec ultimalinea{};  // monotonic time of the last line about them
  bool dicho = false;      // some line was ever said
};
Ajenas g_ajenas;

bool paso1s(const timespec &desde) {
  timespec ahora;
  clock_gettime(CLOCK_MONOTONIC, &ahora);
  return (ahora.tv_sec - desde.tv_sec) * 1000000000L + (ahora.tv_nsec - desde.tv_nsec) >=
         1000000000L;
}

// Says how many were deleted since the last line, when there were some and
// a second has passed.
void contarajenas() {
  Ajenas &a = g_ajenas;
  if (a.pendientes == 0 || !paso1s(a.ultimalinea)) return;
  log_f(1, "Otras %zu marcas ajenas borradas sin iniciar zelta (la ultima %s, de %s)",
        a.pendientes, a.ultima.c_str(), textousuario(a.ultimodueno).c_str());
  a.pendientes = 0;
  clock_gettime(CLOCK_MONOTONIC, &a.ultimalinea);
}

// One more deleted marker: a full line when none was said this second,
// else counted for contarajenas.
void anotarajena(const char *nombre, uid_t dueno, bool hayraiz, uid_t duenoraiz) {
  Ajenas &a = g_ajenas;
  contarajenas();
  if (!a.dicho || (a.pendientes == 0 && paso1s(a.ultimalinea))) {
    std::string raiz = hayraiz ? "la terminal es de " + textousuario(duenoraiz) : "la terminal no existe";
    log_f(1, "Marca ajena %s: es de %s y %s; se borra sin iniciar zelta", nombre,
          textousuario(dueno).c_str(), raiz.c_str());
    a.dicho = true;
    clock_gettime(CLOCK_MONOTONIC, &a.ultimalinea);
    return;
  }
  ++a.pendientes;
  a.ultima = nombre;
  a.ultimodueno = dueno;
}


// Checks that the marker nombre (of the tx/ dir, open as txfd, with status st)
// belongs to its terminal: made by root, or by the owner of the terminal
// root it names. One that does not is deleted (its deletion needs no sync:
// one that comes back after a power cut is deleted again), logged through
// anotarajena, and false is returned. One that cannot be deleted is passed over
// until it changes, like any stuck marker.
bool marcapropia(const char *dir, int txfd, int base, const char *nombre, const struct stat &st) {
  if (duenodetodas(st.st_uid)) return true;
  uid_t dueno = 0;
  bool hayraiz = duenoraiz(base, nombre, &dueno);
  if (hayraiz && dueno == st.st_uid) return true;
  anotarajena(nombre, st.st_uid, hayraiz, dueno);
  int r = unlinkat(txfd, nombre, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
  if (r != 0 && errno != ENOENT) {
    log_falla(1, errno, "Error al borrar la marca %s%s%s", dir, separador(dir), nombre);
    g_ronda.trabadas.push_back({nombre, st.st_mtim, st.st_uid});
  }
  return false;
}

// Lists dir into g_ronda.cola. sd is the directory's status taken before the
// listing, so that a change made while listing shows at the next poll.
bool listar(const char *dir, const struct stat &sd) {
  g_ronda.cola.clear();
  g_ronda.colavalida = false;
  DIR *d = opendir(dir);
  if (d == nullptr) {
    fallolistado(dir, errno);
    return false;
  }
  std::unique_ptr<DIR, int (*)(DIR *)> cerrar(d, closedir);
  if (g_ronda.ultimoerror != 0) log_f(1, "Directorio de marcas %s accesible de nuevo", dir);
  g_ronda.ultimoerror = 0;
  std::vector<bool> vista(g_ronda.trabadas.size(), false);
  Descriptor base;
  abrirbase(dir, base);
  while (dirent *e = readdir(d)) {
    if (!selectregfiles(e->d_name)) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    bool trabada = false;
    for (size_t i = 0; i < g_ronda.trabadas.size(); ++i) {
      if (g_ronda.trabadas[i].nombre == e->d_name &&
          mismotiempo(g_ronda.trabadas[i].mtime, st.st_mtim)) {
        vista[i] = true;
        trabada = true;
      }
    }
    if (!trabada && marcapropia(dir, dirfd(d), base.fd, e->d_name, st))
      g_ronda.cola.push_back({e->d_name, st.st_mtim, st.st_uid});
  }
  contarajenas();
  // Forget stuck markers that are gone or were touched again.
  size_t j = 0;
  for (size_t i = 0; i < g_ronda.trabadas.size(); ++i) {
    if (!vista[i]) continue;
    if (i != j) g_ronda.trabadas[j] = std::move(g_ronda.trabadas[i]);
    ++j;
  }
  g_ronda.trabadas.resize(j);
  std::sort(g_ronda.cola.begin(), g_ronda.cola.end(), [](const Marca &a, const Marca &b) {
    return masviejo(b.mtime, b.nombre, a.mtime, a.nombre);
  });
  recordardirectorio(sd);
  g_ronda.colavalida = true;
  return true;
}

}  // namespace

bool selectregfiles(const char *nombre) { return nombre[0] != '.'; }

const char *nombreterminal(const char *raiz) {
  const char *barra = strrchr(raiz, '/');
  return barra != nullptr && barra[1] != '\0' ? barra + 1 : raiz;
}

Texto raizdeterminal(const char *basedir, const std::string &nombre) {
  Texto raiz = unir(basedir, separador(basedir), nombre.c_str());
  if (!raiz) return raiz;
  struct stat st;
  if (stat(raiz.get(), &st) == 0 || errno != ENOENT) return raiz;
  Texto minusculas = unir(raiz.get(), "", "");
  if (!minusculas) {
    log_f(1, "No hay memoria suficiente para cambiar case");
    return raiz;
  }
  char *p = minusculas.get() + strlen(minusculas.get()) - nombre.size();
  for (; *p != '\0'; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  log_f(10, "Modificando busqueda de tx a %s", minusculas.get());
  return minusculas;
}

bool marcavalida(const char *txdir, const std::string &nombre, const char *raiz) {
  const char *motivo = nullptr;
  struct stat st, stx;
  bool control = std::any_of(nombre.begin(), nombre.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  if (nombre == "tx") {
    motivo = "es el directorio de marcas";
  } else if (control) {
    motivo = "tiene caracteres de control";
  } else if (stat(raiz, &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      motivo = "la raiz no es un directorio";
    } else if (stat(txdir, &stx) == 0 && st.st_dev == stx.st_dev && st.st_ino == stx.st_ino) {
      motivo = "es el directorio de marcas";
    }
  }
  if (motivo == nullptr) return true;
  log_f(1, "Marca invalida %s: %s; se borra sin iniciar zelta", nombre.c_str(), motivo);
  return false;
}

void restituirmarca(const char *txdir, const std::string &nombre) {
  int e = crearsincronizado(txdir, nombre.c_str());
  if (e == 0) {
    log_f(1, "Marca %s restituida: zelta no pudo iniciarse", nombre.c_str());
  } else {
    log_falla(1, e, "No se pudo restituir la marca %s%s", txdir, nombre.c_str());
  }
}

void reiniciarronda() {
  g_ajenas = Ajenas{};
  g_ronda.trabadas.clear();
  g_ronda.cola.clear();
  g_ronda.colavalida = false;
  g_ronda.dirdev = 0;
  g_ronda.dirino = 0;
  g_ronda.dirmtime = timespec{};
  g_ronda.ultimoerror = 0;
}

std::optional<std::string> buscartx(const char *dir) {
  struct stat sd;
  if (stat(dir, &sd) != 0) {
    fallolistado(dir, errno);
    return std::nullopt;
  }
  bool listado = false;
  if (g_ronda.cola.empty() || !mismodirectorio(sd)) {
    if (!listar(dir, sd)) return std::nullopt;
    listado = true;
  }
  while (!g_ronda.cola.empty()) {
    const Marca &c = g_ronda.cola.back();
    std::string ruta = std::string(dir) + separador(dir) + c.nombre;
    struct stat st;
    if (lstat(ruta.c_str(), &st) != 0) {
      g_ronda.cola.pop_back();  // deleted by someone else
      continue;
    }
    if (st.st_uid != c.dueno) {
      // Replaced by another user's file since it was listed: the next
      // listing checks the new one.
      g_ronda.cola.pop_back();
      g_ronda.colavalida = false;
      continue;
    }
    if (mismotiempo(st.st_mtim, c.mtime)) return c.nombre;
    // Touched since it was listed: its place in the order has changed.
    if (listado) {
      g_ronda.cola.back().mtime = st.st_mtim;
      return c.nombre;
    }
    if (!listar(dir, sd)) return std::nullopt;
    listado = true;
  }
  return std::nullopt;
}

std::vector<std::string> marcasencola() {
  std::vector<std::string> v;
  for (auto m = g_ronda.cola.rbegin(); m != g_ronda.cola.rend(); ++m) v.push_back(m->nombre);
  return v;
}

int borrarmarca(const char *dir, const std::string &nombre) {
  if (!g_ronda.cola.empty() && g_ronda.cola.back().nombre == nombre) g_ronda.cola.pop_back();
  // Our own deletion changes the directory; a change by anyone else before
  // it must still force a new listing.
  struct stat sd;
  if (stat(dir, &sd) != 0 || !mismodirectorio(sd)) g_ronda.colavalida = false;
  std::string ruta = std::string(dir) + separador(dir) + nombre;
  int r = 0;
  if (unlink(ruta.c_str()) == 0) {
    // Durable before the client starts: after a power cut the marker must
    // not come back and start a second client.
    if (int e = sincronizardirectorio(dir); e != 0)
      log_falla(1, e, "No se pudo sincronizar el directorio de marcas %s", dir);
  } else if (errno != ENOENT) {
    log_falla(1, errno, "Error al borrar la marca %s", ruta.c_str());
    struct stat st;
    if (lstat(ruta.c_str(), &st) == 0) g_ronda.trabadas.push_back({nombre, st.st_mtim, st.st_uid});
    r = -1;
  }
  if (g_ronda.colavalida && stat(dir, &sd) == 0) recordardirectorio(sd);
  return r;
}

}  // namespace rondador
