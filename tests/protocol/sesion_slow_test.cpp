// sesion_slow_test.cpp - the time-out limits of a session, which take real
// protocol time-outs (6 and 10 seconds each) to reach: a silent server,
// time-outs spread over several states, a server that never answers the end
// of the upload, and one that never confirms the transaction.
#include <chrono>

#include "par_kaldo.h"

namespace {

using kaldo::Bloque;
using kaldo::Par;
using kaldo::PDH;
using kaldo::Unidad;

using Reloj = std::chrono::steady_clock;

long Segundos(Reloj::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Reloj::now() - t).count() / 1000);
}

class Limites : public kaldo::SesionTest {};

// Reads and drops whatever the client sends until it closes the line.
void Callar(Par &p) {
  p.plazoms = 60000;
  while (p.Leer().tipo != Unidad::kNada) {
  }
}

TEST_F(Limites, SilentServerEndsTheOpeningWith1AfterFourTimeOuts) {
  auto t = Reloj::now();
  int r = kaldo::Correr(IniciarProtocolo, Callar);
  EXPECT_EQ(r, 1);
  long s = Segundos(t);
  EXPECT_GE(s, 23);
  EXPECT_LE(s, 30);
}

// One time-out in state 0, one in 103 and two in 104: the count is kept over
// the whole opening, although the dialogue moved on in between.
TEST_F(Limites, TimeOutsOfTheOpeningAddUpAcrossStates) {
  int pdcs = 0;
  auto t = Reloj::now();
  int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
    p.plazoms = 30000;
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));  // state 0
    p.EnviarByte(kENQ);
    if (!p.EsperarByte(kDLE)) return;
    p.EnviarTrama(PDH());
    if (!p.EsperarByte(kACK)) return;
    if (!p.EsperarByte(kACK)) return;  // state 103 timed out and sent ACK again
    p.EnviarByte(kFS);
    for (Unidad u; pdcs < 6 && (u = p.Leer()).tipo == Unidad::kTrama;) pdcs++;
  });
  EXPECT_EQ(r, 1);
  EXPECT_EQ(pdcs, 2);  // sent, timed out, sent again, timed out
  EXPECT_GE(Segundos(t), 23);
}

// After the client's EOT at the end of the upload, a server that keeps the
// line open and says nothing: EOT every 10 seconds, and the fourth of these
// time-outs ends the transfer with 1, whatever happened before.
TEST_F(Limites, SilenceAfterTheEndOfTheUploadIsBounded) {
  prueba::WriteFile(Subida(), std::string(20, 'u'));
  int eots = 0;
  auto t = Reloj::now();
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    p.plazoms = 30000;
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));  // a time-out in state 1
    if (!p.EsperarByte(kSYN) || !p.Reinicio(0)) return;  // SYN sent twice
    for (int b = 0; b < 2; b++) {
      if (!p.EsperarTrama(Bloque(b, std::string(b == 0 ? 16 : 4, 'u')))) return;
      p.EnviarByte(kACK);
    }
    // Capped, so that a client that never gives up cannot hang the test.
    for (Unidad u; eots < 6 && (u = p.Leer()).tipo == Unidad::kByte && u.byte == kEOT;) eots++;
  });
  long s = Segundos(t);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(eots, 4);
  EXPECT_GE(s, 6 + 39);  // the earlier time-out is not one of the four
  EXPECT_LE(s, 6 + 50);
}

// The fourth time-out of the transfer counts those of earlier states: one
// in state 1, then a server that never confirms the final EOT.
TEST_F(Limites, UnconfirmedTransactionEndsWith1) {
  prueba::WriteFile(Subida(), "");
  int eots = 0;
  auto t = Reloj::now();
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    p.plazoms = 30000;
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));
    if (!p.EsperarByte(kSYN) || !p.Reinicio(0) || p.Subida() != "" || !p.Bajada({"datos"})) return;
    // Capped, so that a client that never gives up cannot hang the test.
    for (Unidad u; eots < 6 && (u = p.Leer()).tipo == Unidad::kByte && u.byte == kEOT;) eots++;
  });
  EXPECT_EQ(r, 1);
  EXPECT_EQ(eots, 3);
  long s = Segundos(t);
  EXPECT_GE(s, 23);
  EXPECT_LE(s, 30);
  EXPECT_EQ(prueba::ReadFile(Bajada()), "datos");
}

// Silence while the next download block is awaited: after the time-out the
// client acknowledges the last block again, and the block that then comes
// is stored once and the transaction committed.
TEST_F(Limites, TimeOutInTheDownloadRepeatsTheAck) {
  prueba::WriteFile(Subida(), "");
  auto t = Reloj::now();
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    p.plazoms = 10000;
    if (!p.Reinicio(0) || p.Subida() != "" || !p.EsperarTrama(Bloque(0))) return;
    p.EnviarTrama(Bloque(0, "uno"));
    if (!p.EsperarByte(kACK)) return;
    if (!p.EsperarByte(kACK)) return;  // the same ACK, 6 s later
    p.EnviarTrama(Bloque(1, "dos"));
    if (!p.EsperarByte(kACK)) return;
    p.EnviarByte(kEOT);
    p.Cierre();
  });
  EXPECT_EQ(r, 0);
  EXPECT_EQ(prueba::ReadFile(Bajada()), "unodos");
  EXPECT_NE(Log().find("E7: tout"), std::string::npos);
  long s = Segundos(t);
  EXPECT_GE(s, 6);
  EXPECT_LE(s, 10);
}

}  // namespace

namespace {

// A line that keeps the session alive without finishing it: a junk byte
// every 300 ms, in the opening (before ENQ) and in the middle of the
// download (in place of the next block). No time-out ever fires; the
// deadline TIEMPOMAXIMO ends the session with 1 all the same.
TEST_F(Limites, SessionThatOutlivesTiempomaximoEndsWith1) {
  struct Caso {
    const char *nombre;
    std::function<bool(Par &)> antes;  // the dialogue before the junk
  } casos[] = {
      {"opening", [](Par &) { return true; }},
      {"download",
       [](Par &p) {
         if (!p.Apertura() || !p.Reinicio(0) || p.Subida() != "") return false;
         if (!p.EsperarTrama(Bloque(0))) return false;
         p.EnviarTrama(Bloque(0, "abc"));
         return p.EsperarByte(kACK);
       }},
  };
  g_config.tiempomaximo = 2;
  prueba::WriteFile(Subida(), "");
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    auto t = Reloj::now();
    int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
      if (!c.antes(p)) return;
      // Junk for at most 20 s: the client must give up long before.
      for (int i = 0; i < 66; i++) {
        p.EnviarByte('x');
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        char basura[256];
        if (recv(p.fd, basura, sizeof basura, MSG_DONTWAIT) == 0) return;  // closed
      }
    });
    EXPECT_EQ(r, 1) << Log();
    EXPECT_GE(Segundos(t), 2);
    EXPECT_LE(Segundos(t), 4);
    EXPECT_NE(Log().find("Sesion terminada: duro mas de TIEMPOMAXIMO (2 segundos)"),
              std::string::npos);
  }
  g_config.tiempomaximo = 3600;
}

}  // namespace
