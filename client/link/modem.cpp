// modem.cpp - the dial-up transport: SesionModem forks a protocol child that
// finds and locks a free modem, sets the line up, initialises and dials the
// modem with Hayes AT commands, runs the given session after CONNECT, hangs up and
// gives the device back; the parent waits and returns the child's result.
//
// The child starts a session of its own and opens the device without
// O_NOCTTY, so the modem becomes its controlling terminal and a loss of
// carrier reaches it as SIGHUP (HangupAlarm).
#include "modem.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "control.h"
#include "line.h"

namespace {

constexpr unsigned kEsperaInit = 25;     // seconds for the OK to INIT
constexpr unsigned kEsperaMarcado = 45;  // seconds for the answer to ATD
constexpr size_t kMaxTextoConnect = 99;

const char *const kRespuestasInit[] = {"OK", nullptr};
const char *const kRespuestasMarcado[] = {"CONNECT", "BUSY", "NO DIAL TONE", "NO ANSWER",
                                          "NO CARRIER", nullptr};
constexpr int kRespuestaConnect = 0;
// TomarModem's answer for a device another process holds: not a result
// code; the walk goes on to the next device.
constexpr int kModemTomado = 1;

// Writes a whole command to the modem. Failures are only logged: the answer
// that then does not come is what the dialogue reacts to. An interrupt
// breaks off a write the modem holds up.
void EscribirModem(const std::string &texto) {
  if (!EscribirTodo(g_linea.fd, texto.data(), texto.size(), AnteSenal::kCortar)) {
    LogFalla(8, errno, "Error! write()");
  }
}

// The line settings of the modem device, built on the saved ones.
termios AjustesLinea(const termios &base) {
  termios t = base;
  t.c_iflag = IGNBRK | IGNPAR;
  t.c_oflag = 0;
  t.c_cflag = CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;
  t.c_lflag = 0;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  speed_t bps = g_config.bps != 0 ? g_config.bps : B9600;
  cfsetispeed(&t, bps);
  cfsetospeed(&t, bps);
  return t;
}

// Ends the protocol child: saved settings back on the line, line closed,
// device locks released, then the normal exit (the exit handlers run), with
// 6 once an interrupt came.
[[noreturn]] void TerminarHijo(int resultado) {
  RetenerInterrupciones retener;
  resultado = ResultadoTrasInterrupcion(resultado);
  if (g_linea.fd >= 0) {
    if (g_linea.hayguardado) tcsetattr(g_linea.fd, TCSANOW, &g_linea.guardado);
    close(g_linea.fd);
    g_linea.fd = -1;
  }
  LiberarLocksDevice();
  exit(resultado);
}

// Why a device of the list was not taken on a walk.
struct Ocupado {
  bool flock = false;  // another program holds the opened device with flock(2)
  LockOcupado lock;    // else: the lock file and its owner's pid
};

// One device of a walk: its lock files, then the device itself, opened
// and held with flock(2) as programs that keep no lock file (picocom) do.
// informar: say why a taken device is skipped (the first walk does). Returns
// 0 with the line open and its settings saved, 1 (kModemTomado) when the
// device is taken (ocupado says by whom), or 4 when it cannot be opened (its lock files
// released again).
int TomarModem(const std::string &device, bool informar, Ocupado &ocupado) {
  RetenerInterrupciones retener;
  ocupado = Ocupado();
  ocupado.lock.pid = -1;
  if (LockearDevice(device.c_str(), &ocupado.lock) != 0) {
    if (ocupado.lock.pid >= 0 && informar) {
      LogFormato(1, "El proceso (%d) esta lockeando el archivo (%s)", ocupado.lock.pid,
                 ocupado.lock.path.c_str());
    }
    return kModemTomado;
  }
  // Opened without becoming the controlling terminal: a device another
  // program holds must not become ours on the way. It becomes so below,
  // once it is known to be free, so that a loss of carrier reaches this
  // process as SIGHUP.
  int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    int error = errno;
    LogFormato(1, "Error abriendo %s", device.c_str());
    LogMensaje(TextoError(error), 1);
    LiberarLocksDevice();
    return kModemSinInicializar;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    LiberarLocksDevice();
    ocupado.flock = true;
    if (informar) LogFormato(1, "El dispositivo %s esta tomado por otro programa (flock)", device.c_str());
    return kModemTomado;
  }
  ioctl(fd, TIOCSCTTY, 0);
  g_linea.fd = fd;
  if (tcgetattr(fd, &g_linea.guardado) == 0) {
    g_linea.hayguardado = true;
  } else {
    LogFalla(1, errno, "ALERTA! tcgetattr");
  }
  return kExito;
}

