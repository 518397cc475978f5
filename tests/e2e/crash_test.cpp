// crash_test.cpp - kill -9 at random points of an exchange: the real client
// runs against a slowed kaldo-server and is killed after a random delay
// (fixed seed); a second run on the same root must take over the stale
// instance lock, complete with 0 and deliver exactly, and no upload file
// may be lost across the two runs: what the killed run packed and the
// server did not get whole is kept by the second run in retenidos/. The
// root's mode, narrowed during a run, is the terminal's own again after the
// second run, however the first one died.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <sstream>

#include "faults_fixture.h"

namespace {

constexpr int kDemoraMs = 10;  // the server's pause before every answer
constexpr mode_t kModoRaiz = 0750;  // the terminal root's own mode

// Every session line of the server's output: session number -> fields.
std::map<int, std::map<std::string, std::string>> Sesiones(const std::string &salida) {
  std::map<int, std::map<std::string, std::string>> s;
  for (int n = 1; n <= 3; ++n) {
    auto r = tcp::Servidor::LeerResumen(salida, n);
    if (!r.empty()) s[n] = r;
  }
  return s;
}

// What the server stored of each session's upload, all sessions together.
std::string SubidasRecibidas(const falla::Intercambio &x) {
  std::string todo;
  for (int n = 1; n <= 3; ++n) todo += prueba::ReadFile(x.t.tmp / ("subida" + std::to_string(n) + ".dat"));
  return todo;
}

struct Muerte {
  bool lockdejado = false;     // the killed run left _zelta.lck behind
  bool bundledejado = false;   // ... and a complete input.dat with files gone from upload/
  bool terminada = false;      // the first run ended before the kill
  bool empaquetado = false;    // it had packed upload/ (files removed)
  std::vector<std::string> perdidos;
};

// Starts a run, kills it with SIGKILL after `demora` microseconds, then runs
// the client again to its end. Checks the second run; returns what the kill
// left behind.
Muerte MatarYRepetir(falla::Intercambio &x, long demora) {
  Muerte m;
  chmod(x.t.raiz.c_str(), kModoRaiz);
  prueba::Spawned primera = prueba::Spawn(x.Argv());
  std::this_thread::sleep_for(std::chrono::microseconds(demora));
  primera.Signal(SIGKILL);
  int st = primera.Wait(10000);
  EXPECT_TRUE(st == -SIGKILL || st == 0) << "first run: " << st << "\n" << primera.Output();
  pid_t muerto = primera.pid;
  if (st == 0) {
    // Done before the kill came: nothing left for a second run.
    m.terminada = true;
    prueba::WaitUntil([&] { return !Sesiones(x.srv.proc.Output()).empty(); }, 15000);
    x.resumen = tcp::Servidor::LeerResumen(x.srv.proc.Output(), 1);
    x.subida = prueba::ReadFile(x.t.tmp / "subida1.dat");
    falla::ComprobarExito(x);
    EXPECT_EQ(prueba::FileMode(x.t.raiz), kModoRaiz);
    return m;
  }

  m.lockdejado = prueba::Exists(x.t.raiz + "/_zelta.lck");
  // A killed run that reached the server ends its session there; the
  // server stores what it got when it sees the connection close.
  bool conecto = x.t.Log().find("Conectando...") != std::string::npos;
  prueba::WaitUntil([&] { return !Sesiones(x.srv.proc.Output()).empty(); }, conecto ? 3000 : 0);
  // Files gone from upload/ live on only in the bundle the killed run
  // left, unless the server already has them whole.
  std::string encabezado = std::string(tcp::Terminal::kEncabezado) + "\r\n";
  m.empaquetado = prueba::ReadFile(x.t.raiz + "/upload/_svl.0") != encabezado;
  m.bundledejado = m.empaquetado && prueba::ReadFile(x.t.raiz + "/upload/input.dat") ==
                                        tcp::Escapar(falla::SubidaEsperada());
  // The left-over bundle is the next run's to keep.
  bool sobrante = prueba::Exists(x.t.raiz + "/upload/input.dat");
  std::string bundle = prueba::ReadFile(x.t.raiz + "/upload/input.dat");
  m.perdidos = falla::Perdidos(x.t.raiz, SubidasRecibidas(x) + falla::Desescapar(bundle));
  if (m.empaquetado) {
    // The terminal application's next transaction, with the same files.
    x.t.Subir("_svl.0", encabezado);
    for (const auto &a : falla::ArchivosSubida()) x.t.Subir(a.nombre, a.contenido);
  }

  x.run = prueba::Run(x.Argv(), 30000);
  std::string log = x.t.Log();
  SCOPED_TRACE("after the second run:\n" + x.Contexto());
  EXPECT_EQ(x.run.status, 0);
  // The second run's session is the last one and ends with ok.
  prueba::WaitUntil(
      [&] {
        for (const auto &[n, r] : Sesiones(x.srv.proc.Output())) {
          if (r.at("result") == "ok") return true;
        }
        return false;
      },
      15000);
  auto sesiones = Sesiones(x.srv.proc.Output());
  EXPECT_FALSE(sesiones.empty());
  if (!sesiones.empty()) x.resumen = sesiones.rbegin()->second;
  x.subida = prueba::ReadFile(x.t.tmp / ("subida" + std::to_string(sesiones.empty() ? 1 : sesiones.rbegin()->first) + ".dat"));

  // Delivered exactly; the lock gone, whoever made it; nothing half-made
  // but the killed run's own private lock file.
  EXPECT_EQ(x.t.Estado(), "0: Conexion OK\r\n");
  std::map<std::string, std::string> entregado;
  for (const auto &n : prueba::ListDir(x.t.raiz + "/download")) entregado[n] = x.t.Bajado(n);
  EXPECT_EQ(entregado, falla::EntregaEsperada());
  EXPECT_EQ(x.resumen.count("result") ? x.resumen.at("result") : "", "ok");
  EXPECT_FALSE(prueba::Exists(x.t.raiz + "/_zelta.lck"));
  EXPECT_FALSE(prueba::Exists(x.t.raiz + "/upload/input.dat"));
  EXPECT_EQ(prueba::FileMode(x.t.raiz), kModoRaiz) << "not the narrowed 0744";
  EXPECT_FALSE(prueba::Exists(x.t.raiz + "/_zelta.modo"));
  for (const auto &n : prueba::ListDir(x.t.raiz)) {
    if (n.rfind(".zelta-lck.", 0) == 0) {
      EXPECT_EQ(n, ".zelta-lck." + std::to_string(muerto));
    }
  }
  if (m.lockdejado) {
    EXPECT_NE(log.find("Cree el lock"), std::string::npos) << "stale lock not taken over";
  }
  EXPECT_EQ(x.subida, falla::SubidaEsperada());
  // ... and it kept the killed run's bundle as it was, as doubtful.
  auto retenidos = falla::Retenidos(x.t.raiz);
  if (sobrante) {
    EXPECT_EQ(retenidos.size(), 1u);
    if (!retenidos.empty()) {
      EXPECT_NE(retenidos.begin()->first.find(".dudosa"), std::string::npos);
      EXPECT_EQ(retenidos.begin()->second, bundle);
    }
  } else {
    EXPECT_TRUE(retenidos.empty());
  }
  return m;
}

// The server for two runs: each session's upload in subida<N>.dat.
bool Preparar(falla::Intercambio &x) {
  return x.Preparar({"--sessions", "2", "--delay-ms", std::to_string(kDemoraMs), "--upload",
                     x.t.tmp / "subida%d.dat"});
}

TEST(Caida, KilledAtRandomPointsTheNextRunTakesOverAndCompletes) {
  // How long an undisturbed run takes against the slowed server.
  long total_us = 0;
  {
    falla::Intercambio x;
    ASSERT_TRUE(Preparar(x));
    auto t0 = std::chrono::steady_clock::now();
    x.run = prueba::Run(x.Argv(), 30000);
    total_us = std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - t0)
                   .count();
    ASSERT_EQ(x.run.status, 0) << x.t.Log();
  }

