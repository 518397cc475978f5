// espera.cpp - how the scan loop waits for work: woken by inotify when a
// marker appears in tx/, by the end of a client when the cap of running
// clients (-m) is reached, and in any case after kPollNanos, so that tx/ is
// still looked at when inotify is missing, its queue overflowed or tx/ was
// replaced.
//
// The daemon does not wait for its clients: they are grandchildren, and a
// client must outlive a daemon that stops or restarts. To learn of a
// client's end it hands the client the write end of a pipe (inherited across
// exec) and keeps the read end: end of file there means the client and
// everything it started have ended. Nothing is ever written into the pipe,
// so a client whose daemon is gone never notices it.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rondador.h"

int maxclientes = 0;

namespace {

constexpr uint32_t kEventosTx = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;
// What is asked of the watch: the events above, and the end of tx/ itself.
constexpr uint32_t kMascaraVigia = kEventosTx | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Events after which the watch is gone or useless.
constexpr uint32_t kFinVigia = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

// A client the daemon started and that is still running.
struct Cliente {
  int fin;    // read end of its pipe
  pid_t pid;  // for the log only
};

// State of the wait: the inotify instance and its watch on tx/, and the
// clients still running (tracked only under a cap).
struct EstadoEspera {
  int inotify = -1;  // -1: inotify not available, the poll alone finds markers
  int vigia = -1;    // watch on tx/, -1 while there is none
  bool avisado = false;  // the failure to watch tx/ was logged
  int pausa_ms = static_cast<int>(kPollNanos / 1000000);
  std::vector<Cliente> clientes;
  std::vector<pollfd> fds;  // of the last wait, kept to spare an allocation per wait
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
      continue;
    }
    g_espera.clientes[j++] = c;
  }
  g_espera.clientes.resize(j);
}

// One wait: on the inotify descriptor (unless the cap is reached) and on the
// pipes of the running clients, for at most the poll pause.
void esperar(bool lleno) {
  std::vector<pollfd> &fds = g_espera.fds;
  fds.clear();
  if (!lleno && g_espera.inotify >= 0) fds.push_back({g_espera.inotify, POLLIN, 0});
  size_t desde = fds.size();
  for (const Cliente &c : g_espera.clientes) fds.push_back({c.fin, POLLIN, 0});
  int r = poll(fds.data(), fds.size(), g_espera.pausa_ms);
  if (r > 0) recogerfines(fds, desde);
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

std::optional<std::string> esperartx(const char *dir) {
  bool esperando = false;
  for (;;) {
    if (finpedido == 0 && tomarunico() == kUnicoOcupado) finpedido = kFinPorTx;
    if (finpedido != 0) return std::nullopt;
    bool lleno = enlimite();
    if (!lleno) {
      // Events are read before the scan, so that a marker made during the
      // scan ends the next wait at once.
      vaciareventos(dir);
      if (auto nombre = buscartx(dir)) return nombre;
    }
    if (!esperando) {
      if (lleno) log_f(7, "Hay %d clientes en curso, esperando que termine uno", maxclientes);
      else log_f(10, "Sin transacciones, esperando");
      esperando = true;
    }
    esperar(lleno);
  }
}

int abrirfin(FinCliente *fin) {
  fin->lectura = fin->escritura = -1;
  if (maxclientes <= 0) return 0;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    log_f(1, "No se puede seguir el fin del cliente: pipe: %s", strerror(errno));
    return -1;
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

void registrarcliente(FinCliente *fin, pid_t pid) {
  if (fin->escritura >= 0) close(fin->escritura);
  fin->escritura = -1;
  if (fin->lectura < 0) return;
  g_espera.clientes.push_back({fin->lectura, pid});
  fin->lectura = -1;
}

void heredarfin(const FinCliente &fin) {
  if (fin.escritura >= 0) fcntl(fin.escritura, F_SETFD, 0);
}

size_t clientesencurso() { return g_espera.clientes.size(); }
