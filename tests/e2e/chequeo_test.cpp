// chequeo_test.cpp - zelta -c names each problem the way a run judges it:
// a number out of its range with the range, a speed the run cannot use
// with the speeds it can (a warning: the run takes 9600 and goes on), the
// MODEM devices, and the destination hosts (a warning when one does not
// resolve). Warnings alone leave the exit status 0.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "support.h"

namespace {

using prueba::WriteFile;

using prueba::Lineas;

const std::string kSoportadas =
    "50 75 110 134 150 200 300 600 1200 1800 2400 4800 9600 19200 38400 57600 115200";

struct Chequeo : ::testing::Test {
  prueba::TempDir dir;
  std::string prog, zelta;
  void SetUp() override {
    prog = dir / "prog";
    zelta = prueba::InstallClient(prog);
  }
  // Runs zelta -c over the files and checks its status and its lines;
  // "@" in an expected line stands for the program directory. Without
  // faults the last line is the one that says the files are right.
  void Comprobar(const std::string &conf, const std::string &destinos, int estado,
                 std::vector<std::string> salida) {
    WriteFile(prog + "/zelta.conf", conf);
    WriteFile(prog + "/zelta.destinos", destinos);
    auto r = prueba::Run({zelta, "-c"}, 20000);
    EXPECT_EQ(r.status, estado) << r.output;
    if (estado == 0) salida.push_back("Configuracion correcta: @zelta.conf, @zelta.destinos");
    for (std::string &l : salida) {
      for (size_t p; (p = l.find('@')) != std::string::npos;) l.replace(p, 1, prog + "/");
    }
    EXPECT_EQ(Lineas(r.output), salida);
  }
  std::string Base() const { return "MODEM=/dev/null\nCODIGOINTERURBANO=11\nLOCKDIR=" + dir.path + "\n"; }
};

const char kDestinos[] = "5 12 * - 127.0.0.1 7001\n";

TEST_F(Chequeo, EachSettingWithWhatIsWrongAndTheRunsJudgement) {
  struct Caso {
    std::string linea;    // line 4 of zelta.conf
    std::string hallazgo; // "" none
    int estado;
  } casos[] = {
      {"REINTENTOS=0", "Error en linea 4: REINTENTOS=0 fuera de rango (1 a 1000)", 16},
      {"REINTENTOS=1000", "", 0},
      {"BLOCKSIZE=9000", "Error en linea 4: BLOCKSIZE=9000 fuera de rango (1 a 4000)", 16},
      {"MDMTIMEOUT=121", "Error en linea 4: MDMTIMEOUT=121 fuera de rango (1 a 120)", 16},
      {"IGNORECONNSTR=2", "Error en linea 4: IGNORECONNSTR=2 fuera de rango (0 a 1)", 16},
      {"UDPPORT=70000", "Error en linea 4: UDPPORT=70000 fuera de rango (0 a 65535)", 16},
      {"ESPERAMODEM=-1", "Error en linea 4: ESPERAMODEM=-1 fuera de rango (0 a 86400)", 16},
      {"TIEMPOMAXIMO=0", "Error en linea 4: TIEMPOMAXIMO=0 fuera de rango (1 a 86400)", 16},
      {"RESERVA=100", "Error en linea 4: RESERVA=100 fuera de rango (0 a 99)", 16},
      // A run says the speed is not supported, takes 9600 and goes on.
      {"BPS=14400", "Aviso: Velocidad 14400 no soportada; se toma 9600 (soportadas: " + kSoportadas + ")", 0},
      {"BPS=0", "Aviso: Velocidad 0 no soportada; se toma 9600 (soportadas: " + kSoportadas + ")", 0},
      {"BPS=abc", "Aviso: Velocidad 0 no soportada; se toma 9600 (soportadas: " + kSoportadas + ")", 0},
      {"BPS=115200", "", 0},
      // Past an int the run refuses the file.
      {"BPS=4294976896", "Error en linea 4: BPS=4294976896 fuera de rango (-2147483648 a 2147483647)", 16},
      {"TERMID=123456789", "Error: Parametro TERMID demasiado largo (maximo 8 caracteres)", 16},
      {"PREFIJO=12345", "Error: Parametro PREFIJO demasiado largo (maximo 4 caracteres)", 16},
      {"TERMID=1234567", "TERMID no valido", 16},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.linea);
    std::vector<std::string> salida;
    if (!c.hallazgo.empty()) salida.push_back("@zelta.conf:4: " + c.hallazgo);
    Comprobar(Base() + c.linea + "\n", kDestinos, c.estado, salida);
  }
}

