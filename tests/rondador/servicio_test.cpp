// servicio_test.cpp - the daemon as an operator runs it: what its log says at
// the default level (its start, every client start, failures with the
// terminal, the path and the error, a tx/ that goes and comes back, its
// stop), and the refusal of a second daemon on the same base directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "daemon_support.h"
#include "support.h"

namespace rondadortest {
namespace {

using prueba::Bin;
using prueba::Exists;
using prueba::WriteFile;

size_t Veces(const std::string &texto, const std::string &parte) {
  size_t n = 0;
  for (size_t p = texto.find(parte); p != std::string::npos; p = texto.find(parte, p + 1)) ++n;
  return n;
}

const char kRechazo[] = "ERROR: otro rondador ya atiende ";

TEST_F(Rondador, DefaultLevelLogsStartEveryClientStartAndStop) {
  struct Caso {
    int senal;
    const char *nombre;
  } casos[] = {{SIGTERM, "Terminated"}, {SIGINT, "Interrupt"}};
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    MatarTodo();
    unlink(log.c_str());
    for (const auto &n : prueba::ListDir(llamadas)) unlink((llamadas + "/" + n).c_str());
    prueba::MakeDir(Raiz("term01"));
    Arrancar({"-l", log, "-a", "-t", "-a", "tcp"});
    std::string inicio = "rondador 1.2.2 iniciado (pid=" + std::to_string(daemon->pid) +
                         "): basedir " + base + ", zelta " + cliente + ", opciones -l " + log +
                         " -a -t -a tcp";
    ASSERT_TRUE(EsperarLog(inicio)) << Log();
    Marca("term01");
    ASSERT_TRUE(EsperarLlamadas(1));
    EXPECT_TRUE(EsperarLog("zelta iniciado para la terminal term01 (pid=" + Llamadas()[0].pid + ")"))
        << Log();
    daemon->Signal(c.senal);
    EXPECT_EQ(daemon->Wait(5000), 0);
    EXPECT_TRUE(EnLog("rondador detenido por la senal " + std::to_string(c.senal) + " (" +
                      c.nombre + ")"))
        << Log();
    // Level 1 only: the scan's own milestones stay at their level.
    EXPECT_FALSE(EnLog("Buscando transacciones")) << Log();
  }
}

TEST_F(Rondador, StopEndsAPingAtOnceAndLeavesTheMarker) {
  EscribirPing("sleep 30\nexit 0\n");
  prueba::MakeDir(Raiz("term01"));
  Marca("term01");
  Arrancar({"-p", "127.0.0.1", "-l", log});
  ASSERT_TRUE(prueba::WaitUntil([&] { return Exists(contador); }, 5000)) << "the ping started";
  auto t0 = std::chrono::steady_clock::now();
  daemon->Signal(SIGTERM);
  ASSERT_EQ(daemon->Wait(5000), 0) << Log();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2))
      << "no further attempt after the stop";
  EXPECT_EQ(prueba::ReadFile(contador), "1\n");
  EXPECT_TRUE(Llamadas().empty()) << "no client starts after the stop";
  EXPECT_TRUE(Exists(tx + "/term01")) << "the marker stays for the next daemon";
  EXPECT_TRUE(EnLog("rondador detenido por la senal 15")) << Log();
}

TEST_F(Rondador, ClientThatCannotRunIsLoggedWithTerminalPathAndError) {
  struct Caso {
    const char *nombre;
    std::string programa;
    mode_t modo;  // 0: no file at all
    const char *error;
  } casos[] = {
      {"missing program", tmp / "no-hay-cliente", 0, "No such file or directory"},
      {"program not executable", tmp / "no-ejecutable", 0644, "Permission denied"},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    MatarTodo();
    unlink(log.c_str());
    if (c.modo != 0) WriteFile(c.programa, "#!/bin/sh\n", c.modo);
    prueba::MakeDir(Raiz("TERM01"));
    Marca("TERM01");
    Lanzar({Bin("rondador"), base, c.programa, "-l", log}, Entorno());
    EXPECT_TRUE(EsperarLog("No se pudo ejecutar " + c.programa + " para la terminal TERM01 (" +
                           Raiz("TERM01") + "): " + c.error))
        << Log();
    EXPECT_TRUE(EnLog("Error al ejecutar cliente zelta")) << "the old line stays too";
  }
}

