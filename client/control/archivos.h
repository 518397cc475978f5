// archivos.h - file access under a terminal root, which another, less
// trusted user owns while the client runs as root.
//
// The root's own path (from the command line) is trusted; nothing inside it
// is. Everything below the root is reached from a directory descriptor with
// openat/unlinkat, every component with O_NOFOLLOW, so no symbolic link
// planted in the root leads outside it, and no path string under the root
// is handed to open or unlink. Reads open with O_NONBLOCK, so a FIFO never
// blocks, and accept regular files only; files are created with O_EXCL
// after whatever stood under the name was unlinked, so nothing is written
// through a link and no mode is changed on a file this run did not make.
//
// Depends on nothing of ours; used by every layer, which reach anything
// under a terminal root only through it.
// Functions return 0 or an errno value; the caller logs (with
// TextoErrorArchivo) and decides.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

// Returned for an entry that exists but is not of the kind asked for: a
// FIFO, device, socket or directory where a regular file was wanted, or a
// non-directory where a directory was wanted. Symbolic links give ELOOP.
constexpr int kNoRegular = -1;

// Owner of a file descriptor; closes it when it goes out of scope.
struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  explicit Descriptor(int f) : fd(f) {}
  Descriptor(Descriptor &&o) noexcept : fd(o.fd) { o.fd = -1; }
  Descriptor &operator=(Descriptor &&o) noexcept;
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor();
  // Gives the descriptor up without closing it.
  int Soltar();
  // Closes now. Returns whether the close succeeded.
  bool Cerrar();
};

// Owners of a stream and a directory stream.
struct CerrarArchivo {
  void operator()(FILE *f) const { fclose(f); }
};
using ArchivoPtr = std::unique_ptr<FILE, CerrarArchivo>;
struct CerrarDirectorio {
  void operator()(DIR *d) const { closedir(d); }
};
using DirectorioPtr = std::unique_ptr<DIR, CerrarDirectorio>;

// Joins a root and a name with one '/' between them (none is added when the
// root already ends in '/'). For messages and for trusted directories only.
std::string UnirRuta(const std::string &raiz, const std::string &nombre);

// The directory part of ruta up to and including its last '/', or sinBarra
// when ruta holds no '/'.
std::string DirectorioDe(const std::string &ruta, const char *sinBarra);
// What follows the last '/' of ruta (all of ruta when it holds none; empty
// when it ends in '/').
std::string NombreDe(const std::string &ruta);

// What EscribirTodo does when a signal interrupts a write: go on, or give
// up as on an error (errno EINTR), for a line write that an alarm is meant
// to break off.
enum class AnteSenal { kSeguir, kCortar };

// Writes all n bytes to fd, going on after short writes (and after EINTR
// unless told to cut). Returns whether every byte was written; errno tells
// why not. Async-signal-safe.
bool EscribirTodo(int fd, const void *datos, size_t n, AnteSenal senal = AnteSenal::kSeguir);

// An ELOOP from the helpers below, told apart from a system error so that
// its text says a link was refused (see ErrorArchivo).
constexpr int kEnlaceRechazado = -2;

// e as a file-access helper returned it, ready for TextoError or LogFalla:
// ELOOP, which the helpers give for a link they refuse, becomes
// kEnlaceRechazado; every other value is unchanged.
inline int ErrorArchivo(int e) { return e == ELOOP ? kEnlaceRechazado : e; }

// The text of a system error e (strerror's), or of kNoRegular and
// kEnlaceRechazado in words that say why a file under the root was refused.
const char *TextoError(int e);

// TextoError(ErrorArchivo(e)).
const char *TextoErrorArchivo(int e);

// Opens the terminal root (its path is trusted and may be a link) as a
// directory. Returns 0 with raiz.fd set, or an errno value.
int AbrirRaiz(const std::string &ruta, Descriptor &raiz);

// Opens ruta below dirfd as a real directory: every component, the last
// included, must be a directory and not a link. ruta may hold '/'
// between components. Returns 0, ELOOP (a link), kNoRegular (not a
// directory) or another errno value (ENOENT when missing).
int AbrirDirectorio(int dirfd, const char *ruta, Descriptor &dir);

// Opens ruta below dirfd for reading: the directories on the way and the
// file itself with O_NOFOLLOW, the file with O_NONBLOCK (cleared again
// once open, so reads block as usual), and only when fstat shows a regular
// file. Returns 0 with fd set and *tamano (when not null) the size at open,
// ELOOP (a link), kNoRegular (FIFO, device, directory, ...), or another
// errno value (ENOENT when missing).
int AbrirLectura(int dirfd, const char *ruta, Descriptor &fd, off_t *tamano = nullptr);

// The same for a regular file opened for reading and writing in place.
int AbrirEscritura(int dirfd, const char *ruta, Descriptor &fd, off_t *tamano = nullptr);

// Creates ruta below dirfd anew with permission bits modo (the umask
// applies, as for open(2); a caller that needs the exact bits fchmods the
// descriptor, which names this run's own new file): whatever stood under
// the name (a file, a link, a FIFO) is unlinked first, then the file is made
// with O_CREAT|O_EXCL|O_NOFOLLOW, so no link is ever followed and no other
// file's mode changes. A directory under the name is left alone. Returns 0
// with fd open for writing, or an errno value (EISDIR for a directory).
// Async-signal-safe.
int CrearArchivo(int dirfd, const char *ruta, mode_t modo, Descriptor &fd);

// Unlinks ruta below dirfd (a file or link, never what a link points to).
// Returns 0 or an errno value.
int BorrarArchivo(int dirfd, const char *ruta);

// The kind of the entry ruta below dirfd without following a link: 0 when
// it is a real directory, ENOENT when missing, ELOOP for a link, kNoRegular
// for anything else, or another errno value.
int ComprobarDirectorio(int dirfd, const char *ruta);

// A directory stream over dir (its own duplicate of the descriptor; dir
// stays open). Null on failure (errno set).
DirectorioPtr ListarDirectorio(const Descriptor &dir);

// A buffered stream over fd, which it takes over (fd is left empty), or null
// (fd still owned by the caller).
ArchivoPtr AbrirFlujo(Descriptor &fd, const char *modo);

// The publication rule. New data is made durable before the step that
// depends on it: write it, sync the file, sync the directory that holds
// its name, and only then destroy the old copy, tell the peer, or report
// success. A power cut loses what the page cache holds and nothing that
// was synced, so a step taken after these calls can only repeat, never
// lose, what came before it.
//
// Syncs fd (a file or a directory) to the disk. Returns 0 or an errno
// value (EINTR is retried). Async-signal-safe.
int Sincronizar(int fd);
// Syncs the directory ruta below dirfd (dirfd itself for "" or "."),
// opened without following links. Returns 0 or an errno value.
// Async-signal-safe.
int SincronizarDirectorio(int dirfd, const char *ruta = "");
// Flushes a stream and syncs its file. Returns 0 or an errno value.
int SincronizarFlujo(FILE *f);
