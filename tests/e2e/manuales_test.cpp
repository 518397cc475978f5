// The man pages: each renders without warnings, its synopsis gives every
// form its own line, and every option in the program's usage text and every
// key the zelta.conf loader accepts has a heading of its own (a .TP
// paragraph whose tag names it), so that none is run into another's text.
// The keys are read from the loader's table in the source, so a key added
// there without its heading, its line in the example zelta.conf or its row
// in the README's table fails here.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

std::string Fuente(const std::string &rel) { return std::string(ZELTA_SOURCE_DIR) + "/" + rel; }

bool Hay(const std::string &programa) {
  return prueba::Run({"/bin/sh", "-c", "command -v " + programa}, 10000).status == 0;
}

using prueba::Lineas;

// The option a usage word or a heading names: "--version", or a dash and
// one letter ("-xN" and "-x" both name -x).
std::string Opcion(const std::string &palabra) {
  if (palabra.rfind("--", 0) == 0) return palabra;
  return palabra.substr(0, 2);
}

// Every option named in a usage text: words starting with one or two dashes
// and a letter, standing alone or after '[', '{' or '|' (a program path or
// "0-sin" names none).
std::set<std::string> OpcionesDelUso(const std::string &uso) {
  std::set<std::string> out;
  static const std::regex palabra(R"((^|[\s\[{|])(--?[A-Za-z][A-Za-z0-9-]*))");
  for (std::sregex_iterator i(uso.begin(), uso.end(), palabra), fin; i != fin; ++i) {
    out.insert(Opcion((*i)[2].str()));
  }
  return out;
}

// The first argument of a font macro line (.B, .BI, .BR, .I, .IR, .IB), as
// the reader sees it: quotes, font changes and "\-" undone.
std::string PrimerArgumento(const std::string &linea) {
  static const std::regex macro(R"(^\.(B|BI|BR|I|IR|IB|RB)\s+(.*)$)");
  std::smatch m;
  if (!std::regex_match(linea, m, macro)) return "";
  std::string resto = m[2].str(), arg;
  bool comillas = !resto.empty() && resto[0] == '"';
  for (size_t i = comillas ? 1 : 0; i < resto.size(); ++i) {
    char c = resto[i];
    if (comillas ? c == '"' : (c == ' ' || c == '\t')) break;
    if (c == '\\' && i + 1 < resto.size()) {
      char e = resto[++i];
      if (e == 'f' && i + 1 < resto.size()) {
        ++i;  // a font change: \fB, \fI, \fP, \fR
      } else if (e == '-') {
        arg += '-';
      } else if (e != '&') {
        arg += e;
      }
      continue;
    }
    arg += c;
  }
  return arg;
}

// The tags of the page's .TP paragraphs.
std::set<std::string> Encabezados(const std::string &pagina) {
  std::set<std::string> out;
  auto lineas = Lineas(pagina);
  for (size_t i = 0; i + 1 < lineas.size(); ++i) {
    if (lineas[i].rfind(".TP", 0) != 0) continue;
    std::string tag = PrimerArgumento(lineas[i + 1]);
    if (!tag.empty()) out.insert(tag[0] == '-' ? Opcion(tag) : tag);
  }
  return out;
}

// The keys of the loader's table in configuracion.cpp: {"KEY", kTipo, ...}.
std::vector<std::string> ClavesDelCargador() {
  std::string fuente = prueba::ReadFile(Fuente("client/control/configuracion.cpp"));
  std::vector<std::string> out;
  static const std::regex fila(R"re(\{"([A-Z][A-Z0-9_]*)", k[A-Z][a-z]+,)re");
  for (std::sregex_iterator i(fuente.begin(), fuente.end(), fila), fin; i != fin; ++i) {
    out.push_back((*i)[1].str());
  }
  return out;
}

// The usage text: --help, or a refused option where --help is not known.
std::string Uso(const std::string &programa) {
  auto r = prueba::Run({prueba::Bin(programa), "--help"}, 10000);
  if (r.output.find("Uso:") == std::string::npos) r = prueba::Run({prueba::Bin(programa), "-Z"}, 10000);
  EXPECT_NE(r.output.find("Uso:"), std::string::npos) << programa << ": no usage text\n" << r.output;
  return r.output;
}

const char *const kPaginas[] = {"zelta.1", "rondador.8", "zelta.conf.5", "zelta.destinos.5"};

