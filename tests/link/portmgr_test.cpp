// portmgr_test.cpp - the port-manager answer reader, the memory file, and
// the request against the portmgr-sim peer on loopback.
#include "portmgr.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "line.h"
#include "log_archivo.h"
#include "portmgr_peer.h"
#include "support.h"

namespace {

// ---------------------------------------------------------------- answers

struct CasoRespuesta {
  std::string texto;
  RespuestaPortMgr esperada;
  std::string host;  // for grants
  unsigned short puerto;
};

TEST(InterpretarRespuestaPortMgr, ReadsEveryAnswerForm) {
  const std::vector<CasoRespuesta> casos = {
      {"MGR;G;srv2;7001;", kRespuestaGrant, "srv2", 7001},
      {"MGR;G;srv2;7001;lo que sea;mas", kRespuestaGrant, "srv2", 7001},
      {"MGR;G;10.1.2.3;65534;", kRespuestaGrant, "10.1.2.3", 65534},
      {"MGR;G;srv2;1;", kRespuestaGrant, "srv2", 1},
      {"MGR;G;;7001;", kRespuestaGrant, "", 7001},  // empty host is allowed
      {"MGR;G;srv2; 7001;", kRespuestaGrant, "srv2", 7001},  // converted like atoi
      {"MGR;G;srv2;7001x;", kRespuestaGrant, "srv2", 7001},
      {"MGR;G;BUSY;7001;", kRespuestaGrant, "BUSY", 7001},
      {"MGR;G;srv2;7001", kRespuestaInvalida, "", 0},  // port not terminated
      {"MGR;G;srv2;", kRespuestaInvalida, "", 0},      // nothing after the host
      {"MGR;G;srv2", kRespuestaInvalida, "", 0},
      {"MGR;G;", kRespuestaInvalida, "", 0},
      {"MGR;G;srv2;65535;", kRespuestaInvalida, "", 0},  // the "no port" mark
      {"MGR;G;srv2;-1;", kRespuestaInvalida, "", 0},     // would wrap to 65535
      {"MGR;G;srv2;65536;", kRespuestaInvalida, "", 0},  // would wrap to 0
      {"MGR;G;srv2;72537;", kRespuestaInvalida, "", 0},  // would wrap to 7001
      {"MGR;G;srv2;99999999999999999999999;", kRespuestaInvalida, "", 0},
      {"MGR;G;srv2;0;", kRespuestaInvalida, "", 0},
      {"MGR;G;srv2;;", kRespuestaInvalida, "", 0},
      {"MGR;G;srv2;x;", kRespuestaInvalida, "", 0},
      {"MGR;BUSY", kRespuestaBusy, "", 0},
      {"MGR;B", kRespuestaBusy, "", 0},
      {"MGR;NONE", kRespuestaNone, "", 0},
      {"MGR;N;G;srv2;7001;", kRespuestaNone, "", 0},
      {"MGR;", kRespuestaInvalida, "", 0},
      {"", kRespuestaInvalida, "", 0},
      {"MGR", kRespuestaInvalida, "", 0},
      {"mgr;G;srv2;7001;", kRespuestaInvalida, "", 0},
      {"XMGR;G;srv2;7001;", kRespuestaInvalida, "", 0},
      {" MGR;BUSY", kRespuestaInvalida, "", 0},
      {"MGR;g;srv2;7001;", kRespuestaInvalida, "", 0},
      {"MGR;GRANT;srv2;7001;", kRespuestaInvalida, "", 0},
      {"MGR;b", kRespuestaInvalida, "", 0},
      {"MGR;X;srv2;7001;", kRespuestaInvalida, "", 0},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.texto);
    char host[75] = "sin tocar";
    unsigned short puerto = 4242;
    EXPECT_EQ(InterpretarRespuestaPortMgr(c.texto.c_str(), host, sizeof host, &puerto), c.esperada);
    if (c.esperada == kRespuestaGrant) {
      EXPECT_EQ(std::string(host), c.host);
      EXPECT_EQ(puerto, c.puerto);
    } else {
      EXPECT_EQ(std::string(host), "sin tocar");
      EXPECT_EQ(puerto, 4242);
    }
  }
}

