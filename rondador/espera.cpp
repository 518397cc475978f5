// espera.cpp - how the scan loop waits for work: woken by inotify when a
// marker appears in tx/, by the end of a client (which is logged, and frees
// a place when the cap of running clients, -m, is reached), by a signal
// through the self-pipe, and in any case after kPollNanos, so that tx/ is
// still looked at when inotify is missing, its queue overflowed or tx/ was
// replaced. A reload asked for by SIGHUP is carried out here, between two
// waits.
//
// The daemon does not wait for its clients: they are grandchildren, and a
// client must outlive a daemon that stops or restarts. To learn of a
// client's end it hands the client the write end of a pipe (inherited across
// exec) and keeps the read end: end of file there means the client and
// everything it started have ended. Nothing is ever written into the pipe,
// so a client whose daemon is gone never notices it. The end is logged with
// the result the client left in its terminal's estado.rsp.
#include "espera.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "acceso.h"
#include "marcas.h"
#include "opciones.h"
#include "registro.h"
#include "unico.h"

namespace rondador {

namespace {

constexpr uint32_t kEventosTx = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;
// What is asked of the watch: the events above, and the end of tx/ itself.
constexpr uint32_t kMascaraVigia = kEventosTx | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Events after which the watch is gone or useless.
constexpr uint32_t kFinVigia = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

// Bytes of estado.rsp read for the log: its line is a code and a short text.
constexpr size_t kMaxEstado = 80;

// A client the daemon started and that is still running.
struct Cliente {
  int fin;    // read end of its pipe
  pid_t pid;  // for the log only
  std::string raiz;   // its terminal root, where it leaves estado.rsp
  timespec lanzado;   // CLOCK_REALTIME_COARSE before its start, as file times go
  timespec inicio;    // CLOCK_MONOTONIC at its start, for its duration
};

// The self-pipe by which the signal handlers end a wait at once: a signal
// that comes between the last look at the flags and poll is not lost.
struct Despertador {
  int lectura = -1;
  int escritura = -1;
};
Despertador g_despertador;

// State of the wait: the inotify instance and its watch on tx/, and the
// clients still running (tracked only under a cap).
struct EstadoEspera {
  int inotify = -1;  // -1: inotify not available, the poll alone finds markers
  int vigia = -1;    // watch on tx/, -1 while there is none
  bool avisado = false;  // the failure to watch tx/ was logged
  int pausa_ms = static_cast<int>(kPollNanos / 1000000);
  std::vector<Cliente> clientes;
  std::vector<pollfd> fds;  // of the last wait, kept to spare an allocation per wait
  std::vector<std::string> encola;  // markers already logged as held back by the cap
};
EstadoEspera g_espera;

// Watches dir unless a watch is in place. A failure is logged once and
// leaves the poll to find markers.
void vigilar(const char *dir) {
  if (g_espera.inotify < 0 || g_espera.vigia >= 0) return;
  g_espera.vigia = inotify_add_watch(g_espera.inotify, dir, kMascaraVigia);
  if (g_espera.vigia >= 0) {
    log_f(5, "Vigilando %s con inotify", dir);
    g_espera.avisado = false;
  } else if (!g_espera.avisado) {
    log_f(1, "No se puede vigilar %s con inotify (%s); se revisa cada %d ms", dir,
          strerror(errno), g_espera.pausa_ms);
    g_espera.avisado = true;
  }
}

// Reads every pending event. The events themselves need no handling, since
// a scan follows; only the end of the watch (tx/ deleted or moved away)
// matters: a new watch is set on whatever tx/ now is.
void vaciareventos(const char *dir) {
  if (g_espera.inotify < 0) return;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(g_espera.inotify, buf, sizeof buf);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t p = 0; p < n;) {
      const auto *ev = reinterpret_cast<const inotify_event *>(buf + p);
      if (ev->wd == g_espera.vigia && (ev->mask & kFinVigia) != 0) {
        if ((ev->mask & IN_IGNORED) == 0) inotify_rm_watch(g_espera.inotify, g_espera.vigia);
        g_espera.vigia = -1;
      }
      p += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  vigilar(dir);
}

// Whether file time a comes before b.
bool antes(const timespec &a, const timespec &b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// Logs the end of client c: its terminal, pid, the result it left in
// estado.rsp (read as any file under a terminal root: below the root's
// descriptor, no links, regular files only, a few bytes) and how long it
// ran. An estado.rsp older than the start is the last run's, not this one's.
void anunciarfin(const Cliente &c) {
  timespec ahora;
  clock_gettime(CLOCK_MONOTONIC, &ahora);
  long ms = (ahora.tv_sec - c.inicio.tv_sec) * 1000L + (ahora.tv_nsec - c.inicio.tv_nsec) / 1000000L;
  std::string linea;
  timespec mtime{};
  int e = leerlinea(c.raiz.c_str(), "estado.rsp", kMaxEstado, &linea, &mtime);
  std::string resultado;
  if (e != 0) {
    resultado = std::string("sin resultado (estado.rsp: ") + textoerror(e) + ")";
  } else if (antes(mtime, c.lanzado)) {
    resultado = "sin resultado nuevo (estado.rsp es de antes del inicio)";
  } else {
    resultado = "resultado " + linea;
  }
  log_f(1, "zelta terminado para la terminal %s (pid=%d): %s; duracion %ld.%ld s",
        nombreterminal(c.raiz.c_str()), static_cast<int>(c.pid), resultado.c_str(), ms / 1000,
        (ms % 1000) / 100);
}

// Empties the self-pipe.
void vaciardespertador() {
  char buf[64];
  while (g_despertador.lectura >= 0 && read(g_despertador.lectura, buf, sizeof buf) > 0) {
  }
}

// At the cap: logs, once each, the markers that wait for a client to end.
// The listing is the scan's own (buscartx), kept between polls, so a full
// tx/ costs no more than a scan per wait.
void anunciarencola(const char *dir) {
  buscartx(dir);
  std::vector<std::string> ahora = marcasencola();
  for (const std::string &nombre : ahora) {
    if (std::find(g_espera.encola.begin(), g_espera.encola.end(), nombre) != g_espera.encola.end())
      continue;
    log_f(1, "Marca %s en espera: hay %zu clientes en curso (limite -m %d)", nombre.c_str(),
          g_espera.clientes.size(), maxclientes);
  }
  // Markers gone from tx/ are forgotten, so one made again is logged again.
  g_espera.encola = std::move(ahora);
}

bool enlimite() {
  return maxclientes > 0 && g_espera.clientes.size() >= static_cast<size_t>(maxclientes);
}

// Forgets the clients whose pipe reports its end (revents from poll, in the
// order of g_espera.clientes starting at fds[desde]).
void recogerfines(const std::vector<pollfd> &fds, size_t desde) {
  size_t j = 0;
  for (size_t i = 0; i < g_espera.clientes.size(); ++i) {
    const Cliente &c = g_espera.clientes[i];
    if (fds[desde + i].revents != 0) {
      close(c.fin);
      log_f(7, "Proceso cliente zelta terminado (pid=%d)", static_cast<int>(c.pid));
      anunciarfin(c);
      continue;
    }
    g_espera.clientes[j++] = c;
  }
  g_espera.clientes.resize(j);
}

// One wait: on the self-pipe, on the inotify descriptor (unless the cap is
// reached) and on the pipes of the running clients, for at most the poll
// pause.
void esperar(bool lleno) {
  std::vector<pollfd> &fds = g_espera.fds;
  fds.clear();
  if (g_despertador.lectura >= 0) fds.push_back({g_despertador.lectura, POLLIN, 0});
  if (!lleno && g_espera.inotify >= 0) fds.push_back({g_espera.inotify, POLLIN, 0});
  size_t desde = fds.size();
  for (const Cliente &c : g_espera.clientes) fds.push_back({c.fin, POLLIN, 0});
  int r = poll(fds.data(), fds.size(), g_espera.pausa_ms);
  if (r > 0) {
    if (g_despertador.lectura >= 0 && fds[0].revents != 0) vaciardespertador();
    recogerfines(fds, desde);
  }
}

}  // namespace

void iniciarespera(const char *dir) {
  if (const char *p = getenv("RONDADOR_PAUSA_MS"); p != nullptr && atoi(p) > 0)
    g_espera.pausa_ms = atoi(p);
  if (getenv("RONDADOR_SIN_INOTIFY") == nullptr) {
    g_espera.inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_espera.inotify < 0)
      log_f(1, "inotify no disponible (%s); se revisa cada %d ms", strerror(errno),
            g_espera.pausa_ms);
  }
  vigilar(dir);
}

int abrirdespertador() {
  int p[2];
  if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
    log_falla(1, errno, "No se puede crear el aviso de senales: pipe");
    return -1;
  }
  g_despertador.lectura = p[0];
  g_despertador.escritura = p[1];
  return 0;
}

