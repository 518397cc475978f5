// rondador.cpp - the daemon: command line, log, the scan loop over
// <basedir>/tx/, the ping before each client start and the detached start of
// the client.
#include "rondador.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "acceso.h"
#include "hash.h"

int debuglevel = 1;
const char *logfilepath = nullptr;
FILE *logfile = nullptr;
const char *hosttoping = nullptr;
const char *transfilepath = nullptr;
char *gtxdir = nullptr;
volatile sig_atomic_t pingpid = 0;
volatile sig_atomic_t finpedido = 0;
volatile sig_atomic_t recargapedida = 0;

namespace {

constexpr size_t kMaxMensaje = 499;

// Releases what malloc gave.
struct LiberarC {
  void operator()(void *p) const { free(p); }
};
using Texto = std::unique_ptr<char, LiberarC>;

// A marker's name and modification time as last seen.
struct Marca {
  std::string nombre;
  timespec mtime;
  uid_t dueno = 0;
};

// State of the scan loop and of the ping in progress.
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
  volatile sig_atomic_t alarmas = 0;  // alarms taken by the ping in progress
};
EstadoRonda g_ronda;

// How the daemon was started, as far as a reload and its children need it.
struct EstadoProceso {
  bool demonio = false;       // -d: standard output and error go to the log file
  bool hupignorado = false;   // SIGHUP was ignored by whoever started the daemon
};
EstadoProceso g_proceso;

// a + b + c in memory from malloc; nothing when memory is short.
Texto unir(const char *a, const char *b, const char *c) {
  size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
  Texto t(static_cast<char *>(malloc(la + lb + lc + 1)));
  if (!t) return t;
  memcpy(t.get(), a, la);
  memcpy(t.get() + la, b, lb);
  memcpy(t.get() + la + lb, c, lc + 1);
  return t;
}

// "/" when dir needs one before a name is appended, "" otherwise.
const char *separador(const char *dir) {
  size_t n = strlen(dir);
  return n > 0 && dir[n - 1] == '/' ? "" : "/";
}

