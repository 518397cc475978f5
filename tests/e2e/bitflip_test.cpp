// bitflip_test.cpp - line noise on the server's frames: kaldo-server flips
// one bit of one frame as it goes out, for every bit of the session's PDH,
// of the restart answer and of a download block. A flipped bit in a payload
// or a check byte must be caught by the check byte (logged as a bad check)
// and the frame asked for again; a flipped STX turns the frame into loose
// bytes that the client must not take for data. Either way the exchange
// ends with 0 and delivers exactly the server's files, and the server gets
// exactly the upload.
#include "faults_fixture.h"

namespace {

// Download blocks of this many bytes keep a block frame short: 24 bytes.
constexpr int kBloqueBajada = 16;

// Frames of a clean session, counted as the server sends them.
constexpr long kTramaPDH = 1;       // STX, 36 bytes, ETX, check: 39 bytes
constexpr long kTramaReinicio = 2;  // STX, "00000", ETX, check: 8 bytes
constexpr long kTramaBloque1 = 4;   // STX, "00001", 16 bytes, ETX, check: 24 bytes

// The check byte: XOR of the payload, with DC1 and DC3 moved out of the way.
unsigned char Chequeo(const std::string &carga) {
  unsigned char x = 0;
  for (char c : carga) x ^= static_cast<unsigned char>(c);
  return x == 0x11 || x == 0x13 ? static_cast<unsigned char>(x + 0x6D) : x;
}

std::string Trama(const std::string &carga) {
  return "\x02" + carga + "\x03" + std::string(1, static_cast<char>(Chequeo(carga)));
}

// The frame as the server sends it, before the flip.
std::string TramaOriginal(long trama) {
  if (trama == kTramaPDH) return Trama("01" "0123456789ABCDEF" "FEDCBA9876543210" "5A");
  if (trama == kTramaReinicio) return Trama("00000");
  std::string escapada = tcp::Escapar(falla::PaqueteBajada());
  return Trama("00001" + escapada.substr(kBloqueBajada, kBloqueBajada));
}

// True when the frame with the bit flipped still reads as one frame of the
// same length: STX in front and no ETX before its own. Then only the check
// byte can tell, and it must.
bool EnmarcadoIntacto(const std::string &original, long bit) {
  std::string t = original;
  t[static_cast<size_t>(bit / 8)] ^= static_cast<char>(1 << (bit % 8));
  return t[0] == '\x02' && t.find('\x03', 1) == t.size() - 2;
}

struct Tramo {
  const char *nombre;
  long trama;
  long desde;  // first bit (0 = lowest bit of STX)
  long hasta;  // last bit
};

// Cases show by name in test listings.
void PrintTo(const Tramo &c, std::ostream *os) { *os << c.nombre; }

class VolteoTest : public ::testing::TestWithParam<Tramo> {};

TEST_P(VolteoTest, EverySingleBitErrorIsCaughtAndNeverDeliversDamage) {
  const Tramo &c = GetParam();
  std::string original = TramaOriginal(c.trama);
  ASSERT_LT(static_cast<size_t>(c.hasta / 8), original.size());
  std::map<std::string, int> resultados;
  for (long bit = c.desde; bit <= c.hasta; ++bit) {
    std::string volteo = std::to_string(c.trama) + ":" + std::to_string(bit);
    falla::Intercambio x;
    ASSERT_TRUE(x.Preparar({"--down-block", std::to_string(kBloqueBajada), "--flip", volteo}));
    x.Correr();
    SCOPED_TRACE("--flip " + volteo + "\n" + x.Contexto());
    int st = x.run.status;
    ASSERT_NE(st, -1000) << "the run hung";
    EXPECT_FALSE(falla::InformeSanitizer(x.run.output));
    ASSERT_GE(st, 0) << "the client died of signal " << -st;
    falla::ComprobarSinLocks(x);
    EXPECT_TRUE(falla::Perdidos(x.t.raiz, x.subida).empty() || st != 0);
    bool intacto = EnmarcadoIntacto(original, bit);
    if (intacto) {
      // The check byte catches it, the frame is asked for again, and the
      // exchange goes on as if nothing had happened.
      EXPECT_EQ(st, 0);
      EXPECT_EQ(tcp::Contar(x.t.Log(), "BAD R CRC"), 1);
    }
    if (st == 0) {
      falla::ComprobarExito(x);
    } else {
      // Broken framing: the rest of the frame arrives as loose bytes, each
      // answered as the protocol says, and the run may give up; it says so.
      EXPECT_EQ(x.t.Estado().rfind(std::to_string(st) + ": ", 0), 0u);
    }
    ++resultados[std::string(intacto ? "framing intact" : "framing broken") + ", exit " +
                 std::to_string(st)];
    if (HasFailure()) return;
  }
  std::string resumen;
  for (const auto &[r, k] : resultados) resumen += " " + r + ": " + std::to_string(k) + ";";
  printf("%s: %ld bits;%s\n", c.nombre, c.hasta - c.desde + 1, resumen.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Volteos, VolteoTest,
    ::testing::Values(Tramo{"pdh_stx", kTramaPDH, 0, 7},
                      Tramo{"pdh_payload", kTramaPDH, 8, 8 * 37 - 1},
                      Tramo{"pdh_check", kTramaPDH, 8 * 38, 8 * 39 - 1},
                      Tramo{"restart_stx", kTramaReinicio, 0, 7},
                      Tramo{"restart_payload", kTramaReinicio, 8, 8 * 6 - 1},
                      Tramo{"restart_check", kTramaReinicio, 8 * 7, 8 * 8 - 1},
                      Tramo{"block_stx", kTramaBloque1, 0, 7},
                      Tramo{"block_payload", kTramaBloque1, 8, 8 * 22 - 1},
                      Tramo{"block_check", kTramaBloque1, 8 * 23, 8 * 24 - 1}),
    [](const ::testing::TestParamInfo<Tramo> &i) { return std::string(i.param.nombre); });

}  // namespace
