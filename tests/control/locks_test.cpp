// Lock files (instance and device), the pair-device rule, take-over of
// stale locks, and the directory lock with the record of the root's mode.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <functional>

#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

struct LockFixture : ConLogEnArchivo {
  void SetUp() override {
    AbrirLog(10);
    g_corrida.raiz = dir.path;
    ConfiguracionPorDefecto();
    g_config.lockdir = dir / "lock";
    prueba::MakeDir(g_config.lockdir);
  }
  void TearDown() override {
    LiberarLocksDevice();
    ConLogEnArchivo::TearDown();
  }
};

std::string Contenido(int pid) {
  char b[16];
  snprintf(b, sizeof b, "%10d\n", pid);
  return b;
}

// A pid that belonged to a process that has ended.
int PidMuerto() {
  pid_t p = fork();
  if (p == 0) _exit(0);
  waitpid(p, nullptr, 0);
  return p;
}

TEST_F(LockFixture, NewLockHoldsThePidInElevenBytes) {
  std::string path = dir / "_zelta.lck";
  ASSERT_EQ(CrearLock(path), 0);
  EXPECT_EQ(prueba::ReadFile(path), Contenido(getpid()));
  EXPECT_EQ(prueba::FileMode(path) & 0600, 0600u);
  EXPECT_NE(Log().find("Cree el lock " + path), std::string::npos);
  // Nothing but the lock is left in the directory.
  EXPECT_EQ(prueba::ListDir(dir.path), (std::vector<std::string>{"_zelta.lck", "lock", "log"}));
}

TEST_F(LockFixture, LiveOwnerKeepsTheLockUntouched) {
  std::string path = dir / "_zelta.lck";
  pid_t vivo = fork();
  if (vivo == 0) {
    pause();
    _exit(0);
  }
  prueba::WriteFile(path, Contenido(vivo));
  EXPECT_EQ(CrearLock(path), -1);
  EXPECT_EQ(prueba::ReadFile(path), Contenido(vivo));
  EXPECT_NE(Log().find("El proceso (" + std::to_string(vivo) + ") esta lockeando el archivo (" +
                       path + ")"),
            std::string::npos);
  kill(vivo, SIGKILL);
  waitpid(vivo, nullptr, 0);
}

TEST_F(LockFixture, StaleLockIsTakenOver) {
  std::string path = dir / "_zelta.lck";
  prueba::WriteFile(path, Contenido(PidMuerto()));
  ASSERT_EQ(CrearLock(path), 0);
  EXPECT_EQ(prueba::ReadFile(path), Contenido(getpid()));
}

TEST_F(LockFixture, LockWithoutAPositivePidIsHeldForever) {
  const char *contenidos[] = {"", "basura\n", "         0\n", "        -5\n"};
  for (const char *c : contenidos) {
    std::string path = dir / "_zelta.lck";
    prueba::WriteFile(path, c);
    EXPECT_EQ(CrearLock(path), -1) << c;
    EXPECT_EQ(prueba::ReadFile(path), c);
  }
  EXPECT_NE(Log().find("El proceso (0) esta lockeando"), std::string::npos);
}

TEST_F(LockFixture, LockContentNeverPassesForAReadFailure) {
  // "-1" and "-3" were the reader's own codes for "vanished" and "not a
  // regular file": a lock holding them spun 1,000 times or was called a
  // link. Numbers past an int wrapped to some pid (4294967297 to 1). Each
  // is now a lock without a pid: held, untouched, reported as such.
  const char *contenidos[] = {"        -1\n", "        -2\n", "        -3\n", "-1",
                              "4294967297\n", "99999999999", "-4294967295", "\x01\xff-1"};
  for (const char *c : contenidos) {
    SCOPED_TRACE(c);
    AbrirLog(10);
    std::string path = dir / "_zelta.lck";
    prueba::WriteFile(path, c);
    EXPECT_EQ(CrearLock(path), -1);
    EXPECT_EQ(prueba::ReadFile(path), c);
    std::string salida = Log();
    EXPECT_NE(salida.find("El proceso (0) esta lockeando el archivo (" + path + ")"), std::string::npos)
        << salida;
    EXPECT_EQ(salida.find("cambia sin cesar"), std::string::npos) << salida;
    EXPECT_EQ(salida.find("no es un archivo regular"), std::string::npos) << salida;
  }
}

