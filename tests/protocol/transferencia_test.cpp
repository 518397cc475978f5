// transferencia_test.cpp - the bundle transfer against a scripted server:
// upload blocks, restarts, NAK and SYN answers, download blocks in and out
// of sequence, the closing, and the limits that end a transfer.
#include <sys/resource.h>
#include <sys/stat.h>

#include "par_kaldo.h"

namespace {

using kaldo::Bloque;
using kaldo::Par;
using kaldo::Unidad;
using kaldo::guion::kCierre;
using kaldo::guion::kSubidaVacia;

// Upload content that differs in every byte position of a block.
std::string Contenido(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++) s += static_cast<char>('A' + (i * 7 + i / 16) % 26);
  return s;
}

// The server's side of an upload, in dialogue notation: each block of
// `datos` from `primero` on taken and ACKed, then the client's EOT answered
// with SYN.
std::string SubidaDe(const std::string &datos, int primero) {
  std::string s;
  for (size_t i = static_cast<size_t>(primero); i * 16 < datos.size(); i++) {
    s += " <F" + Bloque(static_cast<int>(i), datos.substr(i * 16, 16)) + " >ACK";
  }
  return s + " <EOT >SYN";
}

class Transferencia : public kaldo::SesionTest {};

TEST_F(Transferencia, CleanExchangeSendsTheBundleAndStoresTheDownloadUnescaped) {
  std::string datos = Contenido(40);
  prueba::WriteFile(Subida(), datos);
  std::string recibido;
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    if (!p.Reinicio(0)) return;
    recibido = p.Subida();
    // Escapes: 0x08 0x24 is 0x08, 0x08 0x1F is 0x03; the second pair is
    // split between two blocks.
    if (!p.Bajada({"AB\x08\x24", "C\x08", "\x1f" "D"})) return;
    p.Cierre();
  });
  EXPECT_EQ(r, 0);
  EXPECT_EQ(recibido, datos);
  EXPECT_EQ(prueba::ReadFile(Bajada()), std::string("AB\x08" "C\x03" "D"));
  EXPECT_EQ(prueba::FileMode(Bajada()), 0660u);
  EXPECT_NE(Log().find("Transaction commited"), std::string::npos);
}

// How the upload file is cut into blocks: the block count follows the size,
// a file of whole blocks ends without an empty block, and an empty file goes
// straight to the client's EOT.
TEST_F(Transferencia, UploadIsCutIntoNumberedBlocks) {
  struct Caso {
    const char *nombre;
    long largo;
    int bloques;
  } casos[] = {
      {"empty", 0, 0}, {"one byte", 1, 1}, {"two whole blocks", 32, 2},
      {"two blocks and a bit", 33, 3},
  };
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    std::string datos = Contenido(static_cast<size_t>(c.largo));
    prueba::WriteFile(Subida(), datos);
    std::vector<std::string> tramas;
    int r = kaldo::Correr(Transferir, [&](Par &p) {
      if (!p.Reinicio(0)) return;
      for (;;) {
        Unidad u = p.Leer();
        if (u.tipo != Unidad::kTrama) {
          EXPECT_TRUE(u.tipo == Unidad::kByte && u.byte == kEOT);
          break;
        }
        tramas.push_back(u.payload);
        p.EnviarByte(kACK);
      }
      p.EnviarByte(kSYN);
      if (!p.EsperarTrama(Bloque(0))) return;
      p.EnviarByte(kEOT);
      p.Cierre();
    });
    EXPECT_EQ(r, 0);
    ASSERT_EQ(tramas.size(), static_cast<size_t>(c.bloques));
    for (int i = 0; i < c.bloques; i++) {
      EXPECT_EQ(tramas[static_cast<size_t>(i)], Bloque(i, datos.substr(static_cast<size_t>(i) * 16, 16)));
    }
  }
}

// Without its bundle the session must not reach a commit: an empty upload
// would be taken by the server as a transaction.
TEST_F(Transferencia, UnreadableUploadBundleEndsWith13WithoutUploading) {
  struct Caso {
    const char *nombre;
    bool directorio;  // input.dat is a directory, which is not opened as a file
    const char *log;
  } casos[] = {{"missing", false, "FATAL: abriendo "}, {"a directory", true, "FATAL: abriendo "}};
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    if (c.directorio) prueba::MakeDir(Subida());
    bool eot = false;
    int r = kaldo::Correr(Transferir, [&](Par &p) {
      if (!p.Reinicio(0)) return;
      Unidad u = p.Leer();
      eot = u.tipo == Unidad::kByte && u.byte == kEOT;
    });
    EXPECT_EQ(r, 13);
    EXPECT_FALSE(eot);
    EXPECT_NE(Log().find(c.log + Subida()), std::string::npos);
    EXPECT_FALSE(prueba::Exists(Bajada()));
  }
}

