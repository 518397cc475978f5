// desarmar_test.cpp - splitting the download bundle into download/: text
// and binary records, the line rules, untrusted names, truncated and
// malformed records, modes, failures; and emptying download/.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "bundle.h"
#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

using namespace std::string_literals;
using prueba::Exists;
using prueba::ListDir;
using prueba::ReadFile;
using prueba::WriteFile;

class DesarmarTest : public ConLogEnArchivo {
 protected:
  prueba::TempDir tmp;
  std::string raiz, download, bundle;

  void SetUp() override {
    raiz = tmp / "T0001";
    download = raiz + "/download";
    bundle = download + "/output.dat";
    prueba::MakeDir(raiz);
    prueba::MakeDir(raiz + "/upload");
    prueba::MakeDir(download);
    g_corrida.raiz = raiz;
    AbrirLog(20);
  }
  // download/ as name -> content, the bundle left out.
  std::map<std::string, std::string> Entregados() {
    std::map<std::string, std::string> m;
    for (const auto &n : ListDir(download)) {
      if (n != "output.dat") m[n] = ReadFile(download + "/" + n);
    }
    return m;
  }
};

using Archivos = std::map<std::string, std::string>;

struct CasoBundle {
  const char *nombre;
  std::string bundle;
  int res;
  Archivos archivos;
};

TEST_F(DesarmarTest, SplitsRecords) {
  const std::string x300 = std::string(198, 'x') + "[" + std::string(101, 'y');
  const std::string largo = std::string(198, 'a') + "[]\r\n";
  const CasoBundle casos[] = {
      {"text and binary",
       "[A.TXT]\r\nhola\r\n[B.BIN,3]\r\n\x00\x5B\x0A\r\n[FIN]\r\n"s, 0,
       {{"A.TXT", "hola\r\n"}, {"B.BIN", "\x00\x5B\x0A"s}}},
      {"text record followed by a header is empty", "[E]\r\n[F]\r\nf\r\n[FIN]\r\n", 0,
       {{"E", ""}, {"F", "f\r\n"}}},
      {"end marker in small letters", "[A]\r\na\r\n[fin]\r\n[B]\r\nb\r\n", 0, {{"A", "a\r\n"}}},
      {"no end marker", "[A]\r\na\r\n[B,2]\r\nbb", 0, {{"A", "a\r\n"}, {"B", "bb"}}},
      {"bracket inside a long line", "[L]\r\n" + x300 + "\r\n[FIN]\r\n", 0, {{"L", x300 + "\r\n"}}},
      {"long line with header-like piece", "[L]\r\n" + largo + "[FIN]\r\n", 0, {{"L", largo}}},
      {"text before the first record and lone brackets are skipped",
       "garbage\r\n[no close\r\n[A]\r\na\r\n", 0, {{"A", "a\r\n"}}},
      {"bracket line without close ends a text record",
       "[A]\r\na\r\n[oops\r\nlost\r\n[B]\r\nb\r\n", 0, {{"A", "a\r\n"}, {"B", "b\r\n"}}},
      {"binary content may hold line ends and the end marker",
       "[B,9]\r\n[FIN]\r\n\n\n\r\n[C]\r\nc\r\n", 0, {{"B", "[FIN]\r\n\n\n"}, {"C", "c\r\n"}}},
      {"size with leading blanks", "[B,  2]\r\nzz\r\n", 0, {{"B", "zz"}}},
      {"size zero", "[B,0]\r\n\r\n[FIN]\r\n", 0, {{"B", ""}}},
      {"comma after the bracket makes a binary record", "[B]x,2\r\nzz\r\n", 0, {{"B", "zz"}}},
      {"text keeps NUL bytes and bare line ends",
       "[N]\r\na\0b\nc\rd\r\n[FIN]\r\n"s, 0, {{"N", "a\0b\nc\rd\r\n"s}}},
      {"last text line without line end", "[A]\r\nend", 0, {{"A", "end"}}},
      {"the same name twice keeps the last", "[A]\r\none\r\n[A]\r\ntwo\r\n", 0, {{"A", "two\r\n"}}},
      {"empty bundle", "", 0, {}},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    for (const auto &n : ListDir(download)) unlink((download + "/" + n).c_str());
    WriteFile(bundle, c.bundle);
    EXPECT_EQ(DesarmarArchivosBIN(), c.res);
    EXPECT_EQ(Entregados(), c.archivos);
    // The bundle stays for the caller, who keeps it when the delivery fails.
    EXPECT_TRUE(Exists(bundle));
  }
}

TEST_F(DesarmarTest, LogsEachBinaryRecord) {
  WriteFile(bundle, "[B.BIN,3]\r\nabc\r\n[FIN]\r\n");
  ASSERT_EQ(DesarmarArchivosBIN(), 0);
  std::string l = Log();
  EXPECT_NE(l.find("DesarmarArchivosBIN()"), std::string::npos);
  EXPECT_NE(l.find("Guardando B.BIN binario de 3 bytes\n"), std::string::npos);
}

