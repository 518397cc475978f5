// armar_test.cpp - the upload bundle: record format byte for byte, the
// header record, ordering, the binary list, the ready-made bundle, which
// files are removed, and every failure code the build can reach.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "bundle.h"
#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

using prueba::Exists;
using prueba::ListDir;
using prueba::ReadFile;
using prueba::WriteFile;

const std::string kHost = "0123456789abcdef0123456789abcdef";
const std::string kFin = "[FIN]\r\n";

class ArmarTest : public ConLogEnArchivo {
 protected:
  std::string raiz, upload, bundle;
  Descriptor descdir;

  void SetUp() override {
    raiz = dir / "T0001";
    upload = raiz + "/upload";
    bundle = upload + "/input.dat";
    prueba::MakeDir(raiz);
    prueba::MakeDir(upload);
    prueba::MakeDir(raiz + "/download");
    g_corrida.raiz = raiz;
    g_corrida.hostid = kHost;
    g_corrida.dirprog = dir.path + "/";
    g_fallarAsignacionSpool = 0;
    WriteFile(dir / "zelta.destinos",
              "# empresa actividad clave telefono servidor puerto\n"
              "5 12 * - 127.0.0.1 40123\n"
              "5 12 abcdefgh 4444 127.0.0.1 40123\n");
    AbrirLog(20);
  }
  void TearDown() override {
    ConLogEnArchivo::TearDown();
    g_fallarAsignacionSpool = 0;
  }
  void Up(const std::string &name, const std::string &data) { WriteFile(upload + "/" + name, data); }
  // A descriptor for the temp dir, for the operations that take one.
  int Dir() {
    if (descdir.fd < 0) AbrirRaiz(dir.path, descdir);
    return descdir.fd;
  }
  // Everything in upload/ except the bundle itself.
  std::vector<std::string> Restantes() {
    std::vector<std::string> v;
    for (const auto &n : ListDir(upload)) {
      if (n != "input.dat") v.push_back(n);
    }
    return v;
  }
  static std::string Header(const std::string &line) {
    return "[_svl.0]\r\n" + line + kHost + "\r\n";
  }
  // The record a file named "f" holding contenido gets in a bundle packed
  // by ArmarArchivo from an upload/ made for it: beside a _svl.0 (and a
  // _zelta.bin naming it when binario); without encabezado, as the
  // ready-made bundle _svl.qvx, the one record packed with no header line
  // (text only). Fails the test when the packing or the bundle around the
  // record is not as expected.
  std::string Registro(const std::string &contenido, bool binario, bool encabezado) {
    EXPECT_TRUE(encabezado || !binario) << "a ready-made bundle is text";
    for (const auto &n : ListDir(upload)) unlink((upload + "/" + n).c_str());
    std::string antes, despues;
    if (encabezado) {
      Up("_svl.0", "V1510512ABCDEFGH\r\n");
      Up("f", contenido);
      antes = Header("V1510512ABCDEFGH");
      despues = kFin;
      if (binario) {
        Up("_zelta.bin", "f\r\n");
        antes += "[_zelta.bin]\r\nf\r\n";
      }
    } else {
      Up("_svl.qvx", contenido);
    }
    EXPECT_EQ(ArmarArchivo(), 0);
    EXPECT_TRUE(Restantes().empty());
    std::string todo = ReadFile(bundle);
    if (todo.size() < antes.size() + despues.size() || todo.compare(0, antes.size(), antes) != 0 ||
        todo.compare(todo.size() - despues.size(), despues.size(), despues) != 0) {
      ADD_FAILURE() << "the bundle around the record is not as expected";
      return todo;
    }
    return todo.substr(antes.size(), todo.size() - antes.size() - despues.size());
  }
};

