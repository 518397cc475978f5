// transcodificacion_fuzz.cpp - fuzz target of the transcoding file reader:
// the input is the file given to rondador -t. Every loaded entry must be a
// six-character key and value in the bucket of its key, found by lookup.
#include <cstdint>
#include <cstring>
#include <string>

#include "apoyo.h"
#include "demonio.h"
#include "hash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::VaciarArea();
  fuzz::PrepararRondador();
  const std::string archivo = fuzz::Area() + "/tabla";
  fuzz::EscribirArchivo(archivo, std::string(reinterpret_cast<const char *>(data), size));
  int r = parsefile(archivo.c_str());
  EXIGIR(r == 0);
  size_t entradas = 0;
  for (int b = 0; b < TABLE_SIZE; b++) {
    for (entrada *e = table[b].get(); e != nullptr; e = e->next.get()) {
      entradas++;
      EXIGIR(e->key && e->value);
      EXIGIR(e->key[CODE_LEN] == '\0' && e->value[CODE_LEN] == '\0');
      EXIGIR(hash(e->key.get()) == static_cast<unsigned>(b));
      EXIGIR(lookup(e->key.get()) == e);
      EXIGIR(memchr(e->value.get(), '\n', CODE_LEN) == nullptr);
    }
  }
  // One entry at most for every 13 bytes (key, value, line feed).
  EXIGIR(entradas <= size / (2 * CODE_LEN + 1));
  vaciartabla();
  return 0;
}
