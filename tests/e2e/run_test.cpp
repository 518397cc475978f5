// Whole client runs that end before or around the transport: every way out
// of the run driver, with the exit status, estado.rsp and the files left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <functional>

#include "support.h"

namespace {

using prueba::Exists;
using prueba::ReadFile;
using prueba::WriteFile;

struct RunFixture : ::testing::Test {
  prueba::TempDir dir;
  std::string zelta, prog, root;
  void SetUp() override {
    prog = dir / "prog";
    zelta = prueba::InstallClient(prog);
    root = dir / "term01";
    prueba::MakeDir(root, 0775);
    prueba::MakeDir(root + "/upload");
    prueba::MakeDir(root + "/download");
    WriteFile(prog + "/zelta.conf", "MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\nREINTENTOS=1\n");
    WriteFile(root + "/upload/_svl.0", "V1510512ABCDEFGH\r\n");
    WriteFile(root + "/upload/a.txt", "hola\r\n");
  }
  void Destinos(int puerto) {
    WriteFile(prog + "/zelta.destinos", "5 12 * - 127.0.0.1 " + std::to_string(puerto) + "\n");
  }
  prueba::RunResult Zelta(std::vector<std::string> args) {
    args.insert(args.begin(), zelta);
    return prueba::Run(args, 60000);
  }
  std::string Estado() { return ReadFile(root + "/estado.rsp"); }
};

TEST_F(RunFixture, NoArgumentsPrintsTheUsage) {
  auto r = Zelta({});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.output.find("Version 1.5.1 - Protocolo KALDO\nUso: " + zelta + " [opciones] raiz\n"),
            std::string::npos)
      << r.output;
}

TEST_F(RunFixture, UnopenableLogFile) {
  auto r = Zelta({"-l", dir / "none/zelta.log", root});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.output, "Imposible abrir log " + dir / "none/zelta.log" + "\n");
  EXPECT_FALSE(Exists(root + "/estado.rsp"));
  EXPECT_FALSE(Exists(root + "/_zelta.lck"));
}

TEST_F(RunFixture, SecondRunOnALockedRootEndsWith19) {
  pid_t vivo = fork();
  if (vivo == 0) {
    pause();
    _exit(0);
  }
  char lock[16];
  snprintf(lock, sizeof lock, "%10d\n", vivo);
  WriteFile(root + "/_zelta.lck", lock);
  auto r = Zelta({"-ttcp", root});
  EXPECT_EQ(r.status, 19);
  EXPECT_EQ(ReadFile(root + "/_zelta.lck"), lock);
  EXPECT_NE(r.output.find("esta lockeando el archivo"), std::string::npos);
  EXPECT_FALSE(Exists(root + "/estado.rsp"));
  EXPECT_TRUE(Exists(root + "/upload/a.txt"));
  kill(vivo, SIGKILL);
  waitpid(vivo, nullptr, 0);
}

TEST_F(RunFixture, ConfigurationFailuresEndWith16) {
  struct Caso {
    const char *conf;  // nullptr: no file
    const char *estado;
  } casos[] = {
      {nullptr, "-15: Error desconocido\r\n"},
      {"CODIGOINTERURBANO=11\n", "-2: Error desconocido\r\n"},
      {"MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\nBLOCKSIZE=0\n", "-3: Error desconocido\r\n"},
  };
  for (const auto &c : casos) {
    unlink((prog + "/zelta.conf").c_str());
    if (c.conf != nullptr) WriteFile(prog + "/zelta.conf", c.conf);
    auto r = Zelta({"-t", "tcp", root});
    EXPECT_EQ(r.status, 16) << r.output;
    EXPECT_EQ(Estado(), c.estado);
    EXPECT_FALSE(Exists(root + "/_zelta.lck"));
    EXPECT_EQ(prueba::FileMode(root), 0775u);  // the directory lock is undone
  }
}

