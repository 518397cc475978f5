// linea.cpp - the one line of the run: the line state, one-byte reads whose
// time-outs come from the process alarm, the wait for modem answers,
// blocking mode and the wait for a TCP connect, and the signal handlers.
//
// Time-outs and interrupts rest on signals ending the waits of this file. A
// signal that lands just before a wait begins would be lost, so every
// handler records what came and writes one byte to a private pipe that the
// waits watch next to what they wait for: the wait ends whenever the signal
// came. The handlers do nothing else; the waits log what they noticed and
// return, and the run goes on (or ends) on its normal path.
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "control.h"
#include "line.h"

EstadoLinea g_linea;

namespace {

struct Aviso {
  int fd[2] = {-1, -1};
  pid_t duenio = 0;  // process that made the pipe (a fork inherits it)
};
Aviso g_aviso;

void VaciarAviso() {
  if (g_aviso.fd[0] < 0) return;
  char basura[16];
  while (read(g_aviso.fd[0], basura, sizeof basura) > 0) {
  }
}

// The pipe of this process, made when missing (a forked child makes its
// own: the handlers of each process write only to the pipe it made).
void AsegurarAviso() {
  pid_t yo = getpid();
  if (g_aviso.fd[0] >= 0 && g_aviso.duenio == yo) return;
  g_aviso.duenio = 0;
  if (g_aviso.fd[0] >= 0) {
    close(g_aviso.fd[0]);
    close(g_aviso.fd[1]);
    g_aviso.fd[0] = g_aviso.fd[1] = -1;
  }
  int p[2];
  if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return;  // plain EINTR remains
  g_aviso.fd[0] = p[0];
  g_aviso.fd[1] = p[1];
  g_aviso.duenio = yo;
}

// Called with no alarm pending, so no alarm can use the pipe meanwhile; an
// interrupt emptied away stays recorded for the wait to see.
void PrepararAviso() {
  AsegurarAviso();
  VaciarAviso();
}

void Avisar() {
  if (g_aviso.fd[1] < 0 || g_aviso.duenio != getpid()) return;
  char c = 1;
  ssize_t w = write(g_aviso.fd[1], &c, 1);
  (void)w;  // a full pipe already wakes the reader
}

// The interrupt of the run: the signal that came first, 0 while none did.
volatile sig_atomic_t g_interrupcion = 0;
bool g_interrupcionanotada = false;

const char *TextoInterrupcion(int senal) {
  if (senal == SIGTERM) return "SIGTERM recibido";
  if (senal == SIGHUP) return "SIGHUP recibido";
  return "Ctrl-C recibido";
}

// Logs the alarms that came since the last look.
void AnotarAlarmas() {
  if (g_linea.avisocolgado) {
    g_linea.avisocolgado = 0;
    LogMensaje("Hangup Alarm!", 8);
  }
  if (g_linea.alarma) {
    g_linea.alarma = 0;
    LogMensaje("Timeout Alarm!", 8);
  }
}

// What a wait of LeerByte that a signal ended returns.
int Despertado() {
  AnotarAlarmas();
  if (g_linea.colgado || Interrumpido()) return -2;
  return 0;
}

long long AhoraMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool Interrumpido() {
  int senal = g_interrupcion;
  if (senal == 0) return false;
  if (!g_interrupcionanotada) {
    g_interrupcionanotada = true;
    LogMensaje(TextoInterrupcion(senal), 1);
  }
  return true;
}

int ResultadoTrasInterrupcion(int resultado) {
  return Interrumpido() ? kAbortadoUsuario : resultado;
}

void ArmarAlarma(unsigned segundos) {
  alarm(0);
  AnotarAlarmas();
  PrepararAviso();
  alarm(segundos);
}

void DesarmarAlarma() {
  alarm(0);
  VaciarAviso();
  AnotarAlarmas();
}

FinEspera EsperarListo(int fd, short eventos, long long ms) {
  AsegurarAviso();
  const long long limite = ms < 0 ? -1 : AhoraMs() + ms;
  for (;;) {
    if (Interrumpido()) return kEsperaInterrumpida;
    struct pollfd espera[2] = {{fd, eventos, 0}, {g_aviso.fd[0], POLLIN, 0}};
    int plazo = -1;
    if (limite >= 0) {
      long long resta = limite - AhoraMs();
      plazo = resta <= 0 ? 0 : static_cast<int>(resta > 3600000 ? 3600000 : resta);
    }
    int n = poll(espera, 2, plazo);
    if (n < 0 && errno != EINTR) return kEsperaFallida;
    if (n > 0 && (espera[1].revents & POLLIN) != 0) VaciarAviso();
    if (n > 0 && espera[0].revents != 0) return kEsperaLista;
    if (Interrumpido()) return kEsperaInterrumpida;
    if (limite >= 0 && AhoraMs() >= limite) return kEsperaVencida;
  }
}

bool Dormir(long ms) { return EsperarListo(-1, 0, ms) != kEsperaInterrumpida; }

int LeerByte(unsigned char *byte) {
  AnotarAlarmas();
  if (g_linea.colgado || Interrumpido()) return -2;
  int fd = g_linea.fd;
  if (fd < 0 || fd >= FD_SETSIZE) {
    LogFormato(8, "Error! select(): %d %s", EBADF, TextoError(EBADF));
    return -1;
  }
  int aviso = g_aviso.fd[0];
  fd_set lectura;
  FD_ZERO(&lectura);
  FD_SET(fd, &lectura);
  int maximo = fd;
  if (aviso >= 0 && aviso < FD_SETSIZE) {
    FD_SET(aviso, &lectura);
    if (aviso > maximo) maximo = aviso;
  } else {
    aviso = -1;
  }
  int n = select(maximo + 1, &lectura, nullptr, nullptr, nullptr);
  if (n < 0) {
    int e = errno;
    if (e == EINTR) {
      VaciarAviso();
      return Despertado();
    }
    LogFormato(8, "Error! select(): %d %s", e, TextoError(e));
    return -1;
  }
  if (aviso >= 0 && FD_ISSET(aviso, &lectura)) {
    VaciarAviso();
    return Despertado();
  }
  if (read(fd, byte, 1) != 1) return -2;
  return 1;
}

int EsperarRespuesta(const char *const *respuestas, unsigned segundos) {
  size_t cuantas = 0;
  size_t corta = 32000, larga = 0;
  for (; respuestas[cuantas] != nullptr; cuantas++) {
    size_t l = strlen(respuestas[cuantas]);
    if (l < corta) corta = l;
    if (l > larga) larga = l;
  }
  if (cuantas == 0) return -3;
  std::unique_ptr<unsigned char[]> ventana(new (std::nothrow) unsigned char[larga + 1]);
  if (!ventana) {
    LogMensaje("FATAL: No hay suficiente memoria", 1);
    return -1;
  }
  size_t lleno = 0;
  ArmarAlarma(segundos);
  unsigned char b;
  while (LeerByte(&b) == 1) {
    if (lleno < larga) {
      ventana[lleno++] = b;
    } else if (larga > 0) {
      memmove(ventana.get(), ventana.get() + 1, larga - 1);
      ventana[larga - 1] = b;
    }
    if (lleno < corta) continue;
    for (size_t i = 0; i < cuantas; i++) {
      size_t l = strlen(respuestas[i]);
      if (l <= lleno && memcmp(ventana.get() + lleno - l, respuestas[i], l) == 0) {
        DesarmarAlarma();
        return static_cast<int>(i);
      }
    }
  }
  return -1;
}

namespace {

// Logs a failed fcntl call and leaves errno as the call set it, for the
// caller's own message.
int FallaFcntl(const char *llamada) {
  int e = errno;
  LogFalla(1, e, "Error fcntl(..., %s)", llamada);
  errno = e;
  return kSinConexion;
}

int CambiarModo(bool bloqueante) {
  LogMensaje(bloqueante ? "Setting in blocking mode" : "Setting in non-blocking mode",
             bloqueante ? 10 : 11);
  int flags = fcntl(g_linea.fd, F_GETFL);
  if (flags < 0) return FallaFcntl("F_GETFL");
  flags = bloqueante ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (fcntl(g_linea.fd, F_SETFL, flags) < 0) return FallaFcntl("F_SETFL");
  return kExito;
}

}  // namespace

int ModoNoBloqueante() { return CambiarModo(false); }
int ModoBloqueante() { return CambiarModo(true); }

int EsperarConexion() {
  LogMensaje("Waiting ...", 10);
  int fd = g_linea.fd;
  if (fd >= 0) {
    FinEspera fin = EsperarListo(fd, POLLOUT, 5000);
    if (fin == kEsperaInterrumpida) return kSinConexion;
    if (fin == kEsperaLista) {
      int error = 0;
      socklen_t largo = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &largo) != 0) error = errno;
      if (error == 0) return kExito;
      LogFalla(1, error, "Error in connection()");
      return kSinConexion;
    }
  }
  LogMensaje("Timeout esperando conexion ...", 3);
  return kSinConexion;
}

