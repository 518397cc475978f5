// The bundle header line and the destination table zelta.destinos.
#include <gtest/gtest.h>

#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

struct DestinoFixture : ConLogEnArchivo {
  void SetUp() override {
    AbrirLog(20);
    g_corrida.raiz = dir / "root";
    g_corrida.dirprog = dir.path + "/";
    prueba::MakeDir(dir / "root");
    prueba::MakeDir(dir / "root/upload");
    ConfiguracionPorDefecto();
  }
};

TEST_F(DestinoFixture, HeaderLineFields) {
  struct Caso {
    const char *linea;
    int resultado, empresa, actividad;
    const char *clave;
  } casos[] = {
      {"V1510512abcdefgh0123", 0, 5, 12, "ABCDEFGH"},
      {"0512abcdefgh", 0, 5, 12, "ABCDEFGH"},
      {"0512abc", 0, 5, 12, ""},
      {"V15105", 16, 0, 0, ""},
      {"051", 16, 0, 0, ""},
      {"0A12ABCDEFGH", 16, 0, 0, ""},
      {"", 16, 0, 0, ""},
  };
  for (const auto &c : casos) {
    Destino d;
    EXPECT_EQ(ParsearEncabezado(c.linea, d), c.resultado) << c.linea;
    if (c.resultado != 0) continue;
    EXPECT_EQ(d.empresa, c.empresa) << c.linea;
    EXPECT_EQ(d.actividad, c.actividad) << c.linea;
    EXPECT_EQ(d.clave, c.clave) << c.linea;
  }
  EXPECT_NE(Log().find("Linea de encabezado invalida: 051"), std::string::npos);
}

// Both readers of the header line (the destination lookup and the packing
// of upload/) tell a line too short for the codes from codes that are not
// digits by this result.
TEST_F(DestinoFixture, HeaderLineCodes) {
  struct Caso {
    const char *linea;
    ResultadoCodigos resultado;
    size_t inicio;
    int empresa, actividad;
  } casos[] = {
      {"V1510512ABCDEFGH", kCodigosBien, 4, 5, 12},
      {"0512", kCodigosBien, 0, 5, 12},
      {"9900zz", kCodigosBien, 0, 99, 0},
      {"V151051", kCodigosCortos, 0, 0, 0},
      {"051", kCodigosCortos, 0, 0, 0},
      {"", kCodigosCortos, 0, 0, 0},
      {"05ab", kCodigosInvalidos, 0, 0, 0},
      {"V15105x2", kCodigosInvalidos, 0, 0, 0},
      {"-512", kCodigosInvalidos, 0, 0, 0},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.linea);
    size_t inicio = 0;
    int empresa = 0, actividad = 0;
    EXPECT_EQ(LeerCodigos(c.linea, &inicio, &empresa, &actividad), c.resultado);
    if (c.resultado != kCodigosBien) continue;
    EXPECT_EQ(inicio, c.inicio);
    EXPECT_EQ(empresa, c.empresa);
    EXPECT_EQ(actividad, c.actividad);
  }
}

const char kTabla[] =
    "# empresa actividad clave telefono servidor puerto\n"
    "\n"
    "5 12 ABCDEFGH 5551111 uno.example 1001\n"
    "5 12 * - dos.example 1002\r\n"
    "7 1 zzzzzzzz 4 tres 1003\n"
    "8 1 malo - x 70000\n"
    "8 1 CORTA - x 1\n"
    "8 1 * - x\n"
    "8\t2\t*\t-\tcuatro\t65535\n";

TEST_F(DestinoFixture, LookupTakesTheFirstMatchingLine) {
  prueba::WriteFile(dir / "zelta.destinos", kTabla);
  struct Caso {
    int empresa, actividad;
    const char *clave;
    int resultado;
    const char *telefono, *servidor;
    unsigned short puerto;
  } casos[] = {
      {5, 12, "ABCDEFGH", 0, "5551111", "uno.example", 1001},
      {5, 12, "abcdefgh", 0, "5551111", "uno.example", 1001},
      {5, 12, "OTRACLAV", 0, "", "dos.example", 1002},
      {5, 12, "", 0, "", "dos.example", 1002},
      {7, 1, "ZZZZZZZZ", 0, "4", "tres", 1003},
      {7, 1, "AAAAAAAA", 16, "", "", 0},
      {8, 2, "X", 0, "", "cuatro", 65535},
      {8, 1, "CORTA", 16, "", "", 0},
      {9, 9, "ABCDEFGH", 16, "", "", 0},
  };
  for (const auto &c : casos) {
    ConfiguracionPorDefecto();
    Destino d;
    d.empresa = c.empresa;
    d.actividad = c.actividad;
    d.clave = c.clave;
    EXPECT_EQ(BuscarDestino(d), c.resultado) << c.empresa << " " << c.actividad << " " << c.clave;
    EXPECT_EQ(g_config.telefono, c.telefono);
    EXPECT_EQ(g_config.servidor, c.servidor);
    EXPECT_EQ(g_config.puerto, c.puerto);
  }
  std::string l = Log();
  EXPECT_NE(l.find("Linea 6 de zelta.destinos invalida"), std::string::npos);
  EXPECT_NE(l.find("Linea 7 de zelta.destinos invalida"), std::string::npos);
  EXPECT_NE(l.find("Linea 8 de zelta.destinos invalida"), std::string::npos);
  EXPECT_NE(l.find("Destino no encontrado: empresa 9 actividad 9 clave ABCDEFGH"), std::string::npos);
}

TEST_F(DestinoFixture, KeyForShortHeaderLines) {
  prueba::WriteFile(dir / "zelta.destinos", kTabla);
  std::string clave;
  EXPECT_EQ(SuministrarClave(5, 12, clave), 0);
  EXPECT_EQ(clave, "ABCDEFGH");
  EXPECT_EQ(SuministrarClave(7, 1, clave), 0);
  EXPECT_EQ(clave, "ZZZZZZZZ");
  EXPECT_EQ(SuministrarClave(8, 2, clave), 16);  // only a '*' line
}

TEST_F(DestinoFixture, MissingTableGives16) {
  Destino d;
  EXPECT_EQ(BuscarDestino(d), 16);
  EXPECT_NE(Log().find("No se pudo abrir tabla de destinos"), std::string::npos);
}

TEST_F(DestinoFixture, HeaderReadBackFromTheBundle) {
  prueba::WriteFile(dir / "zelta.destinos", kTabla);
  std::string bundle = dir / "root/upload/input.dat";
  prueba::WriteFile(bundle, "[_SVL.0]\r\nV1510512abcdefgh" + std::string(32, 'f') + "\r\n[FIN]\r\n");
  Destino d;
  EXPECT_EQ(LeerDestino(d), 0);
  EXPECT_EQ(d.clave, "ABCDEFGH");
  EXPECT_EQ(g_config.servidor, "uno.example");
  EXPECT_NE(Log().find("Linea obtenida del _svl.0: V1510512abcdefgh"), std::string::npos);
  EXPECT_NE(Log().find("Empresa: 5"), std::string::npos);
  EXPECT_NE(Log().find("Actividad: 12"), std::string::npos);

  prueba::WriteFile(bundle, "[FIN]\r\n");
  EXPECT_EQ(LeerDestino(d), 16);
  unlink(bundle.c_str());
  EXPECT_EQ(LeerDestino(d), 13);
  EXPECT_NE(Log().find("open interm file: No such file or directory"), std::string::npos);
}

}  // namespace
