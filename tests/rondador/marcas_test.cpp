// marcas_test.cpp - the marker is taken before its client starts: the real
// daemon, with libzeltakill preloaded, is killed right after each of its
// file-changing calls (deleting a marker, syncing tx/, forking a client,
// ...) and started again; no marker may start two clients, and only the
// marker it had taken but not yet started may be left without one.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_support.h"
#include "support.h"

namespace rondadortest {
namespace {

std::string Biblioteca() { return prueba::BinDir() + "/../lib/libzeltakill.so"; }

// What the trace of a killed daemon says: how many clients it forked, and
// the marker it had deleted without starting its client ("" when none).
struct Traza {
  size_t forks = 0;
  std::string sinarrancar;
  std::string ultima;  // the call it was killed after
};

Traza LeerTraza(const std::string &archivo, const std::string &tx) {
  Traza t;
  std::istringstream in(prueba::ReadFile(archivo));
  std::string linea;
  while (std::getline(in, linea)) {
    t.ultima = linea;
    std::istringstream campos(linea);
    std::string n, llamada, ruta;
    campos >> n >> llamada >> ruta;
    if (llamada == "fork") {
      ++t.forks;
      t.sinarrancar.clear();
    } else if (llamada == "unlink" && ruta.rfind(tx + "/", 0) == 0) {
      t.sinarrancar = ruta.substr(tx.size() + 1);
    }
  }
  return t;
}

TEST_F(Rondador, NoMarkerStartsTwoClientsWhenTheDaemonIsKilledAnywhereInItsLoop) {
  const std::vector<std::string> terminales = {"T1", "T2", "T3"};
  std::string traza = tmp / "traza";
  std::string precarga = prueba::PrecargaCon(Biblioteca());
  ASSERT_TRUE(prueba::Exists(Biblioteca())) << Biblioteca();
  // T1's service codes are rewritten before its start; the table chains
  // (AAAAAA -> BBBBBB -> CCCCCC), so a rewrite done twice would show.
  prueba::WriteFile(tmp / "trans", "AAAAAABBBBBB\nBBBBBBCCCCCC\n");
  const std::string svl = Raiz("T1") + "/upload/_svl.2";
  long puntos = 0;
  for (long n = 1; n < 100; ++n) {
    SCOPED_TRACE("killed after call " + std::to_string(n));
    MatarTodo();
    for (const auto &d : {llamadas, tx})
      for (const auto &f : prueba::ListDir(d)) unlink((d + "/" + f).c_str());
    unlink(traza.c_str());
    for (size_t i = 0; i < terminales.size(); ++i) {
      prueba::MakeDir(Raiz(terminales[i]));
      Marca(terminales[i], static_cast<int>(30 - 10 * i));
    }
    prueba::MakeDir(Raiz("T1") + "/upload");
    prueba::WriteFile(svl, "AAAAAA 0001\n");
    std::vector<std::string> env = Entorno();
    env.push_back("LD_PRELOAD=" + precarga);
    env.push_back("ZELTA_MATAR=" + std::to_string(n));
    env.push_back("ZELTA_MATAR_TRAZA=" + traza);
    Lanzar({prueba::Bin("rondador"), base, cliente, "-l", log, "-t", tmp / "trans"}, env);
    ASSERT_TRUE(prueba::WaitUntil(
        [&] {
          return !daemon->Running() ||
                 (prueba::ListDir(tx).empty() && Llamadas().size() == terminales.size());
        },
        10000))
        << "tx/: " << prueba::ListDir(tx).size() << " clients: " << Llamadas().size() << "\n"
        << prueba::ReadFile(traza) << Log();
    if (daemon->Running()) {
      // Every marker handled and the daemon still alive: the sweep has
      // passed its last call.
      for (const auto &t : terminales) EXPECT_EQ(Contar("[" + Raiz(t) + "]"), 1u) << t;
      EXPECT_EQ(prueba::ReadFile(svl), "BBBBBB 0001\n");
      break;
    }
    puntos = n;
    EXPECT_EQ(daemon->Wait(5000), -SIGKILL);
    Traza t = LeerTraza(traza, tx);
    SCOPED_TRACE("last call: " + t.ultima);
    // The clients it started run on; they are let finish before the next
    // daemon takes over the test's process group.
    ASSERT_TRUE(prueba::WaitUntil([&] { return Llamadas().size() >= t.forks; }, 10000));

    Lanzar({prueba::Bin("rondador"), base, cliente, "-l", log, "-t", tmp / "trans"}, Entorno());
    ASSERT_TRUE(EsperarLog("iniciado (pid=" + std::to_string(daemon->pid) + ")")) << Log();
    size_t esperadas = terminales.size() - (t.sinarrancar.empty() ? 0 : 1);
    ASSERT_TRUE(prueba::WaitUntil(
        [&] { return prueba::ListDir(tx).empty() && Llamadas().size() >= esperadas; }, 10000))
        << Log();
    for (const auto &term : terminales)
      EXPECT_EQ(Contar("[" + Raiz(term) + "]"), term == t.sinarrancar ? 0u : 1u) << term;
    for (const auto &l : Llamadas()) {
      if (l.args == "[" + Raiz("T1") + "]") {
        EXPECT_EQ(l.svl, "BBBBBB 0001\n");
      }
    }
    EXPECT_NE(prueba::ReadFile(svl), "CCCCCC 0001\n") << "rewritten twice";
    daemon.reset();
  }
  // The sweep reached the deletions, syncs and forks of all three markers
  // and the rewrite's writes and syncs.
  EXPECT_GE(puntos, 14);
}

// Each step is on disk before the next relies on it: the marker's deletion
// (tx/ synced) before the rewrite, the rewrite and its record (files and
// root synced) before the client is forked.
TEST_F(Rondador, MarkerDeletionAndRewriteAreSyncedBeforeTheClientStarts) {
  std::string traza = tmp / "traza";
  prueba::WriteFile(tmp / "trans", "AAAAAABBBBBB\n");
  prueba::MakeDir(Raiz("T1"));
  prueba::MakeDir(Raiz("T1") + "/upload");
  prueba::WriteFile(Raiz("T1") + "/upload/_svl.2", "AAAAAA 0001\n");
  Marca("T1");
  Lanzar({prueba::Bin("rondador"), base, cliente, "-l", log, "-t", tmp / "trans"},
         {Entorno()[0], "LD_PRELOAD=" + prueba::PrecargaCon(Biblioteca()),
          "ZELTA_MATAR_TRAZA=" + traza});
  ASSERT_TRUE(EsperarLlamadas(1)) << Log();
  std::vector<std::string> pasos;
  std::istringstream in(prueba::ReadFile(traza));
  std::string linea;
  while (std::getline(in, linea)) {
    std::istringstream campos(linea);
    std::string n, llamada, ruta;
    campos >> n >> llamada >> ruta;
    if (llamada == "open") continue;  // the log
    pasos.push_back(llamada + " " + ruta);
  }
  const std::vector<std::string> esperados = {
      "unlink " + tx + "/T1",
      "fsync " + tx,
      "openat _1101.rpl",
      "pwrite " + Raiz("T1") + "/upload/_svl.2",
      "fsync " + Raiz("T1") + "/upload/_svl.2",
      "fsync " + Raiz("T1") + "/_1101.rpl",
      "fsync " + Raiz("T1"),
      "fork -",
  };
  EXPECT_EQ(pasos, esperados) << prueba::ReadFile(traza);
}

}  // namespace
}  // namespace rondadortest