TEST_F(ArmarTest, OnlyHeaderFileGivesHeaderRecordAndEndMarker) {
  Up("_svl.0", "V1510512ABCDEFGH\r\nsecond line\r\n");
  mode_t vieja = umask(0);
  int res = ArmarArchivo();
  umask(vieja);
  ASSERT_EQ(res, 0);
  std::string esperado = "[_svl.0]\r\nV1510512ABCDEFGH" + kHost + "\r\n[FIN]\r\n";
  EXPECT_EQ(esperado.size(), 67u);
  EXPECT_EQ(ReadFile(bundle), esperado);
  EXPECT_EQ(prueba::FileMode(bundle), 0660u);
  EXPECT_TRUE(Restantes().empty());
  EXPECT_NE(Log().find("ArmarArchivo()"), std::string::npos);
}

TEST_F(ArmarTest, FilesArePackedInCaseInsensitiveOrderAndRemoved) {
  Up("_SVL.0", "V1510512ABCDEFGH\r\n");
  Up("b.txt", "bee");
  Up("A.txt", "ay\r\n");
  Up("C.TXT", "");
  WriteFile(bundle, "left over from an earlier run");
  ASSERT_EQ(ArmarArchivo(), 0);
  EXPECT_EQ(ReadFile(bundle), Header("V1510512ABCDEFGH") +
                                  "[A.txt]\r\nay\r\n"
                                  "[b.txt]\r\nbee\r\n"
                                  "[C.TXT]\r\n\r\n" +
                                  kFin);
  EXPECT_TRUE(Restantes().empty());
  EXPECT_NE(Log().find("Agregando archivo " + upload + "/A.txt"), std::string::npos);
}

TEST_F(ArmarTest, BinaryListMatchesNamesWithoutRegardToCaseAndIsPackedItself) {
  Up("_svl.0", "V1510512ABCDEFGH\r\n");
  Up("_zelta.bin", "DATA.BIN\r\n\r\nother.bin\n");
  Up("data.bin", std::string("\x41\x08\x03", 3));
  Up("other.bin", std::string("\x1A", 1));
  ASSERT_EQ(ArmarArchivo(), 0);
  EXPECT_EQ(ReadFile(bundle), Header("V1510512ABCDEFGH") +
                                  "[_zelta.bin]\r\nDATA.BIN\r\n\r\nother.bin\n\r\n" +
                                  "[data.bin,3]\r\n\x41\x08\x24\x08\x1F\r\n" +
                                  "[other.bin,1]\r\n\x1A\r\n" + kFin);
  EXPECT_TRUE(Restantes().empty());
  EXPECT_NE(Log().find("Agregando archivo bin " + upload + "/data.bin"), std::string::npos);
}

TEST_F(ArmarTest, BinaryListNamingItselfPacksItAsBinary) {
  Up("_svl.0", "V1510512ABCDEFGH\r\n");
  Up("_zelta.bin", "_ZELTA.BIN");
  ASSERT_EQ(ArmarArchivo(), 0);
  EXPECT_EQ(ReadFile(bundle), Header("V1510512ABCDEFGH") + "[_zelta.bin,10]\r\n_ZELTA.BIN\r\n" + kFin);
}

TEST_F(ArmarTest, ReadyMadeBundleBecomesTheWholeBundle) {
  struct Caso {
    const char *contenido;
    const char *esperado;
  } casos[] = {
      {"[x]\r\nab\x03\r\n", "[x]\r\nab\x08\x1F\r\n"},
      {"no line end", "no line end\r\n"},
      {"ends in eof mark\r\n\x1A", "ends in eof mark\r\n"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.contenido);
    Up("_SVL.QVX", c.contenido);
    Up("_svl.0", "V1510512ABCDEFGH\r\n");
    Up("keep.txt", "stays");
    Up("_zelta.bin", "keep.txt\n");
    ASSERT_EQ(ArmarArchivo(), 0);
    EXPECT_EQ(ReadFile(bundle), c.esperado);
    EXPECT_EQ(Restantes(), (std::vector<std::string>{"_svl.0", "_zelta.bin", "keep.txt"}));
  }
}

