// demonio_test.cpp - a terminal's user attacks the daemon itself, as the
// user nobody against the real rondador (root, umask 0): markers dropped for
// terminals that are not theirs, a flood of them, and the single-instance
// lock held or replaced. For each: no client starts for another terminal,
// the other terminals are served within the second, and rondador always
// starts.
//
// The attacker is a forked child that has switched user, so these tests
// need root; without it they are skipped.
//
// The flood lasts HOSTIL_INUNDACION_S seconds (3 by default; 20 for the
// figure in docs/PERFORMANCE.md).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "nadie.h"
#include "support.h"

namespace {

using prueba::Exists;
using prueba::ReadFile;
using prueba::WaitUntil;
using prueba::WriteFile;
using Reloj = std::chrono::steady_clock;

// A user no terminal in these tests belongs to, besides nobody and root.
constexpr Usuario kOtro{54321, 54321};

size_t Veces(const std::string &texto, const std::string &parte) {
  size_t n = 0;
  for (size_t p = texto.find(parte); p != std::string::npos; p = texto.find(parte, p + 1)) ++n;
  return n;
}

bool Crear(const std::string &ruta) {
  int fd = open(ruta.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// A base directory as in production: the base root's, tx/ 1777, one
// terminal root per user; a stand-in client that records the root it was
// given and sleeps for a root named LENTO.
class DemonioAtacado : public ::testing::Test {
 protected:
  Usuario nadie;
  prueba::TempDir tmp;
  std::string base, tx, iniciados, log, cliente, candado;
  prueba::Spawned demonio;
  mode_t vieja = 0;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the attacker runs as nobody";
    struct passwd *pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr) << "no user nobody";
    nadie = {pw->pw_uid, pw->pw_gid};
    vieja = umask(0);
    chmod(tmp.path.c_str(), 0755);
    base = tmp / "base";
    tx = base + "/tx";
    candado = base + "/.rondador.lck";
    prueba::MakeDir(base, 0755);
    prueba::MakeDir(tx, 01777);
    // NADIE is nobody's, OTRA another user's, ROOT and t4 root's.
    struct Raiz {
      const char *nombre;
      Usuario dueno;
    } raices[] = {{"NADIE", nadie}, {"OTRA", kOtro}, {"ROOT", {0, 0}}, {"t4", {0, 0}},
                  {"LENTO", {0, 0}}, {"VICTIMA", kOtro}};
    for (const Raiz &r : raices) {
      prueba::MakeDir(base + "/" + r.nombre, 0755);
      ASSERT_EQ(chown((base + "/" + r.nombre).c_str(), r.dueno.uid, r.dueno.gid), 0);
    }
    iniciados = tmp / "iniciados";
    log = tmp / "rondador.log";
    cliente = tmp / "cliente.sh";
    WriteFile(cliente,
              "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " + iniciados +
                  "\ncase \"$1\" in */LENTO) sleep 30;; esac\n",
              0755);
  }
  void TearDown() override {
    if (geteuid() == 0) umask(vieja);
    MatarLento();
  }

  prueba::Spawned Lanzar() {
    return prueba::Spawn({prueba::Bin("rondador"), base, cliente, "-l", log});
  }
  // Starts a daemon and waits for its own start line (the log may hold an
  // earlier daemon's).
  void Arrancar() {
    size_t antes = Veces(ReadFile(log), "iniciado (pid=");
    demonio = Lanzar();
    ASSERT_TRUE(WaitUntil([&] { return Veces(ReadFile(log), "iniciado (pid=") > antes; }, 10000))
        << ReadFile(log);
  }
  bool EnLog(const std::string &t) { return ReadFile(log).find(t) != std::string::npos; }
  bool Iniciado(const std::string &term) {
    return EnLog("zelta iniciado para la terminal " + term + " (pid=");
  }
  // Pids of the LENTO clients (from the log), killed at the end.
  std::vector<pid_t> lentos;
  void MatarLento() {
    for (pid_t p : lentos) kill(p, SIGKILL);
  }
  pid_t PidIniciado(const std::string &term) {
    std::string t = ReadFile(log), clave = "zelta iniciado para la terminal " + term + " (pid=";
    size_t p = t.find(clave);
    return p == std::string::npos ? 0 : atoi(t.c_str() + p + clave.size());
  }
};

// A marker counts only when root or the owner of the root it names made
// it; any other is deleted with a line naming the terminal and its owner,
// and starts nothing. Each case ends with a root-made marker for ROOT,
// dropped after the case's marker and so handled after it: once ROOT's
// client starts, the case's marker was decided.
TEST_F(DemonioAtacado, MarkerCountsOnlyWhenItsTerminalsOwnerOrRootMadeIt) {
  Arrancar();
  struct Caso {
    const char *nombre;
    bool nadiehace;  // made by nobody (else by the other user, or root)
    bool root;
    const char *marca;
    bool inicia;
    const char *linea;  // the log line for a refused one
  } casos[] = {
      {"nobody for a root-owned terminal", true, false, "ROOT", false,
       "Marca ajena ROOT: es de uid %N y la terminal es de uid 0 (root); se borra sin iniciar zelta"},
      {"nobody for another user's terminal", true, false, "OTRA", false,
       "Marca ajena OTRA: es de uid %N y la terminal es de uid 54321; se borra sin iniciar zelta"},
      {"nobody for a terminal that does not exist", true, false, "NOEXISTE", false,
       "Marca ajena NOEXISTE: es de uid %N y la terminal no existe; se borra sin iniciar zelta"},
      {"nobody for a root found by its small letters", true, false, "T4", false,
       "Marca ajena T4: es de uid %N y la terminal es de uid 0 (root)"},
      {"nobody for its own terminal", true, false, "NADIE", true, nullptr},
      {"the other user for its own terminal", false, false, "OTRA", true, nullptr},
      {"the other user for nobody's terminal", false, false, "NADIE", false,
       "Marca ajena NADIE: es de uid 54321 y la terminal es de uid %N"},
      {"root for another user's terminal", false, true, "OTRA", true, nullptr},
      {"root for a terminal that does not exist", false, true, "NUEVA", true, nullptr},
  };
  std::string uidnadie = std::to_string(nadie.uid) + " (" + getpwuid(nadie.uid)->pw_name + ")";
  int ronda = 0;
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    // The log's lines about foreign markers fold within a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    size_t antes = Veces(ReadFile(log), "zelta iniciado para la terminal ");
    std::string m = tx + "/" + c.marca;
    auto hacer = [&] {
      std::string oculta = tx + "/.nueva";
      if (!Crear(oculta)) return false;
      timespec viejo[2] = {{time(nullptr) - 5, 0}, {time(nullptr) - 5, 0}};
      return utimensat(AT_FDCWD, oculta.c_str(), viejo, 0) == 0 && rename(oculta.c_str(), m.c_str()) == 0;
    };
    if (c.root) {
      ASSERT_TRUE(hacer());
    } else {
      ASSERT_TRUE(Como(c.nadiehace ? nadie : kOtro, hacer)) << "the attack itself failed";
    }
    // Taken or refused first: the same name made now by root would
    // otherwise still be the attacker's file.
    ASSERT_TRUE(WaitUntil([&] { return !Exists(m); }, 5000)) << ReadFile(log);
    ASSERT_TRUE(Crear(tx + "/ROOT"));
    ++ronda;
    ASSERT_TRUE(WaitUntil([&] { return Veces(ReadFile(log), "zelta iniciado para la terminal ROOT (") >= static_cast<size_t>(ronda); }, 5000))
        << ReadFile(log);
    size_t despues = Veces(ReadFile(log), "zelta iniciado para la terminal ");
    EXPECT_EQ(despues - antes, c.inicia ? 2u : 1u) << ReadFile(log);
    if (c.linea != nullptr) {
      std::string linea = c.linea;
      size_t p = linea.find("%N");
      if (p != std::string::npos) linea.replace(p, 2, uidnadie);
      EXPECT_EQ(Veces(ReadFile(log), linea), 1u) << linea << "\n" << ReadFile(log);
    }
  }
  EXPECT_TRUE(demonio.Running());
}

