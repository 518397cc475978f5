// prestaciones.h - service-code replacement: the transcoding table loaded once from
// the file given to -t, and the in-place rewrite of the codes at the start of
// the lines of a terminal's upload/_svl.2, recorded in <root>/_1101.rpl.
//
// Depends on registro.h (the log) and acceso.h; used by rondador.cpp.
#pragma once

#include <cstddef>
#include <memory>

namespace rondador {

constexpr int TABLE_SIZE = 1000;     // buckets
constexpr size_t CODE_LEN = 6;       // a service code
constexpr size_t PIECE_MAX = 29;     // bytes of one piece of a file
constexpr const char *RPL_FILE = "/_1101.rpl";

// Result codes of parsefile and replaceprest.
constexpr int kSinMemoria = 11;
constexpr int kErrorArchivo = 13;

// One mapping. key and value are CODE_LEN bytes plus a terminating NUL.
struct entrada {
  std::unique_ptr<char[]> key;
  std::unique_ptr<char[]> value;
  std::unique_ptr<entrada> next;
  entrada() = default;
  entrada(const entrada &) = delete;
  entrada &operator=(const entrada &) = delete;
  ~entrada();  // frees the rest of the chain without recursion
};

// The table: each bucket is the head of a chain, newest entry first.
extern std::unique_ptr<entrada> table[TABLE_SIZE];

// Bucket of a key: the sum of its CODE_LEN bytes (unsigned) modulo 1000.
unsigned hash(const char *key);
// The entry whose key equals the CODE_LEN bytes at key, or nullptr.
entrada *lookup(const char *key);
// Links a new entry for key/value at the head of its bucket and takes both
// texts. Returns the entry, or nullptr (texts left with the caller) when the
// key is present or memory is short; both are logged.
entrada *insert(std::unique_ptr<char[]> &key, std::unique_ptr<char[]> &value);
// Empties all buckets.
void vaciartabla();

// Empties the table and loads the transcoding file archivo: one entry per
// piece, bytes 1-6 the key and 7-12 the value. Pieces shorter than 12 bytes
// before their line feed and a last piece without line feed are not loaded.
// Returns 0, 11 (no memory) or 13 (file cannot be opened or read).
int parsefile(const char *archivo);

// Loads archivo as parsefile does, but keeps the table in use when the
// load fails: the daemon goes on rewriting with the old codes. Returns what
// parsefile returned.
int recargartabla(const char *archivo);
// Number of entries in the table.
size_t contartabla();

// Rewrites in place the code at the start of every line of
// <root>/upload/_svl.2 (or _SVL.2) that the table maps, and records each
// rewrite in <root>/_1101.rpl, which is created anew on every call. Both
// files and the root are synced before it returns 0, so the client started
// next reads the rewrite from disk. Returns 0 (also when there is no
// _svl.2), 11 or 13.
int replaceprest(const char *root);

}  // namespace rondador