TEST(InterpretarRespuestaPortMgr, CutsTheHostToTheBuffer) {
  const std::string largo(120, 'h');
  const std::string texto = "MGR;G;" + largo + ";7001;";
  struct {
    size_t tam;
    size_t copiados;
  } casos[] = {{75, 74}, {121, 120}, {200, 120}, {5, 4}, {1, 0}};
  for (const auto &c : casos) {
    SCOPED_TRACE(c.tam);
    std::vector<char> buf(c.tam + 8, '#');
    unsigned short puerto = 0;
    ASSERT_EQ(InterpretarRespuestaPortMgr(texto.c_str(), buf.data(), c.tam, &puerto),
              kRespuestaGrant);
    EXPECT_EQ(std::string(buf.data()), std::string(c.copiados, 'h'));
    EXPECT_EQ(buf[c.tam], '#') << "written past the buffer";
    EXPECT_EQ(puerto, 7001);
  }
  // A zero-sized buffer gets nothing; the port still comes back.
  char nada = '#';
  unsigned short puerto = 0;
  EXPECT_EQ(InterpretarRespuestaPortMgr(texto.c_str(), &nada, 0, &puerto), kRespuestaGrant);
  EXPECT_EQ(nada, '#');
  EXPECT_EQ(puerto, 7001);
}

// ---------------------------------------------------------------- memory

// Points the program directory at a temp dir and the log at a file there.
class MemoriaPortMgr : public ConLogEnArchivo {
 protected:
  void SetUp() override {
    g_corrida.dirprog = dir.path + "/";
    AbrirLog(20);
  }
  void TearDown() override {
    ConLogEnArchivo::TearDown();
    g_corrida.dirprog.clear();
    g_corrida.debuglevel = 1;
  }
  std::string Memoria() const { return prueba::ReadFile(dir / "zelta.portmgr"); }
};

struct CasoBusqueda {
  const char *nombre;
  std::string archivo;
  std::string clave;
  int empresa, actividad;
  int esperado;
};

TEST_F(MemoriaPortMgr, LookupMatchesKeyCompanyAndActivity) {
  const std::string otra = "ZZZZZZZZ,1,1\n";
  const std::vector<CasoBusqueda> casos = {
      {"exact line", "ABCDEFGH,5,12\n", "ABCDEFGH", 5, 12, 1},
      {"key compared with case", "ABCDEFGH,5,12\n", "abcdefgh", 5, 12, 0},
      {"other activity", "ABCDEFGH,5,12\n", "ABCDEFGH", 5, 13, 0},
      {"other company", "ABCDEFGH,5,12\n", "ABCDEFGH", 6, 12, 0},
      {"key is not a prefix", "ABCDEFGH,5,12\n", "ABCDEFG", 5, 12, 0},
      {"longer key", "ABCDEFG,5,12\n", "ABCDEFGH", 5, 12, 0},
      {"found among others", otra + "ABCDEFGH,5,13\nABCDEFGH,5,12\n" + otra, "ABCDEFGH", 5, 12, 1},
      {"last line without end", otra + "ABCDEFGH,5,12", "ABCDEFGH", 5, 12, 1},
      {"CR LF line end", "ABCDEFGH,5,12\r\n", "ABCDEFGH", 5, 12, 1},
      {"numbers read like atoi", "ABCDEFGH,05, 12 resto\n", "ABCDEFGH", 5, 12, 1},
      {"empty key", ",5,12\n", "", 5, 12, 1},
      {"empty key is not any key", ",5,12\n", "ABCDEFGH", 5, 12, 0},
      {"a key is not the empty key", "ABCDEFGH,5,12\n", "", 5, 12, 0},
      {"no second comma", "ABCDEFGH,5\n", "ABCDEFGH", 5, 0, 0},
      {"no comma", "ABCDEFGH\n", "ABCDEFGH", 0, 0, 0},
      {"empty file", "", "ABCDEFGH", 5, 12, 0},
      // Only the first 29 characters of a line count, and what follows in a
      // longer line is never taken for a line of its own.
      {"long line matched on its start", "ABCDEFGH,5,12" + std::string(40, ' ') + "x\n",
       "ABCDEFGH", 5, 12, 1},
      {"activity past the 29th character", "ABCDEFGH,5," + std::string(18, ' ') + "12\n",
       "ABCDEFGH", 5, 12, 0},
      {"activity ending at the 29th character", "ABCDEFGH,5," + std::string(16, ' ') + "12\n",
       "ABCDEFGH", 5, 12, 1},
      {"line inside a long line", std::string(29, 'X') + "ABCDEFGH,5,12\n", "ABCDEFGH", 5, 12, 0},
      {"line inside a very long line", std::string(29 * 3, '#') + "ABCDEFGH,5,12\n", "ABCDEFGH",
       5, 12, 0},
      {"line after a long line", std::string(100, 'X') + "\nABCDEFGH,5,12\n", "ABCDEFGH", 5, 12,
       1},
      {"huge numbers do not overflow", "ABCDEFGH,99999999999999999999,12\n", "ABCDEFGH", -1, 12,
       0},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    prueba::WriteFile(dir / "zelta.portmgr", c.archivo);
    EXPECT_EQ(LEAUsaPortMgr(c.clave.c_str(), c.empresa, c.actividad), c.esperado);
  }
  EXPECT_NE(Log().find("LEAUsaPortMgr searching ABCDEFGH,5,12"), std::string::npos);
  EXPECT_NE(Log().find("Archivo configuracion portmgr: " + dir.path + "/zelta.portmgr"),
            std::string::npos);
}

