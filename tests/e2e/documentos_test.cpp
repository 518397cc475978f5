// The shell examples of README.md and docs/OPERATIONS.md, run as written,
// so that a line that no longer gives what the page shows fails here.
//
// What is run. A fenced ```sh block whose fence comes right after the line
//
//     <!-- probado -->
//
// is run; every other block (installing packages, systemctl, dpkg, the full
// build) is only read. A marker line not followed by a ```sh fence is an
// error. The marked blocks of one document run in order in one bash, as an
// operator pastes them into one terminal: a variable set or a server
// started in the background by one block is there for the next.
//
// What a line asserts. Every command line (a line ending in a backslash is
// joined to the next) must exit with 0, unless its trailing comment says
// otherwise. A trailing comment (` # ...` outside quotes) may state:
//   # exit N ...            the line exits with N (the rest is free text)
//   # N: text               its output holds "N: text" (an estado.rsp line)
//   # ... "text" ...        its output holds every double-quoted text
// Any other comment is prose for the reader and asserts only the exit
// status 0. The first line that does not give what it states ends the
// run, so one fault cannot hide behind another and nothing waits on a
// server that never came up. No here-documents.
//
// Where it runs. The documents name real places (/opt/zelta, /etc/zelta,
// /var/spool/zelta, /var/log/zelta, /tmp) and the build tree (build/bin,
// relative to the top of the source tree). The runner makes a temporary
// root R holding each of them, works in R (so build/bin/... is R's), and
// rewrites each of those absolute prefixes in the block text to the same
// path under R, in one pass (R itself may lie under /tmp). The TCP port
// the documents use, 7001, becomes a free port, in the lines and in R's
// zelta.destinos. R/build/bin and R/opt/zelta are program directories whose
// programs are links to the built ones; their zelta.conf is the build
// tree's (R/opt/zelta's: the packaged example, through R/etc/zelta) with
// REINTENTOS=1, so that a refused connection fails at once instead of after
// the retry pauses. HOME and TMPDIR point into R.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace {

using Mapa = std::vector<std::pair<std::string, std::string>>;

const char kMarca[] = "<!-- probado -->";

// A marked block: the line of its opening fence (1-based) and its lines.
struct Bloque {
  int linea = 0;
  std::vector<std::string> lineas;
};

