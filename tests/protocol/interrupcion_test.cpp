// interrupcion_test.cpp - a keyboard interrupt at any moment of a session
// ends the session promptly with 6 and logs "Ctrl-C recibido", whatever the
// client was doing when it came (writing the log, reading the line, writing
// the download file); the process then ends on its normal path.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "par_kaldo.h"

namespace {

using kaldo::Par;

class Interrupcion : public kaldo::SesionTest {};

// The whole session, with enough blocks both ways to be interrupted in the
// middle of anything.
void SesionLarga(Par &p) {
  if (!p.Apertura() || !p.Reinicio(0)) return;
  p.Subida();
  std::vector<std::string> bloques(400, std::string(40, 'd'));
  if (!p.Bajada(bloques)) return;
  p.Cierre();
}

TEST_F(Interrupcion, InterruptAtRandomPointsAlwaysEndsTheRunWith6) {
  prueba::WriteFile(Subida(), std::string(8000, 'u'));
  std::mt19937 azar(12345);
  int interrumpidas = 0;
  for (int vuelta = 0; vuelta < 40; vuelta++) {
    SCOPED_TRACE(vuelta);
    std::string lock = dir / "_zelta.lck";
    prueba::WriteFile(lock, "1\n");
    std::string rutalog = dir / ("log" + std::to_string(vuelta));
    int listo[2];
    ASSERT_EQ(pipe(listo), 0);
    pid_t hijo = fork();
    if (hijo == 0) {
      FILE *l = fopen(rutalog.c_str(), "w");
      FijarSalidaLog(l);
      g_corrida.debuglevel = 20;
      g_corrida.locklpath = lock;
      g_corrida.lockpid = getpid();
      // The peer's script is cut short by design: nothing of it to print.
      ::testing::TestEventListeners &oyentes = ::testing::UnitTest::GetInstance()->listeners();
      delete oyentes.Release(oyentes.default_result_printer());
      InstalarInterrupciones();
      close(listo[0]);
      close(listo[1]);  // handler in place
      int r = kaldo::Correr(CorrerSesion, SesionLarga);
      cleanexit();
      fflush(nullptr);
      if (r == 0) _exit(50);  // the session ended before the interrupt
      _exit(r);
    }
    close(listo[1]);
    char c;
    ASSERT_EQ(read(listo[0], &c, 1), 0);
    close(listo[0]);
    // Within the first 25 ms: even on a loaded machine most sessions are
    // still running then, so most runs are interrupted in the middle.
    std::this_thread::sleep_for(std::chrono::microseconds(azar() % 25000));
    kill(hijo, SIGINT);
    int st = 0;
    bool fin = prueba::WaitUntil([&] { return waitpid(hijo, &st, WNOHANG) == hijo; }, 10000);
    if (!fin) {
      kill(hijo, SIGKILL);
      waitpid(hijo, &st, 0);
      ADD_FAILURE() << "the interrupted client hung";
      continue;
    }
    ASSERT_TRUE(WIFEXITED(st)) << "killed by signal " << WTERMSIG(st);
    int codigo = WEXITSTATUS(st);
    if (codigo == 50) continue;  // too late: nothing to check
    ASSERT_EQ(codigo, 6);
    interrumpidas++;
    std::string salida = prueba::ReadFile(rutalog);
    EXPECT_NE(salida.find("Ctrl-C recibido"), std::string::npos);
    EXPECT_NE(salida.find("Exiting ..."), std::string::npos);
    EXPECT_FALSE(prueba::Exists(lock));
  }
  EXPECT_GE(interrumpidas, 30);
}

}  // namespace
