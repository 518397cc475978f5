// visible.cpp - the one rule for every byte that reaches an operator (the
// log, the status listing of -s, the findings of -c): printable ASCII stays
// as it is, every other byte is shown as \xNN. So a control byte, a C1
// control (0x80-0x9F, which some terminals take as CSI) or any byte of a
// UTF-8 format or bidi control (U+200E, U+202E, ...) from a terminal root or
// a peer can neither forge a line nor act on the operator's terminal.
#include "control.h"

size_t EscaparByte(unsigned char c, char out[4]) {
  if (c >= 0x20 && c <= 0x7E) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  static const char kHex[] = "0123456789abcdef";
  out[0] = '\\';
  out[1] = 'x';
  out[2] = kHex[c >> 4];
  out[3] = kHex[c & 0xF];
  return 4;
}

std::string TextoVisible(const std::string &texto) {
  std::string v;
  v.reserve(texto.size());
  for (char c : texto) {
    char esc[4];
    v.append(esc, EscaparByte(static_cast<unsigned char>(c), esc));
  }
  return v;
}
