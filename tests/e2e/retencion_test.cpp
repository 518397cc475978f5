// retencion_test.cpp - no transaction lost: every run that built the bundle
// and did not get the server's commit keeps it in retenidos/ (".subida", or
// ".dudosa" when the server may have committed), byte for byte what the
// server would have received; "zelta -r" sends a ".subida" once and removes
// it; a failure after the commit keeps the answer and never leads to a
// second commit; a killed run's left-over bundle is kept by the next run.
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "faults_fixture.h"

namespace {

// What the client sends: the bundle as input.dat holds it (escaped).
std::string Enviado() { return tcp::Escapar(falla::SubidaEsperada()); }

// The one retained bundle of the root, checked: its suffix and content.
std::string UnRetenido(const std::string &raiz, const std::string &sufijo) {
  auto r = falla::Retenidos(raiz);
  EXPECT_EQ(r.size(), 1u) << ::testing::PrintToString(prueba::ListDir(raiz + "/retenidos"));
  if (r.size() != 1) return "";
  const auto &[nombre, contenido] = *r.begin();
  // <AAAAMMDDHHMMSS>-<pid><sufijo>
  EXPECT_EQ(nombre.size() > 15 ? nombre.substr(14, 1) : "", "-") << nombre;
  EXPECT_EQ(nombre.substr(nombre.size() - sufijo.size()), sufijo) << nombre;
  EXPECT_EQ(contenido, Enviado()) << nombre;
  return nombre;
}

struct Caso {
  const char *nombre;
  std::vector<std::string> servidor;  // kaldo-server faults
  int codigo;
  const char *estado;
  const char *sufijo;
};
void PrintTo(const Caso &c, std::ostream *os) { *os << c.nombre; }

class FallaSesion : public ::testing::TestWithParam<Caso> {};

TEST_P(FallaSesion, RunThatDidNotGetTheCommitKeepsItsBundle) {
  const Caso &c = GetParam();
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar(c.servidor));
  x.Correr();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(x.run.status, c.codigo);
  EXPECT_EQ(x.t.Estado(), c.estado);
  // upload/ consumed as before; the transaction is in retenidos/.
  EXPECT_TRUE(prueba::ListDir(x.t.raiz + "/upload").empty());
  UnRetenido(x.t.raiz, c.sufijo);
  EXPECT_NE(x.t.Log().find("Transaccion retenida en " + x.t.raiz + "/retenidos/"),
            std::string::npos);
  EXPECT_TRUE(falla::Perdidos(x.t.raiz, "").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Retencion, FallaSesion,
    ::testing::Values(
        Caso{"ClosedAtTheOpening", {"--close-at", "pdc"}, 2, "2: Perdida de portadora\r\n", ".subida"},
        Caso{"ClosedInTheUpload", {"--close-at", "up:1"}, 2, "2: Perdida de portadora\r\n", ".subida"},
        Caso{"ClosedInTheDownload", {"--close-at", "down:1"}, 2, "2: Perdida de portadora\r\n",
             ".subida"},
        Caso{"RestartPastTheBundle", {"--restart", "50"}, 3, "3: Abortado por exceso de NAKs\r\n",
             ".subida"},
        // After the client's final EOT the server may have committed.
        Caso{"ClosedBeforeTheCommit", {"--close-at", "end"}, 2, "2: Perdida de portadora\r\n",
             ".dudosa"}),
    [](const ::testing::TestParamInfo<Caso> &i) { return std::string(i.param.nombre); });

// A bundle that would pass the block limit is refused (12) before the
// session and nothing of it is kept: by the sizes before a byte is copied,
// or, when escaping makes it grow past the limit, by packing itself. Either
// way upload/ stays as it was, for the terminal's user to split.
TEST(Retencion, BundleTooLargeIsRefusedAndUploadKept) {
  struct CasoGrande {
    const char *nombre;
    std::string contenido;
    const char *mensaje;
  } casos[] = {
      {"too large by its size", std::string(100000, 'g'),
       "Transaccion demasiado grande para empaquetar"},
      {"too large once escaped", std::string(60000, '\x08'),
       "Transaccion demasiado grande: el empaquetado pasa de 99999 bytes"},
  };
  for (const CasoGrande &c : casos) {
    SCOPED_TRACE(c.nombre);
    falla::Intercambio x;
    ASSERT_TRUE(x.Preparar({}, "BLOCKSIZE=1\n"));
    x.t.Subir("3GRANDE.TXT", c.contenido);
    const std::vector<std::string> antes = prueba::ListDir(x.t.raiz + "/upload");
    x.Correr();
    SCOPED_TRACE(x.Contexto());
    EXPECT_EQ(x.run.status, 12);
    EXPECT_TRUE(falla::Retenidos(x.t.raiz).empty());
    EXPECT_EQ(prueba::ListDir(x.t.raiz + "/upload"), antes);
    EXPECT_EQ(prueba::ReadFile(x.t.raiz + "/upload/3GRANDE.TXT"), c.contenido);
    EXPECT_NE(x.t.Log().find(c.mensaje), std::string::npos);
  }
}

TEST(Retencion, InterruptedRunKeepsItsBundle) {
  for (int senal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(senal);
    falla::Intercambio x;
    ASSERT_TRUE(x.Preparar({"--pause-at", "up:1:3000"}));
    prueba::Spawned cliente = prueba::Spawn(x.Argv());
    ASSERT_TRUE(prueba::WaitUntil(
        [&] { return x.t.Log().find("Recibi ACK") != std::string::npos || !cliente.Running(); },
        15000));
    cliente.Signal(senal);
    EXPECT_EQ(cliente.Wait(15000), 6);
    x.Cerrar();
    SCOPED_TRACE(x.Contexto());
    EXPECT_EQ(x.t.Estado(), "6: Abortado por el usuario\r\n");
    UnRetenido(x.t.raiz, ".subida");
    EXPECT_NE(x.t.Log().find("Transaccion retenida en " + x.t.raiz + "/retenidos/"),
              std::string::npos);
    EXPECT_FALSE(prueba::Exists(x.t.raiz + "/_zelta.lck"));
  }
}

// A second server on its own port for the resend, with the destination
// table pointed at it.
struct Reenvio {
  prueba::TempDir tmp;  // its own port file
  tcp::Servidor srv;
  bool Iniciar(falla::Intercambio &x, const std::vector<std::string> &fallas = {}) {
    std::vector<std::string> op = {"--download", x.t.tmp / "bajada.dat", "--upload",
                                   x.t.tmp / "reenvio%d.dat", "--timeout", "10"};
    op.insert(op.end(), fallas.begin(), fallas.end());
    if (!srv.Start(tmp, op)) return false;
    x.t.Configurar("127.0.0.1", srv.puerto,
                   "BLOCKSIZE=" + std::to_string(falla::kBlocksize) + "\n");
    return true;
  }
};

std::vector<std::string> ArgvReenvio(const falla::Intercambio &x) {
  return {x.t.zelta, "-r", "-t", "tcp", "-x20", "-l", x.t.log, x.t.raiz};
}

TEST(Retencion, ResendDeliversARetainedBundleOnceAndRemovesIt) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({"--close-at", "up:1"}));
  x.Correr();
  ASSERT_EQ(x.run.status, 2) << x.Contexto();
  std::string nombre = UnRetenido(x.t.raiz, ".subida");
  std::string base = nombre.substr(0, nombre.size() - 7);

  Reenvio otro;
  ASSERT_TRUE(otro.Iniciar(x));
  prueba::RunResult r = prueba::Run(ArgvReenvio(x), 30000);
  otro.srv.proc.Wait(15000);
  SCOPED_TRACE("resend log:\n" + x.t.Log() + "\nserver:\n" + otro.srv.proc.Output());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(tcp::Servidor::LeerResumen(otro.srv.proc.Output(), 1)["result"], "ok");
  EXPECT_EQ(prueba::ReadFile(x.t.tmp / "reenvio1.dat"), falla::SubidaEsperada());
  // Gone from retenidos/, the answer split beside it, nothing in download/,
  // and the status file is the terminal's, untouched.
  EXPECT_TRUE(falla::Retenidos(x.t.raiz).empty());
  std::map<std::string, std::string> respuesta;
  for (const auto &n : prueba::ListDir(x.t.raiz + "/retenidos/" + base)) {
    respuesta[n] = prueba::ReadFile(x.t.raiz + "/retenidos/" + base + "/" + n);
  }
  auto esperada = falla::EntregaEsperada();
  esperada["_ticket.prn"] = "TOTAL %A\r\n";  // no ticket filled in for a resend
  EXPECT_EQ(respuesta, esperada);
  EXPECT_TRUE(prueba::ListDir(x.t.raiz + "/download").empty());
  EXPECT_EQ(x.t.Estado(), "2: Perdida de portadora\r\n");
  EXPECT_FALSE(prueba::Exists(x.t.raiz + "/_zelta.lck"));

  // Nothing left to send: no connection at all (the server is gone).
  r = prueba::Run(ArgvReenvio(x), 30000);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(x.t.Log().find("No hay transacciones retenidas para reenviar"), std::string::npos);
}

