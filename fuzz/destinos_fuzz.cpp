// destinos_fuzz.cpp - fuzz target of the destination lookup: the first line
// of the input is a bundle header line, the rest the destination table
// zelta.destinos in the program directory. A destination that is found must
// fit the configuration's fields.
#include <cstdint>
#include <string>

#include "apoyo.h"
#include "cliente.h"
#include "control.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::VaciarArea();
  fuzz::PrepararCliente();
  std::string texto(reinterpret_cast<const char *>(data), size);
  size_t fin = texto.find('\n');
  std::string encabezado = texto.substr(0, fin);
  std::string tabla = fin == std::string::npos ? "" : texto.substr(fin + 1);
  fuzz::EscribirArchivo(fuzz::Area() + "/zelta.destinos", tabla);

  Destino destino;
  int r = ParsearEncabezado(encabezado, destino);
  EXIGIR(r == 0 || r == 16);
  if (r != 0) return 0;
  EXIGIR(destino.empresa >= 0 && destino.empresa <= 99);
  EXIGIR(destino.actividad >= 0 && destino.actividad <= 99);
  EXIGIR(destino.clave.empty() || destino.clave.size() == 8);

  r = BuscarDestino(destino);
  EXIGIR(r == 0 || r == 16);
  if (r == 0) {
    EXIGIR(g_config.servidor.size() <= kMaxServidor && !g_config.servidor.empty());
    EXIGIR(g_config.telefono.size() <= kMaxTelefono);
    EXIGIR(g_config.puerto != 0);
  }
  std::string clave;
  r = SuministrarClave(destino.empresa, destino.actividad, clave);
  EXIGIR(r == 0 || r == 16);
  EXIGIR(r != 0 || clave.size() == 8);
  return 0;
}
