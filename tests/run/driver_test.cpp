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
    "\t/opt/zelta/zelta -r --limpiar DIAS raiz  Borrar las carpetas de respuesta de retenidos/ de mas de DIAS dias\n"
    "\nOpciones:\n"
    "-t {dialup|tcp} Transporte\n"
    "-p fuerza el uso del PortMgr\n"
    "-l logfile Archivo de log\n"
    "-xN Debuglevel N (0-sin salida, 10-maximo)\n"
    "\nOtros modos:\n"
    "\t/opt/zelta/zelta -s [-q|-j] [-w MINUTOS] [-e HORAS] [-P ARCHIVO] basedir  Estado de las terminales de basedir\n"
    "\t/opt/zelta/zelta -c  Verificar zelta.conf y zelta.destinos\n"
    "\t/opt/zelta/zelta --version  Version del programa y del paquete\n"
    "\t/opt/zelta/zelta --help  Esta ayuda\n"
    "\nOpciones de -s:\n"
    "-q una linea por terminal, campos separados por tabuladores\n"
    "-j un documento JSON\n"
    "-w MINUTOS espera maxima de una marca en tx/ (10)\n"
    "-e HORAS antiguedad maxima del ultimo resultado (sin limite)\n"
    "-P ARCHIVO metricas para Prometheus, reemplazadas de una vez\n"
    "Salida de -s: 0 bien, 1 fallo o retenidos, 2 marca demorada o sin rondador, 3 base ilegible\n";

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
      // Every letter after '-' is an option: one that is not, anywhere in
      // the group, is refused (these trailing letters were once ignored).
      {"-x-3", "-uignored"},
      {"-pz", "/r"},
      {"-sz", "/base"},
      // The status run's options: only with -s, -q or -j, whole numbers.
      {"-sqj", "/base"},
      {"-j", "/r"},
      {"-w", "5", "/r"},
      {"-P", "/tmp/m.prom", "/r"},
      {"-s", "-w", "diez", "/base"},
      {"-s", "-w", "-1", "/base"},
      {"-s", "-w10m", "/base"},
      {"-s", "-e", "0", "/base"},
      {"-s", "-e", "", "/base"},
      {"-s", "-P", "", "/base"},
      {"-s", "/base", "-w"},
      // --limpiar: with -r only, a number of days.
      {"--limpiar", "7", "/r"},
      {"-r", "--limpiar", "/r"},
      {"-r", "--limpiar", "siete", "/r"},
      {"-r", "/r", "--limpiar"},
      {"-r", "--limpiar=", "/r"},
      {"-s", "--limpiar", "7", "/base"},
      {"--nada", "/r"},
      {"--", "-s", "/base"},
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
      {{"-x-3", "-u"}, kModoActualizar, kTransporteDialup, -3, false, "/opt/zelta/", ""},
      // Grouped letters; a value letter takes the rest of its argument.
      {{"-pttcp", "/r"}, kModoSesion, kTransporteTCP, 1, true, "/r", ""},
      {{"-rpx7", "/r"}, kModoSesion, kTransporteDialup, 7, true, "/r", "", true},
      {{"-px", "4", "-rl/tmp/c.log", "/r"}, kModoSesion, kTransporteDialup, 4, true, "/r", "/tmp/c.log", true},
      {{"-u", "-x", "-3"}, kModoActualizar, kTransporteDialup, -3, false, "/opt/zelta/", ""},
      // "--" ends the options: what follows is the root, dash or not.
      {{"-p", "--", "-raiz"}, kModoSesion, kTransporteDialup, 1, true, "-raiz", ""},
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

TEST(LineaComandos, StatusAndCleanupOptions) {
  struct Caso {
    std::vector<std::string> args;
    ModoCorrida modo;
    bool tabulado, json;
    const char *prometheus;
    long long esperamax, edadmax, limpiar;
  } casos[] = {
      {{"-s", "/base"}, kModoEstado, false, false, "", 10, -1, -1},
      {{"-sq", "/base"}, kModoEstado, true, false, "", 10, -1, -1},
      {{"/base", "-qs"}, kModoEstado, true, false, "", 10, -1, -1},
      {{"-sjw30", "-e", "24", "/base"}, kModoEstado, false, true, "", 30, 24, -1},
      {{"-s", "-w", "0", "-e48", "-P/var/m.prom", "/base"}, kModoEstado, false, false, "/var/m.prom", 0, 48, -1},
      {{"-sqP", "/var/m.prom", "/base"}, kModoEstado, true, false, "/var/m.prom", 10, -1, -1},
      {{"-r", "--limpiar", "30", "/r"}, kModoSesion, false, false, "", 10, -1, 30},
      {{"/r", "--limpiar=0", "-r"}, kModoSesion, false, false, "", 10, -1, 0},
  };
  for (auto &c : casos) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "/opt/zelta/zelta");
    Resultado res = Parsear(args);
    ASSERT_EQ(res.r, 0) << testing::PrintToString(c.args) << res.salida;
    EXPECT_EQ(res.estado.modo, c.modo);
    EXPECT_EQ(res.estado.tabulado, c.tabulado);
    EXPECT_EQ(res.estado.json, c.json);
    EXPECT_EQ(res.estado.prometheus, c.prometheus);
    EXPECT_EQ(res.estado.esperamax, c.esperamax);
    EXPECT_EQ(res.estado.edadmax, c.edadmax);
    EXPECT_EQ(res.estado.limpiardias, c.limpiar);
    EXPECT_EQ(res.estado.reenvio, c.limpiar >= 0);
  }
  g_corrida = EstadoCorrida();
}

TEST(LineaComandos, HelpPrintsTheUsageAndAsksForExitZero) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-s", "--help"}, {"/r", "-x5", "--help", "/s"}}) {
    args.insert(args.begin(), "/opt/zelta/zelta");
    Resultado res = Parsear(args);
    EXPECT_EQ(res.r, kPideAyuda) << testing::PrintToString(args);
    size_t fin = res.salida.find('\n');
    ASSERT_NE(fin, std::string::npos);
    EXPECT_EQ(res.salida.substr(fin + 1), kUso);
  }
  // An error met before --help is the error.
  EXPECT_EQ(Parsear({"/opt/zelta/zelta", "-z", "--help"}).r, -1);
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
