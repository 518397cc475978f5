// What an operator runs besides exchanges: zelta -s over a base directory,
// zelta -c over the configuration, --version on both programs, and the
// test peers' --help.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "support.h"

namespace {

using prueba::ReadFile;
using prueba::WriteFile;

std::vector<std::string> Lineas(const std::string &texto) {
  std::vector<std::string> out;
  std::istringstream in(texto);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

// ---------------------------------------------------------------- -s

// A base directory with one terminal of each kind an operator meets.
struct Tablero : ::testing::Test {
  prueba::TempDir dir;
  std::string base, zelta;
  pid_t vivo = -1;

  void SetUp() override {
    zelta = prueba::Bin("zelta");
    base = dir / "base";
    prueba::MakeDir(base);
    prueba::MakeDir(base + "/tx", 01777);
    vivo = fork();
    if (vivo == 0) {
      pause();
      _exit(0);
    }
  }
  void TearDown() override {
    kill(vivo, SIGKILL);
    waitpid(vivo, nullptr, 0);
  }
  std::string Terminal(const std::string &nombre, const char *estado) {
    std::string raiz = base + "/" + nombre;
    prueba::MakeDir(raiz);
    if (estado != nullptr) WriteFile(raiz + "/estado.rsp", estado);
    return raiz;
  }
  std::string Lock(pid_t pid) {
    char buf[16];
    snprintf(buf, sizeof buf, "%10d\n", static_cast<int>(pid));
    return buf;
  }
  // The terminals whose state is healthy: last result 0, never run,
  // running now, waiting in tx/.
  void Sanos() {
    Terminal("ok", "0: Conexion OK\r\n");
    Terminal("nuevo", nullptr);
    WriteFile(Terminal("corre", "0: Conexion OK\r\n") + "/_zelta.lck", Lock(vivo));
    Terminal("cola", "0: Conexion OK\r\n");
    WriteFile(base + "/tx/COLA", "");  // the daemon folds it to cola
    WriteFile(base + "/tx/cola", "");
    // A lock left by a run that is gone is taken over: not a problem.
    pid_t muerto = fork();
    if (muerto == 0) _exit(0);
    waitpid(muerto, nullptr, 0);
    WriteFile(Terminal("viejo", "0: Conexion OK\r\n") + "/_zelta.lck", Lock(muerto));
    // Not terminals: tx/, a file, a link to a directory, a dot name.
    WriteFile(base + "/notas.txt", "x");
    ASSERT_EQ(symlink(Terminal(".oculta", "5: No se pudo conectar\r\n").c_str(), (base + "/enlace").c_str()), 0);
  }
  prueba::RunResult Estado(bool tabulado) {
    std::vector<std::string> argv = {zelta, "-s", base};
    if (tabulado) argv = {zelta, base, "-q", "-s"};  // any order
    return prueba::Run(argv, 20000);
  }
};

TEST_F(Tablero, HealthyTerminalsExitZero) {
  ASSERT_NO_FATAL_FAILURE(Sanos());
  auto r = Estado(true);
  EXPECT_EQ(r.status, 0) << r.output;
  auto mtime = [&](const char *t) {
    struct stat st {};
    stat((base + "/" + t + "/estado.rsp").c_str(), &st);
    return std::to_string(st.st_mtime);
  };
  // Sorted by name; fields: name, code, text, mtime of estado.rsp, pid of
  // the run, markers, retained .subida, .dudosa, .respuesta.
  EXPECT_EQ(Lineas(r.output), (std::vector<std::string>{
                                  "cola\t0\tConexion OK\t" + mtime("cola") + "\t-\t2\t0\t0\t0",
                                  "corre\t0\tConexion OK\t" + mtime("corre") + "\t" +
                                      std::to_string(vivo) + "\t0\t0\t0\t0",
                                  "nuevo\t-\t-\t-\t-\t0\t0\t0\t0",
                                  "ok\t0\tConexion OK\t" + mtime("ok") + "\t-\t0\t0\t0\t0",
                                  "viejo\t0\tConexion OK\t" + mtime("viejo") + "\t-\t0\t0\t0\t0",
                              }));
}

TEST_F(Tablero, FailedRetainedAndBlockedTerminalsExitOne) {
  ASSERT_NO_FATAL_FAILURE(Sanos());
  Terminal("fallo", "5: No se pudo conectar\r\n");
  std::string ret = Terminal("retiene", "2: Perdida de portadora\r\n") + "/retenidos";
  prueba::MakeDir(ret);
  for (const char *n : {"20261210040000-10.subida", "20261210040100-11.subida",
                        "20261210040200-12.dudosa", "20261210040300-13.respuesta"}) {
    WriteFile(ret + "/" + n, "[FIN]\r\n");
  }
  prueba::MakeDir(ret + "/20261210040000-10");  // an answer split by a resend
  ASSERT_EQ(symlink("/etc/hostname", (ret + "/enlace.subida").c_str()), 0);
  // A terminal user's tricks: estado.rsp as a link to a file that says 0,
  // a FIFO as the lock (must neither block nor count as running), control
  // bytes in the text.
  WriteFile(dir / "secreto", "0: Conexion OK\r\n");
  std::string hostil = Terminal("hostil", nullptr);
  ASSERT_EQ(symlink((dir / "secreto").c_str(), (hostil + "/estado.rsp").c_str()), 0);
  mkfifo((hostil + "/_zelta.lck").c_str(), 0644);
  Terminal("raro", "3: Abortado\x1b[2J por\texceso\xc2\x9b" "2J\xe2\x80\xae\r\n");
  // An empty lock blocks every run until someone deletes it.
  WriteFile(Terminal("vacio", "0: Conexion OK\r\n") + "/_zelta.lck", "");

  auto r = Estado(true);
  EXPECT_EQ(r.status, 1) << r.output;
  std::string t = r.output;
  EXPECT_NE(t.find("\nfallo\t5\tNo se pudo conectar\t"), std::string::npos) << t;
  EXPECT_NE(t.find("\nhostil\t?\t?\t-\tbloqueado\t0\t0\t0\t0\n"), std::string::npos) << t;
  // Control bytes, a C1 CSI and a right-to-left override, all as \xNN.
  EXPECT_NE(t.find("\nraro\t3\tAbortado\\x1b[2J por\\x09exceso\\xc2\\x9b2J\\xe2\\x80\\xae\t"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("\t-\t0\t2\t1\t1\n"), std::string::npos) << t;  // retiene
  EXPECT_NE(t.find("\nvacio\t0\tConexion OK\t"), std::string::npos) << t;
  EXPECT_NE(t.find("\tbloqueado\t0\t0\t0\t0\n"), std::string::npos) << t;

  // For people: a header and aligned columns.
  r = Estado(false);
  EXPECT_EQ(r.status, 1);
  auto lineas = Lineas(r.output);
  ASSERT_GE(lineas.size(), 2u);
  EXPECT_EQ(lineas[0].rfind("TERMINAL", 0), 0u) << r.output;
  size_t fecha = lineas[0].find("FECHA"), retenidos = lineas[0].find("RETENIDOS");
  bool visto = false;
  for (const auto &l : lineas) {
    if (l.rfind("retiene ", 0) != 0) continue;
    visto = true;
    EXPECT_EQ(l.substr(fecha, 2), "20") << l;  // the date starts under FECHA
    EXPECT_EQ(l.substr(retenidos), "2 subida, 1 dudosa, 1 respuesta") << l;
  }
  EXPECT_TRUE(visto) << r.output;
  EXPECT_NE(r.output.find("pid " + std::to_string(vivo)), std::string::npos);
}

TEST_F(Tablero, MissingBaseDirectory) {
  auto r = prueba::Run({zelta, "-s", dir / "nada"}, 20000);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("No se pudo abrir el directorio " + dir / "nada"), std::string::npos);
}

TEST(LineaComandos, StatusAndCheckModesTakeTheirArguments) {
  std::string zelta = prueba::Bin("zelta");
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"-s"},              // no base directory
           {"-s", "a", "b"},    // two
           {"-s", "-u"},        // two run modes
           {"-c", "raiz"},      // -c takes none
           {"-c", "-s", "a"},
           {"-q", "raiz"},      // -q only with -s
       }) {
    std::vector<std::string> argv = {zelta};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = prueba::Run(argv, 10000);
    EXPECT_EQ(r.status, 255) << args[0];
    EXPECT_NE(r.output.find("Uso: "), std::string::npos);
  }
}

