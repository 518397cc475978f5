// prestaciones.cpp - the transcoding table (1000 chained buckets keyed by the byte
// sum of a 6-character service code), its loading from the transcoding file,
// and the in-place rewrite of the service codes of a terminal's _svl.2.
#include "prestaciones.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "acceso.h"
#include "registro.h"

namespace rondador {

std::unique_ptr<entrada> table[TABLE_SIZE];

namespace {

// Buffered reader that cuts a file into pieces: each piece ends after a line
// feed, after PIECE_MAX bytes, or at the end of the file.
struct Lector {
  int fd;
  char buf[16384];
  size_t ini = 0;
  size_t fin = 0;
  off_t pos = 0;       // file offset of the next byte handed out
  off_t leido = 0;     // bytes read from the file so far
  off_t limite = -1;   // read no further than this (the size at open); -1: no limit
  bool error = false;  // a read failed; errno tells why
  explicit Lector(int f, off_t lim = -1) : fd(f), limite(lim) {}
};

struct Pieza {
  char datos[PIECE_MAX + 1];
  size_t largo = 0;
  off_t inicio = 0;   // file offset of datos[0]
  bool lf = false;    // ends with a line feed
  bool eof = false;   // cut short by the end of the file
};

// Reads the next piece. Returns false at the end of the file or on a read
// error (then l.error is set).
bool leerpieza(Lector &l, Pieza &p) {
  p.largo = 0;
  p.inicio = l.pos;
  p.lf = false;
  p.eof = false;
  while (p.largo < PIECE_MAX) {
    if (l.ini == l.fin) {
      size_t pedir = sizeof l.buf;
      if (l.limite >= 0 && static_cast<off_t>(pedir) > l.limite - l.leido)
        pedir = static_cast<size_t>(l.limite - l.leido);
      ssize_t n = pedir > 0 ? read(l.fd, l.buf, pedir) : 0;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        l.error = true;
        return false;
      }
      if (n == 0) {
        p.eof = true;
        break;
      }
      l.ini = 0;
      l.fin = static_cast<size_t>(n);
      l.leido += n;
    }
    char c = l.buf[l.ini++];
    ++l.pos;
    p.datos[p.largo++] = c;
    if (c == '\n') {
      p.lf = true;
      break;
    }
  }
  p.datos[p.largo] = '\0';
  return p.largo > 0;
}

// Length of the piece without its line feed.
size_t contenido(const Pieza &p) { return p.lf ? p.largo - 1 : p.largo; }

std::unique_ptr<char[]> nuevocodigo(const char *desde) {
  std::unique_ptr<char[]> c(new (std::nothrow) char[CODE_LEN + 1]);
  if (c) {
    memcpy(c.get(), desde, CODE_LEN);
    c[CODE_LEN] = '\0';
  }
  return c;
}

// Opens upload/<nombre> below the root for reading and writing, logging
// the attempt. Returns 0 with fd and *tamano set, or the error of
// abrirregular (ENOENT when missing); one that is there but not a regular
// file is logged as refused.
int abrirsvl(int upload, const char *root, const char *nombre, std::string *ruta,
             Descriptor &fd, off_t *tamano) {
  *ruta = std::string(root) + "/upload/" + nombre;
  log_f(10, "Reemplazando archivo %s", ruta->c_str());
  int e = upload >= 0 ? abrirregular(upload, nombre, O_RDWR, fd, tamano) : ENOENT;
  if (e == ELOOP || e == kNoRegular) {
    log_f(1, "No se reemplazan prestaciones en %s: %s", ruta->c_str(), textoerror(e));
  } else if (e != 0) {
    log_f(10, "No se encontro el archivo %s", ruta->c_str());
  }
  return e;
}

}  // namespace

entrada::~entrada() {
  std::unique_ptr<entrada> resto = std::move(next);
  while (resto) resto = std::move(resto->next);
}

unsigned hash(const char *key) {
  unsigned suma = 0;
  for (size_t i = 0; i < CODE_LEN; ++i) suma += static_cast<unsigned char>(key[i]);
  return suma % TABLE_SIZE;
}

