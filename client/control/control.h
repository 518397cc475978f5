// control.h - the client's bottom layer: run state and the end of a run,
// result codes and the status file, the log, lock files and the directory
// lock, the configuration record read from zelta.conf and zelta.destinos,
// and the phase and retention of the run's transaction.
//
// Depends on archivos.h only; used by every other layer (spool, link,
// protocol, run).
//
// Process-wide records owned here: the run state (g_corrida), the log state
// (internal to log.cpp), the configuration record (g_config), the device
// lock slots (internal to locks.cpp) and the transaction's phase (internal
// to retenidos.cpp).
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archivos.h"

// ---------------------------------------------------------------- run state

// Session run (a terminal root), update run (-u), status of every terminal
// under a base directory (-s), check of the configuration files (-c).
enum ModoCorrida { kModoNinguno, kModoSesion, kModoActualizar, kModoEstado, kModoChequeo };
enum Transporte { kTransporteDialup, kTransporteTCP };

// The upload bundle a session packs and sends, relative to the terminal
// root.
inline constexpr char kBultoSubida[] = "upload/input.dat";

struct EstadoCorrida {
  int debuglevel = 1;
  ModoCorrida modo = kModoNinguno;
  Transporte transporte = kTransporteDialup;
  bool forzarportmgr = false;     // -p
  bool tabulado = false;          // -q: -s prints tab-separated fields
  bool json = false;              // -j: -s prints one JSON document
  std::string prometheus;         // -P: -s also writes its figures to this file
  long long esperamax = 10;       // -w: minutes a marker may wait in tx/ (-s)
  long long edadmax = -1;         // -e: hours a last result may age (-s); -1: no limit
  long long limpiardias = -1;     // --limpiar: with -r, days an answer folder is kept; -1: not asked
  std::string raiz;               // terminal root (program dir in -u runs;
                                  // the base directory in -s runs)
  std::string dirprog;            // argv[0] up to and including its last '/'
  std::string archivolog;         // -l argument, empty for standard output
  std::string locklpath;          // instance lock path; cleared by cleanexit
  pid_t lockpid = 0;              // process that made the instance lock
  std::string hostid;             // 32-character host identification
  // The root opened once the run starts, for retention and the
  // status file; -1 before.
  int raizfd = -1;
  bool reenvio = false;           // -r: send the retained bundles again
  // The files of the session, relative to the root: the upload bundle the
  // transfer sends, and the directory that gets output.dat and the split
  // answer. A resend points them into retenidos/.
  std::string rutasubida = kBultoSubida;
  std::string dirbajada = "download";
  std::string rutamachineid = "/etc/machine-id";  // source of hostid
};
extern EstadoCorrida g_corrida;

// A problem found in a configuration file by a check run (-c).
// A warning names what a run only warns about (and goes on): it does not
// make the check fail.
struct Hallazgo {
  std::string archivo;  // "zelta.conf" or "zelta.destinos"
  int linea;            // 0: the file as a whole
  std::string texto;
  bool aviso = false;
};

// Exit handler: removes the instance lock in the process that made it.
void cleanexit();

// Ends the run at once with codigo where the driver cannot be returned to
// (an allocation that failed with no result code planned for it): in the
// process that made the instance lock, the bundle and answer are retained
// by the phase reached, estado.rsp gets codigo (not in a resend), the
// directory lock is undone, the summary line written and the process
// exits through its exit handlers; any other process (the dial-up
// protocol child) only _exits with codigo. Called a second time (a failure
// on the way), it only _exits.
[[noreturn]] void TerminarCorrida(int codigo);

// ---------------------------------------------------------------- summary line

// Every run that took the lock ends with one summary line at level 1:
// "Resumen: terminal T, resultado R, enviados N bytes, recibidos M bytes,
// S s". A resend writes one for each bundle it sends, with "retenido
// NOMBRE, " after the terminal, and the run's own only when it sent none
// or is interrupted between two bundles. The record behind the line is
// owned by resumen.cpp.

