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
//
// As a monitoring check it follows the plugin convention (0 well, 1
// warning, 2 critical, 3 unknown), finds the rondador that serves the base
// by its single-instance lock, and gives the same figures as JSON (-j) or
// as a Prometheus text file (-P) for node_exporter's textfile collector.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
  // Folders a resend split an answer into: name and modification time.
  std::vector<std::pair<std::string, time_t>> carpetas;
  bool antiguo = false;  // last result older than -e

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

// retenidos/: the bundles kept by failed runs, by kind, and the folders
// resends split answers into. None when the directory is missing.
void LeerRetenidos(int raiz, Terminal &t) {
  Descriptor dir;
  if (AbrirDirectorio(raiz, "retenidos", dir) != 0) return;
  for (const std::string &nombre : Nombres(dir)) {
    struct stat st;
    Tipo tipo = TipoDe(dir.fd, nombre.c_str(), &st);
    if (tipo == kCarpeta) t.carpetas.emplace_back(nombre, st.st_mtime);
    if (tipo != kRegular) continue;
    if (Termina(nombre, ".subida")) t.subidas++;
    if (Termina(nombre, ".dudosa")) t.dudosas++;
    if (Termina(nombre, ".respuesta")) t.respuestas++;
  }
}

// Every marker waiting in tx/ and how long the oldest has waited.
struct Marcas {
  int total = 0;
  long long espera = 0;  // seconds, of the oldest
};

