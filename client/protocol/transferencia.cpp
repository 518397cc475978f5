// transferencia.cpp - the bundle transfer of a KALDO session: upload/input.dat
// goes up in numbered blocks, the server's answer comes down block by block
// into download/output.dat, and the server commits the transaction.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "control.h"
#include "session.h"

namespace {

using Archivo = ArchivoPtr;

constexpr unsigned kTimeoutFinSubida = 10;
// Silence after our end-of-upload EOT ends the transfer after this many
// time-outs of its own (they are not counted with the other states').
constexpr int kMaxTimeoutsFinSubida = 4;

// Data length of a download data frame (STX, 5 digits, data, ETX).
int LargoDatos(int trama) { return trama - 7 > 0 ? trama - 7 : 0; }

// Receives a download frame into the session buffer. A frame that did not
// fit (cut short of its ETX) would be stored truncated: it counts as a bad
// frame, so that it is asked for again instead.
int RecibirBajada(unsigned char *buf, int cap) {
  int naks = g_sesion.naks;
  int r = RecibirTrama(buf, cap);
  if (r > 1 && buf[r - 1] != kETX) {
    LogFormato(6, "E5: trama larga (%d)", r);
    g_sesion.naks = naks + 1;
    return -1;
  }
  return r;
}

// Creates <dirbajada>/output.dat anew (0660), buffered, never through a
// link or FIFO left under the name. Null when it cannot be made (logged).
Archivo CrearDescarga(const std::string &ruta) {
  Descriptor raiz, fd;
  int e = AbrirRaiz(g_corrida.raiz, raiz);
  const std::string nombre = g_corrida.dirbajada + "/output.dat";
  if (e == 0) e = CrearArchivo(raiz.fd, nombre.c_str(), 0660, fd);
  if (e == 0 && fchmod(fd.fd, 0660) != 0) e = errno;
  Archivo f;
  if (e == 0) {
    f = AbrirFlujo(fd, "wb");
    if (!f) e = errno;
  }
  if (!f) {
    LogFormato(1, "FATAL: creando %s", ruta.c_str());
    LogMensaje(TextoErrorArchivo(e), 1);
  }
  return f;
}

// Opens the upload bundle (g_corrida.rutasubida) for reading, a regular
// file only. Null when it
// cannot be opened (errno set).
Archivo AbrirSubida() {
  Descriptor raiz, fd;
  int e = AbrirRaiz(g_corrida.raiz, raiz);
  if (e == 0) e = AbrirLectura(raiz.fd, g_corrida.rutasubida.c_str(), fd);
  Archivo f;
  if (e == 0) f = AbrirFlujo(fd, "rb");
  if (e != 0) errno = e == kNoRegular ? EINVAL : e;
  return f;
}

// True when everything written to the download file so far reached it.
bool DescargaSana(FILE *f, const std::string &ruta) {
  if (fflush(f) == 0 && !ferror(f)) return true;
  int e = errno;
  LogFormato(1, "FATAL: escribiendo %s", ruta.c_str());
  LogMensaje(TextoError(e), 1);
  return false;
}

// Blocks of tambloque bytes the open upload bundle fills (the last one may
// be short); 0 when its size cannot be had.
long long ContarBloques(FILE *f, int tambloque) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || tambloque <= 0) return 0;
  return (static_cast<long long>(st.st_size) + tambloque - 1) / tambloque;
}

// Writes the block number as five digits (more when it is larger) at the
// start of buf. Returns how many characters it took.
int PonerNumero(unsigned char *buf, int bloque) {
  char numero[16];
  int nn = snprintf(numero, sizeof numero, "%05d", bloque);
  memcpy(buf, numero, static_cast<size_t>(nn));
  return nn;
}

// States of the transfer. Their numbers are the ones the level-5 log lines
// ("Estado 1" ... "Estado 11") give them.
enum Estado {
  kPidiendoReinicio = 1,     // SYN; the answer names the upload block to start from
  kLeyendoBloque = 2,        // the next upload block is read into a frame
  kEnviandoBloque = 3,       // the frame goes up; waiting for ACK, NAK or SYN
  kEnviandoFinSubida = 4,    // EOT after the upload; waiting for the server's SYN
  kPidiendoBloque = 5,       // the number of the download block wanted goes down
  kEnviandoNAK = 6,          // a bad download frame is refused; waiting for it again
  kGuardandoBloque = 7,      // a download frame is checked against its number and stored
  kRecibiendoBajada = 8,     // ACK; waiting for the next download frame or the EOT
  kResincronizando = 9,      // SYN after a block out of sequence; waiting for SYN
  kEsperandoDC1 = 10,        // our EOT lets the server commit; waiting for its DC1
  kCerrandoTransaccion = 11, // the commit is acknowledged with ETB
  kConfirmada = -1,          // end: the server committed the transaction
  kFatal = -2,               // end: the line was lost or a file failed
};

