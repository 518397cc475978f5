// Log line format, level filter and folding of repeated messages.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "control.h"
#include "log_archivo.h"
#include "support.h"

namespace {

struct LogFixture : ConLogEnArchivo {
  void SetUp() override {
    AbrirLog(1);
    g_corrida.raiz = "/var/zelta/term01";
  }
  // A timestamp such as "Dec 10 09:41:07 ": upper-case letter, two
  // lower-case letters, digits where the pattern has '9'.
  static constexpr std::string_view kSello = "Aaa 99 99:99:99 ";
  static bool ConSello(const std::string &l) {
    if (l.size() < kSello.size()) return false;
    for (size_t i = 0; i < kSello.size(); i++) {
      auto c = static_cast<unsigned char>(l[i]);
      bool bien = kSello[i] == 'A'   ? isupper(c) != 0
                  : kSello[i] == 'a' ? islower(c) != 0
                  : kSello[i] == '9' ? isdigit(c) != 0
                                     : l[i] == kSello[i];
      if (!bien) return false;
    }
    return true;
  }
  // The lines with their timestamps removed.
  std::vector<std::string> Lineas() {
    std::vector<std::string> out;
    std::string t = Log();
    size_t p = 0;
    while (p < t.size()) {
      size_t e = t.find('\n', p);
      std::string l = t.substr(p, e - p);
      p = e + 1;
      if (l.empty()) {  // what a message ending in a line feed leaves
        out.push_back(l);
        continue;
      }
      EXPECT_TRUE(ConSello(l)) << l;
      out.push_back(ConSello(l) ? l.substr(kSello.size()) : l);
    }
    return out;
  }
};

TEST_F(LogFixture, TagIsTheLastComponentOfTheRoot) {
  struct Caso {
    const char *raiz;
    const char *linea;
  } casos[] = {
      {"/var/zelta/term01", "[term01]: hola"},
      {"/var/zelta/term01/", "[term01]: hola"},
      {"term01", "hola"},
      {"term01/", "hola"},
      {"./t", "[t]: hola"},
      {"/x/0123456789012345678901234567890123456789XYZ", "[012345678901234567890123456789012345678]: hola"},
  };
  for (const auto &c : casos) {
    g_corrida.raiz = c.raiz;
    ReiniciarLog();
    LogMensaje("hola", 1);
  }
  auto l = Lineas();
  ASSERT_EQ(l.size(), std::size(casos));
  for (size_t i = 0; i < l.size(); i++) EXPECT_EQ(l[i], casos[i].linea) << casos[i].raiz;
}

TEST_F(LogFixture, LevelAboveTheDebugLevelWritesNothingAndKeepsRepeatState) {
  LogMensaje("abc", 1);
  LogMensaje("abc", 1);
  LogMensaje("detalle", 2);  // filtered: must not flush the repeat
  LogFormato(2, "otro %d", 5);
  LogMensaje("xyz", 1);
  EXPECT_EQ(Lineas(), (std::vector<std::string>{"[term01]: abc", "[term01]: abc [Repetido 1 veces]",
                                                "[term01]: xyz"}));
}

TEST_F(LogFixture, RepeatsAreFoldedIntoOneCountingLine) {
  LogMensaje("abc", 1);
  LogMensaje("abc", 1);
  LogMensaje("abc", 1);
  LogMensaje("xyz", 1);
  LogMensaje("Conectando...", 1);
  LogMensaje("Conectando", 1);  // a leading part counts as a repeat
  LogMensaje("", 1);            // so does the empty message
  LogMensaje("Conectando...!", 1);
  EXPECT_EQ(Lineas(), (std::vector<std::string>{
                          "[term01]: abc", "[term01]: abc [Repetido 2 veces]", "[term01]: xyz",
                          "[term01]: Conectando...", "[term01]: Conectando... [Repetido 2 veces]",
                          "[term01]: Conectando...!"}));
}

TEST_F(LogFixture, DebugLevelZeroSilencesAndHighLevelsNeedHighDebug) {
  g_corrida.debuglevel = 0;
  LogMensaje("uno", 1);
  g_corrida.debuglevel = 20;
  LogFormato(20, "Empresa: %d", 5);
  LogFormato(21, "no %s", "sale");
  EXPECT_EQ(Lineas(), (std::vector<std::string>{"[term01]: Empresa: 5"}));
}

TEST_F(LogFixture, FormattedMessagesAreCutAt511Characters) {
  std::string largo(700, 'a');
  LogFormato(1, "%s", largo.c_str());
  auto l = Lineas();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0], "[term01]: " + std::string(511, 'a'));
}

