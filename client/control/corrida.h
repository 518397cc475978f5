// corrida.h - the run state (g_corrida, defined in corrida.cpp) and the end
// of a run: the exit handler and the end where the driver cannot be returned to.
#pragma once

#include <sys/types.h>

#include <string>

// Session run (a terminal root), update run (-u), status of every terminal
// under a base directory (-s), check of the configuration files (-c).
enum ModoCorrida { kModoNinguno, kModoSesion, kModoActualizar, kModoEstado, kModoChequeo };
enum Transporte { kTransporteDialup, kTransporteTCP };

// The upload bundle a session packs and sends, relative to the terminal
// root.
inline constexpr char kBultoSubida[] = "upload/input.dat";

struct EstadoCorrida {
  int debuglevel = 1;
  ModoCorrida modo = kModoNinguno;
  Transporte transporte = kTransporteDialup;
  bool forzarportmgr = false;     // -p
  bool tabulado = false;          // -q: -s prints tab-separated fields
  bool json = false;              // -j: -s prints one JSON document
  std::string prometheus;         // -P: -s also writes its figures to this file
  long long esperamax = 10;       // -w: minutes a marker may wait in tx/ (-s)
  long long edadmax = -1;         // -e: hours a last result may age (-s); -1: no limit
  long long limpiardias = -1;     // --limpiar: with -r, days an answer folder is kept; -1: not asked
  std::string raiz;               // terminal root (program dir in -u runs;
                                  // the base directory in -s runs)
  std::string dirprog;            // argv[0] up to and including its last '/'
  std::string archivolog;         // -l argument, empty for standard output
  std::string locklpath;          // instance lock path; cleared by cleanexit
  pid_t lockpid = 0;              // process that made the instance lock
  std::string hostid;             // 32-character host identification
  // The root opened once the run starts, for retention and the
  // status file; -1 before.
  int raizfd = -1;
  bool reenvio = false;           // -r: send the retained bundles again
  // The files of the session, relative to the root: the upload bundle the
  // transfer sends, and the directory that gets output.dat and the split
  // answer. A resend points them into retenidos/.
  std::string rutasubida = kBultoSubida;
  std::string dirbajada = "download";
  std::string rutamachineid = "/etc/machine-id";  // source of hostid
};
extern EstadoCorrida g_corrida;

// Exit handler: removes the instance lock in the process that made it.
void cleanexit();

// Ends the run at once with codigo where the driver cannot be returned to
// (an allocation that failed with no result code planned for it): in the
// process that made the instance lock, the bundle and answer are retained
// by the phase reached, estado.rsp gets codigo (not in a resend), the
// directory lock is undone, the summary line written and the process
// exits through its exit handlers; any other process (the dial-up
// protocol child) only _exits with codigo. Called a second time (a failure
// on the way), it only _exits.
[[noreturn]] void TerminarCorrida(int codigo);
