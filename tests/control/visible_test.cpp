// The one rule for text that reaches an operator: printable ASCII as it is,
// every other byte as \xNN; and the log writing through it.
#include <gtest/gtest.h>

#include <string>

#include "control.h"
#include "log_archivo.h"

namespace {

struct CasoVisible {
  const char *nombre;
  std::string texto;
  std::string visto;
};

TEST(TextoVisible, OnlyPrintableAsciiPassesRaw) {
  const CasoVisible casos[] = {
      {"printable ASCII", " Conexion OK ~!", " Conexion OK ~!"},
      {"empty", "", ""},
      {"C0 controls", std::string("a\x01\x1b[2J\tb\r\nc\0d", 13), "a\\x01\\x1b[2J\\x09b\\x0d\\x0ac\\x00d"},
      {"DEL", "a\x7f" "b", "a\\x7fb"},
      {"C1 CSI in UTF-8", "\xc2\x9b" "2J", "\\xc2\\x9b2J"},
      {"raw C1 byte", "\x9b" "31m", "\\x9b31m"},
      {"right-to-left override U+202E", "abc\xe2\x80\xae" "gpj.exe", "abc\\xe2\\x80\\xaegpj.exe"},
      {"left-to-right mark U+200E", "\xe2\x80\x8e", "\\xe2\\x80\\x8e"},
      {"isolate U+2066..U+2069", "\xe2\x81\xa6x\xe2\x81\xa9", "\\xe2\\x81\\xa6x\\xe2\\x81\\xa9"},
      {"plain UTF-8 letter", "Transmisi\xc3\xb3n", "Transmisi\\xc3\\xb3n"},
      {"backslash stays", "a\\x41", "a\\x41"},
      {"high byte", "\xff", "\\xff"},
  };
  for (const CasoVisible &c : casos) {
    SCOPED_TRACE(c.nombre);
    EXPECT_EQ(TextoVisible(c.texto), c.visto);
  }
  // Every byte: one character for 0x20-0x7E, four for the rest.
  for (int b = 0; b < 256; b++) {
    char out[4];
    size_t n = EscaparByte(static_cast<unsigned char>(b), out);
    EXPECT_EQ(n, b >= 0x20 && b <= 0x7E ? 1u : 4u) << b;
  }
}

TEST_F(ConLogEnArchivo, LogShowsOutsideBytesEscapedButKeepsTheLineEnd) {
  AbrirLog(1);
  g_corrida.raiz = "/var/zelta/term01";
  LogFormato(1, "Recibido %s", "ventas\xc2\x9b" "2J\xe2\x80\xae.txt\x1b\r\n");
  std::string t = Log();
  EXPECT_NE(t.find("Recibido ventas\\xc2\\x9b2J\\xe2\\x80\\xae.txt\\x1b\r\n"), std::string::npos) << t;
  EXPECT_EQ(t.find("\xc2\x9b"), std::string::npos);
  EXPECT_EQ(t.find("\xe2\x80\xae"), std::string::npos);
}

}  // namespace
