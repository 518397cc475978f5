// tcp.cpp - the TCP transport: connect to the KALDO server with a bounded
// number of attempts and run the session on the connection.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "control.h"
#include "line.h"

namespace {

constexpr unsigned kPausaReintento = 3;
// Conectar's answer when the socket cannot be made non-blocking: not a
// result code; no further attempt is made.
constexpr int kSinReintento = -5;

void CerrarLinea() {
  if (g_linea.fd >= 0) close(g_linea.fd);
  g_linea.fd = -1;
}

// One connection attempt on a fresh socket in g_linea.fd. Returns 0 when
// connected, 5 when not, -5 (kSinReintento) when the socket cannot be made
// non-blocking (no further attempt).
int Conectar(const struct sockaddr_in &servidor) {
  LogMensaje("Conectando...", 1);
  g_linea.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (g_linea.fd < 0) {
    LogFormato(1, "ERROR: socket() %s", TextoError(errno));
    return kSinConexion;
  }
  if (ModoNoBloqueante() != kExito) {
    LogFalla(1, errno, "Imposible poner en modo non-blocking");
    return kSinReintento;
  }
  if (connect(g_linea.fd, reinterpret_cast<const struct sockaddr *>(&servidor),
              sizeof servidor) == 0)
    return kExito;
  if (errno == EINPROGRESS) return EsperarConexion();
  return kSinConexion;
}

}  // namespace

int SesionTCP(const char *host, unsigned short puerto, CorrerSesionFn sesion) {
  g_linea.fd = -1;
  if (Interrumpido()) return kAbortadoUsuario;
  LogFormato(8, "Conectando con svr ZELTA %s %u...", host, static_cast<unsigned>(puerto));
  struct hostent *he = gethostbyname(host);
  if (he == nullptr || he->h_addrtype != AF_INET || he->h_addr_list[0] == nullptr) {
    LogFormato(1, "ERROR: gethostbyname() %s", hstrerror(h_errno));
    return kSinConexion;
  }
  struct sockaddr_in servidor;
  memset(&servidor, 0, sizeof servidor);
  servidor.sin_family = AF_INET;
  memcpy(&servidor.sin_addr, he->h_addr_list[0], sizeof servidor.sin_addr);
  servidor.sin_port = htons(puerto);

  ManejarInterrupciones interrupciones;
  FijarManejador(SIGALRM, TimeoutAlarm);
  // A server that drops the connection must end the session with a lost
  // line, not kill the process on the next write.
  struct sigaction tuberia;
  FijarManejador(SIGPIPE, SIG_IGN, &tuberia);

  int resultado = kSinConexion;
  for (int quedan = g_config.reintentos; quedan > 0 && !Interrumpido(); quedan--) {
    int r = Conectar(servidor);
    if (r == kSinReintento) {
      CerrarLinea();
      resultado = kSinConexion;
      break;
    }
    if (r == kExito) {
      ModoBloqueante();
      resultado = sesion();
      CerrarLinea();
      break;
    }
    resultado = r;
    CerrarLinea();
    if (!Dormir(kPausaReintento * 1000L)) break;
  }
  resultado = ResultadoTrasInterrupcion(resultado);

  DesarmarAlarma();  // no timer may outlive its handler
  FijarManejador(SIGALRM, SIG_DFL);
  sigaction(SIGPIPE, &tuberia, nullptr);
  LogFormato(1, "rval=%d", resultado);
  return resultado;
}
