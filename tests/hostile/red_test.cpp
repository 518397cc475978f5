// red_test.cpp - a terminal's own user (nobody) against what the client
// takes in from outside its own files, with the real client running as
// root: grants forged to the client's port-manager socket during a real
// exchange, text planted for the operator's eyes (estado.rsp, file names in
// upload/ and retenidos/), and lock files holding numbers that are not pids.
//
// The attacker is a forked child that has switched to nobody, so these
// tests need root; without it they are skipped.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "../link/portmgr_peer.h"
#include "nadie.h"
#include "support.h"
#include "tcp_fixture.h"

namespace {

using prueba::ReadFile;
using prueba::WaitUntil;
using prueba::WriteFile;
using Reloj = std::chrono::steady_clock;

// Reads exactly n bytes, or fails (end of file, error).
bool LeerTodo(int fd, void *buf, size_t n) {
  char *p = static_cast<char *>(buf);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// ---------------------------------------------------------- port manager

// What the attacker reports when told to stop.
struct Cuenta {
  int conexiones = 0;  // connections its listener got
  long enviados = 0;   // forged grants sent
};

// During a real exchange through the port manager (which answers BUSY once,
// so the client keeps its socket open through the pause, then grants the
// real server), nobody floods the client's UDP port with grants naming a
// listener of its own, from its own socket, from before the client starts
// until it ends. The client goes only where the manager said.
TEST(PortMgrHostil, GrantsFloodedAtTheClientsPortAreIgnored) {
  REQUIERE_ROOT();
  Usuario nadie;
  BuscarNadie(nadie);
  tcp::Terminal t;
  std::string subida = t.tmp / "subida";
  tcp::Servidor srv;
  ASSERT_TRUE(srv.Start(t.tmp, {"--upload", subida, "--timeout", "10"})) << srv.proc.Output();
  pmsim::PortMgrPeer pm({"busy", "grant:127.0.0.1:" + std::to_string(srv.puerto)});
  ASSERT_TRUE(pm.Started()) << pm.Output();
  int udpport = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        udpport = prueba::FreePort();
        return pmsim::UdpPortFree(udpport);
      },
      5000));
  t.Configurar("127.0.0.1", pm.port, "REINTENTOS=1\nUDPPORT=" + std::to_string(udpport) + "\n");

  int datos[2], alto[2];  // attacker to test; test to attacker (closed: stop)
  ASSERT_EQ(pipe(datos), 0);
  ASSERT_EQ(pipe(alto), 0);
  pid_t atacante = IniciarComo(nadie, [&] {
    close(datos[0]);
    close(alto[1]);
    int escucha = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t largo = sizeof a;
    if (escucha < 0 || bind(escucha, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(escucha, 8) != 0 ||
        getsockname(escucha, reinterpret_cast<sockaddr *>(&a), &largo) != 0) {
      return false;
    }
    int puerto = ntohs(a.sin_port);
    if (write(datos[1], &puerto, sizeof puerto) != sizeof puerto) return false;
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in cliente{};
    cliente.sin_family = AF_INET;
    cliente.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    cliente.sin_port = htons(static_cast<uint16_t>(udpport));
    std::string falso = "MGR;G;127.0.0.1;" + std::to_string(puerto) + ";";
    Cuenta c;
    for (;;) {
      pollfd p[2] = {{alto[0], POLLIN, 0}, {escucha, POLLIN, 0}};
      poll(p, 2, 1);
      if (p[0].revents != 0) break;  // the test closed its end
      if (p[1].revents != 0) {
        int s = accept(escucha, nullptr, nullptr);
        if (s >= 0) {
          c.conexiones++;
          close(s);
        }
      }
      for (int i = 0; i < 10; i++) {
        if (sendto(udp, falso.data(), falso.size(), 0, reinterpret_cast<sockaddr *>(&cliente),
                   sizeof cliente) == static_cast<ssize_t>(falso.size())) {
          c.enviados++;
        }
      }
    }
    return write(datos[1], &c, sizeof c) == sizeof c;
  });
  close(datos[1]);
  close(alto[0]);
  int puertoatacante = 0;
  bool listo = LeerTodo(datos[0], &puertoatacante, sizeof puertoatacante);
  prueba::RunResult r;
  if (listo) r = prueba::Run({t.zelta, "-p", "-t", "tcp", "-x20", "-l", t.log, t.raiz}, 60000);
  close(alto[1]);
  Cuenta c;
  bool contado = LeerTodo(datos[0], &c, sizeof c);
  close(datos[0]);
  EXPECT_EQ(Esperar(atacante, 5000), 0);
  ASSERT_TRUE(listo) << "the attacker did not start";
  ASSERT_TRUE(contado) << "the attacker did not report";

  std::string log = t.Log();
  EXPECT_EQ(r.status, 0) << r.output << log;
  EXPECT_EQ(c.conexiones, 0) << "the client connected where the forged grant said";
  // The flood covered the run: the busy pause alone is 3 s.
  EXPECT_GT(c.enviados, 1000) << "the flood did not happen";
  EXPECT_EQ(srv.Resumen()["result"], "ok");
  EXPECT_NE(ReadFile(subida).find("[_svl.0]"), std::string::npos);
  EXPECT_EQ(t.Estado(), "0: Conexion OK\r\n");
  EXPECT_EQ(pm.Requests().size(), 2u);
  EXPECT_NE(log.find("Conectando con svr ZELTA 127.0.0.1 " + std::to_string(srv.puerto) + "..."),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("127.0.0.1 " + std::to_string(puertoatacante)), std::string::npos) << log;
}

