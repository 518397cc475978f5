// The update run (-u): the fixed request, the check of the signed manifest,
// installation of the delivered files into the program directory with .bak
// copies, and its failures. Updates are signed with a throwaway publisher
// key by scripts/firmar-actualizacion and delivered by kaldo-server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "update_fixture.h"

namespace {

using prueba::ReadFile;
using prueba::WriteFile;

using actualizacion::Claves;
using actualizacion::kExtrano;
using actualizacion::kPublicador;

struct UpdateFixture : ::testing::Test {
  static std::unique_ptr<Claves> claves;
  static void SetUpTestSuite() {
    claves = std::make_unique<Claves>();
    if (!claves->Crear()) claves.reset();
  }
  static void TearDownTestSuite() { claves.reset(); }

  prueba::TempDir dir;
  std::string prog;
  std::string down;
  std::vector<std::string> entorno;  // extra environment of the zelta run
  void SetUp() override {
    ASSERT_TRUE(claves) << "no publisher key";
    prog = dir / "prog";
    down = dir / "down";
    prueba::InstallClient(prog);
    WriteFile(prog + "/zelta.conf", "MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\n");
    WriteFile(prog + "/zelta-actualizacion.gpg", ReadFile(claves->llavero));
    prueba::MakeDir(down);
  }
  // Writes and signs the manifest of dir/down.
  void Firmar(int serie, const char *clave = kPublicador) {
    auto r = claves->Firmar(down, serie, clave);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  // Signs a manifest written by hand, as a publisher without the script would.
  void FirmarManifiesto(const std::string &texto) {
    WriteFile(down + "/_manifiesto", texto);
    claves->Gpg({"--yes", "--local-user", kPublicador, "--detach-sign", "--output", down + "/_manifiesto.sig",
                 down + "/_manifiesto"});
  }
  // Serves one session delivering the files of dir/down; runs zelta -u.
  prueba::RunResult Actualizar() {
    unlink((dir / "port").c_str());
    auto srv = prueba::Spawn({prueba::Bin("kaldo-server"), "--port-file", dir / "port",
                              "--download-dir", down, "--upload", dir / "up.dat"});
    EXPECT_TRUE(prueba::WaitUntil([&] { return !ReadFile(dir / "port").empty(); }, 10000));
    WriteFile(prog + "/zelta.destinos", "0 0 ZELTAUPD - 127.0.0.1 " + ReadFile(dir / "port") + "\n");
    // Started through a fresh link to the built client each time.
    prueba::InstallClient(prog);
    auto r = prueba::Run({prog + "/zelta", "-u", "-t", "tcp", "-x5"}, 60000, entorno);
    srv.Wait(10000);
    return r;
  }
};
std::unique_ptr<Claves> UpdateFixture::claves;

TEST_F(UpdateFixture, InstallsDeliveredFilesWithBackups) {
  WriteFile(prog + "/datos.cfg", "v0\n", 0640);
  WriteFile(dir / "down/datos.cfg", "v1\n");
  WriteFile(dir / "down/rondador", "#!/bin/sh\n");
  WriteFile(dir / "down/_ticket.prn", "ticket\r\n");
  Firmar(1);
  auto r = Actualizar();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFile(prog + "/estado.rsp"), "0: Conexion OK\r\n");
  EXPECT_EQ(ReadFile(dir / "up.dat").substr(0, 26), "[_svl.0]\r\nV1510000ZELTAUPD");
  EXPECT_EQ(ReadFile(prog + "/datos.cfg"), "v1\n");
  EXPECT_EQ(ReadFile(prog + "/datos.cfg.bak"), "v0\n");
  EXPECT_EQ(prueba::FileMode(prog + "/datos.cfg"), 0640u);  // the old file's bits
  EXPECT_EQ(ReadFile(prog + "/rondador"), "#!/bin/sh\n");
  EXPECT_EQ(prueba::FileMode(prog + "/rondador"), 0755u);  // new program
  EXPECT_FALSE(prueba::Exists(prog + "/rondador.bak"));
  EXPECT_FALSE(prueba::Exists(prog + "/_ticket.prn"));
  // The manifest and its signature are never program files.
  EXPECT_FALSE(prueba::Exists(prog + "/_manifiesto"));
  EXPECT_FALSE(prueba::Exists(prog + "/_manifiesto.sig"));
  EXPECT_EQ(ReadFile(prog + "/zelta.version"), "1\n");
  EXPECT_EQ(prueba::FileMode(prog + "/zelta.version"), 0644u);
  EXPECT_NE(r.output.find("Actualizado datos.cfg"), std::string::npos);
  EXPECT_NE(r.output.find("Actualizado rondador"), std::string::npos);

