// tcp_timeout_slow_test.cpp - the client against a kaldo-server that pauses
// or falls silent at chosen points of the session. Every case waits out
// real time-outs (6 s per receive, 10 s after the client's EOT at the end of
// the upload): time-outs add up over the whole session, the fourth ends it
// with 1, and the wait after the upload's EOT is bounded by four time-outs
// of its own.
#include <chrono>

#include "tcp_fixture.h"

namespace {

struct Caso {
  const char *nombre;
  std::vector<std::string> fallas;
  int estado;             // exit status of the client
  const char *resultado;  // result in the server's summary
  int minimos;            // the fewest seconds the run may take
  int maximos;            // and the most
};

// Keeps the case's bytes out of the test names CTest shows.
void PrintTo(const Caso &c, std::ostream *os) { *os << c.nombre; }

class TcpSilencioTest : public ::testing::TestWithParam<Caso> {};

TEST_P(TcpSilencioTest, EndsAfterTheRightNumberOfTimeouts) {
  const Caso &caso = GetParam();
  tcp::Terminal t;
  std::string datos(3000, 'a');
  t.Subir("DATOS.TXT", datos);
  prueba::WriteFile(t.tmp / "bajada.dat", "[NOTA.TXT]\r\nhola\r\n[FIN]\r\n");
  std::vector<std::string> opciones = {"--download", t.tmp / "bajada.dat", "--upload",
                                       t.tmp / "subida.dat", "--timeout", "120"};
  opciones.insert(opciones.end(), caso.fallas.begin(), caso.fallas.end());
  tcp::Servidor srv;
  ASSERT_TRUE(srv.Start(t.tmp, opciones));
  t.Configurar("127.0.0.1", srv.puerto, "BLOCKSIZE=1000\n");

  auto inicio = std::chrono::steady_clock::now();
  prueba::RunResult run = t.Correr(120000);
  auto segundos =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - inicio)
          .count();
  auto r = srv.Resumen();
  std::string log = t.Log();
  SCOPED_TRACE(log);

  EXPECT_EQ(run.status, caso.estado);
  EXPECT_EQ(t.Estado(), caso.estado == 0 ? "0: Conexion OK\r\n"
                                         : "1: Abortado por exceso de timeouts\r\n");
  EXPECT_GE(segundos, caso.minimos);
  EXPECT_LE(segundos, caso.maximos);
  EXPECT_EQ(r["result"], caso.resultado);
  EXPECT_EQ(r["anomalies"], "0");
  EXPECT_EQ(tcp::Contar(log, "Conectando..."), 1);
  EXPECT_FALSE(prueba::Exists(t.raiz + "/_zelta.lck"));
  if (caso.estado == 0) {
    EXPECT_EQ(prueba::ReadFile(t.tmp / "subida.dat"),
              tcp::PaqueteEsperado({{"DATOS.TXT", datos, false}}));
    EXPECT_EQ(t.Bajado("NOTA.TXT"), "hola\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tcp, TcpSilencioTest,
    ::testing::Values(
        // Four passes of 6 s waiting for ENQ.
        Caso{"silent_server", {"--silent"}, 1, "muted", 23, 40},
        // The client sends block 1 again every 6 s.
        Caso{"silent_during_upload", {"--mute-at", "up:1"}, 1, "muted", 23, 40},
        // The client repeats its closing EOT every 6 s.
        Caso{"no_dc1", {"--no-dc1"}, 1, "muted", 23, 40},
        // One time-out during the upload, after which the block is sent
        // again and the session goes on to the end.
        Caso{"timeout_then_recovery", {"--pause-at", "up:1:7000"}, 0, "ok", 6, 20},
        // That one time-out counts with the three at the end: 7 s + 3 x 6 s.
        Caso{"timeouts_add_up", {"--pause-at", "up:1:7000", "--no-dc1"}, 1, "muted", 23, 29},
        // After the EOT of the upload the wait is 10 s, and its own four
        // time-outs end it, whatever came before.
        Caso{"silent_after_upload_eot", {"--mute-at", "upeot"}, 1, "muted", 39, 60},
        Caso{"silent_after_upload_eot_with_earlier_timeout",
             {"--pause-at", "up:1:7000", "--mute-at", "upeot"}, 1, "muted", 45, 70}),
    [](const ::testing::TestParamInfo<Caso> &i) { return std::string(i.param.nombre); });

}  // namespace
