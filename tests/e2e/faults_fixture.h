// faults_fixture.h - what the fault tests share: one small exchange (the
// files the terminal leaves in upload/ and the server's answer), running it
// with the real client against kaldo-server, and the checks that must hold
// whatever went wrong: no lock left behind, no upload file lost, and a 0
// only with everything delivered exactly and the whole upload received.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "tcp_fixture.h"

namespace falla {

constexpr int kBlocksize = 256;

struct Archivo {
  std::string nombre;
  std::string contenido;
  bool binario;
};

// The files of upload/ besides _svl.0: a binary one full of bytes that need
// escaping, a text one, and the list of binary names.
inline std::vector<Archivo> ArchivosSubida() {
  return {{"1DATOS.BIN", tcp::Bytes(700, 3), true},
          {"2NOTA.TXT", "linea uno\r\nlinea dos\r\n", false},
          {"_zelta.bin", "1DATOS.BIN\r\n", false}};
}

// The server's answer: a ticket with a marker, a binary file with runs of
// the bytes that are escaped, a text file.
inline std::string BinarioBajada() {
  return tcp::Bytes(600, 5) + std::string(40, '\x03') + std::string(40, '\x08') +
         tcp::Bytes(100, 6);
}
inline std::string PaqueteBajada() {
  std::string bin = BinarioBajada();
  return "[_ticket.prn]\r\nTOTAL %A\r\n[DATOS.BIN," + std::to_string(bin.size()) + "]\r\n" + bin +
         "\r\n[NOTA.TXT]\r\nhola\r\n[FIN]\r\n";
}
// download/ after a clean run (the ticket filled in from _ZELTA.RPL).
inline std::map<std::string, std::string> EntregaEsperada() {
  return {{"DATOS.BIN", BinarioBajada()}, {"NOTA.TXT", "hola\r\n"}, {"_ticket.prn", "TOTAL 12,50\r\n"}};
}

// The record of one file as the server stores the upload (escaping removed).
inline std::string Registro(const Archivo &a) {
  if (a.binario) {
    return "[" + a.nombre + "," + std::to_string(a.contenido.size()) + "]\r\n" + a.contenido + "\r\n";
  }
  bool concrlf = a.contenido.size() >= 2 && a.contenido.compare(a.contenido.size() - 2, 2, "\r\n") == 0;
  return "[" + a.nombre + "]\r\n" + a.contenido + (concrlf ? "" : "\r\n");
}

inline std::string SubidaEsperada() {
  std::vector<tcp::Registro> r;
  for (const auto &a : ArchivosSubida()) r.push_back({a.nombre, a.contenido, a.binario});
  return tcp::PaqueteEsperado(r);
}


// One exchange: a terminal laid out with the files above, a kaldo-server
// ready to answer it, and, once the client ended, what the server saw.
struct Intercambio {
  tcp::Terminal t;
  tcp::Servidor srv;
  prueba::RunResult run;
  std::map<std::string, std::string> resumen;  // the server's summary line
  std::string subida;                          // the upload the server stored
  std::unique_ptr<tcp::PortMgrNada> portmgr;

  // Lays the terminal out and starts the server with extra options.
  bool Preparar(const std::vector<std::string> &opciones = {}, const std::string &conf = "") {
    for (const auto &a : ArchivosSubida()) t.Subir(a.nombre, a.contenido);
    prueba::WriteFile(t.tmp / "bajada.dat", PaqueteBajada());
    prueba::WriteFile(t.raiz + "/_ZELTA.RPL", "A=\"12,50\"\r\n");
    prueba::MakeDir(t.tmp / "locks");
    std::vector<std::string> op = {"--download", t.tmp / "bajada.dat", "--upload",
                                   t.tmp / "subida.dat", "--timeout", "10"};
    op.insert(op.end(), opciones.begin(), opciones.end());
    if (!srv.Start(t.tmp, op)) return false;
    portmgr = std::make_unique<tcp::PortMgrNada>(srv.puerto);
    t.Configurar("127.0.0.1", srv.puerto,
                 "BLOCKSIZE=" + std::to_string(kBlocksize) + "\nLOCKDIR=" + (t.tmp / "locks") +
                     "\n" + conf);
    return true;
  }

  std::vector<std::string> Argv() const { return t.Argv(); }

