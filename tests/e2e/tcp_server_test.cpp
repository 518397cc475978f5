// tcp_server_test.cpp - kaldo-server against a small scripted client written
// here from the protocol, so that the simulator's framing, check bytes and
// injected faults are known to be right before the real client is judged
// against it.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tcp_fixture.h"

namespace {

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, DLE = 0x10,
               DC1 = 0x11, NAK = 0x15, SYN = 0x16, ETB = 0x17, FS = 0x1C;

unsigned char Check(const std::string &carga) {
  unsigned char x = 0;
  for (char c : carga) x ^= static_cast<unsigned char>(c);
  return x == 0x11 ? 0x7E : x == 0x13 ? 0x80 : x;
}

using tcp::Escapar;

// A connection to the simulator with one-unit reads (control byte or frame).
struct Cliente {
  int fd = -1;
  std::vector<std::string> traza;  // one token per unit received

  explicit Cliente(int puerto) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(puerto));
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~Cliente() {
    if (fd >= 0) close(fd);
  }

  // 1 byte, 0 nothing within ms, -1 closed.
  int Byte(char &c, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return 0;
    return read(fd, &c, 1) == 1 ? 1 : -1;
  }
  void Enviar(const std::string &s) { ASSERT_EQ(write(fd, s.data(), s.size()), ssize_t(s.size())); }
  void Control(char c) { Enviar(std::string(1, c)); }
  void Trama(const std::string &carga) {
    Enviar(std::string(1, STX) + carga + ETX + static_cast<char>(Check(carga)));
  }

  // Kinds: 'b' control byte, 'f' good frame, 'x' frame with a bad check
  // byte, 't' nothing arrived, 'c' closed.
  char Recibir(char &byte, std::string &carga, int ms = 1500) {
    int rc = Byte(byte, ms);
    if (rc <= 0) {
      traza.push_back(rc == 0 ? "TIMEOUT" : "CLOSED");
      return rc == 0 ? 't' : 'c';
    }
    if (byte != STX) {
      static const std::map<char, std::string> nombres = {
          {EOT, "EOT"}, {ENQ, "ENQ"}, {ACK, "ACK"}, {DC1, "DC1"},
          {NAK, "NAK"}, {SYN, "SYN"}, {FS, "FS"}};
      auto it = nombres.find(byte);
      traza.push_back(it != nombres.end() ? it->second : "?");
      return 'b';
    }
    carga.clear();
    char c;
    while ((rc = Byte(c, ms)) == 1 && c != ETX) carga += c;
    char check;
    if (rc != 1 || Byte(check, ms) != 1) {
      traza.push_back("CLOSED");
      return 'c';
    }
    bool bueno = static_cast<unsigned char>(check) == Check(carga);
    std::string token;
    if (carga.rfind("010123456789ABCDEF", 0) == 0) {
      token = carga.size() == 36 ? "PDH" : "PDH" + std::to_string(carga.size());
    } else {
      token = carga.size() <= 5 ? "F" + carga : "#" + carga.substr(0, 5);
    }
    traza.push_back(token + (bueno ? "" : "!"));
    return bueno ? 'f' : 'x';
  }

  std::string Traza() const {
    std::string t;
    for (const auto &s : traza) t += (t.empty() ? "" : " ") + s;
    return t;
  }
};