bool mismotiempo(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool masviejo(const timespec &a, const std::string &na, const timespec &b,
              const std::string &nb) {
  if (a.tv_sec != b.tv_sec) return a.tv_sec < b.tv_sec;
  if (a.tv_nsec != b.tv_nsec) return a.tv_nsec < b.tv_nsec;
  return na < nb;
}

// A whole decimal number between min and max into *n. Returns whether the
// text was one.
bool leernumero(const char *valor, long min, long max, long *n) {
  char *fin = nullptr;
  errno = 0;
  *n = strtol(valor, &fin, 10);
  return *valor != '\0' && *fin == '\0' && errno == 0 && *n >= min && *n <= max;
}

// Checks the options that follow the two positional arguments; with args,
// also stores -a values from args[2] on and applies the settings. Returns 0,
// or -1 when the command line is faulty.
int leeropciones(int argc, char **argv, char **args, bool *demonio) {
  int nargs = 2;
  for (int i = 3; i < argc; ++i) {
    const char *op = argv[i];
    if (op[0] != '-') return -1;
    char letra = static_cast<char>(tolower(static_cast<unsigned char>(op[1])));
    if (letra == 'd') {
      if (op[2] != '\0') return -1;
      *demonio = true;
      continue;
    }
    if (letra == '\0' || strchr("xalptm", letra) == nullptr) return -1;
    const char *valor = op + 2;
    if (*valor == '\0') {
      if (i + 1 >= argc) return -1;
      valor = argv[++i];
    }
    long n = 0;
    if ((letra == 'x' && !leernumero(valor, -1000000, 1000000, &n)) ||
        (letra == 'm' && !leernumero(valor, 0, kMaxClientesTope, &n)))
      return -1;
    if (args == nullptr) continue;
    switch (letra) {
      case 'x': debuglevel = static_cast<int>(n); break;
      case 'm': maxclientes = static_cast<int>(n); break;
      case 'a': args[nargs++] = const_cast<char *>(valor); break;
      case 'l': logfilepath = valor; break;
      case 'p': hosttoping = valor; break;
      case 't': transfilepath = valor; break;
      default: break;
    }
  }
  return 0;
}

// The terminal root for a marker: <basedir>/<name>, or the same with the
// name in small letters when the first does not exist.
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

void pausar() {
  timespec pausa{0, kPollNanos};
  nanosleep(&pausa, nullptr);
}

// Handler of SIGTERM and SIGINT: the scan loop ends at its next look, and a
// ping in progress is ended now so the stop is not held up.
void pedirfin(int senal) {
  int guardado = errno;
  finpedido = senal;
  pid_t pid = pingpid;
  if (pid != 0) kill(pid, SIGTERM);
  despertarespera();
  errno = guardado;
}

// Handler of SIGHUP: the scan loop reloads before its next look at tx/.
void pedirrecarga(int) {
  recargapedida = 1;
  despertarespera();
}

// SIGINT stays ignored when whoever started the daemon ignored it (a
// shell's background job): it asked the daemon to outlive it. SIGHUP is
// always taken, ignored or not: it only reloads, so a hangup that reaches a
// daemon started under nohup does no harm, and such a daemon can still be
// told to reopen its log. Its clients and pings get SIGHUP as it was given
// (see restaurarhup), so a client started under nohup still outlives a
// hangup.
void atendersenales() {
  struct sigaction sa {};
  sa.sa_handler = pedirfin;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a wait in progress returns at once
  for (int s : {SIGTERM, SIGINT}) {
    struct sigaction antes {};
    if (s != SIGTERM && sigaction(s, nullptr, &antes) == 0 && antes.sa_handler == SIG_IGN) continue;
    sigaction(s, &sa, nullptr);
  }
  struct sigaction antes {};
  g_proceso.hupignorado = sigaction(SIGHUP, nullptr, &antes) == 0 && antes.sa_handler == SIG_IGN;
  sa.sa_handler = pedirrecarga;
  sigaction(SIGHUP, &sa, nullptr);
}

// In a child before exec: SIGHUP as whoever started the daemon gave it.
void restaurarhup() {
  if (g_proceso.hupignorado) signal(SIGHUP, SIG_IGN);
}

// Opens the log file anew and puts it in place of the old one (and, as a
// daemon, under standard output and error, which the clients inherit). A
// failure is logged and the old file kept.
void reabrirlog() {
  if (logfilepath == nullptr) return;
  int fd = abrirlog(logfilepath);
  FILE *nuevo = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (nuevo == nullptr) {
    int e = errno;
    if (fd >= 0) close(fd);
    log_f(1, "No se pudo reabrir el log %s: %s; se sigue escribiendo en el anterior", logfilepath,
          strerror(e));
    return;
  }
  if (g_proceso.demonio) {
    if (dup2(fd, STDOUT_FILENO) < 0) log_f(1, "reopen stdout: %s", strerror(errno));
    if (dup2(fd, STDERR_FILENO) < 0) log_f(1, "reopen stderr: %s", strerror(errno));
  }
  FILE *viejo = logfile;
  logfile = nuevo;
  if (viejo != nullptr) fclose(viejo);
}

// The command line after the two positional arguments, for the start line.
std::string textoopciones(int argc, char **argv) {
  std::string t;
  for (int i = 3; i < argc; ++i) {
    if (!t.empty()) t += ' ';
    t += argv[i];
  }
  return t.empty() ? "(ninguna)" : t;
}

// Logs the end of the daemon and returns its exit status.
int terminar(const char *basedir) {
  int senal = finpedido;
  if (senal == kFinPorTx) {
    log_f(1, "rondador detenido: otro rondador atiende %s", basedir);
    return kSalidaError;
  }
  log_f(1, "rondador detenido por la senal %d (%s)", senal, strsignal(senal));
  return 0;
}

// Whether a marker may start a client. A marker named tx or holding control
// bytes, or whose terminal root exists but is not a directory or is tx/
// itself, would have the client (as root) work on what is not a terminal
// root: it is refused, logged, and the caller deletes it.
bool marcavalida(const std::string &nombre, const char *raiz) {
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
    } else if (stat(gtxdir, &stx) == 0 && st.st_dev == stx.st_dev && st.st_ino == stx.st_ino) {
      motivo = "es el directorio de marcas";
    }
  }
  if (motivo == nullptr) return true;
  log_f(1, "Marca invalida %s: %s; se borra sin iniciar zelta", nombre.c_str(), motivo);
  return false;
}