// The header line of a short _svl.0 ("0512": codes, then the key from
// zelta.destinos) is shorter than 16 bytes before the host identification:
// the resend finds this host's bundle all the same.
TEST(Retencion, ResendSendsABundleMadeFromAShortHeaderLine) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar());
  std::string bundle = Enviado();
  const std::string largo = tcp::Terminal::kEncabezado;
  ASSERT_EQ(largo.substr(0, 8), "V1510512");
  size_t p = bundle.find(largo);
  ASSERT_NE(p, std::string::npos);
  bundle.replace(p, largo.size(), "0512" + largo.substr(8));
  prueba::MakeDir(x.t.raiz + "/retenidos", 0750);
  prueba::WriteFile(x.t.raiz + "/retenidos/20260101000000-1.subida", bundle);
  Reenvio otro;
  ASSERT_TRUE(otro.Iniciar(x));
  prueba::RunResult r = prueba::Run(ArgvReenvio(x), 30000);
  otro.srv.proc.Wait(15000);
  SCOPED_TRACE("resend log:\n" + x.t.Log() + "\nserver:\n" + otro.srv.proc.Output());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(x.t.Log().find("Retenido rechazado"), std::string::npos);
  EXPECT_EQ(prueba::ReadFile(x.t.tmp / "reenvio1.dat"), falla::Desescapar(bundle));
  EXPECT_TRUE(falla::Retenidos(x.t.raiz).empty());
}

