// retenidos.h - the phase of the run's transaction and the transactions
// kept in retenidos/ instead of lost (retenidos.cpp).
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "archivos.h"

// How far the transaction of this run (or of the bundle being resent) got.
// kBundleDudoso: the client's final EOT went out, so the server may have
// committed. kBundleConfirmado: the server's DC1 came.
enum FaseTransaccion { kSinBundle = 0, kBundleArmado, kBundleDudoso, kBundleConfirmado };

// Readies retention for the run: the phase record shared with a dial-up
// protocol child, the time of the names. Call once the run holds its locks.
void PrepararRetencion();
// Records the phase (in the protocol child too, for its parent to read).
void MarcarFase(FaseTransaccion fase);
// Call before the final EOT that lets the server commit: records
// kBundleDudoso, and in a resend first renames the ".subida" to its
// ".dudosa" name and syncs retenidos/, so that no crash or power cut from
// here on leaves a bundle that the next resend would send again. Returns
// 0, or the errno value of the rename or sync (logged; the EOT must not
// go out).
int MarcarDudoso();
FaseTransaccion FaseActual();
// A leftover upload/input.dat (a killed run's) goes to
// retenidos/<AAAAMMDDHHMMSS>-<pid>.dudosa, and the download/output.dat
// beside it, when there is one, to the same name in ".respuesta". Call
// before download/ is emptied. Logged. Returns 0, 10 (upload/
// cannot be opened) or 15 (a leftover cannot be moved: packing or
// emptying download/ would destroy it).
int RetenerSobrante();
// The names this run's bundle and answer get in retenidos/ (.subida,
// .dudosa, .respuesta). Call once the bundle is built.
void NombrarBundle();
// The same for a resend of retenidos/<nombre> (a ".subida"): a failure
// leaves it, a doubtful end renames it ".dudosa".
void NombrarReenvio(const std::string &nombre);
// After the session with its result: a committed bundle is deleted; one
// that did not get the commit (resultado != 0) is retained as ".subida",
// or ".dudosa" when the line failed after the final EOT. Returns 0 or the
// errno value of a failed move (logged).
int DisponerBundle(int resultado);
// After a commit whose answer could not be delivered: download/output.dat
// goes to retenidos/ as ".respuesta". Logged.
void RetenerRespuesta();

// Deletes output.dat from bajada (the directory the answer was split into)
// once the answer is delivered. A failure is logged.
void BorrarDescarga(const Descriptor &bajada);
// Whether nombre has the form of the names this client gives retained
// files: "<AAAAMMDDHHMMSS>-<pid><sufijo>", 14 digits, '-', 1 to 10 digits.
bool NombreRetenidoValido(const std::string &nombre, const char *sufijo);
// Fills nombres with the retained files of the root with the given suffix,
// oldest first (their names begin with the time): regular files with a
// name of the client's own form; any other entry with the suffix is logged
// and left. Returns 0 (also when there is no retenidos/), or 15 when
// retenidos/ cannot be read or is not a real directory owned by root that
// only root may write (logged; nothing in it is used).
int ListarRetenidos(const char *sufijo, std::vector<std::string> &nombres);
// The bundle header line of retenidos/<nombre> (the line after its first
// "[_svl.0]" line, as LeerDestino takes it), empty when there is none.
// Returns 0 or 13 (logged).
int LeerEncabezadoRetenido(const std::string &nombre, std::string &linea);
// Makes a new folder for a resent bundle's answer in retenidos/: <base>,
// or <base>.1 to <base>.9 when that holds something; mkdirat must create
// it (an empty folder an earlier resend left is removed first), so nothing
// that stood there is ever written into. Returns 0 with carpeta set to its
// name, or 15 (logged).
int CrearDirectorioRespuesta(const std::string &base, std::string &carpeta);
// Whether nombre has the form of an answer folder a resend makes in
// retenidos/: "<AAAAMMDDHHMMSS>-<pid>", or that and ".1" to ".9".
bool NombreCarpetaRespuestaValido(const std::string &nombre);
// Removes the answer folders of retenidos/ (names of the form above, real
// directories, links never followed) whose modification time is more than
// dias days old, with everything in them; bundle files are never touched.
// Each removal is logged. Returns 0 (also when there is no retenidos/), 15
// when retenidos/ cannot be read or is not root's alone, or 14 when a
// folder could not be removed (the others are still tried).
int LimpiarCarpetasRespuesta(long long dias);
// t as local time, "AAAA-MM-DD hh:mm:ss", the form the operator's outputs use.
std::string FechaLocal(time_t t);
