// recarga_test.cpp - the daemon over a working day: SIGHUP reloads the
// transcoding table (keeping the old one when the new cannot be read) and
// reopens the log while clients run and markers keep being served; the log
// is a history of the base (each client's end with its result and duration,
// each marker the -m cap holds back, once); --help.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "daemon_support.h"
#include "support.h"

namespace rondadortest {
namespace {

using prueba::Bin;
using prueba::Exists;
using prueba::ReadFile;
using prueba::WriteFile;

size_t Veces(const std::string &texto, const std::string &parte) {
  size_t n = 0;
  for (size_t p = texto.find(parte); p != std::string::npos; p = texto.find(parte, p + 1)) ++n;
  return n;
}

class Recarga : public Rondador {
 protected:
  std::string trans = tmp / "trans";
  std::string libres = tmp / "libres";  // a held client ends once its terminal's name is here

  void SetUp() override {
    Rondador::SetUp();
    prueba::MakeDir(libres);
  }

  // Clients of the terminals named in retenidas stay until freed by name.
  void ClientesRetenidos(const std::string &retenidas) {
    EscribirCliente("n=$(basename \"$1\")\n"
                    "case \" " + retenidas + " \" in *\" $n \"*)\n"
                    "  while [ ! -e " + libres + "/\"$n\" ]; do sleep 0.01; done;;\n"
                    "esac\n");
  }

  void Terminal(const std::string &nombre, const std::string &svl) {
    prueba::MakeDir(Raiz(nombre));
    prueba::MakeDir(Raiz(nombre) + "/upload");
    WriteFile(Raiz(nombre) + "/upload/_svl.2", svl);
  }

  // The _svl.2 the client of the terminal found when it started.
  std::string SvlDe(const std::string &nombre) {
    for (const Llamada &l : Llamadas())
      if (l.args.rfind("[" + Raiz(nombre) + "]", 0) == 0) return l.svl;
    return "(no client)";
  }

  // The process id the client of the terminal recorded.
  std::string PidDe(const std::string &nombre) {
    for (const Llamada &l : Llamadas())
      if (l.args.rfind("[" + Raiz(nombre) + "]", 0) == 0) return l.pid;
    return "?";
  }

  bool EsperarCliente(const std::string &nombre) {
    return prueba::WaitUntil([&] { return SvlDe(nombre) != "(no client)"; }, 10000);
  }

