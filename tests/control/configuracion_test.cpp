// zelta.conf: keys, limits, defaults, and every message of the reader.
#include <gtest/gtest.h>

#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

struct ConfigFixture : ConLogEnArchivo {
  std::string argv0;
  void SetUp() override {
    AbrirLog(1);
    g_corrida.raiz = dir.path;
    argv0 = dir / "zelta";
  }
  // Loads conf and returns the result; salida gets what was printed.
  int Cargar(const std::string &conf, std::string *salida) {
    prueba::WriteFile(dir / "zelta.conf", conf);
    testing::internal::CaptureStdout();
    int r = CargarConfiguracion(argv0.c_str());
    fflush(stdout);
    *salida = testing::internal::GetCapturedStdout();
    return r;
  }
};

const std::string kMinimo = "MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\n";

TEST_F(ConfigFixture, MinimalFileGetsTheDefaults) {
  std::string out;
  EXPECT_EQ(Cargar(kMinimo, &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_config.bps, static_cast<speed_t>(B9600));
  EXPECT_EQ(g_config.reintentos, 3);
  EXPECT_EQ(g_config.blocksize, 1024);
  EXPECT_EQ(g_config.mdmtimeout, 25);
  EXPECT_EQ(g_config.lockdir, "/var/lock");
  EXPECT_EQ(g_config.pairdevprefix, "cua");
  EXPECT_EQ(g_config.udpport, 0);
  EXPECT_EQ(g_config.tiempomaximo, 3600);
  EXPECT_EQ(g_config.modems, std::vector<std::string>{"/dev/ttyS0"});
  EXPECT_NE(Log().find("BPS no especificado o incorrecto. Tomando 9600"), std::string::npos);
}

TEST_F(ConfigFixture, EveryKeyIsStored) {
  std::string out;
  EXPECT_EQ(Cargar("modem = /dev/ttyS1\n"
                   "MODEM=/dev/ttyS2\n"
                   "# comment\n"
                   "\t \r\n"
                   "PREFIJO=0 ; remark\n"
                   "BPS=19200\n"
                   "REINTENTOS=5\n"
                   "BLOCKSIZE=4000\n"
                   "TELEFONO=5551234\n"
                   "TERMID=ABCDEFGH\n"
                   "INIT=ATZ\n"
                   "LOCKDIR=/tmp/locks\n"
                   "PAIRDEVPREFIX=*SCO\n"
                   "CodigoInterurbano=0351\n"
                   "MDMTIMEOUT=120\n"
                   "IGNORECONNSTR=1\n"
                   "TIEMPOMAXIMO=600\n"
                   "UDPPORT=65535",  // last line without its line feed
                   &out),
            0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_config.modems, (std::vector<std::string>{"/dev/ttyS1", "/dev/ttyS2"}));
  EXPECT_EQ(g_config.prefijo, "0");
  EXPECT_EQ(g_config.bps, static_cast<speed_t>(B19200));
  EXPECT_EQ(g_config.reintentos, 5);
  EXPECT_EQ(g_config.blocksize, 4000);
  EXPECT_EQ(g_config.telefono, "5551234");
  EXPECT_EQ(g_config.termid, "ABCDEFGH");
  EXPECT_EQ(g_config.init, "ATZ\r");
  EXPECT_EQ(g_config.lockdir, "/tmp/locks");
  EXPECT_EQ(g_config.pairdevprefix, "*SCO");
  EXPECT_EQ(g_config.codigointerurbano, "0351");
  EXPECT_EQ(g_config.mdmtimeout, 120);
  EXPECT_EQ(g_config.ignoreconnstr, 1);
  EXPECT_EQ(g_config.udpport, 65535);
  EXPECT_EQ(g_config.tiempomaximo, 600);
  RebobinarModems();
  EXPECT_STREQ(SiguienteModem(), "/dev/ttyS1");
  EXPECT_STREQ(SiguienteModem(), "/dev/ttyS2");
  EXPECT_EQ(SiguienteModem(), nullptr);
  RebobinarModems();
  EXPECT_STREQ(SiguienteModem(), "/dev/ttyS1");
}

TEST_F(ConfigFixture, FaultyValuesAndLines) {
  struct Caso {
    std::string extra;
    int resultado;
    std::string salida;
  } casos[] = {
      {"BLOCKSIZE=0\n", -3,
       "Error: Parametro BLOCKSIZE demasiado largo\nError en linea 3: BLOCKSIZE=0 fuera de rango (1 a 4000)\n"},
      {"BLOCKSIZE=4001\n", -3,
       "Error: Parametro BLOCKSIZE demasiado largo\nError en linea 3: BLOCKSIZE=4001 fuera de rango (1 a 4000)\n"},
      {"REINTENTOS=0\n", -3,
       "Error: Parametro REINTENTOS demasiado largo\nError en linea 3: REINTENTOS=0 fuera de rango (1 a 1000)\n"},
      {"MDMTIMEOUT=121\n", -3,
       "Error: Parametro MDMTIMEOUT demasiado largo\nError en linea 3: MDMTIMEOUT=121 fuera de rango (1 a 120)\n"},
      {"IGNORECONNSTR=2\n", -3,
       "Error: Parametro IGNORECONNSTR demasiado largo\nError en linea 3: IGNORECONNSTR=2 fuera de rango (0 a 1)\n"},
      {"UDPPORT=70000\n", -3,
       "Error: Parametro UDPPORT demasiado largo\nError en linea 3: UDPPORT=70000 fuera de rango (0 a 65535)\n"},
      {"TIEMPOMAXIMO=0\n", -3,
       "Error: Parametro TIEMPOMAXIMO demasiado largo\nError en linea 3: TIEMPOMAXIMO=0 fuera de rango (1 a 86400)\n"},
      {"TERMID=1234567\n", -3, "TERMID no valido\n"},
      {"TERMID=123456789\n", -3, "Error: Parametro TERMID demasiado largo\n"},
      {"PREFIJO=12345\n", -3, "Error: Parametro PREFIJO demasiado largo\n"},
      {"BPS=14400\n", 0, "Velocidad 14400 no soportada\n"},
      {"BPS=0\n", 0, ""},
      {" MODEM=/dev/x\n", -3, "Error en linea 3:  MODEM=/dev/x\n\n"},
      {"  # not a comment\n", -3, "Error en linea 3:   # not a comment\n\n"},
      {"MODEMS=/dev/x\n", -3, "Error en linea 3: MODEMS=/dev/x\n\n"},
      {"COLOR=azul\n", -3, "Error en linea 3: COLOR=azul\n\n"},
      {"PREFIJO 0\n", -3, "Error en linea 3: PREFIJO 0\n\n"},
      {"#" + std::string(77, 'x') + "\n", 0, ""},
      {"#" + std::string(78, 'x') + "\n", -3, "Error: Linea 3 demasiado larga.\n"},
      {"BLOCKSIZE=5000\nTERMID=1\n", -3,
       "Error: Parametro BLOCKSIZE demasiado largo\nError en linea 3: BLOCKSIZE=5000 fuera de rango (1 a "
       "4000)\nTERMID no valido\n"},
  };
  for (const auto &c : casos) {
    std::string out;
    EXPECT_EQ(Cargar(kMinimo + c.extra, &out), c.resultado) << c.extra;
    EXPECT_EQ(out, c.salida) << c.extra;
  }
}

TEST_F(ConfigFixture, NumbersOutsideTheirRangeNeverWrap) {
  // atoi took 4294967297 as 1 and 4294977896 (2^32 + 9600) as 9600. Every
  // number key: a value past either end of its documented range, at any
  // length, is an error that names the key, the line and the range, and
  // the key keeps its default.
  struct Caso {
    std::string linea;
    std::string rango;
  } casos[] = {
      {"REINTENTOS=4294967297", "1 a 1000"},
      {"REINTENTOS=1001", "1 a 1000"},
      {"REINTENTOS=-4294967295", "1 a 1000"},
      {"BLOCKSIZE=4294968320", "1 a 4000"},
      {"MDMTIMEOUT=99999999999999999999999", "1 a 120"},
      {"IGNORECONNSTR=4294967297", "0 a 1"},
      {"UDPPORT=4294967296", "0 a 65535"},
      {"UDPPORT=-1", "0 a 65535"},
      {"ESPERAMODEM=86401", "0 a 86400"},
      {"TIEMPOMAXIMO=4294967297", "1 a 86400"},
      {"TIEMPOMAXIMO=86401", "1 a 86400"},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.linea);
    std::string out;
    EXPECT_EQ(Cargar(kMinimo + c.linea + "\n", &out), -3);
    std::string clave = c.linea.substr(0, c.linea.find('='));
    EXPECT_EQ(out, "Error: Parametro " + clave + " demasiado largo\nError en linea 3: " + c.linea +
                       " fuera de rango (" + c.rango + ")\n");
    Configuracion porDefecto;
    EXPECT_EQ(g_config.reintentos, porDefecto.reintentos);
    EXPECT_EQ(g_config.tiempomaximo, porDefecto.tiempomaximo);
    EXPECT_EQ(g_config.udpport, porDefecto.udpport);
  }
  // The speed: beyond an int it is out of range; inside, as before.
  std::string out;
  EXPECT_EQ(Cargar(kMinimo + "BPS=4294976896\n", &out), -3);
  EXPECT_EQ(out, "Error en linea 3: BPS=4294976896 fuera de rango (-2147483648 a 2147483647)\n");
  // The ends of each range are accepted, as is what follows the digits.
  EXPECT_EQ(Cargar(kMinimo + "REINTENTOS=1000\nESPERAMODEM=86400\nTIEMPOMAXIMO= 86400 s\nUDPPORT=0\n",
                   &out),
            0)
      << out;
  EXPECT_EQ(g_config.reintentos, 1000);
  EXPECT_EQ(g_config.esperamodem, 86400);
  EXPECT_EQ(g_config.tiempomaximo, 86400);
}