void despertarespera() {
  int guardado = errno;
  if (g_despertador.escritura >= 0) {
    // A full pipe already wakes the wait; the byte may be dropped.
    ssize_t w = write(g_despertador.escritura, "", 1);
    (void)w;
  }
  errno = guardado;
}

std::optional<std::string> esperartx(const char *dir, void (*recargar)()) {
  bool esperando = false;
  for (;;) {
    if (recargapedida != 0) {
      recargapedida = 0;
      recargar();
    }
    if (finpedido == 0 && tomarunico() == kUnicoOcupado) finpedido = kFinPorTx;
    if (finpedido != 0) return std::nullopt;
    bool lleno = enlimite();
    if (!lleno) {
      // Events are read before the scan, so that a marker made during the
      // scan ends the next wait at once.
      vaciareventos(dir);
      if (auto nombre = buscartx(dir)) {
        auto &encola = g_espera.encola;
        encola.erase(std::remove(encola.begin(), encola.end(), *nombre), encola.end());
        return nombre;
      }
    }
    if (!esperando) {
      if (lleno) log_f(7, "Hay %d clientes en curso, esperando que termine uno", maxclientes);
      else log_f(10, "Sin transacciones, esperando");
      esperando = true;
    }
    if (lleno) anunciarencola(dir);
    esperar(lleno);
  }
}

int abrirfin(FinCliente *fin) {
  fin->lectura = fin->escritura = -1;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    log_falla(1, errno, "No se puede seguir el fin del cliente: pipe");
    // Without a cap the client may run untracked; only its end goes
    // unlogged.
    return maxclientes > 0 ? -1 : 0;
  }
  fin->lectura = p[0];
  fin->escritura = p[1];
  return 0;
}

void cerrarfin(FinCliente *fin) {
  if (fin->lectura >= 0) close(fin->lectura);
  if (fin->escritura >= 0) close(fin->escritura);
  fin->lectura = fin->escritura = -1;
}

void registrarcliente(FinCliente *fin, pid_t pid, const char *raiz, const timespec &lanzado) {
  if (fin->escritura >= 0) close(fin->escritura);
  fin->escritura = -1;
  if (fin->lectura < 0) return;
  Cliente c{fin->lectura, pid, raiz, lanzado, {}};
  clock_gettime(CLOCK_MONOTONIC, &c.inicio);
  g_espera.clientes.push_back(std::move(c));
  fin->lectura = -1;
}

void heredarfin(const FinCliente &fin) {
  if (fin.escritura >= 0) fcntl(fin.escritura, F_SETFD, 0);
}

}  // namespace rondador
