// comandos.cpp - the command line: the options read into g_corrida and the
// usage text printed for a line that is not understood (and for --help).
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run.h"

namespace {

int UsoInvalido(const char *argv0) {
  MostrarUso(argv0);
  return kUsoInvalido;
}

}  // namespace

void MostrarUso(const char *argv0) {
  printf("%s\n", kBanner);
  printf("Version %d.%d.%d - Protocolo KALDO\n", kVersionMayor, kVersionMenor, kVersionRevision);
  printf("Uso: %s [opciones] raiz\n", argv0);
  printf("\t%s -u [opciones]  Actualizar version de ZELTA\n", argv0);
  printf("\t%s -r [opciones] raiz  Reenviar las transacciones retenidas\n", argv0);
  printf("\t%s -r --limpiar DIAS raiz  Borrar las carpetas de respuesta de retenidos/ de mas de DIAS dias\n",
         argv0);
  printf("\nOpciones:\n");
  printf("-t {dialup|tcp} Transporte\n");
  printf("-p fuerza el uso del PortMgr\n");
  printf("-l logfile Archivo de log\n");
  printf("-xN Debuglevel N (0-sin salida, 10-maximo)\n");
  printf("\nOtros modos:\n");
  printf("\t%s -s [-q|-j] [-w MINUTOS] [-e HORAS] [-P ARCHIVO] basedir  Estado de las terminales de basedir\n",
         argv0);
  printf("\t%s -c  Verificar zelta.conf y zelta.destinos\n", argv0);
  printf("\t%s --version  Version del programa y del paquete\n", argv0);
  printf("\t%s --help  Esta ayuda\n", argv0);
  printf("\nOpciones de -s:\n");
  printf("-q una linea por terminal, campos separados por tabuladores\n");
  printf("-j un documento JSON\n");
  printf("-w MINUTOS espera maxima de una marca en tx/ (10)\n");
  printf("-e HORAS antiguedad maxima del ultimo resultado (sin limite)\n");
  printf("-P ARCHIVO metricas para Prometheus, reemplazadas de una vez\n");
  printf("Salida de -s: 0 bien, 1 fallo o retenidos, 2 marca demorada o sin rondador, 3 base ilegible\n");
  fflush(stdout);
}

namespace {

// Whether letter c names an option that takes a value.
bool LlevaValor(char c) { return c != '\0' && strchr("tlxweP", c) != nullptr; }

// A whole number from min to max written in decimal digits only (the
// limits of -s and --limpiar; -x keeps its atoi reading).
bool LeerEntero(const char *texto, long long minimo, long long maximo, long long *valor) {
  if (*texto == '\0') return false;
  for (const char *p = texto; *p != '\0'; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
  }
  return LeerNumero(texto, minimo, maximo, valor);
}

// What a command line says, before the run mode is judged.
struct Linea {
  int posicionales = 0, modos = 0;
  ModoCorrida modo = kModoSesion;
  bool conopcionestado = false;  // -j, -P, -w or -e (with -s only)
};

// One option letter c with its value (nullptr for a flag). Returns false
// for a letter or a value that is not accepted.
bool Opcion(char c, const char *valor, Linea &l) {
  long long n = 0;
  switch (c) {
    case 't':
      if (strcmp(valor, "tcp") == 0) {
        g_corrida.transporte = kTransporteTCP;
      } else if (strcmp(valor, "dialup") == 0) {
        g_corrida.transporte = kTransporteDialup;
      } else {
        return false;
      }
      return true;
    case 'p': g_corrida.forzarportmgr = true; return true;
    case 'q': g_corrida.tabulado = true; return true;
    case 'l': g_corrida.archivolog = valor; return true;
    case 'x': g_corrida.debuglevel = atoi(valor); return true;
    case 'r': g_corrida.reenvio = true; return true;
    case 'j': g_corrida.json = true; l.conopcionestado = true; return true;
    case 'P':
      if (*valor == '\0') return false;
      g_corrida.prometheus = valor;
      l.conopcionestado = true;
      return true;
    case 'w':
      if (!LeerEntero(valor, 0, 525600, &n)) return false;  // a year of minutes
      g_corrida.esperamax = n;
      l.conopcionestado = true;
      return true;
    case 'e':
      if (!LeerEntero(valor, 1, 876000, &n)) return false;  // a hundred years of hours
      g_corrida.edadmax = n;
      l.conopcionestado = true;
      return true;
    case 'u':
    case 's':
    case 'c':
      if (++l.modos > 1) return false;
      l.modo = c == 'u' ? kModoActualizar : c == 's' ? kModoEstado : kModoChequeo;
      return true;
    default:
      return false;
  }
}

}  // namespace

// getopt-style: letters after '-' are each an option ("-sq" is "-s -q");
// a letter that takes a value takes the rest of the argument, or the next
// argument when nothing follows it ("-x5", "-x 5", "-pxl/tmp/a.log").
// "--" ends the options. Run modes and the positional argument may come in
// any order; which mode it is, and whether it has the positional argument
// it needs, is decided after the last argument.
int LeerLineaComandos(int argc, char **argv) {
  g_corrida.dirprog = DirectorioDe(argv[0], "./");
  Linea l;
  bool opciones = true;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (!opciones || a[0] != '-') {
      if (++l.posicionales > 1) return UsoInvalido(argv[0]);
      g_corrida.raiz = a;
      continue;
    }
    if (a[1] == '\0') return UsoInvalido(argv[0]);  // "-" alone
    if (a[1] == '-') {
      const char *largo = a + 2;
      if (*largo == '\0') {
        opciones = false;
      } else if (strcmp(largo, "help") == 0) {
        MostrarUso(argv[0]);
        return kPideAyuda;
      } else if (strcmp(largo, "version") == 0) {
        // Answered before the command line is read (CorrerZelta).
      } else if (strncmp(largo, "limpiar", 7) == 0 && (largo[7] == '\0' || largo[7] == '=')) {
        const char *valor = largo[7] == '=' ? largo + 8 : (i + 1 < argc ? argv[++i] : nullptr);
        long long dias = 0;
        if (valor == nullptr || !LeerEntero(valor, 0, 36500, &dias)) return UsoInvalido(argv[0]);
        g_corrida.limpiardias = dias;
      } else {
        return UsoInvalido(argv[0]);
      }
      continue;
    }
    for (const char *p = a + 1; *p != '\0'; p++) {
      const char *valor = nullptr;
      if (LlevaValor(*p)) {
        valor = p[1] != '\0' ? p + 1 : (i + 1 < argc ? argv[++i] : nullptr);
        if (valor == nullptr) return UsoInvalido(argv[0]);
      }
      if (!Opcion(*p, valor, l)) return UsoInvalido(argv[0]);
      if (valor != nullptr) break;
    }
  }
  const ModoCorrida modo = l.modo;
  // A session run and -s take the one positional argument; -u and -c none.
  bool conraiz = modo == kModoSesion || modo == kModoEstado;
  if (l.posicionales != (conraiz ? 1 : 0)) return UsoInvalido(argv[0]);
  if ((g_corrida.tabulado || l.conopcionestado) && modo != kModoEstado) return UsoInvalido(argv[0]);
  if (g_corrida.tabulado && g_corrida.json) return UsoInvalido(argv[0]);
  g_corrida.modo = modo;
  if (modo == kModoActualizar) g_corrida.raiz = g_corrida.dirprog;
  if (g_corrida.reenvio && modo != kModoSesion) return UsoInvalido(argv[0]);
  if (g_corrida.limpiardias >= 0 && !g_corrida.reenvio) return UsoInvalido(argv[0]);
  return kExito;
}
