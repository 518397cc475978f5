// visible.h - text for an operator: the one rule for every byte from
// outside that the log, -s or -c shows (visible.cpp).
#pragma once

#include <cstddef>
#include <string>

// Writes to out the form of byte c fit for an operator's eyes: the byte
// itself when it is printable ASCII (0x20-0x7E), else "\xNN" in lower-case
// hex. Returns the characters written, 1 or 4. Async-signal-safe.
size_t EscaparByte(unsigned char c, char out[4]);

// texto with every byte through EscaparByte. Everything from outside that
// the log, -s or -c shows passes through this rule.
std::string TextoVisible(const std::string &texto);
