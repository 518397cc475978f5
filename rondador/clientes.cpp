// clientes.cpp - starting the client: the ping that may come first, the
// double fork that detaches the client from the daemon, and the exec, whose
// failure the grandchild reports back through a pipe. What a child inherits
// is set here too: no lock of the daemon, SIGHUP as whoever started the
// daemon gave it, SIGALRM at its default.
#include "clientes.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "acceso.h"
#include "espera.h"
#include "marcas.h"
#include "opciones.h"
#include "registro.h"
#include "unico.h"

namespace rondador {

namespace {

// The ping in progress.
struct EstadoPing {
  volatile sig_atomic_t pid = 0;      // ping now running, 0 when none
  volatile sig_atomic_t alarmas = 0;  // alarms it has taken
};
EstadoPing g_ping;

// SIGHUP was ignored by whoever started the daemon (see anotarhup).
bool g_hupignorado = false;

// Alarm handler during a ping: sends the terminate signal to the ping (the
// kill signal on a further alarm, for a ping that ignores it).
void killpingpid(int) {
  int guardado = errno;
  pid_t pid = g_ping.pid;
  if (pid != 0) {
    kill(pid, g_ping.alarmas == 0 ? SIGTERM : SIGKILL);
    g_ping.alarmas = g_ping.alarmas + 1;
    alarm(kPingEspera);  // a ping that ignores SIGTERM gets SIGKILL next
  }
  errno = guardado;
}

// One attempt of pinghost. Returns whether ping exited with 0.
bool pingunavez(const char *host) {
  pid_t pid = fork();
  if (pid == -1) {
    log_falla(1, errno, "Imposible crear proceso ping");
    return false;
  }
  if (pid == 0) {
    soltarunico();
    restaurarhup();
    fijarsenal(SIGALRM, SIG_DFL);
    int nulo = open("/dev/null", O_WRONLY | O_APPEND);
    if (nulo >= 0 && nulo != STDOUT_FILENO) {
      dup2(nulo, STDOUT_FILENO);
      close(nulo);
    }
    execlp("ping", "ping", "-qnc1", host, static_cast<char *>(nullptr));
    _exit(1);
  }
  g_ping.pid = pid;
  g_ping.alarmas = 0;
  fijarsenal(SIGALRM, killpingpid);
  alarm(kPingEspera);
  int st = 0;
  pid_t r;
  do {
    r = waitpid(pid, &st, 0);
  } while (r == -1 && errno == EINTR);
  alarm(0);
  fijarsenal(SIGALRM, SIG_IGN);
  g_ping.pid = 0;
  if (g_ping.alarmas > 0) log_f(5, "kill %u", static_cast<unsigned>(pid));
  return r == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace

int fijarsenal(int senal, void (*manejador)(int)) {
  struct sigaction sa {};
  sa.sa_handler = manejador;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  return sigaction(senal, &sa, nullptr);
}

void anotarhup() {
  struct sigaction antes {};
  g_hupignorado = sigaction(SIGHUP, nullptr, &antes) == 0 && antes.sa_handler == SIG_IGN;
}

void restaurarhup() {
  if (g_hupignorado) fijarsenal(SIGHUP, SIG_IGN);
}

void cortarping() {
  pid_t pid = g_ping.pid;
  if (pid != 0) kill(pid, SIGTERM);
}

bool pinghost(const char *host) {
  for (int i = 0; i < kPingIntentos; ++i) {
    if (finpedido != 0) return false;  // stopping: no more attempts
    if (pingunavez(host)) return true;
  }
  log_f(5, "Sin respuesta de %s despues de %d intentos", host, kPingIntentos);
  return false;
}

int fork2(pid_t *nieto) {
  *nieto = 0;
  int tubo[2];
  bool contubo = pipe2(tubo, O_CLOEXEC) == 0;
  pid_t hijo = fork();
  if (hijo == -1) {
    int e = errno;
    if (contubo) {
      close(tubo[0]);
      close(tubo[1]);
    }
    errno = e;
    return -1;
  }
  if (hijo == 0) {
    soltarunico();
    if (contubo) close(tubo[0]);
    pid_t n = fork();
    if (n == -1) _exit(errno);
    if (n > 0) {
      if (contubo) {
        ssize_t w = write(tubo[1], &n, sizeof n);
        (void)w;
      }
      _exit(0);
    }
    if (contubo) close(tubo[1]);
    return 0;
  }
  if (contubo) close(tubo[1]);
  int st = 0;
  pid_t r;
  do {
    r = waitpid(hijo, &st, 0);
  } while (r == -1 && errno == EINTR);
  int e = errno;
  if (contubo) {
    pid_t n = 0;
    ssize_t leido;
    do {
      leido = read(tubo[0], &n, sizeof n);
    } while (leido == -1 && errno == EINTR);
    if (leido == static_cast<ssize_t>(sizeof n)) *nieto = n;
    close(tubo[0]);
  }
  if (r == -1) {
    errno = e;
    return -1;
  }
  if (WIFSIGNALED(st)) {
    errno = EINTR;
    return -1;
  }
  if (WIFEXITED(st) && WEXITSTATUS(st) != 0) {
    errno = WEXITSTATUS(st);
    return -1;
  }
  return 1;
}

int ejecutarzelta(const char *path, char *const args[], FinCliente *fin) {
  const char *raiz = args[1];
  const char *terminal = nombreterminal(raiz);
  // The grandchild reports a failed exec through this pipe; a good exec
  // closes it (close-on-exec) without a word.
  int aviso[2];
  if (pipe2(aviso, O_CLOEXEC) != 0) {
    int e = errno;
    cerrarfin(fin);
    log_falla(1, e, "No se pudo iniciar zelta para la terminal %s (%s): pipe", terminal, raiz);
    return -1;
  }
  Descriptor lectura(aviso[0]), escritura(aviso[1]);
  // Taken from the clock file times come from, before the client can
  // write its estado.rsp.
  timespec lanzado{};
  clock_gettime(CLOCK_REALTIME_COARSE, &lanzado);
  pid_t nieto = 0;
  int r = fork2(&nieto);
  if (r == -1) {
    int e = errno;
    cerrarfin(fin);
    log_f(1, "Error al crear proc. zelta para terminal %s", raiz);
    log_falla(1, e, "No se pudo iniciar zelta para la terminal %s (%s)", terminal, raiz);
    return -1;
  }
  if (r == 1) {
    escritura.reset(-1);
    int e = 0;
    ssize_t n;
    do {
      n = read(lectura.fd, &e, sizeof e);
    } while (n == -1 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof e)) {
      // Logged by the grandchild, which ends at once: no client ran, so
      // there is no end to log.
      cerrarfin(fin);
      return -1;
    }
    registrarcliente(fin, nieto, raiz, lanzado);
    log_f(7, "Proceso cliente zelta creado (pid=%d)", static_cast<int>(nieto));
    log_f(1, "zelta iniciado para la terminal %s (pid=%d)", terminal, static_cast<int>(nieto));
    return 0;
  }
  lectura.reset(-1);
  heredarfin(*fin);
  restaurarhup();
  fijarsenal(SIGALRM, SIG_DFL);
  execv(path, args);
  int e = errno;
  log_f(1, "Error al ejecutar cliente zelta");
  log_falla(1, e, "No se pudo ejecutar %s para la terminal %s (%s)", path, terminal, raiz);
  ssize_t w = write(escritura.fd, &e, sizeof e);
  (void)w;
  _exit(1);
}

}  // namespace rondador
