// sha256.cpp - SHA-256 as FIPS 180-4 describes it: 64-byte blocks, the
// message padded with 0x80, zeros and its length in bits (big-endian).
#include "sha256.h"

#include <algorithm>
#include <cstring>

namespace {

const uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t Rotar(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void ProcesarBloque(Sha256 &s, const unsigned char *p) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++) {
    w[i] = static_cast<uint32_t>(p[4 * i]) << 24 | static_cast<uint32_t>(p[4 * i + 1]) << 16 |
           static_cast<uint32_t>(p[4 * i + 2]) << 8 | static_cast<uint32_t>(p[4 * i + 3]);
  }
  for (int i = 16; i < 64; i++) {
    uint32_t s0 = Rotar(w[i - 15], 7) ^ Rotar(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = Rotar(w[i - 2], 17) ^ Rotar(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = s.h[0], b = s.h[1], c = s.h[2], d = s.h[3];
  uint32_t e = s.h[4], f = s.h[5], g = s.h[6], h = s.h[7];
  for (int i = 0; i < 64; i++) {
    uint32_t t1 = h + (Rotar(e, 6) ^ Rotar(e, 11) ^ Rotar(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
    uint32_t t2 = (Rotar(a, 2) ^ Rotar(a, 13) ^ Rotar(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  s.h[0] += a;
  s.h[1] += b;
  s.h[2] += c;
  s.h[3] += d;
  s.h[4] += e;
  s.h[5] += f;
  s.h[6] += g;
  s.h[7] += h;
}

}  // namespace

void IniciarSha256(Sha256 &s) {
  static const uint32_t kInicial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(s.h, kInicial, sizeof s.h);
  s.total = 0;
  s.usados = 0;
}

void AgregarSha256(Sha256 &s, const void *datos, size_t n) {
  const unsigned char *p = static_cast<const unsigned char *>(datos);
  s.total += n;
  if (s.usados > 0) {
    size_t toma = std::min(n, sizeof s.bloque - s.usados);
    memcpy(s.bloque + s.usados, p, toma);
    s.usados += toma;
    p += toma;
    n -= toma;
    if (s.usados < sizeof s.bloque) return;
    ProcesarBloque(s, s.bloque);
    s.usados = 0;
  }
  for (; n >= sizeof s.bloque; p += sizeof s.bloque, n -= sizeof s.bloque) ProcesarBloque(s, p);
  memcpy(s.bloque, p, n);
  s.usados = n;
}

void TerminarSha256(Sha256 &s, unsigned char out[kTamanoSha256]) {
  uint64_t bits = s.total * 8;
  s.bloque[s.usados++] = 0x80;
  if (s.usados > 56) {  // no room for the length: one more block
    memset(s.bloque + s.usados, 0, sizeof s.bloque - s.usados);
    ProcesarBloque(s, s.bloque);
    s.usados = 0;
  }
  memset(s.bloque + s.usados, 0, 56 - s.usados);
  for (int i = 0; i < 8; i++) s.bloque[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  ProcesarBloque(s, s.bloque);
  for (int i = 0; i < 8; i++) {
    for (int j = 0; j < 4; j++) out[4 * i + j] = static_cast<unsigned char>(s.h[i] >> (24 - 8 * j));
  }
}

std::string HexDigest(const unsigned char digest[kTamanoSha256]) {
  static const char kCifras[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < kTamanoSha256; i++) {
    hex.push_back(kCifras[digest[i] >> 4]);
    hex.push_back(kCifras[digest[i] & 0x0f]);
  }
  return hex;
}

std::string Sha256Hex(const void *datos, size_t n) {
  Sha256 s;
  IniciarSha256(s);
  AgregarSha256(s, datos, n);
  unsigned char digest[kTamanoSha256];
  TerminarSha256(s, digest);
  return HexDigest(digest);
}