// Markers waiting in tx/, counted for the terminal each would start: the
// root of that name, or else of the name in small letters (as the daemon
// resolves them); all of them, and the oldest's wait, in marcas.
void ContarMarcas(int base, time_t ahora, std::vector<Terminal> &terminales, Marcas &marcas) {
  Descriptor tx;
  if (AbrirDirectorio(base, "tx", tx) != 0) return;
  std::map<std::string, Terminal *> porNombre;
  for (Terminal &t : terminales) porNombre[t.nombre] = &t;
  for (std::string nombre : Nombres(tx)) {
    struct stat st;
    marcas.total++;
    if (TipoDe(tx.fd, nombre.c_str(), &st) != kNada) {
      marcas.espera = std::max(marcas.espera, static_cast<long long>(ahora - st.st_mtime));
    }
    auto it = porNombre.find(nombre);
    if (it == porNombre.end()) {
      for (char &c : nombre) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      it = porNombre.find(nombre);
    }
    if (it != porNombre.end()) it->second->encola++;
  }
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
      c.push_back(FechaLocal(t.cuando));
    }
  } else {
    const char *marca = t.ultimo == kIlegible ? "?" : "-";
    c.push_back(marca);
    if (tabulado) c.push_back(marca);
    c.push_back(t.cuando != 0 ? (tabulado ? std::to_string(static_cast<long long>(t.cuando))
                                          : FechaLocal(t.cuando))
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

// ---------------------------------------------------------------- the rondador

// The single-instance lock a rondador holds on its base (rondador/unico.cpp).
constexpr char kLockRondador[] = ".rondador.lck";

struct Rondador {
  bool atiende = false;  // someone holds the lock
  long pid = 0;          // who, when it could be told (0 otherwise)
};

// Whether process pid has a descriptor open on the file dev:ino.
bool TieneAbierto(long pid, dev_t dev, ino_t ino) {
  Descriptor fds(open(("/proc/" + std::to_string(pid) + "/fd").c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fds.fd < 0) return false;
  for (const std::string &n : Nombres(fds)) {
    struct stat st;
    if (fstatat(fds.fd, n.c_str(), &st, 0) == 0 && st.st_dev == dev && st.st_ino == ino) return true;
  }
  return false;
}

// The rondador serving the base: the holder of an exclusive flock on
// <base>/.rondador.lck, found in /proc/locks by the file's device and
// inode, so the file (root's, 0600) is never opened. /proc/locks records
// the process that took the lock; a daemon started with -d forks after
// taking it, so when that process no longer holds the file, the process
// that does is looked for among every process's descriptors (which needs
// root; the pid stays unknown otherwise).
Rondador BuscarRondador(int base) {
  Rondador r;
  struct stat st;
  if (TipoDe(base, kLockRondador, &st) != kRegular) return r;
  ArchivoPtr locks(fopen("/proc/locks", "re"));
  if (!locks) return r;
  char linea[256];
  long pid = 0;
  while (fgets(linea, sizeof linea, locks.get()) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10952936 0 EOF"; a waiter's line
    // has "->" before FLOCK and does not parse.
    char tipo[16], clase[16], modo[16];
    long quien = 0;
    unsigned mayor = 0, menor = 0;
    unsigned long long ino = 0;
    if (sscanf(linea, "%*d: %15s %15s %15s %ld %x:%x:%llu", tipo, clase, modo, &quien, &mayor, &menor,
               &ino) != 7) {
      continue;
    }
    if (strcmp(tipo, "FLOCK") != 0 || strcmp(modo, "WRITE") != 0 || mayor != major(st.st_dev) ||
        menor != minor(st.st_dev) || ino != st.st_ino) {
      continue;
    }
    r.atiende = true;
    pid = quien;
    break;
  }
  if (!r.atiende) return r;
  if (pid > 0 && TieneAbierto(pid, st.st_dev, st.st_ino)) {
    r.pid = pid;
    return r;
  }
  Descriptor proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (proc.fd < 0) return r;
  for (const std::string &n : Nombres(proc)) {
    if (!isdigit(static_cast<unsigned char>(n[0]))) continue;
    long otro = atol(n.c_str());
    if (otro != getpid() && TieneAbierto(otro, st.st_dev, st.st_ino)) {
      r.pid = otro;
      break;
    }
  }
  return r;
}

// ---------------------------------------------------------------- the whole base

enum Chequeo { kChequeoBien = 0, kChequeoAviso = 1, kChequeoCritico = 2, kChequeoDesconocido = 3 };

struct Tablero {
  std::vector<Terminal> terminales;
  Marcas marcas;
  Rondador rondador;
  time_t ahora = 0;
  int estado = kChequeoBien;
};

// Reads the base directory dir into tablero and judges it.
void LeerTablero(const Descriptor &dir, const EstadoCorrida &opciones, Tablero &tablero) {
  tablero.ahora = time(nullptr);
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
    tablero.terminales.push_back(t);
  }
  ContarMarcas(dir.fd, tablero.ahora, tablero.terminales, tablero.marcas);
  tablero.rondador = BuscarRondador(dir.fd);

  int estado = kChequeoBien;
  for (Terminal &t : tablero.terminales) {
    t.antiguo = opciones.edadmax >= 0 && t.ultimo == kLeido &&
                tablero.ahora - t.cuando > static_cast<time_t>(opciones.edadmax) * 3600;
    if (t.Falla() || t.antiguo) estado = std::max(estado, static_cast<int>(kChequeoAviso));
  }
  if (tablero.marcas.total > 0 &&
      (!tablero.rondador.atiende || tablero.marcas.espera > opciones.esperamax * 60)) {
    estado = kChequeoCritico;
  }
  tablero.estado = estado;
}

const char *NombreChequeo(int estado) {
  switch (estado) {
    case kChequeoBien: return "bien";
    case kChequeoAviso: return "aviso";
    case kChequeoCritico: return "critico";
    default: return "desconocido";
  }
}

// A span of seconds in the unit an operator reads best.
std::string Duracion(long long s) {
  if (s < 0) s = 0;
  if (s < 120) return std::to_string(s) + " s";
  if (s < 120 * 60) return std::to_string(s / 60) + " min";
  if (s < 48 * 3600) return std::to_string(s / 3600) + " h";
  return std::to_string(s / 86400) + " dias";
}

// What the table has no column for, in lines below it.
void ImprimirNotas(const Tablero &tablero, const EstadoCorrida &opciones) {
  printf("\n");
  const Rondador &r = tablero.rondador;
  if (!r.atiende) {
    printf("Rondador: ninguno atiende esta base\n");
  } else if (r.pid > 0) {
    printf("Rondador: pid %ld\n", r.pid);
  } else {
    printf("Rondador: atiende (pid desconocido)\n");
  }
  const Marcas &m = tablero.marcas;
  if (m.total > 0) {
    printf("En cola: %d marcas, la mas antigua de hace %s%s\n", m.total, Duracion(m.espera).c_str(),
           m.espera > opciones.esperamax * 60
               ? (" (mas de " + std::to_string(opciones.esperamax) + " min)").c_str()
               : "");
  }
  for (const Terminal &t : tablero.terminales) {
    if (t.antiguo) {
      printf("Resultado antiguo: %s, del %s (mas de %lld h)\n", Visible(t.nombre).c_str(),
             FechaLocal(t.cuando).c_str(), opciones.edadmax);
    }
  }
  for (const Terminal &t : tablero.terminales) {
    for (const auto &c : t.carpetas) {
      printf("Carpeta de respuesta: %s/retenidos/%s (%s)\n", Visible(t.nombre).c_str(),
             Visible(c.first).c_str(), FechaLocal(c.second).c_str());
    }
  }
  printf("Chequeo: %d %s\n", tablero.estado, NombreChequeo(tablero.estado));
  fflush(stdout);
}

// ---------------------------------------------------------------- JSON

// A text from outside as a JSON string: the operator's escaping first
// (which leaves printable ASCII only), then JSON's own for '"' and '\'.
std::string Json(const std::string &texto) {
  std::string out = "\"";
  for (char c : Visible(texto)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string JsonTerminal(const Terminal &t, time_t ahora) {
  std::string j = "{\"nombre\":" + Json(t.nombre);
  if (t.ultimo == kLeido) {
    j += ",\"codigo\":" + std::to_string(t.codigo) + ",\"texto\":" + Json(t.texto);
  } else {
    j += ",\"codigo\":null,\"texto\":null";
  }
  j += std::string(",\"ilegible\":") + (t.ultimo == kIlegible ? "true" : "false");
  if (t.cuando != 0) {
    j += ",\"fecha\":" + std::to_string(static_cast<long long>(t.cuando)) +
         ",\"edad\":" + std::to_string(static_cast<long long>(ahora - t.cuando));
  } else {
    j += ",\"fecha\":null,\"edad\":null";
  }
  j += std::string(",\"antiguo\":") + (t.antiguo ? "true" : "false");
  j += ",\"corriendo\":" + (t.lock == kCorriendo ? std::to_string(t.pid) : std::string("null"));
  j += std::string(",\"bloqueado\":") + (t.lock == kBloqueado ? "true" : "false");
  j += ",\"en_cola\":" + std::to_string(t.encola);
  j += ",\"retenidos\":{\"subida\":" + std::to_string(t.subidas) +
       ",\"dudosa\":" + std::to_string(t.dudosas) + ",\"respuesta\":" + std::to_string(t.respuestas) + "}";
  j += ",\"carpetas\":[";
  for (size_t i = 0; i < t.carpetas.size(); i++) {
    if (i > 0) j += ",";
    j += "{\"nombre\":" + Json(t.carpetas[i].first) +
         ",\"fecha\":" + std::to_string(static_cast<long long>(t.carpetas[i].second)) + "}";
  }
  return j + "]}";
}

void ImprimirJson(const std::string &base, const Tablero &tablero) {
  int fallan = 0, retenidos = 0, carpetas = 0, antiguos = 0;
  std::string terminales;
  for (const Terminal &t : tablero.terminales) {
    if (!terminales.empty()) terminales += ",\n  ";
    terminales += JsonTerminal(t, tablero.ahora);
    fallan += t.Falla() ? 1 : 0;
    retenidos += t.subidas + t.dudosas + t.respuestas;
    carpetas += static_cast<int>(t.carpetas.size());
    antiguos += t.antiguo ? 1 : 0;
  }
  const Rondador &r = tablero.rondador;
  std::string rondador = r.atiende ? "{\"pid\":" + (r.pid > 0 ? std::to_string(r.pid) : "null") + "}"
                                   : std::string("null");
  printf("{\"base\":%s,\n \"estado\":%d,\n \"rondador\":%s,\n"
         " \"marcas\":{\"en_cola\":%d,\"espera_max\":%lld},\n"
         " \"totales\":{\"terminales\":%zu,\"con_problemas\":%d,\"retenidos\":%d,\"carpetas\":%d,"
         "\"antiguos\":%d},\n"
         " \"terminales\":[%s%s]}\n",
         Json(base).c_str(), tablero.estado, rondador.c_str(), tablero.marcas.total,
         tablero.marcas.espera, tablero.terminales.size(), fallan, retenidos, carpetas, antiguos,
         terminales.empty() ? "" : "\n  ", terminales.c_str());
  fflush(stdout);
}

// ---------------------------------------------------------------- Prometheus

// A label value: the operator's escaping, then the exposition format's
// (backslash, double quote, line feed).
std::string Etiqueta(const std::string &texto) {
  std::string out;
  for (char c : Visible(texto)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

// Builds the exposition text: each family's HELP and TYPE lines, then its
// samples.
struct Metricas {
  std::string texto;
  std::string base;  // the base label, escaped

  void Familia(const char *nombre, const char *ayuda) {
    texto += std::string("# HELP ") + nombre + " " + ayuda + "\n# TYPE " + nombre + " gauge\n";
  }
  void Muestra(const char *nombre, const std::string &etiquetas, long long valor) {
    texto += std::string(nombre) + "{base=\"" + base + "\"" + etiquetas + "} " + std::to_string(valor) + "\n";
  }
};

std::string ArmarMetricas(const std::string &base, const Tablero &tablero) {
  Metricas m;
  m.base = Etiqueta(base);
  auto terminal = [](const Terminal &t) { return ",terminal=\"" + Etiqueta(t.nombre) + "\""; };
  m.Familia("zelta_chequeo_estado", "Estado del chequeo de la base: 0 bien, 1 aviso, 2 critico, 3 desconocido.");
  m.Muestra("zelta_chequeo_estado", "", tablero.estado);
  m.Familia("zelta_rondador_activo", "1 cuando un rondador atiende la base.");
  m.Muestra("zelta_rondador_activo", "", tablero.rondador.atiende ? 1 : 0);
  m.Familia("zelta_marcas_en_cola", "Marcas esperando en tx/.");
  m.Muestra("zelta_marcas_en_cola", "", tablero.marcas.total);
  m.Familia("zelta_marca_espera_segundos", "Espera de la marca mas antigua de tx/ (0 sin marcas).");
  m.Muestra("zelta_marca_espera_segundos", "", tablero.marcas.espera);
  m.Familia("zelta_terminales", "Terminales de la base.");
  m.Muestra("zelta_terminales", "", static_cast<long long>(tablero.terminales.size()));
  m.Familia("zelta_ultimo_resultado", "Codigo del ultimo resultado de la terminal (estado.rsp).");
  for (const Terminal &t : tablero.terminales) {
    if (t.ultimo == kLeido) m.Muestra("zelta_ultimo_resultado", terminal(t), t.codigo);
  }
  m.Familia("zelta_ultimo_resultado_edad_segundos", "Antiguedad del ultimo resultado de la terminal.");
  for (const Terminal &t : tablero.terminales) {
    if (t.ultimo == kLeido) {
      m.Muestra("zelta_ultimo_resultado_edad_segundos", terminal(t), tablero.ahora - t.cuando);
    }
  }
  m.Familia("zelta_corriendo", "1 mientras una corrida de la terminal esta en curso.");
  for (const Terminal &t : tablero.terminales) {
    m.Muestra("zelta_corriendo", terminal(t), t.lock == kCorriendo ? 1 : 0);
  }
  m.Familia("zelta_retenidos", "Transacciones retenidas en retenidos/, por clase.");
  for (const Terminal &t : tablero.terminales) {
    m.Muestra("zelta_retenidos", terminal(t) + ",clase=\"subida\"", t.subidas);
    m.Muestra("zelta_retenidos", terminal(t) + ",clase=\"dudosa\"", t.dudosas);
    m.Muestra("zelta_retenidos", terminal(t) + ",clase=\"respuesta\"", t.respuestas);
  }
  m.Familia("zelta_carpetas_respuesta", "Carpetas de respuesta de reenvios en retenidos/.");
  for (const Terminal &t : tablero.terminales) {
    m.Muestra("zelta_carpetas_respuesta", terminal(t), static_cast<long long>(t.carpetas.size()));
  }
  return m.texto;
}

// Replaces the file ruta (the operator's path, trusted like the base) with
// texto: written to a new file beside it, synced, renamed over it, and the
// directory synced, so a reader sees the old figures or the new ones,
// never part of them. The temporary name does not end in ".prom", so the
// textfile collector never reads it. Returns 0 or an errno value.
int ReemplazarArchivo(const std::string &ruta, const std::string &texto) {
  const std::string nombre = NombreDe(ruta);
  if (nombre.empty()) return EISDIR;
  const std::string dir = DirectorioDe(ruta, "./");
  const std::string temporal = dir + "." + nombre + "." + std::to_string(getpid()) + ".tmp";
  unlink(temporal.c_str());
  Descriptor f(open(temporal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (f.fd < 0) return errno;
  int e = 0;
  if (fchmod(f.fd, 0644) != 0 || !EscribirTodo(f.fd, texto.data(), texto.size())) e = errno;
  if (e == 0) e = Sincronizar(f.fd);
  if (e == 0 && !f.Cerrar()) e = errno;
  if (e == 0 && rename(temporal.c_str(), ruta.c_str()) != 0) e = errno;
  if (e != 0) {
    unlink(temporal.c_str());
    return e;
  }
  Descriptor d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return d.fd < 0 ? errno : Sincronizar(d.fd);
}

}  // namespace

int MostrarEstadoTerminales(const std::string &base, const EstadoCorrida &opciones) {
  Descriptor dir;
  if (int e = AbrirRaiz(base, dir); e != 0) {
    fprintf(stderr, "No se pudo abrir el directorio %s: %s\n", base.c_str(), strerror(e));
    if (opciones.json) {
      printf("{\"base\":%s,\n \"estado\":%d,\n \"error\":%s}\n", Json(base).c_str(), kChequeoDesconocido,
             Json(strerror(e)).c_str());
      fflush(stdout);
    }
    return kChequeoDesconocido;
  }
  Tablero tablero;
  LeerTablero(dir, opciones, tablero);
  if (!opciones.prometheus.empty()) {
    if (int e = ReemplazarArchivo(opciones.prometheus, ArmarMetricas(base, tablero)); e != 0) {
      fprintf(stderr, "No se pudo escribir %s: %s\n", opciones.prometheus.c_str(), strerror(e));
      tablero.estado = kChequeoDesconocido;
    }
  }
  if (opciones.json) {
    ImprimirJson(base, tablero);
    return tablero.estado;
  }
  std::vector<std::vector<std::string>> filas;
  if (!opciones.tabulado) {
    filas.push_back({"TERMINAL", "ULTIMO RESULTADO", "FECHA", "CORRIENDO", "EN COLA", "RETENIDOS"});
  }
  for (const Terminal &t : tablero.terminales) filas.push_back(Campos(t, opciones.tabulado));
  Imprimir(filas, opciones.tabulado);
  if (!opciones.tabulado) ImprimirNotas(tablero, opciones);
  return tablero.estado;
}