// Plays a well-behaved client: the whole session with `subida` (already
// escaped) in blocks of `bs`. Returns the download data as received
// (escaped), or stops at the first silence or close.
std::string Sesion(Cliente &c, const std::string &subida, int bs) {
  char b;
  std::string carga;
  // Opening.
  if (c.Recibir(b, carga) != 'b' || b != ENQ) return "";
  c.Control(DLE);
  for (;;) {
    char k = c.Recibir(b, carga);
    if (k == 'f') break;
    if (k == 'x') c.Control(NAK);
    if (k == 'c' || k == 't') return "";
  }
  c.Control(ACK);
  if (c.Recibir(b, carga) != 'b' || b != FS) return "";
  char pdc[32];
  snprintf(pdc, sizeof pdc, "%02d%04d%s%04x", 2, bs, "0000000000000000", 0);
  for (;;) {
    c.Trama(pdc);
    char k = c.Recibir(b, carga);
    if (k == 'b' && b == ACK) break;
    if (k != 'b' || b != NAK) return "";
  }
  // Upload.
  long bloque = 0;
  bool reiniciar = true;
  for (;;) {
    if (reiniciar) {
      c.Control(SYN);
      if (c.Recibir(b, carga) != 'f') return "";
      bloque = atol(carga.c_str());
      reiniciar = false;
    }
    size_t desde = static_cast<size_t>(bloque) * static_cast<size_t>(bs);
    if (desde >= subida.size()) break;
    char num[24];
    snprintf(num, sizeof num, "%05ld", bloque);
    c.Trama(num + subida.substr(desde, static_cast<size_t>(bs)));
    char k = c.Recibir(b, carga);
    if (k != 'b') return "";
    if (b == ACK) ++bloque;
    if (b == SYN) reiniciar = true;
  }
  c.Control(EOT);
  if (c.Recibir(b, carga) != 'b' || b != SYN) return "";
  // Download.
  std::string datos;
  long esperado = 0;
  c.Trama("00000");
  for (;;) {
    char k = c.Recibir(b, carga);
    if (k == 'x') {
      c.Control(NAK);
    } else if (k == 'f') {
      long n = atol(carga.substr(0, 5).c_str());
      if (n == esperado) {
        datos += carga.substr(5);
        ++esperado;
      }
      if (n > esperado) {
        c.Control(SYN);
        if (c.Recibir(b, carga) != 'b' || b != SYN) return datos;
        char num[24];
        snprintf(num, sizeof num, "%05ld", esperado);
        c.Trama(num);
      } else {
        c.Control(ACK);
      }
    } else if (k == 'b' && b == EOT) {
      break;
    } else {
      return datos;
    }
  }
  c.Control(EOT);
  if (c.Recibir(b, carga) == 'b' && b == DC1) c.Control(ETB);
  return datos;
}

struct Caso {
  const char *nombre;
  std::vector<std::string> opciones;
  const char *traza;      // must appear in the trace of units received
  const char *resultado;  // summary result
  bool bajadacompleta;    // the whole download arrived
};

// Cases show by name in test listings.
void PrintTo(const Caso &c, std::ostream *os) { *os << c.nombre; }

class TcpSimuladorTest : public ::testing::TestWithParam<Caso> {};

