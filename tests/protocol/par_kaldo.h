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
#include <vector>

#include "base.h"
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
  bool Apertura() {
    EnviarByte(kENQ);
    if (!EsperarByte(kDLE)) return false;
    EnviarTrama(PDH());
    if (!EsperarByte(kACK)) return false;
    EnviarByte(kFS);
    char pdc[32];
    snprintf(pdc, sizeof pdc, "02%04d00000000000000000000", g_config.blocksize);
    if (!EsperarTrama(pdc)) return false;
    EnviarByte(kACK);
    return true;
  }

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
};

}  // namespace kaldo
