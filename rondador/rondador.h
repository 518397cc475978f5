// rondador.h - the daemon rondador: it watches <basedir>/tx/ for transaction
// markers and starts the client zelta, detached, for each terminal root that
// drops one (after an optional ping and service-code rewrite, see hash.h).
//
// Process-wide settings are plain globals, fixed once the command line has
// been read; the daemon is single-threaded.
//
// Depends on nothing of ours; used by every module of the daemon (the log,
// the settings) and by main.cpp.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

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
extern FILE *logfile;             // log stream; nullptr means standard output
extern const char *hosttoping;    // -p, nullptr for none
extern const char *transfilepath; // -t, nullptr for none
extern char *gtxdir;              // <basedir>[/]tx/
extern volatile sig_atomic_t pingpid;  // ping now running, 0 when none
extern int maxclientes;           // -m, 0 for no cap on running clients

// Why the daemon is to stop: the number of the signal (SIGTERM or SIGINT)
// that asked for it, kFinPorTx when another daemon took over the base
// directory's lock, 0 while it runs. The scan loop ends at its next look at it; a marker is
// either handled whole or left in tx/.
extern volatile sig_atomic_t finpedido;
constexpr int kFinPorTx = -1;

// Set by SIGHUP: the scan loop reloads (recargar) before its next look at
// tx/. A reload never stops the daemon.
extern volatile sig_atomic_t recargapedida;
// Reopens the log file (the old one may have been renamed by logrotate) and
// reloads the transcoding table of -t, keeping the table in use when the
// new one cannot be loaded; logs the outcome at level 1.
void recargar();

// The daemon's whole life; returns the exit status: of a start-up failure,
// 0 after a stop asked for by a signal, 1 when another daemon took over the
// base directory.
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

// The terminal's name in a terminal root path: its last component.
const char *nombreterminal(const char *raiz);

// The markers of the last listing of buscartx that are still waiting,
// oldest first.
std::vector<std::string> marcasencola();

// Returns the name of the oldest marker in dir (by modification time,
// nanoseconds; equal times by name), or nothing when there is none or the
// listing fails. A marker that could not be deleted earlier is passed over
// until it changes (see olvidarmarca).
std::optional<std::string> buscartx(const char *dir);
// Deletes the marker dir/name and syncs dir, so that the deletion outlives
// a power cut (a failed sync is logged). When the deletion fails the marker is remembered with
// its modification time so that buscartx does not return it again until it
// is touched or replaced; the failure is logged. Returns 0 or -1.
int borrarmarca(const char *dir, const std::string &nombre);
// Forgets the scan state kept between polls (the last listing, the markers
// passed over, the last listing error), as at the daemon's start. For tests
// that poll in one process more than once.
void reiniciarronda();

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

// The pipe by which the daemon learns that a client has ended (see
// espera.cpp); both ends -1 for a client that runs untracked.
struct FinCliente {
  int lectura = -1;
  int escritura = -1;
};

// Starts path with args (args[1] is the terminal root) as a detached
// grandchild; does not wait for it to end, only for its exec. The
// grandchild inherits fin's write end; the daemon counts the client as
// running until fin reports its end. Returns 0 once the client runs, -1
// (logged) when the fork or the exec failed.
int ejecutarzelta(const char *path, char *const args[], FinCliente *fin);

// ---------------------------------------------------------------- waiting (espera.cpp)

// Sets up the watch of dir (tx/) with inotify; without inotify, or with the
// environment variable RONDADOR_SIN_INOTIFY set, markers are found by the
// poll alone. RONDADOR_PAUSA_MS replaces the poll pause (tests).
void iniciarespera(const char *dir);
// Returns the oldest marker in dir once there is one and fewer than
// maxclientes clients run (no limit when maxclientes is 0). Waits on inotify
// and on the ends of the running clients, for at most the poll pause each
// time, scanning dir after every wait. Before every scan it makes sure this
// daemon still holds the lock of its base directory (tomarunico). Returns nothing when
// the daemon is to stop (finpedido set, kFinPorTx when the lock went to
// another daemon).
std::optional<std::string> esperartx(const char *dir);
// Opens the pipe of the next client. Returns 0, or -1 (logged) when it
// cannot be made under a cap: the client must not start untracked. With no
// cap a failure is logged and 0 returned with both ends -1.
int abrirfin(FinCliente *fin);
// Closes both ends (the client could not be started).
void cerrarfin(FinCliente *fin);
// Daemon side, after the start: drops the write end and counts the client
// as running until the read end reports its end, which is logged with the
// pid, the result in raiz's estado.rsp and the time since the start.
// lanzado is CLOCK_REALTIME_COARSE taken before the start: an estado.rsp
// older than that was not written by this client.
void registrarcliente(FinCliente *fin, pid_t pid, const char *raiz, const timespec &lanzado);
// Grandchild side, before exec: keeps the write end open across exec.
void heredarfin(const FinCliente &fin);
// Number of started clients not yet known to have ended.
size_t clientesencurso();
// Makes the self-pipe that despertarespera writes to. Returns 0 or -1
// (logged; a signal then ends a wait by interrupting it only).
int abrirdespertador();
// Ends the wait in progress, or the next one, at once. Async-signal-safe.
void despertarespera();

// ---------------------------------------------------------------- one daemon per base directory (unico.cpp)

// The lock file's name in the base directory.
constexpr const char *kNombreUnico = ".rondador.lck";
// Results of tomarunico besides 0 and errno values: another process holds
// the lock; the name is not a regular file with one name owned by the
// daemon's user (root), so it is not used.
constexpr int kUnicoOcupado = -2;
constexpr int kUnicoAjeno = -3;
// How long a start waits for a departing daemon to let go of the lock.
constexpr int kEsperaUnicoMs = 5000;
// Sets the lock file to <basedir>/.rondador.lck and takes it (tomarunico),
// trying again for up to kEsperaUnicoMs while another process holds it.
// Returns what the last tomarunico returned.
int arrancarunico(const char *basedir);
// Takes flock(LOCK_EX|LOCK_NB) on the lock file (made 0600 when missing,
// opened without following a link) and holds it on a close-on-exec
// descriptor until the process ends or the name is given to another file; a
// lock already held on the file the name now gives is kept. Returns 0 when
// this daemon holds the lock on what the name now is (or no lock file is
// set: tests of the scan alone), kUnicoOcupado, kUnicoAjeno (logged once;
// a lock held before is kept) or an errno value (logged once; ENOENT while
// the base directory is missing: it is locked once it can be made).
int tomarunico();
// The lock file's path (empty until arrancarunico).
const char *rutaunico();
// In a child right after fork: closes the child's copy of the lock's
// descriptor, so that neither it nor what it execs holds the lock. The
// daemon's own lock stays.
void soltarunico();

// Detaches the process from its terminal and parent, with umask 0, standard
// output and error appended to logfilepath and standard input /dev/null.
void makedaemon();