TEST_F(ConfigFixture, CheckRunReportsTheRangeWithTheLine) {
  prueba::WriteFile(dir / "zelta.conf", kMinimo + "REINTENTOS=4294967297\n");
  std::vector<Hallazgo> hallazgos;
  RevisarConfiguracion(argv0.c_str(), hallazgos);
  bool visto = false;
  for (const Hallazgo &h : hallazgos) {
    if (h.linea == 3 && h.texto == "Error en linea 3: REINTENTOS=4294967297 fuera de rango (1 a 1000)")
      visto = true;
  }
  EXPECT_TRUE(visto);
  EXPECT_FALSE(hallazgos.empty());  // so -c does not say "Configuracion correcta"
}

TEST_F(ConfigFixture, StoredValuesAfterFaults) {
  std::string out;
  Cargar(kMinimo + "TERMID=123456789\nBLOCKSIZE=512\nBLOCKSIZE=9999\nBPS=2400\nBPS=14400\n", &out);
  EXPECT_EQ(g_config.termid, "12345678");  // the cut value stays
  EXPECT_EQ(g_config.blocksize, 512);      // the earlier valid value stays
  EXPECT_EQ(g_config.bps, static_cast<speed_t>(B9600));  // unsupported later speed: 0, then 9600
  Cargar(kMinimo + "INIT=ATZ\nINIT=\n", &out);
  EXPECT_EQ(g_config.init, "");  // no value: no initialisation, not a bare CR
  Cargar(kMinimo + "MODEM=\n", &out);
  EXPECT_EQ(g_config.modems, (std::vector<std::string>{"/dev/ttyS0", ""}));
}

