// visible_test.cpp - the daemon's one escaping rule for what reaches the
// operator through its log: printable ASCII as it is, every other byte as
// \xNN, so that neither C0/C1 controls nor the bytes of a UTF-8 format or
// bidi control reach a terminal raw.
#include <gtest/gtest.h>

#include <string>

#include "acceso.h"

namespace {

using rondador::visible;

TEST(RondadorVisible, EveryByteOutsidePrintableAsciiIsEscaped) {
  struct Caso {
    const char *nombre;
    const char *texto;
    const char *visto;
  } casos[] = {
      {"printable ASCII, both ends of the range", " term01 ~!\\", " term01 ~!\\"},
      {"line feed (a forged log line)", "T1\nMay 01 FORJADA", "T1\\x0aMay 01 FORJADA"},
      {"carriage return and tab", "a\rb\tc", "a\\x0db\\x09c"},
      {"ESC (C0, a CSI sequence)", "T1\x1b[2J", "T1\\x1b[2J"},
      {"DEL", "a\x7f", "a\\x7f"},
      {"C1 CSI as UTF-8 (U+009B)", "\xc2\x9b" "2J", "\\xc2\\x9b2J"},
      {"C1 CSI as a raw byte", "\x9b" "2J", "\\x9b2J"},
      {"right-to-left override U+202E", "ab\xe2\x80\xae" "cd", "ab\\xe2\\x80\\xaecd"},
      {"left-to-right mark U+200E", "\xe2\x80\x8e", "\\xe2\\x80\\x8e"},
      {"first strong isolate U+2068", "\xe2\x81\xa8x", "\\xe2\\x81\\xa8x"},
      {"a plain letter outside ASCII (n with tilde)", "ma\xc3\xb1" "ana", "ma\\xc3\\xb1ana"},
      {"highest byte", "\xff", "\\xff"},
      {"empty", "", ""},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    EXPECT_EQ(visible(c.texto), c.visto);
  }
}

}  // namespace
