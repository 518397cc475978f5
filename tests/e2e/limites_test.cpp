// limites_test.cpp - limits that keep the line from making a wrong result:
// a restart answer past the end of the bundle, a bundle with more blocks
// than five digits can number, and a line that keeps the session alive
// past TIEMPOMAXIMO.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "faults_fixture.h"

namespace {

// Before, a restart answer naming a block past the end made the client skip
// the whole upload and report 0 on an empty commit.
TEST(Limites, RestartAnswerPastTheBundleEndsWith3AndNothingIsCommitted) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({"--restart", "50"}));
  x.Correr();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(x.run.status, 3);
  EXPECT_EQ(x.t.Estado(), "3: Abortado por exceso de NAKs\r\n");
  EXPECT_NE(x.resumen["result"], "ok");
  EXPECT_EQ(x.resumen["up_blocks"], "0") << "nothing uploaded";
  EXPECT_NE(x.t.Log().find("Bloque de reinicio 50 fuera del paquete"), std::string::npos);
}

// At BLOCKSIZE 1 a bundle of more than 99,999 bytes needs six-digit block
// numbers: it is refused before any connection.
TEST(Limites, BundleOfMoreThan99999BlocksIsRefusedBeforeTheSession) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({}, "BLOCKSIZE=1\n"));
  x.t.Subir("3GRANDE.TXT", std::string(100000, 'g'));
  x.Correr();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(x.run.status, 12);
  EXPECT_EQ(x.t.Estado(), "12: Hay mas archivos de los esperados\r\n");
  EXPECT_EQ(x.t.Log().find("Conectando"), std::string::npos);
  EXPECT_NE(x.t.Log().find("Transaccion demasiado grande"), std::string::npos);
}

// A peer that accepts and then sends one junk byte every 300 ms: no
// time-out ever fires.
struct PeerBasura {
  int fd = -1;
  int puerto = 0;
  std::atomic<bool> fin{false};
  std::thread hilo;
  PeerBasura() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t largo = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &largo) != 0)
      return;
    puerto = ntohs(a.sin_port);
    hilo = std::thread([this] {
      pollfd p{fd, POLLIN, 0};
      while (!fin && poll(&p, 1, 100) <= 0) {
      }
      if (fin) return;
      int c = accept(fd, nullptr, nullptr);
      while (!fin) {
        if (write(c, "x", 1) != 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        char basura[256];
        if (recv(c, basura, sizeof basura, MSG_DONTWAIT) == 0) break;  // closed
      }
      close(c);
    });
  }
  ~PeerBasura() {
    fin = true;
    if (hilo.joinable()) hilo.join();
    if (fd >= 0) close(fd);
  }
};

TEST(Limites, LineThatKeepsTheSessionAlivePastTiempomaximoEndsWith1) {
  PeerBasura peer;
  ASSERT_GT(peer.puerto, 0);
  tcp::Terminal t;
  t.Configurar("127.0.0.1", peer.puerto, "TIEMPOMAXIMO=2\n");
  auto t0 = std::chrono::steady_clock::now();
  prueba::RunResult run = t.Correr(30000);
  auto s = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0)
               .count();
  SCOPED_TRACE(t.Log());
  EXPECT_EQ(run.status, 1);
  EXPECT_GE(s, 2);
  EXPECT_LE(s, 8);
  EXPECT_EQ(t.Estado(), "1: Abortado por exceso de timeouts\r\n");
  EXPECT_NE(t.Log().find("Sesion terminada: duro mas de TIEMPOMAXIMO (2 segundos)"),
            std::string::npos);
}

}  // namespace
