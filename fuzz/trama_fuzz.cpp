// trama_fuzz.cpp - fuzz target of the frame receiver: the input is what the
// server sends, written into one end of a socket pair whose writer is then
// closed, so every read ends at once and the line is lost at the end. The
// first byte picks the receive capacity; the buffer has exactly that size.
//
// The receiver's time-outs come from alarm(); here alarm() only records the
// request, so the line code never touches the fuzzer's own timer and no
// signal can arrive in the middle of an input.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "apoyo.h"
#include "cliente.h"
#include "line.h"
#include "session.h"

extern "C" unsigned alarm(unsigned) { return 0; }

namespace {

// Capacities the session uses: a control byte, a short answer, a block of
// the smallest and the default size, and the largest receive.
constexpr int kCapacidades[] = {0, 1, 2, 40, 101, 1124, kMaxRecepcion};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  fuzz::PrepararCliente();
  int capacidad = kCapacidades[data[0] % (sizeof kCapacidades / sizeof kCapacidades[0])];
  data++;
  size--;
  if (size > 65536) return 0;  // more than the socket buffer holds unread

  int par[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, par) != 0) fuzz::Fallar("socketpair");
  int buf = 1 << 20;
  setsockopt(par[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  setsockopt(par[1], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  size_t escritos = 0;
  while (escritos < size) {
    ssize_t w = write(par[0], data + escritos, size - escritos);
    if (w <= 0) fuzz::Fallar("write socketpair");
    escritos += static_cast<size_t>(w);
  }
  close(par[0]);

  g_linea = EstadoLinea();
  g_linea.fd = par[1];
  g_sesion.timeout = 1;
  g_sesion.timeoutresto = 1;
  g_sesion.naks = 0;
  std::vector<unsigned char> destino(static_cast<size_t>(capacidad));
  // Each call takes at least one byte, so the line is lost after at most
  // size + 1 calls.
  static FILE *nulo = fopen("/dev/null", "w");
  int pendiente = 0;
  size_t llamadas = 0;
  for (;;) {
    EXIGIR(++llamadas <= size + 1);
    int r = RecibirTrama(destino.data(), capacidad);
    EXIGIR(r >= -2 && (r <= 1 || (r <= capacidad && r <= kMaxTrama)));
    if (r > 1) {
      EXIGIR(destino[0] == kSTX);
      // A block's data part goes to the download file with its escaping
      // removed, as the transfer does with it.
      if (r > 2) {
        int escritos = GuardarBloque(nulo, destino.data() + 1, r - 2, &pendiente);
        EXIGIR(escritos >= 0 && escritos <= r - 2);
      }
      continue;
    }
    if (r == -2 || r == 0) break;
  }
  close(par[1]);
  g_linea.fd = -1;
  return 0;
}
