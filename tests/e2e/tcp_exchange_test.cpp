// tcp_exchange_test.cpp - the real client against kaldo-server over
// loopback: a clean exchange checked byte for byte, the faults a server or
// the line can throw at the session (restart, NAK, SYN, repeated and missing
// download blocks, bad and wrong-sized PDH, lost connections), and servers
// that cannot be reached.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tcp_fixture.h"

namespace {

constexpr int kBlocksize = 256;

// What the terminal leaves in upload/: a binary file (listed in
// _zelta.bin) full of bytes that need escaping, and a text file. Digits
// sort the names before "_zelta.bin" whichever case the client folds to.
struct Subida {
  std::string bin = tcp::Bytes(2000, 3);
  std::string txt = "linea uno\r\nlinea dos\r\n";

  void Poner(tcp::Terminal &t) const {
    t.Subir("1DATOS.BIN", bin);
    t.Subir("2NOTA.TXT", txt);
    t.Subir("_zelta.bin", "1DATOS.BIN\r\n");
  }
  std::string Esperado() const {
    return tcp::PaqueteEsperado({{"1DATOS.BIN", bin, true},
                                 {"2NOTA.TXT", txt, false},
                                 {"_zelta.bin", "1DATOS.BIN\r\n", false}});
  }
};

// What the server answers: a ticket with markers, a binary file whose
// escaped form puts an escape byte at the end of a block (a run of 0x03
// and, one byte further on, a run of 0x08: one of the two runs straddles
// a block boundary with its pairs), and a text file.
struct Bajada {
  std::string bin = tcp::Bytes(1000, 5) + std::string(600, '\x03') + "x" +
                    std::string(600, '\x08') + tcp::Bytes(800, 6);
  std::string ticket = "TOTAL %A\r\nTERMINAL %B\r\n%%\r\n";
  std::string nota = "hola\r\n";

