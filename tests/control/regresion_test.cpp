// Faults the fuzz targets found in the control module, each kept by the
// input that showed it.
#include <gtest/gtest.h>

#include <string>

#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

struct RegresionControl : ConLogEnArchivo {
  void SetUp() override {
    AbrirLog(20);
    g_corrida.dirprog = dir.path + "/";
    ConfiguracionPorDefecto();
  }
};

// A NUL byte in zelta.destinos used to end the text of its line there (and
// a line that began with one left an empty text that was read past its
// start): the rest of the line was then joined to the next line, which
// could turn two broken lines into one destination. A line holding a NUL
// byte is malformed and skipped; the lines around it read as they stand.
TEST_F(RegresionControl, NulByteInDestinationTableSpoilsOnlyItsLine) {
  struct Caso {
    const char *nombre;
    std::string tabla;
    int resultado;
    const char *servidor;
  } casos[] = {
      {"line starting with NUL", std::string("\0\0\n5 12 * - bueno 40123\n", 24), 0, "bueno"},
      {"NUL before the host", std::string("5 12 * - \0 resto\nmalo 40123\n", 28), 16, ""},
      {"NUL inside a field", std::string("5 12 * - ma\0lo 1\n5 12 * - bueno 2\n", 34), 0,
       "bueno"},
      {"NUL at the end of the last line", std::string("5 12 * - bueno 1\0", 17), 16, ""},
  };
  for (const auto &c : casos) {
    prueba::WriteFile(dir / "zelta.destinos", c.tabla);
    g_config.servidor.clear();
    Destino d;
    d.empresa = 5;
    d.actividad = 12;
    EXPECT_EQ(BuscarDestino(d), c.resultado) << c.nombre;
    EXPECT_EQ(g_config.servidor, c.servidor) << c.nombre;
  }
}

}  // namespace
