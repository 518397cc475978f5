// buscartx_test.cpp - choosing the next marker: age order to the
// nanosecond, names beginning with '.', a listing that fails, and markers
// that could not be deleted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "marcas.h"
#include "opciones.h"
#include "registro.h"
#include "support.h"

namespace {

using namespace rondador;

class RondadorBuscar : public ::testing::Test {
 protected:
  prueba::TempDir tmp;
  std::string tx = tmp / "tx";
  std::string rutalog = tmp / "log";
  void SetUp() override {
    prueba::MakeDir(tx);
    logfile = fopen(rutalog.c_str(), "a");
    debuglevel = 10;
    reiniciarronda();
  }
  void TearDown() override {
    fclose(logfile);
    logfile = nullptr;
    debuglevel = 1;
  }
  void Marca(const std::string &nombre, time_t seg, long nseg) {
    std::string ruta = tx + "/" + nombre;
    prueba::WriteFile(ruta, "");
    timespec t[2] = {{seg, nseg}, {seg, nseg}};
    utimensat(AT_FDCWD, ruta.c_str(), t, 0);
  }
  std::string Siguiente() { return buscartx(tx.c_str()).value_or("<ninguna>"); }
  size_t Veces(const std::string &s) {
    std::string l = prueba::ReadFile(rutalog);
    size_t n = 0;
    for (size_t p = l.find(s); p != std::string::npos; p = l.find(s, p + 1)) ++n;
    return n;
  }
};

TEST_F(RondadorBuscar, OldestVisibleMarkerComesFirst) {
  struct Caso {
    const char *nombre;
    std::vector<std::tuple<std::string, time_t, long>> marcas;
    std::string primera;
  } casos[] = {
      {"empty directory", {}, "<ninguna>"},
      {"older by seconds", {{"B", 1000, 0}, {"A", 2000, 0}}, "B"},
      {"older within the same second", {{"A", 1000, 900}, {"B", 1000, 100}}, "B"},
      {"equal times: by name", {{"B", 1000, 5}, {"A", 1000, 5}}, "A"},
      {"dot names never count", {{".z", 10, 0}, {"..x", 10, 0}, {"T", 3000, 0}}, "T"},
      {"only dot names", {{".oculta", 10, 0}}, "<ninguna>"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    for (const auto &n : prueba::ListDir(tx)) unlink((tx + "/" + n).c_str());
    for (const auto &[n, s, ns] : c.marcas) Marca(n, s, ns);
    EXPECT_EQ(Siguiente(), c.primera);
  }
}

TEST_F(RondadorBuscar, FailedListingIsLoggedOnceUntilItRecovers) {
  rmdir(tx.c_str());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Siguiente(), "<ninguna>");
  EXPECT_EQ(Veces("scandir: No such file or directory"), 1u);
  prueba::MakeDir(tx);
  Marca("T1", 1000, 0);
  EXPECT_EQ(Siguiente(), "T1");
  unlink((tx + "/T1").c_str());
  rmdir(tx.c_str());
  EXPECT_EQ(Siguiente(), "<ninguna>");
  EXPECT_EQ(Veces("scandir: No such file or directory"), 2u);
}

TEST_F(RondadorBuscar, MarkerThatCannotBeDeletedIsPassedOverUntilItChanges) {
  prueba::MakeDir(tx + "/DIR");
  timespec t[2] = {{500, 0}, {500, 0}};
  utimensat(AT_FDCWD, (tx + "/DIR").c_str(), t, 0);
  Marca("T1", 1000, 0);
  Marca("T2", 2000, 0);
  ASSERT_EQ(Siguiente(), "DIR");
  EXPECT_EQ(borrarmarca(tx.c_str(), "DIR"), -1);
  EXPECT_EQ(Siguiente(), "T1");
  EXPECT_EQ(borrarmarca(tx.c_str(), "T1"), 0);
  EXPECT_EQ(Siguiente(), "T2");
  EXPECT_EQ(borrarmarca(tx.c_str(), "T2"), 0);
  EXPECT_EQ(Siguiente(), "<ninguna>");
  t[0].tv_sec = t[1].tv_sec = 600;
  utimensat(AT_FDCWD, (tx + "/DIR").c_str(), t, 0);
  EXPECT_EQ(Siguiente(), "DIR") << "touched again: a new transaction";
  EXPECT_EQ(borrarmarca(tx.c_str(), "gone"), 0) << "a marker already gone is no failure";
}

TEST_F(RondadorBuscar, ChangesAfterAListingAreSeenAtTheNextPoll) {
  Marca("T1", 1000, 0);
  Marca("T2", 2000, 0);
  Marca("T3", 3000, 0);
  ASSERT_EQ(Siguiente(), "T1");
  // Touched again: it goes behind the others.
  Marca("T1", 4000, 0);
  EXPECT_EQ(Siguiente(), "T2");
  // Deleted by someone else.
  unlink((tx + "/T2").c_str());
  EXPECT_EQ(Siguiente(), "T3");
  // Our own deletion, then an older marker arrives.
  ASSERT_EQ(borrarmarca(tx.c_str(), "T3"), 0);
  struct stat antes;
  stat(tx.c_str(), &antes);
  // File times have a coarse clock: make sure the directory's time moved.
  ASSERT_TRUE(prueba::WaitUntil(
      [&] {
        unlink((tx + "/T0").c_str());
        Marca("T0", 500, 0);
        struct stat ahora;
        stat(tx.c_str(), &ahora);
        return ahora.st_mtim.tv_sec != antes.st_mtim.tv_sec ||
               ahora.st_mtim.tv_nsec != antes.st_mtim.tv_nsec;
      },
      5000));
  EXPECT_EQ(Siguiente(), "T0");
  ASSERT_EQ(borrarmarca(tx.c_str(), "T0"), 0);
  EXPECT_EQ(Siguiente(), "T1");
  ASSERT_EQ(borrarmarca(tx.c_str(), "T1"), 0);
  EXPECT_EQ(Siguiente(), "<ninguna>");
  // With nothing listed, every poll lists again: a new marker is never
  // missed, whatever the directory's time says.
  Marca("T5", 100, 0);
  EXPECT_EQ(Siguiente(), "T5");
}

TEST_F(RondadorBuscar, BacklogComesOutInOrder) {
  std::vector<std::string> esperado;
  for (int i = 0; i < 300; ++i) {
    char n[16];
    snprintf(n, sizeof n, "M%03d", (i * 37) % 300);
    Marca(n, 1000 + i, 0);
    esperado.push_back(n);
  }
  std::vector<std::string> visto;
  for (std::string s = Siguiente(); s != "<ninguna>"; s = Siguiente()) {
    visto.push_back(s);
    ASSERT_EQ(borrarmarca(tx.c_str(), s), 0);
    ASSERT_LE(visto.size(), 300u);
  }
  EXPECT_EQ(visto, esperado);
}

}  // namespace
