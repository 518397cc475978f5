// registro_test.cpp - a failure logged with its errno reads exactly as the
// message, ": " and strerror written out in one log_f, cut at the same
// length, and follows the debug level.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "opciones.h"
#include "registro.h"
#include "support.h"

namespace {

using namespace rondador;

class RondadorRegistro : public ::testing::Test {
 protected:
  prueba::TempDir tmp;
  std::string rutalog = tmp / "log";
  void SetUp() override {
    logfile = fopen(rutalog.c_str(), "w");
    ASSERT_NE(logfile, nullptr);
    debuglevel = 5;
  }
  void TearDown() override {
    fclose(logfile);
    logfile = nullptr;
    debuglevel = 1;
  }
  // The log's lines without their time stamps, and the log emptied.
  std::vector<std::string> Lineas() {
    std::string texto = prueba::ReadFile(rutalog);
    std::vector<std::string> v;
    for (size_t ini = 0, fin; (fin = texto.find('\n', ini)) != std::string::npos; ini = fin + 1) {
      std::string l = texto.substr(ini, fin - ini);
      v.push_back(l.size() >= 16 ? l.substr(16) : l);  // "%b %d %H:%M:%S "
    }
    EXPECT_EQ(ftruncate(fileno(logfile), 0), 0);
    rewind(logfile);
    return v;
  }
};

TEST_F(RondadorRegistro, FailureReadsAsMessageColonStrerror) {
  struct Caso {
    const char *nombre;
    std::string mensaje;
    int error;
  };
  const std::string largo(495, 'x');
  const Caso casos[] = {
      {"short", "Error al borrar la marca tx/T1", ENOENT},
      {"errno text cut at the limit", largo, EACCES},
      {"message alone fills the line", std::string(499, 'y'), EIO},
      {"message longer than the line", std::string(600, 'z'), EIO},
      {"empty message", "", ENOSPC},
  };
  for (const Caso &c : casos) {
    log_f(1, "%s: %s", c.mensaje.c_str(), strerror(c.error));
    log_falla(1, c.error, "%s", c.mensaje.c_str());
    std::vector<std::string> v = Lineas();
    ASSERT_EQ(v.size(), 2u) << c.nombre;
    EXPECT_EQ(v[1], v[0]) << c.nombre;
    EXPECT_LE(v[1].size(), 499u) << c.nombre;
  }
  log_falla(1, EACCES, "No se puede bloquear %s para este rondador", "/b/.rondador.lck");
  EXPECT_EQ(Lineas(), std::vector<std::string>{
                          "No se puede bloquear /b/.rondador.lck para este rondador: " +
                          std::string(strerror(EACCES))});
}

TEST_F(RondadorRegistro, FailureAboveTheDebugLevelIsNotWritten) {
  log_falla(6, EIO, "nivel %d", 6);
  log_falla(5, EIO, "nivel %d", 5);
  EXPECT_EQ(Lineas(), std::vector<std::string>{"nivel 5: " + std::string(strerror(EIO))});
}

}  // namespace
