// apertura_test.cpp - the session opening against a scripted server: the
// clean handshake and PDC, the PDH checks, repeated ENQ, rejected PDC, and
// the line lost at each step.
#include "par_kaldo.h"

namespace {

using kaldo::Bloque;
using kaldo::Par;
using kaldo::PDH;
using kaldo::Unidad;

class Apertura : public kaldo::SesionTest {
 protected:
  void SetUp() override {
    kaldo::SesionTest::SetUp();
    prueba::WriteFile(Subida(), "");
  }
  // The rest of a session after the opening, with nothing to carry.
  static void RestoVacio(Par &p) {
    if (!p.Reinicio(0) || p.Subida() != "" || !p.Bajada({})) return;
    p.Cierre();
  }
};

TEST(LeerPDH, SplitsTheFieldsOfA36CharacterPayload) {
  const std::string pdh = "42" "0123456789ABCDEF" "FEDCBA9876543210" "5A";
  ASSERT_EQ(LeerPDH(36, reinterpret_cast<const unsigned char *>(pdh.data())), 0);
  EXPECT_EQ(g_sesion.pdhnumero, 42);
  EXPECT_STREQ(g_sesion.pdhp, "0123456789ABCDEF");
  EXPECT_STREQ(g_sesion.pdhy, "FEDCBA9876543210");
  EXPECT_STREQ(g_sesion.pdhg, "5A");
}

TEST(LeerPDH, NumberIsTheLeadingDigitsOnly) {
  struct Caso {
    const char *inicio;
    int numero;
  } casos[] = {{"07", 7}, {"7x", 7}, {"x7", 0}, {"  ", 0}};
  for (const Caso &c : casos) {
    std::string pdh = std::string(c.inicio) + std::string(34, 'F');
    ASSERT_EQ(LeerPDH(36, reinterpret_cast<const unsigned char *>(pdh.data())), 0);
    EXPECT_EQ(g_sesion.pdhnumero, c.numero) << c.inicio;
  }
}

TEST(LeerPDH, OtherLengthsAreRejectedAndStoreNothing) {
  const std::string bueno = "11" + std::string(16, 'A') + std::string(16, 'B') + "CC";
  ASSERT_EQ(LeerPDH(36, reinterpret_cast<const unsigned char *>(bueno.data())), 0);
  const std::string otro = "22" + std::string(16, 'D') + std::string(16, 'E') + "FF" + "G";
  for (int largo : {0, 35, 37}) {
    EXPECT_EQ(LeerPDH(largo, reinterpret_cast<const unsigned char *>(otro.data())), -1);
  }
  EXPECT_EQ(g_sesion.pdhnumero, 11);
  EXPECT_STREQ(g_sesion.pdhg, "CC");
}

TEST_F(Apertura, CleanOpeningSendsPdcAndRunsTheTransfer) {
  for (int tam : {16, 1024, 4000}) {
    SCOPED_TRACE(tam);
    g_config.blocksize = tam;
    ASSERT_EQ(ReservarBufferSesion(), 0);
    std::string pdc;
    int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
      p.EnviarByte(kENQ);
      if (!p.EsperarByte(kDLE)) return;
      p.EnviarTrama(PDH());
      if (!p.EsperarByte(kACK)) return;
      p.EnviarByte(kFS);
      Unidad u = p.Leer();
      EXPECT_TRUE(u.crcok);
      pdc = u.payload;
      p.EnviarByte(kACK);
      RestoVacio(p);
    });
    EXPECT_EQ(r, 0);
    char esperado[32];
    snprintf(esperado, sizeof esperado, "02%04d%s0000", tam, "0000000000000000");
    EXPECT_EQ(pdc, esperado);
  }
  EXPECT_STREQ(g_sesion.pdhp, "0123456789ABCDEF");
  EXPECT_NE(Log().find("Recibi PDH"), std::string::npos);
  EXPECT_NE(Log().find("KALDO v2"), std::string::npos);
}

TEST_F(Apertura, BytesBeforeEnqAreIgnored) {
  int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
    p.EnviarByte(kACK);
    p.EnviarTrama("hola");
    p.EnviarByte(kNAK);
    if (!p.Apertura()) return;
    RestoVacio(p);
  });
  EXPECT_EQ(r, 0);
}

