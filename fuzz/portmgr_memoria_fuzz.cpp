// portmgr_memoria_fuzz.cpp - fuzz target of the port-manager memory file:
// the first line of the input names the destination asked for (8 key
// characters, then company and activity as two digits each, e.g.
// "ABCDEFGH0512"), the rest is zelta.portmgr in the program directory.
#include <cctype>
#include <cstdint>
#include <string>

#include "apoyo.h"
#include "cliente.h"
#include "line.h"

namespace {

int DosCifras(const std::string &s, size_t desde) {
  if (s.size() < desde + 2 || !isdigit(static_cast<unsigned char>(s[desde])) ||
      !isdigit(static_cast<unsigned char>(s[desde + 1]))) {
    return 0;
  }
  return (s[desde] - '0') * 10 + (s[desde + 1] - '0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::VaciarArea();
  fuzz::PrepararCliente();
  std::string texto(reinterpret_cast<const char *>(data), size);
  size_t fin = texto.find('\n');
  std::string pedido = texto.substr(0, fin);
  std::string memoria = fin == std::string::npos ? "" : texto.substr(fin + 1);
  std::string clave = pedido.substr(0, pedido.size() < 8 ? pedido.size() : 8);
  clave = clave.c_str();  // the key is a C string in the client
  fuzz::EscribirArchivo(fuzz::Area() + "/zelta.portmgr", memoria);
  int r = LEAUsaPortMgr(clave.c_str(), DosCifras(pedido, 8), DosCifras(pedido, 10));
  EXIGIR(r == 0 || r == 1);
  // Once recorded, a destination is found again whatever came before it.
  if (clave.find(',') == std::string::npos) {
    WriteLEAUsaPortMgr(clave.c_str(), DosCifras(pedido, 8), DosCifras(pedido, 10));
    EXIGIR(LEAUsaPortMgr(clave.c_str(), DosCifras(pedido, 8), DosCifras(pedido, 10)) == 1);
  }
  return 0;
}
