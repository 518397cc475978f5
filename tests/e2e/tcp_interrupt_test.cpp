// tcp_interrupt_test.cpp - an interrupt (SIGINT, SIGTERM or SIGHUP) at a
// random moment of a TCP run, many times over: while the session runs with
// a live server, while the client waits on a silent one, and while it
// pauses between refused connection attempts. Every run must end promptly
// with 6, the signal's line and "Exiting ..." in the log, "6: Abortado por
// el usuario" in the status file, the root's mode as it was, no instance
// lock left and one summary line (or, when the run had already finished,
// with its normal result).
#include <signal.h>
#include <sys/stat.h>

#include <random>

#include "tcp_fixture.h"

namespace {

enum Escenario { kSesion, kSilencio, kRechazo };

struct Ronda {
  Escenario escenario;
  int demorams;  // delay between the client's first attempt and the signal
  int senal;
};

const char *TextoSenal(int senal) {
  if (senal == SIGTERM) return "SIGTERM recibido";
  if (senal == SIGHUP) return "SIGHUP recibido";
  return "Ctrl-C recibido";
}

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
  // A mode the directory lock narrows: group write and setgid must come back.
  ASSERT_EQ(chmod(t.raiz.c_str(), 02775), 0);

  prueba::Spawned cliente = prueba::Spawn(t.Argv());
  // The handlers are in place before the first "Conectando..." line.
  ASSERT_TRUE(prueba::WaitUntil(
      [&] { return t.Log().find("Conectando...") != std::string::npos || !cliente.Running(); },
      20000));
  usleep(static_cast<useconds_t>(ronda.demorams) * 1000);
  cliente.Signal(ronda.senal);
  int estado = cliente.Wait(15000);
  std::string log = t.Log();
  SCOPED_TRACE(log);

  ASSERT_NE(estado, -1000) << "the run did not end after the interrupt";
  EXPECT_FALSE(prueba::Exists(t.raiz + "/_zelta.lck"));
  EXPECT_EQ(prueba::FileMode(t.raiz), 02775u);
  // Whenever the signal came, the run has one summary line, with its code.
  EXPECT_EQ(tcp::Contar(log, "Resumen: terminal term, resultado "), 1);
  EXPECT_EQ(tcp::Contar(log, "Resumen: terminal term, resultado " + std::to_string(estado) + ","), 1);
  if (estado == 6) {
    EXPECT_NE(log.find(TextoSenal(ronda.senal)), std::string::npos);
    EXPECT_NE(log.find("Exiting ..."), std::string::npos);
    EXPECT_EQ(t.Estado(), "6: Abortado por el usuario\r\n");
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
    const int senales[] = {SIGINT, SIGTERM, SIGHUP};
    int senal = senales[i % 3];
    if (tipo < 6) {
      ronda = {kSesion, static_cast<int>(azar() % 450), senal};
    } else if (tipo < 8) {
      ronda = {kSilencio, static_cast<int>(azar() % 1000), senal};
    } else {
      // Inside the connection attempts and their 3-second pauses.
      ronda = {kRechazo, static_cast<int>(azar() % 2500), senal};
    }
    SCOPED_TRACE("round " + std::to_string(i) + ", scenario " + std::to_string(ronda.escenario) +
                 ", " + std::to_string(ronda.demorams) + " ms, signal " +
                 std::to_string(ronda.senal));
    Interrumpir(ronda);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
