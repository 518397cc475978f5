// nadie.h - the attacker of the hostile tests: the user nobody, and a child
// process that switches to it (or to any other user) to make an attack.
// These tests need root; REQUIERE_ROOT skips one that cannot act as nobody.
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support.h"

struct Usuario {
  uid_t uid = 0;
  gid_t gid = 0;
};

inline bool BuscarNadie(Usuario &u) {
  struct passwd *pw = getpwnam("nobody");
  if (pw == nullptr) return false;
  u.uid = pw->pw_uid;
  u.gid = pw->pw_gid;
  return true;
}

// Starts fn in a child process that runs as the user u; the child's exit
// status is 0 when fn returned true.
inline pid_t IniciarComo(const Usuario &u, const std::function<bool()> &fn) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (setgroups(0, nullptr) != 0 || setgid(u.gid) != 0 || setuid(u.uid) != 0) _exit(2);
  _exit(fn() ? 0 : 1);
}

// Waits for a child with a deadline; kills it when the deadline passes.
// Returns its exit status, or -1 when it had to be killed.
inline int Esperar(pid_t pid, int timeout_ms) {
  int st = 0;
  bool fin = prueba::WaitUntil([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms);
  if (!fin) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    return -1;
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Runs fn as u to its end (5 s at most). True when it succeeded.
inline bool Como(const Usuario &u, const std::function<bool()> &fn) {
  return Esperar(IniciarComo(u, fn), 5000) == 0;
}

// Gives path, and everything below it, to u (links themselves, not what
// they point to).
inline void ChownR(const std::string &path, const Usuario &u) {
  ASSERT_EQ(lchown(path.c_str(), u.uid, u.gid), 0) << path;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    for (const auto &n : prueba::ListDir(path)) ChownR(path + "/" + n, u);
  }
}

// Skips the test when it cannot act as nobody.
#define REQUIERE_ROOT()                                                             \
  do {                                                                              \
    Usuario u;                                                                      \
    if (geteuid() != 0 || !BuscarNadie(u))                                          \
      GTEST_SKIP() << "needs root and a user nobody: the attacker runs as nobody"; \
  } while (0)
