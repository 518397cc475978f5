// transcodificacion_fuzz.cpp - fuzz target of the transcoding file reader:
// the input is the file given to rondador -t. Every loaded entry must be a
// six-character key and value in the bucket of its key, found by lookup,
// and the table must hold what the file's rules give, worked out here on
// their own.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "apoyo.h"
#include "demonio.h"
#include "prestaciones.h"

namespace {

using namespace rondador;

// The table by the file's rules: pieces of at most 29 bytes, each ending
// at a line feed or after 29 bytes; one entry per piece of at least 12
// bytes before its line feed (key bytes 1-6, value 7-12); a last piece
// cut short by the end of the file (no line feed, under 29 bytes) is not
// loaded, while a full piece is, even when nothing follows it; the first
// entry of a key stays.
std::map<std::string, std::string> Esperada(const std::string &f) {
  std::map<std::string, std::string> tabla;
  for (size_t i = 0; i < f.size();) {
    size_t ini = i;
    bool lf = false;
    while (i < f.size() && i - ini < PIECE_MAX) {
      if (f[i++] == '\n') {
        lf = true;
        break;
      }
    }
    if (!lf && i - ini < PIECE_MAX) break;
    size_t largo = i - ini - (lf ? 1 : 0);
    if (largo < 2 * CODE_LEN) continue;
    tabla.emplace(f.substr(ini, CODE_LEN), f.substr(ini + CODE_LEN, CODE_LEN));
  }
  return tabla;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::VaciarArea();
  fuzz::PrepararRondador();
  const std::string archivo = fuzz::Area() + "/tabla";
  const std::string contenido(reinterpret_cast<const char *>(data), size);
  fuzz::EscribirArchivo(archivo, contenido);
  int r = parsefile(archivo.c_str());
  EXIGIR(r == 0);
  std::map<std::string, std::string> esperada = Esperada(contenido), cargada;
  for (int b = 0; b < TABLE_SIZE; b++) {
    for (entrada *e = table[b].get(); e != nullptr; e = e->next.get()) {
      cargada.emplace(std::string(e->key.get(), CODE_LEN), std::string(e->value.get(), CODE_LEN));
      EXIGIR(e->key && e->value);
      EXIGIR(e->key[CODE_LEN] == '\0' && e->value[CODE_LEN] == '\0');
      EXIGIR(hash(e->key.get()) == static_cast<unsigned>(b));
      EXIGIR(lookup(e->key.get()) == e);
      EXIGIR(memchr(e->value.get(), '\n', CODE_LEN) == nullptr);
    }
  }
  EXIGIR(cargada == esperada);
  vaciartabla();
  return 0;
}
