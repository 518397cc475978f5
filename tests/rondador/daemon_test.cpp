// daemon_test.cpp - runs of the real daemon with a fake client and a fake
// ping: command line, marker order, client start, ping retries, detaching,
// and the service-code rewrite before the client starts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "daemon_support.h"
#include "support.h"

namespace rondadortest {
namespace {

using prueba::Bin;
using prueba::Exists;
using prueba::ReadFile;
using prueba::WriteFile;

TEST_F(Rondador, FaultyStartsEndWithTheirStatus) {
  struct Caso {
    const char *nombre;
    std::vector<std::string> args;  // after the program name
    int estado;
    std::string salida;
  } casos[] = {
      {"no arguments", {}, 255, "Uso: " + Bin("rondador") + " basedir zeltapath [opciones]"},
      {"one argument", {base}, 255, "\t-t file\t\tcarga archivo de transcodificacion\n"},
      {"stray argument", {base, cliente, "-x5", "extra"}, 255, "Uso: "},
      {"unknown option", {base, cliente, "-q"}, 255, "Uso: "},
      {"option missing its value", {base, cliente, "-a"}, 255, "Uso: "},
      {"debug level not a number", {base, cliente, "-xdiez"}, 255, "Uso: "},
      {"lone dash", {base, cliente, "-"}, 255, "Uso: "},
      {"daemon without log", {base, cliente, "-d"}, 1,
       "ERROR: debe especificar un logfile para ser daemon\n"},
      {"log that cannot be opened", {base, cliente, "-l", tmp / "no/hay/log"}, 1,
       "ERROR: no se puede abrir el logfile " + tmp / "no/hay/log"},
      {"transcoding file that cannot be opened", {base, cliente, "-t", tmp / "no-hay"}, 13,
       "Error al abrir archivo: " + tmp / "no-hay"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    std::vector<std::string> argv = {Bin("rondador")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    prueba::RunResult r = prueba::Run(argv, 10000);
    EXPECT_EQ(r.status, c.estado) << r.output;
    EXPECT_EQ(r.output.rfind("rondador 1.2.2\n", 0), 0u) << r.output;
    EXPECT_NE(r.output.find(c.salida), std::string::npos) << r.output;
  }
  EXPECT_TRUE(Llamadas().empty());
}

TEST_F(Rondador, OldestMarkerFirstAndDotMarkersLeftAlone) {
  EscribirCliente("");
  Marca("TERM01", 50);
  Marca("TERM02", 100);  // older, though later by name
  Marca(".oculta", 200);
  prueba::MakeDir(Raiz("TERM01"));
  prueba::MakeDir(Raiz("TERM02"));
  Arrancar({"-l", log, "-x2"});
  ASSERT_TRUE(EsperarLlamadas(2));
  ASSERT_TRUE(prueba::WaitUntil([&] { return prueba::ListDir(tx).size() == 1; }, 5000));
  std::string l = Log();
  size_t p2 = l.find("Tx encontrada en TERM02"), p1 = l.find("Tx encontrada en TERM01");
  ASSERT_NE(p2, std::string::npos) << l;
  ASSERT_NE(p1, std::string::npos) << l;
  EXPECT_LT(p2, p1);
  EXPECT_EQ(l.find("Tx encontrada en .oculta"), std::string::npos);
  EXPECT_EQ(prueba::ListDir(tx), std::vector<std::string>{".oculta"});
  EXPECT_EQ(Contar("[" + Raiz("TERM01") + "]"), 1u);
  EXPECT_EQ(Contar("[" + Raiz("TERM02") + "]"), 1u);
  // Later markers are found while the daemon keeps polling.
  Marca("TERM03");
  ASSERT_TRUE(EsperarLlamadas(3));
  EXPECT_EQ(Contar("[" + Raiz("term03") + "]"), 1u);
  EXPECT_TRUE(Exists(tx + "/.oculta"));
}

TEST_F(Rondador, ClientArgumentsFollowTheOptions) {
  struct Caso {
    const char *nombre;
    std::vector<std::string> opciones;
    std::string resto;  // what follows the terminal root
  } casos[] = {
      {"a value that is the next argument may begin with a dash", {"-a", "-t", "-a", "tcp"},
       "[-t][tcp]"},
      {"capital letters and attached values", {"-Afoo", "-A", "bar baz", "-X0", "-L", log},
       "[foo][bar baz]"},
      {"no -a", {"-x1"}, ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    MatarTodo();
    for (const auto &n : prueba::ListDir(llamadas)) unlink((llamadas + "/" + n).c_str());
    prueba::MakeDir(Raiz("TERM01"));
    Marca("TERM01");
    Arrancar(c.opciones);
    ASSERT_TRUE(EsperarLlamadas(1));
    std::vector<Llamada> ll = Llamadas();
    ASSERT_EQ(ll.size(), 1u);
    EXPECT_EQ(ll[0].args, "[" + Raiz("TERM01") + "]" + c.resto);
  }
  EXPECT_TRUE(Exists(log)) << "-L names the log";
}

TEST_F(Rondador, TerminalRootFallsBackToSmallLetters) {
  struct Caso {
    const char *marca;
    const char *directorio;  // nullptr: none
    std::string raiz;
  } casos[] = {
      {"TERM01", "term01", Raiz("term01")},
      {"TERM02", "TERM02", Raiz("TERM02")},
      {"Term03", nullptr, Raiz("term03")},
  };
  for (const auto &c : casos) {
    if (c.directorio != nullptr) prueba::MakeDir(Raiz(c.directorio));
  }
  Marca("TERM01", 30);
  Marca("TERM02", 20);
  Marca("Term03", 10);
  Arrancar({"-l", log, "-x10"});
  ASSERT_TRUE(EsperarLlamadas(3));
  for (const auto &c : casos) EXPECT_EQ(Contar("[" + c.raiz + "]"), 1u) << c.marca;
  EXPECT_TRUE(EsperarLog("Modificando busqueda de tx a " + Raiz("term01")));
  EXPECT_FALSE(EnLog("Modificando busqueda de tx a " + Raiz("term02")));
}

TEST_F(Rondador, LogShowsTheClientsRealProcessId) {
  prueba::MakeDir(Raiz("TERM01"));
  Marca("TERM01");
  Arrancar({"-l", log, "-x7"});
  ASSERT_TRUE(EsperarLlamadas(1));
  std::string pid = Llamadas()[0].pid;
  EXPECT_TRUE(EsperarLog("Proceso cliente zelta creado (pid=" + pid + ")")) << Log();
}

TEST_F(Rondador, DoesNotWaitForASlowClient) {
  EscribirCliente("sleep 60\n");
  Marca("TERM01", 10);
  Marca("TERM02", 5);
  Arrancar({"-l", log});
  ASSERT_TRUE(EsperarLlamadas(2, 5000)) << "the second client started while the first runs";
  EXPECT_TRUE(prueba::WaitUntil([&] { return prueba::ListDir(tx).empty(); }, 5000));
  EXPECT_TRUE(daemon->Running());
}

TEST_F(Rondador, ClientThatCannotRunIsLoggedAndItsMarkerPutBack) {
  std::string nocliente = tmp / "no-hay-cliente";
  prueba::MakeDir(Raiz("TERM01"));
  Marca("TERM01");
  Lanzar({Bin("rondador"), base, nocliente, "-l", log}, Entorno());
  ASSERT_TRUE(EsperarLog("Marca TERM01 restituida: zelta no pudo iniciarse")) << Log();
  EXPECT_TRUE(EnLog("Error al ejecutar cliente zelta")) << Log();
  EXPECT_TRUE(EnLog("No se pudo ejecutar " + nocliente + " para la terminal TERM01")) << Log();
  EXPECT_FALSE(EnLog("zelta iniciado para la terminal TERM01")) << Log();
  EXPECT_TRUE(prueba::WaitUntil([&] { return Exists(tx + "/TERM01"); }, 5000));
  EXPECT_TRUE(daemon->Running());
  // Once the program is in place the marker starts it, once.
  ASSERT_EQ(rename(cliente.c_str(), nocliente.c_str()), 0);
  ASSERT_TRUE(EsperarLlamadas(1)) << Log();
  ASSERT_TRUE(prueba::WaitUntil([&] { return prueba::ListDir(tx).empty(); }, 5000));
  ASSERT_TRUE(EsperarLog("zelta iniciado para la terminal TERM01")) << Log();
  EXPECT_EQ(Contar("[" + Raiz("TERM01") + "]"), 1u);
}

TEST_F(Rondador, MarkerThatCannotBeDeletedStartsOneClientOnly) {
  // A directory in tx/ counts as a marker but cannot be unlinked; it must
  // not keep the daemon starting clients for it, nor hide newer markers.
  prueba::MakeDir(tx + "/CARPETA");
  Envejecer(tx + "/CARPETA", 100);
  Marca("TERM02", 10);
  Arrancar({"-l", log});
  ASSERT_TRUE(EsperarLlamadas(2));
  Marca("TERM03");
  ASSERT_TRUE(EsperarLlamadas(3));
  EXPECT_EQ(Contar("[" + Raiz("carpeta") + "]"), 1u);
  EXPECT_EQ(Contar("[" + Raiz("term02") + "]"), 1u);
  EXPECT_TRUE(EnLog("Error al borrar la marca " + tx + "/CARPETA")) << Log();
  // Touched again, it is a new transaction.
  Envejecer(tx + "/CARPETA", 0);
  ASSERT_TRUE(prueba::WaitUntil([&] { return Contar("[" + Raiz("carpeta") + "]") == 2; }, 5000));
}

TEST_F(Rondador, PingIsRetriedUntilItAnswersThenTheClientStarts) {
  struct Caso {
    const char *nombre;
    int respondeen;  // attempt that answers; 0: none
    std::string intentos;
  } casos[] = {
      {"first attempt answers", 1, "1"},
      {"third attempt answers", 3, "3"},
      {"never answers: client started after 15 attempts", 0, "15"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    MatarTodo();
    for (const auto &n : prueba::ListDir(llamadas)) unlink((llamadas + "/" + n).c_str());
    unlink(contador.c_str());
    unlink(argsping.c_str());
    EscribirPing(c.respondeen == 0 ? "exit 1\n"
                                   : "[ $n -ge " + std::to_string(c.respondeen) +
                                         " ] && exit 0\nexit 1\n");
    prueba::MakeDir(Raiz("TERM01"));
    Marca("TERM01");
    Arrancar({"-p", "127.0.0.1", "-l", log});
    ASSERT_TRUE(EsperarLlamadas(1));
    std::vector<Llamada> ll = Llamadas();
    EXPECT_EQ(ll[0].pings, c.intentos);
    EXPECT_EQ(ReadFile(contador), c.intentos + "\n") << "no attempt after the client started";
    std::string args = ReadFile(argsping);
    EXPECT_EQ(args.substr(0, args.find('\n')), "-qnc1 127.0.0.1");
  }
}

TEST_F(Rondador, PingStartFailureCountsAsAFailedAttempt) {
  // No ping on the search path at all: every attempt fails at once. The
  // path holds only what the fake client needs.
  std::string herramientas = tmp / "herramientas";
  prueba::MakeDir(herramientas);
  for (std::string h : {"cat", "mv", "readlink"}) {
    std::string real = Exists("/usr/bin/" + h) ? "/usr/bin/" + h : "/bin/" + h;
    ASSERT_EQ(symlink(real.c_str(), (herramientas + "/" + h).c_str()), 0);
  }
  prueba::MakeDir(Raiz("TERM01"));
  Marca("TERM01");
  Lanzar({Bin("rondador"), base, cliente, "-p", "127.0.0.1", "-l", log, "-x5"},
         {"PATH=" + herramientas});
  ASSERT_TRUE(EsperarLlamadas(1));
  EXPECT_TRUE(EnLog("Sin respuesta de 127.0.0.1")) << Log();
}

TEST_F(Rondador, IgnoredChildSignalFromTheParentDoesNotBreakTheWaits) {
  EscribirPing("exit 0\n");
  prueba::MakeDir(Raiz("TERM01"));
  Marca("TERM01");
  std::string orden = "trap '' CHLD; exec " + Bin("rondador") + " " + base + " " + cliente +
                      " -p 127.0.0.1 -l " + log + " -x7";
  Lanzar({"/bin/sh", "-c", orden}, Entorno());
  ASSERT_TRUE(EsperarLlamadas(1));
  EXPECT_EQ(Llamadas()[0].pings, "1");
  EXPECT_TRUE(EsperarLog("Proceso cliente zelta creado (pid=" + Llamadas()[0].pid + ")")) << Log();
  EXPECT_FALSE(EnLog("Error al crear proc. zelta")) << Log();
}

TEST_F(Rondador, DaemonModeDetachesAndLogs) {
  prueba::MakeDir(Raiz("TERM01"));
  prueba::RunResult r =
      prueba::Run({Bin("rondador"), base, cliente, "-d", "-l", log, "-x2"}, 10000, Entorno());
  EXPECT_EQ(r.status, 0) << r.output;
  ASSERT_TRUE(EsperarLog("rondador daemon cargado"));
  // The intermediate process of the detaching may linger a moment.
  ASSERT_TRUE(prueba::WaitUntil([&] { return Daemons().size() == 1; }, 5000));
  pid_t pid = Daemons()[0];
  EXPECT_NE(getsid(pid), getsid(0)) << "the daemon left the test's session";
  EXPECT_NE(getsid(pid), pid) << "it is not a session leader, so it gets no terminal";
  Marca("TERM01");
  ASSERT_TRUE(EsperarLlamadas(1));
  Llamada l = Llamadas()[0];
  EXPECT_EQ(l.umask, "0000");
  EXPECT_EQ(l.stdin_, "/dev/null");
  EXPECT_TRUE(EsperarLog("salida del cliente " + l.pid)) << "client output goes to the log";
}

TEST_F(Rondador, ServiceCodesAreRewrittenBeforeTheClientStarts) {
  WriteFile(tmp / "trans", "AAAAAABBBBBB\nAAAAAAXXXXXX\nBBBBBBCCCCCC\nCCCCCCDDDDDD");
  prueba::MakeDir(Raiz("term01"));
  prueba::MakeDir(Raiz("term01") + "/upload");
  const std::string svl = Raiz("term01") + "/upload/_svl.2";
  WriteFile(svl, "AAAAAA 0001 servicio\r\nZZZZZZ 0002\r\nAAAAAA 0003");
  prueba::MakeDir(Raiz("term02"));  // no _svl.2
  Marca("TERM01", 20);
  Marca("term02", 10);
  Arrancar({"-t", tmp / "trans", "-l", log, "-x5"});
  ASSERT_TRUE(EsperarLlamadas(2));
  EXPECT_TRUE(EnLog("Archivo de transcodificacion cargado: " + tmp / "trans"));
  EXPECT_TRUE(EnLog("Item duplicado: AAAAAA - XXXXXX"));
  const std::string esperado = "BBBBBB 0001 servicio\r\nZZZZZZ 0002\r\nBBBBBB 0003";
  for (const auto &l : Llamadas()) {
    if (l.args == "[" + Raiz("term01") + "]") {
      EXPECT_EQ(l.svl, esperado);
    }
  }
  EXPECT_EQ(ReadFile(svl), esperado);
  EXPECT_EQ(ReadFile(Raiz("term01") + "/_1101.rpl"), "AAAAAABBBBBB\nAAAAAABBBBBB\n");
  EXPECT_TRUE(Exists(Raiz("term02") + "/_1101.rpl"));
  EXPECT_EQ(ReadFile(Raiz("term02") + "/_1101.rpl"), "");
  // A second transaction of the same terminal takes the next step of the
  // chain B->C; C->D was never loaded (no line feed).
  Marca("TERM01");
  ASSERT_TRUE(EsperarLlamadas(3));
  EXPECT_EQ(ReadFile(svl), "CCCCCC 0001 servicio\r\nZZZZZZ 0002\r\nCCCCCC 0003");
  EXPECT_EQ(ReadFile(Raiz("term01") + "/_1101.rpl"), "BBBBBBCCCCCC\nBBBBBBCCCCCC\n");
}

TEST_F(Rondador, FailedRewriteIsLoggedAndTheClientStillStarts) {
  WriteFile(tmp / "trans", "AAAAAABBBBBB\n");
  Marca("FANTASMA");  // no terminal root at all: _1101.rpl cannot be made
  Arrancar({"-t", tmp / "trans", "-l", log});
  ASSERT_TRUE(EsperarLlamadas(1));
  EXPECT_EQ(Llamadas()[0].args, "[" + Raiz("fantasma") + "]");
  EXPECT_TRUE(EnLog("Error al reemplazar prestaciones []")) << Log();
  EXPECT_TRUE(EnLog("No se reemplazan prestaciones: no se pudo crear " + Raiz("fantasma") +
                    "/_1101.rpl: No such file or directory"))
      << Log();
}

}  // namespace
}  // namespace rondadortest