TEST_F(Chequeo, ModemDevices) {
  WriteFile(dir / "archivo", "no es un modem\n");
  prueba::MakeDir(dir / "carpeta");
  ASSERT_EQ(symlink("/dev/null", (dir / "enlace").c_str()), 0);
  struct Caso {
    const char *nombre;
    std::string modem;
    std::string hallazgo;
    int estado;
  } casos[] = {
      {"character device", "/dev/null", "", 0},
      {"link to one", dir / "enlace", "", 0},
      // Unplugged, or never used on a TCP-only site: a run skips it.
      {"missing", dir / "nada", "Aviso: MODEM " + dir / "nada" + " no existe", 0},
      {"no value", "", "Aviso: MODEM sin dispositivo", 0},
      {"regular file", dir / "archivo",
       "MODEM " + dir / "archivo" + " no es un dispositivo de caracteres", 16},
      {"directory", dir / "carpeta", "MODEM " + dir / "carpeta" + " no es un dispositivo de caracteres",
       16},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    // Each MODEM line is checked, under its own line number.
    std::vector<std::string> salida;
    if (!c.hallazgo.empty()) {
      salida = {"@zelta.conf:1: " + c.hallazgo, "@zelta.conf:3: " + c.hallazgo};
    }
    Comprobar("MODEM=" + c.modem + "\nCODIGOINTERURBANO=11\nMODEM=" + c.modem + "\nLOCKDIR=" + dir.path +
                  "\n",
              kDestinos, c.estado, salida);
  }
}

TEST_F(Chequeo, DestinationHosts) {
  struct Caso {
    const char *host;
    bool resuelve;
  } casos[] = {
      {"localhost", true},
      {"127.0.0.1", true},
      {"::1", true},
      // Reserved never to resolve.
      {"nohay.zelta.invalid", false},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.host);
    std::string h = c.host;
    // The host on two lines: each is named.
    std::string destinos = "5 12 * - " + h + " 7001\n# otro\n6 1 * 5550000 " + h + " 7001\n";
    std::vector<std::string> salida;
    if (!c.resuelve) {
      for (int linea : {1, 3}) {
        std::string n = std::to_string(linea);
        salida.push_back("@zelta.destinos:" + n + ": Aviso: Linea " + n + " de zelta.destinos: SERVIDOR " +
                         h + " no es una direccion ni un nombre que se resuelva (");
      }
    }
    WriteFile(prog + "/zelta.conf", Base());
    WriteFile(prog + "/zelta.destinos", destinos);
    auto r = prueba::Run({zelta, "-c"}, 60000);
    EXPECT_EQ(r.status, 0) << r.output;  // a warning only
    auto lineas = Lineas(r.output);
    ASSERT_EQ(lineas.size(), salida.size() + 1) << r.output;
    for (size_t i = 0; i < salida.size(); i++) {
      std::string esperada = salida[i];
      esperada.replace(esperada.find('@'), 1, prog + "/");
      // The resolver's own reason follows, in its words.
      EXPECT_EQ(lineas[i].substr(0, esperada.size()), esperada);
      EXPECT_EQ(lineas[i].back(), ')');
    }
    EXPECT_EQ(lineas.back(), "Configuracion correcta: " + prog + "/zelta.conf, " + prog + "/zelta.destinos");
  }
}

// Warnings and faults together: every one is named, and the faults decide.
TEST_F(Chequeo, WarningsBesideAFaultStillFail) {
  Comprobar("MODEM=" + dir / "nada" + "\nCODIGOINTERURBANO=11\nBPS=14400\nREINTENTOS=0\nLOCKDIR=" +
                dir.path + "\n",
            kDestinos, 16,
            {"@zelta.conf:1: Aviso: MODEM " + dir / "nada" + " no existe",
             "@zelta.conf:3: Aviso: Velocidad 14400 no soportada; se toma 9600 (soportadas: " + kSoportadas +
                 ")",
             "@zelta.conf:4: Error en linea 4: REINTENTOS=0 fuera de rango (1 a 1000)"});
}

}  // namespace