TEST_P(TcpSimuladorTest, PlaysTheServerSideAndInjectsTheFault) {
  const Caso &caso = GetParam();
  prueba::TempDir tmp;
  // 0x03 and 0x08 in both bundles make the escaping visible; 57 bytes in
  // blocks of 10 end with a short block.
  std::string subida = "[_svl.0]\r\nV15\x03\x08" + std::string(40, 'u') + "[FIN]\r\n";
  std::string bajada = "[A.BIN,7]\r\n\x08\x03\x08\x08xyz\r\n" + std::string(30, 'd') + "[FIN]\r\n";
  prueba::WriteFile(tmp / "bajada.dat", bajada);
  std::vector<std::string> opciones = {"--download", tmp / "bajada.dat", "--upload",
                                       tmp / "subida.dat", "--upload-raw", tmp / "cruda.dat",
                                       "--timeout", "5"};
  opciones.insert(opciones.end(), caso.opciones.begin(), caso.opciones.end());
  tcp::Servidor srv;
  ASSERT_TRUE(srv.Start(tmp, opciones));
  std::string recibido;
  std::string traza;
  {
    Cliente c(srv.puerto);
    ASSERT_GE(c.fd, 0);
    recibido = Sesion(c, Escapar(subida), 10);
    traza = c.Traza();
  }
  auto r = srv.Resumen();
  SCOPED_TRACE(traza);
  EXPECT_NE(traza.find(caso.traza), std::string::npos) << "trace: " << traza;
  EXPECT_EQ(r["result"], caso.resultado);
  EXPECT_EQ(r["anomalies"], "0");
  if (caso.bajadacompleta) {
    EXPECT_EQ(recibido, Escapar(bajada));
    EXPECT_EQ(prueba::ReadFile(tmp / "subida.dat"), subida);
    EXPECT_EQ(prueba::ReadFile(tmp / "cruda.dat"), Escapar(subida));
    EXPECT_EQ(r["up_bytes"], std::to_string(subida.size()));
    EXPECT_EQ(r["pdc"], "02001000000000000000000000");
    EXPECT_EQ(r["blocksize"], "10");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tcp, TcpSimuladorTest,
    ::testing::Values(
        // 61 escaped upload bytes and 61 escaped download bytes: blocks 0..6
        // each way.
        Caso{"clean", {}, "ENQ PDH FS ACK F00000 ACK ACK ACK ACK ACK ACK ACK SYN #00000 #00001 "
                          "#00002 #00003 #00004 #00005 #00006 EOT DC1", "ok", true},
        Caso{"bad_pdh_check", {"--bad-pdh-crc", "2"}, "ENQ PDH! PDH! PDH FS", "ok", true},
        Caso{"pdh_35", {"--pdh-len", "35"}, "ENQ PDH35 FS", "ok", true},
        Caso{"nak_pdc", {"--nak-pdc", "2"}, "FS NAK NAK ACK F00000", "ok", true},
        Caso{"restart", {"--restart", "3"}, "ACK F00003 ACK ACK ACK ACK SYN", "ok", false},
        Caso{"nak_up", {"--nak-up", "1:2"}, "F00000 ACK NAK NAK ACK ACK", "ok", true},
        Caso{"syn_up", {"--syn-up", "2:1"}, "F00000 ACK ACK SYN F00001 ACK ACK ACK", "ok", true},
        Caso{"dup_down", {"--dup-down", "1"}, "#00000 #00001 #00001 #00002", "ok", true},
        Caso{"skip_down", {"--skip-down", "1"}, "#00000 #00002 SYN #00001 #00002", "ok", true},
        Caso{"bad_down_check", {"--bad-down-crc", "2"}, "#00001 #00002! #00002 #00003", "ok", true},
        Caso{"eot_down", {"--eot-down", "2"}, "#00000 #00001 EOT DC1", "ok", false},
        Caso{"close_up", {"--close-at", "up:1"}, "F00000 ACK CLOSED", "cut", false},
        Caso{"mute_upeot", {"--mute-at", "upeot"}, "ACK TIMEOUT", "muted", false},
        Caso{"no_dc1", {"--no-dc1"}, "#00006 EOT TIMEOUT", "muted", false},
        Caso{"silent", {"--silent"}, "TIMEOUT", "muted", false}),
    [](const ::testing::TestParamInfo<Caso> &i) { return std::string(i.param.nombre); });

}  // namespace

namespace {

// Several sessions in a row, one upload file per session, and a download
// bundle built from a directory (binary records in name order).
TEST(TcpSimuladorSesiones, ServesSessionsInTurnWithADirectoryBundle) {
  prueba::TempDir tmp;
  prueba::MakeDir(tmp / "dir");
  prueba::WriteFile(tmp / "dir/b.txt", "segundo\r\n");
  prueba::WriteFile(tmp / "dir/A.BIN", std::string("\x03\x08\x00z", 4));
  tcp::Servidor srv;
  ASSERT_TRUE(srv.Start(tmp, {"--sessions", "2", "--download-dir", tmp / "dir", "--upload",
                              tmp / "sub%d.dat", "--timeout", "5"}));
  std::string paquete = std::string("[A.BIN,4]\r\n\x03\x08\x00z\r\n", 17) +
                        "[b.txt,9]\r\nsegundo\r\n\r\n[FIN]\r\n";
  for (int i = 1; i <= 2; ++i) {
    std::string subida = "[_svl.0]\r\nsesion " + std::to_string(i) + "\r\n[FIN]\r\n";
    Cliente c(srv.puerto);
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(Sesion(c, Escapar(subida), 100), Escapar(paquete)) << c.Traza();
    ASSERT_TRUE(prueba::WaitUntil(
        [&] { return !tcp::Servidor::LeerResumen(srv.proc.Output(), i).empty(); }, 5000));
    EXPECT_EQ(prueba::ReadFile(tmp / ("sub" + std::to_string(i) + ".dat")), subida);
  }
  EXPECT_EQ(srv.proc.Wait(5000), 0);
  EXPECT_EQ(srv.Resumen(1)["result"], "ok");
  EXPECT_EQ(srv.Resumen(2)["result"], "ok");
}

}  // namespace