// Receive result RecibirTrama gives when the line is lost.
constexpr int kLineaPerdida = -2;
// More time-outs than this end the transfer.
constexpr int kMaxTimeouts = 3;
// This many NAKs or bad frames in a row end the transfer.
constexpr int kMaxNaks = 7;

// What the states share from one to the next.
struct Transferencia {
  std::string rutasubida;        // full paths, for the log lines
  std::string rutabajada;
  int tambloque = 0;             // upload block size
  unsigned char *buf = nullptr;  // the session buffer
  int cap = 0;                   // what a receive into buf may use
  int recepcion = 1;             // the last state's receive result
  int timeouts = 0;
  int timeoutsfin = 0;  // time-outs while waiting for SYN after our EOT
  int bloque = 0;       // upload block to send, then download block wanted
  int pendiente = 0;    // escape byte that ended the previous download block
  int largotrama = 0;   // length of the upload frame in buf
  int largodatos = 0;   // data length of the download frame in buf
  Archivo subida;
  Archivo bajada;
  bool sinsubida = false;  // the upload bundle could not be opened or read
  bool sinbajada = false;  // the download could not be stored, or marked in doubt, for good
  bool sincronizada = false;  // output.dat and its directory are on the disk
};

Estado PedirReinicio(Transferencia &t) {
  LogMensaje("Estado 1", 5);
  g_sesion.timeout = 6;
  EnviarByte(kSYN);
  const int naksprevios = g_sesion.naks;  // NAK counter before the restart answer
  t.recepcion = RecibirTrama(t.buf, t.cap);
  if (t.recepcion <= 1) return kPidiendoReinicio;
  t.bloque = LeerNumero(t.buf + 1, t.recepcion - 1);
  t.subida = AbrirSubida();
  if (!t.subida) {
    // Without the bundle the upload would end at once and the
    // server would commit an empty transaction.
    int e = errno;
    LogFormato(1, "FATAL: abriendo %s", t.rutasubida.c_str());
    LogMensaje(TextoError(e), 1);
    t.sinsubida = true;
    return kFatal;
  }
  const long long bloquessubida = ContarBloques(t.subida.get(), t.tambloque);
  if (t.bloque > bloquessubida) {
    // Past the end there is nothing to send: a number that large is a
    // damaged answer, never a reason to skip the upload.
    LogFormato(1, "Bloque de reinicio %d fuera del paquete (%lld bloques)", t.bloque,
               bloquessubida);
    g_sesion.naks = naksprevios + 1;
    t.subida.reset();
    t.recepcion = -1;  // a bad frame
    return kPidiendoReinicio;
  }
  fseeko(t.subida.get(), static_cast<off_t>(t.bloque) * t.tambloque, SEEK_SET);
  return kLeyendoBloque;
}

Estado LeerBloque(Transferencia &t) {
  LogMensaje("Estado 2", 5);
  const int nn = PonerNumero(t.buf, t.bloque);
  size_t leidos = 0;
  if (t.subida) leidos = fread(t.buf + nn, 1, static_cast<size_t>(t.tambloque), t.subida.get());
  if (leidos > 0) {
    t.largotrama = ArmarTrama(t.buf, nn + static_cast<int>(leidos));
    return kEnviandoBloque;
  }
  if (t.subida && ferror(t.subida.get())) {
    // Nor may a bundle that could not be read go up cut short.
    int e = errno;
    LogFormato(1, "FATAL: leyendo %s", t.rutasubida.c_str());
    LogMensaje(TextoError(e), 1);
    t.sinsubida = true;
    return kFatal;
  }
  return kEnviandoFinSubida;
}

Estado EnviarBloque(Transferencia &t) {
  LogMensaje("Estado 3", 5);
  EnviarTrama(t.buf, t.largotrama);
  unsigned char respuesta[20];  // the frame stays in buf for a repeat
  t.recepcion = RecibirTrama(respuesta, sizeof respuesta);
  if (t.recepcion != 1) return kEnviandoBloque;
  switch (respuesta[0]) {
    case kACK:
      LogMensaje("Recibi ACK", 6);
      t.bloque++;
      return kLeyendoBloque;
    case kNAK:
      LogMensaje("Recibi NAK", 6);
      return kEnviandoBloque;
    case kSYN:
      LogMensaje("Recibi SYN", 6);
      return kPidiendoReinicio;
    default:
      return kEnviandoBloque;
  }
}