  std::string Paquete() const {
    return "[_ticket.prn]\r\n" + ticket + "[DATOS.BIN," + std::to_string(bin.size()) + "]\r\n" +
           bin + "\r\n[NOTA.TXT]\r\n" + nota + "[FIN]\r\n";
  }
};

struct Caso {
  const char *nombre;
  std::vector<std::string> fallas;   // kaldo-server options
  int estado;                        // exit status of the client
  const char *rsp;                   // estado.rsp
  std::vector<std::string> enlog;    // lines the client must have logged
  std::vector<std::string> nolog;    // and lines it must not have logged
  const char *resultado;             // result in the server's summary
  bool entrega;                      // download split and ticket filled in
  long reinicio;                     // first upload block the server asked for
};

// Cases show by name in test listings.
void PrintTo(const Caso &c, std::ostream *os) { *os << c.nombre; }

class TcpIntercambioTest : public ::testing::TestWithParam<Caso> {};

TEST_P(TcpIntercambioTest, EndsWithTheExpectedResult) {
  const Caso &caso = GetParam();
  tcp::Terminal t;
  Subida subida;
  subida.Poner(t);
  Bajada bajada;
  prueba::WriteFile(t.tmp / "bajada.dat", bajada.Paquete());
  prueba::WriteFile(t.raiz + "/_ZELTA.RPL", "A=\"12,50\"\r\nB=\"T0001\"\r\n");

  std::vector<std::string> opciones = {"--download", t.tmp / "bajada.dat", "--upload",
                                       t.tmp / "subida.dat", "--upload-raw",
                                       t.tmp / "cruda.dat"};
  opciones.insert(opciones.end(), caso.fallas.begin(), caso.fallas.end());
  tcp::Servidor srv;
  ASSERT_TRUE(srv.Start(t.tmp, opciones));
  t.Configurar("127.0.0.1", srv.puerto, "BLOCKSIZE=" + std::to_string(kBlocksize) + "\n");

  prueba::RunResult run = t.Correr();
  auto r = srv.Resumen();
  std::string log = t.Log();
  SCOPED_TRACE("client log:\n" + log + "\nserver:\n" + srv.proc.Output());

  EXPECT_EQ(run.status, caso.estado);
  EXPECT_EQ(t.Estado(), caso.rsp);
  EXPECT_EQ(r["result"], caso.resultado);
  EXPECT_EQ(r["anomalies"], "0");
  for (const auto &linea : caso.enlog) EXPECT_NE(log.find(linea), std::string::npos) << linea;
  for (const auto &linea : caso.nolog) EXPECT_EQ(log.find(linea), std::string::npos) << linea;
  // Ports above 32767 (the ephemeral ones) are logged as they are.
  EXPECT_NE(log.find("Conectando con svr ZELTA 127.0.0.1 " + std::to_string(srv.puerto) + "..."),
            std::string::npos);
  // Once connected, the client never tries again.
  EXPECT_EQ(tcp::Contar(log, "Conectando..."), 1);
  EXPECT_FALSE(prueba::Exists(t.raiz + "/upload/input.dat"));
  EXPECT_FALSE(prueba::Exists(t.raiz + "/_zelta.lck"));

  // The upload as the server stored it, from the first block it asked for,
  // and the PDC that opened it.
  if (std::string(caso.resultado) == "ok") {
    char pdc[40];
    snprintf(pdc, sizeof pdc, "%02d%04d%s%04x", 2, kBlocksize, "0000000000000000", 0);
    EXPECT_EQ(r["pdc"], pdc);
    std::string esperada = tcp::Escapar(subida.Esperado());
    EXPECT_EQ(prueba::ReadFile(t.tmp / "cruda.dat"),
              esperada.substr(static_cast<size_t>(caso.reinicio) * kBlocksize));
    if (caso.reinicio == 0) {
      EXPECT_EQ(prueba::ReadFile(t.tmp / "subida.dat"), subida.Esperado());
    }
  }

  if (caso.entrega) {
    EXPECT_EQ(prueba::ListDir(t.raiz + "/download"),
              (std::vector<std::string>{"DATOS.BIN", "NOTA.TXT", "_ticket.prn"}));
    EXPECT_EQ(t.Bajado("DATOS.BIN"), bajada.bin);
    EXPECT_EQ(t.Bajado("NOTA.TXT"), bajada.nota);
    EXPECT_EQ(t.Bajado("_ticket.prn"), "TOTAL 12,50\r\nTERMINAL T0001\r\n%\r\n");
  } else {
    EXPECT_FALSE(prueba::Exists(t.raiz + "/download/NOTA.TXT"));
  }
}

const char kOK[] = "0: Conexion OK\r\n";
const char kPerdida[] = "2: Perdida de portadora\r\n";
const char kNAKs[] = "3: Abortado por exceso de NAKs\r\n";

INSTANTIATE_TEST_SUITE_P(
    Tcp, TcpIntercambioTest,
    ::testing::Values(
        Caso{"clean", {"--timeout", "30"}, 0, kOK, {"Recibi PDH", "Transaction commited"},
             {"Recibi NAK", "Blk viejo", "Blk fuera de seq", "Env NAK"}, "ok", true, 0},
        Caso{"restart_block", {"--restart", "2"}, 0, kOK, {}, {}, "ok", true, 2},
        Caso{"nak_during_upload", {"--nak-up", "1:3"}, 0, kOK, {"Recibi NAK"}, {}, "ok", true, 0},
        // Six NAKs in a row are still within the limit; the seventh is not.
        Caso{"six_naks", {"--nak-up", "1:6"}, 0, kOK, {"Recibi NAK"}, {}, "ok", true, 0},
        Caso{"seven_naks_upload", {"--nak-up", "1:7"}, 3, kNAKs, {}, {}, "lost", false, 0},
        Caso{"seven_naks_pdc", {"--nak-pdc", "7"}, 3, kNAKs, {"Rcv NAK"}, {}, "lost", false, 0},
        Caso{"syn_during_upload", {"--syn-up", "2:1"}, 0, kOK, {"Recibi SYN"}, {}, "ok", true, 0},
        Caso{"duplicate_download_block", {"--dup-down", "1"}, 0, kOK, {"E6: Blk viejo"}, {},
             "ok", true, 0},
        Caso{"out_of_sequence_download_block", {"--skip-down", "1"}, 0, kOK,
             {"E6: Blk fuera de seq"}, {}, "ok", true, 0},
        Caso{"bad_download_check_byte", {"--bad-down-crc", "1"}, 0, kOK, {"E5: Env NAK"}, {},
             "ok", true, 0},
        // A bad PDH is answered with NAK; the good one that follows is taken
        // without the "Recibi PDH" line.
        Caso{"bad_pdh_check_byte", {"--bad-pdh-crc", "1"}, 0, kOK, {"Snd NAK"}, {"Recibi PDH"},
             "ok", true, 0},
        Caso{"bad_pdh_check_byte_seven", {"--bad-pdh-crc", "7"}, 3, kNAKs, {"Snd NAK"}, {},
             "lost", false, 0},
        Caso{"pdh_35", {"--pdh-len", "35"}, 2, kPerdida, {"Rcv PDH invalida"}, {}, "lost", false,
             0},
        Caso{"pdh_37", {"--pdh-len", "37"}, 2, kPerdida, {"Rcv PDH invalida"}, {}, "lost", false,
             0},
        // EOT in place of block 1: the session commits, the bundle is cut
        // short in the middle of a binary record and the split reports it.
        Caso{"early_eot", {"--eot-down", "1"}, 14, "14: Error escribiendo archivo\r\n",
             {"Transaction commited"}, {}, "ok", false, 0},
        Caso{"closed_at_accept", {"--close-at", "accept"}, 2, kPerdida, {}, {}, "cut", false, 0},
        Caso{"closed_in_upload", {"--close-at", "up:1"}, 2, kPerdida, {}, {}, "cut", false, 0},
        Caso{"closed_in_download", {"--close-at", "down:1"}, 2, kPerdida, {}, {}, "cut", false,
             0},
        Caso{"closed_before_dc1", {"--close-at", "end"}, 2, kPerdida, {}, {}, "cut", false, 0}),
    [](const ::testing::TestParamInfo<Caso> &i) { return std::string(i.param.nombre); });

TEST(TcpIntercambioVacio, EmptyDownloadEndsCleanWithNothingDelivered) {
  tcp::Terminal t;
  t.Subir("NOTA.TXT", "hola\r\n");
  tcp::Servidor srv;
  ASSERT_TRUE(srv.Start(t.tmp, {"--upload", t.tmp / "subida.dat"}));
  t.Configurar("127.0.0.1", srv.puerto);
  prueba::RunResult run = t.Correr();
  auto r = srv.Resumen();
  SCOPED_TRACE(t.Log());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(t.Estado(), "0: Conexion OK\r\n");
  EXPECT_EQ(r["result"], "ok");
  EXPECT_EQ(r["down_blocks"], "0");
  EXPECT_EQ(r["blocksize"], "1024");
  // The default block size gives the PDC whose check byte is 0x05; the
  // server answered it with ACK, so the check byte was right.
  EXPECT_EQ(r["pdc"], "02102400000000000000000000");
  EXPECT_EQ(prueba::ReadFile(t.tmp / "subida.dat"),
            tcp::PaqueteEsperado({{"NOTA.TXT", "hola\r\n", false}}));
  EXPECT_TRUE(prueba::ListDir(t.raiz + "/download").empty());
}


TEST(TcpSinServidor, RefusedConnectionGivesFiveAfterEveryAttempt) {
  tcp::Terminal t;
  int puerto = prueba::FreePort();
  tcp::PortMgrNada pm(puerto);
  t.Configurar("127.0.0.1", puerto, "REINTENTOS=1\n");
  prueba::RunResult run = t.Correr();
  std::string log = t.Log();
  SCOPED_TRACE(log);
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(t.Estado(), "5: No se pudo conectar\r\n");
  // One attempt straight to the server, then, after the port manager had
  // nothing to offer, one more.
  EXPECT_EQ(tcp::Contar(log, "Conectando..."), 2);
  EXPECT_NE(log.find("Fallback conex II a I"), std::string::npos);
  EXPECT_FALSE(prueba::Exists(t.raiz + "/upload/input.dat"));
}

TEST(TcpSinServidor, UnresolvableHostGivesFiveWithoutAnAttempt) {
  tcp::Terminal t;
  t.Configurar("no-such-host.invalid", 40123);
  prueba::RunResult run = t.Correr();
  std::string log = t.Log();
  SCOPED_TRACE(log);
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(t.Estado(), "5: No se pudo conectar\r\n");
  EXPECT_NE(log.find("ERROR: gethostbyname()"), std::string::npos);
  EXPECT_EQ(tcp::Contar(log, "Conectando..."), 0);
}

}  // namespace
