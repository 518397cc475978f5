// The command line and the host identification.
#include <gtest/gtest.h>

#include "run.h"
#include "support.h"

namespace {

struct Resultado {
  int r;
  EstadoCorrida estado;
  std::string salida;
};

Resultado Parsear(std::vector<std::string> args) {
  g_corrida = EstadoCorrida();
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  int r = LeerLineaComandos(static_cast<int>(args.size()), argv.data());
  fflush(stdout);
  return {r, g_corrida, testing::internal::GetCapturedStdout()};
}

const char kUso[] =
    "Version 1.5.1 - Protocolo KALDO\n"
    "Uso: /opt/zelta/zelta [opciones] raiz\n"
    "\t/opt/zelta/zelta -u [opciones]  Actualizar version de ZELTA\n"
    "\t/opt/zelta/zelta -r [opciones] raiz  Reenviar las transacciones retenidas\n"
    "\nOpciones:\n"
    "-t {dialup|tcp} Transporte\n"
    "-p fuerza el uso del PortMgr\n"
    "-l logfile Archivo de log\n"
    "-xN Debuglevel N (0-sin salida, 10-maximo)\n"
    "\nOtros modos:\n"
    "\t/opt/zelta/zelta -s [-q] basedir  Estado de las terminales de basedir\n"
    "\t/opt/zelta/zelta -c  Verificar zelta.conf y zelta.destinos\n"
    "\t/opt/zelta/zelta --version  Version del programa y del paquete\n";

TEST(LineaComandos, FaultyCommandLinesPrintTheUsage) {
  std::vector<std::vector<std::string>> casos = {
      {},
      {"-x5"},
      {"-t", "tcp", "-p"},
      {"-t", "TCP", "/r"},
      {"-tserial", "/r"},
      {"/r", "/s"},
      {"/r", "-u"},
      {"-u", "/r"},
      {"-u", "-u"},
      {"-r"},
      {"-r", "-u"},
      {"-u", "-r"},
      {"-", "/r"},
      {"-z", "/r"},
      {"/r", "-x"},
      {"/r", "-t"},
      {"/r", "-l"},
  };
  for (auto c : casos) {
    c.insert(c.begin(), "/opt/zelta/zelta");
    Resultado res = Parsear(c);
    EXPECT_EQ(res.r, -1) << testing::PrintToString(c);
    size_t fin = res.salida.find('\n');
    ASSERT_NE(fin, std::string::npos);
    EXPECT_EQ(res.salida.substr(fin + 1), kUso) << testing::PrintToString(c);
  }
}

TEST(LineaComandos, OptionsInAnyOrderAndForm) {
  struct Caso {
    std::vector<std::string> args;
    ModoCorrida modo;
    Transporte transporte;
    int debug;
    bool portmgr;
    const char *raiz, *log;
    bool reenvio = false;
  } casos[] = {
      {{"/r"}, kModoSesion, kTransporteDialup, 1, false, "/r", ""},
      {{"-r", "-ttcp", "/r"}, kModoSesion, kTransporteTCP, 1, false, "/r", "", true},
      {{"/r", "-r"}, kModoSesion, kTransporteDialup, 1, false, "/r", "", true},
      {{"-x5", "-ttcp", "/r"}, kModoSesion, kTransporteTCP, 5, false, "/r", ""},
      {{"/r", "-x", "5", "-t", "tcp"}, kModoSesion, kTransporteTCP, 5, false, "/r", ""},
      {{"-t", "tcp", "-t", "dialup", "/r"}, kModoSesion, kTransporteDialup, 1, false, "/r", ""},
      {{"-l/tmp/a.log", "-l", "/tmp/b.log", "/r"}, kModoSesion, kTransporteDialup, 1, false, "/r", "/tmp/b.log"},
      {{"-pxyz", "/r", "-x", "abc"}, kModoSesion, kTransporteDialup, 0, true, "/r", ""},
      {{"-x-3", "-uignored"}, kModoActualizar, kTransporteDialup, -3, false, "/opt/zelta/", ""},
  };
  for (auto &c : casos) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "/opt/zelta/zelta");
    Resultado res = Parsear(args);
    ASSERT_EQ(res.r, 0) << testing::PrintToString(c.args);
    EXPECT_EQ(res.salida, "");
    EXPECT_EQ(res.estado.modo, c.modo);
    EXPECT_EQ(res.estado.transporte, c.transporte);
    EXPECT_EQ(res.estado.debuglevel, c.debug);
    EXPECT_EQ(res.estado.forzarportmgr, c.portmgr);
    EXPECT_EQ(res.estado.raiz, c.raiz);
    EXPECT_EQ(res.estado.archivolog, c.log);
    EXPECT_EQ(res.estado.reenvio, c.reenvio);
    EXPECT_EQ(res.estado.dirprog, "/opt/zelta/");
  }
  EXPECT_EQ(Parsear({"zelta", "/r"}).estado.dirprog, "./");
  g_corrida = EstadoCorrida();
}

TEST(Identificacion, MachineIdMustBe32HexDigits) {
  prueba::TempDir dir;
  struct Caso {
    const char *contenido;
    int resultado;
  } casos[] = {
      {"3d1219c7c4c5404aaa1f6d2a48adfda4\n", 0},
      {"3D1219C7C4C5404AAA1F6D2A48ADFDA4", 0},
      {"3d1219c7c4c5404aaa1f6d2a48adfda", -2},
      {"3d1219c7c4c5404aaa1f6d2a48adfdz4\n", -2},
      {"", -2},
  };
  for (const auto &c : casos) {
    prueba::WriteFile(dir / "machine-id", c.contenido);
    g_corrida = EstadoCorrida();
    g_corrida.rutamachineid = dir / "machine-id";
    EXPECT_EQ(ObtenerIdentificacion(), c.resultado) << c.contenido;
    if (c.resultado == 0) {
      EXPECT_EQ(g_corrida.hostid, std::string(c.contenido, 32));
    }
  }
  g_corrida.rutamachineid = dir / "none";
  EXPECT_EQ(ObtenerIdentificacion(), -2);
  g_corrida = EstadoCorrida();
}

}  // namespace