Estado EnviarFinSubida(Transferencia &t) {
  LogMensaje("Estado 4", 5);
  EnviarByte(kEOT);
  g_sesion.timeout = kTimeoutFinSubida;
  t.recepcion = RecibirTrama(t.buf, t.cap);
  g_sesion.timeout = 6;
  if (t.recepcion == 1 && t.buf[0] == kSYN) return kPidiendoBloque;
  if (t.recepcion == 1) {
    LogFormato(10, "Est[4]-Rcv[%d]", static_cast<int>(static_cast<signed char>(t.buf[0])));
  } else if (t.recepcion == 0) {
    t.timeoutsfin++;
    t.recepcion = 1;  // not one of the transfer's time-outs
  }
  return kEnviandoFinSubida;
}

Estado PedirBloque(Transferencia &t) {
  LogMensaje("Estado 5", 5);
  if (!t.bajada) {
    t.bloque = 0;
    t.bajada = CrearDescarga(t.rutabajada);
    if (!t.bajada) return kFatal;
  }
  const int largo = ArmarTrama(t.buf, PonerNumero(t.buf, t.bloque));
  EnviarCrudo(t.buf, static_cast<size_t>(largo));
  t.recepcion = RecibirBajada(t.buf, t.cap);
  if (t.recepcion == -1) return kEnviandoNAK;
  if (t.recepcion == 1 && t.buf[0] == kEOT) return kEsperandoDC1;
  if (t.recepcion > 1) {
    t.largodatos = LargoDatos(t.recepcion);
    return kGuardandoBloque;
  }
  return kPidiendoBloque;
}

Estado EnviarNAK(Transferencia &t) {
  LogMensaje("Estado 6", 5);
  LogMensaje("E5: Env NAK", 6);
  EnviarByte(kNAK);
  t.recepcion = RecibirBajada(t.buf, t.cap);
  if (t.recepcion <= 1) return kEnviandoNAK;
  t.largodatos = LargoDatos(t.recepcion);
  LogMensaje("E5: trama ok", 6);
  return kGuardandoBloque;
}

Estado GuardarBajada(Transferencia &t) {
  LogMensaje("Estado 7", 5);
  const int numero = LeerNumero(t.buf + 1, 5);
  if (numero < t.bloque) {
    LogMensaje("E6: Blk viejo", 6);
    return kRecibiendoBajada;
  }
  if (numero > t.bloque) {
    LogMensaje("E6: Blk fuera de seq", 6);
    return kResincronizando;
  }
  GuardarBloque(t.bajada.get(), t.buf + 6, t.largodatos, &t.pendiente);
  if (ferror(t.bajada.get())) {
    DescargaSana(t.bajada.get(), t.rutabajada);
    t.sinbajada = true;
    return kFatal;
  }
  t.bloque++;
  LogMensaje("E6: Guarde blk", 6);
  if (t.bloque > kMaxBloques) {
    // The next number has six digits: it would be read as an old
    // block and the rest of the download lost.
    LogFormato(1, "FATAL: la descarga pasa de %ld bloques", kMaxBloques);
    t.sinbajada = true;
    return kFatal;
  }
  return kRecibiendoBajada;
}

Estado RecibirSiguiente(Transferencia &t) {
  LogMensaje("Estado 8", 5);
  EnviarByte(kACK);
  t.recepcion = RecibirBajada(t.buf, t.cap);
  if (t.recepcion == -1) return kEnviandoNAK;
  if (t.recepcion == 0) {
    LogMensaje("E7: tout", 6);
  } else if (t.recepcion == 1 && t.buf[0] == kEOT) {
    return kEsperandoDC1;
  } else if (t.recepcion > 1) {
    t.largodatos = LargoDatos(t.recepcion);
    LogMensaje("E7: trama ok", 6);
    return kGuardandoBloque;
  }
  return kRecibiendoBajada;
}

Estado Resincronizar(Transferencia &t) {
  LogMensaje("Estado 9", 5);
  EnviarByte(kSYN);
  t.recepcion = RecibirTrama(t.buf, t.cap);
  if (t.recepcion == 1 && t.buf[0] == kSYN) return kPidiendoBloque;
  return kResincronizando;
}

