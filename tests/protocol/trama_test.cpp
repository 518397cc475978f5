// trama_test.cpp - the frame layer: check bytes, building and sending
// frames, receiving frames and control bytes from a socketpair (NAK counter,
// bad check bytes, oversized frames, time-outs), and storing download data
// with its escaping removed.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "par_kaldo.h"

namespace {

using kaldo::Trama;

std::string Payload(const unsigned char *p, int n) {
  return std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(n));
}

TEST(CalcularCRC, XorOfThePayloadNeverDc1OrDc3) {
  struct Caso {
    const char *payload;
    unsigned char crc;
  } casos[] = {
      {"00000", 0x30}, {"00001", 0x31}, {"AP", 0x7E},  // XOR 0x11
      {"CP", 0x80},                                    // XOR 0x13
      {"", 0x00},      {"02102400000000000000000000", 0x05},
      {"AA", 0x00},    {"A", 0x41},
  };
  for (const Caso &c : casos) {
    EXPECT_EQ(CalcularCRC(reinterpret_cast<const unsigned char *>(c.payload), strlen(c.payload)),
              c.crc)
        << c.payload;
  }
}

class CapaTrama : public kaldo::SesionTest {
 protected:
  void SetUp() override {
    kaldo::SesionTest::SetUp();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    g_linea.fd = sv[0];
    g_sesion.naks = 0;
    g_sesion.timeout = 6;
  }
  void TearDown() override {
    close(sv[0]);
    if (sv[1] >= 0) close(sv[1]);
    g_linea.fd = -1;
    kaldo::SesionTest::TearDown();
  }
  void Poner(const std::string &s) {
    ASSERT_EQ(write(sv[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  std::string Sacar() {
    std::string s;
    char b[8192];
    ssize_t n;
    while ((n = recv(sv[1], b, sizeof b, MSG_DONTWAIT)) > 0) s.append(b, static_cast<size_t>(n));
    return s;
  }
  int sv[2] = {-1, -1};
};

TEST_F(CapaTrama, ArmarTramaBuildsTheFrameInPlace) {
  struct Caso {
    const char *payload;
    std::string trama;
    const char *log;
  } casos[] = {
      {"00000", "\x02" "00000\x03" "0", "S CRC: 48"},
      {"00001", "\x02" "00001\x03" "1", "S CRC: 49"},
      {"AP", "\x02" "AP\x03\x7e", "S CRC: 126"},
      {"CP", "\x02" "CP\x03\x80", "S CRC: -128"},
      {"", std::string("\x02\x03\x00", 3), "S CRC: 0"},
  };
  for (const auto &c : casos) {
    unsigned char buf[16];
    size_t n = strlen(c.payload);
    memcpy(buf, c.payload, n);
    EXPECT_EQ(ArmarTrama(buf, static_cast<int>(n)), static_cast<int>(n) + 3);
    EXPECT_EQ(Payload(buf, static_cast<int>(n) + 3), c.trama) << c.payload;
    EXPECT_NE(Log().find(c.log), std::string::npos) << c.log;
  }
}

TEST_F(CapaTrama, EnviarTramaWritesTheWholeFrame) {
  std::string datos(3000, 'q');
  std::string trama = Trama(datos);
  ASSERT_EQ(EnviarTrama(reinterpret_cast<const unsigned char *>(trama.data()),
                        static_cast<int>(trama.size())),
            0);
  EXPECT_EQ(Sacar(), trama);
  EXPECT_NE(Log().find("EnviarTrama(): 3003/3003"), std::string::npos);
}

TEST_F(CapaTrama, EnviarTramaReportsAWriteError) {
  close(sv[1]);
  sv[1] = -1;
  const unsigned char trama[] = {0x02, 0x41, 0x03, 0x41};
  EXPECT_EQ(EnviarTrama(trama, 4), -1);
  EXPECT_NE(Log().find("Error write(): 20 "), std::string::npos);  // EPIPE
}

TEST_F(CapaTrama, SingleBytesDriveTheNakCounter) {
  // NAKs count up, any other byte clears the count.
  struct Paso {
    unsigned char byte;
    int naks;
  } pasos[] = {{kNAK, 1}, {kNAK, 2}, {kNAK, 3}, {kACK, 0}, {kNAK, 1}, {kEOT, 0}, {0xFF, 0}};
  for (const Paso &p : pasos) {
    Poner(std::string(1, static_cast<char>(p.byte)));
    unsigned char destino[4] = {0};
    EXPECT_EQ(RecibirTrama(destino, sizeof destino), 1);
    EXPECT_EQ(destino[0], p.byte);
    EXPECT_EQ(g_sesion.naks, p.naks) << int(p.byte);
  }
}

TEST_F(CapaTrama, GoodFrameIsCopiedWithoutItsCheckByte) {
  g_sesion.naks = 4;
  Poner(Trama("0123456789") + "Z");
  unsigned char destino[64];
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), 12);
  EXPECT_EQ(Payload(destino, 12), "\x02" "0123456789\x03");
  EXPECT_EQ(g_sesion.naks, 0);
  // Nothing past the check byte was read.
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), 1);
  EXPECT_EQ(destino[0], 'Z');
}

