// log.cpp - the client's log: level filter, timestamp and terminal tag on
// every line, and folding of consecutive repeated messages.
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "control.h"

namespace {

constexpr size_t kMaxMensaje = 511;
constexpr size_t kMaxTag = 39;

struct EstadoLog {
  FILE *salida = nullptr;
  int fd = -1;                        // descriptor of salida, for handlers
  char ultimo[kMaxMensaje + 1] = "";  // last message written
  int repeticiones = 0;               // repeats swallowed since
  long desplazamiento = 0;            // UTC offset for the signal-safe stamp
};
EstadoLog g_log;

// The directory name of the tag: the root's last component after removing
// one trailing '/'; empty when no '/' remains.
size_t ArmarTag(char *tag, size_t cap) {
  std::string raiz = g_corrida.raiz;
  if (!raiz.empty() && raiz.back() == '/') raiz.pop_back();
  size_t barra = raiz.rfind('/');
  if (barra == std::string::npos) return 0;
  std::string nombre = raiz.substr(barra + 1, kMaxTag);
  int n = snprintf(tag, cap, "[%s]: ", nombre.c_str());
  return n < 0 ? 0 : static_cast<size_t>(n);
}

void EscribirLinea(const char *texto) {
  char stamp[32];
  time_t ahora = time(nullptr);
  struct tm tmv;
  localtime_r(&ahora, &tmv);
  size_t ns = strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &tmv);
  char tag[kMaxTag + 8];
  size_t nt = ArmarTag(tag, sizeof tag);
  fwrite(stamp, 1, ns, g_log.salida);
  fwrite(tag, 1, nt, g_log.salida);
  fputs(texto, g_log.salida);
  fputc('\n', g_log.salida);
  fflush(g_log.salida);
}

// Appends text to buf at *n without going past cap; signal-safe.
void Agregar(char *buf, size_t cap, size_t *n, const char *texto) {
  while (*texto != '\0' && *n < cap) buf[(*n)++] = *texto++;
}

void AgregarDosDigitos(char *buf, size_t cap, size_t *n, int v) {
  char d[3] = {static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10), '\0'};
  Agregar(buf, cap, n, d);
}

}  // namespace

void FijarSalidaLog(FILE *salida) {
  g_log.salida = salida;
  g_log.fd = salida != nullptr ? fileno(salida) : -1;
  time_t ahora = time(nullptr);
  struct tm tmv;
  localtime_r(&ahora, &tmv);
  g_log.desplazamiento = tmv.tm_gmtoff;
}

FILE *SalidaLog() { return g_log.salida; }

void ReiniciarLog() {
  g_log.ultimo[0] = '\0';
  g_log.repeticiones = 0;
}

void LogMensaje(const char *texto, int nivel) {
  if (g_log.salida == nullptr) {
    FijarSalidaLog(stdout);
    fputs("Archivo de log invalido, saliendo al stdout\n", stdout);
  }
  if (nivel > g_corrida.debuglevel) return;
  size_t largo = strlen(texto);
  if (largo <= strlen(g_log.ultimo) && memcmp(texto, g_log.ultimo, largo) == 0) {
    g_log.repeticiones++;
    return;
  }
  if (g_log.repeticiones > 0) {
    char repetido[kMaxMensaje + 40];
    snprintf(repetido, sizeof repetido, "%s [Repetido %d veces]", g_log.ultimo,
             g_log.repeticiones);
    EscribirLinea(repetido);
  }
  EscribirLinea(texto);
  snprintf(g_log.ultimo, sizeof g_log.ultimo, "%s", texto);
  g_log.repeticiones = 0;
}

void LogFormato(int nivel, const char *formato, ...) {
  if (nivel > g_corrida.debuglevel && g_log.salida != nullptr) return;
  char mensaje[kMaxMensaje + 1];
  va_list ap;
  va_start(ap, formato);
  vsnprintf(mensaje, sizeof mensaje, formato, ap);
  va_end(ap);
  LogMensaje(mensaje, nivel);
}

void LogMensajeSenal(const char *texto, int nivel) {
  if (g_log.fd < 0 || nivel > g_corrida.debuglevel) return;
  static const char *const kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // Civil date from the day count (no localtime in a handler).
  long t = static_cast<long>(time(nullptr)) + g_log.desplazamiento;
  long dias = t / 86400, seg = t % 86400;
  if (seg < 0) { seg += 86400; dias--; }
  long z = dias + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  long doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long mp = (5 * doy + 2) / 153;
  int dia = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  int mes = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  char linea[kMaxMensaje + 80];
  size_t n = 0, cap = sizeof linea - 1;
  Agregar(linea, cap, &n, kMeses[mes - 1]);
  Agregar(linea, cap, &n, " ");
  AgregarDosDigitos(linea, cap, &n, dia);
  Agregar(linea, cap, &n, " ");
  AgregarDosDigitos(linea, cap, &n, static_cast<int>(seg / 3600));
  Agregar(linea, cap, &n, ":");
  AgregarDosDigitos(linea, cap, &n, static_cast<int>(seg / 60 % 60));
  Agregar(linea, cap, &n, ":");
  AgregarDosDigitos(linea, cap, &n, static_cast<int>(seg % 60));
  Agregar(linea, cap, &n, " ");
  // The tag is built once the root is known; in a handler use it as stored.
  const std::string &raiz = g_corrida.raiz;
  size_t fin = raiz.size();
  if (fin > 0 && raiz[fin - 1] == '/') fin--;
  size_t barra = fin;
  while (barra > 0 && raiz[barra - 1] != '/') barra--;
  if (barra > 0) {
    Agregar(linea, cap, &n, "[");
    size_t largo = fin - barra < kMaxTag ? fin - barra : kMaxTag;
    for (size_t i = 0; i < largo && n < cap; i++) linea[n++] = raiz[barra + i];
    Agregar(linea, cap, &n, "]: ");
  }
  Agregar(linea, cap, &n, texto);
  linea[n++] = '\n';
  int fd = g_log.fd;
  const char *p = linea;
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) break;
    p += w;
    n -= static_cast<size_t>(w);
  }
}