double SegundosDesde(const timespec &inicio) {
  timespec ahora;
  clock_gettime(CLOCK_MONOTONIC, &ahora);
  return static_cast<double>(ahora.tv_sec - inicio.tv_sec) +
         static_cast<double>(ahora.tv_nsec - inicio.tv_nsec) / 1e9;
}

// Walks the modem list until a device is taken, and opens it; walks again
// every 3 seconds while every device is taken. The first walk says why each
// device was skipped; every fruitless walk then ends with one line naming
// the holders, the same line while nothing changes, so the log folds the
// wait into one line and its repeat count. Returns 0 with the line open and
// its settings saved, 4 when a device cannot be opened, 5 when ESPERAMODEM
// seconds passed without a free device, or 6 when an interrupt came.
int AbrirModem() {
  timespec inicio;
  clock_gettime(CLOCK_MONOTONIC, &inicio);
  for (bool primera = true;; primera = false) {
    std::string ocupados;
    RebobinarModems();
    while (const char *siguiente = SiguienteModem()) {
      std::string device = siguiente;
      LogFormato(3, "Probando con %s", device.c_str());
      Ocupado ocupado;
      int r = TomarModem(device, primera, ocupado);
      if (r != kModemTomado) return r;
      if (!ocupados.empty()) ocupados += ", ";
      ocupados += device;
      if (ocupado.flock) {
        ocupados += " (flock)";
      } else if (ocupado.lock.pid >= 0) {
        ocupados += " (proceso " + std::to_string(ocupado.lock.pid) + ")";
      }
    }
    LogFormato(1, "Esperando un modem libre: %s", ocupados.c_str());
    long espera = 3000;
    if (g_config.esperamodem > 0) {
      double falta = g_config.esperamodem - SegundosDesde(inicio);
      if (falta <= 0) {
        LogFormato(1, "Ningun modem libre en %d segundos", g_config.esperamodem);
        return kSinConexion;
      }
      if (falta * 1000 < static_cast<double>(espera)) espera = static_cast<long>(falta * 1000) + 1;
    }
    if (!Dormir(espera)) return kAbortadoUsuario;
  }
}

// Puts the line into the modem settings and blocking mode; failures are
// logged and the dialogue goes on.
void PrepararLinea(termios &ajustes) {
  ajustes = AjustesLinea(g_linea.guardado);
  tcflush(g_linea.fd, TCIFLUSH);
  if (tcsetattr(g_linea.fd, TCSANOW, &ajustes) != 0) {
    LogFalla(1, errno, "ALERTA! tcsetattr");
  }
  int flags = fcntl(g_linea.fd, F_GETFL);
  if (flags >= 0) fcntl(g_linea.fd, F_SETFL, flags & ~O_NONBLOCK);
  flags = fcntl(g_linea.fd, F_GETFL);
  if (flags < 0 || (flags & O_NONBLOCK) != 0) {
    LogMensaje("ALERTA!: no pude sacar NONBLOCK", 1);
  }
}

// Sends INIT and waits for OK. True when the modem is initialised (an empty
// INIT counts as initialised).
bool InicializarModem() {
  if (g_config.init.empty()) return true;
  LogMensaje("Inicializando el modem", 1);
  Dormir(2);
  EscribirModem(g_config.init);
  if (EsperarRespuesta(kRespuestasInit, kEsperaInit) >= 0) return true;
  DesarmarAlarma();
  return false;
}

// After CONNECT: the line starts honouring carrier detect, the rest of the
// connect line is read (or left alone), and the session runs. Returns the
// attempt's result code.
int Conectado(termios &ajustes, CorrerSesionFn sesion) {
  ajustes.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  if (tcsetattr(g_linea.fd, TCSANOW, &ajustes) != 0) {
    LogFalla(1, errno, "ALERTA! tcsetattr");
  }
  int resultado = kSinConexion;
  if (g_config.ignoreconnstr != 0) {
    LogMensaje("Connect string: (bypassed)", 9);
  } else {
    std::string texto;
    resultado = LeerLineaConnect(texto);
    LogMensaje(texto.c_str(), 9);
  }
  if (resultado != kPerdidaPortadora) resultado = sesion();
  LogFormato(1, "rval=%d", resultado);
  return resultado;
}

// Escape to command mode and hang up; no answer is awaited.
void Colgar() {
  LogMensaje("Cortando...", 3);
  Dormir(2000);
  EscribirModem("+++");
  Dormir(2000);
  EscribirModem("ATH\r");
  LogMensaje("Ya corte", 3);
}

