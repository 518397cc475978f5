// reenvio.cpp - the resend run (zelta -r root): every retained ".subida"
// of the root goes to the server again, oldest first, one session each,
// and is deleted only once the server committed it. The answer is split
// into a folder made for it in retenidos/ (retenidos/<name without
// .subida>/), never into download/, which belongs to the terminal's
// current transaction, and never into the root: a resend writes nothing
// outside that folder but the bundle's own ".dudosa" rename. A ".dudosa" is
// never sent: the operator renames it after checking with the server.
//
// What it sends must be what this client retained: names of the client's
// own form only, a retenidos/ that only root may write (ListarRetenidos),
// and a header line that carries this host's identification.
#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "bundle.h"
#include "line.h"
#include "run.h"

namespace {

constexpr char kSufijo[] = ".subida";

// Whether retenidos/<nombre> carries this host's identification (logged
// when not). The client ends the header line with it (AgregarEncabezado),
// after 16 bytes of _svl.0's line or fewer for a short one ("0512" and its
// key). A bundle from elsewhere stays where it is, unsent.
bool EsDeEsteEquipo(const std::string &nombre) {
  std::string linea;
  if (LeerEncabezadoRetenido(nombre, linea) != kExito) return false;
  const std::string &id = g_corrida.hostid;
  if (!id.empty() && linea.size() > id.size() &&
      strcasecmp(linea.c_str() + linea.size() - id.size(), id.c_str()) == 0) {
    return true;
  }
  LogFormato(1, "Retenido rechazado: %s no lleva la identificacion de este equipo; queda en retenidos/",
             nombre.c_str());
  return false;
}

// One retained bundle. Returns 0 or the failure's code.
int ReenviarUno(const std::string &nombre) {
  const std::string base = nombre.substr(0, nombre.size() - strlen(kSufijo));
  LogFormato(1, "Reenviando %s", nombre.c_str());
  if (!EsDeEsteEquipo(nombre)) return kExito;
  IniciarResumenBundle(nombre.c_str());
  g_corrida.rutasubida = "retenidos/" + nombre;
  ResumenEnviados(TamanoEnRaiz(g_corrida.rutasubida.c_str()));
  g_corrida.dirbajada = "retenidos/" + base;
  NombrarReenvio(nombre);
  MarcarFase(kBundleArmado);
  Destino destino;
  std::string carpeta;
  int r = LeerDestino(destino);
  if (r == kExito) r = ComprobarBloques();
  if (r == kExito) r = CrearDirectorioRespuesta(base, carpeta);
  if (r == kExito) {
    g_corrida.dirbajada = "retenidos/" + carpeta;
    ResumenBajadaEn(g_corrida.dirbajada + "/output.dat");
    r = Transportar(destino);
    ResumenRecibidos(TamanoEnRaiz((g_corrida.dirbajada + "/output.dat").c_str()));
  }
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
  LogResumen(r);
  return r;
}

}  // namespace

int ReenviarRetenidos(const char *argv0) {
  int r = ObtenerIdentificacion();
  if (r != kExito) {
    LogMensaje("FATAL: No se pudo obtener identificacion del sistema", 1);
    return r;
  }
  r = CargarConfiguracion(argv0);
  if (r != kExito) return kErrorConfiguracion;
  std::vector<std::string> nombres;
  if (r = ListarRetenidos(kSufijo, nombres); r != kExito) return r;
  if (nombres.empty()) LogMensaje("No hay transacciones retenidas para reenviar", 1);
  for (const std::string &n : nombres) {
    if (Interrumpido()) {
      // Between two bundles: the run's own line carries the interrupt.
      LogResumen(kAbortadoUsuario);
      return kAbortadoUsuario;
    }
    r = ReenviarUno(n);
    if (r != kExito) return r;
  }
  return kExito;
}
