// line.h - the link layer: the one line of the run (serial device or TCP
// socket), one-byte reads with alarm time-outs, the signal handlers, the
// dial-up and TCP transports and the port-manager request and memory.
//
// Depends on control; used by protocol and run. A transport runs the session
// it is handed (CorrerSesionFn) and knows nothing of the protocol.
//
// Process-wide record owned here: the line state (g_linea).
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <csignal>

// ---------------------------------------------------------------- line state

struct EstadoLinea {
  int fd = -1;                        // open serial device or socket; -1 none
  struct termios guardado {};         // modem settings as found at open
  bool hayguardado = false;           // guardado holds settings to restore
  volatile sig_atomic_t colgado = 0;  // set by HangupAlarm; never cleared
  volatile sig_atomic_t alarma = 0;   // set by TimeoutAlarm; cleared once logged
  volatile sig_atomic_t avisocolgado = 0;  // set by HangupAlarm; cleared once logged
  volatile pid_t hijo = -1;           // -1 none; >0 in the dial-up parent; 0 in the child
};
extern EstadoLinea g_linea;

// ---------------------------------------------------------------- line I/O

void ArmarAlarma(unsigned segundos);
void DesarmarAlarma();
// 1 byte read; 0 time-out; -1 wait failed; -2 hang-up, end of line or an
// interrupt (Interrumpido() tells which).
int LeerByte(unsigned char *byte);
// Index of the first answer seen, -1 time-out/line lost/error, -3 no answers.
int EsperarRespuesta(const char *const *respuestas, unsigned segundos);
// The line descriptor in or out of non-blocking mode. Returns 0, or 5
// (logged, errno kept).
int ModoNoBloqueante();
int ModoBloqueante();
// Waits up to 5 seconds for a non-blocking connect of the line to finish.
// Returns 0 when connected, 5 otherwise (logged; nothing is logged for an
// interrupt).
int EsperarConexion();

// What a wait of EsperarListo ended with.
enum FinEspera { kEsperaLista, kEsperaVencida, kEsperaInterrumpida, kEsperaFallida };
// Waits up to ms milliseconds (-1: without limit) for fd to be ready for
// eventos (poll(2) events; fd -1 waits for nothing but the time), ending at
// once on an interrupt. kEsperaFallida leaves poll's errno.
FinEspera EsperarListo(int fd, short eventos, long long ms);
// Sleeps ms milliseconds. Returns true, or false as soon as an interrupt
// came (before or during the sleep).
bool Dormir(long ms);

// Sets the action for senal: manejador (a handler, SIG_IGN or SIG_DFL)
// with SA_RESTART and only senal itself held back while it runs, what
// signal(2) gives on glibc. The action it replaces goes to *previa when
// previa is not null.
void FijarManejador(int senal, void (*manejador)(int), struct sigaction *previa = nullptr);

// The handlers only record what came and wake the waits of this file
// through a private pipe; what follows runs on the normal path. Their log
// lines ("Hangup Alarm!", "Timeout Alarm!", "Ctrl-C recibido", ...) are
// written by the wait that notices them.
void HangupAlarm(int senal);
void TimeoutAlarm(int senal);
// SIGINT, SIGTERM and SIGHUP (outside the protocol child, whose SIGHUP is
// HangupAlarm): in the dial-up parent forwarded to the child as SIGINT;
// otherwise recorded as the run's interrupt (the first one counts). Every
// wait then returns at once, the session ends, and the run ends with 6
// through the same retention, status and unlocking as any failure.
void CtrlCHandler(int senal);

// Whether an interrupt came. The first call that sees it logs its line
// ("Ctrl-C recibido", "SIGTERM recibido", "SIGHUP recibido") at level 1.
bool Interrumpido();
// kAbortadoUsuario when an interrupt came, else resultado.
int ResultadoTrasInterrupcion(int resultado);

// Installs CtrlCHandler for SIGINT, SIGTERM and SIGHUP, for the rest of
// the run. They do not restart an interrupted call: a write the line holds
// up ends with EINTR.
void InstalarInterrupciones();
// Ignores the three once the run's outcome is written.
void IgnorarInterrupciones();

// CtrlCHandler for the three signals while it lives; the previous actions
// come back at its end.
struct ManejarInterrupciones {
  struct sigaction previa[3];
  ManejarInterrupciones();
  ~ManejarInterrupciones();
  ManejarInterrupciones(const ManejarInterrupciones &) = delete;
  ManejarInterrupciones &operator=(const ManejarInterrupciones &) = delete;
};

// Holds the three signals back while it lives, so that CtrlCHandler never
// sees a record half changed; a pending one is delivered at its end.
struct RetenerInterrupciones {
  sigset_t previa;
  RetenerInterrupciones();
  ~RetenerInterrupciones();
  RetenerInterrupciones(const RetenerInterrupciones &) = delete;
  RetenerInterrupciones &operator=(const RetenerInterrupciones &) = delete;
};

// ---------------------------------------------------------------- transports

// The session a transport runs once its line is up (the run passes the
// protocol's CorrerSesion). Returns the session's result code.
using CorrerSesionFn = int (*)();

// Dial-up session through a protocol child, which runs sesion after
// CONNECT. Returns the result code; 6 once an interrupt came (the child's
// is forwarded to it, and it ends at once with 6).
int SesionModem(CorrerSesionFn sesion);
// TCP session against host:port with REINTENTOS attempts; sesion runs on
// the first connection made. Result code; 6 once an interrupt came.
int SesionTCP(const char *host, unsigned short puerto, CorrerSesionFn sesion);

// ---------------------------------------------------------------- port manager

// Asks the port manager for a host and port. 0 with outhost/outport set, or 5
// (also when an interrupt ends the request).
int PortMgrConnect(const char *host, unsigned short puerto, char *outhost, size_t tam,
                   unsigned short *outport);
// 1 when zelta.portmgr lists the destination, 0 otherwise.
int LEAUsaPortMgr(const char *clave, int empresa, int actividad);
// Appends the destination to zelta.portmgr.
void WriteLEAUsaPortMgr(const char *clave, int empresa, int actividad);
