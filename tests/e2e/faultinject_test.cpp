// faultinject_test.cpp - libzeltafault itself: every call it hooks is
// counted in its class when it names something below the root, and not
// otherwise; call N of a class fails with the chosen error and nothing
// else fails; the program's exit handlers are still counted. A hook the C
// library bypasses (a wrapper resolved inside it, a 64-bit alias) would
// leave the fault sweep counting nothing for that call without a word.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

std::string Lib() { return prueba::BinDir() + "/../lib"; }

struct Llamada {
  const char *nombre;  // as zeltafault-sonda prints it
  const char *clase;
  long numero;         // its number in the class, below the root
  long resultado;      // what it returns when it succeeds
};

// zeltafault-sonda's calls below the root, in its order.
const std::vector<Llamada> &Llamadas() {
  static const std::vector<Llamada> kLlamadas = {
      {"mkdirat", "mkdir", 1, 0},       {"mkdir", "mkdir", 2, 0},
      {"pwrite", "write", 1, 4},        {"write", "write", 2, 4},
      {"ftruncate", "truncate", 1, 0},  {"fsync", "sync", 1, 0},
      {"fdatasync", "sync", 2, 0},      {"fsync-dir", "sync", 3, 0},
      {"syncfs", "sync", 4, 0},         {"linkat", "link", 1, 0},
      {"link", "link", 2, 0},           {"renameat2", "rename", 1, 0},
      {"rename", "rename", 2, 0},       {"unlinkat", "unlink", 1, 0},
      {"unlink", "unlink", 2, 0},       {"unlinkat-dir", "unlink", 3, 0},
      {"rmdir", "unlink", 4, 0},        {"unlink-at-exit", "unlink", 5, 0}};
  return kLlamadas;
}

struct Corrida {
  prueba::RunResult run;
  std::map<std::string, std::string> lineas;  // call -> "result errno"
  std::map<std::string, long> cuenta;         // class -> count
};

Corrida Sondear(const prueba::TempDir &tmp, const std::string &falla) {
  std::string raiz = tmp / "raiz", fuera = tmp / "fuera";
  prueba::MakeDir(raiz);
  prueba::MakeDir(fuera);
  std::vector<std::string> env = {"LD_PRELOAD=" + Lib() + "/libzeltafault.so",
                                  "ZELTA_FAULT_ROOT=" + raiz,
                                  "ZELTA_FAULT_COUNT=" + (tmp / "cuenta")};
  if (!falla.empty()) env.push_back("ZELTA_FAULT=" + falla);
  Corrida c;
  c.run = prueba::Run({Lib() + "/zeltafault-sonda", raiz, fuera}, 10000, env);
  std::istringstream out(c.run.output);
  std::string llamada, resto;
  while (out >> llamada && std::getline(out, resto)) c.lineas[llamada] = resto.substr(1);
  std::istringstream cuenta(prueba::ReadFile(tmp / "cuenta"));
  std::string campo;
  while (cuenta >> campo) {
    size_t igual = campo.find('=');
    if (igual != std::string::npos) c.cuenta[campo.substr(0, igual)] = atol(campo.c_str() + igual + 1);
  }
  return c;
}

std::string Exito(const Llamada &l) { return std::to_string(l.resultado) + " 0"; }

TEST(FaultInject, CountsEachHookedCallBelowTheRootOnly) {
  prueba::TempDir tmp;
  Corrida c = Sondear(tmp, "");
  ASSERT_EQ(c.run.status, 0) << c.run.output;
  std::map<std::string, long> esperada;
  for (const auto &l : Llamadas()) {
    EXPECT_EQ(c.lineas[l.nombre], Exito(l)) << l.nombre;
    esperada[l.clase] = std::max(esperada[l.clase], l.numero);
  }
  for (const auto &[clase, n] : esperada) EXPECT_EQ(c.cuenta[clase], n) << clase;
  // The count line keeps its first fields where they were.
  EXPECT_EQ(prueba::ReadFile(tmp / "cuenta").rfind("write=", 0), 0u);
}

TEST(FaultInject, FailsExactlyTheChosenCall) {
  for (const auto &l : Llamadas()) {
    for (const char *modo : {"", ":enospc"}) {
      std::string falla = std::string(l.clase) + ":" + std::to_string(l.numero) + modo;
      SCOPED_TRACE("ZELTA_FAULT=" + falla);
      prueba::TempDir tmp;
      Corrida c = Sondear(tmp, falla);
      ASSERT_EQ(c.run.status, 0) << c.run.output;
      int error = *modo ? ENOSPC : EIO;
      EXPECT_EQ(c.lineas[l.nombre], "-1 " + std::to_string(error));
      for (const auto &otra : Llamadas()) {
        // A call on a name the failed one did not make fails on its own.
        if (&otra == &l || c.lineas[otra.nombre].rfind("-1 2", 0) == 0) continue;
        EXPECT_EQ(c.lineas[otra.nombre], Exito(otra)) << otra.nombre;
      }
    }
  }
}

TEST(FaultInject, ShortWriteThroughPwrite) {
  prueba::TempDir tmp;
  Corrida c = Sondear(tmp, "write:1:short");
  ASSERT_EQ(c.run.status, 0) << c.run.output;
  EXPECT_EQ(c.lineas["pwrite"], "2 0");
  EXPECT_EQ(c.lineas["write"], "4 0");
}

}  // namespace