TEST(PidDeLock, OnlyAPidInRangeCounts) {
  struct {
    const char *texto;
    int pid;
  } casos[] = {{"      1234\n", 1234}, {"1234", 1234},       {"2147483647", 2147483647},
               {"2147483648", 0},     {"4294967297", 0},    {"0", 0},
               {"-1", 0},             {"", 0},              {"basura", 0},
               {"  +77x", 77},
               // Any length, with no overflow on the way (found by the
               // configuration fuzzer: 18 digits and more).
               {"960000000000000000", 0}, {"96000000000000000000000", 0},
               {"9223372036854775808", 0}, {"-9223372036854775809", 0}};
  for (const auto &c : casos) EXPECT_EQ(PidDeLock(c.texto), c.pid) << c.texto;
}

TEST_F(LockFixture, UncreatableLockIsReported) {
  std::string path = dir / "nodir/_zelta.lck";
  EXPECT_EQ(CrearLock(path), -1);
  EXPECT_NE(Log().find("No se puede crear lock " + path), std::string::npos);
}

TEST_F(LockFixture, PairDeviceRule) {
  struct Caso {
    const char *prefijo;
    const char *device;
    const char *par;
  } casos[] = {
      {"cua", "/dev/ttyS1", "/dev/cua1"},
      {"cua", "/dev/ttyS12", "/dev/cua12"},
      {"cua", "/dev/ttyUSB", ""},
      {"cua", "ttyS3", "cua3"},
      {"ttyX", "/tmp/a/ttyS7", "/tmp/a/ttyX7"},
      {"*SCO", "/dev/tty1a", "/dev/tty1A"},
      {"*sco", "/dev/tty1A", "/dev/tty1a"},
      {"*SCO", "/dev/tty11", "/dev/tty11"},
  };
  for (const auto &c : casos) {
    g_config.pairdevprefix = c.prefijo;
    EXPECT_EQ(DevicePar(c.device), c.par) << c.prefijo << " " << c.device;
  }
}

TEST_F(LockFixture, DeviceAndPairAreLockedAndReleased) {
  ASSERT_EQ(LockearDevice("/dev/ttyS0"), 0);
  std::string l0 = g_config.lockdir + "/LCK..ttyS0", l1 = g_config.lockdir + "/LCK..cua0";
  EXPECT_EQ(prueba::ReadFile(l0), Contenido(getpid()));
  EXPECT_EQ(prueba::ReadFile(l1), Contenido(getpid()));
  LiberarLocksDevice();
  EXPECT_FALSE(prueba::Exists(l0));
  EXPECT_FALSE(prueba::Exists(l1));
  std::string salida = Log();
  EXPECT_NE(salida.find("Saque el lock " + l0), std::string::npos);
  EXPECT_NE(salida.find("Saque el lock " + l1), std::string::npos);
}

TEST_F(LockFixture, PairHeldElsewhereUndoesTheDeviceLock) {
  pid_t vivo = fork();
  if (vivo == 0) {
    pause();
    _exit(0);
  }
  std::string l1 = g_config.lockdir + "/LCK..cua0";
  prueba::WriteFile(l1, Contenido(vivo));
  EXPECT_EQ(LockearDevice("/dev/ttyS0"), -1);
  EXPECT_FALSE(prueba::Exists(g_config.lockdir + "/LCK..ttyS0"));
  EXPECT_EQ(prueba::ReadFile(l1), Contenido(vivo));
  kill(vivo, SIGKILL);
  waitpid(vivo, nullptr, 0);
}

TEST_F(LockFixture, DeviceLockFailures) {
  // Without '/', no lock name can be made.
  EXPECT_EQ(LockearDevice("ttyS0"), -1);
  EXPECT_NE(Log().find("No se puede lockear ttyS0"), std::string::npos);
  // *SCO with a digit at the end pairs the device with itself.
  g_config.pairdevprefix = "*SCO";
  EXPECT_EQ(LockearDevice("/dev/tty11"), -1);
  EXPECT_FALSE(prueba::Exists(g_config.lockdir + "/LCK..tty11"));
  // A lock directory that does not exist.
  g_config.lockdir = dir / "nope";
  EXPECT_EQ(LockearDevice("/dev/ttyS0"), -1);
  EXPECT_NE(Log().find("No se puede crear lock " + dir / "nope/LCK..ttyS0"), std::string::npos);
}

