// cadena_test.cpp - the whole road of a transaction: a marker, the daemon
// rewriting the service codes, the real client started by the daemon, and
// the server receiving the rewritten codes.
#include <gtest/gtest.h>

#include <string>

#include "daemon_support.h"
#include "support.h"

namespace rondadortest {
namespace {

TEST_F(Rondador, MarkerReachesTheServerWithRewrittenCodes) {
  // The server: one session, the upload kept in a file.
  std::string subido = tmp / "subido";
  std::string archivopuerto = tmp / "kaldo.port";
  prueba::Spawned servidor =
      prueba::Spawn({prueba::Bin("kaldo-server"), "--listen", "127.0.0.1:0", "--port-file",
                     archivopuerto, "--sessions", "1", "--upload", subido, "--timeout", "20"});
  ASSERT_TRUE(prueba::WaitUntil([&] { return !prueba::ReadFile(archivopuerto).empty(); }, 10000));
  int puerto = atoi(prueba::ReadFile(archivopuerto).c_str());
  ASSERT_GT(puerto, 0);

  // The client's program directory and the terminal root.
  std::string prog = tmp / "prog";
  std::string zelta = prueba::InstallClient(prog);
  prueba::WriteFile(prog + "/zelta.conf", "MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\n");
  prueba::WriteFile(prog + "/zelta.destinos", "5 12 * - 127.0.0.1 " + std::to_string(puerto) + "\n");
  std::string raiz = Raiz("term01");
  prueba::MakeDir(raiz);
  prueba::MakeDir(raiz + "/upload");
  prueba::MakeDir(raiz + "/download");
  prueba::WriteFile(raiz + "/upload/_svl.0", "V1510512ABCDEFGH\r\n");
  prueba::WriteFile(raiz + "/upload/_svl.2", "AAAAAA 0001 servicio\r\nZZZZZZ 0002\r\n");
  prueba::WriteFile(tmp / "trans", "AAAAAABBBBBB\n");

  Marca("TERM01");
  std::string logcliente = tmp / "zelta.log";
  Lanzar({prueba::Bin("rondador"), base, zelta, "-a", "-t", "-a", "tcp", "-a", "-l", "-a",
          logcliente, "-t", tmp / "trans", "-l", log, "-x7"},
         Entorno());

  ASSERT_TRUE(prueba::WaitUntil([&] { return prueba::Exists(raiz + "/estado.rsp"); }, 30000))
      << Log() << prueba::ReadFile(logcliente);
  EXPECT_EQ(prueba::ReadFile(raiz + "/estado.rsp").rfind("0", 0), 0u)
      << prueba::ReadFile(raiz + "/estado.rsp") << prueba::ReadFile(logcliente);
  servidor.Wait(10000);
  std::string paquete = prueba::ReadFile(subido);
  EXPECT_NE(paquete.find("[_svl.2]\r\nBBBBBB 0001 servicio\r\nZZZZZZ 0002\r\n"), std::string::npos)
      << paquete;
  EXPECT_EQ(paquete.find("AAAAAA"), std::string::npos) << paquete;
  EXPECT_EQ(prueba::ReadFile(raiz + "/_1101.rpl"), "AAAAAABBBBBB\n");
  EXPECT_TRUE(prueba::ListDir(tx).empty());
}

}  // namespace
}  // namespace rondadortest