// Puts back the marker of a client that could not be started, so that it
// is tried again; logged either way.
void restituirmarca(const std::string &nombre) {
  int e = crearsincronizado(gtxdir, nombre.c_str());
  if (e == 0) {
    log_f(1, "Marca %s restituida: zelta no pudo iniciarse", nombre.c_str());
  } else {
    log_f(1, "No se pudo restituir la marca %s%s: %s", gtxdir, nombre.c_str(), strerror(e));
  }
}

// After a failed client start: the marker is back and would be found at
// once, so the daemon waits, longer after each failure in a row (the
// cause, a missing or broken client program, rarely mends itself soon), up
// to kPausaFalloMax. A signal cuts the wait short.
void pausarfallo(int fallos) {
  long ms = kPollNanos / 1000000;
  for (int i = 1; i < fallos && ms < kPausaFalloMax * 1000L; ++i) ms *= 2;
  ms = std::min(ms, kPausaFalloMax * 1000L);
  timespec pausa{ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&pausa, nullptr);
}

// One attempt of pinghost. Returns whether ping exited with 0.
bool pingunavez(const char *host) {
  pid_t pid = fork();
  if (pid == -1) {
    log_f(1, "Imposible crear proceso ping: %s", strerror(errno));
    return false;
  }
  if (pid == 0) {
    soltarunico();
    restaurarhup();
    signal(SIGALRM, SIG_DFL);
    int nulo = open("/dev/null", O_WRONLY | O_APPEND);
    if (nulo >= 0 && nulo != STDOUT_FILENO) {
      dup2(nulo, STDOUT_FILENO);
      close(nulo);
    }
    execlp("ping", "ping", "-qnc1", host, static_cast<char *>(nullptr));
    _exit(1);
  }
  pingpid = pid;
  g_ronda.alarmas = 0;
  struct sigaction sa {};
  sa.sa_handler = killpingpid;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);
  alarm(kPingEspera);
  int st = 0;
  pid_t r;
  do {
    r = waitpid(pid, &st, 0);
  } while (r == -1 && errno == EINTR);
  alarm(0);
  signal(SIGALRM, SIG_IGN);
  pingpid = 0;
  if (g_ronda.alarmas > 0) log_f(5, "kill %u", static_cast<unsigned>(pid));
  return r == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace

void uso(const char *programa) {
  printf("Uso: %s basedir zeltapath [opciones]\n", programa);
  printf("\nOpciones:\n");
  printf("\t-xN Debug level N (0-sin salida, 10-maximo)\n");
  printf("\t-d Cargar como daemon\n");
  printf("\t-a zeltaarg\n");
  printf("\t-l logfile\n");
  printf("\t-p host\t\thace un ping antes de ZELTA\n");
  printf("\t-t file\t\tcarga archivo de transcodificacion\n");
  printf("\t-m N\t\tcomo maximo N clientes zelta a la vez (0-sin limite)\n");
  printf("\t--version\tversion del programa y del paquete (unico argumento)\n");
  printf("\t--help\t\testa ayuda (unico argumento)\n");
  fflush(stdout);
}

void lognf(const char *texto, int level) {
  if (level > debuglevel) return;
  FILE *f = logfile != nullptr ? logfile : stdout;
  char stamp[32];
  time_t ahora = time(nullptr);
  struct tm tmv;
  localtime_r(&ahora, &tmv);
  size_t n = strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &tmv);
  fwrite(stamp, 1, n, f);
  fputs(visible(texto).c_str(), f);
  fputc('\n', f);
  fflush(f);
}

void log_f(int level, const char *format, ...) {
  if (level > debuglevel) return;
  char texto[kMaxMensaje + 1];
  va_list ap;
  va_start(ap, format);
  vsnprintf(texto, sizeof texto, format, ap);
  va_end(ap);
  lognf(texto, level);
}

bool selectregfiles(const char *nombre) { return nombre[0] != '.'; }

void recargar() {
  reabrirlog();
  if (transfilepath == nullptr) {
    log_f(1, "Recarga pedida: log reabierto; no hay tabla de prestaciones (-t)");
    return;
  }
  size_t antes = contartabla();
  int r = recargartabla(transfilepath);
  if (r == 0) {
    log_f(1, "Tabla de prestaciones recargada: %zu codigos", contartabla());
  } else {
    log_f(1, "Tabla de prestaciones no recargada: %s %s; se mantiene la anterior (%zu codigos)",
          r == kSinMemoria ? "no hay memoria suficiente para" : "no se pudo leer", transfilepath,
          antes);
  }
}

