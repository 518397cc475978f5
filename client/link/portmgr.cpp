// portmgr.cpp - the port-manager request and its memory.
//
// The port manager is a UDP service at the server's host and port number that
// tells the client where to connect ("MGR;G;host;port;"), that it is busy
// ("MGR;B...") or that it has nothing ("MGR;N..."). The memory file
// zelta.portmgr in the program directory lists, one "KEY,company,activity"
// line each, the destinations that could only be reached through it, so that
// later runs ask it first.
//
// The socket is connected to the manager's address, so the kernel drops a
// datagram from any other sender (one forged grant would otherwise send the
// whole bundle elsewhere), and every answer's sender is checked as well, for
// what arrived before the connection was made. The whole request, busy
// answers included, ends at TIEMPOMAXIMO.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "control.h"
#include "line.h"
#include "portmgr.h"

namespace {

constexpr int kIntentosPortMgr = 5;
constexpr int kEsperaRespuestaMs = 3000;  // answer wait of one attempt
constexpr unsigned kPausaIntento = 1;     // between attempts, seconds
constexpr unsigned kPausaBusy = 3;        // after a busy answer, seconds
constexpr size_t kMaxRespuesta = 199;     // bytes of an answer that are read
constexpr size_t kMaxPieza = 29;          // characters of a memory line tested
constexpr unsigned short kPuertoNulo = 65535;

// The monotonic clock in milliseconds.
long long AhoraMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The request's deadline: TIEMPOMAXIMO seconds from its start.
struct Plazo {
  long long limite;
  long long Resta() const { return limite - AhoraMs(); }
  bool Vencido() const { return Resta() <= 0; }
  // Sleeps ms, but never past the deadline. False when an interrupt came.
  bool Dormir(long ms) const {
    long long resta = Resta();
    return resta <= 0 || ::Dormir(static_cast<long>(std::min<long long>(ms, resta)));
  }
};

bool MismoEmisor(const sockaddr_in &a, const sockaddr_in &b) {
  return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
         a.sin_addr.s_addr == b.sin_addr.s_addr;
}

enum Recepcion { kRecibida, kRecepcionVencida, kRecepcionFallida, kRecepcionInterrumpida };

// Waits until the monotonic time limite for the manager's answer and reads
// it into buf (at most kMaxRespuesta bytes, *n of them). A datagram from any
// other sender (queued before the socket was connected) is dropped and the
// wait goes on. Failures are logged; an interrupt ends the wait at once.
Recepcion EsperarRespuesta(int fd, const sockaddr_in &manager, long long limite, char *buf,
                           ssize_t *n) {
  for (;;) {
    FinEspera fin = EsperarListo(fd, POLLIN, std::max(0LL, limite - AhoraMs()));
    if (fin == kEsperaInterrumpida) return kRecepcionInterrumpida;
    if (fin == kEsperaVencida) return kRecepcionVencida;
    if (fin == kEsperaFallida) {
      LogFalla(1, errno, "PortMgrConnect select()");
      return kRecepcionFallida;
    }
    struct sockaddr_in emisor {};
    socklen_t largo = sizeof emisor;
    *n = recvfrom(fd, buf, kMaxRespuesta, 0, reinterpret_cast<struct sockaddr *>(&emisor), &largo);
    if (*n < 0) {
      LogFalla(1, errno, "PortMgrConnect recvfrom()");
      return kRecepcionFallida;
    }
    if (MismoEmisor(emisor, manager)) return kRecibida;
    // The address only, so that a stream of them folds into one line.
    LogFormato(1, "PortMgrConnect descarto un datagrama de %s", inet_ntoa(emisor.sin_addr));
  }
}

struct Liberar {
  void operator()(char *p) const { free(p); }
};

// Converts the leading number of text the way atoi does (leading blanks, a
// sign, digits), but clamps to the int range instead of overflowing.
long ComoAtoi(const char *texto) {
  long v = strtol(texto, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return v;
}

// Reads a grant "host;port;..." (the text after "MGR;G;").
RespuestaPortMgr InterpretarGrant(const char *texto, char *outhost, size_t tam,
                                  unsigned short *outport) {
  const char *fin = strchr(texto, ';');
  if (fin == nullptr || fin[1] == '\0') return kRespuestaInvalida;
  const char *puerto = fin + 1;
  if (strchr(puerto, ';') == nullptr) return kRespuestaInvalida;
  // 0 or a value that does not fit a TCP port would send the client to some
  // other port than the one meant; 65535 is the "no port" mark.
  long valor = ComoAtoi(puerto);
  if (valor <= 0 || valor >= kPuertoNulo) return kRespuestaInvalida;
  if (tam > 0) {
    size_t largo = static_cast<size_t>(fin - texto);
    if (largo > tam - 1) largo = tam - 1;
    memcpy(outhost, texto, largo);
    outhost[largo] = '\0';
  }
  *outport = static_cast<unsigned short>(valor);
  return kRespuestaGrant;
}

// Tests one memory line (its first kMaxPieza characters) against a
// destination: "KEY,company,activity", the key compared exactly.
bool LineaCoincide(const std::string &pieza, const char *clave, int empresa, int actividad) {
  size_t coma = pieza.find(',');
  if (coma == std::string::npos) return false;
  if (pieza.compare(0, coma, clave) != 0) return false;
  size_t coma2 = pieza.find(',', coma + 1);
  if (coma2 == std::string::npos) return false;
  std::string textoempresa = pieza.substr(coma + 1, coma2 - coma - 1);
  return ComoAtoi(textoempresa.c_str()) == empresa &&
         ComoAtoi(pieza.c_str() + coma2 + 1) == actividad;
}

}  // namespace

RespuestaPortMgr InterpretarRespuestaPortMgr(const char *texto, char *outhost, size_t tam,
                                             unsigned short *outport) {
  if (strncmp(texto, "MGR;", 4) != 0) return kRespuestaInvalida;
  const char *resto = texto + 4;
  if (resto[0] == 'B') return kRespuestaBusy;
  if (resto[0] == 'N') return kRespuestaNone;
  if (resto[0] == 'G' && resto[1] == ';') return InterpretarGrant(resto + 2, outhost, tam, outport);
  return kRespuestaInvalida;
}

std::string ArchivoPortMgr() {
  // Without a program directory the file is looked for where the run is.
  if (g_corrida.dirprog.empty()) return "zelta.portmgr";
  return UnirRuta(g_corrida.dirprog, "zelta.portmgr");
}

int PortMgrConnect(const char *host, unsigned short puerto, char *outhost, size_t tam,
                   unsigned short *outport) {
  LogMensaje("Conectando a PortMgr", 2);
  Plazo plazo{AhoraMs() + static_cast<long long>(g_config.tiempomaximo) * 1000};
  Descriptor sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.fd < 0) {
    LogFalla(1, errno, "PortMgrConnect socket()");
    return kSinConexion;
  }
  struct sockaddr_in local {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<unsigned short>(g_config.udpport));
  if (bind(sock.fd, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0) {
    LogFalla(1, errno, "PortMgrConnect bind()");
    return kSinConexion;
  }
  socklen_t largolocal = sizeof local;
  if (getsockname(sock.fd, reinterpret_cast<struct sockaddr *>(&local), &largolocal) != 0) {
    LogFalla(1, errno, "PortMgrConnect getsockname()");
    return kSinConexion;
  }
  LogFormato(10, "PortMgrConnect port assigned=%u", static_cast<unsigned>(ntohs(local.sin_port)));

  char pedido[32];
  if (g_config.udpport != 0) {
    snprintf(pedido, sizeof pedido, "CLI;G;%d;;", g_config.udpport);
  } else {
    snprintf(pedido, sizeof pedido, "CLI;G;;;");
  }
  size_t largopedido = strlen(pedido);

  int resultado = kSinConexion;
  int quedan = kIntentosPortMgr;
  bool pausa = false;
  while (quedan > 0 && resultado != kExito) {
    quedan--;
    if (Interrumpido() || (pausa && !plazo.Dormir(kPausaIntento * 1000L))) break;
    pausa = true;
    if (plazo.Vencido()) {
      LogFormato(1, "PortMgrConnect: sin respuesta util en TIEMPOMAXIMO (%d segundos)",
                 g_config.tiempomaximo);
      break;
    }

    struct hostent *he = gethostbyname(host);
    if (he == nullptr || he->h_addrtype != AF_INET || he->h_addr_list[0] == nullptr) {
      LogFormato(1, "PortMgrConnect %s: unknown host", host);
      continue;
    }
    struct sockaddr_in destino {};
    destino.sin_family = AF_INET;
    memcpy(&destino.sin_addr, he->h_addr_list[0], sizeof destino.sin_addr);
    destino.sin_port = htons(puerto);
    // From here on the kernel takes datagrams from the manager only.
    if (connect(sock.fd, reinterpret_cast<struct sockaddr *>(&destino), sizeof destino) != 0) {
      LogFalla(1, errno, "PortMgrConnect connect()");
      continue;
    }
    if (send(sock.fd, pedido, largopedido, 0) < 0) {
      LogFalla(1, errno, "PortMgrConnect send()");
      continue;
    }
    LogMensaje("PortMgrConnect req sent", 10);

    char respuesta[kMaxRespuesta + 1];
    ssize_t n = 0;
    long long esperams = std::min<long long>(kEsperaRespuestaMs, std::max(0LL, plazo.Resta()));
    Recepcion espera = EsperarRespuesta(sock.fd, destino, AhoraMs() + esperams, respuesta, &n);
    if (espera == kRecepcionInterrumpida) break;
    if (espera == kRecepcionVencida) {
      LogMensaje("PorgMgrConnect timeout esperando resp", 10);
      pausa = false;
      continue;
    }
    if (espera == kRecepcionFallida) continue;
    if (n == 0) continue;
    respuesta[n] = '\0';
    LogFormato(10, "Resp de PortMgr: %s", respuesta);
    *outport = kPuertoNulo;
    switch (InterpretarRespuestaPortMgr(respuesta, outhost, tam, outport)) {
      case kRespuestaBusy:
        LogMensaje("PortMgr resp BUSY", 3);
        LogMensaje("Sleeping...", 5);
        if (plazo.Dormir(kPausaBusy * 1000L)) {
          quedan++;
        } else {
          quedan = 0;  // interrupted
        }
        break;
      case kRespuestaNone:
        LogMensaje("PortMgr resp NONE", 2);
        quedan = 0;
        break;
      case kRespuestaGrant:
        resultado = kExito;
        break;
      case kRespuestaInvalida:
        LogMensaje("PortMgr resp no valida", 1);
        break;
    }
  }
  return resultado;
}

int LEAUsaPortMgr(const char *clave, int empresa, int actividad) {
  LogFormato(9, "LEAUsaPortMgr searching %s,%d,%d", clave, empresa, actividad);
  std::string nombre = ArchivoPortMgr();
  LogFormato(10, "Archivo configuracion portmgr: %s", nombre.c_str());
  ArchivoPtr f(fopen(nombre.c_str(), "r"));
  if (!f) {
    if (errno == ENOENT) {
      LogFormato(10, "Archivo no encontrado: %s", nombre.c_str());
    } else {
      // Unreadable memory: the destination is taken as not listed, so the
      // run still tries the server directly first.
      LogFalla(1, errno, "LEAUsaPortMgr open()");
    }
    return 0;
  }
  // Each line is tested once, on its first kMaxPieza characters; the rest of
  // a longer line is not a line of its own.
  std::unique_ptr<char, Liberar> linea;
  size_t capacidad = 0;
  int resultado = 0;
  while (resultado == 0) {
    char *buf = linea.release();
    ssize_t n = getline(&buf, &capacidad, f.get());
    linea.reset(buf);
    if (n < 0) break;
    size_t largo = std::min(kMaxPieza, static_cast<size_t>(n));
    std::string pieza(linea.get(), strnlen(linea.get(), largo));
    if (LineaCoincide(pieza, clave, empresa, actividad)) resultado = 1;
  }
  if (ferror(f.get())) LogFalla(1, errno, "LEAUsaPortMgr read()");
  return resultado;
}

void WriteLEAUsaPortMgr(const char *clave, int empresa, int actividad) {
  LogFormato(9, "WriteLEAUsaPortMgr writing %s,%d,%d", clave, empresa, actividad);
  // A key with a field or line separator could never be found again, and a
  // line break would make the line read as two.
  if (strpbrk(clave, ",\n") != nullptr) {
    LogMensaje("WriteLEAUsaPortMgr clave invalida, no se registra", 1);
    return;
  }
  std::string nombre = ArchivoPortMgr();
  ArchivoPtr f(fopen(nombre.c_str(), "a+"));
  if (!f) {
    LogFalla(1, errno, "WriteLEAUsaPortMgr open()");
    return;
  }
  // A last line left without its end (a cut write, a hand edit) would swallow
  // the new one.
  const char *separador = "";
  if (fseek(f.get(), -1, SEEK_END) == 0 && fgetc(f.get()) != '\n') separador = "\n";
  fseek(f.get(), 0, SEEK_END);
  bool escrito = fprintf(f.get(), "%s%s,%d,%d\n", separador, clave, empresa, actividad) > 0;
  escrito = fclose(f.release()) == 0 && escrito;
  if (!escrito) LogFalla(1, errno, "WriteLEAUsaPortMgr write()");
}
