// dialup_fixture.h - shared pieces of the dial-up end-to-end tests: a
// program directory and terminal root for the real client, modem-sim
// playing the modem on a pty exposed as <tmp>/ttyS7, kaldo-server behind
// it, and readers for what the modem received and the line's settings.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace dialup {

inline int Contar(const std::string &texto, const std::string &buscado) {
  int n = 0;
  for (size_t p = texto.find(buscado); p != std::string::npos; p = texto.find(buscado, p + 1)) ++n;
  return n;
}

inline std::vector<std::string> Lineas(const std::string &texto) {
  std::vector<std::string> out;
  std::istringstream in(texto);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

// Content of a device lock file held by process pid.
inline std::string ContenidoLock(pid_t pid) {
  char buf[16];
  snprintf(buf, sizeof buf, "%10d\n", static_cast<int>(pid));
  return buf;
}

class Dialup : public ::testing::Test {
 protected:
  prueba::TempDir tmp;
  std::string prog, zelta, raiz, log, lockdir, registro;
  prueba::Spawned modem, servidor;
  int puerto = 0;

  void SetUp() override {
    ASSERT_FALSE(tmp.path.empty());
    prog = tmp / "prog";
    zelta = prueba::InstallClient(prog);
    raiz = tmp / "term01";
    prueba::MakeDir(raiz);
    prueba::MakeDir(raiz + "/upload");
    prueba::MakeDir(raiz + "/download");
    prueba::WriteFile(raiz + "/upload/_svl.0", "V1510512ABCDEFGH\r\n");
    log = tmp / "zelta.log";
    lockdir = tmp / "lock";
    prueba::MakeDir(lockdir);
    registro = tmp / "modem.rec";
  }

  std::string Device(const std::string &nombre = "ttyS7") const { return tmp / nombre; }

  // zelta.conf: the given MODEM lines (default: ttyS7), area code 0351,
  // LOCKDIR in the temp dir, plus extra lines; zelta.destinos sends company
  // 5, activity 12 to dial string `telefono` and the server's port.
  void Configurar(const std::string &extra, const std::string &telefono = "0351-4123456",
                  const std::vector<std::string> &modems = {}) {
    std::string conf;
    for (const auto &m : modems.empty() ? std::vector<std::string>{Device()} : modems) {
      conf += "MODEM=" + m + "\n";
    }
    conf += "CODIGOINTERURBANO=0351\nLOCKDIR=" + lockdir + "\n" + extra;
    prueba::WriteFile(prog + "/zelta.conf", conf);
    prueba::WriteFile(prog + "/zelta.destinos",
                      "5 12 * " + telefono + " 127.0.0.1 " + std::to_string(puerto ? puerto : 1) +
                          "\n");
  }

  // Starts kaldo-server on a loopback port of its choice; the modem carries
  // the line there after CONNECT.
  void IniciarServidor(const std::vector<std::string> &opciones) {
    std::string archivo = tmp / "kaldo.port";
    std::vector<std::string> argv = {prueba::Bin("kaldo-server"), "--listen", "127.0.0.1:0",
                                     "--port-file", archivo};
    argv.insert(argv.end(), opciones.begin(), opciones.end());
    servidor = prueba::Spawn(argv);
    ASSERT_TRUE(prueba::WaitUntil(
        [&] { return !prueba::ReadFile(archivo).empty() || !servidor.Running(); }, 10000));
    puerto = atoi(prueba::ReadFile(archivo).c_str());
    ASSERT_GT(puerto, 0) << servidor.Output();
  }

  // Starts modem-sim on device `nombre`, recording into `registro`; with a
  // server running, CONNECT carries the line to it.
  void IniciarModem(const std::vector<std::string> &opciones,
                    const std::string &nombre = "ttyS7") {
    std::vector<std::string> argv = {prueba::Bin("modem-sim"), "--link", Device(nombre),
                                     "--record", registro};
    if (puerto > 0) {
      argv.push_back("--server");
      argv.push_back("127.0.0.1:" + std::to_string(puerto));
    }
    argv.insert(argv.end(), opciones.begin(), opciones.end());
    modem = prueba::Spawn(argv);
    ASSERT_TRUE(prueba::WaitUntil(
        [&] { return prueba::Exists(Device(nombre)) || !modem.Running(); }, 10000));
    ASSERT_TRUE(modem.Running()) << modem.Output();
  }

  std::vector<std::string> Argv() const { return {zelta, "-x20", "-l", log, raiz}; }

  // A run whose modem never answers the dial command, returned once it has
  // dialed (it holds the device then). conf: zelta.conf lines.
  prueba::Spawned CorrerHastaMarcar(const std::string &conf) {
    Configurar(conf);
    IniciarModem({"--dial", "silent"});
    prueba::Spawned z = prueba::Spawn(Argv());
    EXPECT_TRUE(prueba::WaitUntil([&] { return ContarComandos("ATD") == 1 || !z.Running(); }, 15000))
        << Log();
    return z;
  }
  prueba::RunResult Correr(int timeout_ms = 60000) const {
    return prueba::Run(Argv(), timeout_ms);
  }

  std::vector<std::string> Comandos() const { return Lineas(prueba::ReadFile(registro)); }
  // The commands once they equal `esperados`, or after 5 seconds: the
  // modem may still be reading what the client wrote just before it ended.
  std::vector<std::string> ComandosFinales(const std::vector<std::string> &esperados) const {
    prueba::WaitUntil([&] { return Comandos() == esperados; }, 5000);
    return Comandos();
  }
  int ContarComandos(const std::string &prefijo) const {
    int n = 0;
    for (const auto &c : Comandos()) n += c.rfind(prefijo, 0) == 0 ? 1 : 0;
    return n;
  }
  std::string Estado() const { return prueba::ReadFile(raiz + "/estado.rsp"); }
  std::string Log() const { return prueba::ReadFile(log); }
  // Device lock files left in LOCKDIR.
  std::vector<std::string> Locks() const { return prueba::ListDir(lockdir); }

  // The line's settings as the client's line sees them.
  static bool Ajustes(const std::string &device, termios &t) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = tcgetattr(fd, &t) == 0;
    close(fd);
    return ok;
  }
};

}  // namespace dialup