TEST_F(MemoriaPortMgr, MissingFileIsNotListedAndLoggedAtLevel10) {
  EXPECT_EQ(LEAUsaPortMgr("ABCDEFGH", 5, 12), 0);
  EXPECT_NE(Log().find("Archivo no encontrado: " + dir.path + "/zelta.portmgr"),
            std::string::npos);

  g_corrida.debuglevel = 9;
  ReiniciarLog();
  EXPECT_EQ(LEAUsaPortMgr("ABCDEFGH", 5, 12), 0);
  EXPECT_EQ(Log().find("Archivo no encontrado: " + dir.path + "/zelta.portmgr\n"),
            Log().rfind("Archivo no encontrado: " + dir.path + "/zelta.portmgr\n"))
      << "logged below its level:\n"
      << Log();
  EXPECT_FALSE(prueba::Exists(dir / "zelta.portmgr")) << "a lookup must not create the file";
}

TEST_F(MemoriaPortMgr, UnopenableFileIsNotListedAndLogged) {
  // The program directory is a plain file, so the open fails with ENOTDIR
  // even for root.
  prueba::WriteFile(dir / "noesdir", "");
  g_corrida.dirprog = dir / "noesdir/";
  g_corrida.debuglevel = 1;
  EXPECT_EQ(LEAUsaPortMgr("ABCDEFGH", 5, 12), 0);
  EXPECT_NE(Log().find("LEAUsaPortMgr open(): Not a directory"), std::string::npos) << Log();

  // A directory in the file's place cannot be read either.
  g_corrida.dirprog = dir.path + "/";
  prueba::MakeDir(dir / "zelta.portmgr");
  EXPECT_EQ(LEAUsaPortMgr("ABCDEFGH", 5, 12), 0);
}

TEST_F(MemoriaPortMgr, WrittenLinesAreFoundAgain) {
  WriteLEAUsaPortMgr("ABCDEFGH", 5, 12);
  EXPECT_EQ(Memoria(), "ABCDEFGH,5,12\n");
  WriteLEAUsaPortMgr("", 7, 3);
  WriteLEAUsaPortMgr("QWERTYUI", -1, 99);
  EXPECT_EQ(Memoria(), "ABCDEFGH,5,12\n,7,3\nQWERTYUI,-1,99\n");
  EXPECT_EQ(LEAUsaPortMgr("ABCDEFGH", 5, 12), 1);
  EXPECT_EQ(LEAUsaPortMgr("", 7, 3), 1);
  EXPECT_EQ(LEAUsaPortMgr("QWERTYUI", -1, 99), 1);
  EXPECT_EQ(LEAUsaPortMgr("", 5, 12), 0);
  EXPECT_NE(Log().find("WriteLEAUsaPortMgr writing ABCDEFGH,5,12"), std::string::npos);
}

