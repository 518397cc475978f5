// main.cpp - kaldo-server's command line, the listening socket and the
// loop that serves one session after another and prints a summary line
// for each.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "servidor.h"

namespace {

const char kAyuda[] =
    "usage: kaldo-server [options]\n"
    "A KALDO server simulator: it accepts TCP connections and serves one session\n"
    "on each, one after another (ENQ, PDH, FS, PDC; the upload; the download; DC1).\n"
    "\n"
    "  --listen HOST:PORT     address to listen on (default 127.0.0.1:0; port 0\n"
    "                         picks a free port)\n"
    "  --port-file F          write the port number to F once listening\n"
    "  --sessions N           serve N sessions, then exit (default 1; 0: forever)\n"
    "  --download F           answer with the bundle in file F\n"
    "  --download-dir D       answer with a bundle of binary records, one for each\n"
    "                         file of D in name order, read once at the start\n"
    "                         (default: an empty download); an update directory\n"
    "                         signed by scripts/firmar-actualizacion is delivered\n"
    "                         as it is, _manifiesto and _manifiesto.sig included\n"
    "  --upload F             store each received upload bundle, escaping removed,\n"
    "                         in F (\"%d\" in F stands for the session number)\n"
    "  --upload-raw F         the same, as it came over the line (escaped)\n"
    "  --down-block N         download block size (default: the client's BLOCKSIZE)\n"
    "  --timeout S            seconds to wait for the client at any point (default 60)\n"
    "  --delay-ms N           pause N milliseconds before every answer\n"
    "  -v, --verbose          trace every byte and frame on standard error\n"
    "  --help                 this text\n"
    "\n"
    "Faults (P is one of: accept, dle, pdc, up:N, upeot, down:N, end):\n"
    "  --silent               accept and never say anything (= --mute-at accept)\n"
    "  --bad-pdh-crc N        the first N PDH frames carry a wrong check byte\n"
    "  --pdh-len L            send a PDH payload of L characters instead of 36\n"
    "  --nak-pdc N            answer the first N PDC frames with NAK\n"
    "  --restart B            name block B in the first restart answer\n"
    "  --nak-up B:N           answer upload block B with NAK N times\n"
    "  --syn-up B[:R]         answer upload block B with SYN once, then restart at\n"
    "                         block R (default B)\n"
    "  --dup-down B           send download block B twice in a row\n"
    "  --skip-down B          send block B+1 where block B is due, once\n"
    "  --bad-down-crc B       send download block B with a wrong check byte, once\n"
    "  --eot-down B           send EOT where download block B is due\n"
    "  --close-at P           close the connection at point P\n"
    "  --mute-at P            fall silent at point P (read and drop until closed)\n"
    "  --no-dc1               never confirm the transaction (= --mute-at end)\n"
    "  --pause-at P:MS        pause MS milliseconds at point P, once, before the\n"
    "                         next answer (makes the client time out there)\n"
    "  --flip F:B             flip bit B of frame F as it goes out (F = 1 is the\n"
    "                         first frame the session sends, PDH; repeats count;\n"
    "                         B = 0 is the lowest bit of STX); may be repeated\n"
    "\n"
    "Points: accept (before ENQ), dle (DLE came, before PDH), pdc (PDC came,\n"
    "before its answer), up:N (upload block N came, before its answer), upeot\n"
    "(the client's EOT after the upload came, before SYN), down:N (before\n"
    "download block N), end (the client's closing EOT came, before DC1).\n"
    "\n"
    "One line per session on standard output:\n"
    "  session=N result=R up_blocks=N up_bytes=N down_blocks=N down_bytes=N\n"
    "  naks=N syns=N blocksize=N pdc=TEXT anomalies=N\n"
    "R: ok (ended with ETB), lost (the client closed early), timeout, cut\n"
    "(--close-at), muted (--mute-at). anomalies counts departures of the client\n"
    "from the protocol, each described on standard error.\n"
    "Exit status: 0 after the sessions asked for, 2 on a usage or setup error.\n";

int Uso(const char *mensaje, const char *arg) {
  fprintf(stderr, "kaldo-server: %s%s%s\n(try --help)\n", mensaje, arg ? ": " : "", arg ? arg : "");
  return 2;
}

bool LeerEntero(const char *texto, long &valor, long minimo) {
  if (texto == nullptr || *texto == '\0') return false;
  char *fin;
  errno = 0;
  long v = strtol(texto, &fin, 10);
  if (errno != 0 || *fin != '\0' || v < minimo) return false;
  valor = v;
  return true;
}

// "B:N" (segundo obligatorio) or "B[:R]" (segundo optional, -1 when absent).
bool LeerPar(const char *texto, long &a, long &b, bool obligatorio) {
  std::string t = texto ? texto : "";
  size_t dos = t.find(':');
  if (dos == std::string::npos) {
    if (obligatorio) return false;
    b = -1;
    return LeerEntero(t.c_str(), a, 0);
  }
  return LeerEntero(t.substr(0, dos).c_str(), a, 0) &&
         LeerEntero(t.substr(dos + 1).c_str(), b, 0);
}

int ParsearOpciones(int argc, char **argv, Opciones &op) {
  Fallas &f = op.fallas;
  for (int i = 1; i < argc; ++i) {
    std::string o = argv[i];
    if (o == "--help" || o == "-h") {
      fputs(kAyuda, stdout);
      exit(0);
    }
    if (o == "-v" || o == "--verbose") {
      op.verboso = true;
      continue;
    }
    if (o == "--silent") {
      f.callar.tipo = kPuntoAccept;
      continue;
    }
    if (o == "--no-dc1") {
      f.callar.tipo = kPuntoFinal;
      continue;
    }
    const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (v == nullptr) return Uso("option needs a value", o.c_str());
    ++i;
    long n = 0;
    long m = 0;
    bool ok = true;
    if (o == "--listen") {
      op.escucha = v;
    } else if (o == "--port-file") {
      op.archivopuerto = v;
    } else if (o == "--sessions") {
      ok = LeerEntero(v, op.sesiones, 0);
    } else if (o == "--download") {
      op.bajada = v;
    } else if (o == "--download-dir") {
      op.bajadadir = v;
    } else if (o == "--upload") {
      op.subida = v;
    } else if (o == "--upload-raw") {
      op.subidacruda = v;
    } else if (o == "--down-block") {
      ok = LeerEntero(v, n, 1) && n <= 4093;
      op.bloquebajada = static_cast<int>(n);
    } else if (o == "--timeout") {
      ok = LeerEntero(v, n, 1) && n <= 86400;
      op.espera = static_cast<int>(n);
    } else if (o == "--delay-ms") {
      ok = LeerEntero(v, n, 0) && n <= 60000;
      f.demorams = static_cast<int>(n);
    } else if (o == "--bad-pdh-crc") {
      ok = LeerEntero(v, n, 0) && n <= 1000;
      f.pdhmalas = static_cast<int>(n);
    } else if (o == "--pdh-len") {
      ok = LeerEntero(v, n, 0) && n <= 4000;
      f.pdhlargo = static_cast<int>(n);
    } else if (o == "--nak-pdc") {
      ok = LeerEntero(v, n, 0) && n <= 1000;
      f.nakspdc = static_cast<int>(n);
    } else if (o == "--restart") {
      ok = LeerEntero(v, f.reinicio, 0) && f.reinicio <= 99999;
    } else if (o == "--nak-up") {
      ok = LeerPar(v, f.nakbloque, m, true) && m <= 1000;
      f.naks = static_cast<int>(m);
    } else if (o == "--syn-up") {
      ok = LeerPar(v, f.synbloque, f.synreinicio, false) && f.synreinicio <= 99999;
    } else if (o == "--dup-down") {
      ok = LeerEntero(v, f.dupbajada, 0);
    } else if (o == "--skip-down") {
      ok = LeerEntero(v, f.saltobajada, 0);
    } else if (o == "--bad-down-crc") {
      ok = LeerEntero(v, f.malbajada, 0);
    } else if (o == "--eot-down") {
      ok = LeerEntero(v, f.eotbajada, 0);
    } else if (o == "--close-at") {
      ok = ParsearPunto(v, f.cerrar);
    } else if (o == "--mute-at") {
      ok = ParsearPunto(v, f.callar);
    } else if (o == "--flip") {
      ok = LeerPar(v, n, m, true) && n >= 1;
      f.volteos.push_back({n, m});
    } else if (o == "--pause-at") {
      std::string t = v;
      size_t dos = t.rfind(':');
      ok = dos != std::string::npos && ParsearPunto(t.substr(0, dos), f.pausar) &&
           LeerEntero(t.substr(dos + 1).c_str(), n, 0) && n <= 600000;
      f.pausams = static_cast<int>(n);
    } else {
      --i;
      return Uso("unknown option", o.c_str());
    }
    if (!ok) return Uso("bad value for", o.c_str());
  }
  if (!op.bajada.empty() && !op.bajadadir.empty()) {
    return Uso("--download and --download-dir exclude each other", nullptr);
  }
  return 0;
}

// Listening socket on "host:port". -1 after a message on failure.
int Escuchar(const std::string &direccion, int &puerto) {
  size_t dos = direccion.rfind(':');
  long p = 0;
  if (dos == std::string::npos || !LeerEntero(direccion.substr(dos + 1).c_str(), p, 0) ||
      p > 65535) {
    Uso("bad address (HOST:PORT)", direccion.c_str());
    return -1;
  }
  std::string host = direccion.substr(0, dos);
  addrinfo pista{};
  pista.ai_family = AF_INET;
  pista.ai_socktype = SOCK_STREAM;
  pista.ai_flags = AI_PASSIVE;
  addrinfo *res = nullptr;
  int e = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(p).c_str(), &pista, &res);
  if (e != 0) {
    fprintf(stderr, "kaldo-server: %s: %s\n", host.c_str(), gai_strerror(e));
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int uno = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &uno, sizeof uno) != 0 ||
      bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 16) != 0) {
    fprintf(stderr, "kaldo-server: cannot listen on %s: %s\n", direccion.c_str(), strerror(errno));
    freeaddrinfo(res);
    if (fd >= 0) close(fd);
    return -1;
  }
  freeaddrinfo(res);
  sockaddr_in a{};
  socklen_t largo = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &largo);
  puerto = ntohs(a.sin_port);
  return fd;
}