TEST_F(CapaTrama, BadCheckByteLeavesTheDestinationAndCountsAsNak) {
  g_sesion.naks = 2;
  Poner(Trama("0123456789", true));
  unsigned char destino[64];
  memset(destino, 0xEE, sizeof destino);
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), -1);
  EXPECT_EQ(destino[0], 0xEE);
  EXPECT_EQ(g_sesion.naks, 3);
  EXPECT_NE(Log().find("BAD R CRC: "), std::string::npos);
  EXPECT_NE(Log().find(", bloquelen=12"), std::string::npos);
}

TEST_F(CapaTrama, FrameLongerThanTheCapacityIsCut) {
  Poner(Trama(std::string(30, 'k')));
  unsigned char destino[20];
  EXPECT_EQ(RecibirTrama(destino, 20), 20);
  EXPECT_EQ(Payload(destino, 20), "\x02" + std::string(19, 'k'));
}

TEST_F(CapaTrama, FrameWithoutEtxStopsAt4100Bytes) {
  // 4099 payload bytes: the receiver stops after 4100 stored bytes and
  // takes the next byte as the check byte over 4098 of them.
  std::string payload(4099, 'm');
  unsigned char crc = CalcularCRC(reinterpret_cast<const unsigned char *>(payload.data()), 4098);
  std::vector<unsigned char> destino(kMaxRecepcion);
  // The byte after the 4100 is taken as the check byte: a wrong one ...
  Poner("\x02" + payload + std::string(1, static_cast<char>(crc ^ 1)));
  EXPECT_EQ(RecibirTrama(destino.data(), kMaxRecepcion), -1);
  EXPECT_NE(Log().find("bloquelen=4100"), std::string::npos);
  // ... and the right one (then the frame is cut to the capacity).
  Poner("\x02" + payload.substr(0, 4099) + std::string(1, static_cast<char>(crc)));
  EXPECT_EQ(RecibirTrama(destino.data(), kMaxRecepcion), kMaxRecepcion);
  EXPECT_EQ(Sacar(), "");
  // A 4098-byte payload is the largest that fits with its ETX.
  std::string grande(4098, 'n');
  Poner(Trama(grande));
  std::vector<unsigned char> todo(kMaxTrama);
  EXPECT_EQ(RecibirTrama(todo.data(), kMaxTrama), kMaxTrama);
  EXPECT_EQ(todo[kMaxTrama - 1], kETX);
}

TEST_F(CapaTrama, SilenceIsATimeOutThatLeavesTheNakCounter) {
  g_sesion.timeout = 1;
  g_sesion.naks = 5;
  unsigned char destino[8];
  auto inicio = std::chrono::steady_clock::now();
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), 0);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - inicio)
                .count();
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(g_sesion.naks, 5);
  EXPECT_EQ(alarm(0), 0u) << "the timer must be disarmed";
}