// ---------------------------------------------------------------- -c

struct Chequeo : ::testing::Test {
  prueba::TempDir dir;
  std::string prog, zelta;
  void SetUp() override {
    prog = dir / "prog";
    zelta = prueba::InstallClient(prog);
  }
};

const std::string kSoportadas =
    "50 75 110 134 150 200 300 600 1200 1800 2400 4800 9600 19200 38400 57600 115200";

TEST_F(Chequeo, EveryProblemWithItsLine) {
  struct Caso {
    const char *nombre;
    std::string conf;      // "" : no file
    std::string destinos;  // "" : no file
    int estado;
    std::vector<std::string> salida;  // relative to the program directory
  } casos[] = {
      {"clean", "MODEM=/dev/null\nCODIGOINTERURBANO=11\nLOCKDIR=/tmp\n",
       "# comment\n5 12 * - 127.0.0.1 7001\n", 0,
       {"Configuracion correcta: @zelta.conf, @zelta.destinos"}},
      {"faulty lines",
       "MODEM=/dev/null\nCODIGOINTERURBANO=11\nCOLOR=azul\nBLOCKSIZE=0\n#" + std::string(80, 'x') +
           "\nTERMID=1\nBPS=14400\nBPS=0\nLOCKDIR=/tmp\nREINTENTOS=2\nREINTENTOS=4294967297\n"
           "C\x1b[2J\xc2\x9bOLOR=1\n",
       "5 12 * - 127.0.0.1 7001\n5 12 ABC - host 7001\n\n5 12 * - host 70000\n5 12 * - host\n"
       "512 1 * - host 1\n6 1 abcdefgh - ::1 1\n6 1 ABCDEFGH - localhost 1\n6 1 * - 10.0.0.1 1\n"
       "5 12 ZZZZZZZZ - 127.0.0.2 1\n",
       16,
       {"@zelta.conf:3: Error en linea 3: COLOR=azul",
        // The range, not the run's "demasiado largo" of old.
        "@zelta.conf:4: Error en linea 4: BLOCKSIZE=0 fuera de rango (1 a 4000)",
        "@zelta.conf:5: Error: Linea 5 demasiado larga.", "@zelta.conf:6: TERMID no valido",
        // A run takes 9600 for these and goes on: warnings.
        "@zelta.conf:7: Aviso: Velocidad 14400 no soportada; se toma 9600 (soportadas: " + kSoportadas + ")",
        "@zelta.conf:8: Aviso: Velocidad 0 no soportada; se toma 9600 (soportadas: " + kSoportadas + ")",
        // atoi read it as 1, and the check said nothing.
        "@zelta.conf:11: Error en linea 11: REINTENTOS=4294967297 fuera de rango (1 a 1000)",
        // The line is shown, but never a raw control byte of it.
        "@zelta.conf:12: Error en linea 12: C\\x1b[2J\\xc2\\x9bOLOR=1",
        "@zelta.destinos:2: Linea 2 de zelta.destinos invalida: CLAVE no tiene 8 caracteres ni es *",
        "@zelta.destinos:4: Linea 4 de zelta.destinos invalida: PUERTO no esta entre 1 y 65535",
        "@zelta.destinos:5: Linea 5 de zelta.destinos invalida: faltan campos (EMPRESA ACTIVIDAD "
        "CLAVE TELEFONO SERVIDOR PUERTO)",
        "@zelta.destinos:6: Linea 6 de zelta.destinos invalida: EMPRESA no es un numero de 1 o 2 "
        "cifras",
        // The first matching line wins: a line an earlier one covers is dead.
        "@zelta.destinos:8: Linea 8 de zelta.destinos nunca se usa: la linea 7 la cubre",
        "@zelta.destinos:10: Linea 10 de zelta.destinos nunca se usa: la linea 1 la cubre"}},
      {"missing settings", "BPS=9600\nLOCKDIR=/nada/de/nada\n", "5 12 * - host 7001 extra\n", 16,
       {"@zelta.conf: Debe especificar un MODEM", "@zelta.conf: Debe especificar un CODIGOINTERURBANO",
        "@zelta.conf: LOCKDIR /nada/de/nada no es un directorio",
        "@zelta.destinos:1: Linea 1 de zelta.destinos invalida: sobran campos"}},
      {"no files", "", "", 16,
       {"@zelta.conf: No se encontro archivo zelta.conf",
        "@zelta.destinos: No se pudo abrir tabla de destinos @zelta.destinos: No such file or "
        "directory"}},
  };
  for (const auto &c : casos) {
    unlink((prog + "/zelta.conf").c_str());
    unlink((prog + "/zelta.destinos").c_str());
    if (!c.conf.empty()) WriteFile(prog + "/zelta.conf", c.conf);
    if (!c.destinos.empty()) WriteFile(prog + "/zelta.destinos", c.destinos);
    auto antes = prueba::ListDir(prog);
    auto r = prueba::Run({zelta, "-c"}, 10000);
    EXPECT_EQ(r.status, c.estado) << c.nombre << "\n" << r.output;
    std::vector<std::string> esperada;
    for (std::string l : c.salida) {
      for (size_t p; (p = l.find('@')) != std::string::npos;) l.replace(p, 1, prog + "/");
      esperada.push_back(l);
    }
    EXPECT_EQ(Lineas(r.output), esperada) << c.nombre;
    EXPECT_EQ(prueba::ListDir(prog), antes) << c.nombre;  // nothing written
  }
}

