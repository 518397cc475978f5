// resumen.cpp - the summary line a run ends with: what it reports, kept in
// a fixed record with no heap behind it, so that the end of a run after a
// failed allocation (TerminarCorrida) writes the same line as the normal end.
//
// The line is "Resumen: terminal T, resultado R, enviados N bytes, recibidos
// M bytes, S s"; a resend's line for one bundle adds "retenido NOMBRE, "
// after the terminal. It is built here without stdio or the heap and logged
// at level 1.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cstring>

#include "control.h"

namespace {

constexpr size_t kMaxNombre = 64;

struct EstadoResumen {
  char terminal[kMaxNombre] = "";  // last component of the root
  timespec corrida{};              // when the run started
  timespec inicio{};               // when what the owed line covers started
  char bundle[kMaxNombre] = "";    // the bundle resent, "" for the run
  long long subida = 0;
  long long bajada = 0;
  bool bajadamedida = false;       // bajada set by the normal path
  char rutabajada[192] = "";       // output.dat relative to the root
  volatile bool debida = false;    // a line is owed
  int escritas = 0;                // lines written by this run
};
EstadoResumen g_resumen;

// Copies texto into a fixed field, cut to fit and always terminated.
void Copiar(char *campo, size_t cap, const char *texto) {
  size_t n = 0;
  for (; texto != nullptr && texto[n] != '\0' && n + 1 < cap; n++) campo[n] = texto[n];
  campo[n] = '\0';
}

// A line under construction, appended to without stdio or heap.
struct Texto {
  char buf[320];
  size_t n = 0;
  void Agregar(const char *s) {
    while (*s != '\0' && n + 1 < sizeof buf) buf[n++] = *s++;
    buf[n] = '\0';
  }
  void Numero(long long v) {
    char cifras[24];
    size_t k = 0;
    bool negativo = v < 0;
    unsigned long long u = negativo ? 0ULL - static_cast<unsigned long long>(v)
                                    : static_cast<unsigned long long>(v);
    do {
      cifras[k++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u > 0);
    if (negativo) cifras[k++] = '-';
    while (k > 0 && n + 1 < sizeof buf) buf[n++] = cifras[--k];
    buf[n] = '\0';
  }
};

// The size of a regular file under the root (not through a final link),
// or 0. Async-signal-safe.
long long TamanoBajada() {
  struct stat st;
  if (g_corrida.raizfd < 0 || g_resumen.rutabajada[0] == '\0' ||
      fstatat(g_corrida.raizfd, g_resumen.rutabajada, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode)) {
    return 0;
  }
  return static_cast<long long>(st.st_size);
}

// Builds the owed line for resultado into t. Async-signal-safe.
void Armar(int resultado, Texto &t) {
  timespec fin;
  clock_gettime(CLOCK_MONOTONIC, &fin);
  long long ns = (static_cast<long long>(fin.tv_sec) - g_resumen.inicio.tv_sec) * 1000000000LL +
                 (fin.tv_nsec - g_resumen.inicio.tv_nsec);
  long long decimas = ns < 0 ? 0 : (ns + 50000000LL) / 100000000LL;
  t.Agregar("Resumen: terminal ");
  t.Agregar(g_resumen.terminal);
  if (g_resumen.bundle[0] != '\0') {
    t.Agregar(", retenido ");
    t.Agregar(g_resumen.bundle);
  }
  t.Agregar(", resultado ");
  t.Numero(resultado);
  t.Agregar(", enviados ");
  t.Numero(g_resumen.subida);
  t.Agregar(" bytes, recibidos ");
  t.Numero(g_resumen.bajada);
  t.Agregar(" bytes, ");
  t.Numero(decimas / 10);
  t.Agregar(".");
  t.Numero(decimas % 10);
  t.Agregar(" s");
}

// After a bundle's line, the run's own line is owed again (without bytes),
// for an interrupt before the next bundle starts.
void VolverALaCorrida() {
  g_resumen.bundle[0] = '\0';
  g_resumen.inicio = g_resumen.corrida;
  g_resumen.subida = 0;
  g_resumen.bajada = 0;
  g_resumen.bajadamedida = true;
  g_resumen.debida = true;
}

}  // namespace

void IniciarResumen() {
  std::string terminal = g_corrida.raiz;
  while (terminal.size() > 1 && terminal.back() == '/') terminal.pop_back();
  if (std::string nombre = NombreDe(terminal); !nombre.empty()) terminal = nombre;
  g_resumen.debida = false;
  Copiar(g_resumen.terminal, sizeof g_resumen.terminal, terminal.c_str());
  clock_gettime(CLOCK_MONOTONIC, &g_resumen.corrida);
  g_resumen.escritas = 0;
  VolverALaCorrida();
  std::string ruta = g_corrida.dirbajada + "/output.dat";
  Copiar(g_resumen.rutabajada, sizeof g_resumen.rutabajada, ruta.c_str());
  g_resumen.bajadamedida = false;
}

void IniciarResumenBundle(const char *nombre) {
  g_resumen.debida = false;
  Copiar(g_resumen.bundle, sizeof g_resumen.bundle, nombre);
  clock_gettime(CLOCK_MONOTONIC, &g_resumen.inicio);
  g_resumen.subida = 0;
  g_resumen.bajada = 0;
  g_resumen.bajadamedida = false;
  g_resumen.rutabajada[0] = '\0';
  g_resumen.debida = true;
}

void ResumenEnviados(long long bytes) { g_resumen.subida = bytes; }

void ResumenRecibidos(long long bytes) {
  g_resumen.bajada = bytes;
  g_resumen.bajadamedida = true;
}

void ResumenBajadaEn(const std::string &ruta) {
  Copiar(g_resumen.rutabajada, sizeof g_resumen.rutabajada, ruta.c_str());
}

int ResumenesEscritos() { return g_resumen.escritas; }

void LogResumen(int resultado) {
  if (!g_resumen.debida) return;
  g_resumen.debida = false;
  Texto t;
  Armar(resultado, t);
  LogMensaje(t.buf, 1);
  g_resumen.escritas++;
  if (g_resumen.bundle[0] != '\0') VolverALaCorrida();
}

void MedirResumen() {
  if (g_resumen.debida && !g_resumen.bajadamedida) {
    g_resumen.bajada = TamanoBajada();
    g_resumen.bajadamedida = true;
  }
}
