// par_kaldo.h - a scripted KALDO server for the session tests: the test's
// script runs in a thread on the far end of a socketpair (or an accepted
// TCP connection) while the client code under test runs in the test thread.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control.h"
#include "line.h"
#include "log_archivo.h"
#include "session.h"
#include "support.h"

namespace kaldo {

// What the peer read: a frame (payload, check byte right or wrong), a single
// byte, or nothing (end of line or no answer within the deadline).
struct Unidad {
  enum Tipo { kNada, kByte, kTrama } tipo = kNada;
  unsigned char byte = 0;
  std::string payload;
  bool crcok = false;
};

inline std::string Hex(const std::string &s) {
  std::string r;
  char b[4];
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    snprintf(b, sizeof b, "%02x ", c);
    r += b;
  }
  return r;
}

// A frame as it goes on the line: STX, payload, ETX, check byte.
inline std::string Trama(const std::string &payload, bool crcmalo = false) {
  unsigned char crc = CalcularCRC(reinterpret_cast<const unsigned char *>(payload.data()),
                                  payload.size());
  if (crcmalo) crc = static_cast<unsigned char>(crc ^ 0x5A);
  return std::string(1, '\x02') + payload + '\x03' + static_cast<char>(crc);
}

inline std::string Bloque(int n, const std::string &datos = "") {
  char num[16];
  snprintf(num, sizeof num, "%05d", n);
  return num + datos;
}

// A 36-character PDH payload.
inline std::string PDH(size_t largo = 36) {
  std::string p = "07" "0123456789ABCDEF" "FEDCBA9876543210" "5A";
  p.resize(largo, '9');
  return p;
}

// A dialogue written as one line, for Par::Jugar: units separated by
// spaces, each a direction and a unit. ">" the server sends it, "<" the
// client must send it next. Units:
//   ENQ ACK NAK DLE FS SYN EOT DC1 ETB STX  a control byte by name
//   x99        any byte, in hex
//   F<payload> a frame ("F00000uno": block 0 carrying "uno"); a trailing "!"
//              spoils the check byte of a frame sent
//   PDH, PDH35 the server's PDH frame (36 characters, or cut or padded to
//              the length given); "!" as for F
//   PDC        the client's answer to FS for the configured block size
//   =<bytes>   bytes sent as they are, no framing
//   *          (after "<") one unit of any kind, not checked
// Payloads cannot hold spaces.
namespace guion {
// The clean opening (to the server's ACK of the PDC), the upload of an
// empty bundle from block 0, and the closing.
inline const std::string kApertura = ">ENQ <DLE >PDH <ACK >FS <PDC >ACK";
inline const std::string kSubidaVacia = "<SYN >F00000 <EOT >SYN";
inline const std::string kCierre = "<EOT >DC1 <ETB";
// The rest of a session after the opening, with nothing to carry.
inline const std::string kRestoVacio = kSubidaVacia + " <F00000 >EOT " + kCierre;
}  // namespace guion

struct Par {
  int fd = -1;
  int plazoms = 20000;  // no test waits this long for the client

