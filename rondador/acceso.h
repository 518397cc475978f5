// acceso.h - the daemon's file access under a terminal root, which another,
// less trusted user owns (the daemon runs as root): everything below the
// root is reached from a directory descriptor, with O_NOFOLLOW on every
// component, O_NONBLOCK so a FIFO cannot block, regular files only, and
// no file written through a link. Also the log file's opening and
// the escaping of outside text for the log. The client has its own copy of
// these rules (the two programs share no code).
//
// Also the joining of a directory and a name.
//
// Depends on nothing of ours; the bottom of the daemon, used by every other
// module.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

namespace rondador {

// Returned for an entry that exists but is not a regular file (or not a
// directory where one was wanted). Symbolic links give ELOOP.
constexpr int kNoRegular = -1;

// Owner of a file descriptor.
struct Descriptor {
  int fd;
  explicit Descriptor(int f = -1) : fd(f) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor();
  void reset(int f);
};

// Opens the terminal root (trusted as a path) as a directory. Returns 0 or
// an errno value.
int abrirraiz(const char *ruta, Descriptor &raiz);
// Opens the entry nombre of dirfd as a real directory (not a link). Returns
// 0, ELOOP, kNoRegular or an errno value.
int abrirdirectorio(int dirfd, const char *nombre, Descriptor &dir);
// Opens the entry nombre of dirfd with the access mode acceso (O_RDONLY or
// O_RDWR) when it is a regular file with one link, not a symbolic link: a
// FIFO does not block the open, and O_NONBLOCK is cleared once it is open.
// Returns 0 with *tamano the size at open, ELOOP, kNoRegular or an errno
// value.
int abrirregular(int dirfd, const char *nombre, int acceso, Descriptor &fd, off_t *tamano);
// Reads the first line of the file nombre below the terminal root raiz (at
// most max bytes of it, without its CR or LF), as abrirregular opens it.
// *mtime gets the file's modification time. Returns 0, ELOOP, kNoRegular or
// an errno value.
int leerlinea(const char *raiz, const char *nombre, size_t max, std::string *linea,
              struct timespec *mtime);
// Flushes the directory path (tx/) to disk, so that the names made or
// removed in it survive a power cut. Returns 0 or an errno value.
int sincronizardirectorio(const char *ruta);
// Creates the empty file nombre in the directory dir (a path; tx/) with
// O_EXCL and syncs it and the directory. A file already standing under the
// name counts as made. Returns 0 or an errno value.
int crearsincronizado(const char *dir, const char *nombre);

// Why a file was refused, in words.
const char *textoerror(int e);

// Opens a log file for appending; a new one is made 0644 whatever the
// umask, an existing one keeps its mode. Returns the descriptor or -1.
int abrirlog(const char *ruta);

// The text as the operator may see it: printable ASCII (0x20-0x7E) as it
// is, every other byte as \xNN. That covers C0 and C1 controls and every
// byte of a UTF-8 sequence (so format and bidi controls such as U+202E never
// reach a terminal raw), so that outside names cannot forge log lines or
// send escapes to a terminal. Every log line passes through it.
std::string visible(const char *texto);

// Releases what malloc gave.
struct LiberarC {
  void operator()(void *p) const { free(p); }
};
using Texto = std::unique_ptr<char, LiberarC>;

// a + b + c in memory from malloc; nothing when memory is short.
Texto unir(const char *a, const char *b, const char *c);
// "/" when dir needs one before a name is appended, "" otherwise.
const char *separador(const char *dir);

}  // namespace rondador