std::string Recortar(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

using prueba::Lineas;

// Every ```sh block of `markdown` whose fence follows the marker line; the
// lines of markers that no ```sh fence follows go to `sueltas`.
std::vector<Bloque> BloquesProbados(const std::string &markdown, std::vector<int> *sueltas) {
  std::vector<Bloque> out;
  auto lineas = Lineas(markdown);
  for (size_t i = 0; i < lineas.size(); ++i) {
    if (Recortar(lineas[i]) != kMarca) continue;
    if (i + 1 >= lineas.size() || Recortar(lineas[i + 1]) != "```sh") {
      sueltas->push_back(static_cast<int>(i + 1));
      continue;
    }
    Bloque b;
    b.linea = static_cast<int>(i + 2);
    size_t j = i + 2;
    for (; j < lineas.size() && Recortar(lineas[j]) != "```"; ++j) b.lineas.push_back(lineas[j]);
    if (j == lineas.size()) sueltas->push_back(static_cast<int>(i + 1));  // fence never closed
    out.push_back(b);
    i = j;
  }
  return out;
}

// A command line split at its trailing comment (a '#' that starts a word,
// outside quotes); the comment comes without its '#', both trimmed.
std::pair<std::string, std::string> SepararComentario(const std::string &linea) {
  char comilla = 0;
  bool inicio = true;  // the next character starts a word
  for (size_t i = 0; i < linea.size(); ++i) {
    char c = linea[i];
    bool blanco = false;
    if (comilla == '\'') {
      if (c == '\'') comilla = 0;
    } else if (c == '\\') {
      ++i;
    } else if (comilla == '"') {
      if (c == '"') comilla = 0;
    } else if (c == '\'' || c == '"') {
      comilla = c;
    } else if (c == '#' && inicio) {
      return {Recortar(linea.substr(0, i)), Recortar(linea.substr(i + 1))};
    } else {
      blanco = c == ' ' || c == '\t';
    }
    inicio = blanco;
  }
  return {Recortar(linea), ""};
}

// What a trailing comment asserts.
struct Expectativa {
  int salida = 0;
  std::vector<std::string> textos;  // the output must hold each
};

Expectativa LeerExpectativa(const std::string &comentario) {
  Expectativa e;
  const std::string &c = comentario;
  size_t i = c[0] == '-' ? 1 : 0;
  size_t digitos = i;
  while (digitos < c.size() && isdigit(static_cast<unsigned char>(c[digitos]))) ++digitos;
  if (digitos > i && c.compare(digitos, 2, ": ") == 0) {
    e.textos.push_back(c);
    return e;
  }
  if (c.rfind("exit ", 0) == 0 && c.size() > 5 && isdigit(static_cast<unsigned char>(c[5]))) {
    e.salida = atoi(c.c_str() + 5);
  }
  for (size_t a = c.find('"'); a != std::string::npos; a = c.find('"', a + 1)) {
    size_t b = c.find('"', a + 1);
    if (b == std::string::npos) break;
    e.textos.push_back(c.substr(a + 1, b - a - 1));
    a = b;
  }
  return e;
}

// `texto` with every key of `mapa` found at some position replaced by its
// value, in one pass: a replacement is never rewritten again.
std::string Reubicar(const std::string &texto, const Mapa &mapa) {
  std::string out;
  for (size_t i = 0; i < texto.size();) {
    bool hecho = false;
    for (const auto &[de, a] : mapa) {
      if (texto.compare(i, de.size(), de) == 0) {
        out += a;
        i += de.size();
        hecho = true;
        break;
      }
    }
    if (!hecho) out += texto[i++];
  }
  return out;
}

std::string Citar(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The bash script for the blocks: each command line runs in the current
// shell with its output to `salidas`/N, is echoed with its place in the
// document, and is checked; the first failed check prints what was
// expected and exits 1.
std::string Guion(const std::vector<Bloque> &bloques, const std::string &documento, const Mapa &mapa,
                  const std::string &salidas) {
  std::string g = "fallo() { printf '%s\\n' \"$1\"; exit 1; }\n";
  int n = 0;
  for (const auto &b : bloques) {
    for (size_t i = 0; i < b.lineas.size(); ++i) {
      std::string linea = b.lineas[i];
      int numero = b.linea + 1 + static_cast<int>(i);
      while (!linea.empty() && linea.back() == '\\' && i + 1 < b.lineas.size()) {
        linea.pop_back();
        linea += " " + Recortar(b.lineas[++i]);
      }
      auto [orden, comentario] = SepararComentario(linea);
      if (orden.empty()) continue;
      Expectativa e = comentario.empty() ? Expectativa{} : LeerExpectativa(comentario);
      std::string lugar = documento + ":" + std::to_string(numero);
      std::string salida = Citar(salidas + "/" + std::to_string(++n));
      g += "printf '%s\\n' " + Citar("$ " + Recortar(linea)) + "\n";
      g += "{ " + Reubicar(orden, mapa) + "\n} > " + salida + " 2>&1 < /dev/null\n";
      g += "rc=$?\ncat " + salida + "\n";
      g += "[ \"$rc\" -eq " + std::to_string(e.salida) + " ] || fallo " +
           Citar(lugar + ": expected exit " + std::to_string(e.salida) + ", got ") + "\"$rc\"\n";
      for (const auto &t : e.textos) {
        g += "grep -qF -e " + Citar(t) + " " + salida + " || fallo " +
             Citar(lugar + ": the output lacks \"" + t + "\"") + "\n";
      }
    }
  }
  return g;
}

std::string Fuente(const std::string &rel) { return std::string(ZELTA_SOURCE_DIR) + "/" + rel; }

void Enlazar(const std::string &destino, const std::string &enlace) {
  ASSERT_EQ(symlink(destino.c_str(), enlace.c_str()), 0) << enlace;
}

// A zelta.conf for the runs: `base` with one connection attempt.
std::string ConfRapida(const std::string &base) {
  std::string out;
  for (const auto &l : Lineas(base)) {
    if (l.rfind("REINTENTOS=", 0) != 0) out += l + "\n";
  }
  return out + "REINTENTOS=1\n";
}

std::string CambiarPuerto(const std::string &texto, int puerto) {
  return Reubicar(texto, {{"7001", std::to_string(puerto)}});
}

// Outcome of running the marked blocks of a document.
struct Resultado {
  bool ok = false;
  std::string informe;  // every line run and what it printed, the failed check last
};

// Runs `bloques` of `documento` in a fresh temporary root, as the comment
// at the top of this file describes, and kills whatever they left running.
void Ejecutar(const std::vector<Bloque> &bloques, const std::string &documento, int plazo_ms,
              Resultado *r) {
  prueba::TempDir raiz, trabajo;
  const std::string &R = raiz.path;
  int puerto = prueba::FreePort();
  for (const char *d : {"build", "build/bin", "opt", "opt/zelta", "etc", "etc/zelta", "var",
                        "var/spool", "var/spool/zelta", "var/log", "var/log/zelta", "tmp"}) {
    prueba::MakeDir(R + "/" + d);
  }
  chmod((R + "/tmp").c_str(), 01777);
  prueba::MakeDir(R + "/var/spool/zelta/tx", 01777);
  chmod((R + "/var/spool/zelta/tx").c_str(), 01777);
  for (const char *p : {"zelta", "rondador", "kaldo-server", "portmgr-sim", "modem-sim"}) {
    Enlazar(prueba::Bin(p), R + "/build/bin/" + p);
  }
  for (const char *p : {"zelta", "rondador"}) Enlazar(prueba::Bin(p), R + "/opt/zelta/" + p);
  prueba::WriteFile(R + "/build/bin/zelta.conf", ConfRapida(prueba::ReadFile(prueba::Bin("zelta.conf"))));
  prueba::WriteFile(R + "/build/bin/zelta.destinos",
                    CambiarPuerto(prueba::ReadFile(prueba::Bin("zelta.destinos")), puerto));
  prueba::WriteFile(R + "/etc/zelta/zelta.conf",
                    ConfRapida(prueba::ReadFile(Fuente("packaging/zelta.conf"))));
  prueba::WriteFile(R + "/etc/zelta/zelta.destinos",
                    CambiarPuerto(prueba::ReadFile(Fuente("packaging/zelta.destinos")), puerto));
  for (const char *n : {"zelta.conf", "zelta.destinos"}) {
    Enlazar(R + "/etc/zelta/" + n, R + "/opt/zelta/" + n);
  }
  Mapa mapa = {{"/opt/zelta", R + "/opt/zelta"},
               {"/etc/zelta", R + "/etc/zelta"},
               {"/var/spool/zelta", R + "/var/spool/zelta"},
               {"/var/log/zelta", R + "/var/log/zelta"},
               {"/tmp", R + "/tmp"},
               {"127.0.0.1:7001", "127.0.0.1:" + std::to_string(puerto)}};
  std::string guion = trabajo / "guion.sh";
  prueba::WriteFile(guion, Guion(bloques, documento, mapa, trabajo.path));
  auto p = prueba::Spawn({"/bin/bash", "--noprofile", "--norc", guion},
                         {"HOME=" + R, "TMPDIR=" + R + "/tmp", "LC_ALL=C"}, R);
  int st = p.Wait(plazo_ms);
  // Servers and daemons the blocks started in the background share the
  // script's process group.
  kill(-p.pid, SIGKILL);
  r->informe = p.Output();
  if (st == -1000) r->informe += "(" + documento + " not done within the deadline)\n";
  r->ok = st == 0;
}

std::string Documento(const std::string &rel) { return prueba::ReadFile(Fuente(rel)); }

// The harness itself: the parts that decide what a block asserts.
TEST(Documentos, TrailingCommentStatesTheExpectation) {
  struct Caso {
    const char *linea, *orden;
    int salida;
    std::vector<std::string> textos;
  } casos[] = {
      {"cat /tmp/t/estado.rsp   # 5: No se pudo conectar", "cat /tmp/t/estado.rsp", 0,
       {"5: No se pudo conectar"}},
      {"zelta -t tcp /tmp/t  # exit 5 after the attempts", "zelta -t tcp /tmp/t", 5, {}},
      {"zelta -s b  # exit 1, \"1 subida\" and \"term01\"", "zelta -s b", 1, {"1 subida", "term01"}},
      {"zelta -c   # checks both files", "zelta -c", 0, {}},
      {"printf 'a # b' > f", "printf 'a # b' > f", 0, {}},
      {"echo \"x # y\" # \"x # y\"", "echo \"x # y\"", 0, {"x # y"}},
      {"echo a\\ #b", "echo a\\ #b", 0, {}},
      {"echo $#", "echo $#", 0, {}},
      {"cat f # -15: Error desconocido", "cat f", 0, {"-15: Error desconocido"}},
  };
  for (const auto &c : casos) {
    auto [orden, comentario] = SepararComentario(c.linea);
    EXPECT_EQ(orden, c.orden) << c.linea;
    Expectativa e = comentario.empty() ? Expectativa{} : LeerExpectativa(comentario);
    EXPECT_EQ(e.salida, c.salida) << c.linea;
    EXPECT_EQ(e.textos, c.textos) << c.linea;
  }
}

TEST(Documentos, OnlyMarkedShellBlocksAreTaken) {
  std::vector<int> sueltas;
  auto b = BloquesProbados(
      "text\n```sh\nnot marked\n```\n<!-- probado -->\n```sh\nuno\ndos\n```\n"
      "<!-- probado -->\n```\nplain fence\n```\n<!-- probado -->\n\n```sh\nblank between\n```\n",
      &sueltas);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].linea, 6);
  EXPECT_EQ(b[0].lineas, (std::vector<std::string>{"uno", "dos"}));
  EXPECT_EQ(sueltas, (std::vector<int>{10, 14}));
  EXPECT_EQ(Reubicar("/tmp/a /opt/zelta/zelta", {{"/tmp/", "/tmp/r/tmp/"}, {"/opt/zelta", "/tmp/r/o"}}),
            "/tmp/r/tmp/a /tmp/r/o/zelta");
}

