// tcp_test.cpp - the TCP transport against a scripted server on loopback:
// a whole session, a server that drops the connection, refused and
// unresolvable servers, and the session buffer that cannot be allocated.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "../protocol/par_kaldo.h"

namespace {

using kaldo::Par;

// Counts the lines of the log that contain text.
int Lineas(const std::string &salida, const std::string &texto) {
  int n = 0;
  for (size_t p = 0; (p = salida.find(texto, p)) != std::string::npos; p += texto.size()) n++;
  return n;
}

// A listening socket on 127.0.0.1 whose first connection is served by a
// script in a thread of its own.
struct Servidor {
  int escucha = -1;
  unsigned short puerto = 0;
  std::thread hilo;

  explicit Servidor(std::function<void(Par &)> guion) {
    escucha = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(escucha, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    listen(escucha, 4);
    socklen_t la = sizeof a;
    getsockname(escucha, reinterpret_cast<struct sockaddr *>(&a), &la);
    puerto = ntohs(a.sin_port);
    hilo = std::thread([this, guion] {
      sigset_t s;
      sigfillset(&s);
      pthread_sigmask(SIG_BLOCK, &s, nullptr);
      pollfd p{escucha, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0) return;
      Par par;
      par.fd = accept4(escucha, nullptr, nullptr, SOCK_CLOEXEC);
      if (par.fd < 0) return;
      guion(par);
      close(par.fd);
    });
  }
  ~Servidor() {
    hilo.join();
    close(escucha);
  }
};

class TCP : public kaldo::SesionTest {
 protected:
  void SetUp() override {
    kaldo::SesionTest::SetUp();
    LiberarBufferSesion();  // the transport allocates its own
    FijarManejador(SIGALRM, SIG_DFL);
    g_config.reintentos = 3;
  }
};

bool Predeterminada(int senal) {
  struct sigaction a;
  sigaction(senal, nullptr, &a);
  return a.sa_handler == SIG_DFL;
}

TEST_F(TCP, WholeSessionOverLoopback) {
  prueba::WriteFile(Subida(), "[_svl.0]\r\nV1510512ABCDEFGH\r\n[FIN]\r\n");
  std::string recibido;
  int r;
  {
    Servidor s([&](Par &p) {
      if (!p.Apertura() || !p.Reinicio(0)) return;
      recibido = p.Subida();
      if (!p.Bajada({"[FIN]\r\n"})) return;
      p.Cierre();
    });
    r = SesionTCP("127.0.0.1", s.puerto, CorrerSesion);
    std::string salida = Log();
    EXPECT_NE(salida.find("Conectando con svr ZELTA 127.0.0.1 " + std::to_string(s.puerto) + "..."),
              std::string::npos);
  }
  EXPECT_EQ(r, 0);
  EXPECT_EQ(recibido, prueba::ReadFile(Subida()));
  EXPECT_EQ(prueba::ReadFile(Bajada()), "[FIN]\r\n");
  std::string salida = Log();
  EXPECT_EQ(Lineas(salida, "Conectando..."), 1);
  EXPECT_NE(salida.find("Protocolo..."), std::string::npos);
  EXPECT_NE(salida.find("rval=0"), std::string::npos);
  // Everything the transport took is given back.
  EXPECT_EQ(g_linea.fd, -1);
  EXPECT_EQ(g_sesion.buffer, nullptr);
  EXPECT_TRUE(Predeterminada(SIGINT));
  EXPECT_TRUE(Predeterminada(SIGALRM));
}

TEST_F(TCP, PortAbove32767IsUsedAndLoggedUnsigned) {
  // Ephemeral ports are normally above 32767; find one that is.
  g_config.reintentos = 1;
  for (int i = 0; i < 50; i++) {
    int puerto = prueba::FreePort();
    if (puerto <= 32767) continue;
    EXPECT_EQ(SesionTCP("127.0.0.1", static_cast<unsigned short>(puerto), CorrerSesion), 5);
    EXPECT_NE(Log().find("Conectando con svr ZELTA 127.0.0.1 " + std::to_string(puerto) + "..."),
              std::string::npos);
    return;
  }
  GTEST_SKIP() << "no port above 32767 free";
}

TEST_F(TCP, ServerThatClosesAtOnceIsALostLineWithoutRetry) {
  int r;
  {
    Servidor s([](Par &) {});
    r = SesionTCP("127.0.0.1", s.puerto, CorrerSesion);
  }
  EXPECT_EQ(r, 2);
  EXPECT_EQ(Lineas(Log(), "Conectando..."), 1);
}

TEST_F(TCP, RefusedServerIsTriedReintentosTimesThenGives5) {
  g_config.reintentos = 2;
  int puerto = prueba::FreePort();
  auto t = std::chrono::steady_clock::now();
  int r = SesionTCP("127.0.0.1", static_cast<unsigned short>(puerto), CorrerSesion);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t)
                .count();
  EXPECT_EQ(r, 5);
  std::string salida = Log();
  EXPECT_EQ(Lineas(salida, "Conectando..."), 2);
  EXPECT_NE(salida.find("rval=5"), std::string::npos);
  EXPECT_GE(ms, 5900);  // a 3-second pause after each attempt
  EXPECT_TRUE(Predeterminada(SIGINT));
}

TEST_F(TCP, UnresolvableHostGives5WithoutAnAttempt) {
  EXPECT_EQ(SesionTCP("no-such-host.invalid", 4000, CorrerSesion), 5);
  std::string salida = Log();
  EXPECT_NE(salida.find("ERROR: gethostbyname() "), std::string::npos);
  EXPECT_EQ(Lineas(salida, "Conectando..."), 0);
  EXPECT_TRUE(Predeterminada(SIGINT));
}

// Runs SesionTCP in a child process, with SIGPIPE at its default action,
// and returns its result as the exit status (or -signal).
int SesionEnHijo(unsigned short puerto, const std::function<void()> &antes = [] {}) {
  pid_t pid = fork();
  if (pid == 0) {
    FijarManejador(SIGPIPE, SIG_DFL);
    antes();
    _exit(SesionTCP("127.0.0.1", puerto, CorrerSesion));
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

TEST_F(TCP, ServerThatDropsTheConnectionDoesNotKillTheClient) {
  Servidor s([](Par &p) {
    // Many ENQs, each answered with DLE, and gone without reading them:
    // the client's later writes meet a reset connection.
    p.EnviarByte(kENQ);
    if (!p.EsperarByte(kDLE)) return;
    p.Enviar(std::string(2000, static_cast<char>(kENQ)));
    struct linger l = {1, 0};
    setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  });
  EXPECT_EQ(SesionEnHijo(s.puerto), 2);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(TCP, SessionBufferThatCannotBeAllocatedGives18) {
  Servidor s([](Par &) {});
  int r = SesionEnHijo(s.puerto, [] {
    struct rlimit lim = {512u << 20, 512u << 20};
    setrlimit(RLIMIT_AS, &lim);
    g_config.blocksize = 1 << 30;
  });
  EXPECT_EQ(r, 18);
  std::string salida = Log();
  EXPECT_NE(salida.find("FATAL: No hay suficiente memoria"), std::string::npos);
  EXPECT_EQ(Lineas(salida, "Conectando..."), 1);
}
#endif

}  // namespace
