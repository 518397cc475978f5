// armar_fuzz.cpp - fuzz target of one record of the upload bundle: the
// input's first byte chooses the form (odd: binary, even: text), the rest is
// the file's content. The record must be exactly what the format's rules
// give taken one byte at a time, worked out here on their own: text in
// chunks of 255 bytes whose last byte is dropped when it is 0x1A, 0x08 and
// 0x03 escaped, CR LF closing the record unless the content written ended
// with it; a binary record headed by its size and always closed by CR LF.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "apoyo.h"
#include "bundle.h"
#include "cliente.h"

namespace {

std::string Esperado(const std::string &datos, bool binario) {
  std::string out = binario ? "[f," + std::to_string(datos.size()) + "]\r\n" : "";
  std::string escrito;
  for (size_t i = 0; i < datos.size(); i += 255) {
    std::string trozo = datos.substr(i, 255);
    if (!binario && trozo.back() == '\x1A') trozo.pop_back();
    for (unsigned char c : trozo) {
      if (c == 0x08 || c == 0x03) {
        out += '\x08';
        c = static_cast<unsigned char>(c + 0x1C);
      }
      out += static_cast<char>(c);
    }
    escrito += trozo;
  }
  bool crlf = escrito.size() >= 2 && escrito.compare(escrito.size() - 2, 2, "\r\n") == 0;
  if (binario || !crlf) out += "\r\n";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  fuzz::VaciarArea();
  fuzz::PrepararCliente();
  bool binario = (data[0] & 1) != 0;
  const std::string datos(reinterpret_cast<const char *>(data) + 1, size - 1);
  const std::string path = fuzz::Area() + "/f";
  const std::string salida = fuzz::Area() + "/salida";
  fuzz::EscribirArchivo(path, datos);
  FILE *out = fopen(salida.c_str(), "wb");
  if (out == nullptr) fuzz::Fallar("no se pudo crear la salida");
  int area = open(fuzz::Area().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (area < 0) fuzz::Fallar("no se pudo abrir el area");
  // A binary record always has its header line; text is taken without.
  int r = AgregarArchivo(out, area, "f", binario, binario);
  close(area);
  fclose(out);
  EXIGIR(r == 0);
  EXIGIR(fuzz::LeerArchivo(salida) == Esperado(datos, binario));
  return 0;
}