TEST_F(ConfigFixture, LongLineStopsTheReading) {
  std::string out;
  EXPECT_EQ(Cargar(kMinimo + "PREFIJO=" + std::string(71, '1') + "\nBLOCKSIZE=99\n", &out), -3);
  EXPECT_EQ(out, "Error: Linea 3 demasiado larga.\n");
  EXPECT_EQ(g_config.blocksize, 1024);  // the rest of the file was not read
  // 78 characters is still a line.
  EXPECT_EQ(Cargar(kMinimo + "TELEFONO=1" + std::string(68, ' ') + "\n", &out), 0);
}

TEST_F(ConfigFixture, MissingSettingsAreAllReported) {
  std::string out;
  EXPECT_EQ(Cargar("BPS=1\n", &out), -2);
  EXPECT_EQ(out, "Velocidad 1 no soportada\n");
  std::string l = Log();
  EXPECT_NE(l.find("Debe especificar un MODEM"), std::string::npos);
  EXPECT_NE(l.find("BPS no especificado o incorrecto. Tomando 9600"), std::string::npos);
  EXPECT_NE(l.find("Debe especificar un CODIGOINTERURBANO"), std::string::npos);
}

TEST_F(ConfigFixture, MissingFile) {
  testing::internal::CaptureStdout();
  g_config.blocksize = 77;
  int r = CargarConfiguracion((dir / "none/zelta").c_str());
  fflush(stdout);
  EXPECT_EQ(r, -15);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "No se encontro archivo zelta.conf\n");
  EXPECT_EQ(g_config.blocksize, 77);  // nothing touched
}

TEST(Velocidades, SpeedTable) {
  EXPECT_EQ(BuscarVelocidad(50), static_cast<speed_t>(B50));
  EXPECT_EQ(BuscarVelocidad(115200), static_cast<speed_t>(B115200));
  EXPECT_EQ(BuscarVelocidad(0), 0u);
}

}  // namespace
