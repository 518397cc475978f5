// reenvio.cpp - the resend run (zelta -r root): every retained ".subida"
// of the root goes to the server again, oldest first, one session each,
// and is deleted only once the server committed it. The answer is split
// into retenidos/<name without .subida>/, never into download/, which
// belongs to the terminal's current transaction. A ".dudosa" is never sent:
// the operator renames it after checking with the server.
#include <cstring>
#include <string>
#include <vector>

#include "bundle.h"
#include "line.h"
#include "run.h"

namespace {

constexpr char kSufijo[] = ".subida";

// One retained bundle. Returns 0 or the failure's code.
int ReenviarUno(const std::string &nombre) {
  const std::string base = nombre.substr(0, nombre.size() - strlen(kSufijo));
  LogFormato(1, "Reenviando %s", nombre.c_str());
  g_corrida.rutasubida = "retenidos/" + nombre;
  g_corrida.dirbajada = "retenidos/" + base;
  NombrarReenvio(nombre);
  MarcarFase(kBundleArmado);
  Destino destino;
  int r = LeerDestino(destino);
  if (r == kExito) r = ComprobarBloques();
  if (r == kExito) r = CrearDirectorioRespuesta(base);
  if (r == kExito) r = Transportar(destino);
  RetenerInterrupciones retener;
  DisponerBundle(r);
  if (r == kExito) {
    LogFormato(1, "Transaccion reenviada: %s", nombre.c_str());
    // A failed split leaves output.dat beside what was split: the answer
    // is kept either way.
    Descriptor bajada;
    r = DesarmarArchivosBIN(&bajada);
    if (r == kExito) BorrarDescarga(bajada);
  }
  MarcarFase(kSinBundle);
  return r;
}

}  // namespace

int ReenviarRetenidos(const char *argv0) {
  int r = CargarConfiguracion(argv0);
  if (r != kExito) return kErrorConfiguracion;
  std::vector<std::string> nombres = ListarRetenidos(kSufijo);
  if (nombres.empty()) LogMensaje("No hay transacciones retenidas para reenviar", 1);
  for (const std::string &n : nombres) {
    r = ReenviarUno(n);
    if (r != kExito) return r;
  }
  return kExito;
}
