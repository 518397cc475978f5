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

}  // namespace