  std::mt19937 azar(20261209);
  // Half the kills fall anywhere in the run, half in its first 5 ms:
  // the lock, the configuration and the packing take only milliseconds.
  std::uniform_int_distribution<long> todo(0, total_us);
  std::uniform_int_distribution<long> comienzo(0, std::min(total_us, 5000L));
  constexpr int kVeces = 60;
  int terminadas = 0;
  int empaquetados = 0;
  int locks = 0;
  int tempranas = 0;  // lock left, upload/ not yet packed
  int bundles = 0;
  int perdidos = 0;
  for (int i = 0; i < kVeces; ++i) {
    long d = i % 2 == 0 ? todo(azar) : comienzo(azar);
    falla::Intercambio x;
    ASSERT_TRUE(Preparar(x));
    SCOPED_TRACE("killed after " + std::to_string(d) + " us\n" + x.Contexto());
    Muerte m = MatarYRepetir(x, d);
    terminadas += m.terminada;
    empaquetados += m.empaquetado;
    locks += m.lockdejado;
    tempranas += m.lockdejado && !m.empaquetado;
    bundles += m.bundledejado;
    EXPECT_TRUE(m.perdidos.empty()) << "lost: " << ::testing::PrintToString(m.perdidos);
    perdidos += static_cast<int>(m.perdidos.size());
    if (HasFailure()) return;
  }
  printf("%d kills over %ld us (%d came after the run had ended, %d after packing); stale locks "
         "taken over: %d (%d before packing); bundles left by a killed run (kept by the next): %d; "
         "files lost: %d\n",
         kVeces, total_us, terminadas, empaquetados, locks, tempranas, bundles, perdidos);
}

