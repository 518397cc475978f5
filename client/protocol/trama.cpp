// trama.cpp - the frame layer of the KALDO session: the session state and
// its buffer, the check byte, building, sending and receiving frames, and
// storing received download data with its escaping removed.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

#include "control.h"
#include "line.h"
#include "session.h"

EstadoSesion g_sesion;

int ReservarBufferSesion() {
  size_t tam = static_cast<size_t>(g_config.blocksize > 0 ? g_config.blocksize : 0) + 100;
  g_sesion.buffer.reset(new (std::nothrow) unsigned char[tam]);
  if (!g_sesion.buffer) {
    g_sesion.tambuffer = 0;
    return kNoHayMemoria;
  }
  g_sesion.tambuffer = tam;
  return kExito;
}

void LiberarBufferSesion() {
  g_sesion.buffer.reset();
  g_sesion.tambuffer = 0;
}

namespace {

long long MilisegundoMonotono() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

void IniciarPlazoSesion() {
  g_sesion.limite = MilisegundoMonotono() + static_cast<long long>(g_config.tiempomaximo) * 1000;
  g_sesion.vencida = false;
}

bool SesionVencida() {
  if (g_sesion.vencida) return true;
  if (g_sesion.limite == 0 || MilisegundoMonotono() < g_sesion.limite) return false;
  g_sesion.vencida = true;
  LogFormato(1, "Sesion terminada: duro mas de TIEMPOMAXIMO (%d segundos)", g_config.tiempomaximo);
  return true;
}

unsigned PlazoRecepcion(unsigned segundos) {
  if (g_sesion.limite == 0) return segundos;
  long long resto = (g_sesion.limite - MilisegundoMonotono() + 999) / 1000;  // rounded up
  if (resto < 1) return 1;
  return resto < static_cast<long long>(segundos) ? static_cast<unsigned>(resto) : segundos;
}

int CapacidadRecepcion() {
  return g_sesion.tambuffer < static_cast<size_t>(kMaxRecepcion)
             ? static_cast<int>(g_sesion.tambuffer)
             : kMaxRecepcion;
}

unsigned char CalcularCRC(const unsigned char *datos, size_t n) {
  unsigned char crc = 0;
  for (size_t i = 0; i < n; i++) crc ^= datos[i];
  // Never DC1/DC3: a serial line with flow control would swallow them.
  if (crc == kDC1 || crc == kDC3) crc = static_cast<unsigned char>(crc + 0x6D);
  return crc;
}

int ArmarTrama(unsigned char *buffer, int n) {
  memmove(buffer + 1, buffer, static_cast<size_t>(n));
  unsigned char crc = CalcularCRC(buffer + 1, static_cast<size_t>(n));
  buffer[0] = kSTX;
  buffer[n + 1] = kETX;
  buffer[n + 2] = crc;
  LogFormato(7, "S CRC: %d", static_cast<int>(static_cast<signed char>(crc)));
  return n + 3;
}

int EnviarTrama(const unsigned char *buffer, int largo) {
  if (largo <= 0) return 0;
  // An alarm breaks off a write that the line holds up.
  if (!EscribirTodo(g_linea.fd, buffer, static_cast<size_t>(largo), AnteSenal::kCortar)) {
    int e = errno;
    LogFormato(4, "Error write(): %x %s", e, TextoError(e));
    return -1;
  }
  LogFormato(8, "EnviarTrama(): %d/%d", largo, largo);
  return 0;
}

void EnviarCrudo(const unsigned char *datos, size_t n) {
  ssize_t w = write(g_linea.fd, datos, n);
  (void)w;  // a missing answer shows up as a time-out
}

void EnviarByte(unsigned char byte) { EnviarCrudo(&byte, 1); }

int RecibirTrama(unsigned char *destino, int capacidad) {
  unsigned char b;
  ArmarAlarma(PlazoRecepcion(g_sesion.timeout));
  int r = LeerByte(&b);
  if (r != 1) {
    DesarmarAlarma();
    return r;
  }
  if (b != kSTX) {
    if (capacidad >= 1) destino[0] = b;
    DesarmarAlarma();
    g_sesion.naks = b == kNAK ? g_sesion.naks + 1 : 0;
    return 1;
  }
  unsigned char trama[kMaxTrama];
  int n = 0;
  trama[n++] = b;
  ArmarAlarma(PlazoRecepcion(g_sesion.timeoutresto));
  while (trama[n - 1] != kETX && n < kMaxTrama) {
    r = LeerByte(&trama[n]);
    if (r != 1) {
      DesarmarAlarma();
      return r;
    }
    n++;
  }
  unsigned char crc;
  r = LeerByte(&crc);
  DesarmarAlarma();
  if (r != 1) return r;
  if (CalcularCRC(trama + 1, static_cast<size_t>(n - 2)) != crc) {
    LogFormato(7, "BAD R CRC: %d, bloquelen=%d", crc, n);
    g_sesion.naks++;
    return -1;
  }
  g_sesion.naks = 0;
  int copia = n < capacidad ? n : capacidad;
  if (copia > 0) memcpy(destino, trama, static_cast<size_t>(copia));
  return copia;
}

int GuardarBloque(FILE *archivo, const unsigned char *datos, int largo, int *pendiente) {
  int escritos = 0;
  int i = 0;
  if (*pendiente && largo > 0) {
    fputc(static_cast<unsigned char>(datos[0] - 0x1C), archivo);
    *pendiente = 0;
    i = 1;
  }
  while (i < largo) {
    const void *esc = memchr(datos + i, kBS, static_cast<size_t>(largo - i));
    int fin = esc != nullptr ? static_cast<int>(static_cast<const unsigned char *>(esc) - datos)
                             : largo;
    if (fin > i) escritos += static_cast<int>(fwrite(datos + i, 1, static_cast<size_t>(fin - i), archivo));
    if (esc == nullptr) break;
    if (fin == largo - 1) {  // its partner comes with the next block
      *pendiente = 1;
      break;
    }
    if (fputc(static_cast<unsigned char>(datos[fin + 1] - 0x1C), archivo) != EOF) escritos++;
    i = fin + 2;
  }
  return escritos;
}

int LeerNumero(const unsigned char *texto, int n) {
  int valor = 0;
  for (int i = 0; i < n && texto[i] >= '0' && texto[i] <= '9'; i++) {
    if (valor > (INT_MAX - 9) / 10) break;  // a block number this large is no block
    valor = valor * 10 + (texto[i] - '0');
  }
  return valor;
}