// Starts the run's summary: the clock, no bytes, the answer read from
// g_corrida.dirbajada. A line is owed from here.
void IniciarResumen();
// Starts the line of one resent bundle (its name in retenidos/); the run's
// own line is owed again once this one is written.
void IniciarResumenBundle(const char *nombre);
// The bytes of the bundle sent and of the answer received.
void ResumenEnviados(long long bytes);
void ResumenRecibidos(long long bytes);
// Where output.dat lands, relative to the root: a line written by
// TerminarCorrida before ResumenRecibidos reads its size there.
void ResumenBajadaEn(const std::string &ruta);
// Lines written so far by this run.
int ResumenesEscritos();
// Writes the owed line with resultado; nothing when none is owed.
void LogResumen(int resultado);
// Takes the size of the answer for the owed line now, when nothing has
// given it (before an end that cannot go back to the driver moves the
// answer away).
void MedirResumen();

// Destination read from the bundle header line.
struct Destino {
  int empresa = 0;
  int actividad = 0;
  std::string clave;  // 8 upper-case characters, or empty
};

// Parses a bundle header line ("V" + 3 characters may lead). Returns 0, or
// 16 when the line is malformed (logged).
int ParsearEncabezado(const std::string &linea, Destino &destino);

// The company and activity codes of a bundle header line: four digits,
// after "V" and three characters when the line starts with 'V', else at its
// start. Returns kCodigosBien with *inicio (where they start), *empresa and
// *actividad set; kCodigosCortos when the line ends before them;
// kCodigosInvalidos when one of them is not a digit. Logs nothing.
enum ResultadoCodigos { kCodigosBien, kCodigosCortos, kCodigosInvalidos };
ResultadoCodigos LeerCodigos(const std::string &linea, size_t *inicio, int *empresa, int *actividad);

// Walks the whole of <dirprog>zelta.destinos and collects the missing file
// or every malformed line. Returns 0 when the file could be read, 16 when
// not.
int RevisarDestinos(std::vector<Hallazgo> &hallazgos);

// Looks the destination up in <dirprog>zelta.destinos and fills
// g_config.telefono, g_config.servidor and g_config.puerto. Returns 0 or 16.
int BuscarDestino(Destino &destino);

// The destination key for a short header line (no key of its own): the
// CLAVE of the first zelta.destinos line with that company and activity and
// a concrete key. Returns 0 with clave set, or 16 (logged).
int SuministrarClave(int empresa, int actividad, std::string &clave);

// Reads the header line back from the upload bundle (g_corrida.rutasubida)
// and looks the destination up. Returns 0 or a result code.
int LeerDestino(Destino &destino);

// ---------------------------------------------------------------- retained transactions

// How far the transaction of this run (or of the bundle being resent) got.
// kBundleDudoso: the client's final EOT went out, so the server may have
// committed. kBundleConfirmado: the server's DC1 came.
enum FaseTransaccion { kSinBundle = 0, kBundleArmado, kBundleDudoso, kBundleConfirmado };

// Readies retention for the run: the phase record shared with a dial-up
// protocol child, the time of the names. Call once the run holds its locks.
void PrepararRetencion();
// Records the phase (in the protocol child too, for its parent to read).
void MarcarFase(FaseTransaccion fase);
// Call before the final EOT that lets the server commit: records
// kBundleDudoso, and in a resend first renames the ".subida" to its
// ".dudosa" name and syncs retenidos/, so that no crash or power cut from
// here on leaves a bundle that the next resend would send again. Returns
// 0, or the errno value of the rename or sync (logged; the EOT must not
// go out).
int MarcarDudoso();
FaseTransaccion FaseActual();
// A leftover upload/input.dat (a killed run's) goes to
// retenidos/<AAAAMMDDHHMMSS>-<pid>.dudosa, and the download/output.dat
// beside it, when there is one, to the same name in ".respuesta". Call
// before download/ is emptied. Logged. Returns 0, 10 (upload/
// cannot be opened) or 15 (a leftover cannot be moved: packing or
// emptying download/ would destroy it).
int RetenerSobrante();
// The names this run's bundle and answer get in retenidos/ (.subida,
// .dudosa, .respuesta). Call once the bundle is built.
void NombrarBundle();
// The same for a resend of retenidos/<nombre> (a ".subida"): a failure
// leaves it, a doubtful end renames it ".dudosa".
void NombrarReenvio(const std::string &nombre);
// After the session with its result: a committed bundle is deleted; one
// that did not get the commit (resultado != 0) is retained as ".subida",
// or ".dudosa" when the line failed after the final EOT. Returns 0 or the
// errno value of a failed move (logged).
int DisponerBundle(int resultado);
// After a commit whose answer could not be delivered: download/output.dat
// goes to retenidos/ as ".respuesta". Logged.
void RetenerRespuesta();