TEST_F(MemoriaPortMgr, WriteAppendsAfterALastLineWithoutEnd) {
  prueba::WriteFile(dir / "zelta.portmgr", "ZZZZZZZZ,1,2");
  WriteLEAUsaPortMgr("ABCDEFGH", 5, 12);
  EXPECT_EQ(Memoria(), "ZZZZZZZZ,1,2\nABCDEFGH,5,12\n");
  EXPECT_EQ(LEAUsaPortMgr("ABCDEFGH", 5, 12), 1);
  EXPECT_EQ(LEAUsaPortMgr("ZZZZZZZZ", 1, 2), 1);
}

TEST_F(MemoriaPortMgr, KeysThatCouldNotBeReadBackAreNotWritten) {
  prueba::WriteFile(dir / "zelta.portmgr", "ZZZZZZZZ,1,2\n");
  // A line break would leave ",5,12" on a line of its own, listing the
  // empty key; a comma makes a line that never matches.
  WriteLEAUsaPortMgr("ABCDEFG\n", 5, 12);
  WriteLEAUsaPortMgr("ABC,DEFG", 5, 12);
  EXPECT_EQ(Memoria(), "ZZZZZZZZ,1,2\n");
  EXPECT_EQ(LEAUsaPortMgr("", 5, 12), 0);
}

TEST_F(MemoriaPortMgr, WriteFailureIsLoggedAndHarmless) {
  g_corrida.dirprog = dir / "nohay/";
  g_corrida.debuglevel = 1;
  WriteLEAUsaPortMgr("ABCDEFGH", 5, 12);
  EXPECT_NE(Log().find("WriteLEAUsaPortMgr open(): No such file or directory"), std::string::npos)
      << Log();
}

// ---------------------------------------------------------------- request

class PedidoPortMgr : public MemoriaPortMgr {
 protected:
  char host[75] = "";
  unsigned short puerto = 0;
  void TearDown() override {
    g_config.udpport = 0;
    MemoriaPortMgr::TearDown();
  }
};

TEST_F(PedidoPortMgr, RequestBytesFollowTheLocalPort) {
  struct {
    int udpport;
    std::string pedido;
  } casos[] = {{0, "CLI;G;;;"}, {4000, "CLI;G;4000;;"}};
  for (auto c : casos) {
    if (c.udpport != 0 && !pmsim::UdpPortFree(c.udpport)) {
      // Taken on this machine: any other free port shows the same.
      ASSERT_TRUE(prueba::WaitUntil(
          [&] { return pmsim::UdpPortFree(c.udpport = prueba::FreePort()); }, 5000));
      c.pedido = "CLI;G;" + std::to_string(c.udpport) + ";;";
    }
    SCOPED_TRACE(c.udpport);
    pmsim::PortMgrPeer sim({"grant:srv.ejemplo:7001"});
    ASSERT_TRUE(sim.Started()) << sim.Output();
    g_config.udpport = c.udpport;
    ReiniciarLog();
    EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 0);
    EXPECT_STREQ(host, "srv.ejemplo");
    EXPECT_EQ(puerto, 7001);
    auto pedidos = sim.Requests();
    ASSERT_EQ(pedidos.size(), 1u);
    EXPECT_EQ(pedidos[0].bytes, c.pedido);
    if (c.udpport != 0) {
      EXPECT_EQ(pedidos[0].source_port, c.udpport);
    } else {
      EXPECT_NE(pedidos[0].source_port, 0);
    }
    std::string salida = Log();
    EXPECT_NE(salida.find("Conectando a PortMgr"), std::string::npos);
    EXPECT_NE(salida.find("PortMgrConnect port assigned=" + std::to_string(pedidos[0].source_port)),
              std::string::npos)
        << salida;
    EXPECT_NE(salida.find("PortMgrConnect req sent"), std::string::npos);
    EXPECT_NE(salida.find("Resp de PortMgr: MGR;G;srv.ejemplo;7001;"), std::string::npos);
  }
}

