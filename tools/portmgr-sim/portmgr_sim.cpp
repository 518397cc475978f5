// portmgr_sim.cpp - a port manager for the tests. It answers the client's UDP
// requests on 127.0.0.1 with a scripted sequence of answers and records every
// request it got, byte for byte.
//
//   portmgr-sim [--port N] [--port-file FILE] [--requests FILE] ANSWER...
//
// ANSWER is [N*]KIND, used for N requests (default 1), in order; once the list
// is used up its last answer repeats (no answers at all: silence). KIND is
//   grant:HOST:PORT   "MGR;G;HOST;PORT;" (PORT is what follows the last ':')
//   busy              "MGR;BUSY"
//   none              "MGR;NONE"
//   silence           no answer
//   raw:TEXT          TEXT as it stands; \xHH and \\ are decoded
//
// --port-file gets the bound port in decimal once the socket is ready
// (written whole, by rename). --requests gets one record per request:
// "<monotonic ms> <source port> <length> <bytes>\n".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct Respuesta {
  bool silencio = false;
  std::string texto;
};

const char kAyuda[] =
    "uso: portmgr-sim [--port N] [--port-file FILE] [--requests FILE] ANSWER...\n"
    "A port manager on UDP 127.0.0.1 that answers with a script.\n"
    "\n"
    "  --port N            UDP port to listen on (default: any free one)\n"
    "  --port-file FILE    write the bound port to FILE once ready\n"
    "  --requests FILE     append one line per request: \"<monotonic ms> <source\n"
    "                      port> <length> <bytes>\"\n"
    "  --help              this text\n"
    "\n"
    "ANSWER is [N*]KIND, used for N requests (default 1), in order; the last one\n"
    "repeats (no answers at all: silence). KIND is one of\n"
    "  grant:HOST:PORT     \"MGR;G;HOST;PORT;\"\n"
    "  busy                \"MGR;BUSY\"\n"
    "  none                \"MGR;NONE\"\n"
    "  silence             no answer\n"
    "  raw:TEXT            TEXT as it stands; \\xHH and \\\\ are decoded\n";

int Uso() {
  fputs("portmgr-sim: bad command line (try --help)\n", stderr);
  return 2;
}

bool Decodificar(const std::string &in, std::string &out) {
  for (size_t i = 0; i < in.size(); i++) {
    if (in[i] != '\\') {
      out += in[i];
    } else if (i + 1 < in.size() && in[i + 1] == '\\') {
      out += '\\';
      i++;
    } else if (i + 3 < in.size() && in[i + 1] == 'x') {
      char hex[3] = {in[i + 2], in[i + 3], '\0'};
      char *fin;
      long v = strtol(hex, &fin, 16);
      if (*fin != '\0') return false;
      out += static_cast<char>(v);
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

bool LeerRespuesta(std::string arg, std::vector<Respuesta> &lista) {
  long veces = 1;
  size_t estrella = arg.find('*');
  size_t dospuntos = arg.find(':');
  if (estrella != std::string::npos && (dospuntos == std::string::npos || estrella < dospuntos)) {
    char *fin;
    veces = strtol(arg.c_str(), &fin, 10);
    if (fin != arg.c_str() + estrella || veces < 1) return false;
    arg = arg.substr(estrella + 1);
  }
  Respuesta r;
  if (arg == "busy") {
    r.texto = "MGR;BUSY";
  } else if (arg == "none") {
    r.texto = "MGR;NONE";
  } else if (arg == "silence") {
    r.silencio = true;
  } else if (arg.rfind("raw:", 0) == 0) {
    if (!Decodificar(arg.substr(4), r.texto)) return false;
  } else if (arg.rfind("grant:", 0) == 0) {
    size_t ultimo = arg.rfind(':');
    if (ultimo < 6) return false;
    r.texto = "MGR;G;" + arg.substr(6, ultimo - 6) + ";" + arg.substr(ultimo + 1) + ";";
  } else {
    return false;
  }
  for (long i = 0; i < veces; i++) lista.push_back(r);
  return true;
}

bool EscribirTodo(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

long long MilisegundosMonotonicos() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char **argv) {
  int puerto = 0;
  std::string archivopuerto, archivopedidos;
  std::vector<Respuesta> lista;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kAyuda, stdout);
      return 0;
    }
    if (a == "--port" && i + 1 < argc) {
      puerto = atoi(argv[++i]);
    } else if (a == "--port-file" && i + 1 < argc) {
      archivopuerto = argv[++i];
    } else if (a == "--requests" && i + 1 < argc) {
      archivopedidos = argv[++i];
    } else if (!LeerRespuesta(a, lista)) {
      return Uso();
    }
  }

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in dir {};
  dir.sin_family = AF_INET;
  dir.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  dir.sin_port = htons(static_cast<unsigned short>(puerto));
  socklen_t largo = sizeof dir;
  if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&dir), sizeof dir) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr *>(&dir), &largo) != 0) {
    perror("portmgr-sim");
    return 1;
  }
  int pedidos = -1;
  if (!archivopedidos.empty()) {
    pedidos = open(archivopedidos.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (pedidos < 0) {
      perror(archivopedidos.c_str());
      return 1;
    }
  }
  if (!archivopuerto.empty()) {
    std::string tmp = archivopuerto + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (f == nullptr || fprintf(f, "%u\n", ntohs(dir.sin_port)) < 0 || fclose(f) != 0 ||
        rename(tmp.c_str(), archivopuerto.c_str()) != 0) {
      perror(archivopuerto.c_str());
      return 1;
    }
  }
  printf("portmgr-sim escuchando en 127.0.0.1:%u\n", ntohs(dir.sin_port));
  fflush(stdout);

  for (size_t n = 0;; n++) {
    char buf[65536];
    struct sockaddr_in origen {};
    socklen_t largoorigen = sizeof origen;
    ssize_t r = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&origen),
                         &largoorigen);
    if (r < 0) {
      perror("recvfrom");
      return 1;
    }
    if (pedidos >= 0) {
      char cabeza[64];
      int nc = snprintf(cabeza, sizeof cabeza, "%lld %u %zd ", MilisegundosMonotonicos(),
                        ntohs(origen.sin_port), r);
      std::string registro(cabeza, static_cast<size_t>(nc));
      registro.append(buf, static_cast<size_t>(r));
      registro += '\n';
      if (!EscribirTodo(pedidos, registro.data(), registro.size())) perror("requests");
    }
    if (lista.empty()) continue;
    const Respuesta &resp = lista[n < lista.size() ? n : lista.size() - 1];
    if (resp.silencio) continue;
    if (sendto(fd, resp.texto.data(), resp.texto.size(), 0,
               reinterpret_cast<struct sockaddr *>(&origen), largoorigen) < 0) {
      perror("sendto");
    }
  }
}
