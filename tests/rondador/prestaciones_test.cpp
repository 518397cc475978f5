// prestaciones_test.cpp - the transcoding table, loading the transcoding file and the
// in-place rewrite of _svl.2 with its record _1101.rpl.
#include "prestaciones.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "opciones.h"
#include "registro.h"
#include "support.h"

namespace {

using namespace rondador;

using prueba::ReadFile;
using prueba::WriteFile;

std::unique_ptr<char[]> Codigo(const std::string &s) {
  std::unique_ptr<char[]> c(new char[CODE_LEN + 1]);
  for (size_t i = 0; i < CODE_LEN; ++i) c[i] = s[i];
  c[CODE_LEN] = '\0';
  return c;
}

// Value mapped for key, "" when the table has none.
std::string Valor(const std::string &key) {
  entrada *e = lookup(key.c_str());
  return e == nullptr ? "" : std::string(e->value.get(), CODE_LEN);
}

// Sends the daemon's log to a file of the test and empties the table.
class RondadorTabla : public ::testing::Test {
 protected:
  prueba::TempDir tmp;
  std::string rutalog = tmp / "log";
  void SetUp() override {
    vaciartabla();
    logfile = fopen(rutalog.c_str(), "a");
    debuglevel = 10;
  }
  void TearDown() override {
    vaciartabla();
    fclose(logfile);
    logfile = nullptr;
    debuglevel = 1;
  }
  std::string Log() { return ReadFile(rutalog); }
  int Cargar(const std::string &contenido) {
    WriteFile(tmp / "trans", contenido);
    return parsefile((tmp / "trans").c_str());
  }
};

TEST(RondadorHash, IsTheByteSumModuloThousandWithUnsignedBytes) {
  struct Caso {
    std::string key;
    unsigned cubeta;
  } casos[] = {
      {"000000", 288},
      {"AAAAAA", 390},
      {"zzzzzz", 732},
      {"\xff\xff\xff\xff\xff\xff", 530},
      {"ABCDEF", 405},
      {"FEDCBA", 405},
  };
  for (const auto &c : casos) EXPECT_EQ(hash(c.key.c_str()), c.cubeta) << c.key;
}

TEST_F(RondadorTabla, InsertThenLookupIncludingKeysSharingABucket) {
  const char *pares[][2] = {{"ABCDEF", "111111"}, {"FEDCBA", "222222"}, {"BACDEF", "333333"}};
  for (auto &par : pares) {
    auto k = Codigo(par[0]), v = Codigo(par[1]);
    entrada *e = insert(k, v);
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(k) << "insert takes the key";
  }
  for (auto &par : pares) EXPECT_EQ(Valor(par[0]), par[1]);
  EXPECT_EQ(lookup("CDEFAB"), nullptr);
}

TEST_F(RondadorTabla, DuplicateKeyKeepsTheFirstAndLeavesTextsWithCaller) {
  auto k1 = Codigo("AAAAAA"), v1 = Codigo("BBBBBB");
  ASSERT_NE(insert(k1, v1), nullptr);
  auto k2 = Codigo("AAAAAA"), v2 = Codigo("CCCCCC");
  EXPECT_EQ(insert(k2, v2), nullptr);
  ASSERT_TRUE(k2);
  ASSERT_TRUE(v2);
  EXPECT_EQ(std::string(v2.get()), "CCCCCC");
  EXPECT_EQ(Valor("AAAAAA"), "BBBBBB");
  EXPECT_NE(Log().find("Item duplicado: AAAAAA - CCCCCC"), std::string::npos);
}

TEST_F(RondadorTabla, ParsefileLoadsWellFormedLinesOnly) {
  struct Caso {
    const char *nombre;
    std::string contenido;
    std::vector<std::pair<std::string, std::string>> esperado;  // key, value ("" = absent)
    std::string enlog;
  } casos[] = {
      {"plain line", "AAAAAABBBBBB\n", {{"AAAAAA", "BBBBBB"}}, ""},
      {"text after the value is ignored", "AAAAAABBBBBB comentario\r\n", {{"AAAAAA", "BBBBBB"}}, ""},
      {"last line without line feed is not loaded", "AAAAAABBBBBB\nCCCCCCDDDDDD",
       {{"AAAAAA", "BBBBBB"}, {"CCCCCC", ""}}, "Linea sin fin de linea ignorada: CCCCCCDDDDDD"},
      {"duplicate key: first one counts", "AAAAAABBBBBB\nAAAAAACCCCCC\n", {{"AAAAAA", "BBBBBB"}},
       "Imposible insertar item: key=AAAAAA - value=CCCCCC"},
      {"keys differing in case are different", "abcdefminusc\nABCDEFMAYUSC\n",
       {{"abcdef", "minusc"}, {"ABCDEF", "MAYUSC"}}, ""},
      {"line shorter than 12 characters is rejected", "AAAAAABBBBB\nCCCCCCDDDDDD\n",
       {{"AAAAAA", ""}, {"CCCCCC", "DDDDDD"}},
       "Linea de transcodificacion demasiado corta, ignorada: AAAAAABBBBB"},
      {"empty line is rejected", "\nCCCCCCDDDDDD\n", {{"CCCCCC", "DDDDDD"}}, "demasiado corta"},
      {"a line past 28 characters goes on as a further entry",
       "AAAAAABBBBBBxxxxxxxxxxxxxxxxxCCCCCCDDDDDD\n",
       {{"AAAAAA", "BBBBBB"}, {"CCCCCC", "DDDDDD"}}, ""},
      {"a 29-byte piece at the very end is loaded", "AAAAAABBBBBBxxxxxxxxxxxxxxxxx",
       {{"AAAAAA", "BBBBBB"}}, ""},
      {"empty file", "", {{"AAAAAA", ""}}, ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    ASSERT_EQ(truncate(rutalog.c_str(), 0), 0);
    ASSERT_EQ(Cargar(c.contenido), 0);
    for (const auto &[k, v] : c.esperado) EXPECT_EQ(Valor(k), v) << k;
    if (!c.enlog.empty()) {
      EXPECT_NE(Log().find(c.enlog), std::string::npos) << Log();
    }
  }
}

TEST_F(RondadorTabla, ParsefileEmptiesTheTableFirst) {
  ASSERT_EQ(Cargar("AAAAAABBBBBB\n"), 0);
  ASSERT_EQ(Cargar("CCCCCCDDDDDD\n"), 0);
  EXPECT_EQ(Valor("AAAAAA"), "");
  EXPECT_EQ(Valor("CCCCCC"), "DDDDDD");
}

TEST_F(RondadorTabla, ParsefileOfMissingFileIs13) {
  std::string ruta = tmp / "no-existe";
  EXPECT_EQ(parsefile(ruta.c_str()), kErrorArchivo);
  EXPECT_NE(Log().find("Error al abrir archivo: " + ruta), std::string::npos);
}

// A terminal root with upload/.
class RondadorReemplazo : public RondadorTabla {
 protected:
  std::string raiz = tmp / "term01";
  std::string svl = raiz + "/upload/_svl.2";
  std::string rpl = raiz + "/_1101.rpl";
  void SetUp() override {
    RondadorTabla::SetUp();
    prueba::MakeDir(raiz);
    prueba::MakeDir(raiz + "/upload");
  }
  int Pasada() { return replaceprest(raiz.c_str()); }
};

TEST_F(RondadorReemplazo, RewritesLineStartsInPlaceAndRecordsEachRewrite) {
  struct Caso {
    const char *nombre;
    std::string antes, despues, registro;
  } casos[] = {
      {"code followed by text and CR LF", "AAAAAA resto de la linea\r\n",
       "BBBBBB resto de la linea\r\n", "AAAAAABBBBBB\n"},
      {"code not in the table", "ZZZZZZ nada\r\n", "ZZZZZZ nada\r\n", ""},
      {"mixed lines", "AAAAAA 1\r\nZZZZZZ 2\r\nCCCCCC 3\r\n", "BBBBBB 1\r\nZZZZZZ 2\r\nDDDDDD 3\r\n",
       "AAAAAABBBBBB\nCCCCCCDDDDDD\n"},
      {"last line without line feed", "ZZZZZZ\nAAAAAA", "ZZZZZZ\nBBBBBB", "AAAAAABBBBBB\n"},
      {"line shorter than a code", "AAA\nAAAAAA\n", "AAA\nBBBBBB\n", "AAAAAABBBBBB\n"},
      {"case matters", "aaaaaa\n", "aaaaaa\n", ""},
      {"continuation of a long line is data, not a code",
       "XXXXXX" + std::string(23, '.') + "AAAAAA more\n",
       "XXXXXX" + std::string(23, '.') + "AAAAAA more\n", ""},
      {"empty file", "", "", ""},
  };
  ASSERT_EQ(Cargar("AAAAAABBBBBB\nCCCCCCDDDDDD\n"), 0);
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    WriteFile(svl, c.antes);
    ASSERT_EQ(Pasada(), 0);
    EXPECT_EQ(ReadFile(svl), c.despues);
    EXPECT_EQ(ReadFile(rpl), c.registro);
  }
}

TEST_F(RondadorReemplazo, LogsEachStepAtLevelTen) {
  ASSERT_EQ(Cargar("AAAAAABBBBBB\n"), 0);
  WriteFile(svl, "AAAAAA\nZZZZZZ\n");
  ASSERT_EQ(Pasada(), 0);
  std::string log = Log();
  for (std::string s : {"Archivo con reemplazos: " + rpl, "Reemplazando archivo " + svl,
                        std::string("Prestacion reemplazada: AAAAAA -> BBBBBB"),
                        std::string("Prestacion agregada al archivo: AAAAAABBBBBB"),
                        std::string("Prestacion no encontrada: ZZZZZZ")})
    EXPECT_NE(log.find(s), std::string::npos) << s;
}

TEST_F(RondadorReemplazo, ManyLinesAcrossReadBuffers) {
  ASSERT_EQ(Cargar("AAAAAABBBBBB\n"), 0);
  std::string antes, despues;
  for (int i = 0; i < 5000; ++i) {
    char linea[64];
    snprintf(linea, sizeof linea, "%s %07d importe\r\n", i % 3 == 0 ? "ZZZZZZ" : "AAAAAA", i);
    antes += linea;
    if (i % 3 != 0) linea[0] = linea[1] = linea[2] = linea[3] = linea[4] = linea[5] = 'B';
    despues += linea;
  }
  WriteFile(svl, antes);
  ASSERT_EQ(Pasada(), 0);
  EXPECT_EQ(ReadFile(svl), despues);
  size_t lineas = 0;
  for (char ch : ReadFile(rpl)) lineas += ch == '\n';
  EXPECT_EQ(lineas, 3333u);
}

TEST_F(RondadorReemplazo, ChainedMappingsTakeOneStepPerPass) {
  ASSERT_EQ(Cargar("AAAAAABBBBBB\nBBBBBBCCCCCC\n"), 0);
  WriteFile(svl, "AAAAAA x\r\n");
  ASSERT_EQ(Pasada(), 0);
  EXPECT_EQ(ReadFile(svl), "BBBBBB x\r\n");
  EXPECT_EQ(ReadFile(rpl), "AAAAAABBBBBB\n");
  ASSERT_EQ(Pasada(), 0);
  EXPECT_EQ(ReadFile(svl), "CCCCCC x\r\n");
  EXPECT_EQ(ReadFile(rpl), "BBBBBBCCCCCC\n") << "the record holds the last pass only";
}

TEST_F(RondadorReemplazo, CapitalFileNameIsTheFallback) {
  ASSERT_EQ(Cargar("AAAAAABBBBBB\n"), 0);
  WriteFile(raiz + "/upload/_SVL.2", "AAAAAA\n");
  ASSERT_EQ(Pasada(), 0);
  EXPECT_EQ(ReadFile(raiz + "/upload/_SVL.2"), "BBBBBB\n");
  EXPECT_FALSE(prueba::Exists(svl)) << "never created";
}

TEST_F(RondadorReemplazo, MissingSvlLeavesAnEmptyRecord) {
  ASSERT_EQ(Cargar("AAAAAABBBBBB\n"), 0);
  WriteFile(rpl, "viejo contenido\n");
  ASSERT_EQ(Pasada(), 0);
  EXPECT_TRUE(prueba::Exists(rpl));
  EXPECT_EQ(ReadFile(rpl), "");
  EXPECT_FALSE(prueba::Exists(svl));
  std::string log = Log();
  EXPECT_NE(log.find("No se encontro el archivo " + svl), std::string::npos);
  EXPECT_NE(log.find("No se encontro el archivo " + raiz + "/upload/_SVL.2"), std::string::npos);
}

TEST_F(RondadorReemplazo, RecordThatCannotBeCreatedIs13AndNothingIsRewritten) {
  ASSERT_EQ(Cargar("AAAAAABBBBBB\n"), 0);
  std::string otra = tmp / "no-existe";
  EXPECT_EQ(replaceprest(otra.c_str()), kErrorArchivo);
  EXPECT_NE(Log().find("Error al crear archivo " + otra + "/_1101.rpl"), std::string::npos);
}

TEST_F(RondadorReemplazo, RecordThatIsASymbolicLinkIsNotFollowed) {
  ASSERT_EQ(Cargar("AAAAAABBBBBB\n"), 0);
  WriteFile(tmp / "ajeno", "no tocar\n");
  ASSERT_EQ(symlink((tmp / "ajeno").c_str(), rpl.c_str()), 0);
  WriteFile(svl, "AAAAAA\n");
  EXPECT_EQ(Pasada(), kErrorArchivo);
  EXPECT_EQ(ReadFile(tmp / "ajeno"), "no tocar\n");
  EXPECT_EQ(ReadFile(svl), "AAAAAA\n");
}

}  // namespace