void FijarManejador(int senal, void (*manejador)(int), struct sigaction *previa) {
  struct sigaction accion {};
  accion.sa_handler = manejador;
  sigemptyset(&accion.sa_mask);
  // Reads and writes resume after a handler; the waits that an alarm must
  // cut short use select(2), which never resumes, and the self-pipe.
  accion.sa_flags = SA_RESTART;
  sigaction(senal, &accion, previa);
}

// ---------------------------------------------------------------- handlers
// Only async-signal-safe calls below: the handlers may interrupt anything,
// the log and the allocator included.

void HangupAlarm(int) {
  int e = errno;
  g_linea.colgado = 1;
  g_linea.avisocolgado = 1;
  Avisar();
  errno = e;
}

void TimeoutAlarm(int) {
  int e = errno;
  g_linea.alarma = 1;
  Avisar();
  errno = e;
}

namespace {

// The signals that end a run like a keyboard interrupt.
constexpr int kInterrupciones[] = {SIGINT, SIGTERM, SIGHUP};

void MascaraInterrupciones(sigset_t *mascara) {
  sigemptyset(mascara);
  for (int s : kInterrupciones) sigaddset(mascara, s);
}

}  // namespace

void CtrlCHandler(int senal) {
  int e = errno;
  pid_t hijo = g_linea.hijo;
  if (hijo > 0) {
    // The protocol child ends the session; its SIGHUP means a lost carrier,
    // so whatever came here reaches it as an interrupt.
    kill(hijo, SIGINT);
  } else {
    if (g_interrupcion == 0) g_interrupcion = senal;
    Avisar();
  }
  errno = e;
}