std::string ConNumero(const std::string &patron, long n) {
  std::string out = patron;
  size_t pos = out.find("%d");
  if (pos != std::string::npos) out.replace(pos, 2, std::to_string(n));
  return out;
}

}  // namespace

bool ParsearPunto(const std::string &texto, Punto &punto) {
  struct {
    const char *nombre;
    TipoPunto tipo;
    bool bloque;
  } const tabla[] = {
      {"accept", kPuntoAccept, false}, {"dle", kPuntoDLE, false},  {"pdc", kPuntoPDC, false},
      {"up", kPuntoSubida, true},      {"upeot", kPuntoFinSubida, false},
      {"down", kPuntoBajada, true},    {"end", kPuntoFinal, false},
  };
  size_t dos = texto.find(':');
  std::string nombre = texto.substr(0, dos);
  for (const auto &t : tabla) {
    if (nombre != t.nombre) continue;
    if (t.bloque != (dos != std::string::npos)) return false;
    punto.tipo = t.tipo;
    punto.bloque = 0;
    return !t.bloque || LeerEntero(texto.substr(dos + 1).c_str(), punto.bloque, 0);
  }
  return false;
}

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  Opciones op;
  if (int rc = ParsearOpciones(argc, argv, op); rc != 0) return rc;

  std::string bajada;
  if (!op.bajada.empty() && !LeerArchivo(op.bajada, bajada)) {
    fprintf(stderr, "kaldo-server: cannot read %s: %s\n", op.bajada.c_str(), strerror(errno));
    return 2;
  }
  if (!op.bajadadir.empty() && !ArmarPaqueteDirectorio(op.bajadadir, bajada)) {
    fprintf(stderr, "kaldo-server: cannot read %s: %s\n", op.bajadadir.c_str(), strerror(errno));
    return 2;
  }

  int puerto = 0;
  int escucha = Escuchar(op.escucha, puerto);
  if (escucha < 0) return 2;
  if (!op.archivopuerto.empty() &&
      !EscribirArchivo(op.archivopuerto, std::to_string(puerto) + "\n")) {
    fprintf(stderr, "kaldo-server: cannot write %s: %s\n", op.archivopuerto.c_str(),
            strerror(errno));
    return 2;
  }
  printf("listening on %s:%d\n", op.escucha.substr(0, op.escucha.rfind(':')).c_str(), puerto);

  for (long n = 1; op.sesiones == 0 || n <= op.sesiones; ++n) {
    int fd;
    do {
      fd = accept(escucha, nullptr, nullptr);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      fprintf(stderr, "kaldo-server: accept: %s\n", strerror(errno));
      return 2;
    }
    int uno = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
    Resumen r;
    std::string subida;
    std::string cruda;
    AtenderSesion(fd, op, bajada, r, subida, cruda);
    close(fd);
    // The files are in place before the summary line announces them.
    if (!op.subida.empty() && !EscribirArchivo(ConNumero(op.subida, n), subida)) {
      fprintf(stderr, "kaldo-server: cannot write %s: %s\n", op.subida.c_str(), strerror(errno));
    }
    if (!op.subidacruda.empty() && !EscribirArchivo(ConNumero(op.subidacruda, n), cruda)) {
      fprintf(stderr, "kaldo-server: cannot write %s: %s\n", op.subidacruda.c_str(),
              strerror(errno));
    }
    printf("session=%ld result=%s up_blocks=%ld up_bytes=%ld down_blocks=%ld down_bytes=%ld "
           "naks=%ld syns=%ld blocksize=%d pdc=%s anomalies=%ld\n",
           n, r.resultado.c_str(), r.bloquessubida, r.bytessubida, r.bloquesbajada,
           r.bytesbajada, r.naks, r.syns, r.blocksize, r.pdc.empty() ? "-" : r.pdc.c_str(),
           r.anomalias);
  }
  close(escucha);
  return 0;
}
