// svl2_fuzz.cpp - fuzz target of the service-code rewrite: the input is a
// transcoding file, then "\0\0" and a terminal's upload/_svl.2. The rewrite
// works in place: the file keeps its size, only the six bytes at the start
// of a line change, each into the value its code maps to, and every change
// is recorded in _1101.rpl.
#include <cstdint>
#include <string>

#include "apoyo.h"
#include "demonio.h"
#include "prestaciones.h"

using namespace rondador;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::VaciarArea();
  fuzz::PrepararRondador();
  std::string tabla, svl;
  fuzz::Partir(data, size, tabla, svl);
  const std::string archivo = fuzz::Area() + "/tabla";
  const std::string raiz = fuzz::Area() + "/raiz";
  fuzz::EscribirArchivo(archivo, tabla);
  fuzz::CrearDirectorio(raiz);
  fuzz::CrearDirectorio(raiz + "/upload");
  fuzz::EscribirArchivo(raiz + "/upload/_svl.2", svl);
  EXIGIR(parsefile(archivo.c_str()) == 0);

  EXIGIR(replaceprest(raiz.c_str()) == 0);
  std::string nuevo = fuzz::LeerArchivo(raiz + "/upload/_svl.2");
  EXIGIR(nuevo.size() == svl.size());
  std::string esperado = svl, registro;
  for (size_t i = 0; i + CODE_LEN <= svl.size(); i++) {
    if (i > 0 && svl[i - 1] != '\n') continue;
    entrada *e = lookup(svl.data() + i);
    if (e == nullptr) continue;
    esperado.replace(i, CODE_LEN, e->value.get(), CODE_LEN);
    registro.append(svl, i, CODE_LEN).append(e->value.get(), CODE_LEN).append("\n");
  }
  EXIGIR(nuevo == esperado);
  EXIGIR(fuzz::LeerArchivo(raiz + "/_1101.rpl") == registro);
  vaciartabla();
  return 0;
}
