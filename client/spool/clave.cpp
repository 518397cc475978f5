// clave.cpp - the destination key for a short bundle header line, which
// carries only the company and activity codes: it comes from the destination
// table zelta.destinos in the program directory.
//
// Table lines: EMPRESA ACTIVIDAD CLAVE TELEFONO SERVIDOR PUERTO, separated by
// blanks or tabs; '#' starts a comment line; blank lines are skipped. The
// first well-formed line with the codes and a concrete key (not "*") gives
// the key.
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "bundle.h"
#include "control.h"

namespace {

bool SoloDigitos(const std::string &s, size_t max) {
  if (s.empty() || s.size() > max) return false;
  for (unsigned char c : s) {
    if (!isdigit(c)) return false;
  }
  return true;
}

std::vector<std::string> Campos(const std::string &linea) {
  std::vector<std::string> campos;
  size_t i = 0;
  while (i < linea.size()) {
    while (i < linea.size() && (linea[i] == ' ' || linea[i] == '\t')) i++;
    size_t inicio = i;
    while (i < linea.size() && linea[i] != ' ' && linea[i] != '\t') i++;
    if (i > inicio) campos.push_back(linea.substr(inicio, i - inicio));
  }
  return campos;
}

bool LineaBienFormada(const std::vector<std::string> &c) {
  if (c.size() != 6) return false;
  if (!SoloDigitos(c[0], 9) || !SoloDigitos(c[1], 9)) return false;
  if (c[2] != "*" && c[2].size() != 8) return false;
  if (c[3] != "-" && c[3].size() > kMaxTelefono) return false;
  if (c[4].size() > kMaxServidor) return false;
  if (!SoloDigitos(c[5], 5)) return false;
  long puerto = atol(c[5].c_str());
  return puerto >= 1 && puerto <= 65535;
}

}  // namespace

int ClaveDestino(int empresa, int actividad, std::string &clave) {
  std::string path = g_corrida.dirprog.empty() ? std::string("zelta.destinos")
                                               : UnirRuta(g_corrida.dirprog, "zelta.destinos");
  ArchivoPtr f(fopen(path.c_str(), "rb"));
  if (!f) {
    LogFormato(1, "No se pudo abrir la tabla de destinos %s [%m]", path.c_str());
    return 16;
  }
  std::string linea;
  int numero = 0;
  for (bool fin = false; !fin;) {
    int c = getc(f.get());
    if (c != EOF && c != '\n') {
      linea += static_cast<char>(c);
      continue;
    }
    fin = c == EOF;
    if (fin && linea.empty()) break;
    numero++;
    if (!linea.empty() && linea.back() == '\r') linea.pop_back();
    std::vector<std::string> campos = Campos(linea);
    linea.clear();
    if (campos.empty() || campos[0][0] == '#') continue;
    if (!LineaBienFormada(campos)) {
      LogFormato(1, "Linea %d de %s mal formada, ignorada", numero, path.c_str());
      continue;
    }
    if (atoi(campos[0].c_str()) != empresa || atoi(campos[1].c_str()) != actividad ||
        campos[2] == "*") {
      continue;
    }
    clave = campos[2];
    for (char &ch : clave) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    return 0;
  }
  LogFormato(1, "No hay clave de destino para empresa %d actividad %d en %s", empresa,
             actividad, path.c_str());
  return 16;
}
