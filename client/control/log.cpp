// log.cpp - the client's log: level filter, timestamp and terminal tag on
// every line, and folding of consecutive repeated messages.
//
// Every line is built in memory, without the heap, and handed to the sink
// with one write(2). The timestamp is computed from the UTC offset that
// localtime_r gave for the line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "control.h"

namespace {

constexpr size_t kMaxMensaje = 511;
constexpr size_t kMaxTag = 39;

struct EstadoLog {
  FILE *salida = nullptr;             // the sink; nullptr until set
  int fd = -1;                        // descriptor of salida
  char ultimo[kMaxMensaje + 1] = "";  // last message written
  int repeticiones = 0;               // repeats swallowed since
  long desplazamiento = 0;            // local time offset from UTC, seconds
};
EstadoLog g_log;

// A line under construction; every append is signal-safe and cut at the cap.
struct Linea {
  char buf[kMaxMensaje + 128];
  size_t n = 0;
  void Agregar(const char *texto, size_t largo) {
    for (size_t i = 0; i < largo && n < sizeof buf; i++) buf[n++] = texto[i];
  }
  void Agregar(const char *texto) { Agregar(texto, strlen(texto)); }
  // The text with every byte but printable ASCII shown as \xNN (see
  // EscaparByte), so that names from outside (markers, delivered files, the
  // server's answers) can neither forge lines nor send escapes to a
  // terminal. The line ends (CR, LF) that close some messages, such as the
  // modem's connect string, stay as they are: at the end they can start no
  // forged line.
  void AgregarVisible(const char *texto) {
    size_t largo = strlen(texto);
    size_t finales = largo;
    while (finales > 0 && (texto[finales - 1] == '\n' || texto[finales - 1] == '\r')) finales--;
    for (size_t i = 0; i < largo; i++) {
      if (i >= finales) {
        Agregar(texto + i, 1);
        continue;
      }
      char esc[4];
      Agregar(esc, EscaparByte(static_cast<unsigned char>(texto[i]), esc));
    }
  }
  void DosDigitos(long v) {
    char d[2] = {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
    Agregar(d, 2);
  }
};

// "%b %d %H:%M:%S " in the C locale, from the remembered UTC offset.
void AgregarFecha(Linea &l) {
  static const char *const kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  long t = static_cast<long>(time(nullptr)) + g_log.desplazamiento;
  long dias = t / 86400, seg = t % 86400;
  if (seg < 0) {
    seg += 86400;
    dias--;
  }
  // Civil date from a count of days since 1970-01-01.
  long z = dias + 719468;
  long era = (z >= 0 ? z : z - 146096) / 146097;
  long doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long mp = (5 * doy + 2) / 153;
  long dia = doy - (153 * mp + 2) / 5 + 1;
  long mes = mp < 10 ? mp + 3 : mp - 9;
  l.Agregar(kMeses[mes - 1]);
  l.Agregar(" ");
  l.DosDigitos(dia);
  l.Agregar(" ");
  l.DosDigitos(seg / 3600);
  l.Agregar(":");
  l.DosDigitos(seg / 60 % 60);
  l.Agregar(":");
  l.DosDigitos(seg % 60);
  l.Agregar(" ");
}

// "[" + last component of the root + "]: ", or nothing when the root has no
// '/' apart from a trailing one.
void AgregarTag(Linea &l) {
  const std::string &raiz = g_corrida.raiz;
  size_t fin = raiz.size();
  if (fin > 0 && raiz[fin - 1] == '/') fin--;
  size_t inicio = fin;
  while (inicio > 0 && raiz[inicio - 1] != '/') inicio--;
  if (inicio == 0) return;
  size_t largo = fin - inicio < kMaxTag ? fin - inicio : kMaxTag;
  l.Agregar("[");
  l.Agregar(raiz.data() + inicio, largo);
  l.Agregar("]: ");
}

void EscribirLinea(const char *texto) {
  // Text printed on the same stream through stdio must come out first.
  fflush(g_log.salida);
  time_t ahora = time(nullptr);
  struct tm tmv;
  if (localtime_r(&ahora, &tmv) != nullptr) g_log.desplazamiento = tmv.tm_gmtoff;
  Linea l;
  AgregarFecha(l);
  AgregarTag(l);
  l.AgregarVisible(texto);
  if (l.n == sizeof l.buf) l.n--;
  l.buf[l.n++] = '\n';
  EscribirTodo(g_log.fd, l.buf, l.n);
}

void Registrar(const char *texto, int nivel) {
  if (g_log.fd < 0) {
    g_log.salida = stdout;
    g_log.fd = STDOUT_FILENO;
    static const char kAviso[] = "Archivo de log invalido, saliendo al stdout\n";
    fflush(stdout);
    EscribirTodo(g_log.fd, kAviso, sizeof kAviso - 1);
  }
  if (nivel > g_corrida.debuglevel) return;
  // A repeat: the whole text equals the start of the last message.
  size_t largo = strlen(texto);
  if (largo <= strlen(g_log.ultimo) && memcmp(texto, g_log.ultimo, largo) == 0) {
    g_log.repeticiones++;
    return;
  }
  if (g_log.repeticiones > 0) {
    Linea r;
    r.Agregar(g_log.ultimo);
    r.Agregar(" [Repetido ");
    char cifras[12];
    size_t nc = 0;
    for (unsigned v = static_cast<unsigned>(g_log.repeticiones); v > 0 || nc == 0; v /= 10) {
      cifras[sizeof cifras - 1 - nc++] = static_cast<char>('0' + v % 10);
    }
    r.Agregar(cifras + sizeof cifras - nc, nc);
    r.Agregar(" veces]");
    if (r.n > kMaxMensaje) r.n = kMaxMensaje;
    r.buf[r.n] = '\0';
    EscribirLinea(r.buf);
  }
  EscribirLinea(texto);
  size_t copia = largo < kMaxMensaje ? largo : kMaxMensaje;
  memcpy(g_log.ultimo, texto, copia);
  g_log.ultimo[copia] = '\0';
  g_log.repeticiones = 0;
}

}  // namespace

FILE *AbrirLog(const char *ruta) {
  // Created 0644 whatever the umask (the daemon runs with 0), so that no
  // other user can forge or erase lines; an existing log keeps its mode.
  int fd = open(ruta, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    fchmod(fd, 0644);
  } else if (errno == EEXIST) {
    fd = open(ruta, O_WRONLY | O_APPEND | O_CLOEXEC);
  }
  if (fd < 0) return nullptr;
  FILE *f = fdopen(fd, "a");
  if (f == nullptr) close(fd);
  return f;
}

void FijarSalidaLog(FILE *salida) {
  g_log.salida = salida;
  g_log.fd = salida != nullptr ? fileno(salida) : -1;
}

FILE *SalidaLog() { return g_log.salida; }

void ReiniciarLog() {
  g_log.ultimo[0] = '\0';
  g_log.repeticiones = 0;
}

void LogMensaje(const char *texto, int nivel) { Registrar(texto, nivel); }

void LogFormato(int nivel, const char *formato, ...) {
  if (g_log.fd >= 0 && nivel > g_corrida.debuglevel) return;
  char mensaje[kMaxMensaje + 1];
  va_list ap;
  va_start(ap, formato);
  vsnprintf(mensaje, sizeof mensaje, formato, ap);
  va_end(ap);
  LogMensaje(mensaje, nivel);
}

namespace {

// The message of LogFalla and its sibling: formato, then antes, the error's
// text and despues.
void RegistrarFalla(int nivel, int error, const char *antes, const char *despues,
                    const char *formato, va_list ap) {
  if (g_log.fd >= 0 && nivel > g_corrida.debuglevel) return;
  char mensaje[kMaxMensaje + 1];
  vsnprintf(mensaje, sizeof mensaje, formato, ap);
  size_t n = strlen(mensaje);
  snprintf(mensaje + n, sizeof mensaje - n, "%s%s%s", antes, TextoError(error), despues);
  LogMensaje(mensaje, nivel);
}

}  // namespace

void LogFalla(int nivel, int error, const char *formato, ...) {
  va_list ap;
  va_start(ap, formato);
  RegistrarFalla(nivel, error, ": ", "", formato, ap);
  va_end(ap);
}

void LogFallaEntreCorchetes(int nivel, int error, const char *formato, ...) {
  va_list ap;
  va_start(ap, formato);
  RegistrarFalla(nivel, error, " [", "]", formato, ap);
  va_end(ap);
}
