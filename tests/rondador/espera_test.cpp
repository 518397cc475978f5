// espera_test.cpp - how the real daemon waits for work: markers found by
// inotify without waiting out the poll, by the poll when inotify is off,
// and the cap on running clients (-m): never more than N at once, every
// marker started once and oldest first, clients that outlive the daemon.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_support.h"
#include "support.h"

namespace rondadortest {
namespace {

using prueba::Exists;
using prueba::ReadFile;

// A poll pause no test waits out: a marker found under it was found by
// inotify.
const std::string kPausaEterna = "RONDADOR_PAUSA_MS=3600000";

class Espera : public Rondador {
 protected:
  std::string vivos = tmp / "vivos";      // one file per client running
  std::string libres = tmp / "libres";    // a client ends once its name is here
  std::string orden = tmp / "orden";      // terminal roots in the order started
  std::string exceso = tmp / "exceso";    // made by a client that saw too many

  void SetUp() override {
    Rondador::SetUp();
    prueba::MakeDir(vivos);
    prueba::MakeDir(libres);
  }

  // Clients that count themselves while they run and, when retener, stay
  // until the test frees them by name.
  void ClientesContados(int cap, bool retener) {
    std::string espera =
        retener ? "while [ ! -e " + libres + "/\"$n\" ]; do sleep 0.01; done\n" : "";
    EscribirCliente("n=$(basename \"$1\")\n"
                    "touch " + vivos + "/\"$n\"\n"
                    "[ $(ls " + vivos + " | wc -l) -gt " + std::to_string(cap) +
                    " ] && touch " + exceso + "\n"
                    "echo \"$n\" >> " + orden + "\n" + espera +
                    "rm " + vivos + "/\"$n\"\n");
  }

  std::vector<std::string> Orden() {
    std::vector<std::string> v;
    std::istringstream in(ReadFile(orden));
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
  }

  // Markers T00.. with their roots, each older than the next.
  std::vector<std::string> Marcas(int n) {
    std::vector<std::string> nombres;
    for (int i = 0; i < n; ++i) {
      char nombre[8];
      snprintf(nombre, sizeof nombre, "T%02d", i);
      prueba::MakeDir(Raiz(nombre));
      Marca(nombre, 1000 - i);
      nombres.push_back(nombre);
    }
    return nombres;
  }

  void ArrancarCon(const std::string &variable, const std::vector<std::string> &opciones) {
    std::vector<std::string> argv = {prueba::Bin("rondador"), base, cliente};
    argv.insert(argv.end(), opciones.begin(), opciones.end());
    std::vector<std::string> env = Entorno();
    if (!variable.empty()) env.push_back(variable);
    Lanzar(argv, env);
  }