TEST_F(Transferencia, RestartAnswerPicksTheFirstUploadBlock) {
  std::string datos = Contenido(80);
  prueba::WriteFile(Subida(), datos);
  std::string recibido;
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    if (!p.Reinicio(3)) return;
    recibido = p.Subida(3);
    if (!p.Bajada({})) return;
    p.Cierre();
  });
  EXPECT_EQ(r, 0);
  EXPECT_EQ(recibido, datos.substr(48));
}

// The restart answer is read by its leading digits; the block count itself
// (the server holds every block) leaves nothing to send, and a block past
// it is refused like a damaged frame: SYN again, never a jump.
TEST_F(Transferencia, RestartAnswerIsReadByItsLeadingDigits) {
  std::string datos = Contenido(40);
  prueba::WriteFile(Subida(), datos);
  struct Caso {
    std::string respuesta;
    int primero;  // -1: straight to EOT; -2: refused, SYN again
  } casos[] = {{"00002", 2}, {"1", 1},       {"00001xyz", 1}, {"abc", 0},
               {"", 0},      {"00003", -1},  {"00004", -2},   {"99999", -2},
               {"11000", -2}};
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.respuesta);
    Unidad primera;
    int r = kaldo::Correr(Transferir, [&](Par &p) {
      if (!p.EsperarByte(kSYN)) return;
      p.EnviarTrama(c.respuesta);
      primera = p.Leer();
    });
    EXPECT_EQ(r, 2);  // the script hangs up after the first answer
    if (c.primero == -1) {
      EXPECT_TRUE(primera.tipo == Unidad::kByte && primera.byte == kEOT);
    } else if (c.primero == -2) {
      EXPECT_TRUE(primera.tipo == Unidad::kByte && primera.byte == kSYN);
      EXPECT_NE(Log().find("Bloque de reinicio " + std::to_string(atoi(c.respuesta.c_str())) +
                           " fuera del paquete (3 bloques)"),
                std::string::npos);
    } else {
      size_t desde = static_cast<size_t>(c.primero) * 16;
      EXPECT_EQ(primera.payload, Bloque(c.primero, datos.substr(desde, 16)));
    }
  }
}

// Two flipped bits in the same position pass the check byte ("00000" read
// as "11000"): a server that keeps naming a block past the bundle gets
// nothing uploaded and no EOT, and seven refusals end the session with 3.
TEST_F(Transferencia, RestartAnswerPastTheBundleNeverEndsTheUpload) {
  prueba::WriteFile(Subida(), Contenido(40));
  int syns = 0;
  bool otra = false;
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    for (;;) {
      Unidad u = p.Leer();
      if (u.tipo == Unidad::kNada) return;
      if (u.tipo != Unidad::kByte || u.byte != kSYN) {
        otra = true;
        return;
      }
      syns++;
      p.EnviarTrama("11000");
    }
  });
  EXPECT_EQ(r, 3);
  EXPECT_EQ(syns, 7);
  EXPECT_FALSE(otra) << "the client sent something other than SYN";
}

TEST_F(Transferencia, NakRepeatsTheBlockAndSynRestartsTheUpload) {
  std::string datos = Contenido(48);
  prueba::WriteFile(Subida(), datos);
  const std::string b0 = Bloque(0, datos.substr(0, 16)), b1 = Bloque(1, datos.substr(16, 16));
  Dialogos(Transferir, {{"NAK, then SYN",
                         "<SYN >F00000 <F" + b0 + " >NAK <F" + b0 + " >ACK <F" + b1 +
                             " >SYN <SYN >F00001" + SubidaDe(datos, 1) + " <F00000 >EOT " + kCierre,
                         0, "Recibi NAK"}});
  EXPECT_NE(Log().find("Recibi SYN"), std::string::npos);
}

