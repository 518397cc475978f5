// configuracion.cpp - zelta.conf: the line and modem settings shared by every
// terminal of an installation, read from the program directory once per run.
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "control.h"

namespace {

enum TipoClave { kTexto, kNumero };

struct Clave {
  const char *nombre;
  TipoClave tipo;
  size_t limite;  // text keys: longest value kept
  int minimo;     // number keys: valid range
  int maximo;
};

// In the order they are tried against a line.
const Clave kClaves[] = {
    {"MODEM", kTexto, 49, 0, 0},
    {"PREFIJO", kTexto, 4, 0, 0},
    {"BPS", kNumero, 0, 0, 0},
    {"REINTENTOS", kNumero, 0, 1, 2147483647},
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
    {"TIEMPOMAXIMO", kNumero, 0, 1, 2147483647},
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
  if (strcmp(nombre, "TIEMPOMAXIMO") == 0) return &g_config.tiempomaximo;
  return nullptr;
}

// Stores the value of one key. valor points just after '='. Returns false
// when the line counts as an error.
bool GuardarValor(const Clave &clave, const char *valor) {
  if (clave.tipo == kNumero) {
    int numero = atoi(valor);
    if (strcmp(clave.nombre, "BPS") == 0) {
      g_config.bps = BuscarVelocidad(numero);
      return true;
    }
    if (numero < clave.minimo || numero > clave.maximo) {
      printf("Error: Parametro %s demasiado largo\n", clave.nombre);
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
    printf("Error: Parametro %s demasiado largo\n", clave.nombre);
    ok = false;
  }
  if (strcmp(clave.nombre, "MODEM") == 0) {
    g_config.modems.push_back(texto);
    return ok;
  }
  if (strcmp(clave.nombre, "TERMID") == 0 && texto.size() < 8) {
    printf("TERMID no valido\n");
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
    return GuardarValor(clave, q + 1);
  }
  printf("Error en linea %d: %s\n", numero, linea);
  return false;
}

}  // namespace

void ConfiguracionPorDefecto() { g_config = Configuracion(); }

speed_t BuscarVelocidad(int bps) {
  if (bps == 0) return 0;
  for (const Velocidad &v : kVelocidades) {
    if (v.bps == bps) return v.constante;
  }
  printf("Velocidad %d no soportada\n", bps);
  return 0;
}

int LeerConfiguracion(const char *argv0) {
  std::string dir = argv0;
  size_t barra = dir.rfind('/');
  dir = barra == std::string::npos ? "./" : dir.substr(0, barra + 1);
  std::string path = dir + "zelta.conf";
  ArchivoPtr f(fopen(path.c_str(), "r"));
  if (!f) {
    printf("No se encontro archivo %s\n", "zelta.conf");
    return -15;
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
      printf("Error: Linea %d demasiado larga.\n", numero);
      return 0;
    }
    linea[n++] = '\n';  // supplied when the last line lacks it
    linea[n] = '\0';
    if (!ProcesarLinea(linea, numero)) ok = false;
    if (c == EOF) break;
  }
  return ok ? 1 : 0;
}

void RebobinarModems() { g_config.cursormodem = 0; }

const char *SiguienteModem() {
  if (g_config.cursormodem >= g_config.modems.size()) return nullptr;
  return g_config.modems[g_config.cursormodem++].c_str();
}

int CargarConfiguracion(const char *argv0) {
  int leida = LeerConfiguracion(argv0);
  if (leida == -15) return -15;
  bool faltan = false;
  if (g_config.modems.empty()) {
    LogMensaje("Debe especificar un MODEM", 1);
    faltan = true;
  }
  if (g_config.bps == 0) {
    LogFormato(1, "%s no especificado o incorrecto. Tomando 9600", "BPS");
    g_config.bps = B9600;
  }
  if (g_config.codigointerurbano.empty()) {
    LogFormato(1, "Debe especificar un %s", "CODIGOINTERURBANO");
    faltan = true;
  }
  if (faltan) return -2;
  return leida == 1 ? 0 : -3;
}