void InstalarInterrupciones() {
  AsegurarAviso();
  struct sigaction accion {};
  accion.sa_handler = CtrlCHandler;
  // One handler at a time. No SA_RESTART: a write that the line holds up
  // (a modem without CTS, a peer that stopped reading) ends with EINTR
  // instead of waiting on after the interrupt.
  MascaraInterrupciones(&accion.sa_mask);
  accion.sa_flags = 0;
  for (int s : kInterrupciones) sigaction(s, &accion, nullptr);
}

void IgnorarInterrupciones() {
  for (int s : kInterrupciones) FijarManejador(s, SIG_IGN);
}

ManejarInterrupciones::ManejarInterrupciones() {
  for (size_t i = 0; i < 3; i++) sigaction(kInterrupciones[i], nullptr, &previa[i]);
  InstalarInterrupciones();
}

ManejarInterrupciones::~ManejarInterrupciones() {
  for (size_t i = 0; i < 3; i++) sigaction(kInterrupciones[i], &previa[i], nullptr);
}

RetenerInterrupciones::RetenerInterrupciones() {
  sigset_t mascara;
  MascaraInterrupciones(&mascara);
  sigprocmask(SIG_BLOCK, &mascara, &previa);
}

RetenerInterrupciones::~RetenerInterrupciones() { sigprocmask(SIG_SETMASK, &previa, nullptr); }
