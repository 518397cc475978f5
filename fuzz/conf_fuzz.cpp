// conf_fuzz.cpp - fuzz target of the configuration reader: the input is a
// zelta.conf in the program directory. Every value must stay within its
// field's limit and range whatever the file holds.
#include <cstdint>
#include <string>

#include "apoyo.h"
#include "cliente.h"
#include "control.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::SilenciarSalida();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::VaciarArea();
  fuzz::PrepararCliente();
  fuzz::EscribirArchivo(fuzz::Area() + "/zelta.conf",
                        std::string(reinterpret_cast<const char *>(data), size));
  const std::string argv0 = fuzz::Area() + "/zelta";
  int r = CargarConfiguracion(argv0.c_str());
  EXIGIR(r == 0 || r == -2 || r == -3);
  EXIGIR(r != 0 || (!g_config.modems.empty() && !g_config.codigointerurbano.empty()));
  for (const std::string &m : g_config.modems) EXIGIR(m.size() <= 49);
  EXIGIR(g_config.prefijo.size() <= 4);
  EXIGIR(g_config.telefono.size() <= 24);
  EXIGIR(g_config.termid.size() <= 8);
  EXIGIR(g_config.init.size() <= 49);
  EXIGIR(g_config.lockdir.size() <= 127);
  EXIGIR(g_config.pairdevprefix.size() <= 9);
  EXIGIR(g_config.codigointerurbano.size() <= 9);
  EXIGIR(g_config.reintentos >= 1);
  EXIGIR(g_config.blocksize >= 1 && g_config.blocksize <= 4000);
  EXIGIR(g_config.mdmtimeout >= 1 && g_config.mdmtimeout <= 120);
  EXIGIR(g_config.ignoreconnstr == 0 || g_config.ignoreconnstr == 1);
  EXIGIR(g_config.udpport >= 0 && g_config.udpport <= 65535);
  EXIGIR(g_config.bps != 0);
  // The modem list is walked the way the dial-up transport walks it.
  RebobinarModems();
  size_t vistos = 0;
  while (SiguienteModem() != nullptr) vistos++;
  EXIGIR(vistos == g_config.modems.size());
  return 0;
}