TEST_F(Apertura, BadPdhIsAnsweredWithNakUntilAGoodOneComes) {
  int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
    p.EnviarByte(kENQ);
    if (!p.EsperarByte(kDLE)) return;
    p.EnviarTrama(PDH(), true);
    if (!p.EsperarByte(kNAK)) return;
    p.EnviarByte(kENQ);  // any byte: NAK again
    if (!p.EsperarByte(kNAK)) return;
    p.EnviarTrama(PDH(), true);
    if (!p.EsperarByte(kNAK)) return;
    p.EnviarTrama(PDH());
    if (!p.EsperarByte(kACK)) return;
    p.EnviarByte(kFS);
    p.Leer();
    p.EnviarByte(kACK);
    RestoVacio(p);
  });
  EXPECT_EQ(r, 0);
  EXPECT_NE(Log().find("Snd NAK"), std::string::npos);
  EXPECT_EQ(Log().find("Recibi PDH"), std::string::npos);
}

TEST_F(Apertura, PdhOfWrongLengthEndsWith2) {
  for (size_t largo : {0u, 35u, 37u}) {
    SCOPED_TRACE(largo);
    // Straight after DLE and after a bad PDH (answered with NAK).
    for (bool antesmalo : {false, true}) {
      int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
        p.EnviarByte(kENQ);
        if (!p.EsperarByte(kDLE)) return;
        if (antesmalo) {
          p.EnviarTrama(PDH(), true);
          if (!p.EsperarByte(kNAK)) return;
        }
        p.EnviarTrama(PDH(largo));
        p.Leer();
      });
      EXPECT_EQ(r, 2);
    }
  }
  EXPECT_NE(Log().find("Rcv PDH invalida"), std::string::npos);
}

TEST_F(Apertura, RepeatedEnqIsAnsweredWithDleAgain) {
  int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
    p.EnviarByte(kENQ);
    if (!p.EsperarByte(kDLE)) return;
    p.EnviarByte(kENQ);
    if (!p.EsperarByte(kDLE)) return;
    p.EnviarTrama(PDH());
    if (!p.EsperarByte(kACK)) return;
    p.EnviarByte(kFS);
    p.Leer();
    p.EnviarByte(kACK);
    RestoVacio(p);
  });
  EXPECT_EQ(r, 0);
  EXPECT_NE(Log().find("Rcv ENQ"), std::string::npos);
}

TEST_F(Apertura, ByteOtherThanFsRepeatsTheAck) {
  int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
    p.EnviarByte(kENQ);
    if (!p.EsperarByte(kDLE)) return;
    p.EnviarTrama(PDH());
    if (!p.EsperarByte(kACK)) return;
    p.EnviarByte(kENQ);
    if (!p.EsperarByte(kACK)) return;
    p.EnviarByte(kFS);
    p.Leer();
    p.EnviarByte(kACK);
    RestoVacio(p);
  });
  EXPECT_EQ(r, 0);
}

TEST_F(Apertura, RejectedPdcIsSentAgainAndSevenNaksEndWith3) {
  // Six NAKs are survived; the seventh in a row ends the opening.
  for (int naks : {6, 7}) {
    SCOPED_TRACE(naks);
    int enviados = 0;
    int r = kaldo::Correr(IniciarProtocolo, [&](Par &p) {
      p.EnviarByte(kENQ);
      if (!p.EsperarByte(kDLE)) return;
      p.EnviarTrama(PDH());
      if (!p.EsperarByte(kACK)) return;
      p.EnviarByte(kFS);
      for (int i = 0; i < naks; i++) {
        if (p.Leer().tipo == Unidad::kTrama) enviados++;
        p.EnviarByte(kNAK);
      }
      if (naks == 7) return;
      if (p.Leer().tipo == Unidad::kTrama) enviados++;
      p.EnviarByte(kACK);
      RestoVacio(p);
    });
    EXPECT_EQ(r, naks == 7 ? 3 : 0);
    EXPECT_EQ(enviados, 7);  // the last one accepted or not
  }
}

TEST_F(Apertura, LostLineEndsTheOpeningWith2) {
  struct Caso {
    const char *nombre;
    std::function<void(Par &)> guion;
  } casos[] = {
      {"before ENQ", [](Par &) {}},
      {"after DLE", [](Par &p) {
         p.EnviarByte(kENQ);
         p.EsperarByte(kDLE);
       }},
      {"half a PDH", [](Par &p) {
         p.EnviarByte(kENQ);
         p.EsperarByte(kDLE);
         p.Enviar("\x02" "0712");
       }},
      {"before FS", [](Par &p) {
         p.EnviarByte(kENQ);
         p.EsperarByte(kDLE);
         p.EnviarTrama(PDH());
         p.EsperarByte(kACK);
       }},
      {"after PDC", [](Par &p) {
         p.EnviarByte(kENQ);
         p.EsperarByte(kDLE);
         p.EnviarTrama(PDH());
         p.EsperarByte(kACK);
         p.EnviarByte(kFS);
         p.Leer();
       }},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    EXPECT_EQ(kaldo::Correr(IniciarProtocolo, c.guion), 2);
  }
}

}  // namespace