TEST_F(CapaTrama, FrameCutShortIsATimeOutAndIsDropped) {
  g_sesion.timeoutresto = 1;
  g_sesion.naks = 3;
  for (std::string parte : {std::string("\x02" "0001"), Trama("0001").substr(0, 6)}) {
    Poner(parte);  // no ETX, respectively no check byte
    unsigned char destino[16];
    memset(destino, 0xEE, sizeof destino);
    EXPECT_EQ(RecibirTrama(destino, sizeof destino), 0);
    EXPECT_EQ(destino[0], 0xEE);
    EXPECT_EQ(g_sesion.naks, 3);
  }
  // The next frame is read whole.
  Poner(Trama("0002"));
  unsigned char destino[16];
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), 6);
}

TEST_F(CapaTrama, LostLineIsReported) {
  unsigned char destino[16];
  Poner("\x02" "00");
  close(sv[1]);
  sv[1] = -1;
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), -2);  // inside a frame
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), -2);  // before one
  EXPECT_EQ(alarm(0), 0u);
}

TEST_F(CapaTrama, HangupFlagMakesEveryReceiveReportALostLine) {
  Poner(Trama("0001"));
  g_linea.colgado = 1;
  unsigned char destino[16];
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), -2);
  g_linea.colgado = 0;
  EXPECT_EQ(RecibirTrama(destino, sizeof destino), 6);  // still unread
}

// ---------------------------------------------------------------- GuardarBloque

std::string Guardar(const std::vector<std::string> &bloques, std::vector<int> *cuentas = nullptr,
                    int *pendientefinal = nullptr) {
  FILE *f = tmpfile();
  int pendiente = 0;
  for (const std::string &b : bloques) {
    int n = GuardarBloque(f, reinterpret_cast<const unsigned char *>(b.data()),
                          static_cast<int>(b.size()), &pendiente);
    if (cuentas != nullptr) cuentas->push_back(n);
  }
  if (pendientefinal != nullptr) *pendientefinal = pendiente;
  std::string s;
  rewind(f);
  int c;
  while ((c = fgetc(f)) != EOF) s += static_cast<char>(c);
  fclose(f);
  return s;
}

TEST(GuardarBloque, RemovesTheEscaping) {
  struct Caso {
    const char *nombre;
    std::vector<std::string> bloques;
    std::string salida;
  } casos[] = {
      {"plain", {"hola"}, "hola"},
      {"escaped 0x08", {"A\x08\x24" "B"}, "A\x08" "B"},
      {"escaped 0x03", {"A\x08\x1f"}, "A\x03"},
      {"any partner", {"\x08\x1c\x08\x1b"}, std::string("\x00\xff", 2)},
      {"several", {"\x08\x24\x08\x24x\x08\x1f"}, "\x08\x08x\x03"},
      {"split 0x08", {"A\x08", "\x24" "B"}, "A\x08" "B"},
      {"split 0x03", {"\x08", "\x1f"}, "\x03"},
      {"split then escape", {"x\x08", "\x24\x08\x1fy"}, "x\x08\x03y"},
      {"empty block keeps pending", {"x\x08", "", "\x24"}, "x\x08"},
      {"split then split", {"\x08", "\x24\x08", "\x1f"}, "\x08\x03"},
  };
  for (const Caso &c : casos) {
    EXPECT_EQ(Guardar(c.bloques), c.salida) << c.nombre;
  }
}

TEST(GuardarBloque, CountsTheBytesOfTheBlockButNotTheCarriedPartner) {
  std::vector<int> cuentas;
  int pendiente = -1;
  EXPECT_EQ(Guardar({"ab\x08", "\x24" "cd\x08\x1f"}, &cuentas, &pendiente), "ab\x08" "cd\x03");
  EXPECT_EQ(cuentas, (std::vector<int>{2, 3}));
  EXPECT_EQ(pendiente, 0);
  Guardar({"ab\x08"}, nullptr, &pendiente);
  EXPECT_EQ(pendiente, 1);
}

}  // namespace