// A failure's line: the message, then the error's text in the shape the
// call asks for; a helper's refused link and non-regular file in words, a
// system ELOOP in the system's text; errno itself is never read.
TEST_F(LogFixture, FailureLinesCarryTheTextOfTheErrorPassed) {
  const std::string enoent = strerror(ENOENT);
  const std::string eloop = strerror(ELOOP);
  errno = EACCES;
  LogFalla(1, ENOENT, "No se pudo abrir %s", "upload");
  LogFallaEntreCorchetes(1, ENOENT, "Error leyendo %s", "input.dat");
  LogFalla(1, ErrorArchivo(ELOOP), "No se lee %s", "a");
  LogFalla(1, ELOOP, "No se pudo crear %s", "b");
  LogFallaEntreCorchetes(1, ErrorArchivo(kNoRegular), "No se pudo crear %s", "c");
  LogFalla(2, ENOENT, "no sale");
  EXPECT_EQ(Lineas(), (std::vector<std::string>{
                          "[term01]: No se pudo abrir upload: " + enoent,
                          "[term01]: Error leyendo input.dat [" + enoent + "]",
                          "[term01]: No se lee a: es un enlace simbolico",
                          "[term01]: No se pudo crear b: " + eloop,
                          "[term01]: No se pudo crear c [no es un archivo regular ni un "
                          "directorio real]",
                      }));
}

// A long message keeps the error's text only as far as the 511 characters
// of any line reach.
TEST_F(LogFixture, FailureLinesAreCutAt511Characters) {
  std::string largo(505, 'a');
  LogFalla(1, ENOENT, "%s", largo.c_str());
  auto l = Lineas();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0], "[term01]: " + largo + ": " + std::string(strerror(ENOENT)).substr(0, 4));
}

TEST_F(LogFixture, MessageEndingInLineFeedLeavesAnEmptyLine) {
  LogFormato(1, "Saliendo con error %d.\n", 4);
  EXPECT_EQ(Lineas(), (std::vector<std::string>{"[term01]: Saliendo con error 4.", ""}));
}

TEST_F(LogFixture, RepeatIsFoldedAndALineAboveTheLevelIsDropped) {
  LogMensaje("antes", 1);
  LogMensaje("Ctrl-C recibido", 1);
  LogMensaje("Ctrl-C recibido", 1);
  LogMensaje("nivel alto", 9);
  LogMensaje("despues", 1);
  EXPECT_EQ(Lineas(), (std::vector<std::string>{"[term01]: antes", "[term01]: Ctrl-C recibido",
                                                "[term01]: Ctrl-C recibido [Repetido 1 veces]",
                                                "[term01]: despues"}));
}

TEST_F(LogFixture, StampMatchesStrftime) {
  time_t ahora = time(nullptr);
  struct tm tmv;
  localtime_r(&ahora, &tmv);
  char esperado[32];
  strftime(esperado, sizeof esperado, "%b %d %H:%M", &tmv);
  LogMensaje("x", 1);
  LogMensaje("y", 1);
  std::string t = Log();
  // Both lines start with the same minute as strftime (barring a tick).
  EXPECT_EQ(t.substr(0, strlen(esperado)), esperado);
  EXPECT_EQ(t.substr(t.find('\n') + 1, strlen(esperado)), esperado);
}

TEST(LogSinSalida, FirstMessageWithoutSinkFallsBackToStdout) {
  testing::internal::CaptureStdout();
  FijarSalidaLog(nullptr);
  ReiniciarLog();
  g_corrida.debuglevel = 1;
  g_corrida.raiz = "t";
  LogMensaje("hola", 1);
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(0, 44), "Archivo de log invalido, saliendo al stdout\n");
  EXPECT_NE(out.find(" hola\n"), std::string::npos);
}

}  // namespace