TEST_F(LockFixture, RacingRunsNeverBothWinAStaleLock) {
  std::string path = dir / "_zelta.lck";
  for (int ronda = 0; ronda < 20; ronda++) {
    prueba::WriteFile(path, Contenido(PidMuerto()));
    int tubo[2];
    ASSERT_EQ(pipe(tubo), 0);
    std::vector<pid_t> hijos;
    for (int i = 0; i < 4; i++) {
      pid_t p = fork();
      if (p == 0) {
        close(tubo[0]);
        g_corrida.debuglevel = 0;
        char r = CrearLock(path) == 0 ? '1' : '0';
        if (write(tubo[1], &r, 1) != 1) _exit(2);
        pause();  // hold the lock while the others try
        _exit(0);
      }
      hijos.push_back(p);
    }
    close(tubo[1]);
    std::string respuestas;
    char c;
    while (respuestas.size() < 4 && read(tubo[0], &c, 1) == 1) respuestas += c;
    close(tubo[0]);
    EXPECT_EQ(std::count(respuestas.begin(), respuestas.end(), '1'), 1) << respuestas;
    std::string dueno = prueba::ReadFile(path);
    bool dueno_es_hijo = false;
    for (pid_t p : hijos) dueno_es_hijo |= dueno == Contenido(p);
    EXPECT_TRUE(dueno_es_hijo) << dueno;
    for (pid_t p : hijos) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
  }
}

// Sets the modification time of path to an hour before the system booted.
void AntesDelArranque(const std::string &path) {
  timespec real{}, boot{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_BOOTTIME, &boot);
  timespec t[2];
  t[0].tv_sec = real.tv_sec - boot.tv_sec - 3600;
  t[0].tv_nsec = 0;
  t[1] = t[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
}

// A child that waits until it is killed; ended by the destructor. It runs
// this program, or another one (sleep) when told to.
struct ProcesoVivo {
  pid_t pid = -1;
  explicit ProcesoVivo(bool otro = false) {
    pid = fork();
    if (pid == 0) {
      if (otro) execlp("sleep", "sleep", "600", static_cast<char *>(nullptr));
      pause();
      _exit(0);
    }
  }
  ~ProcesoVivo() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

TEST_F(LockFixture, StaleRulesBootTimeDeadOwnerAndPidlessLocks) {
  ProcesoVivo vivo;
  ProcesoVivo otro(true);
  // Until the child has exec'd it still runs this program.
  char exe[64];
  snprintf(exe, sizeof exe, "/proc/%d/exe", otro.pid);
  ASSERT_TRUE(prueba::WaitUntil(
      [&] {
        char destino[256] = "";
        ssize_t n = readlink(exe, destino, sizeof destino - 1);
        return n > 0 && std::string(destino, static_cast<size_t>(n)).find("sleep") != std::string::npos;
      },
      5000));
  struct Caso {
    const char *nombre;
    std::string contenido;
    bool antesdelarranque;  // written before the last boot
    bool tomado;
    std::string motivo;     // in the take-over's log line
  } casos[] = {
      {"live owner of this boot", Contenido(vivo.pid), false, false, ""},
      {"pid of another program's process written before the boot", Contenido(otro.pid), true,
       true, "es anterior al ultimo arranque del sistema"},
      // The clock stepped forward after the boot: a live run of this
      // program is never taken over, whatever the lock's time says.
      {"this program's live run, its lock older than the boot", Contenido(vivo.pid), true, false,
       ""},
      {"dead owner", Contenido(PidMuerto()), false, true, "ya no existe"},
      {"empty lock from before the boot", "", true, false, ""},
      {"zero pid from before the boot", Contenido(0), true, false, ""},
  };
  std::string path = dir / "_zelta.lck";
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    AbrirLog(10);
    unlink(path.c_str());
    prueba::WriteFile(path, c.contenido);
    if (c.antesdelarranque) AntesDelArranque(path);
    EXPECT_EQ(CrearLock(path), c.tomado ? 0 : -1) << Log();
    EXPECT_EQ(prueba::ReadFile(path), c.tomado ? Contenido(getpid()) : c.contenido);
    if (c.tomado) {
      EXPECT_NE(Log().find("Tomo el lock " + path + ": el proceso (" +
                           std::to_string(atoi(c.contenido.c_str())) + ") que lo creo " + c.motivo),
                std::string::npos)
          << Log();
    } else {
      EXPECT_NE(Log().find("esta lockeando el archivo (" + path + ")"), std::string::npos) << Log();
    }
  }
}

// The directory lock over a root of its own, opened as a run opens it.
struct DirectorioFixture : LockFixture {
  std::string raiz = dir / "raiz";
  std::string modo = raiz + "/_zelta.modo";
  void SetUp() override {
    LockFixture::SetUp();
    prueba::MakeDir(raiz, 0750);
    chmod(raiz.c_str(), 0750);
    g_corrida.raiz = raiz;
    g_corrida.raizfd = open(raiz.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(g_corrida.raizfd, 0);
  }
  void TearDown() override {
    close(g_corrida.raizfd);
    g_corrida.raizfd = -1;
    LockFixture::TearDown();
  }
};

TEST_F(DirectorioFixture, RootModeIsRecordedWhileNarrowedAndPutBack) {
  LockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 0744u);
  EXPECT_EQ(prueba::ReadFile(modo), "0750\n");
  DeslockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 0750u);
  EXPECT_FALSE(prueba::Exists(modo));
  // A second run does the same.
  LockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 0744u);
  DeslockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 0750u);
  EXPECT_FALSE(prueba::Exists(modo));
}