  void Colgar() { daemon->Signal(SIGHUP); }
};

TEST_F(Recarga, HangupReloadsTheTableWhileAClientRunsAndTheDaemonKeepsServing) {
  WriteFile(trans, "AAAAAABBBBBB\n");
  ClientesRetenidos("term01");
  Terminal("term01", "AAAAAA uno\n");
  Terminal("term02", "AAAAAA dos\nDDDDDD dos\n");
  Arrancar({"-t", trans, "-l", log});
  Marca("term01");
  ASSERT_TRUE(EsperarCliente("term01")) << Log();
  EXPECT_EQ(SvlDe("term01"), "BBBBBB uno\n");

  WriteFile(trans, "AAAAAACCCCCC\nDDDDDDEEEEEE\n");
  Colgar();
  ASSERT_TRUE(EsperarLog("Tabla de prestaciones recargada: 2 codigos")) << Log();
  EXPECT_TRUE(daemon->Running());
  EXPECT_FALSE(EnLog("rondador detenido")) << Log();

  Marca("term02");
  ASSERT_TRUE(EsperarCliente("term02")) << Log();
  EXPECT_EQ(SvlDe("term02"), "CCCCCC dos\nEEEEEE dos\n") << "the new codes";
  EXPECT_EQ(ReadFile(Raiz("term01") + "/upload/_svl.2"), "BBBBBB uno\n")
      << "the running client's files are not touched again";

  // The held client was not disturbed: it ends when freed, and its end is logged.
  std::string uno = PidDe("term01");
  EXPECT_EQ(kill(std::stoi(uno), 0), 0);
  WriteFile(libres + "/term01", "");
  EXPECT_TRUE(EsperarLog("zelta terminado para la terminal term01 (pid=" + uno + ")")) << Log();
}

// Each case spoils the table file in a different way before the hangup; the
// old table stays in use and the daemon goes on.
TEST_F(Recarga, HangupWithATableThatCannotBeReadKeepsTheOldOne) {
  struct Caso {
    const char *nombre;
    std::function<void()> estropear;
  } casos[] = {
      {"file removed", [&] { ASSERT_EQ(unlink(trans.c_str()), 0); }},
      {"directory in its place",
       [&] {
         ASSERT_EQ(unlink(trans.c_str()), 0);
         prueba::MakeDir(trans);
       }},
  };
  int n = 0;
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    MatarTodo();
    unlink(log.c_str());
    rmdir(trans.c_str());
    WriteFile(trans, "AAAAAABBBBBB\nXXXXXXYYYYYY\n");
    Arrancar({"-t", trans, "-l", log});
    ASSERT_TRUE(EsperarLog("rondador 1.2.2 iniciado")) << Log();
    c.estropear();
    Colgar();
    ASSERT_TRUE(EsperarLog("Tabla de prestaciones no recargada: no se pudo leer " + trans +
                           "; se mantiene la anterior (2 codigos)"))
        << Log();
    EXPECT_FALSE(EnLog("Tabla de prestaciones recargada")) << Log();
    std::string nombre = "term0" + std::to_string(++n);
    Terminal(nombre, "AAAAAA x\n");
    Marca(nombre);
    ASSERT_TRUE(EsperarCliente(nombre)) << Log();
    EXPECT_EQ(SvlDe(nombre), "BBBBBB x\n") << "the old table still rewrites";
    EXPECT_TRUE(daemon->Running());
  }
}

// logrotate renames the log and sends SIGHUP: the daemon's lines, and as a
// daemon (-d) its clients' output too, go on in a new file of the old name.
TEST_F(Recarga, HangupReopensARenamedLog) {
  struct Caso {
    const char *nombre;
    bool demonio;
  } casos[] = {{"in the foreground", false}, {"as a daemon", true}};
  std::string viejo = log + ".1";
  int n = 0;
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    MatarTodo();
    unlink(log.c_str());
    unlink(viejo.c_str());
    std::vector<std::string> opciones = {"-l", log};
    if (c.demonio) opciones.push_back("-d");
    Arrancar(opciones);
    ASSERT_TRUE(EsperarLog("rondador 1.2.2 iniciado")) << Log();
    ASSERT_EQ(Daemons().size(), 1u);
    pid_t pid = Daemons()[0];
    ASSERT_EQ(rename(log.c_str(), viejo.c_str()), 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(EsperarLog("Recarga pedida: log reabierto; no hay tabla de prestaciones (-t)"))
        << ReadFile(viejo);
    std::string nombre = "term0" + std::to_string(++n);
    Terminal(nombre, "");
    Marca(nombre);
    ASSERT_TRUE(EsperarCliente(nombre));
    std::string clientepid = PidDe(nombre);
    EXPECT_TRUE(EsperarLog("zelta iniciado para la terminal " + nombre)) << Log();
    EXPECT_TRUE(EsperarLog("zelta terminado para la terminal " + nombre)) << Log();
    if (c.demonio) {
      EXPECT_TRUE(EsperarLog("salida del cliente " + clientepid)) << "the client's output too";
    }
    EXPECT_EQ(ReadFile(viejo).find("zelta iniciado"), std::string::npos) << ReadFile(viejo);
    EXPECT_EQ(kill(pid, 0), 0) << "still running";
  }
}

// A daemon started with SIGHUP ignored (nohup) still reloads on it, and hands
// its clients SIGHUP as it got it; one started plainly hands it on as usual.
TEST_F(Recarga, HangupIgnoredAtTheStartStillReloadsAndStaysIgnoredInTheClients) {
  struct Caso {
    const char *nombre;
    bool nohup;
  } casos[] = {{"plain start", false}, {"under nohup", true}};
  const std::string ignoradas = tmp / "ignoradas";
  EscribirCliente("grep '^SigIgn:' /proc/$$/status > " + ignoradas + ".tmp\n"
                  "mv " + ignoradas + ".tmp " + ignoradas + "\n");
  int n = 0;
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    MatarTodo();
    unlink(log.c_str());
    unlink(ignoradas.c_str());
    std::vector<std::string> argv = {Bin("rondador"), base, cliente, "-l", log};
    if (c.nohup) argv.insert(argv.begin(), "/usr/bin/nohup");
    Lanzar(argv, Entorno());
    ASSERT_TRUE(EsperarLog("rondador 1.2.2 iniciado")) << Log();
    Colgar();
    ASSERT_TRUE(EsperarLog("Recarga pedida")) << Log();
    EXPECT_TRUE(daemon->Running());
    std::string nombre = "term0" + std::to_string(++n);
    Terminal(nombre, "");
    Marca(nombre);
    ASSERT_TRUE(prueba::WaitUntil([&] { return Exists(ignoradas); }, 10000)) << Log();
    // "SigIgn:\t<hex mask>": SIGHUP is the lowest bit.
    std::string mascara = ReadFile(ignoradas);
    ASSERT_GT(mascara.size(), 2u);
    int ultimo = std::stoi(mascara.substr(mascara.size() - 2, 1), nullptr, 16);
    EXPECT_EQ((ultimo & 1) != 0, c.nohup) << mascara;
  }
}

