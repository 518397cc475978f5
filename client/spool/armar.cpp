// armar.cpp - the upload bundle: packing every file of upload/ into
// upload/input.dat as records of the bundle format, and the set of names
// that _zelta.bin marks as binary.
//
// Packed files are deleted only once the whole bundle is written and closed:
// a run that fails half-way leaves upload/ as it found it, so the next run
// packs the same files again instead of overwriting the only copy of them.
//
// Before a byte is copied, the sizes of the files to pack (st_size: a sparse
// file counts by its size, not by what it holds on the disk) are weighed
// against the block limit and against the free space of upload/'s file
// system, so that a terminal's user cannot make root write a bundle that can
// never be sent or fill the spool that every terminal shares.
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "control.h"
#include "bundle.h"

namespace {

constexpr size_t kTrozo = 255;         // text content is taken in chunks of this size
// One read of content: a whole number of chunks, so that the chunks of text
// fall where reads of kTrozo bytes would put them.
constexpr size_t kLectura = kTrozo * 256;
constexpr size_t kLineaBinarios = 4095;
constexpr unsigned char kEscape = 0x08;
constexpr unsigned char kEtx = 0x03;
constexpr unsigned char kFinDos = 0x1A;  // DOS end-of-file mark
// AbrirEntrada's answer for an entry that is not a regular file: not a
// result code, the entry is skipped.
constexpr int kNoEmpaquetable = -1;

bool Escribir(FILE *out, const void *datos, size_t largo) {
  return fwrite(datos, 1, largo, out) == largo;
}
bool Escribir(FILE *out, const char *texto) { return Escribir(out, texto, strlen(texto)); }

// Content bytes, escaped: 0x08 and 0x03 become 0x08 and the byte + 0x1C.
// Done by runs: each of the two bytes is searched with memchr, everything
// before the nearer one is copied in one piece into a local buffer, and the
// buffer goes to out in one call, so a stretch with nothing to escape costs
// no more than a copy.
bool EscribirEscapado(FILE *out, const unsigned char *datos, size_t largo) {
  // The escaped form of up to half of it; much larger than the stream's own
  // buffer, so that stdio passes most of it to the file without copying.
  unsigned char buf[2 * kLectura];
  const size_t pedazo = sizeof buf / 2;
  for (size_t hecho = 0; hecho < largo; hecho += pedazo) {
    const unsigned char *p = datos + hecho;
    const unsigned char *fin = p + std::min(pedazo, largo - hecho);
    const unsigned char *esc = nullptr;  // next 0x08 at or after p, or fin
    const unsigned char *etx = nullptr;  // next 0x03 at or after p, or fin
    size_t n = 0;
    while (p < fin) {
      if (esc == nullptr || esc < p) {
        esc = static_cast<const unsigned char *>(memchr(p, kEscape, static_cast<size_t>(fin - p)));
        if (esc == nullptr) esc = fin;
      }
      if (etx == nullptr || etx < p) {
        etx = static_cast<const unsigned char *>(memchr(p, kEtx, static_cast<size_t>(fin - p)));
        if (etx == nullptr) etx = fin;
      }
      const unsigned char *q = std::min(esc, etx);
      memcpy(buf + n, p, static_cast<size_t>(q - p));
      n += static_cast<size_t>(q - p);
      if (q == fin) break;
      buf[n++] = kEscape;
      buf[n++] = static_cast<unsigned char>(*q + 0x1C);
      p = q + 1;
    }
    if (!Escribir(out, buf, n)) return false;
  }
  return true;
}

// The content bytes of a record as read (one read of up to kLectura bytes),
// escaped, the 0x1A rule applied to every 255-byte chunk of text. ultimos
// holds the last two content bytes written (-1 for none), for the closing
// CR LF of text. Returns false when a write fails.
bool EscribirContenido(FILE *out, unsigned char *buf, size_t n, bool binario, int ultimos[2]) {
  for (size_t inicio = 0; inicio < n; inicio += kTrozo) {
    size_t largo = std::min(kTrozo, n - inicio);
    if (!binario && buf[inicio + largo - 1] == kFinDos) largo--;
    if (!EscribirEscapado(out, buf + inicio, largo)) return false;
    if (largo >= 2) {
      ultimos[0] = buf[inicio + largo - 2];
      ultimos[1] = buf[inicio + largo - 1];
    } else if (largo == 1) {
      ultimos[0] = ultimos[1];
      ultimos[1] = buf[inicio];
    }
  }
  return true;
}

// Makes the record reach the file: stdio only reports most write errors
// when its buffer is handed to the system.
int Volcar(FILE *out, const char *path) {
  if (fflush(out) != 0 || ferror(out)) {
    LogFallaEntreCorchetes(1, errno, "Error escribiendo registro de %s", path);
    return kErrorEscribiendo;
  }
  return kExito;
}

// The path of an entry of upload/, for messages.
std::string RutaUpload(const char *nombre) {
  return UnirRuta(UnirRuta(g_corrida.raiz, "upload"), nombre);
}

// Creates input.dat anew (0660), never through whatever stood there.
int CrearBundle(int upload, const std::string &path, ArchivoPtr &out) {
  Descriptor fd;
  int e = CrearArchivo(upload, "input.dat", 0660, fd);
  if (e == 0) {
    out = AbrirFlujo(fd, "wb");
    if (!out) e = errno;
  }
  if (e != 0) {
    LogFallaEntreCorchetes(1, ErrorArchivo(e), "No se pudo crear %s", path.c_str());
    return kErrorCreando;
  }
  return kExito;
}

// Opens an entry of upload/ for packing. Returns 0 with in and *tamano set;
// 13 when it cannot be opened; -1 (kNoEmpaquetable) when it is not a
// regular file (a link, FIFO, device or directory), which is logged and
// left where it is.
int AbrirEntrada(int upload, const char *nombre, ArchivoPtr &in, off_t *tamano) {
  Descriptor fd;
  int e = AbrirLectura(upload, nombre, fd, tamano);
  if (e == ELOOP || e == kNoRegular) {
    LogFormato(1, "No se empaqueta %s: %s; queda en upload/", RutaUpload(nombre).c_str(),
               TextoErrorArchivo(e));
    return kNoEmpaquetable;
  }
  if (e == 0) {
    in = AbrirFlujo(fd, "rb");
    if (!in) e = errno;
  }
  if (e != 0) {
    LogFallaEntreCorchetes(1, e, "No se pudo abrir %s", RutaUpload(nombre).c_str());
    return kArchivoNoAbierto;
  }
  return kExito;
}

// Closes input.dat, keeping the first error.
// Closes the bundle. A complete one is synced, file and upload/, before
// this returns 0: the files it holds are deleted next, and a power cut
// after that must find them in the bundle.
int CerrarBundle(ArchivoPtr &out, int upload, const std::string &path, int res) {
  int e = res == kExito ? SincronizarFlujo(out.get()) : 0;
  if (fclose(out.release()) != 0 && e == 0) e = errno;
  if (e == 0 && res == kExito) e = Sincronizar(upload);
  if (e != 0 && res == kExito) {
    LogFallaEntreCorchetes(1, e, "Error escribiendo %s", path.c_str());
    res = kErrorEscribiendo;
  }
  return res;
}

// Deletes the packed files, then syncs upload/ so that no deleted file
// comes back after a power cut to be packed and sent again. A file that
// cannot be deleted would go out with the next transaction: each one is
// named and the bundle reported as not to be sent (14).
int BorrarEmpaquetados(int upload, const std::vector<std::string> &empaquetados) {
  size_t quedan = 0;
  for (const auto &nombre : empaquetados) {
    if (unlinkat(upload, nombre.c_str(), 0) != 0 && errno != ENOENT) {
      LogFallaEntreCorchetes(1, errno, "No se pudo borrar %s", RutaUpload(nombre.c_str()).c_str());
      quedan++;
    }
  }
  if (int e = Sincronizar(upload); e != 0) {
    LogFallaEntreCorchetes(1, e, "Error sincronizando %s", RutaUpload("").c_str());
    return kErrorEscribiendo;
  }
  if (quedan == 0) return kExito;
  LogFormato(1, "Transaccion no enviada: %zu archivo(s) empaquetado(s) siguen en %s", quedan,
             RutaUpload("").c_str());
  return kErrorEscribiendo;
}

// Reads upload/_zelta.bin into the set. Returns 0, 11 or 13.
int LeerBinarios(int upload, ConjuntoNombres &binarios) {
  std::string path = RutaUpload("_zelta.bin");
  Descriptor fd;
  int e = AbrirLectura(upload, "_zelta.bin", fd);
  // Only a list that is not there means no file is binary: one that is
  // there but cannot be read would send binary files as text. One that is
  // not a regular file is not read, and stays like every such entry.
  if (e == ENOENT) return kExito;
  if (e == ELOOP || e == kNoRegular) {
    LogFalla(1, ErrorArchivo(e), "No se lee %s", path.c_str());
    return kExito;
  }
  ArchivoPtr f;
  if (e == 0) f = AbrirFlujo(fd, "rb");
  if (!f) {
    LogFallaEntreCorchetes(1, e != 0 ? e : errno, "No se pudo abrir %s", path.c_str());
    return kArchivoNoAbierto;
  }
  std::vector<char> linea(kLineaBinarios + 1);
  size_t n;
  while ((n = LeerLineaSpool(f.get(), linea.data(), kLineaBinarios)) > 0) {
    if (linea[n - 1] == '\n') n--;
    if (n > 0 && linea[n - 1] == '\r') n--;
    linea[n] = '\0';
    if (linea[0] == '\0') continue;
    if (!AgregarNombre(binarios, linea.data())) {
      LogMensaje("Falta de memoria para la lista de binarios", 1);
      return kFaltaMemoria;
    }
  }
  if (ferror(f.get())) {
    LogFallaEntreCorchetes(1, errno, "Error leyendo %s", path.c_str());
    return kArchivoNoAbierto;
  }
  return kExito;
}

// The bytes of the bundle header line that precede the host identification,
// from the header file's first line: 16 bytes of a full line; a short line
// ("V" + 3 characters + codes, or the codes alone) completed with the
// destination key of its codes. Lines of 9 to 15 characters, short lines
// without both codes, and codes that are not digits are refused, so a
// malformed line never reaches the server. Returns 0 or 16 (logged).
int LineaEncabezado(const std::string &linea, const char *path, std::string &guardado) {
  if (linea.size() >= 16) {
    guardado = linea.substr(0, 16);
    return kExito;
  }
  if (linea.size() >= 9) {
    LogFormato(1, "Linea de encabezado incompleta en %s (%zu caracteres): %s", path,
               linea.size(), linea.c_str());
    return kErrorConfiguracion;
  }
  size_t codigos = 0;
  int empresa = 0, actividad = 0;
  switch (LeerCodigos(linea, &codigos, &empresa, &actividad)) {
    case kCodigosBien:
      break;
    case kCodigosCortos:
      LogFormato(1, "Linea de encabezado demasiado corta en %s (%zu caracteres): %s", path,
                 linea.size(), linea.c_str());
      return kErrorConfiguracion;
    case kCodigosInvalidos:
      LogFormato(1, "Codigos de empresa y actividad invalidos en %s: %s", path, linea.c_str());
      return kErrorConfiguracion;
  }
  std::string clave;
  if (int res = SuministrarClave(empresa, actividad, clave); res != kExito) return res;
  guardado = linea.substr(0, codigos + 4) + clave;
  return kExito;
}

// ---------------------------------------------------------------- size checks

// Bounds of a bundle's size in bytes, from the sizes of what it will hold.
// The least: every content byte once (text loses at most the 0x1A that may
// end each 255-byte chunk) and the shortest record headers. The most: every
// content byte escaped into two, the longest record headers and the
// closing CR LFs.
struct Medida {
  unsigned long long minimo = 0;
  unsigned long long maximo = 0;
};

unsigned long long Sumar(unsigned long long a, unsigned long long b) {
  unsigned long long s;
  return __builtin_add_overflow(a, b, &s) ? ULLONG_MAX : s;
}

// "[" name "]" CR LF at least; "[" name "," 20 digits "]" CR LF and the
// closing CR LF at most.
constexpr unsigned long long kCabeceraMinima = 4;
constexpr unsigned long long kCabeceraMaxima = 27;
// The header record: "[_svl.0]" CR LF, at most one chunk of its line plus
// the host identification, CR LF; and "[FIN]" CR LF.
constexpr unsigned long long kRegistroEncabezado = 10 + kTrozo + 32 + 2;
constexpr unsigned long long kRegistroEncabezadoMinimo = 10 + 2;
constexpr unsigned long long kRegistroFin = 7;
// How far a bundle may pass the block limit before packing stops it: the
// escaped form of one read.
constexpr unsigned long long kHolgura = 2 * kLectura + NAME_MAX + kCabeceraMaxima;

// Adds the record of the entry nombre of upload/ to m. Entries that are not
// regular files are not packed and add nothing.
void MedirEntrada(int upload, const char *nombre, bool binario, bool encabezado, Medida &m) {
  struct stat st;
  if (fstatat(upload, nombre, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return;
  unsigned long long tamano = static_cast<unsigned long long>(st.st_size);
  unsigned long long largo = strlen(nombre);
  unsigned long long minimo = binario ? tamano : tamano - (tamano + kTrozo - 1) / kTrozo;
  if (encabezado) minimo = Sumar(minimo, largo + kCabeceraMinima);
  m.minimo = Sumar(m.minimo, minimo);
  m.maximo = Sumar(m.maximo, Sumar(Sumar(tamano, tamano), largo + kCabeceraMaxima));
}

// The most bytes a bundle may hold and still be sent.
unsigned long long LimiteBundle() {
  return static_cast<unsigned long long>(kMaxBloques) *
         static_cast<unsigned long long>(g_config.blocksize > 0 ? g_config.blocksize : 1);
}

// Weighs the bundle m describes before anything is written: 12 when even
// its least size passes the block limit, 14 when upload/'s file system
// lacks room for its largest size (no more than the limit allows packing
// to write) plus the reserve (RESERVA percent of the file system), which
// is left for the other terminals and the answers. Returns 0, 12 or 14
// (logged with the figures).
int ComprobarTamano(int upload, const Medida &m) {
  const unsigned long long limite = LimiteBundle();
  if (m.minimo > limite) {
    LogFormato(1,
               "Transaccion demasiado grande para empaquetar: al menos %llu bytes, mas de %ld "
               "bloques de %d bytes; upload/ queda como esta",
               m.minimo, kMaxBloques, g_config.blocksize);
    return kDemasiadosArchivos;
  }
  struct statvfs fs;
  if (fstatvfs(upload, &fs) != 0) {
    LogFallaEntreCorchetes(1, errno, "No se pudo medir el espacio libre de %s",
                           RutaUpload("").c_str());
    return kErrorEscribiendo;
  }
  const long double bloque = static_cast<long double>(fs.f_frsize);
  const unsigned long long libre =
      static_cast<unsigned long long>(static_cast<long double>(fs.f_bavail) * bloque);
  const unsigned long long reserva = static_cast<unsigned long long>(
      static_cast<long double>(fs.f_blocks) * bloque * g_config.reserva / 100);
  const unsigned long long necesario = std::min(m.maximo, Sumar(limite, kHolgura));
  if (libre >= Sumar(necesario, reserva)) return kExito;
  LogFormato(1,
             "Sin espacio para empaquetar: hasta %llu bytes mas la reserva de %llu (%d%%), "
             "libres %llu en %s; upload/ queda como esta",
             necesario, reserva, g_config.reserva, libre, RutaUpload("").c_str());
  return kErrorEscribiendo;
}

}  // namespace

// ---------------------------------------------------------------- binary names

struct NodoNombre {
  std::unique_ptr<NodoNombre> siguiente;
  std::unique_ptr<char[]> nombre;
};

ConjuntoNombres::ConjuntoNombres() = default;

ConjuntoNombres::~ConjuntoNombres() {
  // Unlink the chains one node at a time: a long chain must not recurse.
  for (auto &cabeza : cubetas) {
    while (cabeza) cabeza = std::move(cabeza->siguiente);
  }
}

unsigned CubetaNombre(const char *nombre) {
  unsigned suma = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(nombre); *p; p++) {
    suma += static_cast<unsigned>(tolower(*p));
  }
  return suma % 31;
}

bool ContieneNombre(const ConjuntoNombres &conjunto, const char *nombre) {
  for (const NodoNombre *n = conjunto.cubetas[CubetaNombre(nombre)].get(); n != nullptr;
       n = n->siguiente.get()) {
    if (strcasecmp(n->nombre.get(), nombre) == 0) return true;
  }
  return false;
}

bool AgregarNombre(ConjuntoNombres &conjunto, const char *nombre) {
  if (ContieneNombre(conjunto, nombre)) return true;
  size_t largo = strlen(nombre);
  if (!AsignacionPermitida()) return false;
  std::unique_ptr<NodoNombre> nodo(new (std::nothrow) NodoNombre);
  if (!nodo || !AsignacionPermitida()) return false;
  nodo->nombre.reset(new (std::nothrow) char[largo + 1]);
  if (!nodo->nombre) return false;
  memcpy(nodo->nombre.get(), nombre, largo + 1);
  auto &cabeza = conjunto.cubetas[CubetaNombre(nombre)];
  nodo->siguiente = std::move(cabeza);
  cabeza = std::move(nodo);
  return true;
}

// ---------------------------------------------------------------- file list

int ReservarLista(ListaArchivos &lista, size_t capacidad) {
  lista.cantidad = 0;
  lista.capacidad = 0;
  if (!AsignacionPermitida()) return kFaltaMemoria;
  lista.nombres.reset(new (std::nothrow) std::unique_ptr<char[]>[capacidad]);
  if (!lista.nombres) return kFaltaMemoria;
  lista.capacidad = capacidad;
  return kExito;
}

int ListarArchivos(DIR *dir, ListaArchivos &lista, std::string &encabezado) {
  while (struct dirent *e = readdir(dir)) {
    const char *nombre = e->d_name;
    if (strcmp(nombre, ".") == 0 || strcmp(nombre, "..") == 0 ||
        strcmp(nombre, "input.dat") == 0) {
      continue;
    }
    if (strcasecmp(nombre, "_svl.0") == 0) {
      encabezado = nombre;
      continue;
    }
    if (lista.cantidad + 1 >= lista.capacidad) {
      LogMensaje("Hay mas archivos de los esperados", 1);
      return kDemasiadosArchivos;
    }
    size_t largo = strlen(nombre);
    std::unique_ptr<char[]> copia;
    if (AsignacionPermitida()) copia.reset(new (std::nothrow) char[largo + 1]);
    if (!copia) {
      LogMensaje("Falta de memoria para la lista de archivos", 1);
      return kFaltaMemoria;
    }
    memcpy(copia.get(), nombre, largo + 1);
    lista.nombres[lista.cantidad++] = std::move(copia);
  }
  return kExito;
}

// ---------------------------------------------------------------- records

namespace {

// Packs one opened file: its record header ("[name]\r\n", or
// "[name,size]\r\n" when binario), at most tamano bytes escaped, the size
// fstat gave at open, so a file that grows (or is endless) cannot swell the
// bundle, and the closing CR LF; flushed before it returns 0. encabezado =
// false leaves out the record header (the ready-made bundle's one record,
// text). Once the bundle passes limite bytes (a file that grew between the
// size checks and its open, or content that escaping doubled) packing
// stops with 12: such a bundle could never be sent.
int AgregarContenido(FILE *out, FILE *in, off_t tamanoabierto, const char *nombre,
                     bool binario, bool encabezado, unsigned long long limite) {
  const std::string ruta = RutaUpload(nombre);
  const char *path = ruta.c_str();
  LogFormato(15, "Agregando archivo%s %s", binario ? " bin" : "", path);
  unsigned long long tamano = static_cast<unsigned long long>(tamanoabierto);
  int res = kExito;
  if (binario) {
    if (fprintf(out, "[%s,%llu]\r\n", nombre, tamano) < 0) res = kErrorEscribiendo;
  } else if (encabezado) {
    if (fprintf(out, "[%s]\r\n", nombre) < 0) res = kErrorEscribiendo;
  }

  // The last two content bytes written, for the closing CR LF of text.
  int ultimos[2] = {-1, -1};
  unsigned long long restante = tamano;
  unsigned char buf[kLectura];
  while (res == kExito) {
    size_t pedir = kLectura;
    if (restante < pedir) pedir = static_cast<size_t>(restante);
    if (pedir == 0) break;
    size_t n = fread(buf, 1, pedir, in);
    if (n == 0) break;
    if (!EscribirContenido(out, buf, n, binario, ultimos)) res = kErrorEscribiendo;
    restante -= n;
    if (res == kExito && limite != ULLONG_MAX) {
      off_t hecho = ftello(out);
      if (hecho >= 0 && static_cast<unsigned long long>(hecho) > limite) {
        LogFormato(1, "Transaccion demasiado grande: el empaquetado pasa de %llu bytes en %s",
                   limite, path);
        return kDemasiadosArchivos;
      }
    }
  }
  if (res == kExito && ferror(in)) {
    LogFallaEntreCorchetes(1, errno, "Error leyendo %s", path);
    return kArchivoNoAbierto;
  }
  if (res == kExito && binario && restante > 0) {
    // The size in the record header no longer matches what follows.
    LogFormato(1, "El archivo %s cambio de tamano mientras se empaquetaba", path);
    return kArchivoNoAbierto;
  }
  if (res == kExito && (binario || ultimos[0] != '\r' || ultimos[1] != '\n')) {
    if (!Escribir(out, "\r\n")) res = kErrorEscribiendo;
  }
  if (res == kExito) return Volcar(out, path);
  LogFallaEntreCorchetes(1, errno, "Error escribiendo registro de %s", path);
  return res;
}

}  // namespace

int AgregarEncabezado(FILE *out, int dirfd, const char *nombre) {
  const std::string ruta = RutaUpload(nombre);
  const char *path = ruta.c_str();
  ArchivoPtr in;
  if (AbrirEntrada(dirfd, nombre, in, nullptr) != kExito) return kArchivoNoAbierto;
  if (!Escribir(out, "[_svl.0]\r\n")) {
    LogFallaEntreCorchetes(1, errno, "Error escribiendo el encabezado");
    return kErrorEscribiendo;
  }
  char buf[kTrozo];
  size_t leidos = fread(buf, 1, kTrozo, in.get());
  std::string guardado;  // the bytes that precede the host identification
  int res = kExito;
  if (ferror(in.get())) {
    LogFallaEntreCorchetes(1, errno, "Error leyendo %s", path);
    res = kArchivoNoAbierto;
  } else {
    size_t largo = 0;
    while (largo < leidos && buf[largo] != '\r' && buf[largo] != '\n' && buf[largo] != kFinDos) {
      largo++;
    }
    res = LineaEncabezado(std::string(buf, largo), path, guardado);
  }
  if (res == kExito) {
    guardado += g_corrida.hostid;
    if (!Escribir(out, guardado.data(), guardado.size())) res = kErrorEscribiendo;
  }
  if (!Escribir(out, "\r\n") && res == kExito) res = kErrorEscribiendo;
  int volcado = Volcar(out, path);
  return res != kExito ? res : volcado;
}

// ---------------------------------------------------------------- the bundle

int ArmarArchivo(bool *armado) {
  LogMensaje("ArmarArchivo()", 20);
  if (armado != nullptr) *armado = false;
  ConjuntoNombres binarios;
  const std::string upload = UnirRuta(g_corrida.raiz, "upload");
  const std::string bundle = UnirRuta(upload, "input.dat");
  Descriptor raiz, dirupload;
  int e = AbrirRaiz(g_corrida.raiz, raiz);
  if (e == 0) e = AbrirDirectorio(raiz.fd, "upload", dirupload);
  if (e != 0) {
    LogFallaEntreCorchetes(1, ErrorArchivo(e), "No se pudo abrir el directorio %s", upload.c_str());
    return kDirectorioNoEncontrado;
  }
  const int fdupload = dirupload.fd;
  if (int res = LeerBinarios(fdupload, binarios); res != kExito) return res;

  DirectorioPtr dir(ListarDirectorio(dirupload));
  if (!dir) {
    LogFallaEntreCorchetes(1, errno, "No se pudo abrir el directorio %s", upload.c_str());
    return kDirectorioNoEncontrado;
  }
  size_t cuenta = 0;
  std::string listo;  // the ready-made bundle's name as found
  while (struct dirent *ent = readdir(dir.get())) {
    cuenta++;
    struct stat st;
    if (strcasecmp(ent->d_name, "_svl.qvx") == 0 &&
        fstatat(fdupload, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      listo = ent->d_name;
      break;
    }
  }

  ArchivoPtr out;
  if (!listo.empty()) {
    dir.reset();
    Medida medida;
    MedirEntrada(fdupload, listo.c_str(), false, false, medida);
    if (int res = ComprobarTamano(fdupload, medida); res != kExito) return res;
    ArchivoPtr in;
    off_t tamano = 0;
    int res = AbrirEntrada(fdupload, listo.c_str(), in, &tamano);
    if (res != kExito) return kArchivoNoAbierto;
    if (res = CrearBundle(fdupload, bundle, out); res != kExito) return res;
    res = AgregarContenido(out.get(), in.get(), tamano, listo.c_str(), false, false,
                           LimiteBundle());
    res = CerrarBundle(out, fdupload, bundle, res);
    if (res != kExito) return res;
    if (armado != nullptr) *armado = true;
    return BorrarEmpaquetados(fdupload, {listo});
  }

  ListaArchivos lista;
  if (ReservarLista(lista, cuenta + 4) != kExito) {
    LogMensaje("Falta de memoria para la lista de archivos", 1);
    return kFaltaMemoria;
  }
  rewinddir(dir.get());
  std::string encabezado = "_svl.0";
  if (int res = ListarArchivos(dir.get(), lista, encabezado); res != kExito) return res;
  dir.reset();

  Medida medida;
  medida.minimo = kRegistroFin + kRegistroEncabezadoMinimo;
  medida.maximo = kRegistroFin + kRegistroEncabezado;
  for (size_t i = 0; i < lista.cantidad; i++) {
    const char *nombre = lista.nombres[i].get();
    MedirEntrada(fdupload, nombre, ContieneNombre(binarios, nombre), true, medida);
  }
  if (int res = ComprobarTamano(fdupload, medida); res != kExito) return res;

  if (int res = CrearBundle(fdupload, bundle, out); res != kExito) return res;
  std::sort(lista.nombres.get(), lista.nombres.get() + lista.cantidad,
            [](const std::unique_ptr<char[]> &a, const std::unique_ptr<char[]> &b) {
              int c = strcasecmp(a.get(), b.get());
              return c != 0 ? c < 0 : strcmp(a.get(), b.get()) < 0;
            });

  std::vector<std::string> empaquetados;
  int res = AgregarEncabezado(out.get(), fdupload, encabezado.c_str());
  if (res == kExito) empaquetados.push_back(encabezado);
  for (size_t i = 0; i < lista.cantidad && res == kExito; i++) {
    const char *nombre = lista.nombres[i].get();
    // Entries that are not regular files are left where they are.
    ArchivoPtr in;
    off_t tamano = 0;
    res = AbrirEntrada(fdupload, nombre, in, &tamano);
    if (res == kNoEmpaquetable) {
      res = kExito;
      continue;
    }
    if (res != kExito) break;
    res = AgregarContenido(out.get(), in.get(), tamano, nombre, ContieneNombre(binarios, nombre),
                           true, LimiteBundle());
    if (res == kExito) empaquetados.push_back(nombre);
  }
  if (!Escribir(out.get(), "[FIN]\r\n") && res == kExito) res = kErrorEscribiendo;
  res = CerrarBundle(out, fdupload, bundle, res);
  if (res != kExito) return res;
  if (armado != nullptr) *armado = true;
  return BorrarEmpaquetados(fdupload, empaquetados);
}

void BorrarBundle() {
  Descriptor raiz;
  int e = AbrirRaiz(g_corrida.raiz, raiz);
  if (e == 0) e = BorrarArchivo(raiz.fd, kBultoSubida);
  if (e != 0 && e != ENOENT) {
    LogFallaEntreCorchetes(1, ErrorArchivo(e), "No se pudo borrar %s",
                           RutaUpload("input.dat").c_str());
  }
}
