// modem_sim.cpp - a Hayes-style modem on a pseudo-terminal, the far end of
// the client's serial line in the dial-up tests.
//
// It opens a pty pair and exposes the slave under a path of the caller's
// choice (a symbolic link), then plays the modem: it echoes commands
// (unless --no-echo), answers AT commands with OK (unless --silent-init),
// answers each ATD with the next answer of a script, and after CONNECT
// carries the line to a TCP peer (the KALDO server). In both modes it
// recognises the escape "+++" between guard times, and ATH. Every command
// it receives is appended to the --record file, one per line ("+++" for an
// escape). It can drop the carrier (close the master, which hangs the
// client up) after a number of bytes carried in either direction, or in the
// middle of the CONNECT line.
//
// Options: see kAyuda (modem-sim --help).
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct Opciones {
  std::string link;
  std::string record;
  bool eco = true;
  bool silencioinit = false;
  std::vector<std::string> guion;
  std::string servidor;
  long guarda = 1000;
  long cortarsubida = -1;
  long cortarbajada = -1;
  bool cortarconnect = false;
};

struct Modem {
  Opciones op;
  int master = -1;
  int esclavo = -1;
  int socket = -1;
  int registro = -1;
  bool enlinea = false;
  std::string comando;      // command line being received
  std::string pendiente;    // bytes waiting to go to the master
  long ultimobyte = -1000000;
  int mases = 0;            // '+' of a possible escape seen so far
  size_t intentos = 0;      // ATD commands answered
  long subidos = 0;         // line -> server bytes since CONNECT
  long bajados = 0;         // server -> line bytes since CONNECT
};

long AhoraMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

void Aviso(const char *texto, const std::string &detalle = "") {
  fprintf(stderr, "modem-sim: %s%s\n", texto, detalle.c_str());
}

void Registrar(Modem &m, const std::string &linea) {
  Aviso("recibido ", linea);
  if (m.registro < 0) return;
  std::string l = linea + "\n";
  if (write(m.registro, l.data(), l.size()) < 0) Aviso("no pude escribir el registro");
}

void AlMaster(Modem &m, const std::string &texto) { m.pendiente += texto; }

void Responder(Modem &m, const std::string &respuesta) { AlMaster(m, "\r\n" + respuesta + "\r\n"); }

// Tries to push pending bytes to the master without blocking.
void VaciarPendiente(Modem &m) {
  while (!m.pendiente.empty()) {
    ssize_t n = write(m.master, m.pendiente.data(), m.pendiente.size());
    if (n <= 0) return;
    m.pendiente.erase(0, static_cast<size_t>(n));
  }
}

// Closes the master (the client's line hangs up) and ends the program.
// The bytes already sent reach the client first: a hang-up discards what
// the line still holds, so the master closes once the client has read them
// (or after 5 seconds). Bytes written to the master reach the slave's
// input a moment later, hence the short first wait.
[[noreturn]] void CortarPortadora(Modem &m) {
  long inicio = AhoraMs();
  for (;;) {
    VaciarPendiente(m);
    int enlinea = 0;
    if (ioctl(m.esclavo, FIONREAD, &enlinea) != 0) enlinea = 0;
    long pasado = AhoraMs() - inicio;
    if ((m.pendiente.empty() && enlinea == 0 && pasado >= 200) || pasado > 5000) break;
    usleep(10000);
  }
  Aviso("portadora cortada");
  if (m.socket >= 0) close(m.socket);
  close(m.esclavo);
  close(m.master);
  unlink(m.op.link.c_str());
  exit(0);
}

bool ConectarServidor(Modem &m) {
  size_t dos = m.op.servidor.rfind(':');
  if (dos == std::string::npos) return false;
  std::string host = m.op.servidor.substr(0, dos), puerto = m.op.servidor.substr(dos + 1);
  addrinfo pista{};
  pista.ai_family = AF_INET;
  pista.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  if (getaddrinfo(host.c_str(), puerto.c_str(), &pista, &res) != 0 || res == nullptr) return false;
  int s = ::socket(res->ai_family, res->ai_socktype, 0);
  bool ok = s >= 0 && connect(s, res->ai_addr, res->ai_addrlen) == 0;
  freeaddrinfo(res);
  if (!ok) {
    if (s >= 0) close(s);
    return false;
  }
  m.socket = s;
  return true;
}

void RevisarCorte(Modem &m) {
  if ((m.op.cortarsubida >= 0 && m.subidos >= m.op.cortarsubida) ||
      (m.op.cortarbajada >= 0 && m.bajados >= m.op.cortarbajada)) {
    CortarPortadora(m);
  }
}