// The end of the upload and the download, with an empty bundle: the
// download request, then blocks repeated, skipped, damaged or too large for
// the session buffer (refused like a bad frame, never stored cut short and
// committed), and the wait for the commit.
TEST_F(Transferencia, DownloadDialogues) {
  prueba::WriteFile(Subida(), "");
  const std::string pedido = kSubidaVacia + " <F00000";
  const std::string grande(200, 'g');  // the buffer holds 116 bytes
  Dialogos(Transferir, {
      {"answer other than SYN to the end of the upload is logged and EOT repeated",
       "<SYN >F00000 <EOT >x99 <EOT >SYN <F00000 >EOT " + kCierre, 0, "Est[4]-Rcv[-103]"},
      {"duplicate block is acknowledged but stored once",
       pedido + " >F00000uno <ACK >F00000uno <ACK >F00001dos <ACK >EOT " + kCierre, 0,
       "E6: Blk viejo", "", "unodos"},
      {"skipped block is resynchronised and requested again",
       pedido + " >F00000uno <ACK >F00002tres <SYN >SYN <F00001 >F00001dos <ACK >EOT " + kCierre, 0,
       "E6: Blk fuera de seq", "", "unodos"},
      {"bad frame is answered with NAK until it comes good",
       pedido + " >F00000uno! <NAK >F00000uno! <NAK >F00000uno <ACK >F00001dos! <NAK >F00001dos <ACK"
                " >EOT " + kCierre,
       0, "", "", "unodos"},
      {"frame too large for the buffer is refused",
       pedido + " >F00000" + grande + " <NAK >F00000chico <ACK >F00001" + grande +
           " <NAK >F00001otro <ACK >EOT " + kCierre,
       0, "", "", "chicootro"},
      {"commit is waited for while the server sends other bytes",
       pedido + " >EOT <EOT >ACK <EOT >DC1 <ETB", 0},
  });
}

// A server that insists on a frame too large ends the session with too many
// NAKs, uncommitted.
TEST_F(Transferencia, DownloadFrameTooLargeSevenTimesEndsWith3Uncommitted) {
  prueba::WriteFile(Subida(), "");
  const std::string grande(200, 'g');
  bool eot = false;
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    if (!p.Reinicio(0) || p.Subida() != "") return;
    if (!p.EsperarTrama(Bloque(0))) return;
    for (int i = 0; i < 6; i++) {
      p.EnviarTrama(Bloque(0, grande));
      if (!p.EsperarByte(kNAK)) return;
    }
    p.EnviarTrama(Bloque(0, grande));  // the seventh bad frame in a row
    Unidad u = p.Leer();
    eot = u.tipo == Unidad::kByte && u.byte == kEOT;
  });
  EXPECT_EQ(r, 3);
  EXPECT_FALSE(eot);
}

TEST_F(Transferencia, EarlyEotGivesAnEmptyDownloadAndStillCommits) {
  prueba::WriteFile(dir / "download/output.dat", "old contents");
  prueba::WriteFile(Subida(), "x");
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    if (!p.Reinicio(0) || p.Subida() != "x") return;
    if (!p.Bajada({})) return;
    p.Cierre();
  });
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(prueba::Exists(Bajada()));
  EXPECT_EQ(prueba::ReadFile(Bajada()), "");
}

TEST_F(Transferencia, SevenNaksInARowEndTheTransferWith3) {
  prueba::WriteFile(Subida(), Contenido(20));
  int vistas = 0;
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    if (!p.Reinicio(0)) return;
    for (;;) {
      Unidad u = p.Leer();
      if (u.tipo != Unidad::kTrama) break;
      vistas++;
      p.EnviarByte(kNAK);
    }
  });
  EXPECT_EQ(r, 3);
  EXPECT_EQ(vistas, 7);
}

// Closing at each point of the dialogue: before the restart answer, in the
// middle of the upload, while downloading, before the commit.
TEST_F(Transferencia, LostLineEndsTheTransferWith2) {
  std::string datos = Contenido(40);
  prueba::WriteFile(Subida(), datos);
  const std::string subida = "<SYN >F00000" + SubidaDe(datos, 0);
  Dialogos(Transferir, {
      {"before restart", "<SYN", 2},
      {"mid upload", "<SYN >F00000 <*", 2},
      {"mid download", subida + " <F00000 >F00000uno <ACK", 2},
      {"before commit", subida + " <F00000 >F00000uno <ACK >EOT <EOT", 2},
  });
}

