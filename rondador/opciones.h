// opciones.h - the daemon's settings: its constants, what the command line
// sets (read once at the start), and the stop and reload requests that the
// signal handlers raise.
//
// Process-wide settings are plain globals, fixed once the command line has
// been read; the daemon is single-threaded.
//
// Depends on nothing of ours; used by every module of the daemon but
// acceso.cpp.
#pragma once

#include <csignal>
#include <string>

namespace rondador {

constexpr const char *kVersionRondador = "1.2.2";
constexpr int kPingIntentos = 15;      // attempts of pinghost
constexpr unsigned kPingEspera = 5;    // seconds allowed to one ping
constexpr long kPollNanos = 250000000; // pause between empty polls
constexpr int kMaxClientesTope = 100000;  // largest value -m takes
constexpr long kPausaFalloMax = 30;    // seconds, longest wait after failed client starts

// Exit statuses of start-up failures.
constexpr int kSalidaUso = 255;
constexpr int kSalidaError = 1;        // no memory for the arguments, -d without -l, log
constexpr int kSalidaSinMemoria = 2;   // no memory for gtxdir

extern int debuglevel;            // -x, default 1
extern const char *logfilepath;   // -l, nullptr for none
extern const char *hosttoping;    // -p, nullptr for none
extern const char *transfilepath; // -t, nullptr for none
extern char *gtxdir;              // <basedir>[/]tx/
extern int maxclientes;           // -m, 0 for no cap on running clients

// Why the daemon is to stop: the number of the signal (SIGTERM or SIGINT)
// that asked for it, kFinPorTx when another daemon took over the base
// directory's lock, 0 while it runs. The scan loop ends at its next look at it; a marker is
// either handled whole or left in tx/.
extern volatile sig_atomic_t finpedido;
constexpr int kFinPorTx = -1;

// Set by SIGHUP: the scan loop reloads before its next look at tx/. A
// reload never stops the daemon.
extern volatile sig_atomic_t recargapedida;

// Checks the options that follow the two positional arguments; with args,
// also stores -a values from args[2] on and applies the settings. Returns 0,
// or -1 when the command line is faulty.
int leeropciones(int argc, char **argv, char **args, bool *demonio);

// The command line after the two positional arguments, for the start line.
std::string textoopciones(int argc, char **argv);

// Prints the usage text on standard output.
void uso(const char *programa);

}  // namespace rondador
