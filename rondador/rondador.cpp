// rondador.cpp - the daemon itself: its start (command line, log, the lock
// of the base directory, the transcoding table, detaching), its signals, and
// the loop that takes each marker of <basedir>/tx/ to a client start.
#include "rondador.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "acceso.h"
#include "clientes.h"
#include "espera.h"
#include "marcas.h"
#include "opciones.h"
#include "prestaciones.h"
#include "registro.h"
#include "unico.h"

namespace rondador {

namespace {

// How the daemon was started, as far as a reload needs it: with -d,
// standard output and error go to the log file.
bool g_demonio = false;

void pausar() {
  timespec pausa{0, kPollNanos};
  nanosleep(&pausa, nullptr);
}

// Handler of SIGTERM and SIGINT: the scan loop ends at its next look, and a
// ping in progress is ended now so the stop is not held up.
void pedirfin(int senal) {
  int guardado = errno;
  finpedido = senal;
  cortarping();
  despertarespera();
  errno = guardado;
}

// Handler of SIGHUP: the scan loop reloads before its next look at tx/.
void pedirrecarga(int) {
  recargapedida = 1;
  despertarespera();
}

// SIGINT stays ignored when whoever started the daemon ignored it (a
// shell's background job): it asked the daemon to outlive it. SIGHUP is
// always taken, ignored or not: it only reloads, so a hangup that reaches a
// daemon started under nohup does no harm, and such a daemon can still be
// told to reopen its log. Its clients and pings get SIGHUP as it was given
// (see restaurarhup), so a client started under nohup still outlives a
// hangup.
void atendersenales() {
  struct sigaction sa {};
  sa.sa_handler = pedirfin;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a wait in progress returns at once
  for (int s : {SIGTERM, SIGINT}) {
    struct sigaction antes {};
    if (s != SIGTERM && sigaction(s, nullptr, &antes) == 0 && antes.sa_handler == SIG_IGN) continue;
    sigaction(s, &sa, nullptr);
  }
  anotarhup();
  sa.sa_handler = pedirrecarga;
  sigaction(SIGHUP, &sa, nullptr);
}

// Logs the end of the daemon and returns its exit status.
int terminar(const char *basedir) {
  int senal = finpedido;
  if (senal == kFinPorTx) {
    log_f(1, "rondador detenido: otro rondador atiende %s", basedir);
    return kSalidaError;
  }
  log_f(1, "rondador detenido por la senal %d (%s)", senal, strsignal(senal));
  return 0;
}

// After a failed client start: the marker is back and would be found at
// once, so the daemon waits, longer after each failure in a row (the
// cause, a missing or broken client program, rarely mends itself soon), up
// to kPausaFalloMax. A signal cuts the wait short.
void pausarfallo(int fallos) {
  long ms = kPollNanos / 1000000;
  for (int i = 1; i < fallos && ms < kPausaFalloMax * 1000L; ++i) ms *= 2;
  ms = std::min(ms, kPausaFalloMax * 1000L);
  timespec pausa{ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&pausa, nullptr);
}

// Reopens the log file (the old one may have been renamed by logrotate) and
// reloads the transcoding table of -t, keeping the table in use when the
// new one cannot be loaded; logs the outcome at level 1.
void recargar() {
  reabrirregistro(g_demonio);
  if (transfilepath == nullptr) {
    log_f(1, "Recarga pedida: log reabierto; no hay tabla de prestaciones (-t)");
    return;
  }
  size_t antes = contartabla();
  int r = recargartabla(transfilepath);
  if (r == 0) {
    log_f(1, "Tabla de prestaciones recargada: %zu codigos", contartabla());
  } else {
    log_f(1, "Tabla de prestaciones no recargada: %s %s; se mantiene la anterior (%zu codigos)",
          r == kSinMemoria ? "no hay memoria suficiente para" : "no se pudo leer", transfilepath,
          antes);
  }
}

// Detaches the process from its terminal and parent, with umask 0, standard
// output and error appended to logfilepath and standard input /dev/null.
void makedaemon() {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == -1) {
    log_falla(1, errno, "No se pudo crear el daemon");
    exit(kSalidaError);
  }
  if (pid > 0) _exit(0);
  setsid();
  pid = fork();
  if (pid == -1) {
    log_falla(1, errno, "No se pudo crear el daemon");
    _exit(kSalidaError);
  }
  if (pid > 0) _exit(0);
  umask(0);
  fflush(stdout);
  fflush(stderr);
  Descriptor salida(abrirlog(logfilepath));
  if (salida.fd < 0 || dup2(salida.fd, STDOUT_FILENO) < 0)
    log_falla(1, errno, "reopen stdout");
  if (salida.fd < 0 || dup2(salida.fd, STDERR_FILENO) < 0)
    log_falla(1, errno, "reopen stderr");
  if (freopen("/dev/null", "r", stdin) == nullptr)
    log_falla(1, errno, "reopen stdin");
  log_f(2, "rondador daemon cargado");
}

}  // namespace

#ifndef ZELTA_VERSION_PAQUETE
#define ZELTA_VERSION_PAQUETE "desconocida"
#endif

