// sha256.h - SHA-256 (FIPS 180-4), small and self-contained: the update run
// checks every delivered file against the digest its signed manifest lists.
//
// Depends on nothing; used by the update run (actualizacion.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kTamanoSha256 = 32;

// The state of one digest being computed. Start it with IniciarSha256, feed
// it with AgregarSha256 in pieces of any size, end it with TerminarSha256.
struct Sha256 {
  uint32_t h[8];
  uint64_t total;             // bytes fed so far
  unsigned char bloque[64];   // the partial block
  size_t usados;              // bytes held in bloque
};

void IniciarSha256(Sha256 &s);
void AgregarSha256(Sha256 &s, const void *datos, size_t n);
// Writes the 32-byte digest to out. The state must be started again before
// it is used for another digest.
void TerminarSha256(Sha256 &s, unsigned char out[kTamanoSha256]);

// The digest of a buffer as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const void *datos, size_t n);
// 32 digest bytes as 64 lower-case hexadecimal digits.
std::string HexDigest(const unsigned char digest[kTamanoSha256]);