void Marcado(Modem &m) {
  std::string respuesta = m.op.guion.empty() ? "CONNECT 9600"
                          : m.op.guion[m.intentos < m.op.guion.size() ? m.intentos
                                                                       : m.op.guion.size() - 1];
  m.intentos++;
  if (respuesta == "silent") return;
  if (respuesta.rfind("CONNECT", 0) != 0) {
    Responder(m, respuesta);
    return;
  }
  if (!m.op.servidor.empty() && !ConectarServidor(m)) {
    Aviso("no pude conectar con el servidor ", m.op.servidor);
    Responder(m, "NO CARRIER");
    return;
  }
  if (m.op.cortarconnect) {
    AlMaster(m, "\r\n" + respuesta);
    CortarPortadora(m);
  }
  Responder(m, respuesta);
  m.enlinea = true;
  m.subidos = m.bajados = 0;
  RevisarCorte(m);
}

void EjecutarComando(Modem &m, std::string linea) {
  while (!linea.empty() && (linea[0] == '\n' || linea[0] == ' ')) linea.erase(0, 1);
  if (linea.empty()) return;
  Registrar(m, linea);
  std::string may = linea;
  for (char &c : may) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (may.rfind("ATD", 0) == 0) {
    Marcado(m);
  } else if (may.rfind("ATH", 0) == 0) {
    if (m.socket >= 0) close(m.socket);
    m.socket = -1;
    if (!m.op.silencioinit) Responder(m, "OK");
  } else if (may.rfind("AT", 0) == 0) {
    if (!m.op.silencioinit) Responder(m, "OK");
  }
}

// Tracks a possible escape: "+++" with a guard time of silence before it.
void SeguirEscape(Modem &m, unsigned char c, long ahora) {
  if (c != '+') {
    m.mases = 0;
  } else if (m.mases == 0) {
    m.mases = ahora - m.ultimobyte >= m.op.guarda ? 1 : 0;
  } else {
    m.mases = m.mases < 3 ? m.mases + 1 : 0;
  }
  m.ultimobyte = ahora;
}

void Escape(Modem &m) {
  m.mases = 0;
  m.comando.clear();
  Registrar(m, "+++");
  if (m.enlinea) {
    m.enlinea = false;
    Responder(m, "OK");
  }
}

void AlServidor(Modem &m, std::string &datos) {
  size_t hecho = 0;
  while (m.socket >= 0 && hecho < datos.size()) {
    ssize_t n = write(m.socket, datos.data() + hecho, datos.size() - hecho);
    if (n <= 0) break;
    hecho += static_cast<size_t>(n);
  }
  datos.clear();
}

void DesdeLinea(Modem &m, const char *datos, size_t n) {
  std::string subida;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(datos[i]);
    SeguirEscape(m, c, AhoraMs());
    if (m.enlinea) {
      subida.push_back(static_cast<char>(c));
      m.subidos++;
      if (m.op.cortarsubida >= 0 && m.subidos >= m.op.cortarsubida) {
        AlServidor(m, subida);
        CortarPortadora(m);
      }
      continue;
    }
    if (m.op.eco) AlMaster(m, std::string(1, static_cast<char>(c)));
    if (c == '\r') {
      std::string linea;
      linea.swap(m.comando);
      EjecutarComando(m, linea);
    } else {
      m.comando.push_back(static_cast<char>(c));
    }
  }
  AlServidor(m, subida);
}

void DesdeServidor(Modem &m) {
  char buf[4096];
  ssize_t n = read(m.socket, buf, sizeof buf);
  if (n <= 0) {
    // The server is done; the carrier stays up until the client hangs up.
    Aviso("el servidor cerro la conexion");
    close(m.socket);
    m.socket = -1;
    return;
  }
  AlMaster(m, std::string(buf, static_cast<size_t>(n)));
  m.bajados += n;
  if (m.op.cortarbajada >= 0 && m.bajados >= m.op.cortarbajada) {
    // Only the bytes up to the chosen point reach the line.
    m.pendiente.resize(m.pendiente.size() - static_cast<size_t>(m.bajados - m.op.cortarbajada));
    CortarPortadora(m);
  }
}

int Bucle(Modem &m) {
  for (;;) {
    VaciarPendiente(m);
    pollfd fds[2] = {{m.master, POLLIN, 0}, {m.socket, POLLIN, 0}};
    if (!m.pendiente.empty()) fds[0].events |= POLLOUT;
    int espera = -1;
    if (m.mases == 3) {
      long falta = m.ultimobyte + m.op.guarda - AhoraMs();
      espera = falta > 0 ? static_cast<int>(falta) : 0;
    }
    int r = poll(fds, m.socket >= 0 ? 2 : 1, espera);
    if (r < 0 && errno != EINTR) return 1;
    if (m.mases == 3 && AhoraMs() - m.ultimobyte >= m.op.guarda) Escape(m);
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) {
      char buf[4096];
      ssize_t n = read(m.master, buf, sizeof buf);
      if (n > 0) DesdeLinea(m, buf, static_cast<size_t>(n));
    }
    if (m.socket >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) DesdeServidor(m);
  }
}