  size_t Veces(const std::string &texto) {
    std::string l = Log();
    size_t n = 0;
    for (size_t p = l.find(texto); p != std::string::npos; p = l.find(texto, p + 1)) ++n;
    return n;
  }
};

// Each case makes a marker appear in a different way while the daemon
// waits; with the poll pause at an hour only inotify can find it.
TEST_F(Espera, InotifyFindsMarkersWithoutWaitingForThePoll) {
  struct Caso {
    const char *nombre;
    std::function<void(const std::string &marca)> hacer;
  } casos[] = {
      {"created", [this](const std::string &m) { Marca(m); }},
      {"moved in",
       [this](const std::string &m) {
         prueba::WriteFile(tmp / m, "");
         ASSERT_EQ(rename((tmp / m).c_str(), (tx + "/" + m).c_str()), 0);
       }},
      {"made in a tx/ that replaced the watched one",
       [this](const std::string &m) {
         // Swapped in one step, so the daemon never sees tx/ missing.
         std::string nuevo = tmp / "tx.nuevo";
         prueba::MakeDir(nuevo);
         ASSERT_EQ(renameat2(AT_FDCWD, nuevo.c_str(), AT_FDCWD, tx.c_str(), RENAME_EXCHANGE), 0);
         Marca(m);
       }},
  };
  ArrancarCon(kPausaEterna, {"-l", log, "-x10"});
  ASSERT_TRUE(EsperarLog("Vigilando " + tx)) << Log();
  size_t n = 0;
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    std::string marca = "TERM0" + std::to_string(n);
    prueba::MakeDir(Raiz(marca));
    // The daemon has scanned tx/ and found it empty before the marker comes.
    ASSERT_TRUE(prueba::WaitUntil([&] { return Veces("Sin transacciones, esperando") > n; },
                                  10000))
        << Log();
    c.hacer(marca);
    ++n;
    ASSERT_TRUE(EsperarLlamadas(n)) << Log();
    EXPECT_EQ(Contar("[" + Raiz(marca) + "]"), 1u);
  }
  EXPECT_TRUE(daemon->Running());
}

TEST_F(Espera, PollFindsMarkersWhenInotifyIsOff) {
  ArrancarCon("RONDADOR_SIN_INOTIFY=1", {"-l", log, "-x10"});
  ASSERT_TRUE(EsperarLog("Sin transacciones, esperando")) << Log();
  prueba::MakeDir(Raiz("TERM01"));
  Marca("TERM01");
  ASSERT_TRUE(EsperarLlamadas(1)) << Log();
  EXPECT_EQ(Contar("[" + Raiz("TERM01") + "]"), 1u);
  EXPECT_FALSE(EnLog("Vigilando")) << Log();
}

// Clients are held until freed one at a time: each time the daemon reports
// that it waits at the cap, exactly N more than were freed have started.
TEST_F(Espera, CapHoldsMarkersUntilAClientEnds) {
  const int kCap = 2;
  ClientesContados(kCap, true);
  std::vector<std::string> nombres = Marcas(6);
  ArrancarCon("", {"-m", std::to_string(kCap), "-l", log, "-x7"});
  const std::string aviso = "Hay 2 clientes en curso, esperando que termine uno";
  size_t avisos = 0, liberados = 0;
  while (liberados < nombres.size()) {
    size_t esperados = std::min(liberados + kCap, nombres.size());
    ASSERT_TRUE(prueba::WaitUntil([&] { return Orden().size() >= esperados; }, 10000)) << Log();
    if (esperados < nombres.size()) {
      ASSERT_TRUE(prueba::WaitUntil([&] { return Veces(aviso) > avisos; }, 10000)) << Log();
      avisos = Veces(aviso);
    }
    std::vector<std::string> iniciados = Orden();
    ASSERT_EQ(iniciados.size(), esperados) << "more clients than the cap";
    // The oldest markers went first (clients started together may record
    // themselves in either order).
    std::sort(iniciados.begin(), iniciados.end());
    EXPECT_TRUE(std::equal(iniciados.begin(), iniciados.end(), nombres.begin()));
    prueba::WriteFile(libres + "/" + Orden()[liberados], "");
    ++liberados;
  }
  std::vector<std::string> vistos = Orden();
  std::sort(vistos.begin(), vistos.end());
  EXPECT_EQ(vistos, nombres) << "each once";
  EXPECT_TRUE(prueba::WaitUntil([&] { return prueba::ListDir(tx).empty(); }, 10000));
  EXPECT_FALSE(Exists(exceso));
  EXPECT_TRUE(EsperarLog("Proceso cliente zelta terminado (pid=")) << Log();
}

TEST_F(Espera, BurstUnderACapStartsEveryMarkerOnce) {
  const int kCap = 3;
  ClientesContados(kCap, false);
  std::vector<std::string> nombres = Marcas(40);
  ArrancarCon("", {"-m", std::to_string(kCap)});
  ASSERT_TRUE(prueba::WaitUntil([&] { return Orden().size() >= nombres.size(); }, 60000));
  EXPECT_TRUE(prueba::WaitUntil([&] { return prueba::ListDir(tx).empty(); }, 10000));
  std::vector<std::string> vistos = Orden();
  std::sort(vistos.begin(), vistos.end());
  EXPECT_EQ(vistos, nombres) << "every marker once";
  EXPECT_FALSE(Exists(exceso)) << "more than " << kCap << " clients ran at once";
}

TEST_F(Espera, ClientUnderACapOutlivesTheDaemon) {
  ClientesContados(1, true);
  Marcas(1);
  ArrancarCon("", {"-m", "1", "-l", log});
  ASSERT_TRUE(prueba::WaitUntil([&] { return Orden().size() == 1; }, 10000)) << Log();
  daemon->Signal(SIGKILL);
  EXPECT_NE(daemon->Wait(5000), 0);
  ASSERT_TRUE(Exists(vivos + "/T00"));
  prueba::WriteFile(libres + "/T00", "");
  // The client ends normally: it removes its own entry after being freed.
  EXPECT_TRUE(prueba::WaitUntil([&] { return !Exists(vivos + "/T00"); }, 10000));
}

TEST_F(Espera, CapMustBeANumber) {
  for (const char *valor : {"", "dos", "-1", "100001"}) {
    SCOPED_TRACE(valor);
    std::vector<std::string> argv = {prueba::Bin("rondador"), base, cliente, "-m"};
    if (*valor != '\0') argv.push_back(valor);
    prueba::RunResult r = prueba::Run(argv, 10000);
    EXPECT_EQ(r.status, 255) << r.output;
    EXPECT_NE(r.output.find("\t-m N"), std::string::npos) << r.output;
  }
}

}  // namespace
}  // namespace rondadortest
