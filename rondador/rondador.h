// rondador.h - the daemon rondador: it watches <basedir>/tx/ for transaction
// markers and starts the client zelta, detached, for each terminal root that
// drops one (after an optional ping and service-code rewrite, see hash.h).
//
// Process-wide settings are plain globals, fixed once the command line has
// been read; the daemon is single-threaded.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

constexpr const char *kVersionRondador = "1.2.2";
constexpr int kPingIntentos = 15;      // attempts of pinghost
constexpr unsigned kPingEspera = 5;    // seconds allowed to one ping
constexpr long kPollNanos = 250000000; // pause between empty polls

// Exit statuses of start-up failures.
constexpr int kSalidaUso = 255;
constexpr int kSalidaError = 1;        // no memory for the arguments, -d without -l, log
constexpr int kSalidaSinMemoria = 2;   // no memory for gtxdir

extern int debuglevel;            // -x, default 1
extern const char *logfilepath;   // -l, nullptr for none
extern FILE *logfile;             // log stream; nullptr means standard output
extern const char *hosttoping;    // -p, nullptr for none
extern const char *transfilepath; // -t, nullptr for none
extern char *gtxdir;              // <basedir>[/]tx/
extern volatile sig_atomic_t pingpid;  // ping now running, 0 when none

// The daemon's whole life; returns only on a start-up failure, with the exit
// status.
int rondador_main(int argc, char **argv);

// Prints the usage text on standard output.
void uso(const char *programa);

// Writes "%b %d %H:%M:%S " + text + line feed to the log when level <=
// debuglevel, and flushes it.
void lognf(const char *texto, int level);
// Formats at most 499 characters and passes them to lognf.
void log_f(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Whether a directory entry name counts as a marker (it does not begin
// with '.').
bool selectregfiles(const char *nombre);

// Returns the name of the oldest marker in dir (by modification time,
// nanoseconds; equal times by name), or nothing when there is none or the
// listing fails. A marker that could not be deleted earlier is passed over
// until it changes (see olvidarmarca).
std::optional<std::string> buscartx(const char *dir);
// Deletes the marker dir/name. When that fails the marker is remembered with
// its modification time so that buscartx does not return it again until it
// is touched or replaced; the failure is logged. Returns 0 or -1.
int borrarmarca(const char *dir, const std::string &nombre);

// Pings host with the system's "ping -qnc1" until it answers, at most
// kPingIntentos times, kPingEspera seconds each. Returns whether it answered.
bool pinghost(const char *host);
// Alarm handler during a ping: sends the terminate signal to pingpid (the
// kill signal on a further alarm, for a ping that ignores it).
void killpingpid(int);

// Double fork. Returns -1 (errno set), 0 in the grandchild, 1 in the caller;
// on 1 *nieto holds the grandchild's process id (0 when it could not be
// learnt).
int fork2(pid_t *nieto);

// Starts path with args (args[1] is the terminal root) as a detached
// grandchild; does not wait for it.
void ejecutarzelta(const char *path, char *const args[]);

// Detaches the process from its terminal and parent, with umask 0, standard
// output and error appended to logfilepath and standard input /dev/null.
void makedaemon();