const char kAyuda[] =
    "uso: modem-sim --link PATH [opciones]\n"
    "A Hayes-style modem on a pseudo-terminal: the slave side appears as PATH\n"
    "(a symbolic link); after CONNECT the line is carried to a TCP peer.\n"
    "\n"
    "  --link PATH            where the modem device appears (required)\n"
    "  --record FILE          append every command received to FILE, one a line\n"
    "                         (\"+++\" for an escape)\n"
    "  --no-echo              do not echo commands back\n"
    "  --silent-init          never answer OK to AT commands\n"
    "  --dial ANSWER          answer to the next ATD: \"CONNECT 9600\", \"BUSY\",\n"
    "                         \"NO CARRIER\", \"NO ANSWER\", \"NO DIAL TONE\" or\n"
    "                         \"silent\"; repeat for later attempts, the last one\n"
    "                         repeats (default: always \"CONNECT 9600\")\n"
    "  --server HOST:PORT     after CONNECT, carry the line to this TCP peer\n"
    "  --guard MS             guard time around the \"+++\" escape (default 1000)\n"
    "  --drop-after-up N      drop the carrier after N bytes from the client\n"
    "  --drop-after-down N    drop the carrier after N bytes to the client\n"
    "  --cut-connect          drop the carrier in the middle of the CONNECT line\n"
    "  --help                 this text\n";

// Reads the command line. Returns 1 when it is usable, 0 when it is not,
// -1 after printing the help text.
int LeerOpciones(int argc, char **argv, Opciones &op) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kAyuda, stdout);
      return -1;
    }
    auto valor = [&](std::string &destino) {
      if (i + 1 >= argc) return false;
      destino = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--link") {
      if (!valor(op.link)) return 0;
    } else if (a == "--record") {
      if (!valor(op.record)) return 0;
    } else if (a == "--no-echo") {
      op.eco = false;
    } else if (a == "--silent-init") {
      op.silencioinit = true;
    } else if (a == "--cut-connect") {
      op.cortarconnect = true;
    } else if (a == "--dial") {
      if (!valor(v)) return 0;
      op.guion.push_back(v);
    } else if (a == "--server") {
      if (!valor(op.servidor)) return 0;
    } else if (a == "--guard") {
      if (!valor(v)) return 0;
      op.guarda = atol(v.c_str());
    } else if (a == "--drop-after-up") {
      if (!valor(v)) return 0;
      op.cortarsubida = atol(v.c_str());
    } else if (a == "--drop-after-down") {
      if (!valor(v)) return 0;
      op.cortarbajada = atol(v.c_str());
    } else {
      return 0;
    }
  }
  return op.link.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  Modem m;
  int opciones = LeerOpciones(argc, argv, m.op);
  if (opciones < 0) return 0;
  if (opciones == 0) {
    fputs("modem-sim: bad command line (try --help)\n", stderr);
    return 2;
  }
  m.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (m.master < 0 || grantpt(m.master) != 0 || unlockpt(m.master) != 0) {
    perror("modem-sim: posix_openpt");
    return 1;
  }
  const char *nombre = ptsname(m.master);
  if (nombre == nullptr) {
    perror("modem-sim: ptsname");
    return 1;
  }
  std::string esclavo = nombre;
  // Holding the slave open keeps the master readable while the client has
  // the line closed, and keeps the line's settings between client runs.
  m.esclavo = open(esclavo.c_str(), O_RDWR | O_NOCTTY);
  termios t;
  if (m.esclavo < 0 || tcgetattr(m.esclavo, &t) != 0) {
    perror("modem-sim: slave");
    return 1;
  }
  cfmakeraw(&t);
  tcsetattr(m.esclavo, TCSANOW, &t);
  fcntl(m.master, F_SETFL, fcntl(m.master, F_GETFL) | O_NONBLOCK);
  if (!m.op.record.empty()) {
    m.registro = open(m.op.record.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (m.registro < 0) {
      perror("modem-sim: record");
      return 1;
    }
  }
  unlink(m.op.link.c_str());
  if (symlink(esclavo.c_str(), m.op.link.c_str()) != 0) {
    perror("modem-sim: symlink");
    return 1;
  }
  Aviso("listo en ", m.op.link + " -> " + esclavo);
  return Bucle(m);
}
