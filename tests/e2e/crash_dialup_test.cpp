// crash_dialup_test.cpp - kill -9 of a dial-up run at random points: the run
// and its protocol child (the one that holds the device locks) die
// together, as in a power cut. The next run on the same root, over the same
// modem device, must take over the stale instance lock and the stale "LCK.."
// device locks, complete with 0 and leave no lock behind.
#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

#include "dialup_fixture.h"

namespace {

constexpr int kVeces = 6;
constexpr long kHastaMs = 4500;  // a dial-up exchange here takes about 4 s

// The pid recorded in a lock file, 0 when none.
pid_t PidLock(const std::string &path) { return atoi(prueba::ReadFile(path).c_str()); }

// True when pid is a live process of this run: a copy of the client working
// on `raiz` (the protocol child outlives its parent after a kill).
bool EsDeLaCorrida(pid_t pid, const std::string &raiz) {
  if (pid <= 0 || kill(pid, 0) != 0) return false;
  std::string cmd = prueba::ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  return cmd.find(raiz) != std::string::npos;
}

class CaidaDialup : public dialup::Dialup, public ::testing::WithParamInterface<int> {
 protected:
  // The device locks, without the private file a lock is written to first.
  std::vector<std::string> LocksSinPrivados() const {
    std::vector<std::string> out;
    for (const auto &n : Locks()) {
      if (n.rfind(".zelta-lck.", 0) != 0) out.push_back(n);
    }
    return out;
  }
};

TEST_P(CaidaDialup, NextRunTakesOverEveryStaleLockAndCompletes) {
  std::mt19937 azar(static_cast<std::mt19937::result_type>(20261210 + GetParam()));
  long demora = std::uniform_int_distribution<long>(0, kHastaMs)(azar);
  SCOPED_TRACE("killed after " + std::to_string(demora) + " ms");
  ASSERT_NO_FATAL_FAILURE(
      IniciarServidor({"--sessions", "2", "--timeout", "20", "--upload", tmp / "subida%d"}));
  Configurar("REINTENTOS=1\n");
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", "CONNECT 9600"}));

  prueba::Spawned primera = prueba::Spawn(Argv());
  std::this_thread::sleep_for(std::chrono::milliseconds(demora));
  primera.Signal(SIGKILL);
  int st = primera.Wait(10000);
  // Its protocol child, found through the device lock it holds.
  for (const auto &n : Locks()) {
    pid_t hijo = PidLock(lockdir + "/" + n);
    if (EsDeLaCorrida(hijo, raiz)) {
      kill(hijo, SIGKILL);
      ASSERT_TRUE(prueba::WaitUntil([&] { return kill(hijo, 0) != 0; }, 10000));
    }
  }
  if (st == 0) {
    EXPECT_TRUE(LocksSinPrivados().empty());
    GTEST_SKIP() << "the run had ended before the kill";
  }
  bool lock = prueba::Exists(raiz + "/_zelta.lck");
  std::vector<std::string> locks = LocksSinPrivados();

  // A fresh modem on the same device; the terminal's next transaction when
  // the killed run had taken the header away.
  modem = prueba::Spawned();
  unlink(Device().c_str());
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", "CONNECT 9600"}));
  if (!prueba::Exists(raiz + "/upload/_svl.0")) {
    prueba::WriteFile(raiz + "/upload/_svl.0", "V1510512ABCDEFGH\r\n");
  }

  prueba::RunResult r = Correr();
  std::string l = Log();
  EXPECT_EQ(r.status, 0) << l;
  EXPECT_EQ(Estado(), "0: Conexion OK\r\n");
  EXPECT_FALSE(prueba::Exists(raiz + "/_zelta.lck"));
  EXPECT_TRUE(LocksSinPrivados().empty()) << ::testing::PrintToString(Locks());
  // A run killed while it wrote a lock leaves that lock's private file,
  // named after its own pid; the next run leaves none of its own.
  for (const auto &n : Locks()) {
    if (n.rfind(".zelta-lck.", 0) == 0) {
      EXPECT_NE(kill(atoi(n.c_str() + 11), 0), 0) << n;
    }
  }
  if (lock) {
    EXPECT_NE(l.find("Cree el lock " + raiz + "/_zelta.lck"), std::string::npos);
  }
  for (const auto &n : locks) {
    EXPECT_NE(l.find("Cree el lock " + lockdir + "/" + n), std::string::npos) << n;
  }
  printf("killed after %ld ms: instance lock left %d, device locks left %zu; second run %d\n",
         demora, lock, locks.size(), r.status);
}

INSTANTIATE_TEST_SUITE_P(Caidas, CaidaDialup, ::testing::Range(0, kVeces));

}  // namespace
