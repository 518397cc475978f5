// dialup_slow_test.cpp - dial-up runs that wait out the modem's real
// time-outs: no answer to INIT (25 s) and no answer to the dial command
// (45 s).
#include "dialup_fixture.h"

namespace dialup {
namespace {

// Without OK to INIT the run ends with 4: no dialing and no hang-up.
TEST_F(Dialup, InitUnansweredGivesFourWithoutDialing) {
  Configurar("INIT=ATZ\n");
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--silent-init"}));
  prueba::RunResult r = Correr(90000);
  EXPECT_EQ(r.status, 4) << Log();
  EXPECT_EQ(Estado(), "4: No se pudo inicializar el modem\r\n");
  EXPECT_EQ(Comandos(), std::vector<std::string>{"ATZ"});
  std::string l = Log();
  EXPECT_NE(l.find("No se pudo inicializar el modem"), std::string::npos);
  EXPECT_EQ(l.find("Llamando..."), std::string::npos);
  EXPECT_EQ(l.find("Cortando..."), std::string::npos);
  EXPECT_TRUE(Locks().empty());
}

// A dial command that gets no answer counts as a time-out; the hang-up
// sequence still follows and the next attempt goes out.
TEST_F(Dialup, DialUnansweredTimesOutHangsUpAndRetries) {
  Configurar("INIT=ATZ\nREINTENTOS=2\n");
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", "silent", "--dial", "NO CARRIER"}));
  prueba::RunResult r = Correr(150000);
  EXPECT_EQ(r.status, 5) << Log();
  EXPECT_EQ(Estado(), "5: No se pudo conectar\r\n");
  std::vector<std::string> esperados = {"ATZ", "ATD4123456", "+++", "ATH",
                                        "ATD4123456", "+++", "ATH"};
  EXPECT_EQ(ComandosFinales(esperados), esperados);
  std::string l = Log();
  // "Timeout" right after "Timeout Alarm!" is folded into it by the log.
  EXPECT_NE(l.find("Timeout Alarm!"), std::string::npos) << l;
  EXPECT_EQ(Contar(l, "Llamando..."), 2);
  EXPECT_EQ(Contar(l, "NO CARRIER\n"), 1);
  EXPECT_EQ(Contar(l, "Ya corte"), 2);
  EXPECT_TRUE(Locks().empty());
}

}  // namespace
}  // namespace dialup
