// paquete_test.cpp - a terminal's own user (nobody) against packing and the
// resend, with the client running as root under umask 0: a sparse file that
// would make root write a bundle that can never be sent, a spool file
// system the bundle cannot fit in, and retained files (names, links, a
// retenidos/ of the user's own, another host's bundle) that would make root
// send what the user planted or write outside retenidos/<name>/.
//
// The attacker is a forked child that has switched to nobody, so these
// tests need root; without it they are skipped.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "nadie.h"
#include "support.h"
#include "tcp_fixture.h"

namespace {

using prueba::Exists;
using prueba::ReadFile;
using prueba::WriteFile;

// Every entry below dir with its content (files) or kind, for comparing.
std::map<std::string, std::string> Foto(const std::string &dir) {
  std::map<std::string, std::string> f;
  for (const auto &n : prueba::ListDir(dir)) {
    std::string p = dir + "/" + n;
    struct stat st;
    lstat(p.c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      for (const auto &[k, v] : Foto(p)) f[n + "/" + k] = v;
      f[n + "/"] = "dir uid=" + std::to_string(st.st_uid);
    } else if (S_ISREG(st.st_mode)) {
      f[n] = ReadFile(p) + "|size=" + std::to_string(st.st_size);
    } else {
      f[n] = "mode=" + std::to_string(st.st_mode);
    }
  }
  return f;
}

// One terminal root owned by nobody, as the daemon would run it.
struct Terreno {
  Usuario nadie;
  tcp::Terminal t;
  tcp::Servidor srv;
  std::string subida;  // what the server received
  mode_t vieja = umask(0);