// A run killed after packing (here held at the first upload block) leaves
// its bundle as the only copy of the packed files. The next run, with
// nothing new in upload/, keeps it in retenidos/ as doubtful before it packs:
// nothing is lost, and nothing is sent twice by itself.
TEST(Caida, KilledAfterPackingTheNextRunKeepsThePackedFiles) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({"--sessions", "2", "--pause-at", "up:0:3000", "--upload",
                          x.t.tmp / "subida%d.dat"}));
  prueba::Spawned primera = prueba::Spawn(x.Argv());
  ASSERT_TRUE(prueba::WaitUntil(
      [&] { return x.t.Log().find("Estado 3") != std::string::npos; }, 10000));
  primera.Signal(SIGKILL);
  primera.Wait(10000);
  ASSERT_FALSE(prueba::Exists(x.t.raiz + "/upload/_svl.0"));
  ASSERT_TRUE(prueba::Exists(x.t.raiz + "/upload/input.dat"));
  // The next run, with nothing new in upload/.
  x.run = prueba::Run(x.Argv(), 30000);
  ASSERT_NE(x.run.status, -1000);
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(falla::Perdidos(x.t.raiz, SubidasRecibidas(x)), std::vector<std::string>{});
  auto retenidos = falla::Retenidos(x.t.raiz);
  ASSERT_EQ(retenidos.size(), 1u);
  EXPECT_NE(retenidos.begin()->first.find(".dudosa"), std::string::npos);
  EXPECT_EQ(retenidos.begin()->second, tcp::Escapar(falla::SubidaEsperada()));
  EXPECT_NE(x.t.Log().find("Transaccion retenida en"), std::string::npos);
}

// A run killed with the root narrowed, whose lock (as after a power cut)
// was written before the system's last boot and names a process that is
// alive now: the next run takes the lock over, completes, and leaves the
// root with the mode it had before the first run.
TEST(Caida, AfterAKillWithTheRootNarrowedTheNextRunTakesOverAndRestoresTheMode) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({"--sessions", "2", "--pause-at", "up:0:3000", "--upload",
                          x.t.tmp / "subida%d.dat"}));
  chmod(x.t.raiz.c_str(), kModoRaiz);
  prueba::Spawned primera = prueba::Spawn(x.Argv());
  ASSERT_TRUE(prueba::WaitUntil(
      [&] { return x.t.Log().find("Estado 3") != std::string::npos; }, 10000));
  primera.Signal(SIGKILL);
  primera.Wait(10000);
  ASSERT_EQ(prueba::FileMode(x.t.raiz), 0744u);
  ASSERT_EQ(prueba::ReadFile(x.t.raiz + "/_zelta.modo"), "0750\n");
  // The lock as a power cut leaves it: its pid (here this live test
  // program's) written before the boot.
  std::string lock = x.t.raiz + "/_zelta.lck";
  char contenido[16];
  snprintf(contenido, sizeof contenido, "%10d\n", static_cast<int>(getpid()));
  prueba::WriteFile(lock, contenido);
  timespec real{}, boot{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_BOOTTIME, &boot);
  timespec t[2] = {{real.tv_sec - boot.tv_sec - 60, 0}, {real.tv_sec - boot.tv_sec - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, lock.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
  // The terminal application's next transaction.
  x.t.Subir("_svl.0", std::string(tcp::Terminal::kEncabezado) + "\r\n");
  for (const auto &a : falla::ArchivosSubida()) x.t.Subir(a.nombre, a.contenido);

  x.run = prueba::Run(x.Argv(), 30000);
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(x.run.status, 0);
  EXPECT_EQ(x.t.Estado(), "0: Conexion OK\r\n");
  std::string log = x.t.Log();
  EXPECT_NE(log.find("Tomo el lock " + lock + ": el proceso (" + std::to_string(getpid()) +
                     ") que lo creo es anterior al ultimo arranque del sistema"),
            std::string::npos);
  EXPECT_NE(log.find("quedo con modo 0744 de una corrida interrumpida; se restituira su modo 0750"),
            std::string::npos);
  EXPECT_EQ(prueba::FileMode(x.t.raiz), kModoRaiz);
  EXPECT_FALSE(prueba::Exists(x.t.raiz + "/_zelta.modo"));
  EXPECT_FALSE(prueba::Exists(lock));
}

}  // namespace
