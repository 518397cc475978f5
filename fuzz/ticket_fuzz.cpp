// ticket_fuzz.cpp - fuzz target of the ticket rewrite: the input is the
// replacement file _ZELTA.RPL, then "\0\0" and the delivered ticket (no
// ticket when the cut is missing). Whatever the outcome, the ticket must be
// left under its own name and the working copy must be gone.
#include <cstdint>
#include <string>

#include "apoyo.h"
#include "bundle.h"
#include "cliente.h"

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
  if (hayticket && ticket.find('%') == std::string::npos) EXIGIR(fuzz::LeerArchivo(prn) == ticket);
  return 0;
}