  Terreno() {
    BuscarNadie(nadie);
    chmod(t.tmp.path.c_str(), 0755);
    subida = t.tmp / "subida";
  }
  ~Terreno() { umask(vieja); }
  void Entregar() { ChownR(t.raiz, nadie); }
  prueba::RunResult Correr(const std::vector<std::string> &argv, const std::string &extra = "") {
    EXPECT_TRUE(srv.Start(t.tmp, {"--upload", subida, "--timeout", "10"}));
    t.Configurar("127.0.0.1", srv.puerto, extra);
    prueba::RunResult r = prueba::Run(argv, 30000);
    EXPECT_NE(r.status, -1000) << "the client hung\n" << t.Log();
    return r;
  }
  prueba::RunResult Sesion(const std::string &extra = "") { return Correr(t.Argv(), extra); }
  prueba::RunResult Reenvio() {
    return Correr({t.zelta, "-r", "-t", "tcp", "-x20", "-l", t.log, t.raiz});
  }
  bool Enviado() const { return !ReadFile(subida).empty(); }
};

// ---------------------------------------------------------------- packing

// A sparse file: 200 MB by its size, nothing on the disk. Refused by its
// size before a byte is copied; upload/ stays exactly as it was.
TEST(PaqueteHostil, SparseFileIsRefusedBeforeAnyByteIsWritten) {
  REQUIERE_ROOT();
  Terreno f;
  f.t.Subir("nota.txt", "hola\r\n");
  f.Entregar();
  std::string grande = f.t.raiz + "/upload/grande.bin";
  ASSERT_TRUE(Como(f.nadie, [&] {
    int fd = open(grande.c_str(), O_CREAT | O_WRONLY, 0644);
    return fd >= 0 && ftruncate(fd, 200LL << 20) == 0 && close(fd) == 0;
  }));
  auto antes = Foto(f.t.raiz + "/upload");
  prueba::RunResult r = f.Sesion();
  EXPECT_EQ(r.status, 12) << f.t.Log();
  EXPECT_EQ(Foto(f.t.raiz + "/upload"), antes) << "upload/ changed";
  EXPECT_FALSE(Exists(f.t.raiz + "/retenidos")) << "something was retained";
  EXPECT_FALSE(f.Enviado());
  EXPECT_NE(f.t.Log().find("Transaccion demasiado grande para empaquetar: al menos 2088"),
            std::string::npos)
      << f.t.Log();
  EXPECT_EQ(f.t.Estado(), "12: Hay mas archivos de los esperados\r\n");
}

// A small file system of its own (tmpfs) under upload/: a bundle that
// cannot fit in it with the reserve is refused (14) before a byte is
// written; one that fits goes.
TEST(PaqueteHostil, BundleThatDoesNotFitTheFreeSpaceIsRefused) {
  REQUIERE_ROOT();
  struct CasoEspacio {
    const char *nombre;
    size_t tamano;      // bytes the user writes into upload/
    const char *extra;  // zelta.conf lines
    int codigo;
  } casos[] = {
      {"fits", 1 << 20, "", 0},
      {"escaped it could fill the file system", 5 << 20, "", 14},
      {"only the reserve is left", 200 << 10, "RESERVA=99\n", 14},
  };
  for (const CasoEspacio &c : casos) {
    SCOPED_TRACE(c.nombre);
    Terreno f;
    std::string upload = f.t.raiz + "/upload";
    if (mount("tmpfs", upload.c_str(), "tmpfs", 0, "size=8m,mode=0755") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    }
    struct Desmontar {
      std::string p;
      ~Desmontar() { umount2(p.c_str(), MNT_DETACH); }
    } desmontar{upload};
    f.t.Subir("_svl.0", std::string(tcp::Terminal::kEncabezado) + "\r\n");
    f.Entregar();
    std::string archivo = upload + "/DATOS.TXT";
    ASSERT_TRUE(Como(f.nadie, [&] {
      std::string datos(c.tamano, 'd');
      WriteFile(archivo, datos);
      return ReadFile(archivo).size() == c.tamano;
    }));
    auto antes = Foto(upload);
    prueba::RunResult r = f.Sesion(c.extra);
    EXPECT_EQ(r.status, c.codigo) << f.t.Log();
    if (c.codigo == 0) {
      EXPECT_TRUE(prueba::WaitUntil([&] { return f.Enviado(); }, 5000));
      continue;
    }
    EXPECT_EQ(Foto(upload), antes) << "upload/ changed";
    EXPECT_FALSE(f.Enviado());
    EXPECT_NE(f.t.Log().find("Sin espacio para empaquetar"), std::string::npos) << f.t.Log();
  }
}

// ---------------------------------------------------------------- resend

// A bundle as the client retains it, with the given host identification.
std::string Bundle(const std::string &hostid, const std::string &archivo) {
  return std::string("[_svl.0]\r\n") + tcp::Terminal::kEncabezado + hostid + "\r\n[" + archivo +
         "]\r\nplantado\r\n[FIN]\r\n";
}

struct CasoReenvio {
  const char *nombre;
  // Lays the attack out (the test is root; what runs as nobody says so).
  std::function<bool(Terreno &)> preparar;
  int codigo;
  const char *mensaje;  // in the log
};

const std::vector<CasoReenvio> &CasosReenvio() {
  // Files root itself would have put in a proper retenidos/.
  static const auto enRetenidos = [](Terreno &f, const std::string &nombre,
                                     const std::string &contenido) {
    std::string dir = f.t.raiz + "/retenidos";
    mkdir(dir.c_str(), 0750);
    WriteFile(dir + "/" + nombre, contenido, 0640);
    return true;
  };
  static const std::vector<CasoReenvio> casos = {
      {"a name of dots", [](Terreno &f) {
         return enRetenidos(f, "...subida", Bundle(tcp::HostId(), "PUNTOS.TXT"));
       }, 0, "Retenido ignorado (nombre que zelta no hace): ...subida"},
      {"a short name", [](Terreno &f) {
         return enRetenidos(f, "x.subida", Bundle(tcp::HostId(), "X.TXT"));
       }, 0, "Retenido ignorado (nombre que zelta no hace): x.subida"},
      {"a division slash in the name", [](Terreno &f) {
         return enRetenidos(f, "20260101000000-1\xe2\x88\x95..subida",
                            Bundle(tcp::HostId(), "BARRA.TXT"));
       }, 0, "Retenido ignorado (nombre que zelta no hace)"},
      {"eleven digits of pid", [](Terreno &f) {
         return enRetenidos(f, "20260101000000-12345678901.subida",
                            Bundle(tcp::HostId(), "LARGO.TXT"));
       }, 0, "Retenido ignorado (nombre que zelta no hace)"},
      {"a link to a bundle outside the root", [](Terreno &f) {
         WriteFile(f.t.tmp / "fuera.subida", Bundle(tcp::HostId(), "FUERA.TXT"), 0600);
         enRetenidos(f, "otro", "");
         return symlink((f.t.tmp / "fuera.subida").c_str(),
                        (f.t.raiz + "/retenidos/20260101000000-1.subida").c_str()) == 0;
       }, 0, "Retenido ignorado (no es un archivo regular): 20260101000000-1.subida"},
      {"another host's bundle", [](Terreno &f) {
         return enRetenidos(f, "20260101000000-1.subida",
                            Bundle("0123456789abcdef0123456789abcdef", "AJENO.TXT"));
       }, 0, "Retenido rechazado: 20260101000000-1.subida no lleva la identificacion"},
      {"a retenidos/ made by nobody", [](Terreno &f) {
         std::string dir = f.t.raiz + "/retenidos";
         return Como(f.nadie, [&] {
           return mkdir(dir.c_str(), 0700) == 0 &&
                  (WriteFile(dir + "/20260101000000-1.subida", Bundle(tcp::HostId(), "N.TXT")),
                   true);
         });
       }, 15, "retenidos: no es un directorio de root cerrado a los demas usuarios"},
      {"a retenidos/ of root that others may write", [](Terreno &f) {
         enRetenidos(f, "20260101000000-1.subida", Bundle(tcp::HostId(), "ABIERTO.TXT"));
         return chmod((f.t.raiz + "/retenidos").c_str(), 0777) == 0;
       }, 15, "no es un directorio de root cerrado a los demas usuarios"},
      {"retenidos/ a link to root's directory elsewhere", [](Terreno &f) {
         std::string otro = f.t.tmp / "otro";
         mkdir(otro.c_str(), 0750);
         WriteFile(otro + "/20260101000000-1.subida", Bundle(tcp::HostId(), "LINK.TXT"), 0600);
         std::string dir = f.t.raiz + "/retenidos";
         return Como(f.nadie, [&] { return symlink(otro.c_str(), dir.c_str()) == 0; });
       }, 15, "es un enlace simbolico"},
  };
  return casos;
}

// Every attack: the planted bundle is never sent, the terminal's estado.rsp
// and download/ are untouched, and nothing outside retenidos/ changes.
TEST(PaqueteHostil, ResendSendsOnlyWhatTheClientRetained) {
  REQUIERE_ROOT();
  for (const auto &c : CasosReenvio()) {
    SCOPED_TRACE(c.nombre);
    Terreno f;
    WriteFile(f.t.raiz + "/estado.rsp", "7: de antes\r\n");
    WriteFile(f.t.raiz + "/download/A.TXT", "de la terminal\r\n");
    f.Entregar();
    ASSERT_TRUE(c.preparar(f)) << "the attack itself failed";
    auto antes = Foto(f.t.raiz);
    auto otro = Foto(f.t.tmp / "otro");
    prueba::RunResult r = f.Reenvio();
    EXPECT_EQ(r.status, c.codigo) << f.t.Log();
    EXPECT_FALSE(f.Enviado()) << ReadFile(f.subida);
    EXPECT_EQ(Foto(f.t.raiz), antes) << "something under the root changed";
    EXPECT_EQ(Foto(f.t.tmp / "otro"), otro);
    EXPECT_NE(f.t.Log().find(c.mensaje), std::string::npos) << f.t.Log();
  }
}

// The normal run never retains into a retenidos/ the user made: the failed
// bundle stays in upload/, and the next run refuses (15) rather than pack
// over it.
TEST(PaqueteHostil, RunNeverRetainsIntoTheUsersRetenidos) {
  REQUIERE_ROOT();
  Terreno f;
  f.t.Subir("nota.txt", "hola\r\n");
  f.Entregar();
  std::string dir = f.t.raiz + "/retenidos";
  ASSERT_TRUE(Como(f.nadie, [&] { return mkdir(dir.c_str(), 0777) == 0; }));
  EXPECT_TRUE(f.srv.Start(f.t.tmp, {"--upload", f.subida, "--close-at", "end"}));
  f.t.Configurar("127.0.0.1", f.srv.puerto);
  prueba::RunResult r = f.t.Correr(30000);
  EXPECT_EQ(r.status, 2) << f.t.Log();
  EXPECT_TRUE(prueba::ListDir(dir).empty());
  EXPECT_TRUE(Exists(f.t.raiz + "/upload/input.dat"));
  EXPECT_NE(f.t.Log().find("no es un directorio de root cerrado a los demas usuarios"),
            std::string::npos);
  r = f.t.Correr(30000);
  EXPECT_EQ(r.status, 15) << f.t.Log();
  EXPECT_TRUE(prueba::ListDir(dir).empty());
  EXPECT_TRUE(Exists(f.t.raiz + "/upload/input.dat"));
}

// A resend that works: the answer goes into a folder made for it, past a
// folder of an earlier resend that still holds an answer, and nowhere else.
TEST(PaqueteHostil, ResendAnswerGoesIntoAFreshFolderOnly) {
  REQUIERE_ROOT();
  Terreno f;
  WriteFile(f.t.raiz + "/estado.rsp", "7: de antes\r\n");
  WriteFile(f.t.tmp / "bajada", "[A.TXT]\r\nrespuesta\r\n[FIN]\r\n");
  f.Entregar();
  std::string ret = f.t.raiz + "/retenidos";
  mkdir(ret.c_str(), 0750);
  WriteFile(ret + "/20260101000000-1.subida", Bundle(tcp::HostId(), "BUENO.TXT"), 0640);
  mkdir((ret + "/20260101000000-1").c_str(), 0750);
  WriteFile(ret + "/20260101000000-1/A.TXT", "respuesta vieja\r\n", 0640);
  auto fuera = Foto(f.t.raiz);
  fuera.erase(fuera.lower_bound("retenidos/"), fuera.upper_bound("retenidos/\xff"));
  EXPECT_TRUE(f.srv.Start(f.t.tmp, {"--upload", f.subida, "--download", f.t.tmp / "bajada"}));
  f.t.Configurar("127.0.0.1", f.srv.puerto);
  prueba::RunResult r =
      prueba::Run({f.t.zelta, "-r", "-t", "tcp", "-x20", "-l", f.t.log, f.t.raiz}, 30000);
  EXPECT_EQ(r.status, 0) << f.t.Log();
  EXPECT_NE(ReadFile(f.subida).find("[BUENO.TXT]"), std::string::npos);
  EXPECT_EQ(ReadFile(ret + "/20260101000000-1/A.TXT"), "respuesta vieja\r\n");
  EXPECT_EQ(ReadFile(ret + "/20260101000000-1.1/A.TXT"), "respuesta\r\n");
  auto despues = Foto(f.t.raiz);
  despues.erase(despues.lower_bound("retenidos/"), despues.upper_bound("retenidos/\xff"));
  EXPECT_EQ(despues, fuera);
  EXPECT_EQ(f.t.Estado(), "7: de antes\r\n");
}

}  // namespace
