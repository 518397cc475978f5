// run.h - the top of the client: the command line, the run driver that
// takes one exchange from the locks to the status file, and the other run
// modes (update, resend, status of every terminal, configuration check).
//
// Depends on every layer below (protocol, link, spool, control); used by
// main.cpp and the tests only.
#pragma once

#include <string>
#include <vector>

#include "control.h"

// ---------------------------------------------------------------- version and modes

constexpr int kVersionMayor = 1;
constexpr int kVersionMenor = 5;
constexpr int kVersionRevision = 1;

// The line the usage text and the log of a run begin with.
inline constexpr char kBanner[] = "ZELTA - Transferencia de transacciones de terminales";

// The package this build belongs to; its version may differ from the
// client's own (kVersion*) and the daemon's.
#ifndef ZELTA_VERSION_PAQUETE
#define ZELTA_VERSION_PAQUETE "desconocida"
#endif

// ---------------------------------------------------------------- command line (comandos.cpp)

// LeerLineaComandos' answer to --help, after printing the usage text: the
// program ends with 0.
constexpr int kPideAyuda = 1;

// Parses the command line into g_corrida. Returns 0, kPideAyuda, or -1
// after printing the usage text. REQUIRES: argc >= 1.
int LeerLineaComandos(int argc, char **argv);
void MostrarUso(const char *argv0);

// ---------------------------------------------------------------- runs

// The whole client run (driver.cpp). Returns the process exit status (the
// result code).
int CorrerZelta(int argc, char **argv);

// The check run (-c, chequeo.cpp): reads zelta.conf and zelta.destinos
// from the program directory of argv0 and prints every problem with its
// file and line. Touches no terminal and writes no log. Returns 0 when
// there is none, 16 otherwise.
int ChequearConfiguracion(const char *argv0);

// The status run (-s), also a monitoring check: one line per terminal root
// under base (last result, its time, the run in progress, markers waiting
// in tx/, retained bundles), aligned for people with what else was found
// below (the rondador serving base, queued markers, answer folders, results
// older than opciones.edadmax), or tab-separated (opciones.tabulado), or as
// one JSON document (opciones.json); with opciones.prometheus, the same
// figures are also written to that file, replaced atomically. Reads only;
// nothing under a terminal root is followed through a link or read unless
// it is a regular file. Returns the worst state found: 0 all well; 1 a
// terminal's last result failed or is older than edadmax hours, something
// is retained, or a lock blocks every run; 2 a marker has waited more than
// esperamax minutes, or markers wait and no rondador holds base; 3 base
// cannot be read, or the metrics file cannot be written.
int MostrarEstadoTerminales(const std::string &base, const EstadoCorrida &opciones);

// Host identification: the first 32 bytes of g_corrida.rutamachineid, which
// must be hexadecimal digits. Returns 0 with g_corrida.hostid set, or -2.
int ObtenerIdentificacion();

// The update run's two steps: preparation after the configuration is loaded,
// completion after the ticket. Each returns 0 or a result code.
int PrepararActualizacion();
int CompletarActualizacion();

// Size of a regular file under the terminal root (nombre relative to it),
// 0 when there is none; a link is not followed.
long long TamanoEnRaiz(const char *nombre);
// The session over the transport of the run (-t): dial-up, or TCP
// direct and/or through the port manager. Returns the session's result code.
int Transportar(const Destino &destino);
// A bundle (g_corrida.rutasubida) with more blocks than five digits can
// number is refused before the session: its blocks from 100000 on could
// not be told from earlier ones. Returns 0 or 12 (logged).
int ComprobarBloques();

// The resend run (-r): sends every retenidos/*.subida of the root whose
// name has the client's form, oldest first, one session each; stops at the
// first failure. A bundle whose header line lacks this host's
// identification is logged and left, unsent. Returns 0 or that failure's
// code: 15 when retenidos/ is not root's alone, -2 when the host
// identification cannot be read.
int ReenviarRetenidos(const char *argv0);
