// portmgr_slow_test.cpp - TCP runs of the real client through the port
// manager that wait out the port manager's real answer waits and pauses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../link/portmgr_peer.h"
#include "support.h"
#include "tcp_fixture.h"

namespace {

using tcp::Contar;

class PortMgrLentoE2E : public ::testing::Test {
 protected:
  tcp::Terminal t;
  tcp::Servidor servidor;

  std::string Memoria() const { return prueba::ReadFile(t.prog + "/zelta.portmgr"); }

  prueba::RunResult Correr(const std::vector<std::string> &extra = {}) {
    unlink(t.log.c_str());
    std::vector<std::string> argv = t.Argv();
    argv.insert(argv.begin() + 1, extra.begin(), extra.end());
    return prueba::Run(argv, 90000);
  }

  static std::string Conectando(int puerto) {
    return "Conectando con svr ZELTA 127.0.0.1 " + std::to_string(puerto) + "...";
  }
};

TEST_F(PortMgrLentoE2E, NoneAfterADirectFailureGivesASecondDirectAttempt) {
  pmsim::PortMgrPeer pm({"none"});
  ASSERT_TRUE(pm.Started()) << pm.Output();
  t.Configurar("127.0.0.1", pm.port, "REINTENTOS=1\n");

  prueba::RunResult r = Correr();
  std::string log = t.Log();
  EXPECT_EQ(r.status, 5) << r.output << log;
  EXPECT_EQ(t.Estado(), "5: No se pudo conectar\r\n");
  EXPECT_EQ(pm.Requests().size(), 1u);
  EXPECT_EQ(Contar(log, Conectando(pm.port)), 2) << log;
  size_t respaldo = log.find("Fallback conex II a I");
  EXPECT_NE(respaldo, std::string::npos) << log;
  EXPECT_LT(respaldo, log.rfind(Conectando(pm.port)));
  EXPECT_FALSE(prueba::Exists(t.prog + "/zelta.portmgr"));
}

TEST_F(PortMgrLentoE2E, SilenceFallsBackToTheServerDirectly) {
  ASSERT_TRUE(servidor.Start(t.tmp, {})) << servidor.proc.Output();
  ASSERT_TRUE(pmsim::UdpPortFree(servidor.puerto));
  pmsim::PortMgrPeer pm({"silence"}, servidor.puerto);
  ASSERT_TRUE(pm.Started()) << pm.Output();
  t.Configurar("127.0.0.1", servidor.puerto, "REINTENTOS=1\n");
  prueba::WriteFile(t.prog + "/zelta.portmgr", "ABCDEFGH,5,12\n");

  prueba::RunResult r = Correr();
  std::string log = t.Log();
  EXPECT_EQ(r.status, 0) << r.output << log;
  EXPECT_EQ(servidor.Resumen()["result"], "ok");
  EXPECT_EQ(pm.Requests().size(), 5u);
  size_t respaldo = log.find("Fallback conex II a I");
  EXPECT_NE(respaldo, std::string::npos) << log;
  EXPECT_LT(respaldo, log.find(Conectando(servidor.puerto)));
  EXPECT_EQ(Memoria(), "ABCDEFGH,5,12\n");
}

TEST_F(PortMgrLentoE2E, BusyDoesNotUseUpAnAttempt) {
  // Busy, then four invalid answers: only when busy gave its attempt back is
  // there a sixth request, which the grant answers.
  ASSERT_TRUE(servidor.Start(t.tmp, {})) << servidor.proc.Output();
  pmsim::PortMgrPeer pm(
      {"busy", "4*raw:MGR;G;x;65535;", "grant:127.0.0.1:" + std::to_string(servidor.puerto)});
  ASSERT_TRUE(pm.Started()) << pm.Output();
  t.Configurar("127.0.0.1", pm.port, "REINTENTOS=1\n");

  prueba::RunResult r = Correr({"-p"});
  std::string log = t.Log();
  EXPECT_EQ(r.status, 0) << r.output << log;
  EXPECT_EQ(servidor.Resumen()["result"], "ok");
  EXPECT_EQ(pm.Requests().size(), 6u);
  EXPECT_NE(log.find("PortMgr resp BUSY"), std::string::npos) << log;
  EXPECT_EQ(log.find("Fallback conex II a I"), std::string::npos) << log;
}

}  // namespace
