// configuracion.cpp - zelta.conf: the line and modem settings shared by every
// terminal of an installation, read from the program directory once per run.
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "control.h"

namespace {

// What LeerConfiguracion returns besides kConfigSinArchivo (-15).
constexpr int kLeidaBien = 1;        // read cleanly
constexpr int kLeidaConErrores = 0;  // read, with errors reported

enum TipoClave { kTexto, kNumero };

struct Clave {
  const char *nombre;
  TipoClave tipo;
  size_t limite;      // text keys: longest value kept
  long long minimo;   // number keys: valid range (docs/man/zelta.conf.5)
  long long maximo;
};

constexpr long long kMinInt = -2147483648LL;
constexpr long long kMaxInt = 2147483647LL;

// In the order they are tried against a line.
const Clave kClaves[] = {
    {"MODEM", kTexto, 49, 0, 0},
    {"PREFIJO", kTexto, 4, 0, 0},
    // Any int: a speed the table lacks is reported as such below.
    {"BPS", kNumero, 0, kMinInt, kMaxInt},
    {"REINTENTOS", kNumero, 0, 1, 1000},
    {"BLOCKSIZE", kNumero, 0, 1, 4000},
    {"TELEFONO", kTexto, 24, 0, 0},
    {"TERMID", kTexto, 8, 0, 0},
    {"INIT", kTexto, 48, 0, 0},
    {"LOCKDIR", kTexto, 127, 0, 0},
    {"PAIRDEVPREFIX", kTexto, 9, 0, 0},
    {"CODIGOINTERURBANO", kTexto, 9, 0, 0},
    {"MDMTIMEOUT", kNumero, 0, 1, 120},
    {"IGNORECONNSTR", kNumero, 0, 0, 1},
    {"UDPPORT", kNumero, 0, 0, 65535},
    {"ESPERAMODEM", kNumero, 0, 0, 86400},
    {"TIEMPOMAXIMO", kNumero, 0, 1, 86400},
    {"RESERVA", kNumero, 0, 0, 99},
};

struct Velocidad {
  int bps;
  speed_t constante;
};
const Velocidad kVelocidades[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200},
};

constexpr int kMaxLinea = 78;  // characters before the line feed

bool EsBlanco(char c) { return c != '\0' && strchr(" \t\n\v\f\r", c) != nullptr; }

// A check run (-c) collects the reader's findings here instead of printing
// them; nullptr in every other run.
std::vector<Hallazgo> *g_hallazgos = nullptr;

// Reports one finding about zelta.conf (linea 0: the file as a whole). A
// run prints it on standard output, as it always has, and also writes it
// to the log when the log is a file; a check run collects it.
void Reportar(int linea, const char *formato, ...) __attribute__((format(printf, 2, 3)));
void Reportar(int linea, const char *formato, ...) {
  char texto[256];
  va_list ap;
  va_start(ap, formato);
  vsnprintf(texto, sizeof texto, formato, ap);
  va_end(ap);
  std::string limpio = texto;
  while (!limpio.empty() && limpio.back() == '\n') limpio.pop_back();
  if (g_hallazgos != nullptr) {
    g_hallazgos->push_back({"zelta.conf", linea, limpio});
    return;
  }
  printf("%s\n", texto);
  FILE *log = SalidaLog();
  if (log != nullptr && log != stdout) LogMensaje(limpio.c_str(), 1);
}

// A finding of the check run only (a run has no such message).
void Anotar(int linea, bool aviso, const std::string &texto) {
  g_hallazgos->push_back({"zelta.conf", linea, texto, aviso});
}

// A speed a run cannot use: it says "Velocidad N no soportada" and takes
// 9600, so the check warns, with the speeds there are.
void VelocidadNoSoportada(int linea, int numero) {
  std::string texto = "Velocidad " + std::to_string(numero) + " no soportada; se toma 9600 (soportadas:";
  for (const Velocidad &v : kVelocidades) texto += " " + std::to_string(v.bps);
  Anotar(linea, true, texto + ")");
}

// A device a run will open: a missing one (unplugged, or never used on a
// TCP-only site) is only skipped by a run, so it is a warning; anything
// there that is not a character device cannot be a modem.
void RevisarModem(int linea, const std::string &device) {
  if (device.empty()) {
    Anotar(linea, true, "MODEM sin dispositivo");
    return;
  }
  struct stat st;
  if (stat(device.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      Anotar(linea, true, "MODEM " + device + " no existe");
    } else {
      Anotar(linea, true, "MODEM " + device + ": " + strerror(errno));
    }
    return;
  }
  if (!S_ISCHR(st.st_mode)) Anotar(linea, false, "MODEM " + device + " no es un dispositivo de caracteres");
}

