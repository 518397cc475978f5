// desarmar_fuzz.cpp - fuzz target of the download split: the input is the
// server's bundle download/output.dat. The split may only ever create plain
// files directly inside download/ (the root lies two directories deep in the
// scratch area so that a name that climbs out would show up there), and the
// files and the result must be what the bundle rules give, worked out here
// on their own.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "apoyo.h"
#include "bundle.h"
#include "cliente.h"

namespace {

struct Reparto {
  int resultado = 0;
  std::map<std::string, std::string> archivos;
};

// The split by the bundle rules: lines of at most 198 bytes; a "[" line
// with a "]" heads a record named up to the first "," or "]", binary when
// it holds a ","; "[FIN]" in any case ends the bundle; a name that is
// empty, "." or "..", the bundle's own, or holds '/' or a control byte
// refuses the bundle; binary content is the given number of bytes after the
// header line; a text record runs up to the next "[" at the start of a line.
Reparto Esperado(const std::string &b) {
  Reparto rep;
  size_t pos = 0;
  auto linea = [&]() {
    size_t ini = pos;
    while (pos < b.size() && pos - ini < 198) {
      if (b[pos++] == '\n') break;
    }
    return b.substr(ini, pos - ini);
  };
  std::string l = linea();
  while (!l.empty()) {
    if (l[0] != '[' || l.find(']') == std::string::npos) {
      l = linea();
      continue;
    }
    size_t fin = l.find_first_of(",]", 1);
    std::string nombre = l.substr(1, fin - 1);
    size_t coma = l.find(',');
    if (nombre.size() == 3 && strncasecmp(nombre.c_str(), "FIN", 3) == 0) break;
    bool control = std::any_of(nombre.begin(), nombre.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (nombre.empty() || nombre == "." || nombre == ".." || nombre == "output.dat" ||
        nombre.find('/') != std::string::npos || control) {
      rep.resultado = 15;
      return rep;
    }
    long tamano = coma == std::string::npos ? 0 : strtol(l.substr(coma + 1).c_str(), nullptr, 10);
    if (coma != std::string::npos && tamano < 0) {
      rep.resultado = 14;
      return rep;
    }
    std::string &contenido = rep.archivos[nombre];
    contenido.clear();
    if (coma != std::string::npos) {
      size_t hay = b.size() - pos;
      size_t tomar = static_cast<unsigned long>(tamano) < hay ? static_cast<size_t>(tamano) : hay;
      contenido = b.substr(pos, tomar);
      pos += tomar;
      if (tomar < static_cast<unsigned long>(tamano)) {
        rep.resultado = 14;
        return rep;
      }
      l = linea();
      continue;
    }
    bool inicio = true;
    while (!(l = linea()).empty()) {
      if (l[0] == '[' && inicio) break;
      inicio = l.back() == '\r' || l.back() == '\n';
      contenido += l;
    }
  }
  return rep;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::VaciarArea();
  fuzz::PrepararCliente();
  const std::string &area = fuzz::Area();
  fuzz::CrearDirectorio(area + "/a");
  fuzz::CrearDirectorio(area + "/a/b");
  g_corrida.raiz = area + "/a/b/raiz";
  fuzz::CrearDirectorio(g_corrida.raiz);
  const std::string download = g_corrida.raiz + "/download";
  fuzz::CrearDirectorio(download);
  const std::string bundle(reinterpret_cast<const char *>(data), size);
  fuzz::EscribirArchivo(download + "/output.dat", bundle);

  Descriptor bajada;
  int r = DesarmarArchivosBIN(&bajada);
  EXIGIR(r == 0 || r == 14 || r == 15);
  EXIGIR(fuzz::Listar(area) == std::vector<std::string>{"a"});
  EXIGIR(fuzz::Listar(area + "/a") == std::vector<std::string>{"b"});
  EXIGIR(fuzz::Listar(area + "/a/b") == std::vector<std::string>{"raiz"});
  EXIGIR(fuzz::Listar(g_corrida.raiz) == std::vector<std::string>{"download"});
  for (const std::string &nombre : fuzz::Listar(download)) {
    EXIGIR(fuzz::EsArchivoRegular(download + "/" + nombre));
  }
  // The split leaves the bundle; after a whole split the directory it
  // hands back removes it (the run does so once the ticket is done too).
  EXIGIR(fuzz::Existe(download + "/output.dat"));
  if (r == 0) {
    EXIGIR(bajada.fd >= 0);
    EXIGIR(unlinkat(bajada.fd, "output.dat", 0) == 0);
  }

  Reparto esperado = Esperado(bundle);
  EXIGIR(r == esperado.resultado);
  std::vector<std::string> nombres;
  for (const auto &[nombre, contenido] : esperado.archivos) {
    nombres.push_back(nombre);
    EXIGIR(fuzz::LeerArchivo(download + "/" + nombre) == contenido);
  }
  if (r != 0) nombres.push_back("output.dat");
  std::sort(nombres.begin(), nombres.end());
  EXIGIR(fuzz::Listar(download) == nombres);
  return 0;
}