// A flood of foreign markers (1,000 a second from nobody, for terminals
// that do not exist and for ROOT) does not hold up another terminal's
// marker: each is picked up (deleted by the daemon, its client started)
// within a second, as without the flood; the log stays a few lines a
// second.
TEST_F(DemonioAtacado, FloodOfForeignMarkersDoesNotStarveOtherTerminals) {
  int segundos = 3;
  if (const char *s = getenv("HOSTIL_INUNDACION_S"); s != nullptr && atoi(s) > 0) segundos = atoi(s);
  Arrancar();
  // One pickup: the time from the marker's creation (by root) to its
  // deletion by the daemon.
  auto recogida = [&]() -> double {
    std::string m = tx + "/VICTIMA";
    auto t0 = Reloj::now();
    if (!Crear(m)) return -1;
    while (Exists(m)) {
      if (Reloj::now() - t0 > std::chrono::seconds(10)) return 10;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return std::chrono::duration<double, std::milli>(Reloj::now() - t0).count();
  };
  auto resumen = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    char t[160];
    snprintf(t, sizeof t, "%zu pickups: median %.1f ms, max %.1f ms", v.size(), v[v.size() / 2],
             v.back());
    return std::string(t);
  };
  std::vector<double> sin;
  for (int i = 0; i < 10; ++i) {
    sin.push_back(recogida());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::string txdir = tx;
  auto t0 = Reloj::now();
  pid_t atacante = IniciarComo(nadie, [&] {
    long hechas = 0;
    auto inicio = Reloj::now();
    for (;;) {
      auto pasado = Reloj::now() - inicio;
      if (pasado >= std::chrono::seconds(segundos)) break;
      long debidas = std::chrono::duration_cast<std::chrono::milliseconds>(pasado).count();
      for (; hechas < debidas; ++hechas) {
        std::string n = hechas % 10 == 0 ? "ROOT" : "x" + std::to_string(hechas);
        Crear(txdir + "/" + n);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    printf("nobody made %ld markers\n", hechas);
    fflush(stdout);
    return true;
  });
  std::vector<double> con;
  while (Reloj::now() - t0 < std::chrono::seconds(segundos) - std::chrono::milliseconds(200)) {
    con.push_back(recogida());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(Esperar(atacante, 10000), 0);
  double dura = std::chrono::duration<double>(Reloj::now() - t0).count();
  std::string l = ReadFile(log);
  size_t lineas = Veces(l, "Marca ajena ") + Veces(l, "marcas ajenas borradas");
  printf("without flood: %s\nwith flood (%d s of 1,000 markers/s): %s\nlines about them: %zu\n",
         resumen(sin).c_str(), segundos, resumen(con).c_str(), lineas);
  EXPECT_LT(*std::max_element(con.begin(), con.end()), 1000.0) << resumen(con);
  EXPECT_LE(lineas, static_cast<size_t>(2 * (dura + 2))) << "the lines fold";
  EXPECT_FALSE(Iniciado("ROOT")) << "nobody's markers for ROOT start nothing";
  EXPECT_TRUE(WaitUntil([&] { return prueba::ListDir(tx).empty(); }, 5000))
      << "every foreign marker is deleted";
  EXPECT_TRUE(demonio.Running());
}

// The single-instance lock is a root-owned 0600 file nobody can open:
// nobody holding flock on tx/ (the old lock) keeps no daemon from starting.
TEST_F(DemonioAtacado, NobodyCannotHoldTheDaemonsLock) {
  Arrancar();
  struct stat st;
  ASSERT_EQ(lstat(candado.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  demonio.Signal(SIGTERM);
  ASSERT_EQ(demonio.Wait(5000), 0);
  // nobody holds tx/ locked, tries the lock file, and waits to be killed.
  std::string txdir = tx, c = candado, senal = tmp / "tomado";
  prueba::MakeDir(tmp / "senal", 0777);
  senal = tmp / "senal/tomado";
  pid_t atacante = IniciarComo(nadie, [&] {
    int fd = open(txdir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    if (open(c.c_str(), O_RDONLY) >= 0 || errno != EACCES) return false;
    if (!Crear(senal)) return false;
    sleep(30);
    return true;
  });
  ASSERT_TRUE(WaitUntil([&] { return Exists(senal); }, 5000)) << "the attack itself failed";
  auto t0 = Reloj::now();
  Arrancar();
  EXPECT_LT(Reloj::now() - t0, std::chrono::seconds(2)) << "started at once";
  ASSERT_TRUE(Crear(tx + "/ROOT"));
  EXPECT_TRUE(WaitUntil([&] { return Iniciado("ROOT"); }, 5000)) << ReadFile(log);
  kill(atacante, SIGKILL);
  waitpid(atacante, nullptr, 0);
}

// A lock file that is not a regular file with one name owned by root is
// refused with a clear message and exit 1, and left as it is.
TEST_F(DemonioAtacado, LockFileThatIsNotRootsRegularFileIsRefused) {
  std::string secreto = tmp / "secreto";
  WriteFile(secreto, "de root\n", 0644);
  struct Caso {
    const char *nombre;
    std::function<bool(const std::string &)> plantar;
  } casos[] = {
      {"a link to a root file", [&](const std::string &c) { return symlink(secreto.c_str(), c.c_str()) == 0; }},
      {"a dangling link", [&](const std::string &c) { return symlink((tmp / "nada").c_str(), c.c_str()) == 0; }},
      {"a FIFO", [](const std::string &c) { return mkfifo(c.c_str(), 0666) == 0; }},
      {"a directory", [](const std::string &c) { return mkdir(c.c_str(), 0777) == 0; }},
      {"nobody's file", [&](const std::string &c) {
         return Crear(c) && chown(c.c_str(), nadie.uid, nadie.gid) == 0; }},
      {"a second name of a root file", [&](const std::string &c) { return link(secreto.c_str(), c.c_str()) == 0; }},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    ASSERT_TRUE(c.plantar(candado));
    struct stat antes;
    ASSERT_EQ(lstat(candado.c_str(), &antes), 0);
    prueba::RunResult r = prueba::Run({prueba::Bin("rondador"), base, cliente}, 10000);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("ERROR: " + candado + " no es un archivo regular de root con un solo nombre"), std::string::npos) << r.output;
    struct stat despues;
    ASSERT_EQ(lstat(candado.c_str(), &despues), 0);
    EXPECT_EQ(despues.st_mode, antes.st_mode);
    EXPECT_EQ(despues.st_uid, antes.st_uid);
    EXPECT_EQ(ReadFile(secreto), "de root\n");
    EXPECT_EQ(prueba::FileMode(secreto), 0644u);
    if (S_ISDIR(antes.st_mode)) rmdir(candado.c_str()); else unlink(candado.c_str());
  }
  // With the name free again the daemon starts.
  Arrancar();
}

// A restart while a client of the old daemon still runs succeeds at once:
// the client holds no copy of the lock. A start while the old daemon still
// runs waits for it to go (up to 5 s), then refuses.
TEST_F(DemonioAtacado, RestartWhileAClientRunsAndWaitForADepartingDaemon) {
  Arrancar();
  ASSERT_TRUE(Crear(tx + "/LENTO"));
  ASSERT_TRUE(WaitUntil([&] { return PidIniciado("LENTO") != 0; }, 5000)) << ReadFile(log);
  pid_t lento = PidIniciado("LENTO");
  lentos.push_back(lento);
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(iniciados).find("LENTO") != std::string::npos; }, 5000));
  // Neither the client nor anything it started holds the lock file open.
  for (const auto &n : prueba::ListDir("/proc/" + std::to_string(lento) + "/fd")) {
    char destino[4096] = {};
    std::string fd = "/proc/" + std::to_string(lento) + "/fd/" + n;
    ssize_t k = readlink(fd.c_str(), destino, sizeof destino - 1);
    EXPECT_NE(k > 0 ? std::string(destino) : "", candado) << "the client holds the lock file";
  }
  demonio.Signal(SIGTERM);
  ASSERT_EQ(demonio.Wait(5000), 0);
  ASSERT_EQ(kill(lento, 0), 0) << "the old client still runs";
  auto t0 = Reloj::now();
  Arrancar();
  EXPECT_LT(Reloj::now() - t0, std::chrono::seconds(2)) << "the restart waits for nothing";

  // A second daemon waits for the first to go.
  t0 = Reloj::now();
  prueba::Spawned segundo = prueba::Spawn({prueba::Bin("rondador"), base, cliente});
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(segundo.Running()) << segundo.Output();
  demonio.Signal(SIGTERM);
  ASSERT_EQ(demonio.Wait(5000), 0);
  ASSERT_TRUE(WaitUntil([&] { return segundo.Output().find("iniciado (pid=") != std::string::npos; }, 6000))
      << segundo.Output();
  // A third, while the second stays, is refused after the wait.
  t0 = Reloj::now();
  prueba::RunResult tercero = prueba::Run({prueba::Bin("rondador"), base, cliente}, 10000);
  double espera = std::chrono::duration<double>(Reloj::now() - t0).count();
  EXPECT_EQ(tercero.status, 1) << tercero.output;
  EXPECT_NE(tercero.output.find("ERROR: otro rondador ya atiende " + base + " (" + candado + " esta bloqueado)"), std::string::npos) << tercero.output;
  EXPECT_GE(espera, 4.9);
  EXPECT_LT(espera, 8.0);
  EXPECT_TRUE(segundo.Running());
}

}  // namespace