TEST_F(Transferencia, DownloadFileThatCannotBeCreatedEndsWith2) {
  prueba::WriteFile(Subida(), "");
  rmdir((dir / "download").c_str());
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    if (!p.Reinicio(0)) return;
    p.Subida();
  });
  EXPECT_EQ(r, 2);
  EXPECT_NE(Log().find("FATAL: creando " + Bajada()), std::string::npos);
}

// A download that does not reach the disk must not be committed: the client
// gives up before its closing EOT.
TEST_F(Transferencia, DownloadWriteFailureIsNotCommitted) {
  prueba::WriteFile(Subida(), "");
  g_corrida.debuglevel = 1;  // keep the log below the file size limit
  bool commit = false;
  int r;
  {
    prueba::LimiteTamano limite(1000);
    r = kaldo::Correr(Transferir, [&](Par &p) {
      if (!p.Reinicio(0)) return;
      p.Subida();
      std::vector<std::string> bloques(40, std::string(100, 'z'));
      if (!p.Bajada(bloques)) return;
      Unidad u = p.Leer();
      commit = u.tipo == Unidad::kByte && u.byte == kEOT;
    });
  }
  EXPECT_EQ(r, 14);  // a full disk is no lost carrier
  EXPECT_FALSE(commit);
  EXPECT_NE(Log().find("FATAL: escribiendo"), std::string::npos);
}

// A write that fails while a block is being stored (the file buffer filled
// up in the middle of the download) stops the transfer at that block: the
// block is not acknowledged as if it were on disk, and nothing is committed.
TEST_F(Transferencia, DownloadWriteFailureMidDownloadStopsAtThatBlock) {
  prueba::WriteFile(Subida(), "");
  g_corrida.debuglevel = 1;  // keep the log below the file size limit
  const int servidos = 200;  // 20000 bytes, far past the limit and the buffer
  int acks = 0;
  bool commit = false;
  int r;
  {
    prueba::LimiteTamano limite(1000);
    r = kaldo::Correr(Transferir, [&](Par &p) {
      if (!p.Reinicio(0)) return;
      p.Subida();
      if (!p.EsperarTrama(Bloque(0))) return;
      for (int i = 0; i < servidos; i++) {
        p.EnviarTrama(Bloque(i, std::string(100, 'z')));
        Unidad u = p.Leer();
        if (u.tipo != Unidad::kByte || u.byte != kACK) return;
        acks++;
      }
      p.EnviarByte(kEOT);
      Unidad u = p.Leer();
      commit = u.tipo == Unidad::kByte && u.byte == kEOT;
    });
  }
  EXPECT_EQ(r, 14);
  EXPECT_GT(acks, 0);
  EXPECT_LT(acks, servidos);
  EXPECT_FALSE(commit);
  EXPECT_NE(Log().find("FATAL: escribiendo " + Bajada()), std::string::npos);
}

// Block numbers have five digits: block 100000 would come as "10000..." and
// be taken for an old block. The download ends with 14 once the counter
// reaches 100000, never with a truncated 0.
TEST_F(Transferencia, DownloadOfMoreThan99999BlocksEndsWith14) {
  prueba::WriteFile(Subida(), "");
  g_corrida.debuglevel = 1;
  long servidos = 0;
  bool commit = false;
  int r = kaldo::Correr(Transferir, [&](Par &p) {
    p.plazoms = 5000;
    if (!p.Reinicio(0)) return;
    p.Subida();
    if (!p.EsperarTrama(Bloque(0))) return;
    for (long i = 0; i < 100005; i++) {
      char num[16];
      snprintf(num, sizeof num, "%05ld", i % 100000);
      p.EnviarTrama(std::string(num) + "x");
      servidos++;
      Unidad u = p.Leer();
      if (u.tipo != Unidad::kByte || u.byte != kACK) {
        commit = u.tipo == Unidad::kByte && u.byte == kEOT;
        return;
      }
    }
    p.EnviarByte(kEOT);
    commit = p.Leer().byte == kEOT;
  });
  EXPECT_EQ(r, 14);
  EXPECT_EQ(servidos, 100000);
  EXPECT_FALSE(commit);
  EXPECT_EQ(prueba::ReadFile(Bajada()).size(), 100000u);
  EXPECT_NE(Log().find("FATAL: la descarga pasa de 99999 bloques"), std::string::npos);
}

}  // namespace
