// tcp_interrupt_test.cpp - a keyboard interrupt at a random moment of a TCP
// run, many times over: while the session runs with a live server, while
// the client waits on a silent one, and while it pauses between refused
// connection attempts. Every run must end promptly with 6, "Ctrl-C
// recibido" and "Exiting ..." in the log, no instance lock left and no
// status file (or, when the run had already finished, with its normal
// result).
#include <signal.h>

#include <random>

#include "tcp_fixture.h"

namespace {

enum Escenario { kSesion, kSilencio, kRechazo };

struct Ronda {
  Escenario escenario;
  int demorams;  // delay between the client's first attempt and SIGINT
};

void Interrumpir(const Ronda &ronda) {
  tcp::Terminal t;
  t.Subir("DATOS.TXT", std::string(4000, 'a'));
  prueba::WriteFile(t.tmp / "bajada.dat",
                    "[NOTA.TXT]\r\n" + std::string(2000, 'b') + "\r\n[FIN]\r\n");
  tcp::Servidor srv;
  int puerto = 0;
  if (ronda.escenario == kRechazo) {
    puerto = prueba::FreePort();
  } else {
    std::vector<std::string> opciones = {"--download", t.tmp / "bajada.dat"};
    if (ronda.escenario == kSesion) {
      // About 40 answers of at least 25 ms each: the session lasts well
      // beyond the latest interrupt.
      opciones.insert(opciones.end(), {"--delay-ms", "25"});
    } else {
      opciones.push_back("--silent");
    }
    ASSERT_TRUE(srv.Start(t.tmp, opciones));
    puerto = srv.puerto;
  }
  t.Configurar("127.0.0.1", puerto, "BLOCKSIZE=200\nREINTENTOS=3\n");

  prueba::Spawned cliente = prueba::Spawn(t.Argv());
  // The handlers are in place before the first "Conectando..." line.
  ASSERT_TRUE(prueba::WaitUntil(
      [&] { return t.Log().find("Conectando...") != std::string::npos || !cliente.Running(); },
      20000));
  usleep(static_cast<useconds_t>(ronda.demorams) * 1000);
  cliente.Signal(SIGINT);
  int estado = cliente.Wait(15000);
  std::string log = t.Log();
  SCOPED_TRACE(log);

  ASSERT_NE(estado, -1000) << "the run did not end after the interrupt";
  EXPECT_FALSE(prueba::Exists(t.raiz + "/_zelta.lck"));
  if (estado == 6) {
    EXPECT_NE(log.find("Ctrl-C recibido"), std::string::npos);
    EXPECT_NE(log.find("Exiting ..."), std::string::npos);
    EXPECT_FALSE(prueba::Exists(t.raiz + "/estado.rsp"));
  } else {
    // Only a run that had already finished may end otherwise.
    EXPECT_EQ(estado, 0);
    EXPECT_EQ(t.Estado(), "0: Conexion OK\r\n");
  }
}

TEST(TcpInterrupcion, EndsEveryRunWithSixAtAnyMoment) {
  std::random_device rd;
  unsigned semilla = rd();
  SCOPED_TRACE("seed " + std::to_string(semilla));
  std::mt19937 azar(semilla);
  for (int i = 0; i < 30; ++i) {
    Ronda ronda;
    int tipo = static_cast<int>(azar() % 10);
    if (tipo < 6) {
      ronda = {kSesion, static_cast<int>(azar() % 450)};
    } else if (tipo < 8) {
      ronda = {kSilencio, static_cast<int>(azar() % 1000)};
    } else {
      // Inside the connection attempts and their 3-second pauses.
      ronda = {kRechazo, static_cast<int>(azar() % 2500)};
    }
    SCOPED_TRACE("round " + std::to_string(i) + ", scenario " + std::to_string(ronda.escenario) +
                 ", " + std::to_string(ronda.demorams) + " ms");
    Interrumpir(ronda);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