  int Byte() {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, plazoms) <= 0) return -1;
    unsigned char c;
    if (read(fd, &c, 1) != 1) return -1;
    return c;
  }

  Unidad Leer() {
    Unidad u;
    int c = Byte();
    if (c < 0) return u;
    if (c != 0x02) {
      u.tipo = Unidad::kByte;
      u.byte = static_cast<unsigned char>(c);
      return u;
    }
    while ((c = Byte()) >= 0 && c != 0x03) u.payload += static_cast<char>(c);
    if (c < 0) return u;
    int crc = Byte();
    if (crc < 0) return u;
    u.tipo = Unidad::kTrama;
    u.crcok = crc == CalcularCRC(reinterpret_cast<const unsigned char *>(u.payload.data()),
                                 u.payload.size());
    return u;
  }

  void Enviar(const std::string &s) {
    size_t hecho = 0;
    while (hecho < s.size()) {
      ssize_t w = write(fd, s.data() + hecho, s.size() - hecho);
      if (w <= 0) return;
      hecho += static_cast<size_t>(w);
    }
  }
  void EnviarByte(unsigned char b) { Enviar(std::string(1, static_cast<char>(b))); }
  void EnviarTrama(const std::string &payload, bool crcmalo = false) {
    Enviar(Trama(payload, crcmalo));
  }

  // Expectations; they record a failure and return false when not met.
  bool EsperarByte(unsigned char b) {
    Unidad u = Leer();
    bool ok = u.tipo == Unidad::kByte && u.byte == b;
    EXPECT_TRUE(ok) << "expected byte " << int(b) << ", got type " << u.tipo << " byte "
                    << int(u.byte) << " payload " << u.payload;
    return ok;
  }
  bool EsperarTrama(const std::string &payload) {
    Unidad u = Leer();
    bool ok = u.tipo == Unidad::kTrama && u.crcok && u.payload == payload;
    EXPECT_TRUE(ok) << "expected frame " << payload << ", got type " << u.tipo << " byte "
                    << int(u.byte) << " payload " << u.payload;
    return ok;
  }

  // The server's side of a clean opening.
  bool Apertura() { return Jugar(guion::kApertura); }

  // Answers the client's SYN with the restart block.
  bool Reinicio(int bloque) {
    if (!EsperarByte(kSYN)) return false;
    EnviarTrama(Bloque(bloque));
    return true;
  }

  // Takes upload blocks, ACKing each, until the client's EOT; answers it
  // with SYN. Returns the data in arrival order, or "<error>".
  std::string Subida(int primero = 0) {
    std::string datos;
    for (int esperado = primero;; esperado++) {
      Unidad u = Leer();
      if (u.tipo == Unidad::kByte && u.byte == kEOT) break;
      if (u.tipo != Unidad::kTrama || !u.crcok || u.payload.size() <= 5 ||
          u.payload.substr(0, 5) != Bloque(esperado)) {
        ADD_FAILURE() << "upload block " << esperado << " expected, got type " << u.tipo
                      << " payload " << u.payload;
        return "<error>";
      }
      datos += u.payload.substr(5);
      EnviarByte(kACK);
    }
    EnviarByte(kSYN);
    return datos;
  }

  // Serves the download blocks in order (the client asks for block 0, then
  // ACKs each), then EOT.
  bool Bajada(const std::vector<std::string> &bloques) {
    if (!EsperarTrama(Bloque(0))) return false;
    for (size_t i = 0; i < bloques.size(); i++) {
      EnviarTrama(Bloque(static_cast<int>(i), bloques[i]));
      if (!EsperarByte(kACK)) return false;
    }
    EnviarByte(kEOT);
    return true;
  }

  // Client's EOT, our DC1, its ETB.
  bool Cierre() {
    if (!EsperarByte(kEOT)) return false;
    EnviarByte(kDC1);
    return EsperarByte(kETB);
  }

  // Plays the server's side of a written dialogue (see guion above). Stops
  // at the first unit the client does not send (a failure is recorded) and
  // returns false then.
  bool Jugar(const std::string &dialogo) {
    size_t desde = 0;
    while (desde < dialogo.size()) {
      size_t fin = dialogo.find(' ', desde);
      if (fin == std::string::npos) fin = dialogo.size();
      std::string paso = dialogo.substr(desde, fin - desde);
      desde = fin + 1;
      if (paso.empty()) continue;
      if (!Paso(paso)) return false;
    }
    return true;
  }

 private:
  bool Paso(const std::string &paso) {
    static const std::pair<const char *, unsigned char> kNombres[] = {
        {"ENQ", kENQ}, {"ACK", kACK}, {"NAK", kNAK}, {"DLE", kDLE}, {"FS", kFS},
        {"SYN", kSYN}, {"EOT", kEOT}, {"DC1", kDC1}, {"ETB", kETB}, {"STX", kSTX}};
    const char lado = paso[0];
    std::string unidad = paso.substr(1);
    if ((lado != '>' && lado != '<') || unidad.empty()) {
      ADD_FAILURE() << "unit without direction in the dialogue: " << paso;
      return false;
    }
    if (lado == '<' && unidad == "*") {
      Leer();
      return true;
    }
    if (lado == '>' && unidad[0] == '=') {
      Enviar(unidad.substr(1));
      return true;
    }
    for (const auto &[nombre, byte] : kNombres) {
      if (unidad != nombre) continue;
      if (lado == '<') return EsperarByte(byte);
      EnviarByte(byte);
      return true;
    }
    if (unidad[0] == 'x' && unidad.size() == 3) {
      auto byte = static_cast<unsigned char>(std::stoi(unidad.substr(1), nullptr, 16));
      if (lado == '<') return EsperarByte(byte);
      EnviarByte(byte);
      return true;
    }
    bool malo = unidad.back() == '!';
    if (malo) unidad.pop_back();
    std::string payload;
    if (unidad[0] == 'F') {
      payload = unidad.substr(1);
    } else if (unidad.rfind("PDH", 0) == 0) {
      payload = unidad.size() == 3 ? PDH() : PDH(std::stoul(unidad.substr(3)));
    } else if (unidad == "PDC") {
      char pdc[32];
      snprintf(pdc, sizeof pdc, "02%04d00000000000000000000", g_config.blocksize);
      payload = pdc;
    } else {
      ADD_FAILURE() << "unknown unit in the dialogue: " << paso;
      return false;
    }
    if (lado == '<') return EsperarTrama(payload);
    EnviarTrama(payload, malo);
    return true;
  }
};