  // A second update replaces the backups with the files it replaces.
  unlink((dir / "down/rondador").c_str());
  unlink((dir / "down/_ticket.prn").c_str());
  WriteFile(dir / "down/datos.cfg", "v2\n");
  Firmar(2);
  r = Actualizar();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFile(prog + "/datos.cfg"), "v2\n");
  EXPECT_EQ(ReadFile(prog + "/datos.cfg.bak"), "v1\n");
  EXPECT_EQ(ReadFile(prog + "/rondador"), "#!/bin/sh\n");
  EXPECT_EQ(ReadFile(prog + "/zelta.version"), "2\n");
}

TEST_F(UpdateFixture, ANewClientReplacesTheRunningOne) {
  WriteFile(dir / "down/zelta", "#!/bin/sh\necho nuevo\n");
  Firmar(1);
  auto r = Actualizar();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFile(prog + "/zelta"), "#!/bin/sh\necho nuevo\n");
  EXPECT_EQ(prueba::FileMode(prog + "/zelta"), 0755u);
  EXPECT_EQ(ReadFile(prog + "/zelta.bak"), ReadFile(prueba::Bin("zelta")));
}

TEST_F(UpdateFixture, FailureToInstallGives14AndKeepsEarlierBackups) {
  WriteFile(prog + "/a.cfg", "a0\n");
  prueba::MakeDir(prog + "/b.cfg");  // cannot be replaced by a file
  WriteFile(dir / "down/a.cfg", "a1\n");
  WriteFile(dir / "down/b.cfg", "b1\n");
  Firmar(1);
  auto r = Actualizar();
  EXPECT_EQ(r.status, 14) << r.output;
  EXPECT_EQ(ReadFile(prog + "/estado.rsp"), "14: Error escribiendo archivo\r\n");
  EXPECT_EQ(ReadFile(prog + "/a.cfg"), "a1\n");
  EXPECT_EQ(ReadFile(prog + "/a.cfg.bak"), "a0\n");
  // Not complete: the serial is not recorded, the same update may come again.
  EXPECT_FALSE(prueba::Exists(prog + "/zelta.version"));
}

// An update that must be refused whole: what spoils it after a good
// signature of serial 6 over datos.cfg and rondador, and the reason logged.
struct Rechazo {
  const char *nombre;
  void (*estropear)(UpdateFixture &f);
  const char *motivo;
};

void PrintTo(const Rechazo &r, std::ostream *os) { *os << r.nombre; }

void Intercambiar(const std::string &a, const std::string &b) {
  std::string x = ReadFile(a);
  WriteFile(a, ReadFile(b));
  WriteFile(b, x);
}

