// linea_test.cpp - the line layer: one-byte reads and their time-outs, the
// wait for modem answers, blocking mode, the wait for a TCP connect, and the
// signal handlers (hang-up, alarm, interrupt).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "control.h"
#include "line.h"
#include "log_archivo.h"
#include "support.h"

namespace {

using Reloj = std::chrono::steady_clock;

long MsDesde(Reloj::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Reloj::now() - t).count());
}

class Linea : public ConLogEnArchivo {
 protected:
  void SetUp() override {
    g_corrida.raiz = dir.path;
    AbrirLog(20);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    g_linea.fd = sv[0];
    g_linea.colgado = 0;
    g_linea.hijo = -1;
    FijarManejador(SIGALRM, TimeoutAlarm);
  }
  void TearDown() override {
    DesarmarAlarma();
    FijarManejador(SIGALRM, SIG_DFL);
    FijarManejador(SIGHUP, SIG_DFL);
    close(sv[0]);
    if (sv[1] >= 0) close(sv[1]);
    g_linea.fd = -1;
    g_linea.colgado = 0;
    ConLogEnArchivo::TearDown();
  }
  void Poner(const std::string &s) {
    ASSERT_EQ(write(sv[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  std::string Resto() {
    std::string s;
    char b[256];
    ssize_t n;
    while ((n = recv(sv[0], b, sizeof b, MSG_DONTWAIT)) > 0) s.append(b, static_cast<size_t>(n));
    return s;
  }

  int sv[2] = {-1, -1};
};

// ---------------------------------------------------------------- LeerByte

TEST_F(Linea, LeerByteReadsOneByteAtATime) {
  Poner("ab");
  unsigned char b = 0;
  EXPECT_EQ(LeerByte(&b), 1);
  EXPECT_EQ(b, 'a');
  EXPECT_EQ(Resto(), "b");
}

TEST_F(Linea, LeerByteReportsTheClosedLineAsLost) {
  close(sv[1]);
  sv[1] = -1;
  unsigned char b;
  EXPECT_EQ(LeerByte(&b), -2);
}

TEST_F(Linea, HangupFlagMakesLeerByteFailWithoutReading) {
  Poner("xyz");
  g_linea.colgado = 1;
  unsigned char b;
  EXPECT_EQ(LeerByte(&b), -2);
  EXPECT_EQ(LeerByte(&b), -2);
  EXPECT_EQ(Resto(), "xyz");
}

TEST_F(Linea, LeerByteWithoutALineIsAnError) {
  g_linea.fd = -1;
  unsigned char b;
  EXPECT_EQ(LeerByte(&b), -1);
  EXPECT_NE(Log().find("Error! select(): 9 "), std::string::npos);
}

TEST_F(Linea, AlarmEndsTheWaitWithATimeOut) {
  unsigned char b;
  auto t = Reloj::now();
  ArmarAlarma(1);
  EXPECT_EQ(LeerByte(&b), 0);
  DesarmarAlarma();
  EXPECT_GE(MsDesde(t), 900);
  EXPECT_NE(Log().find("Timeout Alarm!"), std::string::npos);
  // The handler stays in force for the next time-out.
  ArmarAlarma(1);
  EXPECT_EQ(LeerByte(&b), 0);
  DesarmarAlarma();
}

// An alarm that goes off while the reader is busy between two reads must
// still end the next wait; a signal lost there would leave the read waiting
// for a silent peer for ever.
TEST_F(Linea, AlarmBeforeTheWaitIsNotLost) {
  std::thread guardia([this] {
    sigset_t s;
    sigfillset(&s);
    pthread_sigmask(SIG_BLOCK, &s, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(4));
    ssize_t w = write(sv[1], "!", 1);  // rescues the test if the alarm is lost
    (void)w;
  });
  ArmarAlarma(1);
  auto t = Reloj::now();
  while (MsDesde(t) < 1500) {
    struct timespec corto = {0, 10 * 1000 * 1000};
    nanosleep(&corto, nullptr);
  }
  unsigned char b = 0;
  EXPECT_EQ(LeerByte(&b), 0);
  EXPECT_LT(MsDesde(t), 2500);
  DesarmarAlarma();
  guardia.join();
}

TEST_F(Linea, DisarmedAlarmLeavesNoTimeOutBehind) {
  ArmarAlarma(1);
  DesarmarAlarma();
  Poner("q");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  unsigned char b = 0;
  EXPECT_EQ(LeerByte(&b), 1);
  EXPECT_EQ(b, 'q');
}

TEST_F(Linea, HangupSignalEndsTheWaitAsALostLine) {
  FijarManejador(SIGHUP, HangupAlarm);
  ArmarAlarma(5);
  std::thread colgar([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(getpid(), SIGHUP);
  });
  unsigned char b;
  auto t = Reloj::now();
  int r = LeerByte(&b);
  colgar.join();
  EXPECT_EQ(r, -2);
  EXPECT_LT(MsDesde(t), 3000);
  EXPECT_EQ(g_linea.colgado, 1);
  EXPECT_NE(Log().find("Hangup Alarm!"), std::string::npos);
  struct sigaction actual;
  sigaction(SIGHUP, nullptr, &actual);
  EXPECT_EQ(actual.sa_handler, HangupAlarm);
}

// ---------------------------------------------------------------- EsperarRespuesta

const char *const kModem[] = {"CONNECT", "BUSY", "NO DIAL TONE", "NO ANSWER", "NO CARRIER",
                              nullptr};
const char *const kOK[] = {"OK", nullptr};
const char *const kDos[] = {"AB", "B", nullptr};
const char *const kDosInverso[] = {"XB", "B", nullptr};
const char *const kLargoPrimero[] = {"CONNECT 9600", "CONNECT", nullptr};

TEST_F(Linea, EsperarRespuestaFindsTheFirstAnswerToArrive) {
  struct Caso {
    const char *nombre;
    const char *const *respuestas;
    std::string entrada;
    int resultado;
    std::string resto;  // what stays unread
  } casos[] = {
      {"echo then OK", kOK, "ATZ\r\r\r\nOK\r\n", 0, "\r\n"},
      {"no carrier", kModem, "\r\nNO CARRIER\r\n", 4, "\r\n"},
      {"connect with speed", kModem, "CONNECT 9600\r\n", 0, " 9600\r\n"},
      {"busy after noise", kModem, std::string(100, '#') + "BUSY", 1, ""},
      {"same byte, earlier wins", kDos, "AB", 0, ""},
      {"only the second matches", kDosInverso, "AB", 1, ""},
      {"first complete wins", kLargoPrimero, "CONNECT 9600", 1, " 9600"},
      {"case matters", kOK, "ok\r\nOK", 0, ""},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    Poner(c.entrada);
    EXPECT_EQ(EsperarRespuesta(c.respuestas, 5), c.resultado);
    EXPECT_EQ(Resto(), c.resto);
    EXPECT_EQ(alarm(0), 0u) << "the timer must be disarmed";
  }
}

TEST_F(Linea, EsperarRespuestaWithNoAnswersStartsNoTimer) {
  const char *const vacia[] = {nullptr};
  alarm(0);
  EXPECT_EQ(EsperarRespuesta(vacia, 5), -3);
  EXPECT_EQ(alarm(0), 0u);
}

TEST_F(Linea, EsperarRespuestaGivesMinusOneOnTimeOutOrLostLine) {
  Poner("CONNEC");
  auto t = Reloj::now();
  EXPECT_EQ(EsperarRespuesta(kModem, 1), -1);
  EXPECT_GE(MsDesde(t), 900);
  Poner("NO CARR");
  close(sv[1]);
  sv[1] = -1;
  EXPECT_EQ(EsperarRespuesta(kModem, 5), -1);
}

// ---------------------------------------------------------------- modes and connect

bool NoBloqueante(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

TEST_F(Linea, ModesSetAndClearNonBlocking) {
  EXPECT_EQ(ModoNoBloqueante(), 0);
  EXPECT_TRUE(NoBloqueante(sv[0]));
  EXPECT_EQ(ModoBloqueante(), 0);
  EXPECT_FALSE(NoBloqueante(sv[0]));
  EXPECT_NE(Log().find("Setting in non-blocking mode"), std::string::npos);
  EXPECT_NE(Log().find("Setting in blocking mode"), std::string::npos);
}

TEST_F(Linea, ModesFailWith5OnABadDescriptor) {
  g_linea.fd = -1;
  EXPECT_EQ(ModoNoBloqueante(), 5);
  EXPECT_EQ(ModoBloqueante(), 5);
  EXPECT_NE(Log().find("Error fcntl(..., F_GETFL): Bad file descriptor"), std::string::npos);
}

// Starts a non-blocking connect to 127.0.0.1:port on a fresh line.
int Conectar(int puerto) {
  g_linea.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<unsigned short>(puerto));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(g_linea.fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0) return 0;
  return errno;
}

TEST_F(Linea, EsperarConexionReportsConnectedAndRefused) {
  int escucha = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(escucha, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(escucha, 4), 0);
  socklen_t la = sizeof a;
  getsockname(escucha, reinterpret_cast<struct sockaddr *>(&a), &la);
  int abierto = ntohs(a.sin_port);

  int r = Conectar(abierto);
  if (r == EINPROGRESS) EXPECT_EQ(EsperarConexion(), 0);
  else EXPECT_EQ(r, 0);
  close(g_linea.fd);
  close(escucha);  // nothing listens there now

  r = Conectar(abierto);
  if (r == EINPROGRESS) {
    EXPECT_EQ(EsperarConexion(), 5);
    EXPECT_NE(Log().find("Error in connection(): Connection refused"), std::string::npos);
  } else {
    EXPECT_EQ(r, ECONNREFUSED);
  }
  close(g_linea.fd);
  g_linea.fd = sv[0];
}

// ---------------------------------------------------------------- interrupt

// Runs body in a child process and returns its exit status (or -signal).
int EnHijo(const std::function<void()> &body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(99);  // the interrupt did not end the process
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

// SIGINT, SIGTERM and SIGHUP, in the run and in the protocol child: the
// handler only records the interrupt (no lock removed, nothing exits), and
// every wait then ends at once as a lost line: one that began after the
// signal, a sleep, and a connect wait. The signal's line is logged once, by
// the wait that noticed it, and the run's result becomes 6.
TEST_F(Linea, InterruptEndsEveryWaitAtOnceAndLeavesTheShutdownToTheRun) {
  struct Caso {
    int senal;
    const char *log;
    pid_t hijo;  // -1 the run itself; 0 the protocol child
  } casos[] = {{SIGINT, "Ctrl-C recibido", -1}, {SIGTERM, "SIGTERM recibido", -1},
               {SIGHUP, "SIGHUP recibido", -1}, {SIGINT, "Ctrl-C recibido", 0}};
  std::string lock = dir / "_zelta.lck";
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.log);
    AbrirLog(10);
    prueba::WriteFile(lock, "123\n");
    int st = EnHijo([&] {
      g_corrida.locklpath = lock;
      g_corrida.lockpid = getpid();
      g_linea.hijo = c.hijo;
      InstalarInterrupciones();
      raise(c.senal);  // returns: the handler ends nothing
      auto t = Reloj::now();
      unsigned char b;
      if (LeerByte(&b) != -2 || LeerByte(&b) != -2) _exit(90);
      if (Dormir(5000)) _exit(91);
      int oyente = socket(AF_INET, SOCK_STREAM, 0);
      if (EsperarListo(oyente, POLLIN, 5000) != kEsperaInterrumpida) _exit(92);
      if (MsDesde(t) > 1000) _exit(93);
      _exit(ResultadoTrasInterrupcion(kPerdidaPortadora));
    });
    EXPECT_EQ(st, 6);
    std::string salida = Log();
    size_t primera = salida.find(c.log);
    ASSERT_NE(primera, std::string::npos) << salida;
    EXPECT_EQ(salida.find(c.log, primera + 1), std::string::npos) << "logged once: " << salida;
    EXPECT_TRUE(prueba::Exists(lock)) << "the handler does no shutdown";
  }
}

// The handlers do not restart the call they interrupt: a write that the
// line holds up (the peer reads nothing) ends at the interrupt instead of
// waiting on.
TEST_F(Linea, InterruptBreaksOffAWriteTheLineHoldsUp) {
  int st = EnHijo([&] {
    InstalarInterrupciones();
    pthread_t escritor = pthread_self();
    std::thread senal([escritor] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      pthread_kill(escritor, SIGTERM);
    });
    // The socket full first, so that the next write waits from its start.
    int banderas = fcntl(sv[0], F_GETFL);
    fcntl(sv[0], F_SETFL, banderas | O_NONBLOCK);
    char trozo[4096] = {};
    while (write(sv[0], trozo, sizeof trozo) > 0) {
    }
    fcntl(sv[0], F_SETFL, banderas);
    bool escrito = EscribirTodo(sv[0], trozo, sizeof trozo, AnteSenal::kCortar);
    int e = errno;
    senal.join();
    _exit(!escrito && e == EINTR && Interrumpido() ? 6 : 90);
  });
  EXPECT_EQ(st, 6);
}

TEST_F(Linea, InterruptInTheDialUpParentIsForwardedToTheChild) {
  int tubo[2];
  ASSERT_EQ(pipe(tubo), 0);
  pid_t hijo = fork();
  if (hijo == 0) {
    FijarManejador(SIGINT, SIG_DFL);
    close(tubo[0]);
    ssize_t w = write(tubo[1], "r", 1);  // ready
    (void)w;
    pause();
    _exit(0);
  }
  close(tubo[1]);
  char c;
  ASSERT_EQ(read(tubo[0], &c, 1), 1);
  close(tubo[0]);
  g_linea.hijo = hijo;
  FijarManejador(SIGINT, CtrlCHandler);
  raise(SIGINT);  // returns: the parent goes on waiting
  FijarManejador(SIGINT, SIG_DFL);
  g_linea.hijo = -1;
  int st = 0;
  ASSERT_EQ(waitpid(hijo, &st, 0), hijo);
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGINT);
  EXPECT_EQ(Log().find("Ctrl-C recibido"), std::string::npos);
}

}  // namespace
