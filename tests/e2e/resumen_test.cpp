// resumen_test.cpp - every run that took the lock ends with exactly one
// summary line in the log: a clean run, a failed one, one ended by an
// interrupt, and a resend, which writes one line for each bundle it sends
// and names the bundle in it.
#include <signal.h>

#include <regex>

#include "faults_fixture.h"

using prueba::WriteFile;

namespace {

struct LineaResumen {
  std::string bundle;  // "" for a run's own line
  int resultado = 0;
  long long enviados = 0;
  long long recibidos = 0;
};

// The summary lines of a log, in order. A line that starts like one but
// does not have the whole form fails the test.
std::vector<LineaResumen> Resumenes(const std::string &log) {
  static const std::regex kForma(
      "\\[term\\]: Resumen: terminal term, (retenido ([^,]+), )?resultado (-?[0-9]+), enviados "
      "([0-9]+) bytes, recibidos ([0-9]+) bytes, [0-9]+\\.[0-9] s");
  std::vector<LineaResumen> r;
  std::istringstream lineas(log);
  std::string l;
  while (std::getline(lineas, l)) {
    if (l.find("Resumen:") == std::string::npos) continue;
    std::smatch m;
    if (!std::regex_search(l, m, kForma)) {
      ADD_FAILURE() << "summary line of another form: " << l;
      continue;
    }
    r.push_back({m[2], std::stoi(m[3]), std::stoll(m[4]), std::stoll(m[5])});
  }
  return r;
}

TEST(Resumen, CleanAndFailedRunsEndWithOneLine) {
  struct Caso {
    const char *nombre;
    std::vector<std::string> servidor;
    int codigo;
  } casos[] = {
      {"clean", {}, 0},
      {"closed in the upload", {"--close-at", "up:1"}, 2},
      {"closed in the download", {"--close-at", "down:2"}, 2},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    falla::Intercambio x;
    ASSERT_TRUE(x.Preparar(c.servidor));
    x.Correr();
    SCOPED_TRACE(x.Contexto());
    EXPECT_EQ(x.run.status, c.codigo);
    auto r = Resumenes(x.t.Log());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bundle, "");
    EXPECT_EQ(r[0].resultado, c.codigo);
    EXPECT_EQ(r[0].enviados, static_cast<long long>(tcp::Escapar(falla::SubidaEsperada()).size()));
    if (c.codigo == 0) {
      EXPECT_GT(r[0].recibidos, static_cast<long long>(falla::BinarioBajada().size()));
    }
  }
}

// The interrupt ends the run inside its handler: the line comes from there,
// with the bytes so far, before "Exiting ...".
TEST(Resumen, InterruptedRunEndsWithOneLine) {
  struct Caso {
    const char *punto;  // where the server stops for a while
    const char *espera; // the client's log line that shows it got there
    int senal;
    bool recibio;       // part of the answer is in by then
  } casos[] = {
      {"up:1:5000", "Recibi ACK", SIGTERM, false},
      {"up:1:5000", "Recibi ACK", SIGINT, false},
      // 24 blocks of 256 bytes in: more than the file's buffer holds, so
      // part of them is in output.dat.
      {"down:25:5000", "E6: Guarde blk", SIGHUP, true},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(std::string(c.punto) + " signal " + std::to_string(c.senal));
    falla::Intercambio x;
    std::string grande = x.t.tmp / "grande.dat";
    WriteFile(grande, "[GRANDE.TXT]\r\n" + std::string(8000, 'b') + "\r\n[FIN]\r\n");
    ASSERT_TRUE(x.Preparar({"--download", grande, "--pause-at", c.punto}));
    prueba::Spawned cliente = prueba::Spawn(x.Argv());
    ASSERT_TRUE(prueba::WaitUntil(
        [&] {
          return tcp::Contar(x.t.Log(), c.espera) >= (c.recibio ? 24 : 1) || !cliente.Running();
        },
        15000));
    cliente.Signal(c.senal);
    EXPECT_EQ(cliente.Wait(15000), 6);
    x.srv.proc.Signal(SIGKILL);  // it would wait out its time-out
    x.Cerrar();
    SCOPED_TRACE(x.Contexto());
    std::string log = x.t.Log();
    auto r = Resumenes(log);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].resultado, 6);
    EXPECT_EQ(r[0].enviados, static_cast<long long>(tcp::Escapar(falla::SubidaEsperada()).size()));
    if (c.recibio) {
      EXPECT_GT(r[0].recibidos, 0);
      EXPECT_LT(r[0].recibidos, 8000);
    } else {
      EXPECT_EQ(r[0].recibidos, 0);
    }
    EXPECT_LT(log.find("Resumen:"), log.find("Exiting ..."));
  }
}