// ---------------------------------------------------------------- versions

TEST(Versiones, BothProgramsNameTheirOwnVersionAndThePackage) {
  auto z = prueba::Run({prueba::Bin("zelta"), "--version"}, 10000);
  EXPECT_EQ(z.status, 0);
  EXPECT_EQ(z.output, "zelta 1.5.1 (paquete zelta 1.5.1)\n");
  auto d = prueba::Run({prueba::Bin("rondador"), "--version"}, 10000);
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.output, "rondador 1.2.2 (paquete zelta 1.5.1)\n");
  // The banners other programs read stay as they were.
  auto uso = prueba::Run({prueba::Bin("zelta")}, 10000);
  EXPECT_NE(uso.output.find("\nVersion 1.5.1 - Protocolo KALDO\n"), std::string::npos);
  auto demonio = prueba::Run({prueba::Bin("rondador")}, 10000);
  EXPECT_EQ(demonio.output.rfind("rondador 1.2.2\n", 0), 0u) << demonio.output;
}

TEST(Pares, EveryPeerListsItsOptions) {
  struct Caso {
    const char *peer;
    std::vector<const char *> opciones;
  } casos[] = {
      {"modem-sim", {"--link", "--record", "--no-echo", "--silent-init", "--dial", "--server",
                     "--guard", "--drop-after-up", "--drop-after-down", "--cut-connect"}},
      {"kaldo-server", {"--listen", "--port-file"}},
      {"portmgr-sim", {"--port", "--port-file", "--requests", "grant:HOST:PORT"}},
  };
  for (const auto &c : casos) {
    auto r = prueba::Run({prueba::Bin(c.peer), "--help"}, 10000);
    EXPECT_EQ(r.status, 0) << c.peer << "\n" << r.output;
    for (const char *o : c.opciones) EXPECT_NE(r.output.find(o), std::string::npos) << c.peer << " " << o;
  }
  auto malo = prueba::Run({prueba::Bin("modem-sim"), "--nada"}, 10000);
  EXPECT_EQ(malo.status, 2);
  EXPECT_NE(malo.output.find("--help"), std::string::npos);
}

}  // namespace
