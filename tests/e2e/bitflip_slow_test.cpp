// bitflip_slow_test.cpp - a flipped bit in the ETX of a server frame: the
// client reads on past the frame's end for data that never comes, until
// its 60-second frame timer gives up; the frame is then asked for again
// and the exchange completes exactly. One bit each of the PDH and a
// download block (ETX turned into STX, and into DC3).
#include "faults_fixture.h"

namespace {

struct Caso {
  const char *nombre;
  long trama;  // 1: PDH (39 bytes), 4: download block 1 (24 bytes)
  long bit;
};

// Cases show by name in test listings.
void PrintTo(const Caso &c, std::ostream *os) { *os << c.nombre; }

class VolteoEtxTest : public ::testing::TestWithParam<Caso> {};

TEST_P(VolteoEtxTest, FrameTimerRecoversAndDeliversExactly) {
  const Caso &c = GetParam();
  std::string volteo = std::to_string(c.trama) + ":" + std::to_string(c.bit);
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({"--down-block", "16", "--timeout", "120", "--flip", volteo}));
  x.Correr({}, 180000);
  SCOPED_TRACE("--flip " + volteo + "\n" + x.Contexto());
  ASSERT_NE(x.run.status, -1000) << "the run hung";
  EXPECT_FALSE(falla::InformeSanitizer(x.run.output));
  EXPECT_EQ(x.run.status, 0);
  falla::ComprobarExito(x);
  falla::ComprobarSinLocks(x);
}

INSTANTIATE_TEST_SUITE_P(Volteos, VolteoEtxTest,
                         ::testing::Values(Caso{"pdh_etx_to_stx", 1, 8 * 37},
                                           Caso{"block_etx_to_stx", 4, 8 * 22},
                                           Caso{"block_etx_to_dc3", 4, 8 * 22 + 4}),
                         [](const ::testing::TestParamInfo<Caso> &i) {
                           return std::string(i.param.nombre);
                         });

}  // namespace
