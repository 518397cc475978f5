// tcp_timeout_slow_test.cpp - the client against a kaldo-server that falls
// silent at a chosen point of the session: every case waits out the real
// time-outs (6 s per receive, 10 s after the client's EOT at the end of the
// upload) and must end with 1, neither sooner nor without bound.
#include <chrono>

#include "tcp_fixture.h"

namespace {

struct Caso {
  const char *nombre;
  std::vector<std::string> fallas;
  int minimos;  // the fewest seconds the client may take to give up
  int maximos;  // and the most
};

class TcpSilencioTest : public ::testing::TestWithParam<Caso> {};

TEST_P(TcpSilencioTest, GivesUpWithOneAfterTheFourthTimeout) {
  const Caso &caso = GetParam();
  tcp::Terminal t;
  t.Subir("DATOS.TXT", std::string(3000, 'a'));
  tcp::Servidor srv;
  ASSERT_TRUE(srv.Start(t.tmp, caso.fallas));
  prueba::WriteFile(t.tmp / "bajada.dat", "[NOTA.TXT]\r\nhola\r\n[FIN]\r\n");
  t.Configurar("127.0.0.1", srv.puerto, "BLOCKSIZE=1000\n");

  auto inicio = std::chrono::steady_clock::now();
  prueba::RunResult run = t.Correr(120000);
  auto segundos =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - inicio)
          .count();
  auto r = srv.Resumen();
  SCOPED_TRACE(t.Log());

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(t.Estado(), "1: Abortado por exceso de timeouts\r\n");
  EXPECT_GE(segundos, caso.minimos);
  EXPECT_LE(segundos, caso.maximos);
  EXPECT_EQ(r["result"], "muted");
  EXPECT_EQ(r["anomalies"], "0");
  EXPECT_EQ(tcp::Contar(t.Log(), "Conectando..."), 1);
  EXPECT_FALSE(prueba::Exists(t.raiz + "/_zelta.lck"));
}

INSTANTIATE_TEST_SUITE_P(
    Tcp, TcpSilencioTest,
    ::testing::Values(
        // Four passes of 6 s waiting for ENQ.
        Caso{"silent_server", {"--silent"}, 23, 40},
        // The client sends block 1 again every 6 s.
        Caso{"silent_during_upload", {"--mute-at", "up:1"}, 23, 40},
        // The client repeats its closing EOT every 6 s.
        Caso{"no_dc1", {"--no-dc1"}, 23, 40},
        // After the EOT of the upload the wait is 10 s; its own four
        // time-outs end it.
        Caso{"silent_after_upload_eot", {"--mute-at", "upeot"}, 39, 60}),
    [](const ::testing::TestParamInfo<Caso> &i) { return std::string(i.param.nombre); });

}  // namespace
