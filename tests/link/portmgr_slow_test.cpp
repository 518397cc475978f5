// portmgr_slow_test.cpp - the port-manager request's attempts, answer waits
// and pauses, timed against the portmgr-sim peer on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "line.h"
#include "log_archivo.h"
#include "portmgr_peer.h"
#include "support.h"

namespace {

using Reloj = std::chrono::steady_clock;

class PedidoPortMgrLento : public ConLogEnArchivo {
 protected:
  char host[75] = "";
  unsigned short puerto = 0;
  void SetUp() override {
    g_config.udpport = 0;
    AbrirLog(20);
  }
  void TearDown() override {
    ConLogEnArchivo::TearDown();
    g_corrida.debuglevel = 1;
  }
  static int Contar(const std::string &texto, const std::string &parte) {
    int n = 0;
    for (size_t p = texto.find(parte); p != std::string::npos; p = texto.find(parte, p + 1)) n++;
    return n;
  }
  static long long Milisegundos(Reloj::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  }
};

TEST_F(PedidoPortMgrLento, SilenceGivesFiveAttemptsOfThreeSecondsWithoutPauses) {
  pmsim::PortMgrPeer sim({"silence"});
  ASSERT_TRUE(sim.Started());
  auto antes = Reloj::now();
  EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 5);
  long long ms = Milisegundos(Reloj::now() - antes);
  EXPECT_GE(ms, 14900);
  EXPECT_LT(ms, 17500);
  auto pedidos = sim.Requests();
  ASSERT_EQ(pedidos.size(), 5u);
  for (size_t i = 1; i < pedidos.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pedidos[i].bytes, "CLI;G;;;");
    // The answer wait only: a time-out is not followed by the 1 s pause.
    EXPECT_GE(pedidos[i].ms - pedidos[i - 1].ms, 2950);
    EXPECT_LT(pedidos[i].ms - pedidos[i - 1].ms, 3700);
  }
  EXPECT_NE(Log().find("PorgMgrConnect timeout esperando resp"), std::string::npos);
}

TEST_F(PedidoPortMgrLento, BusyGivesTheAttemptBack) {
  // One busy answer and four invalid ones are six answers before the grant:
  // the grant is only asked for when the busy one did not count.
  pmsim::PortMgrPeer sim({"busy", "4*raw:MGR;X", "grant:srv2:7001"});
  ASSERT_TRUE(sim.Started());
  EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 0);
  EXPECT_STREQ(host, "srv2");
  EXPECT_EQ(puerto, 7001);
  auto pedidos = sim.Requests();
  ASSERT_EQ(pedidos.size(), 6u);
  // Busy: 3 s of sleep and the 1 s pause before the next request.
  EXPECT_GE(pedidos[1].ms - pedidos[0].ms, 3950);
  EXPECT_LT(pedidos[1].ms - pedidos[0].ms, 4700);
  std::string salida = Log();
  EXPECT_NE(salida.find("PortMgr resp BUSY"), std::string::npos);
  EXPECT_NE(salida.find("Sleeping..."), std::string::npos);
}

TEST_F(PedidoPortMgrLento, FiveInvalidAnswersEndTheRequest) {
  pmsim::PortMgrPeer sim({"5*raw:MGR;G;srv2;65535;", "grant:srv2:7001"});
  ASSERT_TRUE(sim.Started());
  EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 5);
  auto pedidos = sim.Requests();
  ASSERT_EQ(pedidos.size(), 5u);
  for (size_t i = 1; i < pedidos.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_GE(pedidos[i].ms - pedidos[i - 1].ms, 990);
    EXPECT_LT(pedidos[i].ms - pedidos[i - 1].ms, 1700);
  }
  EXPECT_EQ(Contar(Log(), "PortMgr resp no valida\n"), 5) << Log();
}

TEST_F(PedidoPortMgrLento, UnknownHostGivesFiveAttemptsOneSecondApart) {
  auto antes = Reloj::now();
  EXPECT_EQ(PortMgrConnect("zelta-no-existe.invalid", 7001, host, sizeof host, &puerto), 5);
  EXPECT_GE(Milisegundos(Reloj::now() - antes), 3950);
  LogMensaje("fin", 1);  // writes out the folded repeats
  EXPECT_NE(Log().find("PortMgrConnect zelta-no-existe.invalid: unknown host [Repetido 4 veces]"),
            std::string::npos)
      << Log();
}

TEST_F(PedidoPortMgrLento, AlwaysBusyEndsAtTiempomaximo) {
  // Busy answers give their attempt back, so without the deadline a manager
  // that is always busy would hold the run for ever.
  struct Caso {
    int tiempomaximo;
    std::vector<std::string> respuestas;
  } casos[] = {{2, {"busy"}}, {1, {"silence"}}};
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.tiempomaximo);
    pmsim::PortMgrPeer sim(c.respuestas);
    ASSERT_TRUE(sim.Started());
    g_config.tiempomaximo = c.tiempomaximo;
    auto antes = Reloj::now();
    EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 5);
    long long ms = Milisegundos(Reloj::now() - antes);
    g_config.tiempomaximo = 3600;
    EXPECT_GE(ms, c.tiempomaximo * 1000 - 50);
    EXPECT_LT(ms, c.tiempomaximo * 1000 + 700);
    EXPECT_NE(Log().find("PortMgrConnect: sin respuesta util en TIEMPOMAXIMO (" +
                         std::to_string(c.tiempomaximo) + " segundos)"),
              std::string::npos)
        << Log();
  }
}

TEST_F(PedidoPortMgrLento, SocketIsClosedOnExec) {
  // The socket lives only inside PortMgrConnect: a grant answer is read
  // while a child started from another thread could inherit it. Its flag is
  // checked through /proc while the request waits for the answer.
  pmsim::PortMgrPeer sim({"silence"});
  ASSERT_TRUE(sim.Started());
  g_config.tiempomaximo = 1;
  bool visto = false, cloexec = true;
  std::thread mirar([&] {
    prueba::WaitUntil(
        [&] {
          for (int fd = 3; fd < 256; fd++) {
            char enlace[64] = "", ruta[32];
            snprintf(ruta, sizeof ruta, "/proc/self/fd/%d", fd);
            ssize_t n = readlink(ruta, enlace, sizeof enlace - 1);
            if (n <= 0 || strncmp(enlace, "socket:", 7) != 0) continue;
            int sock = fd;
            int tipo = 0;
            socklen_t l = sizeof tipo;
            sockaddr_in a{};
            socklen_t la = sizeof a;
            if (getsockopt(sock, SOL_SOCKET, SO_TYPE, &tipo, &l) != 0 || tipo != SOCK_DGRAM) continue;
            if (getpeername(sock, reinterpret_cast<sockaddr *>(&a), &la) != 0 ||
                ntohs(a.sin_port) != sim.Puerto())
              continue;
            visto = true;
            cloexec = (fcntl(sock, F_GETFD) & FD_CLOEXEC) != 0;
            return true;
          }
          return false;
        },
        900);
  });
  EXPECT_EQ(PortMgrConnect("127.0.0.1", sim.Puerto(), host, sizeof host, &puerto), 5);
  mirar.join();
  g_config.tiempomaximo = 3600;
  EXPECT_TRUE(visto);
  EXPECT_TRUE(cloexec);
}

}  // namespace