// Deletes output.dat from bajada (the directory the answer was split into)
// once the answer is delivered. A failure is logged.
void BorrarDescarga(const Descriptor &bajada);
// Whether nombre has the form of the names this client gives retained
// files: "<AAAAMMDDHHMMSS>-<pid><sufijo>", 14 digits, '-', 1 to 10 digits.
bool NombreRetenidoValido(const std::string &nombre, const char *sufijo);
// Fills nombres with the retained files of the root with the given suffix,
// oldest first (their names begin with the time): regular files with a
// name of the client's own form; any other entry with the suffix is logged
// and left. Returns 0 (also when there is no retenidos/), or 15 when
// retenidos/ cannot be read or is not a real directory owned by root that
// only root may write (logged; nothing in it is used).
int ListarRetenidos(const char *sufijo, std::vector<std::string> &nombres);
// The bundle header line of retenidos/<nombre> (the line after its first
// "[_svl.0]" line, as LeerDestino takes it), empty when there is none.
// Returns 0 or 13 (logged).
int LeerEncabezadoRetenido(const std::string &nombre, std::string &linea);
// Makes a new folder for a resent bundle's answer in retenidos/: <base>,
// or <base>.1 to <base>.9 when that holds something; mkdirat must create
// it (an empty folder an earlier resend left is removed first), so nothing
// that stood there is ever written into. Returns 0 with carpeta set to its
// name, or 15 (logged).
int CrearDirectorioRespuesta(const std::string &base, std::string &carpeta);
// Whether nombre has the form of an answer folder a resend makes in
// retenidos/: "<AAAAMMDDHHMMSS>-<pid>", or that and ".1" to ".9".
bool NombreCarpetaRespuestaValido(const std::string &nombre);
// Removes the answer folders of retenidos/ (names of the form above, real
// directories, links never followed) whose modification time is more than
// dias days old, with everything in them; bundle files are never touched.
// Each removal is logged. Returns 0 (also when there is no retenidos/), 15
// when retenidos/ cannot be read or is not root's alone, or 14 when a
// folder could not be removed (the others are still tried).
int LimpiarCarpetasRespuesta(long long dias);
// t as local time, "AAAA-MM-DD hh:mm:ss", the form the operator's outputs use.
std::string FechaLocal(time_t t);

// ---------------------------------------------------------------- result codes

// Result codes: the exit status of a run and the number estado.rsp
// carries. Functions that return a result code return int (the process's
// exit status), with these names for its values. The text of each code
// that has one is in estado.cpp's message table.
enum CodigoResultado : int {
  kExito = 0,                   // success: "Conexion OK"
  kExcesoTimeouts = 1,          // time-outs, or the session outlived TIEMPOMAXIMO
  kPerdidaPortadora = 2,        // carrier or connection lost
  kExcesoNaks = 3,              // too many NAKs or bad frames
  kModemSinInicializar = 4,     // INIT got no OK
  kSinConexion = 5,             // no modem, no answer, no TCP connection
  kAbortadoUsuario = 6,         // SIGINT, SIGTERM or SIGHUP; the protocol child killed
  kDirectorioNoEncontrado = 10, // upload/ or download/ missing or unusable
  kFaltaMemoria = 11,           // "Falta de memoria": a list the packer needs
  kDemasiadosArchivos = 12,     // more files (or blocks) than a bundle may hold
  kArchivoNoAbierto = 13,       // a file that must be read cannot be opened
  kErrorEscribiendo = 14,       // a write failed
  kErrorCreando = 15,           // a file or directory cannot be made
  kErrorConfiguracion = 16,     // zelta.conf or zelta.destinos
  kNoHayMemoria = 18,           // "No hay suficiente memoria"
  kRaizNoDisponible = 19,       // the root cannot be opened or another run holds it (no text)
  // Below zero: exit statuses of runs that end before a session, and the
  // configuration loader's own codes that estado.rsp carries with 16.
  kUsoInvalido = -1,            // bad command line (exit status 255)
  kIdentificacionFallida = -2,  // host identification failed (254)
  kConfigIncompleta = -2,       // MODEM or CODIGOINTERURBANO missing
  kConfigConErrores = -3,       // errors in zelta.conf
  kConfigSinArchivo = -15,      // no zelta.conf
};