TEST_F(DesarmarTest, TruncatedOrMalformedBinaryRecordGives14) {
  const CasoBundle casos[] = {
      {"size beyond the end", "[A]\r\na\r\n[B,10]\r\nabc", 14, {{"A", "a\r\n"}, {"B", "abc"}}},
      {"huge size", "[B,99999999999999999999]\r\nabc", 14, {{"B", "abc"}}},
      {"negative size", "[B,-5]\r\nabc\r\n", 14, {}},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    for (const auto &n : ListDir(download)) unlink((download + "/" + n).c_str());
    WriteFile(bundle, c.bundle);
    EXPECT_EQ(DesarmarArchivosBIN(), c.res);
    EXPECT_EQ(Entregados(), c.archivos);
    EXPECT_EQ(ReadFile(bundle), c.bundle);
  }
}

// Names come from the server: none of these may create a file anywhere.
TEST_F(DesarmarTest, InvalidNamesGive15AndCreateNothing) {
  prueba::MakeDir(download + "/sub");
  const char *nombres[] = {"", ".", "..", "../escape", "sub/x", "/tmp/abs", "output.dat"};
  for (const char *n : nombres) {
    SCOPED_TRACE(n);
    ReiniciarLog();
    WriteFile(bundle, std::string("[ok]\r\nfine\r\n[") + n + "]\r\nevil\r\n[FIN]\r\n");
    EXPECT_EQ(DesarmarArchivosBIN(), 15);
    EXPECT_EQ(Entregados(), (Archivos{{"ok", "fine\r\n"}, {"sub", ""}}));
    EXPECT_TRUE(ListDir(download + "/sub").empty());
    EXPECT_EQ(ListDir(raiz), (std::vector<std::string>{"download", "upload"}));
    EXPECT_NE(Log().find(std::string("Nombre de archivo invalido: ") + n + "\n"),
              std::string::npos);
    EXPECT_TRUE(Exists(bundle));
    unlink((download + "/ok").c_str());
  }
  // A binary record with a bad name is refused the same way.
  WriteFile(bundle, "[..,3]\r\nabc\r\n");
  EXPECT_EQ(DesarmarArchivosBIN(), 15);
  // A NUL byte would make the file name differ from the record's name.
  WriteFile(bundle, "[a\0b]\r\nx\r\n"s);
  EXPECT_EQ(DesarmarArchivosBIN(), 15);
  EXPECT_FALSE(Exists(download + "/a"));
}

TEST_F(DesarmarTest, FilesHaveMode0666WhateverTheUmaskAndUmaskIsRestored) {
  WriteFile(download + "/OLD", "previous content that is longer", 0600);
  WriteFile(bundle, "[OLD]\r\nnew\r\n[BIN,1]\r\nb\r\n");
  mode_t vieja = umask(022);
  int res = DesarmarArchivosBIN();
  mode_t despues = umask(vieja);
  ASSERT_EQ(res, 0);
  EXPECT_EQ(despues, 022u);
  EXPECT_EQ(ReadFile(download + "/OLD"), "new\r\n");
  EXPECT_EQ(prueba::FileMode(download + "/OLD"), 0666u);
  EXPECT_EQ(prueba::FileMode(download + "/BIN"), 0666u);

  // The umask comes back on a failure path as well.
  WriteFile(bundle, "[..]\r\n");
  vieja = umask(027);
  res = DesarmarArchivosBIN();
  despues = umask(vieja);
  EXPECT_EQ(res, 15);
  EXPECT_EQ(despues, 027u);
}

TEST_F(DesarmarTest, MissingBundleGives13) { EXPECT_EQ(DesarmarArchivosBIN(), 13); }

TEST_F(DesarmarTest, FileThatCannotBeCreatedGives15) {
  prueba::MakeDir(download + "/DIR");
  WriteFile(bundle, "[A]\r\na\r\n[DIR]\r\nd\r\n[C]\r\nc\r\n");
  EXPECT_EQ(DesarmarArchivosBIN(), 15);
  EXPECT_EQ(Entregados(), (Archivos{{"A", "a\r\n"}, {"DIR", ""}}));
  EXPECT_TRUE(Exists(bundle));
}

TEST_F(DesarmarTest, WriteFailureGives14) {
  const std::string grande(20000, 'g');
  const CasoBundle casos[] = {
      {"binary", "[B,20000]\r\n" + grande + "\r\n", 14, {}},
      {"text", "[T]\r\n" + grande + "\r\n", 14, {}},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    WriteFile(bundle, c.bundle);
    int res;
    {
      prueba::LimiteTamano limite(8192);
      res = DesarmarArchivosBIN();
    }
    EXPECT_EQ(res, c.res);
    EXPECT_TRUE(Exists(bundle));
  }
}

TEST_F(DesarmarTest, LimpiarDescargasEmptiesTheDirectory) {
  WriteFile(download + "/a", "a");
  WriteFile(download + "/.hidden", "h");
  WriteFile(download + "/output.dat", "o");
  prueba::MakeDir(download + "/empty");
  prueba::MakeDir(download + "/full");
  WriteFile(download + "/full/x", "x");
  EXPECT_EQ(LimpiarDescargas(), 0);
  EXPECT_EQ(ListDir(download), (std::vector<std::string>{"full"}));
}

TEST_F(DesarmarTest, LimpiarDescargasWithoutDirectoryGives10) {
  rmdir(download.c_str());
  EXPECT_EQ(LimpiarDescargas(), 10);
}

}  // namespace
