// retenidos.cpp - transactions kept instead of lost. A run that built the
// upload bundle and did not get the server's commit moves it into
// <root>/retenidos/ ("<AAAAMMDDHHMMSS>-<pid>.subida", or ".dudosa" when the
// server may have committed it); a committed answer that could not be
// delivered goes there as ".respuesta". A resend run (-r) sends the
// ".subida" files again.
//
// retenidos/ sits in a root that a less trusted user owns, so it is used
// only while it is a real directory owned by this (root) process that no
// other user may write: one made or swapped in by the terminal's user would
// let that user choose what root sends, or where it writes and deletes. The
// check is made on the descriptor each time the directory is opened.
//
// Process-wide record owned here: the retention state (g_retencion). Its
// transaction phase lives in a shared anonymous page, so that the dial-up
// protocol child's progress (its final EOT, the commit) is what the parent
// judges by.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <string>
#include <vector>

#include "archivos.h"
#include "control.h"

namespace {

constexpr mode_t kModoRetenidos = 0750;
// AbrirRetenidos' answer for a retenidos/ that is not ours alone.
constexpr int kRetenidosAjeno = -2;
// How many answer folders one retained bundle may get: <base>, <base>.1, ...
constexpr int kCarpetasRespuesta = 10;

const char *TextoRetenidos(int e) {
  if (e == kRetenidosAjeno) {
    return "no es un directorio de root cerrado a los demas usuarios; no se usa";
  }
  return TextoErrorArchivo(e);
}

struct EstadoRetencion {
  volatile sig_atomic_t *fase = nullptr;  // shared page, or &local
  volatile sig_atomic_t local = kSinBundle;
  time_t sello = 0;                       // the time in this run's names
  time_t sellosobrante = 0;               // the leftover's, when one was kept
  char dirorigen[NAME_MAX + 1] = "upload";
  char origen[NAME_MAX + 1] = "input.dat";
  char subida[NAME_MAX + 1] = "";  // empty: a failed bundle stays where it is
  char dudosa[NAME_MAX + 1] = "";
  char respuesta[NAME_MAX + 1] = "";
  bool reenvio = false;
};
EstadoRetencion g_retencion;

void Copiar(char *dst, const char *src) {
  size_t n = strlen(src);
  if (n > NAME_MAX) n = NAME_MAX;
  memcpy(dst, src, n);
  dst[n] = '\0';
}

// "<AAAAMMDDHHMMSS>-<pid><sufijo>" in local time.
void NombreRetenido(time_t t, const char *sufijo, char *nombre) {
  struct tm tm;
  localtime_r(&t, &tm);
  char sello[32];
  strftime(sello, sizeof sello, "%Y%m%d%H%M%S", &tm);
  snprintf(nombre, NAME_MAX + 1, "%s-%d%s", sello, static_cast<int>(getpid()), sufijo);
}

// Whether the open directory dir is retenidos/ as the client makes it: a
// real directory owned by this process's user, writable by it alone.
// Heap-free.
int ComprobarRetenidos(const Descriptor &dir) {
  struct stat st;
  if (fstat(dir.fd, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return kRetenidosAjeno;
  }
  return 0;
}

// Opens retenidos/ below the root, making it (0750) when it is missing and
// crear is set (and then syncing the root, which holds its name). Returns
// 0, kRetenidosAjeno (see ComprobarRetenidos; dir is left closed) or an
// errno value. Heap-free.
int AbrirRetenidos(int raiz, Descriptor &dir, bool crear = true) {
  int e = AbrirDirectorio(raiz, "retenidos", dir);
  if (e == ENOENT && crear) {
    if (mkdirat(raiz, "retenidos", kModoRetenidos) != 0) {
      if (errno != EEXIST) return errno;
    } else if (e = Sincronizar(raiz); e != 0) {
      return e;
    }
    e = AbrirDirectorio(raiz, "retenidos", dir);
  }
  if (e == 0 && (e = ComprobarRetenidos(dir)) != 0) dir.Cerrar();
  return e;
}

// Opens the directory a retained file is moved from or deleted in:
// retenidos/ only through AbrirRetenidos. Heap-free.
int AbrirOrigen(int raiz, const char *dirorigen, Descriptor &dir) {
  if (strcmp(dirorigen, "retenidos") == 0) return AbrirRetenidos(raiz, dir, false);
  return AbrirDirectorio(raiz, dirorigen, dir);
}

// Moves dirorigen/origen below the root to retenidos/destino, never over an
// existing file, and syncs both directories: the move is on the disk when
// this returns 0. Returns 0 or an errno value. Heap-free.
int Mover(int raiz, const char *dirorigen, const char *origen, const char *destino) {
  Descriptor desde, hacia;
  int e = AbrirOrigen(raiz, dirorigen, desde);
  if (e == 0) e = AbrirRetenidos(raiz, hacia);
  if (e != 0) return e;
  if (renameat2(desde.fd, origen, hacia.fd, destino, RENAME_NOREPLACE) != 0) return errno;
  e = Sincronizar(hacia.fd);
  if (e == 0) e = Sincronizar(desde.fd);
  return e;
}

int Borrar(int raiz, const char *dirorigen, const char *origen) {
  Descriptor desde;
  int e = AbrirOrigen(raiz, dirorigen, desde);
  if (e != 0) return e;
  return unlinkat(desde.fd, origen, 0) == 0 ? 0 : errno;
}

// Moves a file into retenidos/ and logs where it went. Returns 0 or the
// errno value (logged).
int Retener(const char *dirorigen, const char *origen, const char *destino) {
  int e = Mover(g_corrida.raizfd, dirorigen, origen, destino);
  std::string ruta = UnirRuta(UnirRuta(g_corrida.raiz, "retenidos"), destino);
  if (e == 0) {
    LogFormato(1, "Transaccion retenida en %s", ruta.c_str());
  } else {
    std::string de = UnirRuta(UnirRuta(g_corrida.raiz, dirorigen), origen);
    LogFormato(1, "No se pudo retener %s en %s: %s", de.c_str(), ruta.c_str(),
               TextoRetenidos(e));
  }
  return e;
}

}  // namespace

void PrepararRetencion() {
  void *pagina = mmap(nullptr, sizeof(sig_atomic_t), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  // Without the shared page the dial-up parent cannot see a commit made in
  // its child; a bundle then stays a ".subida" or ".dudosa" all the same.
  g_retencion.fase = pagina != MAP_FAILED ? static_cast<volatile sig_atomic_t *>(pagina)
                                          : &g_retencion.local;
  *g_retencion.fase = kSinBundle;
  if (g_corrida.raizfd < 0) {
    Descriptor raiz;
    // Without it nothing can be retained; the run goes on as before.
    if (AbrirRaiz(g_corrida.raiz, raiz) == 0) g_corrida.raizfd = raiz.Soltar();
  }
  g_retencion.sello = time(nullptr);
}

void MarcarFase(FaseTransaccion fase) {
  if (g_retencion.fase == nullptr) g_retencion.fase = &g_retencion.local;
  *g_retencion.fase = fase;
}

int MarcarDudoso() {
  if (g_retencion.reenvio && g_retencion.dudosa[0] != '\0') {
    Descriptor dir;
    int e = AbrirOrigen(g_corrida.raizfd, g_retencion.dirorigen, dir);
    if (e == 0 && renameat2(dir.fd, g_retencion.origen, dir.fd, g_retencion.dudosa,
                            RENAME_NOREPLACE) != 0) {
      e = errno;
    }
    if (e == 0) e = Sincronizar(dir.fd);
    if (e != 0) {
      LogFormato(1, "No se pudo marcar %s/%s como dudosa: %s", g_retencion.dirorigen,
                 g_retencion.origen, TextoRetenidos(e));
      return e;
    }
  }
  MarcarFase(kBundleDudoso);
  return 0;
}

FaseTransaccion FaseActual() {
  if (g_retencion.fase == nullptr) return kSinBundle;
  return static_cast<FaseTransaccion>(*g_retencion.fase);
}

int RetenerSobrante() {
  Descriptor upload;
  if (int e = AbrirDirectorio(g_corrida.raizfd, "upload", upload); e != 0) {
    // Packing now could overwrite a leftover bundle this run cannot see.
    LogFalla(1, ErrorArchivo(e), "No se pudo abrir el directorio %s",
             UnirRuta(g_corrida.raiz, "upload").c_str());
    return kDirectorioNoEncontrado;
  }
  struct stat st;
  if (fstatat(upload.fd, "input.dat", &st, AT_SYMLINK_NOFOLLOW) != 0) return kExito;
  // A killed run's bundle: it may have reached the server, so it is never
  // sent again by itself. When it cannot be kept, nothing is packed over it.
  char nombre[NAME_MAX + 1];
  NombreRetenido(g_retencion.sello, ".dudosa", nombre);
  if (Retener("upload", "input.dat", nombre) != 0) return kErrorCreando;
  g_retencion.sellosobrante = g_retencion.sello;
  // The same run's download, if it got that far: every run empties
  // download/ before it packs, so an output.dat beside a left-over bundle
  // is that run's answer, perhaps committed and not yet delivered. It is
  // kept beside the bundle, never emptied away with download/.
  Descriptor download;
  if (AbrirDirectorio(g_corrida.raizfd, "download", download) != 0 ||
      fstatat(download.fd, "output.dat", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return kExito;
  }
  NombreRetenido(g_retencion.sello, ".respuesta", nombre);
  if (Retener("download", "output.dat", nombre) != 0) return kErrorCreando;
  return kExito;
}

void NombrarBundle() {
  time_t t = time(nullptr);
  // Never the leftover's name: a bundle of this run that ends doubtful in
  // the same second gets the next second.
  if (g_retencion.sellosobrante != 0 && t <= g_retencion.sellosobrante) {
    t = g_retencion.sellosobrante + 1;
  }
  g_retencion.sello = t;
  Copiar(g_retencion.dirorigen, "upload");
  Copiar(g_retencion.origen, "input.dat");
  NombreRetenido(t, ".subida", g_retencion.subida);
  NombreRetenido(t, ".dudosa", g_retencion.dudosa);
  NombreRetenido(t, ".respuesta", g_retencion.respuesta);
  g_retencion.reenvio = false;
}

void NombrarReenvio(const std::string &nombre) {
  // nombre ends in ".subida"; a doubtful end makes it the same name in
  // ".dudosa", a failure leaves it where it is.
  std::string base = nombre.substr(0, nombre.size() - strlen(".subida"));
  Copiar(g_retencion.dirorigen, "retenidos");
  Copiar(g_retencion.origen, nombre.c_str());
  g_retencion.subida[0] = '\0';
  Copiar(g_retencion.dudosa, (base + ".dudosa").c_str());
  g_retencion.respuesta[0] = '\0';
  g_retencion.reenvio = true;
}

namespace {

// The bundle's name now: a resent one is renamed ".dudosa" before the
// final EOT (MarcarDudoso), perhaps by the dial-up protocol child, whose
// names the parent does not see; the phase in the shared page tells.
const char *NombreActual(int fase) {
  return g_retencion.reenvio && fase >= kBundleDudoso ? g_retencion.dudosa : g_retencion.origen;
}

}  // namespace

int DisponerBundle(int resultado) {
  FaseTransaccion fase = FaseActual();
  if (fase == kBundleConfirmado || resultado == kExito) {
    // Committed (a 0 is given only after the commit): never sent again.
    const char *nombre = NombreActual(fase);
    int e = Borrar(g_corrida.raizfd, g_retencion.dirorigen, nombre);
    if (e != 0 && e != ENOENT) {
      LogFormato(1, "No se pudo borrar %s/%s: %s", g_retencion.dirorigen, nombre,
                 TextoRetenidos(e));
    }
    return 0;
  }
  // A resent bundle in doubt already bears its ".dudosa" name.
  if (g_retencion.reenvio && fase == kBundleDudoso) return 0;
  if (fase == kSinBundle) return 0;
  const char *destino = fase == kBundleDudoso ? g_retencion.dudosa : g_retencion.subida;
  if (destino[0] == '\0') return 0;  // a resent bundle that failed stays a ".subida"
  return Retener(g_retencion.dirorigen, g_retencion.origen, destino);
}

void RetenerRespuesta() {
  if (g_retencion.respuesta[0] == '\0') return;
  Retener("download", "output.dat", g_retencion.respuesta);
}

void BorrarDescarga(const Descriptor &bajada) {
  if (unlinkat(bajada.fd, "output.dat", 0) != 0 && errno != ENOENT) {
    LogFalla(1, errno, "No se pudo borrar %s",
             UnirRuta(g_corrida.raiz, g_corrida.dirbajada + "/output.dat").c_str());
  }
}

bool NombreRetenidoValido(const std::string &nombre, const char *sufijo) {
  // "<14 digits>-<1 to 10 digits><sufijo>", as NombreRetenido makes it.
  const size_t largo = strlen(sufijo);
  if (nombre.size() <= 15 + largo || nombre.compare(nombre.size() - largo, largo, sufijo) != 0) {
    return false;
  }
  const size_t fin = nombre.size() - largo;
  for (size_t i = 0; i < 14; i++) {
    if (!isdigit(static_cast<unsigned char>(nombre[i]))) return false;
  }
  if (nombre[14] != '-' || fin - 15 > 10) return false;
  for (size_t i = 15; i < fin; i++) {
    if (!isdigit(static_cast<unsigned char>(nombre[i]))) return false;
  }
  return true;
}

int ListarRetenidos(const char *sufijo, std::vector<std::string> &nombres) {
  nombres.clear();
  Descriptor dir;
  int e = AbrirRetenidos(g_corrida.raizfd, dir, false);
  if (e == ENOENT) return kExito;
  DirectorioPtr lista;
  if (e == 0) lista = ListarDirectorio(dir);
  if (e == 0 && !lista) e = errno;
  if (e != 0) {
    LogFormato(1, "No se pudo leer %s: %s", UnirRuta(g_corrida.raiz, "retenidos").c_str(),
               TextoRetenidos(e));
    return kErrorCreando;
  }
  size_t largo = strlen(sufijo);
  while (struct dirent *ent = readdir(lista.get())) {
    std::string n = ent->d_name;
    if (n.size() <= largo || n.compare(n.size() - largo, largo, sufijo) != 0) continue;
    if (!NombreRetenidoValido(n, sufijo)) {
      LogFormato(1, "Retenido ignorado (nombre que zelta no hace): %s", n.c_str());
      continue;
    }
    struct stat st;
    if (fstatat(dir.fd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
      LogFormato(1, "Retenido ignorado (no es un archivo regular): %s", n.c_str());
      continue;
    }
    nombres.push_back(n);
  }
  std::sort(nombres.begin(), nombres.end());
  return kExito;
}

int LeerEncabezadoRetenido(const std::string &nombre, std::string &linea) {
  linea.clear();
  const std::string ruta = UnirRuta(g_corrida.raiz, "retenidos/" + nombre);
  Descriptor dir, fd;
  int e = AbrirRetenidos(g_corrida.raizfd, dir, false);
  if (e == 0) e = AbrirLectura(dir.fd, nombre.c_str(), fd);
  ArchivoPtr f;
  if (e == 0) f = AbrirFlujo(fd, "r");
  if (!f) {
    LogFormato(1, "No se pudo abrir %s: %s", ruta.c_str(), TextoRetenidos(e != 0 ? e : errno));
    return kArchivoNoAbierto;
  }
  // The line LeerDestino takes the destination from.
  char buf[250];
  bool marca = false;
  while (fgets(buf, sizeof buf, f.get()) != nullptr) {
    if (marca) {
      linea.assign(buf, strcspn(buf, "\r\n"));
      return kExito;
    }
    marca = strncasecmp(buf, "[_svl.0]", 8) == 0;
  }
  return kExito;
}

namespace {

// Makes retenidos/<nombre> with mkdirat, never taking an entry that stood
// there: the answer is split into it, and the resent bundle is deleted once
// it is synced. An empty folder (an earlier resend's that got no answer) is
// removed and made anew. Returns 0, EEXIST when something else stands under
// the name, or another errno value.
int CrearCarpeta(int retenidos, const char *nombre) {
  if (mkdirat(retenidos, nombre, kModoRetenidos) == 0) return 0;
  if (errno != EEXIST) return errno;
  if (unlinkat(retenidos, nombre, AT_REMOVEDIR) != 0) return EEXIST;
  return mkdirat(retenidos, nombre, kModoRetenidos) == 0 ? 0 : errno;
}

}  // namespace

int CrearDirectorioRespuesta(const std::string &base, std::string &carpeta) {
  carpeta.clear();
  Descriptor retenidos;
  int e = AbrirRetenidos(g_corrida.raizfd, retenidos);
  std::string nombre = base;
  for (int i = 0; e == 0; i++) {
    if (i == kCarpetasRespuesta) {
      LogFormato(1, "No se crea carpeta de respuesta para %s: ya hay %d en %s", base.c_str(),
                 kCarpetasRespuesta, UnirRuta(g_corrida.raiz, "retenidos").c_str());
      return kErrorCreando;
    }
    if (i > 0) nombre = base + "." + std::to_string(i);
    e = CrearCarpeta(retenidos.fd, nombre.c_str());
    if (e == 0) {
      e = Sincronizar(retenidos.fd);
      if (e == 0) carpeta = nombre;
      break;
    }
    if (e == EEXIST) e = 0;
  }
  if (e == 0) return kExito;
  LogFormato(1, "No se pudo crear %s: %s",
             UnirRuta(g_corrida.raiz, "retenidos/" + nombre).c_str(), TextoRetenidos(e));
  return kErrorCreando;
}

// ---------------------------------------------------------------- cleanup

namespace {

// How deep LimpiarCarpetasRespuesta goes into an answer folder. The answer
// is split flat into it; anything deeper is left, and the folder with it.
constexpr int kNivelesCarpeta = 8;

// Empties the directory dir: files and links are unlinked (a link is never
// followed), directories are opened without following a link, emptied the
// same way and removed. Returns 0 or the first errno value met.
int Vaciar(const Descriptor &dir, int nivel) {
  DirectorioPtr lista = ListarDirectorio(dir);
  if (!lista) return errno;
  std::vector<std::string> nombres;
  while (struct dirent *ent = readdir(lista.get())) {
    if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0) nombres.push_back(ent->d_name);
  }
  int primero = 0;
  for (const std::string &n : nombres) {
    if (unlinkat(dir.fd, n.c_str(), 0) == 0) continue;
    int e = errno;
    if (e == EISDIR) {
      Descriptor sub;
      e = nivel + 1 < kNivelesCarpeta ? AbrirDirectorio(dir.fd, n.c_str(), sub) : ENOTEMPTY;
      if (e == 0) e = Vaciar(sub, nivel + 1);
      if (e == 0 && unlinkat(dir.fd, n.c_str(), AT_REMOVEDIR) != 0) e = errno;
    }
    if (e != 0 && primero == 0) primero = e;
  }
  return primero;
}

}  // namespace

// t as local time, "AAAA-MM-DD hh:mm:ss" ("?" when it cannot be shown).
std::string FechaLocal(time_t t) {
  struct tm tm;
  char buf[32];
  if (localtime_r(&t, &tm) == nullptr || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
    return "?";
  }
  return buf;
}

bool NombreCarpetaRespuestaValido(const std::string &nombre) {
  // CrearDirectorioRespuesta's <base> or <base>.1 to <base>.9.
  size_t n = nombre.size();
  if (n > 2 && nombre[n - 2] == '.' && nombre[n - 1] >= '1' && nombre[n - 1] <= '9') {
    return NombreRetenidoValido(nombre, nombre.substr(n - 2).c_str());
  }
  return NombreRetenidoValido(nombre + ".", ".");
}

int LimpiarCarpetasRespuesta(long long dias) {
  const std::string ruta = UnirRuta(g_corrida.raiz, "retenidos");
  Descriptor dir;
  int e = AbrirRetenidos(g_corrida.raizfd, dir, false);
  DirectorioPtr lista;
  if (e == 0) lista = ListarDirectorio(dir);
  if (e == 0 && !lista) e = errno;
  if (e != 0 && e != ENOENT) {
    LogFormato(1, "No se pudo leer %s: %s", ruta.c_str(), TextoRetenidos(e));
    return kErrorCreando;
  }
  std::vector<std::string> nombres;
  while (lista) {
    struct dirent *ent = readdir(lista.get());
    if (ent == nullptr) break;
    if (NombreCarpetaRespuestaValido(ent->d_name)) nombres.push_back(ent->d_name);
  }
  std::sort(nombres.begin(), nombres.end());
  const time_t ahora = time(nullptr);
  int r = kExito, borradas = 0;
  for (const std::string &n : nombres) {
    const std::string carpeta = UnirRuta(ruta, n);
    struct stat st;
    if (fstatat(dir.fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (!S_ISDIR(st.st_mode)) {
      LogFormato(1, "Carpeta de respuesta ignorada (no es un directorio): %s", carpeta.c_str());
      continue;
    }
    if (ahora - st.st_mtime <= static_cast<time_t>(dias) * 86400) continue;
    Descriptor sub;
    e = AbrirDirectorio(dir.fd, n.c_str(), sub);
    if (e == 0) e = Vaciar(sub, 0);
    if (e == 0 && unlinkat(dir.fd, n.c_str(), AT_REMOVEDIR) != 0) e = errno;
    if (e != 0) {
      LogFalla(1, ErrorArchivo(e), "No se pudo borrar %s", carpeta.c_str());
      r = kErrorEscribiendo;
      continue;
    }
    LogFormato(1, "Carpeta de respuesta borrada: %s (del %s)", carpeta.c_str(),
               FechaLocal(st.st_mtime).c_str());
    borradas++;
  }
  if (borradas > 0 && (e = Sincronizar(dir.fd)) != 0) {
    LogFalla(1, ErrorArchivo(e), "No se pudo sincronizar %s", ruta.c_str());
    r = kErrorEscribiendo;
  }
  LogFormato(1, "Limpieza de %s: %d carpetas de respuesta de mas de %lld dias borradas", ruta.c_str(),
             borradas, dias);
  return r;
}