const Rechazo kRechazos[] = {
    {"NoManifest", [](UpdateFixture &f) { unlink((f.down + "/_manifiesto").c_str()); },
     "no se entrego el manifiesto _manifiesto"},
    {"NoSignature", [](UpdateFixture &f) { unlink((f.down + "/_manifiesto.sig").c_str()); },
     "no se entrego la firma _manifiesto.sig"},
    {"KeyNotInKeyring", [](UpdateFixture &f) { f.Firmar(6, kExtrano); },
     "_manifiesto.sig no es una firma valida de _manifiesto"},
    {"ManifestEditedAfterSigning",
     [](UpdateFixture &f) {
       std::string m = ReadFile(f.down + "/_manifiesto");
       WriteFile(f.down + "/_manifiesto", "serie 9" + m.substr(m.find('\n')));
     },
     "_manifiesto.sig no es una firma valida de _manifiesto"},
    {"SignedManifestWithCrLfLines",
     [](UpdateFixture &f) {
       std::string m = ReadFile(f.down + "/_manifiesto"), crlf;
       for (char c : m) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
       f.FirmarManifiesto(crlf);
     },
     "_manifiesto: la linea 1 no es \"serie <numero>\""},
    {"SignedManifestListsTheSerialRecord",
     [](UpdateFixture &f) {
       WriteFile(f.down + "/zelta.version", "0\n");
       f.FirmarManifiesto(ReadFile(f.down + "/_manifiesto") +
                          "9a271f2a916b0b6ee6cecb2426f0b3206ef074578be55d9bc94f6f3fe3ab86aa 2 zelta.version\n");
     },
     "_manifiesto: nombre no instalable en la linea 4"},
    {"FileAlteredAfterSigning", [](UpdateFixture &f) { WriteFile(f.down + "/datos.cfg", "v9\n"); },
     "el SHA-256 de datos.cfg no es el de _manifiesto"},
    {"FileGrownAfterSigning", [](UpdateFixture &f) { WriteFile(f.down + "/datos.cfg", "v1 y mas\n"); },
     "datos.cfg tiene 9 bytes, _manifiesto dice 3"},
    {"FileDeliveredButNotListed", [](UpdateFixture &f) { WriteFile(f.down + "/extra.cfg", "x\n"); },
     "extra.cfg entregado pero no listado en _manifiesto"},
    {"ListedFileMissing", [](UpdateFixture &f) { unlink((f.down + "/rondador").c_str()); },
     "rondador listado en _manifiesto pero no entregado"},
    {"TwoNamesSwapped", [](UpdateFixture &f) { Intercambiar(f.down + "/datos.cfg", f.down + "/rondador"); },
     "el SHA-256 de datos.cfg no es el de _manifiesto"},
    {"SameSerialAgain", [](UpdateFixture &f) { WriteFile(f.prog + "/zelta.version", "6\n"); },
     "serie 6 no es mayor que la instalada (6)"},
    {"LowerSerial", [](UpdateFixture &f) { WriteFile(f.prog + "/zelta.version", "7\n"); },
     "serie 6 no es mayor que la instalada (7)"},
    {"UnreadableInstalledSerial", [](UpdateFixture &f) { WriteFile(f.prog + "/zelta.version", "siete\n"); },
     "no se puede leer la serie instalada de"},
    {"NoKeyring", [](UpdateFixture &f) { unlink((f.prog + "/zelta-actualizacion.gpg").c_str()); },
     "no hay llavero del publicador"},
    {"NoGpgvOnTheSearchPath",
     [](UpdateFixture &f) {
       prueba::MakeDir(f.dir / "sin-gpgv");
       f.entorno = {"PATH=" + (f.dir / "sin-gpgv")};
     },
     "gpgv no esta en el camino de busqueda (PATH)"},
};

struct UpdateRefused : UpdateFixture, ::testing::WithParamInterface<Rechazo> {};

TEST_P(UpdateRefused, InstallsNothingAndGives14WithTheReason) {
  WriteFile(prog + "/datos.cfg", "v0\n");
  WriteFile(prog + "/zelta.version", "5\n");
  WriteFile(dir / "down/datos.cfg", "v1\n");
  WriteFile(dir / "down/rondador", "#!\n");  // as long as datos.cfg: a swap shows in the digests only
  Firmar(6);
  GetParam().estropear(*this);
  std::string version = ReadFile(prog + "/zelta.version");
  auto r = Actualizar();
  EXPECT_EQ(r.status, 14) << r.output;
  EXPECT_EQ(ReadFile(prog + "/estado.rsp"), "14: Error escribiendo archivo\r\n");
  EXPECT_NE(r.output.find(std::string("Actualizacion rechazada: ") + GetParam().motivo), std::string::npos)
      << r.output;
  EXPECT_EQ(ReadFile(prog + "/datos.cfg"), "v0\n");
  EXPECT_FALSE(prueba::Exists(prog + "/datos.cfg.bak"));
  EXPECT_FALSE(prueba::Exists(prog + "/rondador"));
  EXPECT_EQ(ReadFile(prog + "/zelta.version"), version);
  EXPECT_EQ(r.output.find("Actualizado "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Casos, UpdateRefused, ::testing::ValuesIn(kRechazos),
                         [](const auto &caso) { return std::string(caso.param.nombre); });

}  // namespace
