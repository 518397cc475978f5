// hostile_test.cpp - a terminal's own, unprivileged user attacks the real
// client and daemon, which run as root with umask 0 as in production: links,
// FIFOs and special files planted in the terminal root (before and during a
// run), directories swapped for links while the client packs, and marker
// names chosen to mislead the daemon. For each attack: no file outside the
// root is read, written, deleted or re-moded; the client ends with a clear
// result code before its deadline; the daemon goes on serving the other
// terminals at once and stays near 0 % CPU.
//
// The attacker is a forked child that has switched to the user nobody, so
// these tests need root; without it they are skipped.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nadie.h"
#include "support.h"
#include "tcp_fixture.h"

namespace {

using prueba::Exists;
using prueba::ReadFile;
using prueba::WaitUntil;
using prueba::WriteFile;
using Reloj = std::chrono::steady_clock;

constexpr const char *kSecreto = "SECRETO-DE-ROOT\n";

// A root-only directory outside every terminal root, with files the
// attacks aim at, and a snapshot of it to compare with afterwards.
struct Victima {
  std::string dir;
  std::string archivo;  // a root-only file
  std::map<std::string, std::string> antes;

  void Crear(const std::string &d) {
    dir = d;
    prueba::MakeDir(dir, 0700);
    archivo = dir + "/secreto";
    WriteFile(archivo, kSecreto, 0600);
    // Names a terminal may use too, so that a swapped directory would make
    // the client delete or overwrite them.
    for (const char *n : {"passwd", "_svl.0", "A.TXT", "output.dat", "input.dat"}) {
      WriteFile(dir + "/" + n, std::string("de root: ") + n, 0600);
    }
    antes = Foto();
  }
  std::map<std::string, std::string> Foto() const {
    std::map<std::string, std::string> f;
    for (const auto &n : prueba::ListDir(dir)) {
      struct stat st;
      std::string p = dir + "/" + n;
      lstat(p.c_str(), &st);
      f[n] = ReadFile(p) + "|mode=" + std::to_string(st.st_mode) + "|uid=" +
             std::to_string(st.st_uid) + "|links=" + std::to_string(st.st_nlink);
    }
    struct stat sd;
    lstat(dir.c_str(), &sd);
    f["."] = "mode=" + std::to_string(sd.st_mode);
    return f;
  }
  bool Intacta() const { return Foto() == antes; }
};

// Sets the umask for the test (the daemon's, inherited by the client).
struct Mascara {
  mode_t vieja;
  explicit Mascara(mode_t m) : vieja(umask(m)) {}
  ~Mascara() { umask(vieja); }
};

bool EsEnlace(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
bool EsRegular(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// ---------------------------------------------------------------- client

// One terminal root owned by nobody, a program directory, a server and a
// victim directory, for one run of the client as root under umask 0.
struct Escenario {
  Usuario nadie;
  tcp::Terminal t;
  tcp::Servidor srv;
  Victima v;
  Mascara mascara{0};
  std::string subida;  // what the server received

  Escenario() {
    BuscarNadie(nadie);
    chmod(t.tmp.path.c_str(), 0755);
    v.Crear(t.tmp / "victima");
    subida = t.tmp / "subida";
    t.Subir("nota.txt", "hola\r\n");
  }
  // Hands the terminal root to nobody.
  void Terreno() { ChownR(t.raiz, nadie); }
  std::string Up(const std::string &n) const { return t.raiz + "/upload/" + n; }
  std::string Down(const std::string &n) const { return t.raiz + "/download/" + n; }

  // Starts the server with the given options and runs the client against
  // it, with a deadline.
  prueba::RunResult Correr(std::vector<std::string> opciones = {}) {
    opciones.insert(opciones.end(), {"--upload", subida, "--timeout", "10"});
    EXPECT_TRUE(srv.Start(t.tmp, opciones));
    t.Configurar("127.0.0.1", srv.puerto);
    auto inicio = Reloj::now();
    prueba::RunResult r = t.Correr(30000);
    EXPECT_NE(r.status, -1000) << "the client hung\n" << t.Log();
    EXPECT_LT(Reloj::now() - inicio, std::chrono::seconds(20));
    return r;
  }
};

// Attacks laid out before the run.
struct CasoCliente {
  const char *nombre;
  // Done as nobody. True when it worked.
  std::function<bool(const Escenario &)> ataque;
  int codigo;
  // Further checks afterwards.
  std::function<void(const Escenario &)> despues;
};

const std::vector<CasoCliente> &CasosCliente() {
  static const std::vector<CasoCliente> casos = {
      {"estado.rsp a link to a root file",
       [](const Escenario &f) {
         return symlink(f.v.archivo.c_str(), (f.t.raiz + "/estado.rsp").c_str()) == 0;
       },
       0,
       [](const Escenario &f) {
         EXPECT_TRUE(EsRegular(f.t.raiz + "/estado.rsp"));
         EXPECT_EQ(f.t.Estado(), "0: Conexion OK\r\n");
         EXPECT_EQ(prueba::FileMode(f.t.raiz + "/estado.rsp"), 0666u);
         // The client's own log, made under umask 0, is not for every user.
         EXPECT_EQ(prueba::FileMode(f.t.log), 0644u);
       }},
      {"estado.rsp a link to a missing file",
       [](const Escenario &f) {
         return symlink((f.v.dir + "/nuevo").c_str(), (f.t.raiz + "/estado.rsp").c_str()) == 0;
       },
       0, nullptr},
      {"upload/input.dat a link to a root file",
       [](const Escenario &f) {
         return symlink(f.v.archivo.c_str(), f.Up("input.dat").c_str()) == 0;
       },
       0, nullptr},
      {"download/ a link to a root directory",
       [](const Escenario &f) {
         return rmdir((f.t.raiz + "/download").c_str()) == 0 &&
                symlink(f.v.dir.c_str(), (f.t.raiz + "/download").c_str()) == 0;
       },
       10,
       [](const Escenario &f) {
         // Refused before anything was packed.
         EXPECT_TRUE(Exists(f.Up("nota.txt")));
         EXPECT_NE(f.t.Log().find("no es un directorio real"), std::string::npos);
       }},
      {"upload/ a link to a root directory",
       [](const Escenario &f) {
         return rename((f.t.raiz + "/upload").c_str(), (f.t.raiz + "/real").c_str()) == 0 &&
                symlink(f.v.dir.c_str(), (f.t.raiz + "/upload").c_str()) == 0;
       },
       10, nullptr},
      {"an upload entry that links to a root file",
       [](const Escenario &f) {
         return symlink(f.v.archivo.c_str(), f.Up("robado").c_str()) == 0;
       },
       0,
       [](const Escenario &f) {
         // Left where it is, neither packed nor deleted; the rest went up.
         EXPECT_TRUE(EsEnlace(f.Up("robado")));
         EXPECT_NE(ReadFile(f.subida).find("[nota.txt]"), std::string::npos);
         EXPECT_EQ(ReadFile(f.subida).find("[robado"), std::string::npos);
         EXPECT_NE(f.t.Log().find("robado: es un enlace simbolico"), std::string::npos);
       }},
      {"an upload entry that links to /dev/zero",
       [](const Escenario &f) { return symlink("/dev/zero", f.Up("cero").c_str()) == 0; },
       0, [](const Escenario &f) { EXPECT_TRUE(EsEnlace(f.Up("cero"))); }},
      {"a FIFO in upload/",
       [](const Escenario &f) { return mkfifo(f.Up("fifo").c_str(), 0666) == 0; }, 0,
       [](const Escenario &f) {
         struct stat st;
         EXPECT_TRUE(lstat(f.Up("fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
         EXPECT_EQ(ReadFile(f.subida).find("[fifo"), std::string::npos);
       }},
      {"_svl.0 a FIFO",
       [](const Escenario &f) {
         return unlink(f.Up("_svl.0").c_str()) == 0 && mkfifo(f.Up("_svl.0").c_str(), 0666) == 0;
       },
       13, nullptr},
      {"_zelta.bin a link to a root file",
       [](const Escenario &f) {
         return symlink(f.v.archivo.c_str(), f.Up("_zelta.bin").c_str()) == 0;
       },
       0, nullptr},
      {"_svl.qvx a link to a root file",
       [](const Escenario &f) {
         return symlink(f.v.archivo.c_str(), f.Up("_svl.qvx").c_str()) == 0;
       },
       0, nullptr},
      {"_zelta.rpl a FIFO",
       [](const Escenario &f) { return mkfifo((f.t.raiz + "/_zelta.rpl").c_str(), 0666) == 0; },
       13, nullptr},
      {"_zelta.rpl a link to a root file",
       [](const Escenario &f) {
         return symlink(f.v.archivo.c_str(), (f.t.raiz + "/_zelta.rpl").c_str()) == 0;
       },
       13, nullptr},
      {"_zelta.lck a dangling link",
       [](const Escenario &f) {
         return symlink((f.v.dir + "/nada").c_str(), (f.t.raiz + "/_zelta.lck").c_str()) == 0;
       },
       19,
       [](const Escenario &f) {
         EXPECT_NE(f.t.Log().find("ya existe y no es un archivo regular"), std::string::npos)
             << f.t.Log();
         EXPECT_TRUE(EsEnlace(f.t.raiz + "/_zelta.lck"));
       }},
      {"_zelta.lck a link to a root file",
       [](const Escenario &f) {
         return symlink(f.v.archivo.c_str(), (f.t.raiz + "/_zelta.lck").c_str()) == 0;
       },
       19, nullptr},
      {"_zelta.lck a FIFO",
       [](const Escenario &f) { return mkfifo((f.t.raiz + "/_zelta.lck").c_str(), 0666) == 0; },
       19, nullptr},
  };
  return casos;
}

TEST(ClienteHostil, AttacksLaidOutBeforeTheRun) {
  REQUIERE_ROOT();
  for (const auto &c : CasosCliente()) {
    SCOPED_TRACE(c.nombre);
    Escenario f;  // one terminal per case
    f.Terreno();
    ASSERT_TRUE(Como(f.nadie, [&] { return c.ataque(f); })) << "the attack itself failed";
    prueba::RunResult r = f.Correr();
    EXPECT_EQ(r.status, c.codigo) << f.t.Log();
    EXPECT_TRUE(f.v.Intacta()) << "a file outside the root changed";
    EXPECT_EQ(ReadFile(f.subida).find(kSecreto), std::string::npos) << "a root file was sent";
    if (c.despues) c.despues(f);
  }
}

// Links planted in download/ and the root while the session runs: every
// file the client writes there is made anew, none is written through.
TEST(ClienteHostil, LinksPlantedDuringTheSessionAreReplaced) {
  REQUIERE_ROOT();
  Escenario f;
  auto &t = f.t;
  auto &v = f.v;
  WriteFile(t.tmp / "bajada", "[A.TXT]\r\nhola\r\n[_ticket.prn]\r\nticket\r\n[FIN]\r\n");
  f.Terreno();
  std::vector<std::string> blancos = {f.Down("output.dat"), f.Down("A.TXT"),
                                      f.Down("_ticket.prn"), f.Down("_ticket.tmp"),
                                      t.raiz + "/estado.rsp"};
  std::string bundle = f.Up("input.dat");
  std::string victima = v.archivo;
  pid_t atacante = IniciarComo(f.nadie, [&] {
    // The window opens when the client has packed; the server then waits.
    if (!WaitUntil([&] { return Exists(bundle); }, 15000)) return false;
    for (const auto &b : blancos) {
      if (symlink(victima.c_str(), b.c_str()) != 0) return false;
    }
    return true;
  });
  prueba::RunResult r = f.Correr({"--download", t.tmp / "bajada", "--pause-at", "upeot:1500"});
  EXPECT_EQ(Esperar(atacante, 5000), 0) << "the links were not planted in time";
  EXPECT_EQ(r.status, 0) << t.Log();
  EXPECT_TRUE(v.Intacta());
  EXPECT_TRUE(EsRegular(f.Down("A.TXT")));
  EXPECT_EQ(t.Bajado("A.TXT"), "hola\r\n");
  EXPECT_EQ(prueba::FileMode(f.Down("A.TXT")), 0666u);
  EXPECT_EQ(t.Bajado("_ticket.prn"), "ticket\r\n");
  EXPECT_EQ(t.Estado(), "0: Conexion OK\r\n");
}

// upload/ swapped for a link to a root directory while the client packs:
// once as soon as the client opens the FIFO "a0" (which used to stall it
// right there), and then back and forth. What the client reads and
// deletes stays inside the real upload/.
TEST(ClienteHostil, UploadSwappedForALinkWhilePacking) {
  REQUIERE_ROOT();
  Escenario f;
  // Only names the root directory holds too, so that packing goes on there.
  unlink(f.Up("nota.txt").c_str());
  f.t.Subir("passwd", "de la terminal");
  ASSERT_EQ(mkfifo(f.Up("a0").c_str(), 0666), 0);
  f.Terreno();
  std::string raiz = f.t.raiz, dir = f.v.dir, fifo = f.Up("a0");
  pid_t atacante = IniciarComo(f.nadie, [&] {
    std::string up = raiz + "/upload", real = raiz + "/upload.real";
    auto cambiar = [&] {
      if (rename(up.c_str(), real.c_str()) != 0) return false;
      // Without the link upload/ is still away until volver() puts it back.
      int enlazado = symlink(dir.c_str(), up.c_str());
      (void)enlazado;
      return true;
    };
    auto volver = [&] {
      unlink(up.c_str());
      rename(real.c_str(), up.c_str());
    };
    auto fin = Reloj::now() + std::chrono::seconds(8);
    while (Reloj::now() < fin) {
      // A reader waiting on the FIFO lets this open succeed.
      int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (w >= 0) {
        bool cambiado = cambiar();
        ssize_t n = write(w, "x", 1);
        (void)n;
        close(w);
        if (cambiado) {
          std::this_thread::sleep_for(std::chrono::milliseconds(500));
          volver();
        }
        continue;
      }
      if (cambiar()) volver();
    }
    return true;
  });
  prueba::RunResult r = f.Correr();
  kill(atacante, SIGKILL);
  Esperar(atacante, 5000);
  // Whatever moment the swap hit, the run ends with a result code.
  EXPECT_TRUE(r.status >= 0 && r.status <= 19) << r.status << "\n" << f.t.Log();
  EXPECT_TRUE(f.v.Intacta());
}

// Delivered names holding control bytes are refused (15) and never reach
// the log as they stand.
TEST(ClienteHostil, DeliveredNamesWithControlBytesAreRefused) {
  REQUIERE_ROOT();
  const std::vector<std::string> nombres = {"A\x1b[31m.TXT", "B\rC.TXT", "D\x7f.TXT"};
  for (const auto &n : nombres) {
    SCOPED_TRACE(tcp::Escapar(n));
    Escenario f;
    f.Terreno();
    WriteFile(f.t.tmp / "bajada", "[" + n + "]\r\nhola\r\n[FIN]\r\n");
    prueba::RunResult r = f.Correr({"--download", f.t.tmp / "bajada"});
    EXPECT_EQ(r.status, 15) << f.t.Log();
    // Nothing was delivered; the committed answer is kept in retenidos/,
    // as after every failed split.
    EXPECT_EQ(prueba::ListDir(f.t.raiz + "/download"), std::vector<std::string>{});
    std::vector<std::string> retenidos = prueba::ListDir(f.t.raiz + "/retenidos");
    ASSERT_EQ(retenidos.size(), 1u);
    EXPECT_NE(retenidos[0].find(".respuesta"), std::string::npos);
    std::string log = f.t.Log();
    EXPECT_EQ(log.find(n), std::string::npos);
    for (char c : log) {
      unsigned char u = static_cast<unsigned char>(c);
      EXPECT_FALSE((u < 0x20 && c != '\n') || u == 0x7f) << "raw control byte in the log";
      if ((u < 0x20 && c != '\n') || u == 0x7f) break;
    }
  }
}

// ---------------------------------------------------------------- daemon

// CPU time (user + system) of a process, in clock ticks.
long TicksCPU(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t p = stat.rfind(')');
  if (p == std::string::npos) return -1;
  std::istringstream campos(stat.substr(p + 2));
  std::string c;
  long utime = 0, stime = 0;
  for (int i = 3; campos >> c; ++i) {
    if (i == 14) utime = atol(c.c_str());
    if (i == 15) {
      stime = atol(c.c_str());
      break;
    }
  }
  return utime + stime;
}

class DemonioHostil : public ::testing::Test {
 protected:
  Usuario nadie;
  prueba::TempDir tmp;
  Victima v;
  Mascara mascara{0};
  std::string base, tx, iniciados, log, cliente;
  prueba::Spawned demonio;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the attacker runs as nobody";
    ASSERT_TRUE(BuscarNadie(nadie)) << "no user nobody";
    chmod(tmp.path.c_str(), 0755);
    v.Crear(tmp / "victima");
    WriteFile(v.archivo, "AAAAAA de root\n", 0600);
    v.antes = v.Foto();
    base = tmp / "base";
    tx = base + "/tx";
    prueba::MakeDir(base, 0755);
    prueba::MakeDir(tx, 01777);
    chmod(tx.c_str(), 01777);
    for (const char *term : {"T1", "T2"}) {
      prueba::MakeDir(base + "/" + term);
      prueba::MakeDir(base + "/" + term + "/upload");
      WriteFile(base + "/" + term + "/upload/_svl.2", "AAAAAA linea\n");
      ChownR(base + "/" + term, nadie);
    }
    WriteFile(base + "/plano", "no es una terminal\n");
    iniciados = tmp / "iniciados";
    log = tmp / "rondador.log";
    // A stand-in for the client that only records which root it was given.
    cliente = tmp / "cliente.sh";
    WriteFile(cliente, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " + iniciados + "\n", 0755);
    WriteFile(tmp / "trans", "AAAAAABBBBBB\n");
    demonio = prueba::Spawn({prueba::Bin("rondador"), base, cliente, "-x", "10", "-l", log, "-t",
                             tmp / "trans"});
    ASSERT_TRUE(WaitUntil([&] { return Exists(log); }, 5000));
  }

  bool Iniciado(const std::string &term) {
    std::string s = ReadFile(iniciados);
    return s.find(base + "/" + term + "\n") != std::string::npos;
  }
};

struct CasoDemonio {
  const char *nombre;
  std::string marca;  // the marker the attacker drops
  // Done as nobody before the marker is dropped (may be null).
  std::function<bool(const std::string &base, const std::string &victima)> ataque;
  bool iniciaT1;      // whether a client is started for T1
};

TEST_F(DemonioHostil, AttacksLeaveTheDaemonServingAndIdle) {
  const std::vector<CasoDemonio> casos = {
      {"_svl.2 a FIFO", "T1",
       [](const std::string &b, const std::string &) {
         std::string s = b + "/T1/upload/_svl.2";
         return unlink(s.c_str()) == 0 && mkfifo(s.c_str(), 0666) == 0;
       },
       true},
      {"_svl.2 a link to /dev/zero", "T1",
       [](const std::string &b, const std::string &) {
         std::string s = b + "/T1/upload/_svl.2";
         return unlink(s.c_str()) == 0 && symlink("/dev/zero", s.c_str()) == 0;
       },
       true},
      {"_svl.2 a link to a root file", "T1",
       [](const std::string &b, const std::string &vic) {
         std::string s = b + "/T1/upload/_svl.2";
         return unlink(s.c_str()) == 0 && symlink(vic.c_str(), s.c_str()) == 0;
       },
       true},
      {"_1101.rpl a FIFO", "T1",
       [](const std::string &b, const std::string &) {
         return mkfifo((b + "/T1/_1101.rpl").c_str(), 0666) == 0;
       },
       true},
      {"_1101.rpl a link to a root file", "T1",
       [](const std::string &b, const std::string &vic) {
         return symlink(vic.c_str(), (b + "/T1/_1101.rpl").c_str()) == 0;
       },
       true},
      {"a marker named tx", "tx", nullptr, false},
      {"a marker named TX", "TX", nullptr, false},
      {"a marker holding a line feed", "T1\nMay 01 00:00:00 FORJADA", nullptr, false},
      {"a marker holding an escape", "T1\x1b[2J", nullptr, false},
      {"a marker whose root is a file", "plano", nullptr, false},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    std::string b = base, vic = v.archivo, txdir = tx, marca = c.marca;
    long cpu0 = TicksCPU(demonio.pid);
    auto t0 = Reloj::now();
    // The attack marker is the older one, so it is handled first.
    ASSERT_TRUE(Como(nadie, [&] {
      if (c.ataque && !c.ataque(b, vic)) return false;
      // Made aged under a dot name the daemon ignores, then moved into
      // place, so the daemon never sees it young (nor deletes it before
      // it is aged).
      std::string m = txdir + "/" + marca, oculta = txdir + "/.nueva";
      WriteFile(oculta, "");
      timespec antes[2] = {{time(nullptr) - 5, 0}, {time(nullptr) - 5, 0}};
      if (utimensat(AT_FDCWD, oculta.c_str(), antes, 0) != 0) return false;
      if (rename(oculta.c_str(), m.c_str()) != 0) return false;
      WriteFile(txdir + "/T2", "");
      return true;
    })) << "the attack itself failed";
    // The attack's marker goes; then T2 is served at once.
    std::string m = tx + "/" + marca;
    ASSERT_TRUE(WaitUntil([&] { return !Exists(m); }, 5000)) << "the daemon is stuck\n"
                                                              << ReadFile(log);
    auto ida = Reloj::now();
    ASSERT_TRUE(WaitUntil([&] { return Iniciado("T2"); }, 5000)) << ReadFile(log);
    EXPECT_LT(Reloj::now() - ida, std::chrono::milliseconds(250));
    // The clients run side by side: T1's, started first, may record its
    // start after T2's.
    if (c.iniciaT1) {
      EXPECT_TRUE(WaitUntil([&] { return Iniciado("T1"); }, 5000)) << ReadFile(log);
    } else {
      EXPECT_FALSE(Iniciado("T1"));
    }
    EXPECT_TRUE(v.Intacta()) << "a file outside the root changed";
    EXPECT_EQ(prueba::FileMode(tx), 01777u);
    // Near 0 % CPU over the attack and the second after it.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double segundos = std::chrono::duration<double>(Reloj::now() - t0).count();
    double cpu = static_cast<double>(TicksCPU(demonio.pid) - cpu0) / static_cast<double>(sysconf(_SC_CLK_TCK));
    EXPECT_LT(cpu / segundos, 0.05) << cpu << " s of CPU in " << segundos << " s";
    // The log holds no forged line nor raw control byte.
    std::string texto = ReadFile(log);
    EXPECT_EQ(texto.find("\nMay 01 00:00:00 FORJADA"), std::string::npos);
    EXPECT_EQ(texto.find('\x1b'), std::string::npos);
    // Clean up for the next case, as root.
    unlink(iniciados.c_str());
    for (const char *n : {"/T1/upload/_svl.2", "/T1/_1101.rpl"}) unlink((base + n).c_str());
    WriteFile(base + "/T1/upload/_svl.2", "AAAAAA linea\n");
    ChownR(base + "/T1", nadie);
  }
  EXPECT_TRUE(demonio.Running());
  EXPECT_EQ(prueba::FileMode(log), 0644u);
}

}  // namespace
