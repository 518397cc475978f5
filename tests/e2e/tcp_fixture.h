// tcp_fixture.h - shared pieces of the TCP end-to-end tests: starting
// kaldo-server on a free loopback port, reading its summary line, laying out
// a program directory and a terminal root for the real client, and running
// the client against the server.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace tcp {

// One kaldo-server process. Start() waits until it listens.
struct Servidor {
  prueba::Spawned proc;
  int puerto = 0;

  // Starts kaldo-server with the given options on 127.0.0.1 and a port of
  // its own choice. False when it did not come up.
  bool Start(const prueba::TempDir &tmp, const std::vector<std::string> &opciones) {
    std::string archivo = tmp / "kaldo.port";
    std::vector<std::string> argv = {prueba::Bin("kaldo-server"), "--listen", "127.0.0.1:0",
                                     "--port-file", archivo};
    argv.insert(argv.end(), opciones.begin(), opciones.end());
    proc = prueba::Spawn(argv);
    bool listo = prueba::WaitUntil(
        [&] { return !prueba::ReadFile(archivo).empty() || !proc.Running(); }, 10000);
    puerto = atoi(prueba::ReadFile(archivo).c_str());
    return listo && puerto > 0;
  }

  // Waits for the server to end (it does after its sessions) and returns the
  // fields of the summary line of session n (1 = the first).
  std::map<std::string, std::string> Resumen(int n = 1, int timeout_ms = 20000) {
    proc.Wait(timeout_ms);
    return LeerResumen(proc.Output(), n);
  }

  static std::map<std::string, std::string> LeerResumen(const std::string &salida, int n) {
    std::map<std::string, std::string> campos;
    std::istringstream lineas(salida);
    std::string linea;
    std::string buscada = "session=" + std::to_string(n) + " ";
    while (std::getline(lineas, linea)) {
      if (linea.rfind(buscada, 0) != 0) continue;
      std::istringstream palabras(linea);
      std::string p;
      while (palabras >> p) {
        size_t igual = p.find('=');
        if (igual != std::string::npos) campos[p.substr(0, igual)] = p.substr(igual + 1);
      }
    }
    return campos;
  }
};

// A program directory with the client, zelta.conf and zelta.destinos, and
// a terminal root with upload/ and download/, all under one temp dir.
struct Terminal {
  prueba::TempDir tmp;
  std::string prog;     // program directory
  std::string zelta;    // client path inside it
  std::string raiz;     // terminal root
  std::string log;

  // Header line of the bundle: company 05, activity 12, key ABCDEFGH.
  static constexpr const char *kEncabezado = "V1510512ABCDEFGH";

  Terminal() {
    prog = tmp / "prog";
    zelta = prueba::InstallClient(prog);
    raiz = tmp / "term";
    prueba::MakeDir(raiz);
    prueba::MakeDir(raiz + "/upload");
    prueba::MakeDir(raiz + "/download");
    log = tmp / "zelta.log";
    prueba::WriteFile(raiz + "/upload/_svl.0", std::string(kEncabezado) + "\r\n");
  }

  // zelta.conf with the given extra lines, and a destination table that
  // sends company 5, activity 12 to host:port.
  void Configurar(const std::string &host, int puerto, const std::string &extra = "") {
    prueba::WriteFile(prog + "/zelta.conf",
                      "MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\n" + extra);
    prueba::WriteFile(prog + "/zelta.destinos",
                      "# empresa actividad clave telefono servidor puerto\n5 12 * - " + host +
                          " " + std::to_string(puerto) + "\n");
  }

  void Subir(const std::string &nombre, const std::string &contenido) {
    prueba::WriteFile(raiz + "/upload/" + nombre, contenido);
  }

  std::vector<std::string> Argv() const {
    return {zelta, "-t", "tcp", "-x20", "-l", log, raiz};
  }

  prueba::RunResult Correr(int timeout_ms = 60000) const { return prueba::Run(Argv(), timeout_ms); }

  std::string Estado() const { return prueba::ReadFile(raiz + "/estado.rsp"); }
  std::string Log() const { return prueba::ReadFile(log); }
  std::string Bajado(const std::string &nombre) const {
    return prueba::ReadFile(raiz + "/download/" + nombre);
  }
};

// The 32 characters of host identification the client puts in the header.
inline std::string HostId() { return prueba::ReadFile("/etc/machine-id").substr(0, 32); }

// One file record of an upload bundle, as the server stores it (escaping
// removed).
struct Registro {
  std::string nombre;
  std::string contenido;
  bool binario;
};

// The upload bundle the client builds from _svl.0 and the given records, in
// the order given, with the escaping removed.
inline std::string PaqueteEsperado(const std::vector<Registro> &registros) {
  std::string p = std::string("[_svl.0]\r\n") + Terminal::kEncabezado + HostId() + "\r\n";
  for (const auto &r : registros) {
    if (r.binario) {
      p += "[" + r.nombre + "," + std::to_string(r.contenido.size()) + "]\r\n" + r.contenido +
           "\r\n";
    } else {
      bool concrlf = r.contenido.size() >= 2 && r.contenido.compare(r.contenido.size() - 2, 2,
                                                                   "\r\n") == 0;
      p += "[" + r.nombre + "]\r\n" + r.contenido + (concrlf ? "" : "\r\n");
    }
  }
  return p + "[FIN]\r\n";
}

// Deterministic bytes that cover every value, 0x03 and 0x08 included.
inline std::string Bytes(size_t n, unsigned semilla = 1) {
  std::string s(n, '\0');
  unsigned x = semilla * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>((x >> 16) & 0xFF);
  }
  return s;
}

inline int Contar(const std::string &texto, const std::string &buscado) {
  int n = 0;
  for (size_t p = texto.find(buscado); p != std::string::npos; p = texto.find(buscado, p + 1)) ++n;
  return n;
}

}  // namespace tcp

namespace tcp {

using prueba::Escapar;

// A port manager on the UDP port of the server's number that always answers
// that it has nothing to offer: a run that falls back to it (when the
// server's name cannot be resolved for want of memory, say) goes on at once
// instead of waiting out the port manager's time-outs.
struct PortMgrNada {
  int fd = -1;
  std::atomic<bool> fin{false};
  std::thread hilo;
  explicit PortMgrNada(int puerto) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(puerto));
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return;
    hilo = std::thread([this] {
      while (!fin) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[256];
        sockaddr_in de{};
        socklen_t largo = sizeof de;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&de), &largo);
        if (n > 0) sendto(fd, "MGR;NONE;", 9, 0, reinterpret_cast<sockaddr *>(&de), largo);
      }
    });
  }
  ~PortMgrNada() {
    fin = true;
    if (hilo.joinable()) hilo.join();
    if (fd >= 0) close(fd);
  }
  PortMgrNada(const PortMgrNada &) = delete;
  PortMgrNada &operator=(const PortMgrNada &) = delete;
};

}  // namespace tcp
