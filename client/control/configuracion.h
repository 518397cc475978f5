// configuracion.h - the configuration record g_config (defined in
// corrida.cpp) and zelta.conf, read into it (configuracion.cpp); the
// problems a check run collects from both configuration files.
#pragma once

#include <termios.h>

#include <cstddef>
#include <string>
#include <vector>

// A problem found in a configuration file by a check run (-c).
// A warning names what a run only warns about (and goes on): it does not
// make the check fail.
struct Hallazgo {
  std::string archivo;  // "zelta.conf" or "zelta.destinos"
  int linea;            // 0: the file as a whole
  std::string texto;
  bool aviso = false;
};

struct Configuracion {
  std::vector<std::string> modems;  // MODEM lines in file order
  size_t cursormodem = 0;
  std::string prefijo;              // PREFIJO, 4
  speed_t bps = 0;                  // BPS as a termios constant
  int reintentos = 3;               // REINTENTOS
  int blocksize = 1024;             // BLOCKSIZE
  std::string telefono;             // TELEFONO, 24; set by the lookup
  std::string termid;               // TERMID, 8
  std::string init;                 // INIT, 48, plus "\r" when set
  std::string lockdir = "/var/lock";
  std::string pairdevprefix = "cua";
  std::string codigointerurbano;    // CODIGOINTERURBANO, 9
  int mdmtimeout = 25;
  int ignoreconnstr = 0;
  int udpport = 0;
  int esperamodem = 0;              // ESPERAMODEM: seconds to wait for a free
                                    // modem; 0 waits without limit
  int tiempomaximo = 3600;          // TIEMPOMAXIMO: seconds a session may last
  int reserva = 5;                  // RESERVA: percent of upload/'s file system
                                    // a bundle must leave free (0-99)
  std::string servidor;             // server host, 74; set by the lookup
  unsigned short puerto = 0;        // server TCP port; set by the lookup
};
extern Configuracion g_config;

constexpr size_t kMaxServidor = 74;

// Most blocks a bundle may have either way: block numbers travel as five
// digits. Packing checks against it too, so it lives down here.
constexpr long kMaxBloques = 99999;
constexpr size_t kMaxTelefono = 24;

// Resets every field to its default.
void ConfiguracionPorDefecto();
// Reads <program dir>zelta.conf. Returns 1 read cleanly, 0 read with errors,
// -15 when the file cannot be opened. Messages go to standard output.
int LeerConfiguracion(const char *argv0);
// Reads and checks the configuration. Returns 0, -2 (settings missing), -3
// (errors in the file) or -15 (no file). Each problem is printed on
// standard output and, when the log is a file, logged at level 1.
int CargarConfiguracion(const char *argv0);
// The same for a check run: prints and logs nothing, collects every problem
// (a line that is too long does not stop the reading).
int RevisarConfiguracion(const char *argv0, std::vector<Hallazgo> &hallazgos);
// BPS value to termios constant; 0 when not a supported speed.
speed_t BuscarVelocidad(int bps);
void RebobinarModems();
// The next device of the modem list, or nullptr at the end.
const char *SiguienteModem();
