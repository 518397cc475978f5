// ticket_fuzz.cpp - fuzz target of the ticket rewrite: the input is the
// replacement file _ZELTA.RPL, then "\0\0" and the delivered ticket (no
// ticket when the cut is missing). The ticket must be left under its own
// name, the working copy must be gone, and the rewritten ticket must be what
// the replacement rules give, worked out here on their own.
#include <cstdint>
#include <optional>
#include <string>

#include "apoyo.h"
#include "bundle.h"
#include "cliente.h"

namespace {

int Hex(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The ticket as the replacement rules make it: the file is read in pieces
// of at most 199 bytes, each a line; "K=" lines define key K, quoted or in
// hexadecimal, a value ends at its first NUL, the last definition counts.
std::string Esperado(const std::string &rpl, const std::string &ticket) {
  std::optional<std::string> tabla[256];
  for (size_t i = 0; i < rpl.size();) {
    size_t fin = i;
    while (fin < rpl.size() && fin - i < 199) {
      if (rpl[fin++] == '\n') break;
    }
    std::string l = rpl.substr(i, fin - i);
    i = fin;
    unsigned char k = static_cast<unsigned char>(l[0]);
    if (l.size() < 2 || !((k >= 'A' && k <= 'Z') || (k >= 'a' && k <= 'z')) || l[1] != '=') continue;
    std::string valor;
    if (l.size() > 2 && l[2] == '"') {
      size_t cierre = l.find('"', 3);
      if (cierre == std::string::npos) {
        tabla[k].reset();
        continue;
      }
      valor = l.substr(3, cierre - 3);
    } else {
      for (size_t j = 2; j < l.size() && Hex(static_cast<unsigned char>(l[j])) >= 0;) {
        int alto = Hex(static_cast<unsigned char>(l[j]));
        int bajo = j + 1 < l.size() ? Hex(static_cast<unsigned char>(l[j + 1])) : -1;
        valor += static_cast<char>(bajo >= 0 ? alto * 16 + bajo : alto);
        j += bajo >= 0 ? 2 : 1;
      }
    }
    tabla[k] = valor.substr(0, valor.find('\0'));
  }
  std::string salida;
  for (size_t i = 0; i < ticket.size(); i++) {
    if (ticket[i] != '%') {
      salida += ticket[i];
      continue;
    }
    if (++i == ticket.size()) break;
    unsigned char k = static_cast<unsigned char>(ticket[i]);
    salida += tabla[k] ? *tabla[k] : std::string(1, ticket[i]);
  }
  return salida;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::VaciarArea();
  fuzz::PrepararCliente();
  std::string rpl, ticket;
  bool hayticket = fuzz::Partir(data, size, rpl, ticket);
  fuzz::CrearDirectorio(g_corrida.raiz);
  const std::string download = g_corrida.raiz + "/download";
  fuzz::CrearDirectorio(download);
  fuzz::EscribirArchivo(g_corrida.raiz + "/_ZELTA.RPL", rpl);
  const std::string prn = download + "/_ticket.prn";
  if (hayticket) fuzz::EscribirArchivo(prn, ticket);

  int r = ReemplazarTicket();
  EXIGIR(r == 0);
  EXIGIR(fuzz::Existe(prn) == hayticket);
  EXIGIR(!fuzz::Existe(download + "/_ticket.tmp"));
  if (hayticket) EXIGIR(fuzz::LeerArchivo(prn) == Esperado(rpl, ticket));
  return 0;
}
