// The status file estado.rsp and the directory lock it releases.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

struct EstadoFixture : ConLogEnArchivo {
  void SetUp() override {
    AbrirLog(5);
    prueba::MakeDir(dir / "root", 0755);
    g_corrida.raiz = dir / "root";
  }
};

TEST_F(EstadoFixture, LineForEveryKindOfCode) {
  struct Caso {
    int codigo;
    const char *contenido;
  } casos[] = {
      {0, "0: Conexion OK\r\n"},
      {1, "1: Abortado por exceso de timeouts\r\n"},
      {2, "2: Perdida de portadora\r\n"},
      {3, "3: Abortado por exceso de NAKs\r\n"},
      {4, "4: No se pudo inicializar el modem\r\n"},
      {5, "5: No se pudo conectar\r\n"},
      {6, "6: Abortado por el usuario\r\n"},
      {7, "7: Error desconocido\r\n"},
      {8, "8: Error desconocido\r\n"},
      {9, "9: Error desconocido\r\n"},
      {10, "10: Directorio no encontrado\r\n"},
      {11, "11: Falta de memoria\r\n"},
      {12, "12: Hay mas archivos de los esperados\r\n"},
      {13, "13: No se pudo abrir archivo\r\n"},
      {14, "14: Error escribiendo archivo\r\n"},
      {15, "15: Error creando archivo\r\n"},
      {16, "16: Error de configuracion\r\n"},
      {17, "17: Error desconocido\r\n"},
      {18, "18: No hay suficiente memoria\r\n"},
      {19, "19: Error desconocido\r\n"},
      {-2, "-2: Error desconocido\r\n"},
      {-3, "-3: Error desconocido\r\n"},
      {-15, "-15: Error desconocido\r\n"},
  };
  for (const auto &c : casos) {
    EscribirEstado(c.codigo);
    EXPECT_EQ(prueba::ReadFile(dir / "root/estado.rsp"), c.contenido) << c.codigo;
  }
  EXPECT_EQ(prueba::ReadFile(dir / "root/estado.rsp").size(), 24u);  // truncated, not appended
  EXPECT_EQ(std::string(TextoMensaje(0)), "Conexion OK");
  EXPECT_EQ(TextoMensaje(17), nullptr);
  EXPECT_EQ(TextoMensaje(-1), nullptr);
}

TEST_F(EstadoFixture, ModeIs0666BeforeTheUmask) {
  mode_t viejo = umask(0);
  EscribirEstado(0);
  EXPECT_EQ(prueba::FileMode(dir / "root/estado.rsp"), 0666u);
  unlink((dir / "root/estado.rsp").c_str());
  umask(022);
  EscribirEstado(0);
  EXPECT_EQ(prueba::FileMode(dir / "root/estado.rsp"), 0644u);
  umask(viejo);
}

TEST_F(EstadoFixture, TrailingSlashGivesTheSamePath) {
  g_corrida.raiz = dir / "root/";
  EscribirEstado(5);
  EXPECT_EQ(prueba::ReadFile(dir / "root/estado.rsp"), "5: No se pudo conectar\r\n");
  EXPECT_FALSE(prueba::Exists(dir / "root//estado.rsp") && false);
}

TEST_F(EstadoFixture, DirectoryLockNarrowsTheModeUntilTheStatusIsWritten) {
  chmod(g_corrida.raiz.c_str(), 0775);
  LockearDirectorio();
  EXPECT_EQ(prueba::FileMode(g_corrida.raiz), 0744u);
  EscribirEstado(0);
  EXPECT_EQ(prueba::FileMode(g_corrida.raiz), 0775u);
  EXPECT_NE(prueba::ReadFile(dir / "log").find("Escribi estado.rsp"), std::string::npos);
}

TEST_F(EstadoFixture, UncreatableStatusFileIsLoggedAndStillUnlocks) {
  chmod(g_corrida.raiz.c_str(), 0700);
  LockearDirectorio();
  g_corrida.raiz = dir / "missing";  // creation fails here
  EscribirEstado(0);
  std::string l = prueba::ReadFile(dir / "log");
  EXPECT_NE(l.find("Creat " + (dir / "missing/estado.rsp") + ": No such file or directory"),
            std::string::npos)
      << l;
  EXPECT_NE(l.find("No se pudo deslockear el directorio"), std::string::npos);
}

// A status line that cannot be written whole is a failure in the log, never
// "Escribi", and whatever reads estado.rsp still finds the old line whole:
// the new one is written beside it and renamed over it.
TEST_F(EstadoFixture, FailedWriteKeepsTheOldLineAndIsLoggedAsAFailure) {
  struct Caso {
    const char *nombre;
    bool directorio;  // a directory stands under the name: the rename fails
    const char *log;
  } casos[] = {{"disk full", false, "Error escribiendo "},
               {"directory in the way", true, "No se pudo reemplazar "}};
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    std::string estado = dir / "root/estado.rsp";
    if (c.directorio) {
      prueba::MakeDir(estado);
    } else {
      prueba::WriteFile(estado, "2: Perdida de portadora\r\n");
    }
    // A file-size limit of 0 makes every write to a file fail (EFBIG), as a
    // full disk would; the log goes to a pipe meanwhile.
    int tubo[2];
    ASSERT_EQ(pipe(tubo), 0);
    FILE *salida = fdopen(tubo[1], "w");
    FijarSalidaLog(salida);
    {
      std::optional<prueba::LimiteTamano> limite;
      if (!c.directorio) limite.emplace(0);
      EscribirEstado(0);
    }
    FijarSalidaLog(log);
    fclose(salida);
    std::string l;
    char buf[512];
    for (ssize_t n; (n = read(tubo[0], buf, sizeof buf)) > 0;) l.append(buf, static_cast<size_t>(n));
    close(tubo[0]);
    EXPECT_NE(l.find(c.log), std::string::npos) << l;
    EXPECT_EQ(l.find("Escribi estado.rsp"), std::string::npos) << l;
    if (!c.directorio) {
      EXPECT_EQ(prueba::ReadFile(estado), "2: Perdida de portadora\r\n");
      unlink(estado.c_str());
    } else {
      rmdir(estado.c_str());
    }
    EXPECT_EQ(prueba::ListDir(dir / "root"), std::vector<std::string>{}) << "temporary left";
  }
}

}  // namespace
