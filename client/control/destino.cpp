// destino.cpp - where an exchange goes: the bundle header line read back
// from input.dat, and the destination table zelta.destinos in the program
// directory that turns company, activity and key into a dial string, a
// server host and a server port.
//
// zelta.destinos: '#' starts a comment line, blank lines are skipped, other
// lines hold EMPRESA ACTIVIDAD CLAVE TELEFONO SERVIDOR PUERTO separated by
// blanks or tabs. CLAVE is 8 characters (any case) or '*'; TELEFONO is '-'
// for none. The first matching line wins.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include "control.h"

namespace {

struct LineaDestino {
  int empresa = 0;
  int actividad = 0;
  std::string clave;  // 8 characters or "*"
  std::string telefono;
  std::string servidor;
  unsigned short puerto = 0;
};

bool EsNumero(const std::string &s, size_t maxdigitos) {
  if (s.empty() || s.size() > maxdigitos) return false;
  for (char c : s) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Parses one table line. Returns nullptr, or what is wrong with the line.
const char *ParsearLineaDestino(const std::string &texto, LineaDestino &d) {
  if (texto.find('\0') != std::string::npos) return "contiene un byte nulo";
  std::istringstream in(texto);
  std::string empresa, actividad, clave, telefono, servidor, puerto, sobra;
  if (!(in >> empresa >> actividad >> clave >> telefono >> servidor >> puerto)) {
    return "faltan campos (EMPRESA ACTIVIDAD CLAVE TELEFONO SERVIDOR PUERTO)";
  }
  if (in >> sobra) return "sobran campos";
  if (!EsNumero(empresa, 2)) return "EMPRESA no es un numero de 1 o 2 cifras";
  if (!EsNumero(actividad, 2)) return "ACTIVIDAD no es un numero de 1 o 2 cifras";
  if (clave != "*" && clave.size() != 8) return "CLAVE no tiene 8 caracteres ni es *";
  if (telefono.size() > kMaxTelefono) return "TELEFONO tiene mas de 24 caracteres";
  if (servidor.size() > kMaxServidor) return "SERVIDOR tiene mas de 74 caracteres";
  long p = EsNumero(puerto, 5) ? atol(puerto.c_str()) : 0;
  if (p < 1 || p > 65535) return "PUERTO no esta entre 1 y 65535";
  d.empresa = atoi(empresa.c_str());
  d.actividad = atoi(actividad.c_str());
  d.clave = clave;
  d.telefono = telefono == "-" ? "" : telefono;
  d.servidor = servidor;
  d.puerto = static_cast<unsigned short>(p);
  return nullptr;
}

// Walks zelta.destinos and returns the first line for which acepta(line,
// its number) holds.
// Returns 0 with d set, 16 when the file is missing or nothing matches
// (malformed lines are logged and skipped; the no-match message is the
// caller's). With hallazgos, nothing is logged: the missing file and every
// malformed line are collected there, with what is wrong.
template <typename Pred>
int RecorrerDestinos(Pred acepta, LineaDestino &d, bool *hallado,
                     std::vector<Hallazgo> *hallazgos = nullptr) {
  *hallado = false;
  std::string path = g_corrida.dirprog + "zelta.destinos";
  ArchivoPtr f(fopen(path.c_str(), "r"));
  if (!f) {
    if (hallazgos != nullptr) {
      hallazgos->push_back({"zelta.destinos", 0,
                            "No se pudo abrir tabla de destinos " + path + ": " + strerror(errno)});
    } else {
      LogFalla(1, errno, "No se pudo abrir tabla de destinos %s", path.c_str());
    }
    return kErrorConfiguracion;
  }
  std::string texto;
  int numero = 0;
  for (int c = 0; c != EOF;) {
    // Whole lines of any length; a NUL byte is kept so that it cannot end a
    // line early and join what follows it to the next line.
    texto.clear();
    while ((c = getc(f.get())) != EOF && c != '\n') texto += static_cast<char>(c);
    if (c == EOF && texto.empty()) break;
    numero++;
    while (!texto.empty() && texto.back() == '\r') texto.pop_back();
    size_t inicio = texto.find_first_not_of(" \t");
    if (inicio == std::string::npos || texto[inicio] == '#') continue;
    LineaDestino candidato;
    if (const char *falla = ParsearLineaDestino(texto, candidato)) {
      if (hallazgos != nullptr) {
        hallazgos->push_back({"zelta.destinos", numero,
                              "Linea " + std::to_string(numero) + " de zelta.destinos invalida: " + falla});
      } else {
        LogFormato(1, "Linea %d de zelta.destinos invalida", numero);
      }
      continue;
    }
    if (acepta(candidato, numero)) {
      d = candidato;
      *hallado = true;
      return kExito;
    }
  }
  return kExito;
}

std::string Mayusculas(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// Why a server host would not be reached by name: nullptr when it is an
// IPv4 or IPv6 address or a name that resolves now, else the resolver's
// reason.
const char *HostSinResolver(const std::string &host) {
  unsigned char direccion[sizeof(in6_addr)];
  if (inet_pton(AF_INET, host.c_str(), direccion) == 1 ||
      inet_pton(AF_INET6, host.c_str(), direccion) == 1) {
    return nullptr;
  }
  addrinfo pista{};
  pista.ai_family = AF_UNSPEC;
  pista.ai_socktype = SOCK_STREAM;
  addrinfo *lista = nullptr;
  int e = getaddrinfo(host.c_str(), nullptr, &pista, &lista);
  if (e != 0) return gai_strerror(e);
  freeaddrinfo(lista);
  return nullptr;
}

}  // namespace

ResultadoCodigos LeerCodigos(const std::string &linea, size_t *inicio, int *empresa, int *actividad) {
  size_t i = !linea.empty() && linea[0] == 'V' ? 4 : 0;
  if (linea.size() < i + 4) return kCodigosCortos;
  for (size_t j = i; j < i + 4; j++) {
    if (linea[j] < '0' || linea[j] > '9') return kCodigosInvalidos;
  }
  *inicio = i;
  *empresa = (linea[i] - '0') * 10 + (linea[i + 1] - '0');
  *actividad = (linea[i + 2] - '0') * 10 + (linea[i + 3] - '0');
  return kCodigosBien;
}

int ParsearEncabezado(const std::string &linea, Destino &destino) {
  size_t inicio = 0;
  if (LeerCodigos(linea, &inicio, &destino.empresa, &destino.actividad) != kCodigosBien) {
    LogFormato(1, "Linea de encabezado invalida: %s", linea.c_str());
    return kErrorConfiguracion;
  }
  LogFormato(20, "Empresa: %d", destino.empresa);
  LogFormato(20, "Actividad: %d", destino.actividad);
  destino.clave = linea.size() >= inicio + 12 ? Mayusculas(linea.substr(inicio + 4, 8)) : "";
  return kExito;
}

int BuscarDestino(Destino &destino) {
  LineaDestino d;
  bool hallado = false;
  int r = RecorrerDestinos(
      [&destino](const LineaDestino &c, int) {
        return c.empresa == destino.empresa && c.actividad == destino.actividad &&
               (c.clave == "*" || strcasecmp(c.clave.c_str(), destino.clave.c_str()) == 0);
      },
      d, &hallado);
  if (r != kExito) return r;
  if (!hallado) {
    LogFormato(1, "Destino no encontrado: empresa %d actividad %d clave %s", destino.empresa,
               destino.actividad, destino.clave.c_str());
    return kErrorConfiguracion;
  }
  g_config.telefono = d.telefono;
  g_config.servidor = d.servidor;
  g_config.puerto = d.puerto;
  return kExito;
}

int SuministrarClave(int empresa, int actividad, std::string &clave) {
  LineaDestino d;
  bool hallado = false;
  int r = RecorrerDestinos(
      [empresa, actividad](const LineaDestino &c, int) {
        return c.empresa == empresa && c.actividad == actividad && c.clave != "*";
      },
      d, &hallado);
  if (r != kExito) return r;
  if (!hallado) {
    LogFormato(1, "Sin clave de destino para empresa %d actividad %d", empresa, actividad);
    return kErrorConfiguracion;
  }
  clave = Mayusculas(d.clave);
  return kExito;
}

int RevisarDestinos(std::vector<Hallazgo> &hallazgos) {
  // The first matching line wins, so a line that an earlier one covers
  // (same company and activity, and key '*' or the same key) is never used.
  struct Vista {
    LineaDestino linea;
    int numero;
  };
  std::vector<Vista> vistas;
  // A run resolves the host when it connects; one that does not resolve
  // today may on the day (a name only the site's DNS knows), so it is a
  // warning. Each host is asked once.
  std::map<std::string, const char *> resueltos;
  auto revisar = [&](const LineaDestino &c, int numero) {
    auto [it, nuevo] = resueltos.try_emplace(c.servidor, nullptr);
    if (nuevo) it->second = HostSinResolver(c.servidor);
    if (it->second != nullptr) {
      hallazgos.push_back({"zelta.destinos", numero,
                           "Linea " + std::to_string(numero) + " de zelta.destinos: SERVIDOR " +
                               c.servidor + " no es una direccion ni un nombre que se resuelva (" +
                               it->second + ")",
                           true});
    }
    for (const Vista &v : vistas) {
      if (v.linea.empresa == c.empresa && v.linea.actividad == c.actividad &&
          (v.linea.clave == "*" || strcasecmp(v.linea.clave.c_str(), c.clave.c_str()) == 0)) {
        hallazgos.push_back({"zelta.destinos", numero,
                             "Linea " + std::to_string(numero) +
                                 " de zelta.destinos nunca se usa: la linea " +
                                 std::to_string(v.numero) + " la cubre"});
        return false;
      }
    }
    vistas.push_back({c, numero});
    return false;
  };
  LineaDestino d;
  bool hallado = false;
  return RecorrerDestinos(revisar, d, &hallado, &hallazgos);
}

int LeerDestino(Destino &destino) {
  std::string path = UnirRuta(g_corrida.raiz, g_corrida.rutasubida);
  Descriptor raiz, fd;
  int e = AbrirRaiz(g_corrida.raiz, raiz);
  if (e == 0) e = AbrirLectura(raiz.fd, g_corrida.rutasubida.c_str(), fd);
  ArchivoPtr f;
  if (e == 0) f = AbrirFlujo(fd, "r");
  if (!f) {
    LogFalla(1, ErrorArchivo(e != 0 ? e : errno), "open interm file");
    return kArchivoNoAbierto;
  }
  char linea[250];
  bool marca = false;
  while (fgets(linea, sizeof linea, f.get()) != nullptr) {
    if (marca) {
      size_t n = strcspn(linea, "\r\n");
      linea[n] = '\0';
      LogFormato(20, "Linea obtenida del _svl.0: %s", linea);
      int r = ParsearEncabezado(linea, destino);
      if (r != kExito) return r;
      return BuscarDestino(destino);
    }
    marca = strncasecmp(linea, "[_svl.0]", 8) == 0;
  }
  LogFormato(1, "No se encontro la linea de encabezado en %s", path.c_str());
  return kErrorConfiguracion;
}
