// bundle.h - the client's spool: packing upload/ into the upload bundle
// input.dat, splitting the download bundle output.dat into download/,
// emptying download/, and filling in the markers of the ticket.
//
// Every operation works under the terminal root g_corrida.raiz and returns a
// result code (0 on success, otherwise an index into the message table); the
// place that fails logs its own message.
//
// Depends on control; used by run.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "archivos.h"

// ---------------------------------------------------------------- upload bundle

// Packs <root>/upload into <root>/upload/input.dat (an entry that is not a
// regular file is logged and left where it is, neither packed nor deleted): the header record made
// from _svl.0 and the host identification g_corrida.hostid, one record per
// other file (binary when named in _zelta.bin), then "[FIN]\r\n". When _svl.qvx is present its
// escaped content alone becomes the bundle. Before anything is written, the
// sizes of the files (st_size) are weighed: 12 when the bundle would pass
// kMaxBloques blocks of BLOCKSIZE even unescaped, 14 when upload/'s file
// system lacks room for it fully escaped (no more than the limit) plus
// RESERVA percent of the file system; upload/ is then left as it was, with
// no input.dat. The bundle and upload/ are
// synced before the packed files are deleted, and upload/ once more after
// the deletions. Returns 0, 10 (no upload/),
// 11 (memory), 12 (more files than counted, or too many blocks, also when
// packing finds the bundle past the limit), 13 (a file cannot be opened or
// read), 14 (no room, a write or sync of input.dat fails, or a packed file
// cannot be deleted), 15 (input.dat cannot be created)
// or 16 (the header line is malformed or its destination key is unknown).
// *armado (when given) tells whether the bundle was made whole and synced:
// on an error with *armado true, some packed files may already be gone and
// the bundle is the only copy of them; it must be kept, and not sent, for
// what is still in upload/ would go out again with the next transaction.
int ArmarArchivo(bool *armado = nullptr);

// Deletes <root>/upload/input.dat (never anything a link points to); a
// failure other than its absence is logged.
void BorrarBundle();

// Checks that upload/ and download/ exist and are real directories, not
// links or other files. Returns 0, or 10 (logged).
int VerificarDirectorios();

// Writes "[_svl.0]\r\n", the bundle header line made from the first line of
// the header file nombre below the directory dirfd (a regular file) and the host identification, and "\r\n". A short
// line gets its destination key from SuministrarClave (control.h). Returns 0, 13 (the file
// cannot be opened), 14 (a write fails) or 16 (malformed line, no key).
int AgregarEncabezado(FILE *out, int dirfd, const char *nombre);

// The binary-name set: 31 chained buckets, case-insensitive membership.
struct NodoNombre;
struct ConjuntoNombres {
  std::unique_ptr<NodoNombre> cubetas[31];
  ConjuntoNombres();
  ~ConjuntoNombres();
  ConjuntoNombres(const ConjuntoNombres &) = delete;
  ConjuntoNombres &operator=(const ConjuntoNombres &) = delete;
};
// Bucket of a name: the sum of its bytes, letters folded to lower case,
// modulo 31.
unsigned CubetaNombre(const char *nombre);
// Adds a name unless it is present. Returns false only when out of memory.
bool AgregarNombre(ConjuntoNombres &conjunto, const char *nombre);
bool ContieneNombre(const ConjuntoNombres &conjunto, const char *nombre);

// The file list for packing: copies of directory entry names in a fixed
// number of slots, one of which is always kept empty as the terminator.
struct ListaArchivos {
  std::unique_ptr<std::unique_ptr<char[]>[]> nombres;
  size_t capacidad = 0;
  size_t cantidad = 0;
};
// Allocates capacidad empty slots. Returns 0 or 11.
int ReservarLista(ListaArchivos &lista, size_t capacidad);
// Walks dir from its current position and lists every entry but ".", ".."
// and "input.dat"; an entry named "_svl.0" in any case is not listed, its
// name goes to encabezado instead. Returns 0, 11 (a copy fails) or 12 (more
// names than the list holds).
int ListarArchivos(DIR *dir, ListaArchivos &lista, std::string &encabezado);

// ---------------------------------------------------------------- download bundle

// Splits <root>/<dirbajada>/output.dat (download/ but in a resend) into one
// file per record beside it (mode 0666 whatever the umask). output.dat
// stays: the caller deletes it once the answer is delivered. Returns 0,
// 13 (output.dat cannot be opened), 14 (truncated or malformed binary
// record, write failure) or 15 (a file cannot be created, or a record
// names no plain file in download/).
// When bajada is given it gets the directory split into, still open, so
// that output.dat can be removed later without reaching the directory again.
int DesarmarArchivosBIN(Descriptor *bajada = nullptr);

// Deletes every entry of <root>/download. Returns 0, or 10 when the
// directory cannot be opened.
int LimpiarDescargas();

// ---------------------------------------------------------------- ticket

// Rewrites <root>/download/_ticket.prn, replacing "%" + letter markers with
// the values of <root>/_ZELTA.RPL (or _zelta.rpl). Returns 0 (also when
// there is no replacement file or no ticket), 13 (the root cannot be opened,
// or a replacement file is there but cannot be opened; the ticket is left
// untouched), 14 (the ticket cannot be renamed, reopened or rewritten; it
// is then back under its own name) or 18 (memory).
int ReemplazarTicket();

// ---------------------------------------------------------------- helpers

// Reads one line of at most max bytes (a longer line comes in pieces) into
// buf, LF included, NUL bytes kept. Returns its length; 0 at end of file.
size_t LeerLineaSpool(FILE *f, char *buf, size_t max);

// Tests only: when set to n > 0, the n-th allocation the spool makes from
// then on fails (once). 0 leaves allocations alone.
extern int g_fallarAsignacionSpool;
// True when the next allocation may proceed (counts g_fallarAsignacionSpool).
bool AsignacionPermitida();
