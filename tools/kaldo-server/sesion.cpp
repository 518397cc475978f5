// sesion.cpp - one KALDO session from the server's side: the opening (ENQ,
// PDH, FS, PDC), the upload with its restart answers, the download in
// blocks, and the closing (DC1, ETB), with the faults of Fallas injected
// where asked. Every departure of the client from the protocol is counted
// as an anomaly and traced on standard error.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "servidor.h"

namespace {

constexpr unsigned char STX = 0x02;
constexpr unsigned char ETX = 0x03;
constexpr unsigned char EOT = 0x04;
constexpr unsigned char ENQ = 0x05;
constexpr unsigned char ACK = 0x06;
constexpr unsigned char DLE = 0x10;
constexpr unsigned char DC1 = 0x11;
constexpr unsigned char NAK = 0x15;
constexpr unsigned char SYN = 0x16;
constexpr unsigned char ETB = 0x17;
constexpr unsigned char FS = 0x1C;

constexpr size_t kMaxTrama = 4100;    // STX through ETX, as the client accepts
constexpr int kMaxDatosBajada = 4093; // payload 4098 minus the block number

const char *NombreControl(unsigned char c) {
  switch (c) {
    case STX: return "STX";
    case ETX: return "ETX";
    case EOT: return "EOT";
    case ENQ: return "ENQ";
    case ACK: return "ACK";
    case DLE: return "DLE";
    case DC1: return "DC1";
    case NAK: return "NAK";
    case SYN: return "SYN";
    case ETB: return "ETB";
    case FS: return "FS";
    default: return "?";
  }
}

enum TipoUnidad { kByte, kTrama, kTramaMala, kCerrada, kSilencio };

struct Unidad {
  TipoUnidad tipo = kCerrada;
  unsigned char byte = 0;
  std::string carga;  // payload of a frame
};

struct Sesion {
  int fd;
  const Opciones &op;
  const Fallas &f;
  Resumen &r;
  char buf[8192];
  size_t ini = 0;
  size_t fin = 0;
  bool pausado = false;  // the --pause-at pause has been made
};

void Traza(const Sesion &s, const char *formato, ...) __attribute__((format(printf, 2, 3)));
void Traza(const Sesion &s, const char *formato, ...) {
  if (!s.op.verboso) return;
  va_list ap;
  va_start(ap, formato);
  fputs("kaldo-server: ", stderr);
  vfprintf(stderr, formato, ap);
  fputc('\n', stderr);
  va_end(ap);
}

void Anomalia(Sesion &s, const char *formato, ...) __attribute__((format(printf, 2, 3)));
void Anomalia(Sesion &s, const char *formato, ...) {
  ++s.r.anomalias;
  va_list ap;
  va_start(ap, formato);
  fputs("kaldo-server: anomaly: ", stderr);
  vfprintf(stderr, formato, ap);
  fputc('\n', stderr);
  va_end(ap);
}

// 1 byte read; 0 nothing within the wait; -1 the connection is closed.
int LeerUno(Sesion &s, unsigned char &c) {
  if (s.ini == s.fin) {
    pollfd p{s.fd, POLLIN, 0};
    int n;
    do {
      n = poll(&p, 1, s.op.espera * 1000);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return 0;
    if (n < 0) return -1;
    ssize_t leidos;
    do {
      leidos = recv(s.fd, s.buf, sizeof s.buf, 0);
    } while (leidos < 0 && errno == EINTR);
    if (leidos <= 0) return -1;
    s.ini = 0;
    s.fin = static_cast<size_t>(leidos);
  }
  c = static_cast<unsigned char>(s.buf[s.ini++]);
  return 1;
}

Unidad Recibir(Sesion &s) {
  Unidad u;
  unsigned char c;
  int rc = LeerUno(s, c);
  if (rc <= 0) {
    u.tipo = rc == 0 ? kSilencio : kCerrada;
    return u;
  }
  if (c != STX) {
    u.tipo = kByte;
    u.byte = c;
    Traza(s, "<- %s (0x%02x)", NombreControl(c), c);
    return u;
  }
  // A frame: payload up to ETX (at most kMaxTrama bytes with STX and ETX),
  // then the check byte.
  size_t guardados = 1;
  for (;;) {
    rc = LeerUno(s, c);
    if (rc <= 0) {
      u.tipo = rc == 0 ? kSilencio : kCerrada;
      return u;
    }
    ++guardados;
    if (c == ETX || guardados >= kMaxTrama) break;
    u.carga.push_back(static_cast<char>(c));
  }
  if (c != ETX) Anomalia(s, "frame of more than %zu bytes without ETX", kMaxTrama);
  unsigned char check;
  rc = LeerUno(s, check);
  if (rc <= 0) {
    u.tipo = rc == 0 ? kSilencio : kCerrada;
    return u;
  }
  unsigned char calculado = CheckByte(u.carga.data(), u.carga.size());
  u.tipo = check == calculado ? kTrama : kTramaMala;
  Traza(s, "<- frame of %zu bytes%s: %.20s%s", u.carga.size(),
        u.tipo == kTrama ? "" : " (bad check byte)", u.carga.c_str(),
        u.carga.size() > 20 ? "..." : "");
  return u;
}

void Dormir(int ms) {
  if (ms <= 0) return;
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

void Pausa(const Sesion &s) { Dormir(s.op.fallas.demorams); }

// Write errors are left to the next read, which sees the closed connection.
void EnviarBytes(Sesion &s, const std::string &datos) {
  Pausa(s);
  size_t hecho = 0;
  while (hecho < datos.size()) {
    ssize_t n = send(s.fd, datos.data() + hecho, datos.size() - hecho, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    hecho += static_cast<size_t>(n);
  }
}

void EnviarControl(Sesion &s, unsigned char c) {
  Traza(s, "-> %s", NombreControl(c));
  EnviarBytes(s, std::string(1, static_cast<char>(c)));
}

void EnviarTramaServidor(Sesion &s, const std::string &carga, bool checkmalo = false) {
  unsigned char check = CheckByte(carga.data(), carga.size());
  if (checkmalo) check ^= 0x5A;
  Traza(s, "-> frame of %zu bytes%s: %.20s%s", carga.size(), checkmalo ? " (bad check byte)" : "",
        carga.c_str(), carga.size() > 20 ? "..." : "");
  std::string trama;
  trama.reserve(carga.size() + 3);
  trama.push_back(static_cast<char>(STX));
  trama += carga;
  trama.push_back(static_cast<char>(ETX));
  trama.push_back(static_cast<char>(check));
  ++s.r.tramas;
  for (const auto &v : s.f.volteos) {
    if (v.trama != s.r.tramas || static_cast<size_t>(v.bit / 8) >= trama.size()) continue;
    trama[static_cast<size_t>(v.bit / 8)] ^= static_cast<char>(1 << (v.bit % 8));
    Traza(s, "   bit %ld of frame %ld flipped", v.bit, v.trama);
  }
  EnviarBytes(s, trama);
}

std::string Numero5(long n) {
  char b[32];
  snprintf(b, sizeof b, "%05ld", n);
  return b;
}

// Leading decimal digits of a payload; -1 when it has none.
long LeerNumero(const std::string &carga, size_t maximo) {
  long n = 0;
  size_t i = 0;
  for (; i < carga.size() && i < maximo && carga[i] >= '0' && carga[i] <= '9'; ++i) {
    n = n * 10 + (carga[i] - '0');
  }
  return i == 0 ? -1 : n;
}

// Reads and drops whatever the client sends until it closes the connection
// or stays silent for the whole wait.
void Callar(Sesion &s) {
  Traza(s, "falling silent");
  s.r.resultado = "muted";
  unsigned char c;
  while (LeerUno(s, c) > 0) {
  }
}

// True when the session ends here because of an injected fault.
bool Detener(Sesion &s, TipoPunto tipo, long bloque = 0) {
  auto es = [&](const Punto &p) {
    return p.tipo == tipo && (tipo != kPuntoSubida && tipo != kPuntoBajada ? true : p.bloque == bloque);
  };
  if (es(s.f.cerrar)) {
    Traza(s, "closing the connection");
    s.r.resultado = "cut";
    return true;
  }
  if (es(s.f.callar)) {
    Callar(s);
    return true;
  }
  if (es(s.f.pausar) && !s.pausado) {
    s.pausado = true;
    Traza(s, "pausing %d ms", s.f.pausams);
    Dormir(s.f.pausams);
    // What the client sent meanwhile are repeats after its time-outs; the
    // answer that follows serves them all, so they are dropped unanswered
    // and the dialogue stays in step.
    s.ini = s.fin = 0;
    pollfd p{s.fd, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && recv(s.fd, s.buf, sizeof s.buf, MSG_DONTWAIT) > 0) {
    }
    Traza(s, "dropped what came during the pause");
  }
  return false;
}

// Ends the session for a closed or silent connection. True when it ended.
bool Perdida(Sesion &s, const Unidad &u) {
  if (u.tipo == kCerrada) {
    s.r.resultado = "lost";
    return true;
  }
  if (u.tipo == kSilencio) {
    s.r.resultado = "timeout";
    return true;
  }
  return false;
}

void EnviarPDH(Sesion &s, int &malas) {
  std::string carga = "01" "0123456789ABCDEF" "FEDCBA9876543210" "5A";
  carga.resize(static_cast<size_t>(s.f.pdhlargo), '0');
  bool malo = malas > 0;
  if (malo) --malas;
  EnviarTramaServidor(s, carga, malo);
}

void RevisarPDC(Sesion &s, const std::string &pdc) {
  s.r.pdc = pdc;
  bool bien = pdc.size() == 26;
  for (size_t i = 0; bien && i < 22; ++i) bien = pdc[i] >= '0' && pdc[i] <= '9';
  for (size_t i = 22; bien && i < 26; ++i) bien = isxdigit(static_cast<unsigned char>(pdc[i]));
  if (!bien) {
    Anomalia(s, "malformed PDC: \"%s\"", pdc.c_str());
    return;
  }
  s.r.blocksize = atoi(pdc.substr(2, 4).c_str());
  if (pdc.compare(0, 2, "02") != 0) Anomalia(s, "PDC with version %.2s", pdc.c_str());
  if (s.r.blocksize < 1 || s.r.blocksize > 4000) {
    Anomalia(s, "PDC with blocksize %d", s.r.blocksize);
  }
  if (pdc.compare(6, 16, std::string(16, '0')) != 0) Anomalia(s, "PDC: the field of zeros differs");
}

// Opening: ENQ, DLE, PDH, ACK, FS, PDC, ACK. True when the transfer may start.
bool Apertura(Sesion &s) {
  if (Detener(s, kPuntoAccept)) return false;
  EnviarControl(s, ENQ);
  enum { kEsperaDLE, kEsperaACK, kEsperaPDC } etapa = kEsperaDLE;
  int pdhmalas = s.f.pdhmalas;
  int nakspdc = s.f.nakspdc;
  for (;;) {
    Unidad u = Recibir(s);
    if (Perdida(s, u)) return false;
    if (u.tipo == kByte && u.byte == NAK) ++s.r.naks;
    switch (etapa) {
      case kEsperaDLE:
        if (u.tipo == kByte && u.byte == DLE) {
          if (Detener(s, kPuntoDLE)) return false;
          EnviarPDH(s, pdhmalas);
          etapa = kEsperaACK;
        }
        break;
      case kEsperaACK:
        if (u.tipo == kByte && (u.byte == NAK || u.byte == DLE)) {
          EnviarPDH(s, pdhmalas);
        } else if (u.tipo == kByte && u.byte == ACK) {
          EnviarControl(s, FS);
          etapa = kEsperaPDC;
        }
        break;
      case kEsperaPDC:
        if (u.tipo == kByte && u.byte == ACK) {
          EnviarControl(s, FS);  // the client did not see the first one
        } else if (u.tipo == kTramaMala) {
          Anomalia(s, "PDC with a bad check byte");
          EnviarControl(s, NAK);
        } else if (u.tipo == kTrama) {
          RevisarPDC(s, u.carga);
          if (Detener(s, kPuntoPDC)) return false;
          if (nakspdc > 0) {
            --nakspdc;
            EnviarControl(s, NAK);
          } else {
            EnviarControl(s, ACK);
            return true;
          }
        }
        break;
    }
  }
}

// Upload: restart answers, data blocks, the client's EOT. True when the
// download may start; the blocks received are left in `bloques`.
bool Subida(Sesion &s, std::map<long, std::string> &bloques) {
  long reinicio = s.f.reinicio;
  long esperado = -1;      // next block; -1 before the first restart answer
  int naks = s.f.naks;
  bool synhecho = false;
  bool corto = false;      // the last block stored was shorter than BLOCKSIZE
  for (;;) {
    Unidad u = Recibir(s);
    if (Perdida(s, u)) return false;
    if (u.tipo == kByte) {
      if (u.byte == SYN) {
        ++s.r.syns;
        esperado = reinicio;
        EnviarTramaServidor(s, Numero5(reinicio));
      } else if (u.byte == EOT) {
        if (esperado < 0) Anomalia(s, "EOT before asking for the starting block");
        if (Detener(s, kPuntoFinSubida)) return false;
        EnviarControl(s, SYN);
        return true;
      } else {
        if (u.byte == NAK) ++s.r.naks;
        Anomalia(s, "byte 0x%02x during the upload", u.byte);
      }
      continue;
    }
    if (u.tipo == kTramaMala) {
      EnviarControl(s, NAK);
      continue;
    }
    long bloque = LeerNumero(u.carga, 5);
    if (u.carga.size() < 6 || bloque < 0) {
      Anomalia(s, "malformed upload block (%zu bytes)", u.carga.size());
      EnviarControl(s, NAK);
      continue;
    }
    std::string datos = u.carga.substr(5);
    if (bloque == esperado - 1 && esperado > 0) {
      // The client sent the block again after a time-out while our ACK was
      // on its way: that ACK answers this copy too. Answering again would
      // put every later answer one message behind.
      Traza(s, "repeated upload block %ld, left unanswered", bloque);
      continue;
    }
    if (bloque != esperado) {
      Anomalia(s, "upload block %ld, expected %ld", bloque, esperado);
      EnviarControl(s, NAK);
      continue;
    }
    if (s.r.blocksize > 0 && datos.size() > static_cast<size_t>(s.r.blocksize)) {
      Anomalia(s, "block %ld of %zu bytes, more than the blocksize", bloque, datos.size());
    }
    if (corto) Anomalia(s, "block %ld after a short block", bloque);
    if (Detener(s, kPuntoSubida, bloque)) return false;
    if (bloque == s.f.nakbloque && naks > 0) {
      --naks;
      EnviarControl(s, NAK);
      continue;
    }
    if (bloque == s.f.synbloque && !synhecho) {
      synhecho = true;
      reinicio = s.f.synreinicio >= 0 ? s.f.synreinicio : bloque;
      EnviarControl(s, SYN);
      continue;
    }
    corto = s.r.blocksize > 0 && datos.size() < static_cast<size_t>(s.r.blocksize);
    bloques[bloque] = datos;
    ++s.r.bloquessubida;
    esperado = bloque + 1;
    EnviarControl(s, ACK);
  }
}

struct Bajada {
  std::vector<std::string> bloques;  // escaped data of each block
  long ultimo = -1;                  // last data block sent; -1 none
  bool eotenviado = false;
  bool duphecho = false;
  bool saltohecho = false;
  bool malhecho = false;
  bool eothecho = false;
};

// Sends download block k (or EOT past the end). False when a fault ended
// the session.
bool EnviarBloque(Sesion &s, Bajada &b, long k) {
  long n = static_cast<long>(b.bloques.size());
  if (k >= n || (k == s.f.eotbajada && !b.eothecho)) {
    if (k == s.f.eotbajada) b.eothecho = true;
    b.eotenviado = true;
    EnviarControl(s, EOT);
    return true;
  }
  b.eotenviado = false;
  if (Detener(s, kPuntoBajada, k)) return false;
  if (k == s.f.saltobajada && !b.saltohecho && k + 1 < n) {
    b.saltohecho = true;
    ++k;
  }
  bool malo = k == s.f.malbajada && !b.malhecho;
  if (malo) b.malhecho = true;
  EnviarTramaServidor(s, Numero5(k) + b.bloques[static_cast<size_t>(k)], malo);
  ++s.r.bloquesbajada;
  b.ultimo = k;
  return true;
}

// Download and closing. True when the client ended with ETB.
bool BajadaYCierre(Sesion &s, Bajada &b) {
  bool pedido = false;  // a block request arrived
  bool dc1 = false;     // DC1 sent: waiting for ETB
  for (;;) {
    Unidad u = Recibir(s);
    if (Perdida(s, u)) return false;
    if (u.tipo == kTramaMala) {
      EnviarControl(s, NAK);
      continue;
    }
    if (u.tipo == kTrama) {
      long k = LeerNumero(u.carga, 5);
      if (u.carga.size() != 5 || k < 0) {
        Anomalia(s, "malformed block request: \"%s\"", u.carga.c_str());
        EnviarControl(s, NAK);
        continue;
      }
      if (!pedido && k != 0) Anomalia(s, "first download request for block %ld", k);
      pedido = true;
      if (!EnviarBloque(s, b, k)) return false;
      continue;
    }
    switch (u.byte) {
      case ACK:
        if (b.eotenviado || b.ultimo < 0) {
          Anomalia(s, "ACK with no download block outstanding");
        } else if (b.ultimo == s.f.dupbajada && !b.duphecho) {
          b.duphecho = true;
          if (!EnviarBloque(s, b, b.ultimo)) return false;
        } else if (!EnviarBloque(s, b, b.ultimo + 1)) {
          return false;
        }
        break;
      case NAK:
        ++s.r.naks;
        if (b.eotenviado) {
          EnviarControl(s, EOT);
        } else if (b.ultimo >= 0) {
          EnviarTramaServidor(s, Numero5(b.ultimo) + b.bloques[static_cast<size_t>(b.ultimo)]);
          ++s.r.bloquesbajada;
        }
        break;
      case SYN:
        ++s.r.syns;
        EnviarControl(s, SYN);
        break;
      case EOT:
        if (dc1 || b.eotenviado) {
          if (!dc1 && Detener(s, kPuntoFinal)) return false;
          dc1 = true;
          EnviarControl(s, DC1);
        } else if (!pedido) {
          EnviarControl(s, SYN);  // the client missed our SYN after its upload
        } else {
          Anomalia(s, "client EOT in the middle of the download");
        }
        break;
      case ETB:
        if (!dc1) Anomalia(s, "ETB before DC1");
        s.r.resultado = "ok";
        return true;
      default:
        Anomalia(s, "byte 0x%02x during the download", u.byte);
        break;
    }
  }
}

}  // namespace

void AtenderSesion(int fd, const Opciones &op, const std::string &bajada, Resumen &resumen,
                   std::string &subida, std::string &cruda) {
  Sesion s{fd, op, op.fallas, resumen, {}, 0, 0, false};
  resumen.bytesbajada = static_cast<long>(bajada.size());
  std::map<long, std::string> bloques;
  if (Apertura(s) && Subida(s, bloques)) {
    Bajada b;
    size_t tam = op.bloquebajada > 0 ? static_cast<size_t>(op.bloquebajada)
                                     : static_cast<size_t>(resumen.blocksize);
    if (tam < 1) tam = 1;
    if (tam > kMaxDatosBajada) tam = kMaxDatosBajada;
    std::string escapada = Escapar(bajada);
    for (size_t i = 0; i < escapada.size(); i += tam) b.bloques.push_back(escapada.substr(i, tam));
    BajadaYCierre(s, b);
  }
  cruda.clear();
  for (const auto &[numero, datos] : bloques) cruda += datos;
  subida = Desescapar(cruda);
  resumen.bytessubida = static_cast<long>(subida.size());
}
