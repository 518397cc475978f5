// portmgr_test.cpp - TCP runs of the real client through the port manager:
// portmgr-sim answers on UDP, kaldo-server runs the session, and the memory
// file zelta.portmgr in the program directory remembers the destinations that
// needed the port manager.
//
// A destination port on which no TCP server listens makes the direct
// connection fail at once (refused); the port manager is reached on UDP at
// that same port number.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../link/portmgr_peer.h"
#include "support.h"
#include "tcp_fixture.h"

namespace {

using tcp::Contar;

class PortMgrE2E : public ::testing::Test {
 protected:
  tcp::Terminal t;
  tcp::Servidor servidor;

  std::string Memoria() const { return prueba::ReadFile(t.prog + "/zelta.portmgr"); }

  // Puts the bundle header back (a run packs and deletes upload/) and empties
  // the log, so each run's log stands alone.
  prueba::RunResult Correr(const std::vector<std::string> &extra = {}) {
    t.Subir("_svl.0", std::string(tcp::Terminal::kEncabezado) + "\r\n");
    unlink(t.log.c_str());
    std::vector<std::string> argv = t.Argv();
    argv.insert(argv.begin() + 1, extra.begin(), extra.end());
    return prueba::Run(argv, 60000);
  }

  static std::string Conectando(int puerto) {
    return "Conectando con svr ZELTA 127.0.0.1 " + std::to_string(puerto) + "...";
  }
};

TEST_F(PortMgrE2E, GrantAfterADirectFailureIsRememberedForTheNextRun) {
  ASSERT_TRUE(servidor.Start(t.tmp, {"--sessions", "2"})) << servidor.proc.Output();
  pmsim::PortMgrPeer pm({"grant:127.0.0.1:" + std::to_string(servidor.puerto)});
  ASSERT_TRUE(pm.Started()) << pm.Output();
  t.Configurar("127.0.0.1", pm.port, "REINTENTOS=1\n");

  // First run: the direct attempt is refused, the port manager grants the
  // server's port, the session runs there and the destination is recorded.
  prueba::RunResult r = Correr();
  std::string log = t.Log();
  EXPECT_EQ(r.status, 0) << r.output << log;
  EXPECT_EQ(t.Estado(), "0: Conexion OK\r\n");
  EXPECT_EQ(Memoria(), "ABCDEFGH,5,12\n");
  ASSERT_EQ(pm.Requests().size(), 1u);
  EXPECT_EQ(pm.Requests()[0].bytes, "CLI;G;;;");
  size_t directo = log.find(Conectando(pm.port));
  size_t pedido = log.find("Conectando a PortMgr");
  size_t otorgado = log.find(Conectando(servidor.puerto));
  EXPECT_NE(directo, std::string::npos) << log;
  EXPECT_NE(pedido, std::string::npos) << log;
  EXPECT_NE(otorgado, std::string::npos) << log;
  EXPECT_LT(directo, pedido);
  EXPECT_LT(pedido, otorgado);

  // Second run: listed, so the port manager comes first and the line is not
  // written again.
  r = Correr();
  log = t.Log();
  EXPECT_EQ(r.status, 0) << r.output << log;
  EXPECT_EQ(Memoria(), "ABCDEFGH,5,12\n");
  EXPECT_EQ(pm.Requests().size(), 2u);
  EXPECT_EQ(log.find(Conectando(pm.port)), std::string::npos) << "went direct first:\n" << log;
  EXPECT_NE(log.find(Conectando(servidor.puerto)), std::string::npos) << log;

  auto s1 = servidor.Resumen(1);
  auto s2 = servidor.Resumen(2);
  EXPECT_EQ(s1["result"], "ok");
  EXPECT_EQ(s2["result"], "ok");
}

TEST_F(PortMgrE2E, ForcedPortManagerSkipsTheMemoryAndSendsUdpPort) {
  ASSERT_TRUE(servidor.Start(t.tmp, {})) << servidor.proc.Output();
  pmsim::PortMgrPeer pm({"grant:127.0.0.1:" + std::to_string(servidor.puerto)});
  ASSERT_TRUE(pm.Started()) << pm.Output();
  int udpport = 0;
  ASSERT_TRUE(prueba::WaitUntil(
      [&] {
        udpport = prueba::FreePort();
        return pmsim::UdpPortFree(udpport);
      },
      5000));
  t.Configurar("127.0.0.1", pm.port, "REINTENTOS=1\nUDPPORT=" + std::to_string(udpport) + "\n");

  prueba::RunResult r = Correr({"-p"});
  std::string log = t.Log();
  EXPECT_EQ(r.status, 0) << r.output << log;
  EXPECT_EQ(servidor.Resumen()["result"], "ok");
  EXPECT_EQ(log.find("LEAUsaPortMgr"), std::string::npos) << log;
  EXPECT_EQ(log.find(Conectando(pm.port)), std::string::npos) << log;
  EXPECT_FALSE(prueba::Exists(t.prog + "/zelta.portmgr"))
      << "a forced port manager run recorded the destination";
  auto pedidos = pm.Requests();
  ASSERT_EQ(pedidos.size(), 1u);
  EXPECT_EQ(pedidos[0].bytes, "CLI;G;" + std::to_string(udpport) + ";;");
  EXPECT_EQ(pedidos[0].source_port, udpport);
}

TEST_F(PortMgrE2E, NoneFallsBackToTheServerDirectly) {
  // The server's TCP port and the port manager's UDP port are one number, as
  // in a real installation.
  ASSERT_TRUE(servidor.Start(t.tmp, {})) << servidor.proc.Output();
  ASSERT_TRUE(pmsim::UdpPortFree(servidor.puerto));
  pmsim::PortMgrPeer pm({"none"}, servidor.puerto);
  ASSERT_TRUE(pm.Started()) << pm.Output();
  t.Configurar("127.0.0.1", servidor.puerto, "REINTENTOS=1\n");
  prueba::WriteFile(t.prog + "/zelta.portmgr", "ABCDEFGH,5,12\n");

  prueba::RunResult r = Correr();
  std::string log = t.Log();
  EXPECT_EQ(r.status, 0) << r.output << log;
  EXPECT_EQ(servidor.Resumen()["result"], "ok");
  EXPECT_EQ(pm.Requests().size(), 1u);
  size_t none = log.find("PortMgr resp NONE");
  size_t respaldo = log.find("Fallback conex II a I");
  size_t directo = log.find(Conectando(servidor.puerto));
  EXPECT_NE(none, std::string::npos) << log;
  EXPECT_NE(respaldo, std::string::npos) << log;
  EXPECT_NE(directo, std::string::npos) << log;
  EXPECT_LT(none, respaldo);
  EXPECT_LT(respaldo, directo);
  EXPECT_EQ(Memoria(), "ABCDEFGH,5,12\n");
}

}  // namespace