// The text of a result code, or nullptr for codes without one.
const char *TextoMensaje(int codigo);

// Writes "<code>: <text>\r\n" to estado.rsp (mode 0666) in the terminal root,
// synced with the root, then undoes the directory lock. Failures are
// logged. Returns whether the new line is on the disk.
bool EscribirEstado(int codigo);

// Longest status line; ArmarLineaEstado formats "<code>: <text>\r\n" into
// linea without stdio or heap and returns its length.
constexpr size_t kMaxLineaEstado = 64;
size_t ArmarLineaEstado(int codigo, char *linea, size_t cap);

// ---------------------------------------------------------------- text for an operator

// Writes to out the form of byte c fit for an operator's eyes: the byte
// itself when it is printable ASCII (0x20-0x7E), else "\xNN" in lower-case
// hex. Returns the characters written, 1 or 4. Async-signal-safe.
size_t EscaparByte(unsigned char c, char out[4]);

// texto with every byte through EscaparByte. Everything from outside that
// the log, -s or -c shows passes through this rule.
std::string TextoVisible(const std::string &texto);

// ---------------------------------------------------------------- numbers

// Reads the leading decimal number of texto the way atoi does (leading
// blanks, an optional sign, digits; what follows is not looked at; no
// digits read as 0), at any length. Returns true with *valor when it lies
// from minimo to maximo; false, *valor untouched, otherwise.
bool LeerNumero(const char *texto, long long minimo, long long maximo, long long *valor);

// Largest pid a lock file can name (above the kernel's pid_max limit).
inline constexpr long long kMaxPid = 2147483647;

// The pid the content of a lock file names: its leading number when it is
// from 1 to kMaxPid, else 0 (no pid: a lock an operator made, or garbage).
int PidDeLock(const char *texto);

// ---------------------------------------------------------------- log

// Opens the log file ruta for appending; a new file is made 0644 whatever
// the umask. Null on failure (errno set).
FILE *AbrirLog(const char *ruta);

// Sets the log sink (nullptr means none yet). The log does not own it.
void FijarSalidaLog(FILE *salida);
FILE *SalidaLog();

// Writes text at the given level, with timestamp and tag, folding repeats.
void LogMensaje(const char *texto, int nivel);
void LogFormato(int nivel, const char *formato, ...)
    __attribute__((format(printf, 2, 3)));

// Logs a failure with its system error, like OpenBSD's log_warn: the
// formatted message, then ": " and TextoError(error), which is strerror's
// text or the words for a file refused under the root (pass a file-access
// helper's result through ErrorArchivo). error is passed, never read from
// errno, so nothing between the failing call and the log can change it.
// Not for signal handlers.
void LogFalla(int nivel, int error, const char *formato, ...)
    __attribute__((format(printf, 3, 4)));

// The same with the error's text in brackets after the message and a space
// ("... [text]"), the shape of the spool's and the driver's messages.
void LogFallaEntreCorchetes(int nivel, int error, const char *formato, ...)
    __attribute__((format(printf, 3, 4)));

// Forgets the last message and the repeat count (tests; a new run).
void ReiniciarLog();

// ---------------------------------------------------------------- locks

