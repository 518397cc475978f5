// armar_fuzz.cpp - fuzz target of one record of the upload bundle, packed by
// ArmarArchivo from an upload/ made for the input: the input's first byte
// chooses the form (odd: binary, even: text), the rest is the file's
// content. A binary file "f" is packed beside a _svl.0 and a _zelta.bin that
// names it; text goes in as the ready-made bundle _svl.qvx, the one record
// packed without a header line. The record must be exactly what the
// format's rules give taken one byte at a time, worked out here on their
// own: text in chunks of 255 bytes whose last byte is dropped when it is
// 0x1A, 0x08 and 0x03 escaped, CR LF closing the record unless the content
// written ended with it; a binary record headed by its size and always
// closed by CR LF.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
  const std::string upload = g_corrida.raiz + "/upload";
  fuzz::CrearDirectorio(g_corrida.raiz);
  fuzz::CrearDirectorio(upload);
  // What the bundle holds around the record.
  std::string antes, despues;
  if (binario) {
    fuzz::EscribirArchivo(upload + "/_svl.0", "V1510512ABCDEFGH\r\n");
    fuzz::EscribirArchivo(upload + "/_zelta.bin", "f\r\n");
    fuzz::EscribirArchivo(upload + "/f", datos);
    antes = "[_svl.0]\r\nV1510512ABCDEFGH\r\n[_zelta.bin]\r\nf\r\n";
    despues = "[FIN]\r\n";
  } else {
    fuzz::EscribirArchivo(upload + "/_svl.qvx", datos);
  }
  EXIGIR(ArmarArchivo() == 0);
  EXIGIR(fuzz::Listar(upload) == std::vector<std::string>{"input.dat"});
  EXIGIR(fuzz::LeerArchivo(upload + "/input.dat") == antes + Esperado(datos, binario) + despues);
  return 0;
}
