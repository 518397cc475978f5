// archivos_test.cpp - the file-access layer under an untrusted root: what
// each call does with a link, a FIFO, a device, a directory and a plain
// file standing under the name it is given.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "control.h"
#include "support.h"

namespace {

using prueba::ReadFile;
using prueba::WriteFile;

// What may stand under a name inside the root.
enum Entrada { kNada, kArchivo, kEnlace, kEnlaceRoto, kFifo, kDispositivo, kDirectorio };

struct Raiz {
  prueba::TempDir tmp;
  std::string ajeno;  // a file outside the root
  Descriptor fd;
  Raiz() {
    prueba::MakeDir(tmp / "raiz");
    ajeno = tmp / "ajeno";
    WriteFile(ajeno, "ajeno", 0600);
    EXPECT_EQ(AbrirRaiz(tmp / "raiz", fd), 0);
  }
  void Poner(const std::string &nombre, Entrada e) {
    std::string p = tmp / ("raiz/" + nombre);
    switch (e) {
      case kNada: break;
      case kArchivo: WriteFile(p, "propio"); break;
      case kEnlace: ASSERT_EQ(symlink(ajeno.c_str(), p.c_str()), 0); break;
      case kEnlaceRoto: ASSERT_EQ(symlink((tmp / "nada").c_str(), p.c_str()), 0); break;
      case kFifo: ASSERT_EQ(mkfifo(p.c_str(), 0666), 0); break;
      case kDispositivo: ASSERT_EQ(symlink("/dev/zero", p.c_str()), 0); break;
      case kDirectorio: prueba::MakeDir(p); break;
    }
  }
  bool AjenoIntacto() const {
    return ReadFile(ajeno) == "ajeno" && prueba::FileMode(ajeno) == 0600;
  }
};

struct CasoLectura {
  const char *nombre;
  Entrada entrada;
  int error;
};

TEST(ArchivosTest, ReadingOpensRegularFilesOnlyAndNeverBlocks) {
  const CasoLectura casos[] = {
      {"plain file", kArchivo, 0},        {"missing", kNada, ENOENT},
      {"link", kEnlace, ELOOP},           {"dangling link", kEnlaceRoto, ELOOP},
      {"FIFO", kFifo, kNoRegular},        {"link to a device", kDispositivo, ELOOP},
      {"directory", kDirectorio, kNoRegular},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    Raiz r;
    r.Poner("f", c.entrada);
    Descriptor fd;
    off_t tamano = -1;
    EXPECT_EQ(AbrirLectura(r.fd.fd, "f", fd, &tamano), c.error);
    EXPECT_EQ(fd.fd >= 0, c.error == 0);
    if (c.error == 0) {
      EXPECT_EQ(tamano, 6);
      EXPECT_EQ(fcntl(fd.fd, F_GETFL) & O_NONBLOCK, 0);  // cleared again
    }
  }
}

TEST(ArchivosTest, CreatingReplacesWhateverStoodThereWithoutFollowingIt) {
  const Entrada entradas[] = {kNada, kArchivo, kEnlace, kEnlaceRoto, kFifo, kDispositivo};
  for (Entrada e : entradas) {
    SCOPED_TRACE(e);
    Raiz r;
    r.Poner("f", e);
    Descriptor fd;
    mode_t vieja = umask(022);
    ASSERT_EQ(CrearArchivo(r.fd.fd, "f", 0666, fd), 0);
    umask(vieja);
    ASSERT_TRUE(EscribirTodo(fd.fd, "nuevo", 5));
    fd.Cerrar();
    std::string p = r.tmp / "raiz/f";
    struct stat st;
    ASSERT_EQ(lstat(p.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // the umask applies
    EXPECT_EQ(ReadFile(p), "nuevo");
    EXPECT_TRUE(r.AjenoIntacto());
    EXPECT_FALSE(prueba::Exists(r.tmp / "nada"));
  }
  Raiz r;
  r.Poner("d", kDirectorio);
  Descriptor fd;
  EXPECT_EQ(CrearArchivo(r.fd.fd, "d", 0666, fd), EISDIR);
}

TEST(ArchivosTest, PathsBelowTheRootNeverCrossALink) {
  Raiz r;
  prueba::MakeDir(r.tmp / "otro");
  WriteFile(r.tmp / "otro/f", "ajeno");
  ASSERT_EQ(symlink((r.tmp / "otro").c_str(), (r.tmp / "raiz/sub").c_str()), 0);
  Descriptor fd;
  EXPECT_EQ(AbrirDirectorio(r.fd.fd, "sub", fd), ELOOP);
  EXPECT_EQ(AbrirLectura(r.fd.fd, "sub/f", fd), ELOOP);
  EXPECT_EQ(CrearArchivo(r.fd.fd, "sub/g", 0666, fd), ELOOP);
  EXPECT_EQ(BorrarArchivo(r.fd.fd, "sub/f"), ELOOP);
  EXPECT_EQ(ComprobarDirectorio(r.fd.fd, "sub"), ELOOP);
  EXPECT_EQ(ReadFile(r.tmp / "otro/f"), "ajeno");
  EXPECT_FALSE(prueba::Exists(r.tmp / "otro/g"));

  r.Poner("real", kDirectorio);
  r.Poner("plano", kArchivo);
  EXPECT_EQ(ComprobarDirectorio(r.fd.fd, "real"), 0);
  EXPECT_EQ(ComprobarDirectorio(r.fd.fd, "plano"), kNoRegular);
  EXPECT_EQ(ComprobarDirectorio(r.fd.fd, "falta"), ENOENT);
  EXPECT_EQ(AbrirDirectorio(r.fd.fd, "plano", fd), kNoRegular);
  ASSERT_EQ(CrearArchivo(r.fd.fd, "real/g", 0600, fd), 0);
  fd.Cerrar();
  EXPECT_EQ(BorrarArchivo(r.fd.fd, "real/g"), 0);
  EXPECT_FALSE(prueba::Exists(r.tmp / "raiz/real/g"));
}

}  // namespace