// Where a text value lands.
std::string *CampoTexto(const char *nombre) {
  if (strcmp(nombre, "PREFIJO") == 0) return &g_config.prefijo;
  if (strcmp(nombre, "TELEFONO") == 0) return &g_config.telefono;
  if (strcmp(nombre, "TERMID") == 0) return &g_config.termid;
  if (strcmp(nombre, "INIT") == 0) return &g_config.init;
  if (strcmp(nombre, "LOCKDIR") == 0) return &g_config.lockdir;
  if (strcmp(nombre, "PAIRDEVPREFIX") == 0) return &g_config.pairdevprefix;
  if (strcmp(nombre, "CODIGOINTERURBANO") == 0) return &g_config.codigointerurbano;
  return nullptr;
}

int *CampoNumero(const char *nombre) {
  if (strcmp(nombre, "REINTENTOS") == 0) return &g_config.reintentos;
  if (strcmp(nombre, "BLOCKSIZE") == 0) return &g_config.blocksize;
  if (strcmp(nombre, "MDMTIMEOUT") == 0) return &g_config.mdmtimeout;
  if (strcmp(nombre, "IGNORECONNSTR") == 0) return &g_config.ignoreconnstr;
  if (strcmp(nombre, "UDPPORT") == 0) return &g_config.udpport;
  if (strcmp(nombre, "ESPERAMODEM") == 0) return &g_config.esperamodem;
  if (strcmp(nombre, "TIEMPOMAXIMO") == 0) return &g_config.tiempomaximo;
  if (strcmp(nombre, "RESERVA") == 0) return &g_config.reserva;
  return nullptr;
}

// Reports a number outside its key's range: the key, the line and the
// range. valor points just after '='.
void FueraDeRango(const Clave &clave, const char *valor, int linea) {
  while (EsBlanco(*valor)) valor++;
  int largo = 0;
  while (valor[largo] != '\0' && !EsBlanco(valor[largo]) && largo < 24) largo++;
  Reportar(linea, "Error en linea %d: %s=%.*s fuera de rango (%lld a %lld)", linea, clave.nombre,
           largo, valor, clave.minimo, clave.maximo);
}

// Stores the value of one key. valor points just after '='. Returns false
// when the line counts as an error.
bool GuardarValor(const Clave &clave, const char *valor, int linea) {
  if (clave.tipo == kNumero) {
    long long leido = 0;
    bool enrango = LeerNumero(valor, clave.minimo, clave.maximo, &leido);
    int numero = static_cast<int>(leido);
    if (strcmp(clave.nombre, "BPS") == 0) {
      if (!enrango) {
        FueraDeRango(clave, valor, linea);
        return false;
      }
      g_config.bps = BuscarVelocidad(numero);
      // A run takes 9600 for an unusable speed and says so; a check names
      // the line and warns.
      if (g_config.bps == 0 && g_hallazgos != nullptr) {
        VelocidadNoSoportada(linea, numero);
      } else if (numero != 0 && g_config.bps == 0) {
        Reportar(linea, "Velocidad %d no soportada", numero);
      }
      return true;
    }
    if (!enrango) {
      // A run prints the message of old first, for whoever looks for it;
      // then the range. A check says only what is wrong: the range.
      if (g_hallazgos == nullptr) Reportar(linea, "Error: Parametro %s demasiado largo", clave.nombre);
      FueraDeRango(clave, valor, linea);
      return false;
    }
    *CampoNumero(clave.nombre) = numero;
    return true;
  }
  while (EsBlanco(*valor)) valor++;
  size_t largo = 0;
  while (valor[largo] != '\0' && !EsBlanco(valor[largo]) && largo < clave.limite) largo++;
  std::string texto(valor, largo);
  bool ok = true;
  if (largo == clave.limite && valor[largo] != '\0' && !EsBlanco(valor[largo])) {
    if (g_hallazgos != nullptr) {
      Anotar(linea, false, std::string("Error: Parametro ") + clave.nombre + " demasiado largo (maximo " +
                               std::to_string(clave.limite) + " caracteres)");
    } else {
      Reportar(linea, "Error: Parametro %s demasiado largo", clave.nombre);
    }
    ok = false;
  }
  if (strcmp(clave.nombre, "MODEM") == 0) {
    if (ok && g_hallazgos != nullptr) RevisarModem(linea, texto);
    g_config.modems.push_back(texto);
    return ok;
  }
  if (strcmp(clave.nombre, "TERMID") == 0 && texto.size() < 8) {
    Reportar(linea, "TERMID no valido");
    ok = false;
  }
  // An INIT line without a value means no initialisation, as no INIT line
  // does: a lone carriage return would only wait out the modem's silence.
  if (strcmp(clave.nombre, "INIT") == 0 && !texto.empty()) texto += '\r';
  *CampoTexto(clave.nombre) = texto;
  return ok;
}