// A changed flag, a changed text or a wrong exit status fails the run and
// names the document's line; a block that holds fails nothing.
TEST(Documentos, StaleLineFailsTheRun) {
  struct Caso {
    const char *bloque;
    bool ok;
    const char *informe;
  } casos[] = {
      {"mkdir -p /tmp/t/upload /tmp/t/download\nbuild/bin/zelta --version  # \"1.5.1\"", true, ""},
      {"build/bin/zelta -Z /tmp/t  # exit 255", true, ""},
      {"build/bin/zelta -Z /tmp/t", false, "doc.md:2: expected exit 0, got 255"},
      {"build/bin/zelta --version  # \"9.9.9\"", false, "doc.md:2: the output lacks \"9.9.9\""},
      {"true\nfalse  # exit 0\ntouch /tmp/nunca", false, "doc.md:3: expected exit 0, got 1"},
      {"echo '4: Otro' # 5: No se pudo conectar", false, "lacks \"5: No se pudo conectar\""},
      {"X=uno\n[ \"$X\" = uno ] && touch /tmp/hecho\nls /tmp  # \"hecho\"", true, ""},
  };
  for (const auto &c : casos) {
    Bloque b{1, Lineas(c.bloque)};
    Resultado r;
    Ejecutar({b}, "doc.md", 30000, &r);
    EXPECT_EQ(r.ok, c.ok) << c.bloque << "\n" << r.informe;
    EXPECT_NE(r.informe.find(c.informe), std::string::npos) << c.bloque << "\n" << r.informe;
    if (!c.ok) {
      EXPECT_EQ(r.informe.find("touch /tmp/nunca"), std::string::npos) << "ran past a failure";
    }
  }
}

class Paginas : public ::testing::TestWithParam<const char *> {};

TEST_P(Paginas, MarkedBlocksGiveWhatThePageShows) {
  std::vector<int> sueltas;
  auto bloques = BloquesProbados(Documento(GetParam()), &sueltas);
  EXPECT_EQ(sueltas, std::vector<int>{}) << "markers with no ```sh block after them";
  ASSERT_FALSE(bloques.empty()) << "no marked block in " << GetParam();
  Resultado r;
  Ejecutar(bloques, GetParam(), 180000, &r);
  EXPECT_TRUE(r.ok) << r.informe;
}

INSTANTIATE_TEST_SUITE_P(Documentos, Paginas, ::testing::Values("README.md", "docs/OPERATIONS.md"),
                         [](const ::testing::TestParamInfo<const char *> &pagina) {
                           return std::string(pagina.param).find("README") != std::string::npos
                                      ? std::string("Readme")
                                      : std::string("Operaciones");
                         });

}  // namespace