// In a run with a log file the configuration's messages are in the log too
// (standard output keeps them, as before), and every run ends with one
// summary line.
TEST_F(RunFixture, ConfigurationErrorsAlsoGoToTheLog) {
  WriteFile(prog + "/zelta.conf", "MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\nCOLOR=azul\nBPS=14400\n");
  std::string log = dir / "zelta.log";
  auto r = Zelta({"-t", "tcp", "-l", log, root});
  EXPECT_EQ(r.status, 16);
  EXPECT_EQ(r.output, "Error en linea 3: COLOR=azul\n\nVelocidad 14400 no soportada\n");
  std::string l = ReadFile(log);
  EXPECT_NE(l.find("[term01]: Error en linea 3: COLOR=azul\n"), std::string::npos) << l;
  EXPECT_NE(l.find("[term01]: Velocidad 14400 no soportada\n"), std::string::npos) << l;
  EXPECT_NE(l.find("[term01]: Resumen: terminal term01, resultado 16, enviados 0 bytes, recibidos 0 "
                   "bytes, "),
            std::string::npos)
      << l;
}

TEST_F(RunFixture, BundleAndDestinationFailures) {
  Destinos(9);
  // No header file: 13, nothing packed; the files stay and the half-made
  // bundle is removed (a left-over one would be retained by the next run).
  unlink((root + "/upload/_svl.0").c_str());
  auto r = Zelta({"-ttcp", root});
  EXPECT_EQ(r.status, 13) << r.output;
  EXPECT_EQ(Estado(), "13: No se pudo abrir archivo\r\n");
  EXPECT_FALSE(Exists(root + "/upload/input.dat"));
  EXPECT_TRUE(Exists(root + "/upload/a.txt"));
  EXPECT_FALSE(Exists(root + "/retenidos"));
  // No destination for the header: 16, and the bundle is retained.
  WriteFile(root + "/upload/_svl.0", "V1510799ABCDEFGH\r\n");
  r = Zelta({"-ttcp", root});
  EXPECT_EQ(r.status, 16) << r.output;
  EXPECT_EQ(Estado(), "16: Error de configuracion\r\n");
  EXPECT_FALSE(Exists(root + "/upload/input.dat"));
  auto retenidos = prueba::ListDir(root + "/retenidos");
  ASSERT_EQ(retenidos.size(), 1u);
  EXPECT_NE(retenidos[0].find(".subida"), std::string::npos);
  EXPECT_NE(ReadFile(root + "/retenidos/" + retenidos[0]).find("[a.txt]"), std::string::npos);
  EXPECT_NE(r.output.find("Destino no encontrado: empresa 7 actividad 99 clave ABCDEFGH"),
            std::string::npos);
  // No upload directory: 10.
  prueba::TempDir otro;
  r = Zelta({"-ttcp", otro.path});
  EXPECT_EQ(r.status, 10) << r.output;
  EXPECT_EQ(ReadFile(otro / "estado.rsp"), "10: Directorio no encontrado\r\n");
}

// Without download/ the answer would have nowhere to go: the run ends with
// 10 before packing, and the transaction stays in upload/ as it was.
TEST_F(RunFixture, MissingSpoolDirectoryGives10BeforeAnythingIsPacked) {
  Destinos(9);
  struct Caso {
    const char *nombre;
    std::function<void()> preparar;
  } casos[] = {
      {"download missing", [&] { rmdir((root + "/download").c_str()); }},
      {"download a file",
       [&] {
         rmdir((root + "/download").c_str());
         WriteFile(root + "/download", "no es un directorio\n");
       }},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    c.preparar();
    auto r = Zelta({"-ttcp", root});
    EXPECT_EQ(r.status, 10) << r.output;
    EXPECT_EQ(Estado(), "10: Directorio no encontrado\r\n");
    EXPECT_EQ(prueba::ListDir(root + "/upload"), (std::vector<std::string>{"_svl.0", "a.txt"}));
    EXPECT_FALSE(Exists(root + "/retenidos"));
    unlink((root + "/download").c_str());
  }
}

