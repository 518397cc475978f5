// SHA-256: the published test vectors of the standard, and the same digest
// whatever pieces the message is fed in.
#include "sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Vector {
  const char *nombre;
  std::string mensaje;
  const char *digest;
};

const Vector kVectores[] = {
    {"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    // 56 bytes: the length no longer fits the last block; padding takes another.
    {"TwoBlocks448Bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"TwoBlocks896Bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
     "mnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"MillionA", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

void PrintTo(const Vector &v, std::ostream *os) { *os << v.nombre; }

class Sha256Vectores : public ::testing::TestWithParam<Vector> {};

std::string EnTrozos(const std::string &m, size_t trozo) {
  Sha256 s;
  IniciarSha256(s);
  for (size_t i = 0; i < m.size(); i += trozo) AgregarSha256(s, m.data() + i, std::min(trozo, m.size() - i));
  unsigned char d[kTamanoSha256];
  TerminarSha256(s, d);
  return HexDigest(d);
}

TEST_P(Sha256Vectores, DigestOfThePublishedMessage) {
  const Vector &v = GetParam();
  EXPECT_EQ(Sha256Hex(v.mensaje.data(), v.mensaje.size()), v.digest);
  // Pieces that straddle the 64-byte blocks in every way give the same digest.
  for (size_t trozo : {1u, 3u, 63u, 64u, 65u, 1000u}) EXPECT_EQ(EnTrozos(v.mensaje, trozo), v.digest) << trozo;
}

INSTANTIATE_TEST_SUITE_P(Estandar, Sha256Vectores, ::testing::ValuesIn(kVectores),
                         [](const auto &caso) { return std::string(caso.param.nombre); });

TEST(Sha256, EveryLengthAroundTheBlockEdgesAgreesWithOneShot) {
  std::string m;
  for (int i = 0; i < 200; i++) m.push_back(static_cast<char>(i * 7 + 1));
  for (size_t n = 0; n <= m.size(); n++) {
    std::string parte = m.substr(0, n);
    std::string entero = Sha256Hex(parte.data(), parte.size());
    for (size_t trozo : {1u, 7u, 55u, 56u, 64u}) EXPECT_EQ(EnTrozos(parte, trozo), entero) << n << "/" << trozo;
  }
}

}  // namespace
