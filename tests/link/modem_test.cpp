// modem_test.cpp - the dial-up transport's own rules: the number to dial
// from the dial string and the area code, the dial command, and the reading
// of the rest of the CONNECT line.
#include "modem.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <ostream>
#include <unistd.h>

#include <string>

#include "line.h"

namespace {

struct CasoNumero {
  const char *telefono;
  const char *area;
  const char *numero;
};

// Cases show by name in test listings.
void PrintTo(const CasoNumero &c, std::ostream *os) { *os << c.telefono << " " << c.area; }

class NumeroAMarcarTest : public ::testing::TestWithParam<CasoNumero> {};

TEST_P(NumeroAMarcarTest, DialsLocalNumbersWithoutTheirAreaCode) {
  const CasoNumero &c = GetParam();
  EXPECT_EQ(NumeroAMarcar(c.telefono, c.area), c.numero)
      << "dial string " << c.telefono << ", area code " << c.area;
}

INSTANTIATE_TEST_SUITE_P(
    Reglas, NumeroAMarcarTest,
    ::testing::Values(
        CasoNumero{"0351-4123456", "0351", "4123456"},       // own area: code dropped
        CasoNumero{"011-43215555", "0351", "011-43215555"},  // other area: in full
        CasoNumero{"0351-4123456", "035", "0351-4123456"},   // shorter area code
        CasoNumero{"0351-4123456", "03511", "0351-4123456"}, // longer area code
        CasoNumero{"03514123456", "0351", "03514123456"},    // no '-'
        CasoNumero{"351-4123456", "351", "351-4123456"},     // does not begin with '0'
        CasoNumero{"0351-41-23", "0351", "41-23"},           // only the first '-' splits
        CasoNumero{"0351-", "0351", ""},                     // nothing after the '-'
        CasoNumero{"0351-4123456", "", "0351-4123456"},      // no area code
        CasoNumero{"", "0351", ""},                          // no dial string
        CasoNumero{"0-5", "0", "5"},
        CasoNumero{"0352-4123456", "0351", "0352-4123456"}));  // same length, differs

TEST(ComandoMarcado, PrefixAndNumberBetweenATDAndCarriageReturn) {
  EXPECT_EQ(ComandoMarcado("T", "4123456"), "ATDT4123456\r");
  EXPECT_EQ(ComandoMarcado("", "011-43215555"), "ATD011-43215555\r");
  EXPECT_EQ(ComandoMarcado("P0,", "123"), "ATDP0,123\r");
}

// The rest of a connect line fed through a pipe standing for the line.
class LineaConnectTest : public ::testing::Test {
 protected:
  int p[2] = {-1, -1};
  void SetUp() override {
    ASSERT_EQ(pipe(p), 0);
    g_linea.fd = p[0];
    g_linea.colgado = 0;
  }
  void TearDown() override {
    if (p[0] >= 0) close(p[0]);
    if (p[1] >= 0) close(p[1]);
    g_linea.fd = -1;
  }
  void Enviar(const std::string &datos, bool cerrar) {
    ASSERT_EQ(write(p[1], datos.data(), datos.size()), static_cast<ssize_t>(datos.size()));
    if (cerrar) {
      close(p[1]);
      p[1] = -1;
    }
  }
  std::string Resto() {
    std::string r;
    char c;
    while (read(p[0], &c, 1) == 1) r.push_back(c);
    return r;
  }
};

TEST_F(LineaConnectTest, CollectsUpToTheLineFeedAndLeavesTheRest) {
  Enviar(" 9600\r\n\x05", true);
  std::string texto;
  EXPECT_EQ(LeerLineaConnect(texto), 0);
  EXPECT_EQ(texto, "  9600\r");
  EXPECT_EQ(Resto(), "\x05");
}

TEST_F(LineaConnectTest, KeepsNinetyNineCharactersAndDropsTheRest) {
  Enviar(std::string(150, 'x') + "\nY", true);
  std::string texto;
  EXPECT_EQ(LeerLineaConnect(texto), 0);
  EXPECT_EQ(texto, " " + std::string(98, 'x'));
  EXPECT_EQ(Resto(), "Y");
}

TEST_F(LineaConnectTest, LineEndingBeforeTheLineFeedIsCarrierLoss) {
  Enviar(" 9600\r", true);
  std::string texto;
  EXPECT_EQ(LeerLineaConnect(texto), 2);
  EXPECT_EQ(texto, "  9600\r");
}

TEST_F(LineaConnectTest, HangUpFlagIsCarrierLoss) {
  Enviar(" 9600\r\n", false);
  g_linea.colgado = 1;
  std::string texto;
  EXPECT_EQ(LeerLineaConnect(texto), 2);
  g_linea.colgado = 0;
}

// A failed wait on the line must not pass for a connect line that arrived:
// the session would start on a line that cannot be read.
TEST_F(LineaConnectTest, FailedWaitIsCarrierLossNotSuccess) {
  close(p[0]);
  p[0] = -1;  // g_linea.fd now names a closed descriptor
  std::string texto;
  EXPECT_EQ(LeerLineaConnect(texto), 2);
}

}  // namespace