// Up to REINTENTOS dial attempts, each followed by the hang-up sequence
// unless the carrier was lost. Returns the result code.
int Marcar(termios &ajustes, CorrerSesionFn sesion) {
  int resultado = kSinConexion;
  for (int quedan = g_config.reintentos; quedan > 0; quedan--) {
    LogMensaje("Llamando...", 1);
    std::string numero = NumeroAMarcar(g_config.telefono, g_config.codigointerurbano);
    LogFormato(15, "Conectando al %s%s", g_config.prefijo.c_str(), numero.c_str());
    EscribirModem(ComandoMarcado(g_config.prefijo, numero));
    int respuesta = EsperarRespuesta(kRespuestasMarcado, kEsperaMarcado);
    if (Interrumpido()) {
      // No hang-up sequence: closing the line drops DTR (HUPCL).
      DesarmarAlarma();
      return kAbortadoUsuario;
    }
    if (respuesta < 0) {
      DesarmarAlarma();
      LogMensaje("Timeout", 1);
    } else {
      LogMensaje(kRespuestasMarcado[respuesta], 1);
    }
    if (respuesta == kRespuestaConnect) resultado = Conectado(ajustes, sesion);
    if (Interrumpido()) return kAbortadoUsuario;
    if (resultado != kPerdidaPortadora) Colgar();
    if (respuesta == kRespuestaConnect) break;
    if (!Dormir(3000)) return kAbortadoUsuario;
  }
  return resultado;
}

[[noreturn]] void CorrerHijo(const sigset_t &mascara, CorrerSesionFn sesion) {
  FijarManejador(SIGHUP, HangupAlarm);
  setsid();
  FijarManejador(SIGALRM, TimeoutAlarm);
  sigprocmask(SIG_SETMASK, &mascara, nullptr);

  int resultado = AbrirModem();
  if (resultado != kExito) TerminarHijo(resultado);
  termios ajustes;
  PrepararLinea(ajustes);
  if (!InicializarModem()) {
    if (Interrumpido()) TerminarHijo(kAbortadoUsuario);
    LogMensaje("No se pudo inicializar el modem", 1);
    TerminarHijo(kModemSinInicializar);
  }
  TerminarHijo(Marcar(ajustes, sesion));
}

}  // namespace

std::string NumeroAMarcar(const std::string &telefono, const std::string &area) {
  size_t guion = telefono.find('-');
  if (!telefono.empty() && telefono[0] == '0' && guion != std::string::npos &&
      telefono.compare(0, guion, area) == 0) {
    return telefono.substr(guion + 1);
  }
  return telefono;
}

std::string ComandoMarcado(const std::string &prefijo, const std::string &numero) {
  return "ATD" + prefijo + numero + "\r";
}

int LeerLineaConnect(std::string &texto) {
  texto.assign(1, ' ');
  for (;;) {
    unsigned char byte;
    int r = LeerByte(&byte);
    if (r < 0) return kPerdidaPortadora;
    if (r == 0) continue;
    if (byte == '\n') return kExito;
    if (texto.size() < kMaxTextoConnect) texto.push_back(static_cast<char>(byte));
  }
}

int SesionModem(CorrerSesionFn sesion) {
  g_linea.fd = -1;
  if (Interrumpido()) return kAbortadoUsuario;
  ManejarInterrupciones interrupciones;
  // Nothing buffered may be written twice, once by each process.
  fflush(nullptr);

  // An interrupt between the fork and the storing of the child's pid would
  // end the parent and leave the child dialing: hold it back until then.
  pid_t pid;
  int error;
  {
    RetenerInterrupciones retener;
    pid = fork();
    error = errno;
    g_linea.hijo = pid;
    if (pid == 0) CorrerHijo(retener.previa, sesion);
  }
  if (pid < 0) {
    g_linea.hijo = -1;
    LogFalla(1, error, "Error. fork()");
    return kNoHayMemoria;
  }

  int estado = 0;
  int resultado;
  for (;;) {
    if (waitpid(pid, &estado, 0) == pid) {
      resultado = kExito;
      break;
    }
    if (errno == EINTR) continue;
    LogFormato(1, "fallo waitpid() %s", TextoError(errno));
    resultado = kAbortadoUsuario;
    break;
  }
  // The child is gone: its pid, free for reuse, must not be signalled
  // again. An interrupt from now on ends this process itself.
  g_linea.hijo = -1;
  if (resultado != kExito) return resultado;
  if (WIFSIGNALED(estado)) {
    LogFormato(1, "El proceso de protocolo termino por la senal %d", WTERMSIG(estado));
    return kAbortadoUsuario;
  }
  return ResultadoTrasInterrupcion(WEXITSTATUS(estado));
}