// ---------------------------------------------------------- operator text

// A C1 CSI and a right-to-left override: what would clear the operator's
// screen or turn the text around.
const std::string kTrampa = "\xc2\x9b" "2J\xe2\x80\xae";
const std::string kTrampaVista = "\\xc2\\x9b2J\\xe2\\x80\\xae";

// The first byte of texto outside printable ASCII, line ends and tabs, as
// "offset: \xNN"; "" when there is none.
std::string ByteCrudo(const std::string &texto) {
  for (size_t i = 0; i < texto.size(); i++) {
    unsigned char u = static_cast<unsigned char>(texto[i]);
    if ((u >= 0x20 && u < 0x7f) || u == '\n' || u == '\t') continue;
    char buf[48];
    snprintf(buf, sizeof buf, "%zu: \\x%02x", i, u);
    return buf;
  }
  return "";
}

struct CasoTexto {
  const char *nombre;
  // Done as nobody in its root (estado.rsp is planted besides). True when it
  // worked.
  std::function<bool(const std::string &raiz)> ataque;
  // Done as root afterwards (may be null).
  std::function<void(const std::string &raiz)> preparar;
  bool reenvio;        // the run is a resend (-r), which lists retenidos/
  bool nombreEnLog;    // the planted name is logged (escaped)
};

// estado.rsp and a file name hold the trap; zelta -s over the base (text
// and -q) and the log of a run over that root show it only as \xNN.
TEST(TextoHostil, PlantedTextReachesTheOperatorEscaped) {
  REQUIERE_ROOT();
  const std::vector<CasoTexto> casos = {
      {"a name in upload/",
       [](const std::string &raiz) {
         WriteFile(raiz + "/upload/nota" + kTrampa + ".txt", "hola\r\n");
         return true;
       },
       nullptr, false, true},
      // nobody's own retenidos/ is refused whole: its names are never read.
      {"names in a retenidos/ of nobody's own",
       [](const std::string &raiz) {
         std::string ret = raiz + "/retenidos";
         if (mkdir(ret.c_str(), 0755) != 0) return false;
         WriteFile(ret + "/20261210040000-1" + kTrampa + ".subida", "[FIN]\r\n");
         WriteFile(ret + "/20261210040000-2.subida" + kTrampa, "[FIN]\r\n");
         return true;
       },
       nullptr, true, false},
      // Root's retenidos/ is closed to nobody; a name there that the client
      // does not make (an operator's rename, say) is named in the log.
      {"a name in root's retenidos/",
       [](const std::string &) { return true; },
       [](const std::string &raiz) {
         std::string ret = raiz + "/retenidos";
         prueba::MakeDir(ret, 0700);
         WriteFile(ret + "/20261210040000-1" + kTrampa + ".subida", "[FIN]\r\n", 0600);
       },
       true, true},
  };
  mode_t vieja = umask(0);
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    Usuario nadie;
    BuscarNadie(nadie);
    tcp::Terminal t;
    chmod(t.tmp.path.c_str(), 0755);
    prueba::MakeDir(t.tmp / "tx", 01777);
    ChownR(t.raiz, nadie);
    std::string raiz = t.raiz;
    ASSERT_TRUE(Como(nadie, [&] {
      WriteFile(raiz + "/estado.rsp", "3: Abortado" + kTrampa + " por\texceso\x1b[2J\r\n");
      return c.ataque(raiz);
    })) << "the attack itself failed";
    if (c.preparar) c.preparar(raiz);

    // The base is the temp dir: its terminal is term/ (prog/ shows too).
    for (bool tabulado : {false, true}) {
      SCOPED_TRACE(tabulado ? "-s -q" : "-s");
      std::vector<std::string> argv = {t.zelta, "-s", t.tmp.path};
      if (tabulado) argv.push_back("-q");
      prueba::RunResult r = prueba::Run(argv, 20000);
      EXPECT_EQ(r.status, 1) << r.output;
      EXPECT_EQ(ByteCrudo(r.output), "") << r.output;
      EXPECT_NE(r.output.find("Abortado" + kTrampaVista + " por\\x09exceso\\x1b[2J"),
                std::string::npos)
          << r.output;
    }

    tcp::Servidor srv;
    ASSERT_TRUE(srv.Start(t.tmp, {"--upload", t.tmp / "subida", "--timeout", "10"}));
    t.Configurar("127.0.0.1", srv.puerto);
    std::vector<std::string> argv = t.Argv();
    if (c.reenvio) argv.insert(argv.begin() + 1, "-r");
    prueba::RunResult r = prueba::Run(argv, 30000);
    EXPECT_NE(r.status, -1000) << "the client hung";
    std::string log = t.Log();
    EXPECT_FALSE(log.empty());
    EXPECT_EQ(ByteCrudo(log), "") << log;
    EXPECT_EQ(ByteCrudo(r.output), "") << r.output;
    EXPECT_EQ(log.find(kTrampaVista) != std::string::npos, c.nombreEnLog) << log;
  }
  umask(vieja);
}