const char *nombreterminal(const char *raiz) {
  const char *barra = strrchr(raiz, '/');
  return barra != nullptr && barra[1] != '\0' ? barra + 1 : raiz;
}

namespace {

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
  if (e != g_ronda.ultimoerror) log_f(1, "scandir: %s", strerror(e));
  if (g_ronda.ultimoerror == 0) log_f(1, "No se puede leer el directorio de marcas %s: %s", dir, strerror(e));
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
    log_f(1, "Error al borrar la marca %s%s%s: %s", dir, separador(dir), nombre, strerror(errno));
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

void reiniciarronda() {
  g_ajenas = Ajenas{};
  g_ronda.trabadas.clear();
  g_ronda.cola.clear();
  g_ronda.colavalida = false;
  g_ronda.dirdev = 0;
  g_ronda.dirino = 0;
  g_ronda.dirmtime = timespec{};
  g_ronda.ultimoerror = 0;
  g_ronda.alarmas = 0;
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
      log_f(1, "No se pudo sincronizar el directorio de marcas %s: %s", dir, strerror(e));
  } else if (errno != ENOENT) {
    log_f(1, "Error al borrar la marca %s: %s", ruta.c_str(), strerror(errno));
    struct stat st;
    if (lstat(ruta.c_str(), &st) == 0) g_ronda.trabadas.push_back({nombre, st.st_mtim, st.st_uid});
    r = -1;
  }
  if (g_ronda.colavalida && stat(dir, &sd) == 0) recordardirectorio(sd);
  return r;
}

void killpingpid(int) {
  int guardado = errno;
  pid_t pid = pingpid;
  if (pid != 0) {
    kill(pid, g_ronda.alarmas == 0 ? SIGTERM : SIGKILL);
    g_ronda.alarmas = g_ronda.alarmas + 1;
    alarm(kPingEspera);  // a ping that ignores SIGTERM gets SIGKILL next
  }
  errno = guardado;
}

bool pinghost(const char *host) {
  for (int i = 0; i < kPingIntentos; ++i) {
    if (finpedido != 0) return false;  // stopping: no more attempts
    if (pingunavez(host)) return true;
  }
  log_f(5, "Sin respuesta de %s despues de %d intentos", host, kPingIntentos);
  return false;
}

int fork2(pid_t *nieto) {
  *nieto = 0;
  int tubo[2];
  bool contubo = pipe2(tubo, O_CLOEXEC) == 0;
  pid_t hijo = fork();
  if (hijo == -1) {
    int e = errno;
    if (contubo) {
      close(tubo[0]);
      close(tubo[1]);
    }
    errno = e;
    return -1;
  }
  if (hijo == 0) {
    soltarunico();
    if (contubo) close(tubo[0]);
    pid_t n = fork();
    if (n == -1) _exit(errno);
    if (n > 0) {
      if (contubo) {
        ssize_t w = write(tubo[1], &n, sizeof n);
        (void)w;
      }
      _exit(0);
    }
    if (contubo) close(tubo[1]);
    return 0;
  }
  if (contubo) close(tubo[1]);
  int st = 0;
  pid_t r;
  do {
    r = waitpid(hijo, &st, 0);
  } while (r == -1 && errno == EINTR);
  int e = errno;
  if (contubo) {
    pid_t n = 0;
    ssize_t leido;
    do {
      leido = read(tubo[0], &n, sizeof n);
    } while (leido == -1 && errno == EINTR);
    if (leido == static_cast<ssize_t>(sizeof n)) *nieto = n;
    close(tubo[0]);
  }
  if (r == -1) {
    errno = e;
    return -1;
  }
  if (WIFSIGNALED(st)) {
    errno = EINTR;
    return -1;
  }
  if (WIFEXITED(st) && WEXITSTATUS(st) != 0) {
    errno = WEXITSTATUS(st);
    return -1;
  }
  return 1;
}