TEST(Retencion, ResendNeverSendsADoubtfulBundleAndStopsAtTheFirstFailure) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({"--close-at", "end"}));
  x.Correr();
  ASSERT_EQ(x.run.status, 2) << x.Contexto();
  std::string dudosa = UnRetenido(x.t.raiz, ".dudosa");
  // Two bundles to resend, besides the doubtful one.
  prueba::WriteFile(x.t.raiz + "/retenidos/20260101000000-1.subida", Enviado());
  prueba::WriteFile(x.t.raiz + "/retenidos/20260101000001-1.subida", Enviado());

  Reenvio otro;
  ASSERT_TRUE(otro.Iniciar(x, {"--close-at", "up:1"}));
  prueba::RunResult r = prueba::Run(ArgvReenvio(x), 30000);
  otro.srv.proc.Wait(15000);
  SCOPED_TRACE("resend log:\n" + x.t.Log() + "\nserver:\n" + otro.srv.proc.Output());
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(tcp::Servidor::LeerResumen(otro.srv.proc.Output(), 2).empty());
  EXPECT_EQ(prueba::ListDir(x.t.raiz + "/retenidos"),
            (std::vector<std::string>{"20260101000000-1", "20260101000000-1.subida",
                                      "20260101000001-1.subida", dudosa}));
  EXPECT_NE(x.t.Log().find("Reenviando 20260101000000-1.subida"), std::string::npos);
  EXPECT_EQ(x.t.Log().find("Reenviando 20260101000001-1.subida"), std::string::npos);
}

