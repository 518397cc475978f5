// daemon_support.h - fixture for runs of the real daemon: a base directory
// with tx/, a fake client that records how it was started, and a fake ping
// first on PATH whose answers the test chooses.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace rondadortest {

// One start of the fake client, as it recorded it.
struct Llamada {
  std::string args;    // "[a][b]..." without the program path
  std::string umask;
  std::string stdin_;  // what its standard input is
  std::string pings;   // ping attempts counted before it started
  std::string pid;
  std::string svl;     // upload/_svl.2 of its root when it started
};

class Rondador : public ::testing::Test {
 protected:
  prueba::TempDir tmp;
  std::string base = tmp / "base";
  std::string tx = base + "/tx";
  std::string fakebin = tmp / "bin";
  std::string llamadas = tmp / "llamadas";
  std::string cliente = tmp / "cliente";
  std::string contador = tmp / "pings";
  std::string argsping = tmp / "argsping";
  std::string log = tmp / "rondador.log";
  // Held in an optional: a new daemon is emplaced, never move-assigned.
  std::optional<prueba::Spawned> daemon;

  void SetUp() override {
    prueba::MakeDir(base);
    prueba::MakeDir(tx);
    prueba::MakeDir(fakebin);
    prueba::MakeDir(llamadas);
    EscribirCliente("");
  }

  void TearDown() override { MatarTodo(); }

  // The fake client records its start, prints a line, then runs extra.
  void EscribirCliente(const std::string &extra) {
    prueba::WriteFile(cliente,
                      "#!/bin/sh\n"
                      "r=" + llamadas + "/c$$\n"
                      "{\n"
                      "  printf '[%s]' \"$@\"; echo\n"
                      "  umask\n"
                      "  readlink /proc/$$/fd/0\n"
                      "  cat " + contador + " 2>/dev/null || echo 0\n"
                      "  echo $$\n"
                      "  cat \"$1/upload/_svl.2\" 2>/dev/null\n"
                      "} > \"$r.tmp\"\n"
                      "mv \"$r.tmp\" \"$r\"\n"
                      "echo \"salida del cliente $$\"\n" + extra,
                      0755);
  }

  // The fake ping counts its attempts in `contador`, records its arguments
  // and then runs body (which decides its exit status; $n is the attempt).
  void EscribirPing(const std::string &cuerpo) {
    prueba::WriteFile(fakebin + "/ping",
                      "#!/bin/sh\n"
                      "n=$(cat " + contador + " 2>/dev/null || echo 0)\n"
                      "n=$((n+1))\n"
                      "echo $n > " + contador + "\n"
                      "echo \"$*\" >> " + argsping + "\n" + cuerpo,
                      0755);
  }

  std::vector<std::string> Entorno() {
    const char *path = getenv("PATH");
    return {"PATH=" + fakebin + ":" + (path != nullptr ? path : "/usr/bin:/bin")};
  }

  void Arrancar(const std::vector<std::string> &opciones) {
    std::vector<std::string> argv = {prueba::Bin("rondador"), base, cliente};
    argv.insert(argv.end(), opciones.begin(), opciones.end());
    Lanzar(argv, Entorno());
  }

  void Lanzar(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    daemon.reset();
    daemon.emplace(prueba::Spawn(argv, env));
  }

  // A marker whose modification time is edad seconds in the past.
  void Marca(const std::string &nombre, int edad = 0) {
    std::string ruta = tx + "/" + nombre;
    prueba::WriteFile(ruta, "");
    Envejecer(ruta, edad);
  }

  static void Envejecer(const std::string &ruta, int edad) {
    timespec t[2];
    clock_gettime(CLOCK_REALTIME, &t[0]);
    t[0].tv_sec -= edad;
    t[1] = t[0];
    utimensat(AT_FDCWD, ruta.c_str(), t, AT_SYMLINK_NOFOLLOW);
  }

  std::string Raiz(const std::string &nombre) { return base + "/" + nombre; }

  std::vector<Llamada> Llamadas() {
    std::vector<Llamada> out;
    for (const auto &n : prueba::ListDir(llamadas)) {
      if (n.size() > 4 && n.substr(n.size() - 4) == ".tmp") continue;
      std::string t = prueba::ReadFile(llamadas + "/" + n);
      Llamada l;
      std::string *campos[] = {&l.args, &l.umask, &l.stdin_, &l.pings, &l.pid};
      size_t p = 0;
      for (std::string *c : campos) {
        size_t fin = t.find('\n', p);
        if (fin == std::string::npos) break;
        *c = t.substr(p, fin - p);
        p = fin + 1;
      }
      l.svl = p < t.size() ? t.substr(p) : "";
      out.push_back(l);
    }
    return out;
  }

  bool EsperarLlamadas(size_t n, int ms = 10000) {
    return prueba::WaitUntil([&] { return Llamadas().size() >= n; }, ms);
  }

  size_t Contar(const std::string &args) {
    size_t n = 0;
    for (const auto &l : Llamadas()) n += l.args == args;
    return n;
  }

  std::string Log() { return prueba::ReadFile(log); }
  bool EnLog(const std::string &s) { return Log().find(s) != std::string::npos; }
  bool EsperarLog(const std::string &s, int ms = 10000) {
    return prueba::WaitUntil([&] { return EnLog(s); }, ms);
  }

  // Process ids of daemons started on this test's base directory.
  std::vector<pid_t> Daemons() {
    std::vector<pid_t> out;
    for (const auto &n : prueba::ListDir("/proc")) {
      if (n.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string cmd = prueba::ReadFile("/proc/" + n + "/cmdline");
      std::string nombre = prueba::Bin("rondador");
      nombre.push_back('\0');
      nombre += base;
      nombre.push_back('\0');
      if (cmd.compare(0, nombre.size(), nombre) == 0) out.push_back(std::stoi(n));
    }
    return out;
  }

  // Kills every daemon of this test with its process group (its clients and
  // pings), detached ones included.
  void MatarTodo() {
    for (pid_t pid : Daemons()) {
      pid_t grupo = getpgid(pid);
      if (grupo > 0 && grupo != getpgrp()) kill(-grupo, SIGKILL);
      kill(pid, SIGKILL);
    }
    prueba::WaitUntil([&] { return Daemons().empty(); }, 5000);
  }
};

}  // namespace rondadortest