int ejecutarzelta(const char *path, char *const args[], FinCliente *fin) {
  const char *raiz = args[1];
  const char *terminal = nombreterminal(raiz);
  // The grandchild reports a failed exec through this pipe; a good exec
  // closes it (close-on-exec) without a word.
  int aviso[2];
  if (pipe2(aviso, O_CLOEXEC) != 0) {
    int e = errno;
    cerrarfin(fin);
    log_f(1, "No se pudo iniciar zelta para la terminal %s (%s): pipe: %s", terminal, raiz,
          strerror(e));
    return -1;
  }
  Descriptor lectura(aviso[0]), escritura(aviso[1]);
  // Taken from the clock file times come from, before the client can
  // write its estado.rsp.
  timespec lanzado{};
  clock_gettime(CLOCK_REALTIME_COARSE, &lanzado);
  pid_t nieto = 0;
  int r = fork2(&nieto);
  if (r == -1) {
    int e = errno;
    cerrarfin(fin);
    log_f(1, "Error al crear proc. zelta para terminal %s", raiz);
    log_f(1, "No se pudo iniciar zelta para la terminal %s (%s): %s", terminal, raiz, strerror(e));
    return -1;
  }
  if (r == 1) {
    escritura.reset(-1);
    int e = 0;
    ssize_t n;
    do {
      n = read(lectura.fd, &e, sizeof e);
    } while (n == -1 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof e)) {
      // Logged by the grandchild, which ends at once: no client ran, so
      // there is no end to log.
      cerrarfin(fin);
      return -1;
    }
    registrarcliente(fin, nieto, raiz, lanzado);
    log_f(7, "Proceso cliente zelta creado (pid=%d)", static_cast<int>(nieto));
    log_f(1, "zelta iniciado para la terminal %s (pid=%d)", terminal, static_cast<int>(nieto));
    return 0;
  }
  lectura.reset(-1);
  heredarfin(*fin);
  restaurarhup();
  signal(SIGALRM, SIG_DFL);
  execv(path, args);
  int e = errno;
  log_f(1, "Error al ejecutar cliente zelta");
  log_f(1, "No se pudo ejecutar %s para la terminal %s (%s): %s", path, terminal, raiz,
        strerror(e));
  ssize_t w = write(escritura.fd, &e, sizeof e);
  (void)w;
  _exit(1);
}

void makedaemon() {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == -1) {
    log_f(1, "No se pudo crear el daemon: %s", strerror(errno));
    exit(kSalidaError);
  }
  if (pid > 0) _exit(0);
  setsid();
  pid = fork();
  if (pid == -1) {
    log_f(1, "No se pudo crear el daemon: %s", strerror(errno));
    _exit(kSalidaError);
  }
  if (pid > 0) _exit(0);
  umask(0);
  fflush(stdout);
  fflush(stderr);
  Descriptor salida(abrirlog(logfilepath));
  if (salida.fd < 0 || dup2(salida.fd, STDOUT_FILENO) < 0)
    log_f(1, "reopen stdout: %s", strerror(errno));
  if (salida.fd < 0 || dup2(salida.fd, STDERR_FILENO) < 0)
    log_f(1, "reopen stderr: %s", strerror(errno));
  if (freopen("/dev/null", "r", stdin) == nullptr)
    log_f(1, "reopen stdin: %s", strerror(errno));
  log_f(2, "rondador daemon cargado");
}

#ifndef ZELTA_VERSION_PAQUETE
#define ZELTA_VERSION_PAQUETE "desconocida"
#endif

