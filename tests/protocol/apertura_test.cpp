// apertura_test.cpp - the session opening against a scripted server: the
// clean handshake and PDC, the PDH checks, repeated ENQ, rejected PDC, and
// the line lost at each step.
#include "par_kaldo.h"

namespace {

using kaldo::guion::kApertura;
using kaldo::guion::kRestoVacio;

class Apertura : public kaldo::SesionTest {
 protected:
  void SetUp() override {
    kaldo::SesionTest::SetUp();
    prueba::WriteFile(Subida(), "");
  }
};

TEST_F(Apertura, CleanOpeningSendsPdcForTheBlockSizeAndRunsTheTransfer) {
  struct Caso {
    int tam;
    const char *pdc;
  } casos[] = {{16, "02001600000000000000000000"},
               {1024, "02102400000000000000000000"},
               {4000, "02400000000000000000000000"}};
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.tam);
    g_config.blocksize = c.tam;
    ASSERT_EQ(ReservarBufferSesion(), 0);
    Dialogos(IniciarProtocolo,
             {{"clean", ">ENQ <DLE >PDH <ACK >FS <F" + std::string(c.pdc) + " >ACK " + kRestoVacio,
               0, "Recibi PDH"}});
    EXPECT_NE(Log().find("KALDO v2"), std::string::npos);
  }
}

// Stray bytes, damaged or repeated units and rejected PDCs that the opening
// gets over.
TEST_F(Apertura, DialoguesThatStillOpenTheSession) {
  std::string seisnaks;
  for (int i = 0; i < 6; i++) seisnaks += " <PDC >NAK";
  Dialogos(IniciarProtocolo, {
      {"bytes before ENQ are ignored", ">ACK >Fhola >NAK " + kApertura + " " + kRestoVacio, 0},
      {"bad PDH is answered with NAK until a good one comes",
       ">ENQ <DLE >PDH! <NAK >ENQ <NAK >PDH! <NAK >PDH <ACK >FS <PDC >ACK " + kRestoVacio, 0,
       "Snd NAK", "Recibi PDH"},
      {"repeated ENQ is answered with DLE again",
       ">ENQ <DLE >ENQ <DLE >PDH <ACK >FS <PDC >ACK " + kRestoVacio, 0, "Rcv ENQ"},
      {"a byte other than FS repeats the ACK",
       ">ENQ <DLE >PDH <ACK >ENQ <ACK >FS <PDC >ACK " + kRestoVacio, 0},
      {"six rejected PDCs are sent again",
       ">ENQ <DLE >PDH <ACK >FS" + seisnaks + " <PDC >ACK " + kRestoVacio, 0},
  });
}

TEST_F(Apertura, DialoguesThatEndTheOpening) {
  std::string sietenaks;
  for (int i = 0; i < 7; i++) sietenaks += " <PDC >NAK";
  Dialogos(IniciarProtocolo, {
      {"seventh rejected PDC", ">ENQ <DLE >PDH <ACK >FS" + sietenaks, 3},
      // A PDH of the wrong length, straight after DLE and after a bad PDH.
      {"PDH of 0", ">ENQ <DLE >PDH0 <*", 2, "Rcv PDH invalida"},
      {"PDH of 35", ">ENQ <DLE >PDH35 <*", 2, "Rcv PDH invalida"},
      {"PDH of 37", ">ENQ <DLE >PDH37 <*", 2, "Rcv PDH invalida"},
      {"PDH of 0 after a bad one", ">ENQ <DLE >PDH! <NAK >PDH0 <*", 2, "Rcv PDH invalida"},
      {"PDH of 35 after a bad one", ">ENQ <DLE >PDH! <NAK >PDH35 <*", 2, "Rcv PDH invalida"},
      {"PDH of 37 after a bad one", ">ENQ <DLE >PDH! <NAK >PDH37 <*", 2, "Rcv PDH invalida"},
      // The line lost at each step.
      {"line lost before ENQ", "", 2},
      {"line lost after DLE", ">ENQ <DLE", 2},
      {"line lost in half a PDH", ">ENQ <DLE >STX >=0712", 2},
      {"line lost before FS", ">ENQ <DLE >PDH <ACK", 2},
      {"line lost after PDC", ">ENQ <DLE >PDH <ACK >FS <*", 2},
  });
}

}  // namespace