  // Runs the client to its end with extra environment entries.
  void Correr(const std::vector<std::string> &env = {}, int timeout_ms = 30000) {
    run = prueba::Run(Argv(), timeout_ms, env);
    // 127 with no output and no log: the program never started (the exec
    // failed, seen once on a loaded machine); that says nothing about it.
    if (run.status == 127 && run.output.empty() && !prueba::Exists(t.log)) {
      run = prueba::Run(Argv(), timeout_ms, env);
    }
    Cerrar();
  }

  // After the client ended: waits for the server's summary when the client
  // reached it, and stops a server still waiting for a connection.
  void Cerrar() {
    bool conecto = t.Log().find("Conectando") != std::string::npos;
    prueba::WaitUntil([&] { return !srv.proc.Running(); }, conecto ? 15000 : 0);
    if (srv.proc.Running()) {
      srv.proc.Signal(SIGKILL);
      srv.proc.Wait(5000);
    }
    resumen = tcp::Servidor::LeerResumen(srv.proc.Output(), 1);
    subida = prueba::ReadFile(t.tmp / "subida.dat");
  }

  std::string Contexto() const {
    return "client status " + std::to_string(run.status) + "\nclient output:\n" + run.output +
           "\nclient log:\n" + t.Log() + "\nserver:\n" + srv.proc.Output();
  }
};

using prueba::Desescapar;

// The bundles a run kept in <root>/retenidos/ (".subida" and ".dudosa"),
// name -> content as stored.
inline std::map<std::string, std::string> Retenidos(const std::string &raiz) {
  std::map<std::string, std::string> r;
  for (const auto &n : prueba::ListDir(raiz + "/retenidos")) {
    if (n.find(".subida") != std::string::npos || n.find(".dudosa") != std::string::npos) {
      r[n] = prueba::ReadFile(raiz + "/retenidos/" + n);
    }
  }
  return r;
}

// Files of upload/ (the header included) that are neither still in upload/
// as they were, nor in a bundle retained in retenidos/, nor received whole
// by the server in `subida`.
inline std::vector<std::string> Perdidos(const std::string &raiz, std::string subida) {
  for (const auto &[n, contenido] : Retenidos(raiz)) subida += Desescapar(contenido);
  std::vector<Archivo> todos = ArchivosSubida();
  std::vector<std::string> perdidos;
  std::string encabezado = std::string(tcp::Terminal::kEncabezado) + "\r\n";
  if (prueba::ReadFile(raiz + "/upload/_svl.0") != encabezado &&
      subida.find("[_svl.0]\r\n" + std::string(tcp::Terminal::kEncabezado) + tcp::HostId() +
                  "\r\n") == std::string::npos) {
    perdidos.push_back("_svl.0");
  }
  for (const auto &a : todos) {
    bool queda = prueba::Exists(raiz + "/upload/" + a.nombre) &&
                 prueba::ReadFile(raiz + "/upload/" + a.nombre) == a.contenido;
    if (!queda && subida.find(Registro(a)) == std::string::npos) perdidos.push_back(a.nombre);
  }
  return perdidos;
}

// The checks of a run that said 0: the status file, the delivered files
// exactly as the server sent them, and the whole upload received and
// committed. sobra names a file of download/ that may stay beside them
// (one the run failed to delete), "" none.
inline void ComprobarExito(const Intercambio &x, bool conestado = true,
                           const std::string &sobra = "") {
  if (conestado) {
    EXPECT_EQ(x.t.Estado(), "0: Conexion OK\r\n");
  }
  std::map<std::string, std::string> entregado;
  for (const auto &n : prueba::ListDir(x.t.raiz + "/download")) {
    if (n != sobra) entregado[n] = x.t.Bajado(n);
  }
  EXPECT_EQ(entregado, EntregaEsperada());
  EXPECT_EQ(x.resumen.count("result") ? x.resumen.at("result") : "", "ok");
  EXPECT_EQ(x.subida, SubidaEsperada());
}

// No instance lock, no half-made lock, no device lock left behind.
inline void ComprobarSinLocks(const Intercambio &x) {
  EXPECT_FALSE(prueba::Exists(x.t.raiz + "/_zelta.lck"));
  for (const auto &n : prueba::ListDir(x.t.raiz)) {
    EXPECT_NE(n.rfind(".zelta-lck", 0), 0u) << n;
  }
  EXPECT_TRUE(prueba::ListDir(x.t.tmp / "locks").empty());
}

// True when the output holds a sanitizer's report.
inline bool InformeSanitizer(const std::string &salida) {
  return salida.find("Sanitizer") != std::string::npos ||
         salida.find("runtime error:") != std::string::npos;
}

}  // namespace falla