// Runs the client operation in this thread and the script in a thread of
// its own on the other end of a socketpair. The client's end becomes the
// line; it is closed when the operation returns, so the script never waits
// past that.
inline int Correr(const std::function<int()> &cliente,
                  const std::function<void(Par &)> &guion) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1000;
  g_linea.fd = sv[0];
  std::thread servidor([&] {
    sigset_t s;
    sigfillset(&s);
    pthread_sigmask(SIG_BLOCK, &s, nullptr);  // the alarm is the client's
    Par p;
    p.fd = sv[1];
    guion(p);
    close(sv[1]);
  });
  int r = cliente();
  close(sv[0]);
  g_linea.fd = -1;
  servidor.join();
  return r;
}

// Common state for a session test: a terminal root with upload/ and
// download/ (the fixture's directory, whose file "log" gets the log), the
// configured block size, a session buffer and the handlers the transport
// would install.
class SesionTest : public ConLogEnArchivo {
 protected:
  void SetUp() override {
    prueba::MakeDir(dir / "upload");
    prueba::MakeDir(dir / "download");
    g_corrida.raiz = dir.path;
    g_config.blocksize = 16;
    g_linea.colgado = 0;
    g_linea.hijo = -1;
    AbrirLog(20);
    ASSERT_EQ(ReservarBufferSesion(), 0);
    signal(SIGALRM, TimeoutAlarm);
    signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override {
    LiberarBufferSesion();
    ConLogEnArchivo::TearDown();
    signal(SIGALRM, SIG_DFL);
    g_sesion.timeout = 6;
    g_sesion.timeoutresto = 60;
  }
  std::string Subida() { return dir / "upload/input.dat"; }
  std::string Bajada() { return dir / "download/output.dat"; }

  // One row of a table of dialogues: the server's side, the client's
  // result, a text the log must hold and one it must not ("": none), and
  // the download file the session leaves (nullptr: not looked at).
  struct Dialogo {
    const char *nombre;
    std::string guion;
    int resultado;
    std::string enlog = "";
    std::string noenlog = "";
    const char *bajada = nullptr;
  };

  // Plays each dialogue against the client operation, each with a log of
  // its own and no download file left by the one before.
  void Dialogos(const std::function<int()> &cliente, const std::vector<Dialogo> &casos) {
    for (const Dialogo &d : casos) {
      SCOPED_TRACE(d.nombre);
      AbrirLog(g_corrida.debuglevel);
      unlink(Bajada().c_str());
      int r = Correr(cliente, [&](Par &p) { p.Jugar(d.guion); });
      EXPECT_EQ(r, d.resultado);
      std::string texto = Log();
      if (!d.enlog.empty()) {
        EXPECT_NE(texto.find(d.enlog), std::string::npos) << d.enlog;
      }
      if (!d.noenlog.empty()) {
        EXPECT_EQ(texto.find(d.noenlog), std::string::npos) << d.noenlog;
      }
      if (d.bajada != nullptr) {
        EXPECT_EQ(prueba::ReadFile(Bajada()), d.bajada);
      }
    }
  }
};

}  // namespace kaldo
