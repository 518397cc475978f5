// driver.cpp - the client's entry: command line, usage text, and the run
// driver that takes one exchange from the locks to the status file.
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

const char kBanner[] = "ZELTA - Transferencia de transacciones de terminales";

int UsoInvalido(const char *argv0) {
  MostrarUso(argv0);
  return kUsoInvalido;
}

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

void MostrarUso(const char *argv0) {
  printf("%s\n", kBanner);
  printf("Version %d.%d.%d - Protocolo KALDO\n", kVersionMayor, kVersionMenor, kVersionRevision);
  printf("Uso: %s [opciones] raiz\n", argv0);
  printf("\t%s -u [opciones]  Actualizar version de ZELTA\n", argv0);
  printf("\t%s -r [opciones] raiz  Reenviar las transacciones retenidas\n", argv0);
  printf("\t%s -r --limpiar DIAS raiz  Borrar las carpetas de respuesta de retenidos/ de mas de DIAS dias\n",
         argv0);
  printf("\nOpciones:\n");
  printf("-t {dialup|tcp} Transporte\n");
  printf("-p fuerza el uso del PortMgr\n");
  printf("-l logfile Archivo de log\n");
  printf("-xN Debuglevel N (0-sin salida, 10-maximo)\n");
  printf("\nOtros modos:\n");
  printf("\t%s -s [-q|-j] [-w MINUTOS] [-e HORAS] [-P ARCHIVO] basedir  Estado de las terminales de basedir\n",
         argv0);
  printf("\t%s -c  Verificar zelta.conf y zelta.destinos\n", argv0);
  printf("\t%s --version  Version del programa y del paquete\n", argv0);
  printf("\t%s --help  Esta ayuda\n", argv0);
  printf("\nOpciones de -s:\n");
  printf("-q una linea por terminal, campos separados por tabuladores\n");
  printf("-j un documento JSON\n");
  printf("-w MINUTOS espera maxima de una marca en tx/ (10)\n");
  printf("-e HORAS antiguedad maxima del ultimo resultado (sin limite)\n");
  printf("-P ARCHIVO metricas para Prometheus, reemplazadas de una vez\n");
  printf("Salida de -s: 0 bien, 1 fallo o retenidos, 2 marca demorada o sin rondador, 3 base ilegible\n");
  fflush(stdout);
}

namespace {

// Whether letter c names an option that takes a value.
bool LlevaValor(char c) { return c != '\0' && strchr("tlxweP", c) != nullptr; }

// A whole number from min to max written in decimal digits only (the
// limits of -s and --limpiar; -x keeps its atoi reading).
bool LeerEntero(const char *texto, long long minimo, long long maximo, long long *valor) {
  if (*texto == '\0') return false;
  for (const char *p = texto; *p != '\0'; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
  }
  return LeerNumero(texto, minimo, maximo, valor);
}

// What a command line says, before the run mode is judged.
struct Linea {
  int posicionales = 0, modos = 0;
  ModoCorrida modo = kModoSesion;
  bool conopcionestado = false;  // -j, -P, -w or -e (with -s only)
};

// One option letter c with its value (nullptr for a flag). Returns false
// for a letter or a value that is not accepted.
bool Opcion(char c, const char *valor, Linea &l) {
  long long n = 0;
  switch (c) {
    case 't':
      if (strcmp(valor, "tcp") == 0) {
        g_corrida.transporte = kTransporteTCP;
      } else if (strcmp(valor, "dialup") == 0) {
        g_corrida.transporte = kTransporteDialup;
      } else {
        return false;
      }
      return true;
    case 'p': g_corrida.forzarportmgr = true; return true;
    case 'q': g_corrida.tabulado = true; return true;
    case 'l': g_corrida.archivolog = valor; return true;
    case 'x': g_corrida.debuglevel = atoi(valor); return true;
    case 'r': g_corrida.reenvio = true; return true;
    case 'j': g_corrida.json = true; l.conopcionestado = true; return true;
    case 'P':
      if (*valor == '\0') return false;
      g_corrida.prometheus = valor;
      l.conopcionestado = true;
      return true;
    case 'w':
      if (!LeerEntero(valor, 0, 525600, &n)) return false;  // a year of minutes
      g_corrida.esperamax = n;
      l.conopcionestado = true;
      return true;
    case 'e':
      if (!LeerEntero(valor, 1, 876000, &n)) return false;  // a hundred years of hours
      g_corrida.edadmax = n;
      l.conopcionestado = true;
      return true;
    case 'u':
    case 's':
    case 'c':
      if (++l.modos > 1) return false;
      l.modo = c == 'u' ? kModoActualizar : c == 's' ? kModoEstado : kModoChequeo;
      return true;
    default:
      return false;
  }
}

}  // namespace