// Handles one line (ending in its line feed). Returns false on an error.
bool ProcesarLinea(const char *linea, int numero) {
  if (linea[0] == '#') return true;
  const char *p = linea;
  while (EsBlanco(*p)) p++;
  if (*p == '\0') return true;
  for (const Clave &clave : kClaves) {
    size_t largo = strlen(clave.nombre);
    if (strncasecmp(linea, clave.nombre, largo) != 0) continue;
    const char *q = linea + largo;
    while (EsBlanco(*q)) q++;
    if (*q != '=') break;
    return GuardarValor(clave, q + 1, numero);
  }
  Reportar(numero, "Error en linea %d: %s", numero, linea);
  return false;
}

// A required setting that is missing: logged in a run, collected in a check.
void Faltante(const char *texto) {
  if (g_hallazgos != nullptr) {
    g_hallazgos->push_back({"zelta.conf", 0, texto});
  } else {
    LogMensaje(texto, 1);
  }
}

}  // namespace

int RevisarConfiguracion(const char *argv0, std::vector<Hallazgo> &hallazgos) {
  g_hallazgos = &hallazgos;
  int r = CargarConfiguracion(argv0);
  g_hallazgos = nullptr;
  // A run finds a missing lock directory only when it dials, and then
  // waits for ever for a modem it can never lock.
  struct stat st;
  if (r != kConfigSinArchivo &&
      (stat(g_config.lockdir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    hallazgos.push_back({"zelta.conf", 0, "LOCKDIR " + g_config.lockdir + " no es un directorio"});
  }
  return r;
}

void ConfiguracionPorDefecto() { g_config = Configuracion(); }

speed_t BuscarVelocidad(int bps) {
  for (const Velocidad &v : kVelocidades) {
    if (v.bps == bps) return v.constante;
  }
  return 0;
}

int LeerConfiguracion(const char *argv0) {
  std::string path = DirectorioDe(argv0, "./") + "zelta.conf";
  ArchivoPtr f(fopen(path.c_str(), "r"));
  if (!f) {
    Reportar(0, "No se encontro archivo %s", "zelta.conf");
    return kConfigSinArchivo;
  }
  ConfiguracionPorDefecto();
  bool ok = true;
  int numero = 0;
  char linea[kMaxLinea + 2];
  for (;;) {
    int n = 0, c = EOF;
    while (n <= kMaxLinea && (c = getc(f.get())) != EOF && c != '\n') {
      linea[n++] = static_cast<char>(c);
    }
    if (n == 0 && c == EOF) break;
    numero++;
    if (n > kMaxLinea) {
      Reportar(numero, "Error: Linea %d demasiado larga.", numero);
      // A run reads no further; a check skips the line and goes on, so
      // that it names every other problem too.
      if (g_hallazgos == nullptr) return kLeidaConErrores;
      while (c != EOF && c != '\n') c = getc(f.get());
      ok = false;
      if (c == EOF) break;
      continue;
    }
    linea[n++] = '\n';  // supplied when the last line lacks it
    linea[n] = '\0';
    if (!ProcesarLinea(linea, numero)) ok = false;
    if (c == EOF) break;
  }
  return ok ? kLeidaBien : kLeidaConErrores;
}

void RebobinarModems() { g_config.cursormodem = 0; }

const char *SiguienteModem() {
  if (g_config.cursormodem >= g_config.modems.size()) return nullptr;
  return g_config.modems[g_config.cursormodem++].c_str();
}

int CargarConfiguracion(const char *argv0) {
  int leida = LeerConfiguracion(argv0);
  if (leida == kConfigSinArchivo) return kConfigSinArchivo;
  bool faltan = false;
  if (g_config.modems.empty()) {
    Faltante("Debe especificar un MODEM");
    faltan = true;
  }
  if (g_config.bps == 0) {
    if (g_hallazgos == nullptr) LogFormato(1, "%s no especificado o incorrecto. Tomando 9600", "BPS");
    g_config.bps = B9600;
  }
  if (g_config.codigointerurbano.empty()) {
    Faltante("Debe especificar un CODIGOINTERURBANO");
    faltan = true;
  }
  if (faltan) return kConfigIncompleta;
  return leida == kLeidaBien ? kExito : kConfigConErrores;
}
