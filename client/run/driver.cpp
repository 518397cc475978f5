// driver.cpp - the run driver that takes one exchange from the locks to the
// status file: host identification, the exchange, the choice of transport
// and the check of the bundle's block count.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <utility>

#include "bundle.h"
#include "line.h"
#include "run.h"
#include "session.h"

namespace {

// Before anything else of a run: the log sink, the terminal root opened, the
// instance lock and the exit handler that removes it. Returns 0 or the code
// to end with.
int PrepararCorrida() {
  if (!g_corrida.archivolog.empty()) {
    FILE *f = AbrirLog(g_corrida.archivolog.c_str());
    if (f == nullptr) {
      printf("Imposible abrir log %s\n", g_corrida.archivolog.c_str());
      return kArchivoNoAbierto;
    }
    FijarSalidaLog(f);
  } else {
    FijarSalidaLog(stdout);
  }
  // The root is opened once, before anything is made in it: retention,
  // the status file and the interrupt handler reach it through this.
  Descriptor raiz;
  if (int e = AbrirRaiz(g_corrida.raiz, raiz); e != 0) {
    LogFalla(1, ErrorArchivo(e), "No se pudo abrir el directorio %s", g_corrida.raiz.c_str());
    return kRaizNoDisponible;
  }
  g_corrida.raizfd = raiz.Soltar();
  std::string lock = UnirRuta(g_corrida.raiz, "_zelta.lck");
  if (CrearLock(lock) != 0) return kRaizNoDisponible;
  g_corrida.locklpath = std::move(lock);  // no allocation between the lock and its owner
  g_corrida.lockpid = getpid();
  if (atexit(cleanexit) != 0) {
    LogFallaEntreCorchetes(1, errno, "Error registrando cleanexit");
    g_corrida.locklpath.clear();
    return kRaizNoDisponible;
  }
  return kExito;
}

// The TCP session: direct, through the port manager, or both.
int TransporteTCP(const Destino &destino) {
  const char *clave = destino.clave.c_str();
  bool desdeinicio = g_corrida.forzarportmgr ||
                     LEAUsaPortMgr(clave, destino.empresa, destino.actividad) != 0;
  if (!desdeinicio) {
    int r = SesionTCP(g_config.servidor.c_str(), g_config.puerto, CorrerSesion);
    if (r != kSinConexion) return r;
  }
  char host[kMaxServidor + 1] = "";
  unsigned short puerto = 0;
  if (PortMgrConnect(g_config.servidor.c_str(), g_config.puerto, host, sizeof host, &puerto) ==
      kExito) {
    if (!desdeinicio) WriteLEAUsaPortMgr(clave, destino.empresa, destino.actividad);
    return SesionTCP(host, puerto, CorrerSesion);
  }
  LogMensaje("Fallback conex II a I", 5);
  return SesionTCP(g_config.servidor.c_str(), g_config.puerto, CorrerSesion);
}

// Packs upload/ with interrupts held back, so that an interrupt finds the
// bundle either not made (the files still in upload/) or complete and
// named for retention (the files gone). A failed packing leaves no bundle
// behind: its files are all still in upload/. A bundle made whole whose
// files could not all be deleted is kept as ".dudosa" and not sent: the
// files left in upload/ would go out again with the next transaction, and
// the operator decides. Returns the packing's code.
int Empaquetar() {
  RetenerInterrupciones retener;
  bool armado = false;
  int r = ArmarArchivo(&armado);
  if (r != kExito && !armado) {
    BorrarBundle();
    return r;
  }
  NombrarBundle();
  if (r != kExito) {
    MarcarFase(kBundleDudoso);
    (void)DisponerBundle(r);  // logs where the bundle went, or why it stayed
    MarcarFase(kSinBundle);
    return r;
  }
  MarcarFase(kBundleArmado);
  return kExito;
}

// After the commit: split, ticket, update completion. A
// failed split or ticket keeps the committed answer in retenidos/; once
// both are done the answer is in download/ and output.dat goes (before the
// update completion, which takes download/ as it finds it). The committed
// bundle is deleted only then: until the answer is delivered or kept, a
// run killed on the way leaves the bundle behind, and the next run keeps
// the answer beside it instead of emptying it away with download/.
int EntregarRespuesta() {
  Descriptor bajada;
  int r = DesarmarArchivosBIN(&bajada);
  if (r == kExito) r = ReemplazarTicket();
  // Interrupted on the way: the answer is kept, as after a failed split.
  r = ResultadoTrasInterrupcion(r);
  {
    RetenerInterrupciones retener;
    if (r != kExito) {
      RetenerRespuesta();
    } else {
      BorrarDescarga(bajada);
    }
    (void)DisponerBundle(kExito);  // committed: deleted, a failure logged
    MarcarFase(kSinBundle);
  }
  if (r == kExito && g_corrida.modo == kModoActualizar) r = CompletarActualizacion();
  return r;
}

// The exchange itself, once the directory is locked: identification,
// configuration, packing, destination, session, delivery of the answer. Returns the result code; sets
// *codigoestado when estado.rsp must carry another code (the configuration
// loader's own); fills in the byte counts of the summary.
int Intercambio(const char *argv0, int *codigoestado) {
  int r = ObtenerIdentificacion();
  if (r != kExito) {
    LogMensaje("FATAL: No se pudo obtener identificacion del sistema", 1);
    return r;
  }
  r = CargarConfiguracion(argv0);
  if (r != kExito) {
    *codigoestado = r;
    return kErrorConfiguracion;
  }
  if (g_corrida.modo == kModoActualizar) {
    r = PrepararActualizacion();
    if (r != kExito) {
      LogFormato(5, "Saliendo con error %d.\n", r);
      return r;
    }
  }
  r = VerificarDirectorios();
  if (r == kExito) r = RetenerSobrante();
  if (r != kExito) return r;
  LimpiarDescargas();
  if (Interrumpido()) return kAbortadoUsuario;
  r = Empaquetar();
  if (r != kExito) return r;
  ResumenEnviados(TamanoEnRaiz(kBultoSubida));
  Destino destino;
  r = LeerDestino(destino);
  if (r == kExito) r = ComprobarBloques();
  if (r == kExito) r = Transportar(destino);
  // An interrupt ends the run with 6 through the retention below.
  r = ResultadoTrasInterrupcion(r);
  ResumenRecibidos(TamanoEnRaiz("download/output.dat"));
  if (FaseActual() != kBundleConfirmado) {
    (void)DisponerBundle(r);  // kept in retenidos/; where, or why not, is logged
    return r;
  }
  if (r != kExito) {
    // Committed, and then the run failed: the answer is kept, not split.
    RetenerInterrupciones retener;
    RetenerRespuesta();
    (void)DisponerBundle(r);
    MarcarFase(kSinBundle);
    return r;
  }
  return EntregarRespuesta();
}

// Memory kept aside for the end of a run after a failed allocation, so
// that retention, the status file and the summary can still allocate.
constexpr size_t kReservaFinal = 64 * 1024;
void *g_reservafinal = nullptr;

// An allocation that fails where no result code was planned for it ends
// the run here instead of in an abort: result 18, and once the run holds
// its locks, the bundle retained, "18: ..." in estado.rsp and the locks
// undone (TerminarCorrida). The dial-up protocol child only ends with 18,
// which its parent reports.
[[noreturn]] void FinPorFaltaDeMemoria() {
  free(g_reservafinal);
  g_reservafinal = nullptr;
  LogMensaje("No hay suficiente memoria", 1);
  TerminarCorrida(kNoHayMemoria);
}

}  // namespace