int rondador_main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("rondador %s (paquete zelta %s)\n", kVersionRondador, ZELTA_VERSION_PAQUETE);
    return 0;
  }
  printf("rondador %s\n", kVersionRondador);
  fflush(stdout);
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    uso(argv[0]);
    return 0;
  }
  bool demonio = false;
  if (argc < 3 || leeropciones(argc, argv, nullptr, &demonio) != 0) {
    uso(argv[0]);
    return kSalidaUso;
  }
  std::unique_ptr<char *[], LiberarC> args(
      static_cast<char **>(calloc(static_cast<size_t>(argc) + 1, sizeof(char *))));
  if (!args) {
    printf("FATAL: %s\n", "no hay suficiente memoria");
    return kSalidaError;
  }
  const char *basedir = argv[1];
  const char *zeltapath = argv[2];
  args[0] = argv[2];
  leeropciones(argc, argv, args.get(), &demonio);
  if (demonio && logfilepath == nullptr) {
    printf("ERROR: debe especificar un logfile para ser daemon\n");
    return kSalidaError;
  }
  if (int e = abrirregistro(); e != 0) {
    printf("ERROR: no se puede abrir el logfile %s: %s\n", logfilepath, strerror(e));
    return kSalidaError;
  }
  Texto dirtx = unir(basedir, separador(basedir), "tx/");
  if (!dirtx) {
    log_f(1, "no hay suficiente memoria");
    return kSalidaSinMemoria;
  }
  gtxdir = dirtx.get();
  // Before detaching, so that a refusal reaches whoever started us.
  int unico = arrancarunico(basedir);
  if (unico == kUnicoOcupado) {
    printf("ERROR: otro rondador ya atiende %s (%s esta bloqueado)\n", basedir, rutaunico());
    if (logfile != nullptr)
      log_f(1, "ERROR: otro rondador ya atiende %s (%s esta bloqueado)", basedir, rutaunico());
    return kSalidaError;
  }
  if (unico == kUnicoAjeno) {
    // Logged by tomarunico; said here too for whoever started us.
    printf("ERROR: %s no es un archivo regular de root con un solo nombre; borrelo y vuelva a "
           "iniciar rondador\n",
           visible(rutaunico()).c_str());
    return kSalidaError;
  }
  if (transfilepath != nullptr) {
    int r = parsefile(transfilepath);
    if (r != 0) return r;
    log_f(5, "Archivo de transcodificacion cargado: %s", transfilepath);
  }
  if (demonio) makedaemon();
  g_demonio = demonio;
  // fork2 and pinghost wait for their children: an ignored SIGCHLD handed
  // down by whoever started us would make every wait fail.
  fijarsenal(SIGCHLD, SIG_DFL);
  abrirdespertador();
  atendersenales();
  log_f(1, "rondador %s iniciado (pid=%d): basedir %s, zelta %s, opciones %s", kVersionRondador,
        static_cast<int>(getpid()), basedir, zeltapath, textoopciones(argc, argv).c_str());
  iniciarespera(gtxdir);

  int fallosseguidos = 0;  // client starts failed in a row
  for (;;) {
    log_f(2, "Buscando transacciones...");
    std::optional<std::string> nombre = esperartx(gtxdir, recargar);
    if (!nombre) return terminar(basedir);
    FinCliente fin;
    if (abrirfin(&fin) != 0) {
      // Under a cap a client whose end cannot be seen must not start: the
      // marker stays and is tried again after a pause.
      pausar();
      continue;
    }
    log_f(2, "Tx encontrada en %s", nombre->c_str());
    Texto raiz = raizdeterminal(basedir, *nombre);
    if (!raiz) {
      // Without memory for the path the client cannot be started; the
      // marker stays and is tried again after a pause.
      log_f(1, "No hay memoria suficiente para la terminal %s", nombre->c_str());
      cerrarfin(&fin);
      pausar();
      continue;
    }
    if (!marcavalida(gtxdir, *nombre, raiz.get())) {
      cerrarfin(&fin);
      borrarmarca(gtxdir, *nombre);
      continue;
    }
    args[1] = raiz.get();
    if (hosttoping != nullptr) pinghost(hosttoping);
    if (finpedido != 0) {
      // Stopped during the ping: the marker stays for the next daemon.
      cerrarfin(&fin);
      return terminar(basedir);
    }
    // The marker is taken (deleted, durably) before its work starts: a
    // daemon killed after this point cannot start a second client for it.
    // One that cannot be deleted still starts its client once: it is passed
    // over until it changes (see borrarmarca).
    bool tomada = borrarmarca(gtxdir, *nombre) == 0;
    if (transfilepath != nullptr && replaceprest(raiz.get()) != 0)
      log_f(1, "Error al reemplazar prestaciones []");
    if (ejecutarzelta(zeltapath, args.get(), &fin) == 0) {
      fallosseguidos = 0;
      continue;
    }
    if (tomada) restituirmarca(gtxdir, *nombre);
    pausarfallo(++fallosseguidos);
  }
}

}  // namespace rondador