TEST_F(Recarga, ClientEndIsLoggedWithItsResultAndDuration) {
  // Each terminal's root holds a script, run by the fake client, that
  // leaves the estado.rsp of the case.
  struct Caso {
    const char *terminal;
    std::string hacer;
    std::string resultado;
  } casos[] = {
      {"ok", "printf '0: Conexion OK\\r\\n' > estado.rsp", "resultado 0: Conexion OK"},
      {"lento", "sleep 1.2; printf '5: No se pudo conectar\\r\\n' > estado.rsp",
       "resultado 5: No se pudo conectar"},
      {"sinnuevo", "", "sin resultado nuevo (estado.rsp es de antes del inicio)"},
      {"sinestado", "", "sin resultado (estado.rsp: No such file or directory)"},
      {"enlace", "ln -s ../ok/estado.rsp estado.rsp",
       "sin resultado (estado.rsp: es un enlace simbolico)"},
      {"fifo", "mkfifo estado.rsp", "sin resultado (estado.rsp: no es un archivo regular)"},
      {"escapes", "printf '0: \\033[31mOK\\nlinea falsa\\r\\n' > estado.rsp",
       "resultado 0: \\x1b[31mOK; duracion"},
      {"largo", "printf '0: %0300d\\r\\n' 0 > estado.rsp", "resultado 0: 0000000000"},
  };
  EscribirCliente("cd \"$1\" && . ./hacer\n");
  for (const Caso &c : casos) {
    Terminal(c.terminal, "");
    WriteFile(Raiz(c.terminal) + "/hacer", c.hacer + "\n");
  }
  WriteFile(Raiz("sinnuevo") + "/estado.rsp", "0: Conexion OK\r\n");
  Envejecer(Raiz("sinnuevo") + "/estado.rsp", 60);
  Arrancar({"-l", log});
  for (const Caso &c : casos) Marca(c.terminal);
  ASSERT_TRUE(prueba::WaitUntil(
      [&] { return Veces(Log(), "zelta terminado para la terminal ") >= std::size(casos); }, 20000))
      << Log();
  std::string registro = Log();
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.terminal);
    std::string pid = PidDe(c.terminal);
    std::string inicio = "zelta terminado para la terminal " + std::string(c.terminal) +
                         " (pid=" + pid + "): " + c.resultado;
    size_t p = registro.find(inicio);
    ASSERT_NE(p, std::string::npos) << registro;
    std::string linea = registro.substr(p, registro.find('\n', p) - p);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(linea, m, std::regex("; duracion ([0-9]+)\\.[0-9] s$"))) << linea;
    int segundos = std::stoi(m[1]);
    EXPECT_LT(segundos, 10) << linea;
    if (std::string(c.terminal) == "lento") {
      EXPECT_GE(segundos, 1) << linea;
    }
    EXPECT_LT(linea.size(), 600u) << "a few bytes of estado.rsp only";
  }
  EXPECT_EQ(registro.find("linea falsa"), std::string::npos) << "only the first line is logged";
  EXPECT_TRUE(daemon->Running()) << "a FIFO did not block the daemon";
}

// Markers held back by the cap are logged once each, however many scans
// pass, and the next one is not logged again when the first goes.
TEST_F(Recarga, MarkerHeldBackByTheCapIsLoggedOnce) {
  ClientesRetenidos("T00 T01");
  for (int i = 0; i < 3; ++i) {
    std::string nombre = "T0" + std::to_string(i);
    Terminal(nombre, "");
    Marca(nombre, 100 - i);
  }
  Lanzar({Bin("rondador"), base, cliente, "-m", "1", "-l", log},
         {Entorno()[0], "RONDADOR_PAUSA_MS=10"});
  const std::string t1 = "Marca T01 en espera: hay 1 clientes en curso (limite -m 1)";
  const std::string t2 = "Marca T02 en espera: hay 1 clientes en curso (limite -m 1)";
  ASSERT_TRUE(EsperarLog(t1)) << Log();
  ASSERT_TRUE(EsperarLog(t2)) << Log();
  // Some dozens of polls later neither has been said again.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Veces(Log(), t1), 1u) << Log();
  EXPECT_EQ(Veces(Log(), t2), 1u) << Log();
  WriteFile(libres + "/T00", "");
  ASSERT_TRUE(EsperarLog("zelta iniciado para la terminal T01")) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Veces(Log(), "Marca T02 en espera"), 1u) << Log();
  EXPECT_EQ(Veces(Log(), "Marca T01 en espera"), 1u) << Log();
  EXPECT_EQ(Veces(Log(), "Marca T00 en espera"), 0u) << "the one that started at once" << Log();
  WriteFile(libres + "/T01", "");
  EXPECT_TRUE(EsperarLog("zelta iniciado para la terminal T02")) << Log();
  EXPECT_TRUE(prueba::WaitUntil([&] { return prueba::ListDir(tx).empty(); }, 10000));
}

TEST_F(Recarga, HelpPrintsTheUsageOnStandardOutputAndExitsWithZero) {
  prueba::RunResult r = prueba::Run({"/bin/sh", "-c", "\"$0\" --help 2>/dev/null", Bin("rondador")});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Uso: " + Bin("rondador") + " basedir zeltapath [opciones]\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("\t--help"), std::string::npos) << r.output;
  EXPECT_TRUE(Daemons().empty());
}

}  // namespace
}  // namespace rondadortest