int rondador_main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("rondador %s (paquete zelta %s)\n", kVersionRondador, ZELTA_VERSION_PAQUETE);
    return 0;
  }
  printf("rondador %s\n", kVersionRondador);
  fflush(stdout);
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    uso(argv[0]);
    return 0;
  }
  bool demonio = false;
  if (argc < 3 || leeropciones(argc, argv, nullptr, &demonio) != 0) {
    uso(argv[0]);
    return kSalidaUso;
  }
  std::unique_ptr<char *[], LiberarC> args(
      static_cast<char **>(calloc(static_cast<size_t>(argc) + 1, sizeof(char *))));
  if (!args) {
    printf("FATAL: %s\n", "no hay suficiente memoria");
    return kSalidaError;
  }
  const char *basedir = argv[1];
  const char *zeltapath = argv[2];
  args[0] = argv[2];
  leeropciones(argc, argv, args.get(), &demonio);
  if (demonio && logfilepath == nullptr) {
    printf("ERROR: debe especificar un logfile para ser daemon\n");
    return kSalidaError;
  }
  if (logfilepath != nullptr) {
    int fd = abrirlog(logfilepath);
    logfile = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (logfile == nullptr) {
      if (fd >= 0) close(fd);
      printf("ERROR: no se puede abrir el logfile %s: %s\n", logfilepath, strerror(errno));
      return kSalidaError;
    }
  }
  Texto dirtx = unir(basedir, separador(basedir), "tx/");
  if (!dirtx) {
    log_f(1, "no hay suficiente memoria");
    return kSalidaSinMemoria;
  }
  gtxdir = dirtx.get();
  // Before detaching, so that a refusal reaches whoever started us.
  int unico = arrancarunico(basedir);
  if (unico == kUnicoOcupado) {
    printf("ERROR: otro rondador ya atiende %s (%s esta bloqueado)\n", basedir, rutaunico());
    if (logfile != nullptr)
      log_f(1, "ERROR: otro rondador ya atiende %s (%s esta bloqueado)", basedir, rutaunico());
    return kSalidaError;
  }
  if (unico == kUnicoAjeno) {
    // Logged by tomarunico; said here too for whoever started us.
    printf("ERROR: %s no es un archivo regular de root con un solo nombre; borrelo y vuelva a "
           "iniciar rondador\n",
           visible(rutaunico()).c_str());
    return kSalidaError;
  }
  if (transfilepath != nullptr) {
    int r = parsefile(transfilepath);
    if (r != 0) return r;
    log_f(5, "Archivo de transcodificacion cargado: %s", transfilepath);
  }
  if (demonio) makedaemon();
  g_proceso.demonio = demonio;
  // fork2 and pinghost wait for their children: an ignored SIGCHLD handed
  // down by whoever started us would make every wait fail.
  signal(SIGCHLD, SIG_DFL);
  abrirdespertador();
  atendersenales();
  log_f(1, "rondador %s iniciado (pid=%d): basedir %s, zelta %s, opciones %s", kVersionRondador,
        static_cast<int>(getpid()), basedir, zeltapath, textoopciones(argc, argv).c_str());
  iniciarespera(gtxdir);

  int fallosseguidos = 0;  // client starts failed in a row
  for (;;) {
    log_f(2, "Buscando transacciones...");
    std::optional<std::string> nombre = esperartx(gtxdir);
    if (!nombre) return terminar(basedir);
    FinCliente fin;
    if (abrirfin(&fin) != 0) {
      // Under a cap a client whose end cannot be seen must not start: the
      // marker stays and is tried again after a pause.
      pausar();
      continue;
    }
    log_f(2, "Tx encontrada en %s", nombre->c_str());
    Texto raiz = raizdeterminal(basedir, *nombre);
    if (!raiz) {
      // Without memory for the path the client cannot be started; the
      // marker stays and is tried again after a pause.
      log_f(1, "No hay memoria suficiente para la terminal %s", nombre->c_str());
      cerrarfin(&fin);
      pausar();
      continue;
    }
    if (!marcavalida(*nombre, raiz.get())) {
      cerrarfin(&fin);
      borrarmarca(gtxdir, *nombre);
      continue;
    }
    args[1] = raiz.get();
    if (hosttoping != nullptr) pinghost(hosttoping);
    if (finpedido != 0) {
      // Stopped during the ping: the marker stays for the next daemon.
      cerrarfin(&fin);
      return terminar(basedir);
    }
    // The marker is taken (deleted, durably) before its work starts: a
    // daemon killed after this point cannot start a second client for it.
    // One that cannot be deleted still starts its client once: it is passed
    // over until it changes (see borrarmarca).
    bool tomada = borrarmarca(gtxdir, *nombre) == 0;
    if (transfilepath != nullptr && replaceprest(raiz.get()) != 0)
      log_f(1, "Error al reemplazar prestaciones []");
    if (ejecutarzelta(zeltapath, args.get(), &fin) == 0) {
      fallosseguidos = 0;
      continue;
    }
    if (tomada) restituirmarca(*nombre);
    pausarfallo(++fallosseguidos);
  }
}