TEST_F(PedidoPortMgr, LocalPortInUseEndsAtOnce) {
  int ocupado = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(ocupado, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  socklen_t largo = sizeof a;
  getsockname(ocupado, reinterpret_cast<sockaddr *>(&a), &largo);
  pmsim::PortMgrPeer sim({"grant:srv:7001"});
  ASSERT_TRUE(sim.Started());
  g_config.udpport = ntohs(a.sin_port);
  EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 5);
  close(ocupado);
  EXPECT_NE(Log().find("PortMgrConnect bind(): Address already in use"), std::string::npos)
      << Log();
  EXPECT_TRUE(sim.Requests().empty());
}

TEST_F(PedidoPortMgr, NoneEndsTheRequestAtOnce) {
  pmsim::PortMgrPeer sim({"none", "grant:srv:7001"});
  ASSERT_TRUE(sim.Started());
  auto antes = std::chrono::steady_clock::now();
  EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 5);
  EXPECT_LT(std::chrono::steady_clock::now() - antes, std::chrono::milliseconds(900));
  EXPECT_EQ(sim.Requests().size(), 1u);
  EXPECT_NE(Log().find("PortMgr resp NONE"), std::string::npos);
  EXPECT_EQ(Log().find("PortMgr resp no valida"), std::string::npos);
}

TEST_F(PedidoPortMgr, InvalidAnswerUsesAnAttemptAndPausesASecond) {
  // The answer is read as text up to its first zero byte and only up to 199
  // bytes, so the first two are invalid grants (the second is 202 bytes
  // long); the third has its final ';' as byte 199 and is granted.
  const std::string h190(190, 'h'), h187(187, 'h');
  pmsim::PortMgrPeer sim({"raw:MGR;G;srv\\x00;7001;", "raw:MGR;G;" + h190 + ";7002;",
                           "raw:MGR;G;" + h187 + ";7001;"});
  ASSERT_TRUE(sim.Started());
  EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 0);
  EXPECT_EQ(std::string(host), std::string(74, 'h'));
  EXPECT_EQ(puerto, 7001);
  auto pedidos = sim.Requests();
  ASSERT_EQ(pedidos.size(), 3u);
  EXPECT_GE(pedidos[1].ms - pedidos[0].ms, 990);
  EXPECT_GE(pedidos[2].ms - pedidos[1].ms, 990);
  EXPECT_LT(pedidos[2].ms - pedidos[0].ms, 2900);
  EXPECT_NE(Log().find("PortMgr resp no valida"), std::string::npos);
}

// A manager played by the test: it reads the client's request on its own
// socket, has a second socket send a forged grant to the client's port
// first, and only then answers itself.
TEST_F(PedidoPortMgr, GrantFromAnotherSocketIsIgnored) {
  auto Socket = [] {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    return fd;
  };
  Descriptor manager(Socket()), intruso(Socket());
  sockaddr_in direccion{};
  socklen_t largo = sizeof direccion;
  ASSERT_EQ(getsockname(manager.fd, reinterpret_cast<sockaddr *>(&direccion), &largo), 0);
  std::thread peer([&] {
    char buf[64];
    sockaddr_in cliente{};
    socklen_t lc = sizeof cliente;
    if (recvfrom(manager.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&cliente), &lc) <= 0)
      return;
    const char falso[] = "MGR;G;127.0.0.1;7555;";
    for (int i = 0; i < 3; i++) {
      sendto(intruso.fd, falso, strlen(falso), 0, reinterpret_cast<sockaddr *>(&cliente), lc);
    }
    usleep(100 * 1000);  // the forgeries are in the kernel's hands first
    const char real[] = "MGR;G;srv.ejemplo;7001;";
    sendto(manager.fd, real, strlen(real), 0, reinterpret_cast<sockaddr *>(&cliente), lc);
  });
  int r = PortMgrConnect("127.0.0.1", ntohs(direccion.sin_port), host, sizeof host, &puerto);
  peer.join();
  EXPECT_EQ(r, 0);
  EXPECT_STREQ(host, "srv.ejemplo");
  EXPECT_EQ(puerto, 7001);
  EXPECT_EQ(Log().find("7555"), std::string::npos) << Log();
}

}  // namespace