// getopt-style: letters after '-' are each an option ("-sq" is "-s -q");
// a letter that takes a value takes the rest of the argument, or the next
// argument when nothing follows it ("-x5", "-x 5", "-pxl/tmp/a.log").
// "--" ends the options. Run modes and the positional argument may come in
// any order; which mode it is, and whether it has the positional argument
// it needs, is decided after the last argument.
int LeerLineaComandos(int argc, char **argv) {
  g_corrida.dirprog = DirectorioDe(argv[0], "./");
  Linea l;
  bool opciones = true;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (!opciones || a[0] != '-') {
      if (++l.posicionales > 1) return UsoInvalido(argv[0]);
      g_corrida.raiz = a;
      continue;
    }
    if (a[1] == '\0') return UsoInvalido(argv[0]);  // "-" alone
    if (a[1] == '-') {
      const char *largo = a + 2;
      if (*largo == '\0') {
        opciones = false;
      } else if (strcmp(largo, "help") == 0) {
        MostrarUso(argv[0]);
        return kPideAyuda;
      } else if (strcmp(largo, "version") == 0) {
        // Answered before the command line is read (CorrerZelta).
      } else if (strncmp(largo, "limpiar", 7) == 0 && (largo[7] == '\0' || largo[7] == '=')) {
        const char *valor = largo[7] == '=' ? largo + 8 : (i + 1 < argc ? argv[++i] : nullptr);
        long long dias = 0;
        if (valor == nullptr || !LeerEntero(valor, 0, 36500, &dias)) return UsoInvalido(argv[0]);
        g_corrida.limpiardias = dias;
      } else {
        return UsoInvalido(argv[0]);
      }
      continue;
    }
    for (const char *p = a + 1; *p != '\0'; p++) {
      const char *valor = nullptr;
      if (LlevaValor(*p)) {
        valor = p[1] != '\0' ? p + 1 : (i + 1 < argc ? argv[++i] : nullptr);
        if (valor == nullptr) return UsoInvalido(argv[0]);
      }
      if (!Opcion(*p, valor, l)) return UsoInvalido(argv[0]);
      if (valor != nullptr) break;
    }
  }
  const ModoCorrida modo = l.modo;
  // A session run and -s take the one positional argument; -u and -c none.
  bool conraiz = modo == kModoSesion || modo == kModoEstado;
  if (l.posicionales != (conraiz ? 1 : 0)) return UsoInvalido(argv[0]);
  if ((g_corrida.tabulado || l.conopcionestado) && modo != kModoEstado) return UsoInvalido(argv[0]);
  if (g_corrida.tabulado && g_corrida.json) return UsoInvalido(argv[0]);
  g_corrida.modo = modo;
  if (modo == kModoActualizar) g_corrida.raiz = g_corrida.dirprog;
  if (g_corrida.reenvio && modo != kModoSesion) return UsoInvalido(argv[0]);
  if (g_corrida.limpiardias >= 0 && !g_corrida.reenvio) return UsoInvalido(argv[0]);
  return kExito;
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

int ChequearConfiguracion(const char *argv0) {
  std::vector<Hallazgo> hallazgos;
  RevisarConfiguracion(argv0, hallazgos);
  RevisarDestinos(hallazgos);
  bool fallas = false;
  for (const Hallazgo &h : hallazgos) {
    std::string archivo = g_corrida.dirprog + h.archivo;
    std::string texto = (h.aviso ? "Aviso: " : "") + TextoVisible(h.texto);
    if (h.linea > 0) {
      printf("%s:%d: %s\n", archivo.c_str(), h.linea, texto.c_str());
    } else {
      printf("%s: %s\n", archivo.c_str(), texto.c_str());
    }
    if (!h.aviso) fallas = true;
  }
  // Warnings alone (what a run only warns about) do not fail the check.
  if (!fallas) {
    printf("Configuracion correcta: %szelta.conf, %szelta.destinos\n", g_corrida.dirprog.c_str(),
           g_corrida.dirprog.c_str());
  }
  fflush(stdout);
  return fallas ? kErrorConfiguracion : kExito;
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
