// portmgr_respuesta_fuzz.cpp - fuzz target of the port-manager answer
// parser: the input is one datagram, cut where the client cuts it (199
// bytes) and ended with a NUL as the client ends it. The host field is
// given exactly the room the call names, so a write past it shows.
#include <cstdint>
#include <cstring>
#include <vector>

#include "apoyo.h"
#include "cliente.h"
#include "portmgr.h"

namespace {

constexpr size_t kTamanos[] = {0, 1, 2, 16, 75};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::PrepararCliente();
  size_t n = size < 199 ? size : 199;
  std::vector<char> texto(data, data + n);
  texto.push_back('\0');
  for (size_t tam : kTamanos) {
    std::vector<char> host(tam, '\x7f');
    unsigned short puerto = 65535;
    RespuestaPortMgr r = InterpretarRespuestaPortMgr(texto.data(), host.data(), tam, &puerto);
    if (r == kRespuestaGrant) {
      EXIGIR(puerto >= 1 && puerto <= 65534);
      EXIGIR(tam == 0 || memchr(host.data(), '\0', tam) != nullptr);
      EXIGIR(strncmp(texto.data(), "MGR;G;", 6) == 0);
    } else {
      EXIGIR(puerto == 65535);
      for (char c : host) EXIGIR(c == '\x7f');
    }
  }
  return 0;
}