// Syncs the download file (when one was made) and the directory that
// holds it. Returns false, logged, when either cannot be synced.
bool SincronizarDescarga(const Transferencia &t) {
  int e = t.bajada ? Sincronizar(fileno(t.bajada.get())) : 0;
  Descriptor propia;
  int raiz = g_corrida.raizfd;
  if (e == 0 && raiz < 0) {
    e = AbrirRaiz(g_corrida.raiz, propia);
    raiz = propia.fd;
  }
  if (e == 0) e = SincronizarDirectorio(raiz, g_corrida.dirbajada.c_str());
  if (e == 0) return true;
  LogFormato(1, "FATAL: sincronizando %s", t.rutabajada.c_str());
  LogMensaje(TextoErrorArchivo(e), 1);
  return false;
}

Estado PedirCommit(Transferencia &t) {
  LogMensaje("Estado 10", 5);
  // Never ask the server to commit a download that did not reach the disk:
  // not the page cache, the disk, for a power cut after our EOT would
  // otherwise lose an answer the server counts as delivered.
  if (t.bajada && !DescargaSana(t.bajada.get(), t.rutabajada)) {
    t.sinbajada = true;
    return kFatal;
  }
  if (!t.sincronizada) {
    if (!SincronizarDescarga(t)) {
      t.sinbajada = true;
      return kFatal;
    }
    t.sincronizada = true;
  }
  // From our EOT on the server may commit: a failure now leaves the
  // transaction in doubt, and the bundle is marked so before the EOT.
  if (FaseActual() != kBundleDudoso && MarcarDudoso() != 0) {
    t.sinbajada = true;
    return kFatal;
  }
  EnviarByte(kEOT);
  t.recepcion = RecibirTrama(t.buf, t.cap);
  if (t.recepcion == 1 && t.buf[0] == kDC1) return kCerrandoTransaccion;
  return kEsperandoDC1;
}

Estado CerrarTransaccion(Transferencia &t) {
  LogMensaje("Estado 11", 5);
  MarcarFase(kBundleConfirmado);
  t.bajada.reset();
  LogMensaje("Transaction commited", 1);
  EnviarByte(kETB);
  return kConfirmada;
}

// Runs one state; returns the next.
Estado Paso(Estado estado, Transferencia &t) {
  switch (estado) {
    case kPidiendoReinicio: return PedirReinicio(t);
    case kLeyendoBloque: return LeerBloque(t);
    case kEnviandoBloque: return EnviarBloque(t);
    case kEnviandoFinSubida: return EnviarFinSubida(t);
    case kPidiendoBloque: return PedirBloque(t);
    case kEnviandoNAK: return EnviarNAK(t);
    case kGuardandoBloque: return GuardarBajada(t);
    case kRecibiendoBajada: return RecibirSiguiente(t);
    case kResincronizando: return Resincronizar(t);
    case kEsperandoDC1: return PedirCommit(t);
    case kCerrandoTransaccion: return CerrarTransaccion(t);
    case kConfirmada:
    case kFatal:
      break;
  }
  return estado;
}

// True while the transfer goes on: it has not ended, and neither time-outs,
// NAKs nor the session deadline stop it.
bool Sigue(Estado estado, const Transferencia &t) {
  return estado != kConfirmada && estado != kFatal && t.timeouts <= kMaxTimeouts &&
         t.timeoutsfin < kMaxTimeoutsFinSubida && g_sesion.naks < kMaxNaks && !SesionVencida();
}

// The result code of a transfer that stopped in estado.
int Resultado(Estado estado, const Transferencia &t) {
  if (t.sinsubida) return kArchivoNoAbierto;
  if (t.sinbajada) return kErrorEscribiendo;
  if (estado == kFatal) return kPerdidaPortadora;
  if (g_sesion.vencida) return kExcesoTimeouts;
  if (t.timeouts > kMaxTimeouts || t.timeoutsfin >= kMaxTimeoutsFinSubida) return kExcesoTimeouts;
  if (g_sesion.naks >= kMaxNaks) return kExcesoNaks;
  return kExito;
}

}  // namespace

int Transferir() {
  g_sesion.naks = 0;
  g_sesion.timeout = 6;
  LogMensaje("KALDO v2", 5);
  Transferencia t;
  t.rutasubida = UnirRuta(g_corrida.raiz, g_corrida.rutasubida);
  t.rutabajada = UnirRuta(g_corrida.raiz, g_corrida.dirbajada + "/output.dat");
  t.tambloque = g_config.blocksize;
  t.buf = g_sesion.buffer.get();
  t.cap = CapacidadRecepcion();

  Estado estado = kPidiendoReinicio;
  do {
    t.recepcion = 1;  // states without a receive count as answered
    estado = Paso(estado, t);
    if (t.recepcion == 0) t.timeouts++;
    if (t.recepcion == kLineaPerdida) estado = kFatal;
  } while (Sigue(estado, t));

  t.bajada.reset();
  t.subida.reset();
  return Resultado(estado, t);
}