// The content rules of one record, packed by ArmarArchivo.
struct CasoRegistro {
  const char *nombre;
  std::string contenido;
  bool binario;
  bool encabezado;
  std::string esperado;
};

TEST_F(ArmarTest, RecordContentRules) {
  const std::string x254(254, 'x');
  const CasoRegistro casos[] = {
      {"plain text", "abc", false, true, "[f]\r\nabc\r\n"},
      {"text ending in CR LF", "abc\r\n", false, true, "[f]\r\nabc\r\n"},
      {"text ending in LF only", "abc\n", false, true, "[f]\r\nabc\n\r\n"},
      {"text ending in CR only", "abc\r", false, true, "[f]\r\nabc\r\r\n"},
      {"eof mark at the end dropped", "abc\x1A", false, true, "[f]\r\nabc\r\n"},
      {"eof mark inside kept", "a\x1A" "b", false, true, "[f]\r\na\x1A" "b\r\n"},
      {"eof mark after CR LF", "abc\r\n\x1A", false, true, "[f]\r\nabc\r\n"},
      {"empty text", "", false, true, "[f]\r\n\r\n"},
      {"eof mark ending the first chunk", x254 + "\x1A" + "y", false, true,
       "[f]\r\n" + x254 + "y\r\n"},
      {"CR LF across chunks", x254 + "\r\n", false, true, "[f]\r\n" + x254 + "\r\n"},
      {"escaping in text", "\x08\x03.", false, true, "[f]\r\n\x08\x24\x08\x1F.\r\n"},
      {"escaped ETX is not a line end", "\r\x03", false, true, "[f]\r\n\r\x08\x1F\r\n"},
      {"binary escaping", std::string("\x41\x08\x03", 3), true, true,
       "[f,3]\r\n\x41\x08\x24\x08\x1F\r\n"},
      {"binary keeps eof mark and CR LF", "ab\r\n\x1A", true, true, "[f,5]\r\nab\r\n\x1A\r\n"},
      {"binary empty", "", true, true, "[f,0]\r\n\r\n"},
      {"binary with NUL bytes", std::string("\0\0", 2), true, true,
       std::string("[f,2]\r\n\0\0\r\n", 11)},
      {"ready-made bundle: no header line", "abc", false, false, "abc\r\n"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    EXPECT_EQ(Registro(c.contenido, c.binario, c.encabezado), c.esperado);
  }
}

TEST_F(ArmarTest, LargeBinaryFileSizeAndEscapesAcrossChunks) {
  std::string datos;
  for (int i = 0; i < 1000; i++) datos += static_cast<char>(i % 256);
  const std::string escapado = prueba::Escapar(datos);
  EXPECT_EQ(Registro(datos, true, true), "[f,1000]\r\n" + escapado + "\r\n");
}

// The record content as the format defines it, one byte at a time: text
// taken in chunks of 255 bytes, a chunk's last byte dropped when it is 0x1A,
// 0x08 and 0x03 escaped, CR LF added unless the content written ends in it.
std::string RegistroDeReferencia(const std::string &datos, bool binario) {
  std::string out, escrito;
  for (size_t i = 0; i < datos.size(); i += 255) {
    std::string trozo = datos.substr(i, 255);
    if (!binario && trozo.back() == '\x1A') trozo.pop_back();
    out += prueba::Escapar(trozo);
    escrito += trozo;
  }
  bool crlf = escrito.size() >= 2 && escrito.compare(escrito.size() - 2, 2, "\r\n") == 0;
  if (binario || !crlf) out += "\r\n";
  return out;
}

// Contents of many sizes around the chunk and read boundaries, dense in the
// bytes that have rules (escapes, 0x1A, CR, LF), checked against the
// byte-at-a-time reference in both forms.
TEST_F(ArmarTest, RecordContentMatchesTheByteAtATimeRules) {
  std::mt19937 azar(1234);
  const char especiales[] = {'\x08', '\x03', '\x1A', '\r', '\n', 'a', '\0'};
  std::vector<size_t> tamanos;
  for (size_t t = 0; t < 800; t += 7) tamanos.push_back(t);
  for (size_t base : {size_t{255} * 256, size_t{255} * 512}) {
    for (size_t d = 0; d < 5; d++) {
      tamanos.push_back(base - 2 + d);
    }
  }
  tamanos.push_back(300000);
  for (size_t tamano : tamanos) {
    for (int mezcla = 0; mezcla < 3; mezcla++) {
      std::string datos(tamano, '\0');
      for (auto &c : datos) {
        // Mostly special bytes, mostly ordinary ones, or uniform bytes.
        auto r = static_cast<unsigned>(azar());
        c = mezcla == 0   ? especiales[r % sizeof especiales]
            : mezcla == 1 ? (r % 16 == 0 ? especiales[(r >> 8) % sizeof especiales] : 'x')
                          : static_cast<char>(r);
      }
      // 0x1A at the end of chunks, where the text rule looks.
      for (size_t k = 254; k < tamano; k += 255 * 37) datos[k] = '\x1A';
      for (bool binario : {false, true}) {
        SCOPED_TRACE(std::to_string(tamano) + (binario ? " binary" : " text") + " mix " +
                     std::to_string(mezcla));
        // A binary record always has its header line; text is taken
        // without, as the ready-made bundle.
        std::string cabecera = binario ? "[f," + std::to_string(tamano) + "]\r\n" : "";
        ASSERT_EQ(Registro(datos, binario, binario), cabecera + RegistroDeReferencia(datos, binario));
      }
    }
  }
}

struct CasoEncabezado {
  const char *nombre;
  std::string svl0;
  int res;
  std::string linea;  // what precedes the host identification; "" on failure
};

TEST_F(ArmarTest, HeaderLineForms) {
  const CasoEncabezado casos[] = {
      {"full form", "V1510512ABCDEFGH\r\n", 0, "V1510512ABCDEFGH"},
      {"full form without line end", "V1510512ABCDEFGH", 0, "V1510512ABCDEFGH"},
      {"long line keeps 16 bytes", "V1510512ABCDEFGHIJKL\r\n", 0, "V1510512ABCDEFGH"},
      {"eof mark ends the line", "V1510512ABCDEFGH\x1A", 0, "V1510512ABCDEFGH"},
      {"short form with V", "V1510512\r\n", 0, "V1510512ABCDEFGH"},
      {"short form with V and LF", "V1510512\nrest", 0, "V1510512ABCDEFGH"},
      {"short form", "0512\r\n", 0, "0512ABCDEFGH"},
      {"short form extra characters", "0512zz\r\n", 0, "0512ABCDEFGH"},
      {"9 to 15 characters", "V1510512ABC\r\nmore lines here", 16, ""},
      {"15 characters", "V1510512ABCDEFG\r\n", 16, ""},
      {"V line shorter than 8", "V151051\r\n", 16, ""},
      {"line shorter than 4", "051\r\n", 16, ""},
      {"empty first line", "\r\nV1510512ABCDEFGH\r\n", 16, ""},
      {"empty file", "", 16, ""},
      {"codes not digits", "05ab\r\n", 16, ""},
      {"no key for the codes", "0599\r\n", 16, ""},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    std::string path = dir / "_svl.0";
    WriteFile(path, c.svl0);
    FILE *out = fopen((dir / "out").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(AgregarEncabezado(out, Dir(), "_svl.0"), c.res);
    fclose(out);
    std::string esperado = c.res == 0 ? Header(c.linea) : "[_svl.0]\r\n\r\n";
    EXPECT_EQ(ReadFile(dir / "out"), esperado);
  }
}

TEST_F(ArmarTest, BadHeaderLineEndsTheBuildAndKeepsEveryFile) {
  Up("_svl.0", "V1510512ABC\r\n");
  Up("a.txt", "a");
  EXPECT_EQ(ArmarArchivo(), 16);
  EXPECT_EQ(ReadFile(bundle), "[_svl.0]\r\n\r\n" + kFin);
  EXPECT_EQ(Restantes(), (std::vector<std::string>{"_svl.0", "a.txt"}));
  EXPECT_NE(Log().find("Linea de encabezado incompleta"), std::string::npos);
}

TEST_F(ArmarTest, MissingDestinationTableForShortLineGives16) {
  unlink((dir / "zelta.destinos").c_str());
  Up("_svl.0", "0512\r\n");
  EXPECT_EQ(ArmarArchivo(), 16);
  EXPECT_EQ(ReadFile(bundle), "[_svl.0]\r\n\r\n" + kFin);
  EXPECT_TRUE(Exists(upload + "/_svl.0"));
}

TEST_F(ArmarTest, MissingHeaderFileGives13AndPacksNothing) {
  Up("a.txt", "a");
  EXPECT_EQ(ArmarArchivo(), 13);
  EXPECT_EQ(ReadFile(bundle), kFin);
  EXPECT_EQ(Restantes(), (std::vector<std::string>{"a.txt"}));
}

TEST_F(ArmarTest, MissingUploadDirectoryGives10) {
  rmdir(upload.c_str());
  EXPECT_EQ(ArmarArchivo(), 10);
}

// An entry that is not a regular file (a link, even a dangling one, or a
// directory) is neither packed nor deleted, and the build goes on.
TEST_F(ArmarTest, EntriesThatAreNotRegularFilesAreLeftAndTheBuildGoesOn) {
  Up("_svl.0", "V1510512ABCDEFGH\r\n");
  Up("a.txt", "first");
  ASSERT_EQ(symlink("/nonexistent/target", (upload + "/b.txt").c_str()), 0);
  ASSERT_EQ(symlink((dir / "secreto").c_str(), (upload + "/b2.txt").c_str()), 0);
  WriteFile(dir / "secreto", "de otro");
  Up("c.txt", "after");
  prueba::MakeDir(upload + "/sub");
  EXPECT_EQ(ArmarArchivo(), 0);
  EXPECT_EQ(ReadFile(bundle),
            Header("V1510512ABCDEFGH") + "[a.txt]\r\nfirst\r\n[c.txt]\r\nafter\r\n" + kFin);
  EXPECT_EQ(Restantes(), (std::vector<std::string>{"b.txt", "b2.txt", "sub"}));
  EXPECT_NE(Log().find("No se empaqueta " + upload + "/b2.txt: es un enlace simbolico"),
            std::string::npos);
}

// A failure part-way must not lose the files already written into the
// bundle: the bundle is not sent, so they stay in upload/ for the next run.
TEST_F(ArmarTest, FileThatCannotBeOpenedGives13AndKeepsEveryFile) {
  Up("_svl.0", "V1510512ABCDEFGH\r\n");
  Up("a.txt", "first");
  Up("b.txt", "second");
  int res;
  {
    // The root, upload/ and input.dat may be opened; _svl.0 may not.
    prueba::DescriptoresLibres limite(3);
    res = ArmarArchivo();
  }
  EXPECT_EQ(res, 13);
  EXPECT_EQ(Restantes(), (std::vector<std::string>{"_svl.0", "a.txt", "b.txt"}));
}

TEST_F(ArmarTest, BundleThatCannotBeCreatedGives15) {
  Up("_svl.0", "V1510512ABCDEFGH\r\n");
  Up("a.txt", "a");
  prueba::MakeDir(bundle);
  EXPECT_EQ(ArmarArchivo(), 15);
  EXPECT_EQ(Restantes(), (std::vector<std::string>{"_svl.0", "a.txt"}));
}

TEST_F(ArmarTest, WriteFailureGives14AndKeepsEveryFile) {
  Up("_svl.0", "V1510512ABCDEFGH\r\n");
  Up("a.txt", std::string(100, 'a'));
  int res;
  {
    prueba::LimiteTamano limite(64);
    res = ArmarArchivo();
  }
  EXPECT_EQ(res, 14);
  EXPECT_EQ(Restantes(), (std::vector<std::string>{"_svl.0", "a.txt"}));
}

TEST_F(ArmarTest, ReadyMadeBundleWriteFailureKeepsIt) {
  Up("_svl.qvx", std::string(100, 'r'));
  int res;
  {
    prueba::LimiteTamano limite(64);
    res = ArmarArchivo();
  }
  EXPECT_EQ(res, 14);
  EXPECT_TRUE(Exists(upload + "/_svl.qvx"));
}

// A link left as input.dat is replaced, not written through.
TEST_F(ArmarTest, BundleNameThatIsALinkIsReplaced) {
  Up("_svl.0", "V1510512ABCDEFGH\r\n");
  WriteFile(dir / "ajeno", "no tocar");
  ASSERT_EQ(symlink((dir / "ajeno").c_str(), bundle.c_str()), 0);
  EXPECT_EQ(ArmarArchivo(), 0);
  EXPECT_EQ(ReadFile(dir / "ajeno"), "no tocar");
  EXPECT_EQ(ReadFile(bundle), Header("V1510512ABCDEFGH") + kFin);
}

// Every allocation of the build, failed in turn, gives 11 and leaves
// upload/ untouched.
TEST_F(ArmarTest, EachAllocationFailureGives11AndTouchesNothing) {
  Up("_svl.0", "V1510512ABCDEFGH\r\n");
  Up("_zelta.bin", "x.bin\n");
  Up("x.bin", "x");
  Up("y.txt", "y");
  // Set: node and name copy; list; three name copies.
  for (int n = 1; n <= 6; n++) {
    SCOPED_TRACE(n);
    g_fallarAsignacionSpool = n;
    EXPECT_EQ(ArmarArchivo(), 11);
    EXPECT_FALSE(Exists(bundle));
    EXPECT_EQ(Restantes(), (std::vector<std::string>{"_svl.0", "_zelta.bin", "x.bin", "y.txt"}));
  }
  g_fallarAsignacionSpool = 7;
  EXPECT_EQ(ArmarArchivo(), 0);
}

TEST_F(ArmarTest, ListingStopsWith12WhenTheListIsFull) {
  for (const char *n : {"a", "b", "c", "_Svl.0", "input.dat"}) Up(n, "");
  struct Caso {
    size_t capacidad;
    int res;
    size_t cantidad;
  } casos[] = {{3, 12, 2}, {4, 0, 3}};
  for (const auto &c : casos) {
    SCOPED_TRACE(c.capacidad);
    DirectorioPtr listado(opendir(upload.c_str()));
    ListaArchivos lista;
    ASSERT_EQ(ReservarLista(lista, c.capacidad), 0);
    std::string encabezado;
    EXPECT_EQ(ListarArchivos(listado.get(), lista, encabezado), c.res);
    EXPECT_EQ(lista.cantidad, c.cantidad);
    if (c.res == 0) {
      EXPECT_EQ(encabezado, "_Svl.0");
    }
  }
}

TEST(ConjuntoNombresTest, MembershipIgnoresCaseAndNamesAreKeptOnce) {
  ConjuntoNombres conjunto;
  EXPECT_FALSE(ContieneNombre(conjunto, "a.bin"));
  ASSERT_TRUE(AgregarNombre(conjunto, "Data.BIN"));
  ASSERT_TRUE(AgregarNombre(conjunto, "DATA.bin"));
  ASSERT_TRUE(AgregarNombre(conjunto, "other"));
  EXPECT_TRUE(ContieneNombre(conjunto, "data.bin"));
  EXPECT_TRUE(ContieneNombre(conjunto, "OTHER"));
  EXPECT_FALSE(ContieneNombre(conjunto, "data"));
  EXPECT_EQ(CubetaNombre("Ab"), ('a' + 'b') % 31u);
  EXPECT_EQ(CubetaNombre("\xff"), 0xffu % 31u);
}

}  // namespace