TEST_F(RunFixture, RefusedServerGives5AndLeavesNoBundle) {
  int puerto = prueba::FreePort();
  Destinos(puerto);
  // The port manager answers at once that it has nothing.
  auto pm = prueba::Spawn({prueba::Bin("portmgr-sim"), "--port", std::to_string(puerto), "9*none"});
  std::string log = dir / "zelta.log";
  auto r = Zelta({"-x20", "-t", "tcp", "-l", log, root + "/"});
  EXPECT_EQ(r.status, 5) << ReadFile(log);
  EXPECT_EQ(Estado(), "5: No se pudo conectar\r\n");
  EXPECT_FALSE(Exists(root + "/upload/input.dat"));
  EXPECT_FALSE(Exists(root + "/upload/a.txt"));
  EXPECT_FALSE(Exists(root + "/upload/_svl.0"));
  EXPECT_FALSE(Exists(root + "/_zelta.lck"));
  EXPECT_EQ(prueba::FileMode(root), 0775u);
  std::string l = ReadFile(log);
  for (const char *paso :
       {"[term01]: Cree el lock " , "Version 1.5.1 - Protocolo KALDO", "ArmarArchivo()",
        "Linea obtenida del _svl.0: V1510512ABCDEFGH", "Fallback conex II a I", "Escribi estado.rsp",
        "Exiting ..."}) {
    EXPECT_NE(l.find(paso), std::string::npos) << paso << "\n" << l;
  }
  EXPECT_NE(l.find("Cree el lock " + root + "/_zelta.lck"), std::string::npos);  // one '/'
  // The summary: the bundle went nowhere, nothing came back.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(l, m, std::regex("\\[term01\\]: Resumen: terminal term01, resultado 5, "
                                                 "enviados ([0-9]+) bytes, recibidos 0 bytes, "
                                                 "[0-9]+\\.[0-9] s\n")))
      << l;
  EXPECT_GT(std::stoi(m[1]), 40);
}

TEST_F(RunFixture, CleanExchangeDeliversTheDownload) {
  prueba::MakeDir(dir / "down");
  WriteFile(dir / "down/_ticket.prn", "Ticket\r\n");
  WriteFile(dir / "down/datos.bin", std::string("\x01\x08\x03z", 4));
  auto srv = prueba::Spawn({prueba::Bin("kaldo-server"), "--port-file", dir / "port",
                            "--download-dir", dir / "down", "--upload", dir / "up.dat"});
  ASSERT_TRUE(prueba::WaitUntil([&] { return !ReadFile(dir / "port").empty(); }, 10000));
  Destinos(std::stoi(ReadFile(dir / "port")));
  auto r = Zelta({"-ttcp", root});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Estado(), "0: Conexion OK\r\n");
  EXPECT_EQ(ReadFile(root + "/download/_ticket.prn"), "Ticket\r\n");
  EXPECT_EQ(ReadFile(root + "/download/datos.bin"), std::string("\x01\x08\x03z", 4));
  EXPECT_FALSE(Exists(root + "/download/output.dat"));
  EXPECT_FALSE(Exists(root + "/upload/input.dat"));
  EXPECT_EQ(srv.Wait(10000), 0);
  std::string up = ReadFile(dir / "up.dat");
  EXPECT_EQ(up.substr(0, 26), "[_svl.0]\r\nV1510512ABCDEFGH");
  EXPECT_NE(up.find("[a.txt]\r\nhola\r\n[FIN]\r\n"), std::string::npos) << up;
  // Bytes up: the bundle the server received; bytes down: its answer.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.output, m, std::regex("Resumen: terminal term01, resultado 0, enviados " +
                                                        std::to_string(up.size()) +
                                                        " bytes, recibidos ([0-9]+) bytes")))
      << r.output;
  EXPECT_GT(std::stoi(m[1]), 20);
}

}  // namespace
