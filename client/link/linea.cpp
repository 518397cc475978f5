// linea.cpp - the one line of the run: the line state, one-byte reads whose
// time-outs come from the process alarm, the wait for modem answers,
// blocking mode and the wait for a TCP connect, and the signal handlers.
//
// Time-outs rest on signals interrupting the wait of LeerByte. A signal that
// lands just before the wait begins would be lost, so the alarm and hang-up
// handlers also write one byte to a private pipe that LeerByte watches next
// to the line: the wait ends whenever the signal came.
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Called with no alarm pending, so no handler can use the pipe meanwhile.
void PrepararAviso() {
  pid_t yo = getpid();
  if (g_aviso.fd[0] >= 0 && g_aviso.duenio == yo) {
    VaciarAviso();
    return;
  }
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

void Avisar() {
  if (g_aviso.fd[1] < 0) return;
  char c = 1;
  ssize_t w = write(g_aviso.fd[1], &c, 1);
  (void)w;  // a full pipe already wakes the reader
}

}  // namespace

void ArmarAlarma(unsigned segundos) {
  alarm(0);
  PrepararAviso();
  alarm(segundos);
}

void DesarmarAlarma() {
  alarm(0);
  VaciarAviso();
}

int LeerByte(unsigned char *byte) {
  if (g_linea.colgado) return -2;
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
      return g_linea.colgado ? -2 : 0;
    }
    LogFormato(8, "Error! select(): %d %s", e, TextoError(e));
    return -1;
  }
  if (aviso >= 0 && FD_ISSET(aviso, &lectura)) {
    VaciarAviso();
    return g_linea.colgado ? -2 : 0;
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
  if (fd >= 0 && fd < FD_SETSIZE) {
    fd_set escritura;
    FD_ZERO(&escritura);
    FD_SET(fd, &escritura);
    struct timeval espera = {5, 0};
    if (select(fd + 1, nullptr, &escritura, nullptr, &espera) > 0) {
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
  Avisar();
  LogMensajeSenal("Hangup Alarm!", 8);
  errno = e;
}

void TimeoutAlarm(int) {
  int e = errno;
  Avisar();
  LogMensajeSenal("Timeout Alarm!", 8);
  errno = e;
}

namespace {

// The signals that end a run like a keyboard interrupt.
constexpr int kInterrupciones[] = {SIGINT, SIGTERM, SIGHUP};

const char *TextoInterrupcion(int senal) {
  if (senal == SIGTERM) return "SIGTERM recibido";
  if (senal == SIGHUP) return "SIGHUP recibido";
  return "Ctrl-C recibido";
}

void MascaraInterrupciones(sigset_t *mascara) {
  sigemptyset(mascara);
  for (int s : kInterrupciones) sigaddset(mascara, s);
}

}  // namespace

void CtrlCHandler(int senal) {
  // The session buffer is left alone: freeing is not safe here and the
  // process ends below anyway.
  pid_t hijo = g_linea.hijo;
  if (hijo > 0) {
    // The protocol child ends the session; its SIGHUP means a lost carrier,
    // so whatever came here reaches it as an interrupt.
    int e = errno;
    kill(hijo, SIGINT);
    errno = e;
    return;
  }
  LogMensajeSenal(TextoInterrupcion(senal), 1);
  int fd = g_linea.fd;
  if (fd != -1) {
    if (g_linea.hayguardado) tcsetattr(fd, TCSANOW, &g_linea.guardado);
    close(fd);
    g_linea.fd = -1;
  }
  LiberarLocksDevice();
  if (hijo == 0) _exit(kAbortadoUsuario);
  TerminarCorridaSenal(kAbortadoUsuario);
}

void InstalarInterrupciones() {
  struct sigaction accion {};
  accion.sa_handler = CtrlCHandler;
  // One handler at a time: a second signal waits until the first has ended
  // the process.
  MascaraInterrupciones(&accion.sa_mask);
  accion.sa_flags = SA_RESTART;
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