TEST_F(Rondador, MissingTxIsLoggedOnceAndAgainWhenItComesBack) {
  ASSERT_EQ(rmdir(tx.c_str()), 0);
  const std::string falta = "No se puede leer el directorio de marcas " + tx +
                            "/: No such file or directory";
  const std::string vuelve = "Directorio de marcas " + tx + "/ accesible de nuevo";
  Lanzar({Bin("rondador"), base, cliente, "-l", log},
         {"PATH=" + std::string(getenv("PATH")), "RONDADOR_PAUSA_MS=10"});
  for (size_t vuelta = 1; vuelta <= 2; ++vuelta) {
    SCOPED_TRACE("absence " + std::to_string(vuelta));
    ASSERT_TRUE(prueba::WaitUntil([&] { return Veces(Log(), falta) == vuelta; }, 5000)) << Log();
    // Some dozens of polls later it has not been said again.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Veces(Log(), falta), vuelta) << Log();
    prueba::MakeDir(tx);
    ASSERT_TRUE(prueba::WaitUntil([&] { return Veces(Log(), vuelve) == vuelta; }, 5000)) << Log();
    prueba::MakeDir(Raiz("term0" + std::to_string(vuelta)));
    Marca("term0" + std::to_string(vuelta));
    ASSERT_TRUE(EsperarLlamadas(vuelta));
    // The tx/ that appeared late, or was made anew, is this daemon's.
    prueba::RunResult otro = prueba::Run({Bin("rondador"), base, cliente}, 10000);
    EXPECT_EQ(otro.status, 1) << otro.output;
    EXPECT_NE(otro.output.find(kRechazo), std::string::npos) << otro.output;
    ASSERT_TRUE(prueba::WaitUntil([&] { return prueba::ListDir(tx).empty(); }, 5000));
    ASSERT_EQ(rmdir(tx.c_str()), 0);
  }
  EXPECT_TRUE(daemon->Running());
}

TEST_F(Rondador, SecondDaemonOnTheSameBaseDirectoryIsRefused) {
  Arrancar({"-l", log});
  ASSERT_TRUE(EsperarLog("rondador 1.2.2 iniciado")) << Log();
  std::string enlace = tmp / "enlace";
  ASSERT_EQ(symlink(base.c_str(), enlace.c_str()), 0);
  struct Caso {
    const char *nombre;
    std::vector<std::string> args;
  } casos[] = {
      {"same path", {base, cliente}},
      {"trailing slash", {base + "/", cliente}},
      {"through a link", {enlace, cliente}},
      {"to its own log", {base, cliente, "-l", tmp / "segundo.log"}},
      {"as a daemon", {base, cliente, "-d", "-l", tmp / "segundo.log"}},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    std::vector<std::string> argv = {Bin("rondador")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    prueba::RunResult r = prueba::Run(argv, 10000, Entorno());
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find(kRechazo), std::string::npos) << r.output;
    EXPECT_EQ(Daemons().size(), 1u);
  }
  EXPECT_NE(prueba::ReadFile(tmp / "segundo.log").find(kRechazo), std::string::npos)
      << "the refusal is in the refused daemon's log";
  // The one daemon serves every marker once.
  for (int i = 1; i <= 5; ++i) {
    std::string nombre = "term0" + std::to_string(i);
    prueba::MakeDir(Raiz(nombre));
    Marca(nombre, 10 - i);
  }
  ASSERT_TRUE(EsperarLlamadas(5));
  ASSERT_TRUE(prueba::WaitUntil([&] { return prueba::ListDir(tx).empty(); }, 5000));
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(Contar("[" + Raiz("term0" + std::to_string(i)) + "]"), 1u);
  EXPECT_EQ(Llamadas().size(), 5u);

  // Another base directory has a daemon of its own.
  std::string otrabase = tmp / "otra";
  prueba::MakeDir(otrabase);
  prueba::MakeDir(otrabase + "/tx");
  prueba::Spawned otro = prueba::Spawn({Bin("rondador"), otrabase, cliente}, Entorno());
  EXPECT_TRUE(prueba::WaitUntil([&] { return otro.Output().find("iniciado") != std::string::npos; },
                                5000))
      << otro.Output();
  EXPECT_TRUE(otro.Running());
}

TEST_F(Rondador, ClientStillRunningDoesNotKeepTheNextDaemonOut) {
  EscribirCliente("sleep 30\n");
  prueba::MakeDir(Raiz("term01"));
  Marca("term01");
  Arrancar({"-l", log});
  ASSERT_TRUE(EsperarLlamadas(1));
  pid_t grupo = daemon->pid;  // its clients stay in its process group
  daemon->Signal(SIGTERM);
  ASSERT_EQ(daemon->Wait(5000), 0);
  pid_t clientepid = std::stoi(Llamadas()[0].pid);
  EXPECT_EQ(kill(clientepid, 0), 0) << "the client goes on after the daemon stops";
  Arrancar({"-l", log});
  EXPECT_TRUE(prueba::WaitUntil(
      [&] {
        return EnLog("rondador 1.2.2 iniciado (pid=" + std::to_string(daemon->pid) + ")");
      },
      5000))
      << Log();
  EXPECT_TRUE(daemon->Running()) << daemon->Output();
  kill(-grupo, SIGKILL);
}

}  // namespace
}  // namespace rondadortest
