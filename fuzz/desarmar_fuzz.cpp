// desarmar_fuzz.cpp - fuzz target of the download split: the input is the
// server's bundle download/output.dat. The split may only ever create plain
// files directly inside download/; the root lies two directories deep in the
// scratch area so that a name that climbs out would show up there.
#include <cstdint>
#include <string>

#include "apoyo.h"
#include "bundle.h"
#include "cliente.h"

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
  fuzz::EscribirArchivo(download + "/output.dat",
                        std::string(reinterpret_cast<const char *>(data), size));

  int r = DesarmarArchivosBIN();
  EXIGIR(r == 0 || r == 14 || r == 15);
  EXIGIR(fuzz::Listar(area) == std::vector<std::string>{"a"});
  EXIGIR(fuzz::Listar(area + "/a") == std::vector<std::string>{"b"});
  EXIGIR(fuzz::Listar(area + "/a/b") == std::vector<std::string>{"raiz"});
  EXIGIR(fuzz::Listar(g_corrida.raiz) == std::vector<std::string>{"download"});
  for (const std::string &nombre : fuzz::Listar(download)) {
    EXIGIR(fuzz::EsArchivoRegular(download + "/" + nombre));
  }
  // The bundle is gone only after a whole split.
  EXIGIR((r == 0) != fuzz::Existe(download + "/output.dat"));
  return 0;
}
