// transferencia.cpp - the bundle transfer of a KALDO session: upload/input.dat
// goes up in numbered blocks, the server's answer comes down block by block
// into download/output.dat, and the server commits the transaction.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base.h"
#include "session.h"

namespace {

using Archivo = ArchivoPtr;

constexpr int kCommit = -1;
constexpr int kFatal = -2;
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
  LogMensaje(strerror(e), 1);
  return false;
}

// Blocks of tambloque bytes the open upload bundle fills (the last one may
// be short); 0 when its size cannot be had.
long long ContarBloques(FILE *f, int tambloque) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || tambloque <= 0) return 0;
  return (static_cast<long long>(st.st_size) + tambloque - 1) / tambloque;
}

}  // namespace

int Transferir() {
  g_sesion.naks = 0;
  g_sesion.timeout = 6;
  LogMensaje("KALDO v2", 5);
  const std::string rutasubida = UnirRuta(g_corrida.raiz, g_corrida.rutasubida);
  const std::string rutabajada = UnirRuta(g_corrida.raiz, g_corrida.dirbajada + "/output.dat");
  const int tambloque = g_config.blocksize;
  unsigned char *buf = g_sesion.buffer.get();
  const int cap = CapacidadRecepcion();

  int estado = 1;
  int timeouts = 0;
  int timeoutsfin = 0;  // time-outs while waiting for SYN after our EOT
  int bloque = 0;
  int pendiente = 0;
  int largotrama = 0;
  int largodatos = 0;
  unsigned char respuesta[20];
  Archivo subida;
  Archivo bajada;
  bool sinsubida = false;  // the upload bundle could not be opened or read
  bool sinbajada = false;  // the download could not be stored whole
  long long bloquessubida = 0;  // blocks of the upload bundle
  int naksprevios = 0;          // NAK counter before a restart answer

  do {
    int r = 1;  // states without a receive count as answered
    switch (estado) {
      case 1:
        LogMensaje("Estado 1", 5);
        g_sesion.timeout = 6;
        EnviarByte(kSYN);
        naksprevios = g_sesion.naks;
        r = RecibirTrama(buf, cap);
        if (r > 1) {
          bloque = LeerNumero(buf + 1, r - 1);
          subida = AbrirSubida();
          if (!subida) {
            // Without the bundle the upload would end at once and the
            // server would commit an empty transaction.
            int e = errno;
            LogFormato(1, "FATAL: abriendo %s", rutasubida.c_str());
            LogMensaje(strerror(e), 1);
            sinsubida = true;
            estado = kFatal;
            break;
          }
          bloquessubida = ContarBloques(subida.get(), tambloque);
          if (bloque > bloquessubida) {
            // Past the end there is nothing to send: a number that large is a
            // damaged answer, never a reason to skip the upload.
            LogFormato(1, "Bloque de reinicio %d fuera del paquete (%lld bloques)", bloque,
                       bloquessubida);
            g_sesion.naks = naksprevios + 1;
            subida.reset();
            r = -1;
            break;
          }
          fseeko(subida.get(), static_cast<off_t>(bloque) * tambloque, SEEK_SET);
          estado = 2;
        }
        break;
      case 2: {
        LogMensaje("Estado 2", 5);
        char numero[16];
        int nn = snprintf(numero, sizeof numero, "%05d", bloque);
        memcpy(buf, numero, static_cast<size_t>(nn));
        size_t leidos = 0;
        if (subida) leidos = fread(buf + nn, 1, static_cast<size_t>(tambloque), subida.get());
        if (leidos > 0) {
          largotrama = ArmarTrama(buf, nn + static_cast<int>(leidos));
          estado = 3;
        } else if (subida && ferror(subida.get())) {
          // Nor may a bundle that could not be read go up cut short.
          int e = errno;
          LogFormato(1, "FATAL: leyendo %s", rutasubida.c_str());
          LogMensaje(strerror(e), 1);
          sinsubida = true;
          estado = kFatal;
        } else {
          estado = 4;
        }
        break;
      }
      case 3:
        LogMensaje("Estado 3", 5);
        EnviarTrama(buf, largotrama);
        r = RecibirTrama(respuesta, sizeof respuesta);
        if (r == 1 && respuesta[0] == kACK) {
          LogMensaje("Recibi ACK", 6);
          bloque++;
          estado = 2;
        } else if (r == 1 && respuesta[0] == kNAK) {
          LogMensaje("Recibi NAK", 6);
        } else if (r == 1 && respuesta[0] == kSYN) {
          LogMensaje("Recibi SYN", 6);
          estado = 1;
        }
        break;
      case 4:
        LogMensaje("Estado 4", 5);
        EnviarByte(kEOT);
        g_sesion.timeout = kTimeoutFinSubida;
        r = RecibirTrama(buf, cap);
        g_sesion.timeout = 6;
        if (r == 1 && buf[0] == kSYN) {
          estado = 5;
        } else if (r == 1) {
          LogFormato(10, "Est[4]-Rcv[%d]", static_cast<int>(static_cast<signed char>(buf[0])));
        } else if (r == 0) {
          timeoutsfin++;
          r = 1;  // not one of the transfer's time-outs
        }
        break;
      case 5:
        LogMensaje("Estado 5", 5);
        if (!bajada) {
          bloque = 0;
          bajada = CrearDescarga(rutabajada);
          if (!bajada) {
            estado = kFatal;
            break;
          }
        }
        {
          char numero[16];
          int nn = snprintf(numero, sizeof numero, "%05d", bloque);
          memcpy(buf, numero, static_cast<size_t>(nn));
          int largo = ArmarTrama(buf, nn);
          EnviarCrudo(buf, static_cast<size_t>(largo));
        }
        r = RecibirBajada(buf, cap);
        if (r == -1) {
          estado = 6;
        } else if (r == 1 && buf[0] == kEOT) {
          estado = 10;
        } else if (r > 1) {
          largodatos = LargoDatos(r);
          estado = 7;
        }
        break;
      case 6:
        LogMensaje("Estado 6", 5);
        LogMensaje("E5: Env NAK", 6);
        EnviarByte(kNAK);
        r = RecibirBajada(buf, cap);
        if (r > 1) {
          largodatos = LargoDatos(r);
          LogMensaje("E5: trama ok", 6);
          estado = 7;
        }
        break;
      case 7: {
        LogMensaje("Estado 7", 5);
        int numero = LeerNumero(buf + 1, 5);
        if (numero == bloque) {
          GuardarBloque(bajada.get(), buf + 6, largodatos, &pendiente);
          if (ferror(bajada.get())) {
            DescargaSana(bajada.get(), rutabajada);
            sinbajada = true;
            estado = kFatal;
            break;
          }
          bloque++;
          LogMensaje("E6: Guarde blk", 6);
          if (bloque > kMaxBloques) {
            // The next number has six digits: it would be read as an old
            // block and the rest of the download lost.
            LogFormato(1, "FATAL: la descarga pasa de %ld bloques", kMaxBloques);
            sinbajada = true;
            estado = kFatal;
            break;
          }
          estado = 8;
        } else if (numero < bloque) {
          LogMensaje("E6: Blk viejo", 6);
          estado = 8;
        } else {
          LogMensaje("E6: Blk fuera de seq", 6);
          estado = 9;
        }
        break;
      }
      case 8:
        LogMensaje("Estado 8", 5);
        EnviarByte(kACK);
        r = RecibirBajada(buf, cap);
        if (r == -1) {
          estado = 6;
        } else if (r == 0) {
          LogMensaje("E7: tout", 6);
        } else if (r == 1 && buf[0] == kEOT) {
          estado = 10;
        } else if (r > 1) {
          largodatos = LargoDatos(r);
          LogMensaje("E7: trama ok", 6);
          estado = 7;
        }
        break;
      case 9:
        LogMensaje("Estado 9", 5);
        EnviarByte(kSYN);
        r = RecibirTrama(buf, cap);
        if (r == 1 && buf[0] == kSYN) estado = 5;
        break;
      case 10:
        LogMensaje("Estado 10", 5);
        // Never ask the server to commit a download that did not reach the disk.
        if (bajada && !DescargaSana(bajada.get(), rutabajada)) {
          sinbajada = true;
          estado = kFatal;
          break;
        }
        // From our EOT on the server may commit: a failure now leaves the
        // transaction in doubt.
        MarcarFase(kBundleDudoso);
        EnviarByte(kEOT);
        r = RecibirTrama(buf, cap);
        if (r == 1 && buf[0] == kDC1) estado = 11;
        break;
      default:  // 11
        LogMensaje("Estado 11", 5);
        MarcarFase(kBundleConfirmado);
        bajada.reset();
        LogMensaje("Transaction commited", 1);
        EnviarByte(kETB);
        estado = kCommit;
        break;
    }
    if (r == 0) timeouts++;
    if (r == -2) estado = kFatal;
  } while (estado >= 0 && timeouts <= 3 && timeoutsfin < kMaxTimeoutsFinSubida &&
           g_sesion.naks < 7 && !SesionVencida());

  bajada.reset();
  subida.reset();
  if (sinsubida) return 13;
  if (sinbajada) return 14;
  if (estado == kFatal) return 2;
  if (g_sesion.vencida) return 1;
  if (timeouts > 3 || timeoutsfin >= kMaxTimeoutsFinSubida) return 1;
  if (g_sesion.naks >= 7) return 3;
  return 0;
}