// The server committed, then the answer could not be delivered: the run
// ends with its code, the answer is kept whole as ".respuesta", and the
// bundle is not kept (it was committed: sending it again would commit it
// twice).
TEST(Retencion, FailureAfterTheCommitKeepsTheAnswerAndNotTheBundle) {
  struct CasoEntrega {
    const char *nombre;
    std::string bajada;  // "" for the usual answer
    bool rplilegible;    // the replacement file a directory: the ticket fails
    int codigo;
  } casos[] = {
      {"split refuses a name", "[A.TXT]\r\nuno\r\n[../fuera]\r\nx\r\n[FIN]\r\n", false, 15},
      {"ticket cannot be filled in", "", true, 13},
  };
  for (const CasoEntrega &c : casos) {
    SCOPED_TRACE(c.nombre);
    falla::Intercambio x;
    std::vector<std::string> opciones;
    if (!c.bajada.empty()) {
      prueba::WriteFile(x.t.tmp / "mala.dat", c.bajada);
      opciones = {"--download", x.t.tmp / "mala.dat"};
    }
    ASSERT_TRUE(x.Preparar(opciones));
    if (c.rplilegible) {
      unlink((x.t.raiz + "/_ZELTA.RPL").c_str());
      prueba::MakeDir(x.t.raiz + "/_ZELTA.RPL");
    }
    x.Correr();
    SCOPED_TRACE(x.Contexto());
    EXPECT_EQ(x.run.status, c.codigo);
    EXPECT_EQ(x.resumen["result"], "ok");
    EXPECT_NE(x.t.Log().find("Transaction commited"), std::string::npos);
    EXPECT_TRUE(falla::Retenidos(x.t.raiz).empty()) << "a committed bundle must not be resent";
    std::vector<std::string> respuestas;
    for (const auto &n : prueba::ListDir(x.t.raiz + "/retenidos")) {
      if (n.find(".respuesta") != std::string::npos) respuestas.push_back(n);
    }
    ASSERT_EQ(respuestas.size(), 1u);
    std::string respuesta = prueba::ReadFile(x.t.raiz + "/retenidos/" + respuestas[0]);
    if (!c.bajada.empty()) {
      EXPECT_EQ(respuesta, c.bajada);
    } else {
      EXPECT_NE(respuesta.find("[_ticket.prn]\r\nTOTAL %A\r\n"), std::string::npos);
    }
    EXPECT_FALSE(prueba::Exists(x.t.raiz + "/download/output.dat"));
    EXPECT_TRUE(prueba::ListDir(x.t.raiz + "/upload").empty());
  }
}

// A killed run's input.dat found at the start is kept as ".dudosa" before
// the new transaction is packed and sent.
TEST(Retencion, LeftOverBundleIsKeptAsDoubtfulBeforePacking) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar());
  prueba::WriteFile(x.t.raiz + "/upload/input.dat", "[_svl.0]\r\nviejo\r\n[FIN]\r\n");
  x.Correr();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(x.run.status, 0);
  falla::ComprobarExito(x);
  auto r = falla::Retenidos(x.t.raiz);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r.begin()->first.find(".dudosa"), std::string::npos);
  EXPECT_EQ(r.begin()->second, "[_svl.0]\r\nviejo\r\n[FIN]\r\n");
}

// A run killed after the commit, before its answer was split, leaves its
// bundle and output.dat behind: the next run keeps the answer beside the
// doubtful bundle instead of emptying it away with download/.
TEST(Retencion, LeftOverAnswerIsKeptBesideTheLeftOverBundle) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar());
  const std::string viejo = "[_svl.0]\r\nviejo\r\n[FIN]\r\n";
  const std::string respuesta = "[A.TXT]\r\nrespuesta comprometida\r\n[FIN]\r\n";
  prueba::WriteFile(x.t.raiz + "/upload/input.dat", viejo);
  prueba::WriteFile(x.t.raiz + "/download/output.dat", respuesta);
  x.Correr();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(x.run.status, 0);
  falla::ComprobarExito(x);
  std::map<std::string, std::string> guardados;
  for (const auto &n : prueba::ListDir(x.t.raiz + "/retenidos")) {
    guardados[n.substr(n.find('.'))] = prueba::ReadFile(x.t.raiz + "/retenidos/" + n);
  }
  EXPECT_EQ(guardados, (std::map<std::string, std::string>{{".dudosa", viejo},
                                                           {".respuesta", respuesta}}));
}

