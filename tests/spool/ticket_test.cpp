// ticket_test.cpp - ticket replacement: the replacement file's line forms,
// the rewrite rule, file names and modes, and that no failure after the
// rename loses the delivered ticket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "bundle.h"
#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

using namespace std::string_literals;
using prueba::Exists;
using prueba::ListDir;
using prueba::ReadFile;
using prueba::WriteFile;

class TicketTest : public ConLogEnArchivo {
 protected:
  prueba::TempDir tmp;
  std::string raiz, download, prn, tmpname;

  void SetUp() override {
    raiz = tmp / "T0001";
    download = raiz + "/download";
    prn = download + "/_ticket.prn";
    tmpname = download + "/_ticket.tmp";
    prueba::MakeDir(raiz);
    prueba::MakeDir(download);
    g_corrida.raiz = raiz;
    g_fallarAsignacionSpool = 0;
    AbrirLog(20);
  }
  void TearDown() override {
    ConLogEnArchivo::TearDown();
    g_fallarAsignacionSpool = 0;
  }
};

struct CasoTicket {
  const char *nombre;
  std::string rpl;
  std::string ticket;
  std::string esperado;
};

TEST_F(TicketTest, RewritesMarkers) {
  const std::string largo = "K=\"" + std::string(250, 'k') + "\"\r\n";
  const CasoTicket casos[] = {
      {"quoted text", "A=\"Caja 1\"\r\n", "Total %A fin", "Total Caja 1 fin"},
      {"hex pairs", "B=1B40\r\n", "%B", "\x1B\x40"},
      {"odd digit at the end", "B=1B4\r\n", "%B", "\x1B\x04"},
      {"odd digit in the middle", "G=123\r\n", "%G", "\x12\x03"},
      {"non-digit ends the value", "G=12X3\r\n", "%G", "\x12"},
      {"lower-case hex digits", "b=1b0a\n", "%b", "\x1b\x0a"},
      {"00 ends the value", "B=1B00 41\r\n", "%B", "\x1B"},
      {"NUL in quoted text ends the value", "I=\"a\0b\"\r\n"s, "%I", "a"},
      {"unclosed quote leaves the key undefined", "C=\"x\"\r\nC=\"abc\r\n", "%C", "C"},
      {"percent twice", "", "100%%", "100%"},
      {"percent before a digit", "A=\"no\"\n", "%7", "7"},
      {"percent at the end dropped", "A=\"no\"\n", "end%", "end"},
      {"keys are case-sensitive", "a=\"low\"\r\nA=\"up\"\r\n", "%a%A%Z", "lowupZ"},
      {"0xFF bytes are data", "A=\"x\"\n", "\xff\xff%A\xff", "\xff\xffx\xff"},
      {"NUL bytes in the ticket", "A=\"x\"\n", "a\0%A\0"s, "a\0x\0"s},
      {"last definition counts", "A=\"1\"\nA=\"2\"\n", "%A", "2"},
      {"empty values", "D=\r\nE=\"\"\r\n", "[%D%E]", "[]"},
      {"values are not scanned again", "E=\"%A\"\nA=\"no\"\n", "%E", "%A"},
      {"rest of a quoted line ignored", "H=\"hi\" junk\n", "%H", "hi"},
      {"non-defining lines ignored", "1=41\nAB=41\n A=41\n#=41\n", "%A%1%#", "A1#"},
      {"last line without line end", "J=\"end\"", "%J", "end"},
      {"long line read in pieces", largo, "%K", "K"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    WriteFile(raiz + "/_ZELTA.RPL", c.rpl);
    WriteFile(prn, c.ticket);
    EXPECT_EQ(ReemplazarTicket(), 0);
    EXPECT_EQ(ReadFile(prn), c.esperado);
    EXPECT_EQ(ListDir(download), (std::vector<std::string>{"_ticket.prn"}));
  }
}

TEST_F(TicketTest, ReplacementFileNames) {
  WriteFile(prn, "%A");
  WriteFile(raiz + "/_zelta.rpl", "A=\"lower\"\n");
  ASSERT_EQ(ReemplazarTicket(), 0);
  EXPECT_EQ(ReadFile(prn), "lower");

  WriteFile(prn, "%A");
  WriteFile(raiz + "/_ZELTA.RPL", "A=\"upper\"\n");
  ASSERT_EQ(ReemplazarTicket(), 0);
  EXPECT_EQ(ReadFile(prn), "upper");
  // The replacement files are read only.
  EXPECT_EQ(ReadFile(raiz + "/_zelta.rpl"), "A=\"lower\"\n");
  EXPECT_EQ(ReadFile(raiz + "/_ZELTA.RPL"), "A=\"upper\"\n");
}

TEST_F(TicketTest, NoReplacementFileLeavesTheTicketAlone) {
  WriteFile(prn, "%A%%", 0600);
  EXPECT_EQ(ReemplazarTicket(), 0);
  EXPECT_EQ(ReadFile(prn), "%A%%");
  EXPECT_EQ(prueba::FileMode(prn), 0600u);
  EXPECT_NE(Log().find("ReemplazarTicket()"), std::string::npos);
}

// A replacement file that is there but cannot be opened is not the same as
// none: the markers would stay in a ticket reported as delivered. The run
// fails with 13 before the ticket is touched.
TEST_F(TicketTest, ReplacementFileThatCannotBeOpenedGives13AndLeavesTheTicket) {
  struct Caso {
    const char *nombre;
    const char *archivo;
    std::function<void(const std::string &)> crear;
  };
  const Caso casos[] = {
      {"link in upper case", "_ZELTA.RPL",
       [](const std::string &r) { ASSERT_EQ(symlink("/etc/hostname", r.c_str()), 0); }},
      {"FIFO in lower case", "_zelta.rpl",
       [](const std::string &r) { ASSERT_EQ(mkfifo(r.c_str(), 0644), 0); }},
      {"directory in lower case", "_zelta.rpl", [](const std::string &r) { prueba::MakeDir(r); }},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    prueba::TempDir otro;
    raiz = otro / "T0002";
    prueba::MakeDir(raiz);
    prueba::MakeDir(raiz + "/download");
    g_corrida.raiz = raiz;
    const std::string ticket = raiz + "/download/_ticket.prn";
    WriteFile(ticket, "%A%%", 0600);
    const std::string rpl = raiz + "/" + c.archivo;
    c.crear(rpl);
    EXPECT_EQ(ReemplazarTicket(), 13);
    EXPECT_EQ(ReadFile(ticket), "%A%%");
    EXPECT_EQ(prueba::FileMode(ticket), 0600u);
    EXPECT_EQ(ListDir(raiz + "/download"), (std::vector<std::string>{"_ticket.prn"}));
    EXPECT_NE(Log().find("No pude abrir " + rpl + " ["), std::string::npos);
  }
}

TEST_F(TicketTest, NoTicketIsNotAFailure) {
  WriteFile(raiz + "/_ZELTA.RPL", "A=\"x\"\n");
  EXPECT_EQ(ReemplazarTicket(), 0);
  EXPECT_TRUE(ListDir(download).empty());
}

TEST_F(TicketTest, NewTicketHasMode0666AndTheUmaskIsRestored) {
  WriteFile(raiz + "/_ZELTA.RPL", "A=\"x\"\n");
  WriteFile(prn, "%A", 0600);
  mode_t vieja = umask(022);
  int res = ReemplazarTicket();
  mode_t despues = umask(vieja);
  ASSERT_EQ(res, 0);
  EXPECT_EQ(despues, 022u);
  EXPECT_EQ(prueba::FileMode(prn), 0666u);
  EXPECT_NE(Log().find("Renombrando " + prn + " a " + tmpname + "\n"), std::string::npos);
}

TEST_F(TicketTest, RenameFailureGives14AndKeepsTheTicket) {
  WriteFile(raiz + "/_ZELTA.RPL", "A=\"x\"\n");
  WriteFile(prn, "%A");
  prueba::MakeDir(tmpname);
  WriteFile(tmpname + "/occupied", "");
  EXPECT_EQ(ReemplazarTicket(), 14);
  EXPECT_EQ(ReadFile(prn), "%A");
  EXPECT_NE(Log().find("No pude crear archivo temporal: " + tmpname + " ["), std::string::npos);
}

TEST_F(TicketTest, TicketThatCannotBeReopenedIsPutBack) {
  WriteFile(raiz + "/_ZELTA.RPL", "A=\"x\"\n");
  ASSERT_EQ(symlink("/nonexistent/ticket", prn.c_str()), 0);
  EXPECT_EQ(ReemplazarTicket(), 14);
  char destino[64] = "";
  ASSERT_GT(readlink(prn.c_str(), destino, sizeof destino - 1), 0);
  EXPECT_STREQ(destino, "/nonexistent/ticket");
  EXPECT_FALSE(Exists(tmpname));
}

// Leaves exactly one free descriptor number, so the working file opens and
// the new ticket cannot be created.
TEST_F(TicketTest, TicketThatCannotBeCreatedIsPutBack) {
  WriteFile(raiz + "/_ZELTA.RPL", "A=\"x\"\n");
  WriteFile(prn, "%A delivered");
  int res;
  {
    // The root, download/ and the ticket being read may be opened; the new
    // ticket may not.
    prueba::DescriptoresLibres limite(3);
    res = ReemplazarTicket();
  }
  EXPECT_EQ(res, 14);
  EXPECT_EQ(ReadFile(prn), "%A delivered");
  EXPECT_FALSE(Exists(tmpname));
  EXPECT_NE(Log().find("No pude crear archivo temporal: " + prn + " ["), std::string::npos);
}

TEST_F(TicketTest, FailedRewriteIsPutBack) {
  WriteFile(raiz + "/_ZELTA.RPL", "A=\"0123456789\"\n");
  std::string ticket;
  for (int i = 0; i < 1500; i++) ticket += "%A";
  WriteFile(prn, ticket);
  int res;
  {
    prueba::LimiteTamano limite(8192);
    res = ReemplazarTicket();
  }
  EXPECT_EQ(res, 14);
  EXPECT_EQ(ReadFile(prn), ticket);
  EXPECT_FALSE(Exists(tmpname));
}

TEST_F(TicketTest, AllocationFailureGives18AndLeavesTheTicket) {
  WriteFile(raiz + "/_ZELTA.RPL", "A=\"x\"\nB=41\n");
  WriteFile(prn, "%A%B");
  for (int n = 1; n <= 2; n++) {
    SCOPED_TRACE(n);
    g_fallarAsignacionSpool = n;
    EXPECT_EQ(ReemplazarTicket(), 18);
    EXPECT_EQ(ReadFile(prn), "%A%B");
    EXPECT_EQ(ListDir(download), (std::vector<std::string>{"_ticket.prn"}));
  }
  EXPECT_NE(Log().find("Fatal: no hay suficiente memoria"), std::string::npos);
}

}  // namespace