std::vector<std::string> ArgvReenvio(const falla::Intercambio &x) {
  return {x.t.zelta, "-r", "-t", "tcp", "-x20", "-l", x.t.log, x.t.raiz};
}

// The first of two bundles fails: its line names it with the failure, and
// the bundle the resend never got to has none, nor does the run.
TEST(Resumen, ResendFailureLineNamesTheBundle) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({"--sessions", "2", "--close-at", "up:1"}));
  std::string bundle = tcp::Escapar(falla::SubidaEsperada());
  prueba::MakeDir(x.t.raiz + "/retenidos", 0750);
  prueba::WriteFile(x.t.raiz + "/retenidos/20260101000000-1.subida", bundle);
  prueba::WriteFile(x.t.raiz + "/retenidos/20260101000001-1.subida", bundle + bundle);
  // The server cuts every session in the upload: the first bundle fails
  // and the resend stops there.
  prueba::RunResult r = prueba::Run(ArgvReenvio(x), 30000);
  x.srv.proc.Signal(SIGKILL);  // it would wait for the second session
  x.Cerrar();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(r.status, 2);
  auto lineas = Resumenes(x.t.Log());
  ASSERT_EQ(lineas.size(), 1u);
  EXPECT_EQ(lineas[0].bundle, "20260101000000-1.subida");
  EXPECT_EQ(lineas[0].resultado, 2);
  EXPECT_EQ(lineas[0].enviados, static_cast<long long>(bundle.size()));
}

TEST(Resumen, ResendOfTwoBundlesNamesEach) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar({"--sessions", "2"}));
  std::string bundle = tcp::Escapar(falla::SubidaEsperada());
  prueba::MakeDir(x.t.raiz + "/retenidos", 0750);
  const char *nombres[] = {"20260101000000-1.subida", "20260101000001-1.subida"};
  for (const char *n : nombres) prueba::WriteFile(x.t.raiz + "/retenidos/" + n, bundle);
  prueba::RunResult r = prueba::Run(ArgvReenvio(x), 30000);
  x.Cerrar();
  SCOPED_TRACE(x.Contexto());
  EXPECT_EQ(r.status, 0);
  auto lineas = Resumenes(x.t.Log());
  ASSERT_EQ(lineas.size(), 2u);
  for (size_t i = 0; i < 2; i++) {
    EXPECT_EQ(lineas[i].bundle, nombres[i]);
    EXPECT_EQ(lineas[i].resultado, 0);
    EXPECT_EQ(lineas[i].enviados, static_cast<long long>(bundle.size()));
    EXPECT_GT(lineas[i].recibidos, 0);
  }
}

// A resend with nothing to send, or one that cannot start, still ends
// with the run's own line.
TEST(Resumen, ResendThatSendsNothingHasTheRunLine) {
  falla::Intercambio x;
  ASSERT_TRUE(x.Preparar());
  prueba::RunResult r = prueba::Run(ArgvReenvio(x), 30000);
  EXPECT_EQ(r.status, 0);
  auto lineas = Resumenes(x.t.Log());
  ASSERT_EQ(lineas.size(), 1u) << x.t.Log();
  EXPECT_EQ(lineas[0].bundle, "");
  EXPECT_EQ(lineas[0].resultado, 0);
  // A configuration the resend cannot use: 16, and the line says so.
  prueba::WriteFile(x.t.prog + "/zelta.conf", "COLOR=azul\n");
  r = prueba::Run(ArgvReenvio(x), 30000);
  EXPECT_EQ(r.status, 16);
  lineas = Resumenes(x.t.Log());
  ASSERT_EQ(lineas.size(), 2u) << x.t.Log();
  EXPECT_EQ(lineas[1].resultado, 16);
  x.Cerrar();
}

}  // namespace