TEST(Manuales, PagesRenderWithoutWarnings) {
  for (const char *p : kPaginas) {
    std::string pagina = Fuente(std::string("docs/man/") + p);
    auto g = prueba::Run({"/bin/sh", "-c", "groff -man -Tutf8 -ww -z \"$1\"", "sh", pagina}, 20000);
    EXPECT_EQ(g.status, 0) << p;
    EXPECT_EQ(g.output, "") << p;
    if (Hay("mandoc")) {
      auto l = prueba::Run({"/usr/bin/env", "mandoc", "-Tlint", pagina}, 20000);
      EXPECT_EQ(l.status, 0) << p << "\n" << l.output;
      EXPECT_EQ(l.output, "") << p;
    }
  }
}

// Each form of the command has its own line: a missing .br runs two forms
// into one, the program named twice on a line.
TEST(Manuales, SynopsisGivesEachFormItsOwnLine) {
  for (const char *p : {"zelta.1", "rondador.8"}) {
    std::string programa = std::string(p).substr(0, std::string(p).find('.'));
    auto r = prueba::Run({"/bin/sh", "-c", "groff -man -Tutf8 -P-cbou \"$1\"", "sh",
                          Fuente(std::string("docs/man/") + p)},
                         20000);
    ASSERT_EQ(r.status, 0) << p;
    bool dentro = false;
    int formas = 0;
    for (const auto &l : Lineas(r.output)) {
      if (!l.empty() && l[0] != ' ') dentro = l == "SYNOPSIS";
      if (!dentro) continue;
      std::regex nombre("(^|\\s)" + programa + "(\\s|$)");
      auto n = std::distance(std::sregex_iterator(l.begin(), l.end(), nombre), std::sregex_iterator());
      EXPECT_LE(n, 1) << p << ": forms run together: " << l;
      formas += static_cast<int>(n);
    }
    EXPECT_GT(formas, 0) << p << ": no synopsis";
  }
}

TEST(Manuales, EveryOptionInTheUsageHasItsHeading) {
  struct Caso {
    const char *programa, *pagina;
  } casos[] = {{"zelta", "zelta.1"}, {"rondador", "rondador.8"}};
  for (const auto &c : casos) {
    auto opciones = OpcionesDelUso(Uso(c.programa));
    EXPECT_FALSE(opciones.empty()) << c.programa;
    auto encabezados = Encabezados(prueba::ReadFile(Fuente(std::string("docs/man/") + c.pagina)));
    for (const auto &o : opciones) EXPECT_TRUE(encabezados.count(o)) << c.pagina << " has no heading for " << o;
  }
}

TEST(Manuales, EveryConfigurationKeyIsDocumented) {
  auto claves = ClavesDelCargador();
  ASSERT_FALSE(claves.empty()) << "the loader's table was not found in configuracion.cpp";
  auto encabezados = Encabezados(prueba::ReadFile(Fuente("docs/man/zelta.conf.5")));
  std::string ejemplo = prueba::ReadFile(Fuente("packaging/zelta.conf"));
  std::string readme = prueba::ReadFile(Fuente("README.md"));
  for (const auto &k : claves) {
    EXPECT_TRUE(encabezados.count(k)) << "zelta.conf(5) has no heading for " << k;
    std::regex en_ejemplo("(^|\\n)#?" + k + "=");
    EXPECT_TRUE(std::regex_search(ejemplo, en_ejemplo)) << "packaging/zelta.conf lacks " << k;
    EXPECT_NE(readme.find("| `" + k + "` |"), std::string::npos) << "README's key table lacks " << k;
  }
}

// The parsers above, on the shapes they must read and the ones they must not
// take for an option or a heading.
TEST(Manuales, ParsersReadUsageAndHeadings) {
  EXPECT_EQ(OpcionesDelUso("Uso: /opt/zelta/zelta [opciones] raiz\n-t {dialup|tcp} Transporte\n"
                           "-xN Debuglevel N (0-sin salida, 10-maximo)\n"
                           "\t/opt/zelta/zelta -s [-q|-j] [-w MINUTOS] basedir\n"
                           "\tzelta --version  Version - del paquete\n"),
            (std::set<std::string>{"-t", "-x", "-s", "-q", "-j", "-w", "--version"}));
  EXPECT_EQ(Encabezados(".TP\n.BR \\-t \" \\fIdialup\\fP|\\fItcp\\fP\"\nText\n.TP\n.BI \\-x N\n.TP\n"
                        ".B \\-\\-version\n.TP\n.B TIEMPOMAXIMO\n.B \\-r\n.PP\n.B ESPERAMODEM\n"),
            (std::set<std::string>{"-t", "-x", "--version", "TIEMPOMAXIMO"}));
}

}  // namespace