// A leftover bundle that cannot be moved into retenidos/ (here a file
// stands in the way of the directory) is never packed over: the run ends
// with 15 and leaves it and the new transaction's files as they are.
TEST(Retencion, LeftOverBundleThatCannotBeKeptIsNeverOverwritten) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar());
  const std::string viejo = "[_svl.0]\r\nviejo\r\n[FIN]\r\n";
  prueba::WriteFile(x.t.raiz + "/upload/input.dat", viejo);
  prueba::WriteFile(x.t.raiz + "/retenidos", "no es un directorio\n");
  std::vector<std::string> antes = prueba::ListDir(x.t.raiz + "/upload");
  x.Correr();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(x.run.status, 15);
  EXPECT_EQ(x.t.Estado(), "15: Error creando archivo\r\n");
  EXPECT_EQ(prueba::ReadFile(x.t.raiz + "/upload/input.dat"), viejo);
  EXPECT_EQ(prueba::ListDir(x.t.raiz + "/upload"), antes);
  EXPECT_NE(x.t.Log().find("No se pudo retener"), std::string::npos);
  EXPECT_TRUE(x.subida.empty()) << "nothing may be sent";
}

// Makes a file immutable (no one, root included, may delete it) for as
// long as it lives, where the file system allows it.
struct Inmutable {
  std::string ruta;
  bool hecho = false;
  explicit Inmutable(std::string r) : ruta(std::move(r)) { hecho = Poner(FS_IMMUTABLE_FL); }
  ~Inmutable() {
    if (hecho) Poner(0);
  }
  bool Poner(int marca) {
    int fd = open(ruta.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    int atributos = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &atributos) == 0;
    atributos = (atributos & ~FS_IMMUTABLE_FL) | marca;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &atributos) == 0;
    close(fd);
    return ok;
  }
};

// A packed file that cannot be deleted would go out again with the next
// transaction: the run stops before it connects, with 14, keeps the bundle
// as ".dudosa" (never resent) and names the file; the server sees nothing.
TEST(Retencion, PackedFileThatCannotBeDeletedIsNeverSentTwice) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar());
  const std::string atascado = x.t.raiz + "/upload/" + falla::ArchivosSubida().back().nombre;
  Inmutable inmutable(atascado);
  if (!inmutable.hecho) GTEST_SKIP() << "the file system cannot make a file immutable here";
  x.Correr();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(x.run.status, 14);
  EXPECT_EQ(x.t.Estado(), "14: Error escribiendo archivo\r\n");
  EXPECT_TRUE(x.subida.empty()) << "nothing may be sent";
  UnRetenido(x.t.raiz, ".dudosa");
  EXPECT_EQ(prueba::ListDir(x.t.raiz + "/upload"),
            std::vector<std::string>{falla::ArchivosSubida().back().nombre});
  EXPECT_NE(x.t.Log().find("No se pudo borrar " + atascado), std::string::npos);
  EXPECT_NE(x.t.Log().find("Transaccion no enviada: 1 archivo(s) empaquetado(s) siguen en " +
                           x.t.raiz + "/upload/"),
            std::string::npos);
  EXPECT_FALSE(prueba::Exists(x.t.raiz + "/_zelta.lck"));

  // A resend leaves the doubtful bundle alone.
  prueba::RunResult r = prueba::Run(ArgvReenvio(x), 30000);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(falla::Retenidos(x.t.raiz).size(), 1u);
  EXPECT_NE(x.t.Log().find("No hay transacciones retenidas para reenviar"), std::string::npos);
}

}  // namespace
