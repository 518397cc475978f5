// apertura.cpp - the opening of a KALDO session: answer the server's ENQ,
// take its PDH message, send ours (PDC) and hand over to the transfer; and
// the session as the transports run it.
#include <cstdio>
#include <cstring>

#include "control.h"
#include "line.h"
#include "session.h"

namespace {

constexpr int kVersionProtocolo = 2;
constexpr int kOpcionesSesion = 0;
constexpr int kLargoPDH = 36;

// States of the opening.
enum {
  kEsperandoENQ = 0,
  kEnviandoDLE = 100,
  kEnviandoNAK = 101,
  kArmandoPDC = 102,
  kEsperandoFS = 103,
  kEnviandoPDC = 104,
  kFatal = -2,
};

// A frame where PDH is expected: 102 when it is one, -2 when it is not.
// The client takes nothing from the PDH's fields: only its length is
// checked.
int TomarPDH(int largo, bool avisar) {
  if (largo - 2 != kLargoPDH) {
    LogMensaje("Rcv PDH invalida", 1);
    return kFatal;
  }
  if (avisar) LogMensaje("Recibi PDH", 20);
  return kArmandoPDC;
}

}  // namespace

int IniciarProtocolo() {
  if (!g_sesion.buffer) return kNoHayMemoria;  // the transport allocates it first
  LogFormato(11, "block size: %d", g_config.blocksize);
  IniciarPlazoSesion();
  g_sesion.naks = 0;
  g_sesion.timeout = 6;
  int estado = kEsperandoENQ;
  int timeouts = 0;
  int version = 0;
  unsigned char pdc[40];  // the session buffer is overwritten by the receives
  int largopdc = 0;
  unsigned char *buf = g_sesion.buffer.get();
  const int cap = CapacidadRecepcion();

  do {
    int r;
    switch (estado) {
      case kEsperandoENQ:
        LogMensaje("Estado 0", 5);
        LogMensaje("Esperando ENQ", 20);
        r = RecibirTrama(buf, cap);
        if (r == 1 && buf[0] == kENQ) estado = kEnviandoDLE;
        break;
      case kEnviandoDLE:
        LogMensaje("Estado 100", 5);
        LogMensaje("Enviando DLE", 20);
        EnviarByte(kDLE);
        r = RecibirTrama(buf, cap);
        if (r > 1) {
          estado = TomarPDH(r, true);
        } else if (r == -1) {
          estado = kEnviandoNAK;
        } else if (r == 1 && buf[0] == kENQ) {
          LogMensaje("Rcv ENQ", 6);
        }
        break;
      case kEnviandoNAK:
        LogMensaje("Snd NAK", 6);
        EnviarByte(kNAK);
        r = RecibirTrama(buf, cap);
        if (r > 1) estado = TomarPDH(r, false);
        break;
      case kArmandoPDC: {
        LogMensaje("Estado 102", 5);
        char ceros[17];
        memset(ceros, '0', 16);
        ceros[16] = '\0';
        LogMensaje("Armando PDC", 20);
        int n = snprintf(reinterpret_cast<char *>(pdc), sizeof pdc - 3, "%02d%04d%s%04x",
                         kVersionProtocolo, g_config.blocksize, ceros, kOpcionesSesion);
        largopdc = ArmarTrama(pdc, n);
        estado = kEsperandoFS;
        r = 1;  // no receive in this state
        break;
      }
      case kEsperandoFS:
        LogMensaje("Estado 103", 5);
        LogMensaje("Snd ACK", 6);
        EnviarByte(kACK);
        r = RecibirTrama(buf, cap);
        if (r == 1 && buf[0] == kFS) {
          LogMensaje("Rcv FS", 6);
          estado = kEnviandoPDC;
        }
        break;
      default:  // kEnviandoPDC
        LogMensaje("Estado 104", 5);
        LogMensaje("Snd PDC", 6);
        EnviarCrudo(pdc, static_cast<size_t>(largopdc));
        r = RecibirTrama(buf, cap);
        if (r == 1 && buf[0] == kACK) {
          LogMensaje("Rcv ACK", 6);
          version = kVersionProtocolo;
        } else if (r == 1 && buf[0] == kNAK) {
          LogMensaje("Rcv NAK", 6);
        }
        break;
    }
    if (r == 0) timeouts++;
    if (r == -2) estado = kFatal;
  } while (estado != kFatal && version == 0 && timeouts <= 3 && g_sesion.naks < 7 &&
           !SesionVencida());

  int resultado = kExito;
  if (estado == kFatal) {
    resultado = kPerdidaPortadora;
  } else if (g_sesion.vencida || timeouts >= 4) {
    resultado = kExcesoTimeouts;
  } else if (g_sesion.naks >= 7) {
    resultado = kExcesoNaks;
  } else {
    resultado = Transferir();
  }
  g_sesion.limite = 0;  // the deadline is this session's alone
  return resultado;
}

int CorrerSesion() {
  if (ReservarBufferSesion() != kExito) {
    LogMensaje("FATAL: No hay suficiente memoria", 1);
    return kNoHayMemoria;
  }
  LogMensaje("Protocolo...", 2);
  int resultado = IniciarProtocolo();
  LiberarBufferSesion();
  // An interrupt ends the session as a lost line; the run reports it as such.
  return ResultadoTrasInterrupcion(resultado);
}