long long TamanoEnRaiz(const char *nombre) {
  Descriptor raiz;
  Descriptor fd;
  off_t tamano = 0;
  if (AbrirRaiz(g_corrida.raiz, raiz) != 0 || AbrirLectura(raiz.fd, nombre, fd, &tamano) != 0) {
    return 0;
  }
  return static_cast<long long>(tamano);
}

int Transportar(const Destino &destino) {
  return g_corrida.transporte == kTransporteTCP ? TransporteTCP(destino) : SesionModem(CorrerSesion);
}

int ComprobarBloques() {
  struct stat st;
  if (fstatat(g_corrida.raizfd, g_corrida.rutasubida.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      g_config.blocksize <= 0) {
    return kExito;  // the transfer reports it
  }
  long long bloques = (static_cast<long long>(st.st_size) + g_config.blocksize - 1) /
                      g_config.blocksize;
  if (bloques <= kMaxBloques) return kExito;
  LogFormato(1, "Transaccion demasiado grande: %lld bloques de %d bytes (maximo %ld)", bloques,
             g_config.blocksize, kMaxBloques);
  return kDemasiadosArchivos;
}

int ObtenerIdentificacion() {
  ArchivoPtr f(fopen(g_corrida.rutamachineid.c_str(), "r"));
  if (!f) return kIdentificacionFallida;
  char id[33];
  if (fread(id, 1, 32, f.get()) != 32) return kIdentificacionFallida;
  id[32] = '\0';
  for (int i = 0; i < 32; i++) {
    if (!isxdigit(static_cast<unsigned char>(id[i]))) return kIdentificacionFallida;
  }
  g_corrida.hostid = id;
  return kExito;
}

int CorrerZelta(int argc, char **argv) {
  g_reservafinal = malloc(kReservaFinal);  // without it the end is only tighter
  std::set_terminate(FinPorFaltaDeMemoria);
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--version") == 0) {
      printf("zelta %d.%d.%d (paquete zelta %s)\n", kVersionMayor, kVersionMenor,
             kVersionRevision, ZELTA_VERSION_PAQUETE);
      return kExito;
    }
  }
  switch (LeerLineaComandos(argc, argv)) {
    case kExito: break;
    case kPideAyuda: return kExito;
    default: return kUsoInvalido;
  }
  if (g_corrida.modo == kModoEstado) return MostrarEstadoTerminales(g_corrida.raiz, g_corrida);
  if (g_corrida.modo == kModoChequeo) return ChequearConfiguracion(argv[0]);
  IniciarResumen();
  int r = PrepararCorrida();
  if (r != kExito) {
    // Without a log (13) there is nowhere to put the summary.
    if (SalidaLog() != nullptr) LogResumen(r);
    return r;
  }
  PrepararRetencion();
  if (g_corrida.limpiardias >= 0) {
    // Like a resend: the instance lock only; the answer folders are
    // nobody's but the operator's.
    LogMensaje(kBanner, 1);
    r = LimpiarCarpetasRespuesta(g_corrida.limpiardias);
    LogResumen(r);
    return r;
  }
  if (g_corrida.reenvio) {
    // No status file and no directory lock: the terminal's own runs and
    // its application are not concerned.
    InstalarInterrupciones();
    LogMensaje(kBanner, 1);
    LogFormato(1, "Version %d.%d.%d - Protocolo KALDO", kVersionMayor, kVersionMenor,
               kVersionRevision);
    r = ReenviarRetenidos(argv[0]);
    bool despues = false;  // interrupted once the last bundle was done
    {
      RetenerInterrupciones retener;
      despues = r == kExito && Interrumpido();
      r = ResultadoTrasInterrupcion(r);
      IgnorarInterrupciones();
    }
    // Each bundle sent had its own line; a resend that sent none, or that
    // was interrupted after its last bundle, has one of its own.
    if (ResumenesEscritos() == 0 || despues) LogResumen(r);
    return r;
  }
  LockearDirectorio();
  // From here an interrupt (SIGINT, SIGTERM, SIGHUP) ends the run with 6,
  // its status written, its bundle retained and its locks undone: the
  // waits return at once and the exchange ends as on any failure.
  InstalarInterrupciones();
  LogMensaje(kBanner, 1);
  LogFormato(1, "Version %d.%d.%d - Protocolo KALDO", kVersionMayor, kVersionMenor,
             kVersionRevision);
  int codigoestado = kExito;  // none of its own
  r = Intercambio(argv[0], &codigoestado);
  {
    // Once the outcome is written a late interrupt changes nothing.
    RetenerInterrupciones retener;
    if (Interrumpido()) {
      r = kAbortadoUsuario;
      codigoestado = kExito;
    }
    // A success whose status cannot be made durable is not reported as one.
    if (!EscribirEstado(codigoestado != kExito ? codigoestado : r) && r == kExito) {
      r = kErrorEscribiendo;
    }
    IgnorarInterrupciones();
  }
  LogResumen(r);
  return r;
}