TEST_F(DirectorioFixture, ModeLeftByADeadRunIsTheOnePutBack) {
  // A run died with the root narrowed; its record holds the mode it found.
  chmod(raiz.c_str(), 0744);
  prueba::WriteFile(modo, "2770\n");
  LockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 0744u);
  EXPECT_EQ(prueba::ReadFile(modo), "2770\n");
  EXPECT_NE(Log().find("quedo con modo 0744 de una corrida interrumpida; se restituira su modo 2770"),
            std::string::npos)
      << Log();
  DeslockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 02770u);
  EXPECT_FALSE(prueba::Exists(modo));
}

TEST_F(DirectorioFixture, GarbageModeRecordIsIgnored) {
  std::string blanco = dir / "blanco";
  prueba::WriteFile(blanco, "0777\n", 0600);
  struct Caso {
    const char *nombre;
    std::function<void()> plantar;
  } casos[] = {
      {"empty", [&] { prueba::WriteFile(modo, ""); }},
      {"not octal", [&] { prueba::WriteFile(modo, "0789\n"); }},
      {"no line feed", [&] { prueba::WriteFile(modo, "0755"); }},
      {"set-user-id bit", [&] { prueba::WriteFile(modo, "4755\n"); }},
      {"too many digits", [&] { prueba::WriteFile(modo, "00755\n"); }},
      {"trailing bytes", [&] { prueba::WriteFile(modo, "0755\nx"); }},
      {"a link", [&] { ASSERT_EQ(symlink(blanco.c_str(), modo.c_str()), 0); }},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(modo.c_str(), 0644), 0); }},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    AbrirLog(10);
    chmod(raiz.c_str(), 0750);
    unlink(modo.c_str());
    c.plantar();
    LockearDirectorio();
    EXPECT_NE(Log().find("Se ignora el modo guardado en " + modo), std::string::npos) << Log();
    EXPECT_EQ(prueba::FileMode(raiz), 0744u);
    EXPECT_EQ(prueba::ReadFile(modo), "0750\n") << "the record is made anew";
    DeslockearDirectorio();
    EXPECT_EQ(prueba::FileMode(raiz), 0750u);
    EXPECT_FALSE(prueba::Exists(modo));
  }
  EXPECT_EQ(prueba::ReadFile(blanco), "0777\n");
  EXPECT_EQ(prueba::FileMode(blanco), 0600u);
}

// The terminal's user may delete the record but never make one: a root it
// cannot chmod itself must not get a mode of its choosing.
TEST_F(DirectorioFixture, ModeRecordMadeByAnotherUserIsIgnored) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the record to another user";
  chmod(raiz.c_str(), 0750);
  prueba::WriteFile(modo, "0777\n");
  ASSERT_EQ(chown(modo.c_str(), 65534, 65534), 0);
  LockearDirectorio();
  EXPECT_NE(Log().find("Se ignora el modo guardado en " + modo + ": no lo hizo zelta"),
            std::string::npos)
      << Log();
  DeslockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 0750u);
}

TEST_F(DirectorioFixture, RootIsNotNarrowedWithoutARecord) {
  prueba::MakeDir(modo);  // CrearArchivo leaves a directory alone
  LockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 0750u);
  EXPECT_NE(Log().find("No se pudo lockear el directorio " + raiz), std::string::npos) << Log();
  DeslockearDirectorio();
  EXPECT_EQ(prueba::FileMode(raiz), 0750u);
}

}  // namespace
