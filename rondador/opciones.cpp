// opciones.cpp - the daemon's settings and its command line (see opciones.h).
#include "opciones.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rondador {

int debuglevel = 1;
const char *logfilepath = nullptr;
const char *hosttoping = nullptr;
const char *transfilepath = nullptr;
char *gtxdir = nullptr;
int maxclientes = 0;
volatile sig_atomic_t finpedido = 0;
volatile sig_atomic_t recargapedida = 0;

namespace {

// A whole decimal number between min and max into *n. Returns whether the
// text was one.
bool leernumero(const char *valor, long min, long max, long *n) {
  char *fin = nullptr;
  errno = 0;
  *n = strtol(valor, &fin, 10);
  return *valor != '\0' && *fin == '\0' && errno == 0 && *n >= min && *n <= max;
}

}  // namespace

int leeropciones(int argc, char **argv, char **args, bool *demonio) {
  int nargs = 2;
  for (int i = 3; i < argc; ++i) {
    const char *op = argv[i];
    if (op[0] != '-') return -1;
    char letra = static_cast<char>(tolower(static_cast<unsigned char>(op[1])));
    if (letra == 'd') {
      if (op[2] != '\0') return -1;
      *demonio = true;
      continue;
    }
    if (letra == '\0' || strchr("xalptm", letra) == nullptr) return -1;
    const char *valor = op + 2;
    if (*valor == '\0') {
      if (i + 1 >= argc) return -1;
      valor = argv[++i];
    }
    long n = 0;
    if ((letra == 'x' && !leernumero(valor, -1000000, 1000000, &n)) ||
        (letra == 'm' && !leernumero(valor, 0, kMaxClientesTope, &n)))
      return -1;
    if (args == nullptr) continue;
    switch (letra) {
      case 'x': debuglevel = static_cast<int>(n); break;
      case 'm': maxclientes = static_cast<int>(n); break;
      case 'a': args[nargs++] = const_cast<char *>(valor); break;
      case 'l': logfilepath = valor; break;
      case 'p': hosttoping = valor; break;
      case 't': transfilepath = valor; break;
      default: break;
    }
  }
  return 0;
}

std::string textoopciones(int argc, char **argv) {
  std::string t;
  for (int i = 3; i < argc; ++i) {
    if (!t.empty()) t += ' ';
    t += argv[i];
  }
  return t.empty() ? "(ninguna)" : t;
}

void uso(const char *programa) {
  printf("Uso: %s basedir zeltapath [opciones]\n", programa);
  printf("\nOpciones:\n");
  printf("\t-xN Debug level N (0-sin salida, 10-maximo)\n");
  printf("\t-d Cargar como daemon\n");
  printf("\t-a zeltaarg\n");
  printf("\t-l logfile\n");
  printf("\t-p host\t\thace un ping antes de ZELTA\n");
  printf("\t-t file\t\tcarga archivo de transcodificacion\n");
  printf("\t-m N\t\tcomo maximo N clientes zelta a la vez (0-sin limite)\n");
  printf("\t--version\tversion del programa y del paquete (unico argumento)\n");
  printf("\t--help\t\testa ayuda (unico argumento)\n");
  fflush(stdout);
}

}  // namespace rondador