// A lock file held by another process, for the caller to report.
struct LockOcupado {
  int pid = 0;       // its owner's pid (0 when the file holds none)
  std::string path;  // the lock file
};

// Makes the lock file at path holding this process's pid. Returns 0 when
// made and owned by this process, -1 otherwise (logged). With ocupado, a
// lock held by another process is not logged but described in *ocupado;
// every other failure is logged as always and leaves *ocupado alone.
int CrearLock(const std::string &path, LockOcupado *ocupado = nullptr);

// Locks a device and its pair device ("LCK.." files in LOCKDIR). Returns 0
// with both slots set, or -1 with both slots empty. ocupado as for CrearLock.
int LockearDevice(const char *device, LockOcupado *ocupado = nullptr);
// Locks one device into slot 0 or 1. Returns 0 or -1.
int LockearDeviceFile(const char *device, int slot, LockOcupado *ocupado = nullptr);
// Removes the device lock files this process made and empties the slots.
void LiberarLocksDevice();
// The pair device of a device under PAIRDEVPREFIX, or "" when there is none.
std::string DevicePar(const std::string &device);

// Narrows the terminal root (g_corrida.raizfd, or g_corrida.raiz opened
// when there is none) to 0744 for the run, once
// its own mode is recorded in <root>/_zelta.modo (synced). A record already
// there was left by a run that died with the root narrowed: the mode it
// holds is the one to put back. Failures are logged; without a record the
// root is not narrowed.
void LockearDirectorio();
// Puts the recorded mode back and removes the record.
void DeslockearDirectorio();

// ---------------------------------------------------------------- configuration

struct Configuracion {
  std::vector<std::string> modems;  // MODEM lines in file order
  size_t cursormodem = 0;
  std::string prefijo;              // PREFIJO, 4
  speed_t bps = 0;                  // BPS as a termios constant
  int reintentos = 3;               // REINTENTOS
  int blocksize = 1024;             // BLOCKSIZE
  std::string telefono;             // TELEFONO, 24; set by the lookup
  std::string termid;               // TERMID, 8
  std::string init;                 // INIT, 48, plus "\r" when set
  std::string lockdir = "/var/lock";
  std::string pairdevprefix = "cua";
  std::string codigointerurbano;    // CODIGOINTERURBANO, 9
  int mdmtimeout = 25;
  int ignoreconnstr = 0;
  int udpport = 0;
  int esperamodem = 0;              // ESPERAMODEM: seconds to wait for a free
                                    // modem; 0 waits without limit
  int tiempomaximo = 3600;          // TIEMPOMAXIMO: seconds a session may last
  int reserva = 5;                  // RESERVA: percent of upload/'s file system
                                    // a bundle must leave free (0-99)
  std::string servidor;             // server host, 74; set by the lookup
  unsigned short puerto = 0;        // server TCP port; set by the lookup
};
extern Configuracion g_config;

constexpr size_t kMaxServidor = 74;

// Most blocks a bundle may have either way: block numbers travel as five
// digits. Packing checks against it too, so it lives down here.
constexpr long kMaxBloques = 99999;
constexpr size_t kMaxTelefono = 24;

// Resets every field to its default.
void ConfiguracionPorDefecto();
// Reads <program dir>zelta.conf. Returns 1 read cleanly, 0 read with errors,
// -15 when the file cannot be opened. Messages go to standard output.
int LeerConfiguracion(const char *argv0);
// Reads and checks the configuration. Returns 0, -2 (settings missing), -3
// (errors in the file) or -15 (no file). Each problem is printed on
// standard output and, when the log is a file, logged at level 1.
int CargarConfiguracion(const char *argv0);
// The same for a check run: prints and logs nothing, collects every problem
// (a line that is too long does not stop the reading).
int RevisarConfiguracion(const char *argv0, std::vector<Hallazgo> &hallazgos);
// BPS value to termios constant; 0 when not a supported speed.
speed_t BuscarVelocidad(int bps);
void RebobinarModems();
// The next device of the modem list, or nullptr at the end.
const char *SiguienteModem();