// ---------------------------------------------------------- lock content

// _zelta.lck planted by nobody holding what is not a pid from 1 to
// 2147483647: the reader's old codes for "gone" (-1, which spun 1,000 times)
// and "not a regular file" (-3), a number that wrapped to pid 1, garbage.
// Each run by root ends at once with 19, names no pid, and leaves the file
// as it was.
TEST(LockHostil, ContentThatIsNoPidHoldsEveryRunAndStaysAsItWas) {
  REQUIERE_ROOT();
  const std::vector<std::string> contenidos = {"        -1\n", "-1", "        -3\n",
                                               "4294967297\n", "basura\x01\xff\n"};
  mode_t vieja = umask(0);
  for (const auto &contenido : contenidos) {
    SCOPED_TRACE(tcp::Escapar(contenido));
    Usuario nadie;
    BuscarNadie(nadie);
    tcp::Terminal t;
    chmod(t.tmp.path.c_str(), 0755);
    ChownR(t.raiz, nadie);
    std::string lock = t.raiz + "/_zelta.lck";
    ASSERT_TRUE(Como(nadie, [&] {
      WriteFile(lock, contenido, 0644);
      return true;
    }));
    ASSERT_EQ(ReadFile(lock), contenido);
    struct stat antes {};
    ASSERT_EQ(lstat(lock.c_str(), &antes), 0);
    // Nothing listens there: a run that got past the lock would fail at 5.
    t.Configurar("127.0.0.1", prueba::FreePort());
    auto inicio = Reloj::now();
    prueba::RunResult r = t.Correr(20000);
    auto duro = Reloj::now() - inicio;
    std::string log = t.Log();
    EXPECT_EQ(r.status, 19) << r.output << log;
    EXPECT_LT(duro, std::chrono::milliseconds(1000)) << log;
    EXPECT_NE(log.find("El proceso (0) esta lockeando el archivo"), std::string::npos) << log;
    EXPECT_EQ(log.find("cambia sin cesar"), std::string::npos) << log;
    EXPECT_EQ(log.find("no es un archivo regular"), std::string::npos) << log;
    EXPECT_EQ(ReadFile(lock), contenido);
    struct stat despues {};
    ASSERT_EQ(lstat(lock.c_str(), &despues), 0);
    EXPECT_EQ(despues.st_ino, antes.st_ino);
    EXPECT_EQ(despues.st_uid, nadie.uid);
    EXPECT_EQ(despues.st_mode, antes.st_mode);
    EXPECT_EQ(despues.st_mtim.tv_sec, antes.st_mtim.tv_sec);
    EXPECT_EQ(despues.st_mtim.tv_nsec, antes.st_mtim.tv_nsec);
  }
  umask(vieja);
}

}  // namespace