entrada *lookup(const char *key) {
  for (entrada *e = table[hash(key)].get(); e != nullptr; e = e->next.get()) {
    if (memcmp(e->key.get(), key, CODE_LEN) == 0) return e;
  }
  return nullptr;
}

entrada *insert(std::unique_ptr<char[]> &key, std::unique_ptr<char[]> &value) {
  if (lookup(key.get()) != nullptr) {
    log_f(1, "Item duplicado: %s - %s", key.get(), value.get());
    return nullptr;
  }
  std::unique_ptr<entrada> e(new (std::nothrow) entrada);
  if (!e) {
    log_f(1, "insert: No hay memoria suficiente. Key: %s - Value: %s", key.get(), value.get());
    return nullptr;
  }
  unsigned b = hash(key.get());
  e->key = std::move(key);
  e->value = std::move(value);
  e->next = std::move(table[b]);
  table[b] = std::move(e);
  return table[b].get();
}

void vaciartabla() {
  for (auto &cubeta : table) cubeta.reset();
}

int parsefile(const char *archivo) {
  log_f(10, "Inicializando memoria ...");
  vaciartabla();
  log_f(10, "Abriendo archivo: %s", archivo);
  Descriptor fd(open(archivo, O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) {
    log_f(1, "Error al abrir archivo: %s", archivo);
    return kErrorArchivo;
  }
  Lector l(fd.fd);
  Pieza p;
  while (leerpieza(l, p)) {
    if (p.eof) {
      log_f(1, "Linea sin fin de linea ignorada: %s", p.datos);
      break;
    }
    if (contenido(p) < 2 * CODE_LEN) {
      // Too short to hold a key and a value: the value would take the line
      // feed and write it into _svl.2.
      p.datos[contenido(p)] = '\0';
      log_f(1, "Linea de transcodificacion demasiado corta, ignorada: %s", p.datos);
      continue;
    }
    std::unique_ptr<char[]> key = nuevocodigo(p.datos);
    std::unique_ptr<char[]> value = nuevocodigo(p.datos + CODE_LEN);
    if (!key || !value) {
      log_f(1, "parsefile: No hay memoria suficiente.");
      return kSinMemoria;
    }
    if (insert(key, value) == nullptr)
      log_f(1, "Imposible insertar item: key=%s - value=%s", key.get(), value.get());
  }
  if (l.error) {
    log_falla(1, errno, "Error al leer archivo %s", archivo);
    return kErrorArchivo;
  }
  return 0;
}

int recargartabla(const char *archivo) {
  // The old chains are set aside whole (moving a bucket's head moves its
  // chain) and put back when the new file cannot be loaded.
  static std::unique_ptr<entrada> anterior[TABLE_SIZE];
  for (int i = 0; i < TABLE_SIZE; ++i) anterior[i] = std::move(table[i]);
  int r = parsefile(archivo);
  if (r != 0) {
    for (int i = 0; i < TABLE_SIZE; ++i) table[i] = std::move(anterior[i]);
  }
  for (auto &cubeta : anterior) cubeta.reset();
  return r;
}

size_t contartabla() {
  size_t n = 0;
  for (const auto &cubeta : table) {
    for (const entrada *e = cubeta.get(); e != nullptr; e = e->next.get()) ++n;
  }
  return n;
}

int replaceprest(const char *root) {
  std::string rutarpl = std::string(root) + RPL_FILE;
  log_f(10, "Archivo con reemplazos: %s", rutarpl.c_str());
  // Everything below the root belongs to the terminal's user: a link,
  // FIFO or second name planted there must neither make the daemon write
  // some other file nor block it. A link is refused (O_NOFOLLOW); a FIFO
  // does not block the open (O_NONBLOCK) and, like anything else that is
  // not a regular file of one name, is refused before it is truncated.
  Descriptor raiz, upload;
  int e = abrirraiz(root, raiz);
  int error = e;  // why rpl could not be made, when it could not
  FILE *rpl = nullptr;
  if (e == 0) {
    Descriptor fdrpl(openat(raiz.fd, RPL_FILE + 1,
                            O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                            0666));
    struct stat st;
    if (fdrpl.fd >= 0 && fstat(fdrpl.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        ftruncate(fdrpl.fd, 0) == 0) {
      rpl = fdopen(fdrpl.fd, "w");
      if (rpl != nullptr) fdrpl.fd = -1;  // the stream owns it now
    }
    if (rpl == nullptr) error = errno;
  }
  if (rpl == nullptr) {
    struct stat st;
    if (e == 0 && fstatat(raiz.fd, RPL_FILE + 1, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
      log_f(1, "No se reemplazan prestaciones: %s no es un archivo regular", rutarpl.c_str());
    } else {
      log_falla(1, error, "No se reemplazan prestaciones: no se pudo crear %s", rutarpl.c_str());
    }
    log_f(10, "Error al crear archivo %s", rutarpl.c_str());
    return kErrorArchivo;
  }
  if (abrirdirectorio(raiz.fd, "upload", upload) != 0) upload.reset(-1);
  std::string rutasvl;
  Descriptor svl;
  off_t tamano = 0;
  e = abrirsvl(upload.fd, root, "_svl.2", &rutasvl, svl, &tamano);
  if (e != 0 && e != ELOOP && e != kNoRegular)
    e = abrirsvl(upload.fd, root, "_SVL.2", &rutasvl, svl, &tamano);
  if (e != 0) {
    fclose(rpl);
    return 0;
  }
  std::unique_ptr<char[]> code(new (std::nothrow) char[CODE_LEN + 1]);
  if (!code) {
    log_f(1, "replaceprest: No hay memoria suficiente");
    fclose(rpl);
    return kSinMemoria;
  }
  int resultado = 0;
  Lector l(svl.fd, tamano);
  Pieza p;
  bool alcomienzo = true;  // the next piece starts a line
  while (leerpieza(l, p)) {
    bool delinea = alcomienzo;
    alcomienzo = p.lf;
    // Only the code at the start of a line is a service code; the
    // continuation of a long line is data.
    if (!delinea) continue;
    size_t n = p.largo < CODE_LEN ? contenido(p) : CODE_LEN;
    memcpy(code.get(), p.datos, n);
    code[n] = '\0';
    entrada *hallada = p.largo >= CODE_LEN ? lookup(code.get()) : nullptr;
    if (hallada == nullptr) {
      log_f(10, "Prestacion no encontrada: %s", code.get());
      continue;
    }
    if (pwrite(svl.fd, hallada->value.get(), CODE_LEN, p.inicio) != static_cast<ssize_t>(CODE_LEN)) {
      log_falla(1, errno, "Error al escribir %s", rutasvl.c_str());
      resultado = kErrorArchivo;
      break;
    }
    log_f(10, "Prestacion reemplazada: %s -> %s", code.get(), hallada->value.get());
    fwrite(code.get(), 1, CODE_LEN, rpl);
    fwrite(hallada->value.get(), 1, CODE_LEN, rpl);
    fputc('\n', rpl);
    log_f(10, "Prestacion agregada al archivo: %s%s", code.get(), hallada->value.get());
  }
  if (l.error) {
    log_falla(1, errno, "Error al leer %s", rutasvl.c_str());
    resultado = kErrorArchivo;
  }
  // The client is started next and sends _svl.2 as it finds it on disk:
  // the rewrite and its record are synced first, so that a power cut cannot
  // leave the record without the rewrite or half of it.
  if (resultado == 0 && fsync(svl.fd) != 0) {
    log_falla(1, errno, "Error al sincronizar %s", rutasvl.c_str());
    resultado = kErrorArchivo;
  }
  bool fallo = ferror(rpl) != 0 || fflush(rpl) != 0 || fsync(fileno(rpl)) != 0 ||
               fsync(raiz.fd) != 0;
  if ((fclose(rpl) != 0 || fallo) && resultado == 0) {
    log_falla(1, errno, "Error al escribir %s", rutarpl.c_str());
    resultado = kErrorArchivo;
  }
  return resultado;
}

}  // namespace rondador
