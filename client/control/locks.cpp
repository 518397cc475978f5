// locks.cpp - lock files (the instance lock _zelta.lck and the "LCK.." device
// locks, both in the serial-port pid-file format), the pair-device rule, and
// the directory lock that narrows the terminal root's mode during a run.
//
// Both survive a power cut: the lock's pid is on disk before the lock has
// its name, a lock written before the system's last boot is stale whatever
// process its pid names now, and the root's own mode is recorded in
// _zelta.modo before the root is narrowed, so that the run after a crash
// puts that mode back instead of the narrowed one.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "control.h"

namespace {

// Device lock slots: fixed buffers, so that they can be emptied without
// touching the heap. Slot 0 is the device, slot 1 its pair.
constexpr size_t kMaxSlot = 256;
struct LocksDevice {
  char slot[2][kMaxSlot] = {"", ""};
};
LocksDevice g_locks;

struct ModoDirectorio {
  bool guardado = false;
  mode_t modo = 0;
};
ModoDirectorio g_dir;

constexpr int kMaxIntentosLock = 1000;  // bound on take-over races

// The root's mode as the directory lock found it, beside the instance lock.
constexpr char kArchivoModo[] = "_zelta.modo";

// The directory of a lock file and the file's name in it. The directory
// (a terminal root or LOCKDIR) is trusted as a path; the name is reached
// from its descriptor only.
struct LugarLock {
  Descriptor dir;
  std::string nombre;
};

int AbrirLugar(const std::string &path, LugarLock &lugar) {
  lugar.nombre = NombreDe(path);
  return AbrirRaiz(DirectorioDe(path, "."), lugar.dir);
}

// Name of the private file a lock is written to first. A fixed buffer:
// nothing may allocate (and so fail with the file made) until it is gone.
struct NombreTemporal {
  char texto[48] = "";
};

// Writes the complete lock content to a private file beside the lock and
// names it in *nombre. Returns false on failure (nothing left behind). The
// lock then appears under its name with linkat(2), already whole, so no
// reader ever sees it half-written.
bool EscribirLockTemporal(const LugarLock &lugar, NombreTemporal *temporal) {
  char *nombre = temporal->texto;
  snprintf(nombre, sizeof temporal->texto, ".zelta-lck.%d", static_cast<int>(getpid()));
  Descriptor fd;
  if (CrearArchivo(lugar.dir.fd, nombre, 0644, fd) != 0) return false;
  char contenido[16];
  int n = snprintf(contenido, sizeof contenido, "%10d\n", static_cast<int>(getpid()));
  // Synced before it is linked into place: after a power cut the lock
  // holds its pid, never nothing (an empty lock blocks every later run).
  bool ok = EscribirTodo(fd.fd, contenido, static_cast<size_t>(n)) && Sincronizar(fd.fd) == 0;
  if (!fd.Cerrar()) ok = false;
  if (!ok) {
    unlinkat(lugar.dir.fd, nombre, 0);
    return false;
  }
  return true;
}

// Puts the lock in place. Returns 0, EEXIST when the name is taken, or
// another errno value.
int PublicarLock(const LugarLock &lugar, const char *temp) {
  // The name itself need not be synced: a lock whose name a power cut
  // undoes is no lock, and the next run makes its own.
  if (linkat(lugar.dir.fd, temp, lugar.dir.fd, lugar.nombre.c_str(), 0) == 0) return 0;
  int error = errno;
  if (error != EPERM && error != EOPNOTSUPP && error != EXDEV) return error;
  // File systems without hard links: exclusive creation of the lock itself.
  int fd = openat(lugar.dir.fd, lugar.nombre.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  Descriptor lock(fd);
  char contenido[16];
  int n = snprintf(contenido, sizeof contenido, "%10d\n", static_cast<int>(getpid()));
  if (!EscribirTodo(fd, contenido, static_cast<size_t>(n))) return EIO;
  return Sincronizar(fd);
}

// What reading an existing lock file found. The pid goes apart, so that no
// content (a "-1" written by hand) can pass for one of these.
enum EstadoLock {
  kLockLeido,      // read: pid holds its pid, 0 when it names none
  kLockSeFue,      // the file vanished
  kLockIlegible,   // it cannot be opened for another reason
  kLockNoRegular,  // a link, FIFO, device or directory
};

struct LecturaLock {
  EstadoLock estado = kLockLeido;
  int pid = 0;
};

// Reads an existing lock file: the pid it records (see PidDeLock: 0 when
// none can be read), or why it could not be read. A FIFO cannot block the
// read, nor a link lead it elsewhere.
// With mtime, also the file's modification time (when the pid was written).
LecturaLock LeerPidLock(const LugarLock &lugar, timespec *mtime = nullptr) {
  LecturaLock l;
  Descriptor fd;
  int e = AbrirLectura(lugar.dir.fd, lugar.nombre.c_str(), fd);
  if (e == ENOENT) l.estado = kLockSeFue;
  else if (e == ELOOP || e == kNoRegular) l.estado = kLockNoRegular;
  else if (e != 0) l.estado = kLockIlegible;
  if (e != 0) return l;
  if (mtime != nullptr) {
    struct stat st;
    if (fstat(fd.fd, &st) != 0) {
      l.estado = kLockIlegible;
      return l;
    }
    *mtime = st.st_mtim;
  }
  char buf[12];
  ssize_t n = read(fd.fd, buf, 11);
  if (n <= 0) return l;
  buf[n] = '\0';
  l.pid = PidDeLock(buf);
  return l;
}

// When the system last booted, on the wall clock.
timespec ArranqueSistema() {
  timespec real{}, boot{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_BOOTTIME, &boot);
  timespec t{real.tv_sec - boot.tv_sec, real.tv_nsec - boot.tv_nsec};
  if (t.tv_nsec < 0) {
    t.tv_sec -= 1;
    t.tv_nsec += 1000000000L;
  }
  return t;
}

bool Antes(const timespec &a, const timespec &b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// True when the live process pid runs this very program.
bool MismoPrograma(int pid) {
  char ruta[32];
  snprintf(ruta, sizeof ruta, "/proc/%d/exe", pid);
  struct stat suyo, mio;
  return stat(ruta, &suyo) == 0 && stat("/proc/self/exe", &mio) == 0 &&
         suyo.st_dev == mio.st_dev && suyo.st_ino == mio.st_ino;
}

// Why a lock holding pid, written at mtime, is stale, in words for the log;
// nullptr while its owner may be alive. A lock without a positive pid is
// never stale: operators make one to hold a terminal. A lock written before
// the last boot is stale even when its pid names a live process: a process
// of this boot cannot have written it. Unless that process runs this
// program: a clock stepped forward after the boot (a shop PC with a flat
// clock battery, set right by NTP) makes a live run's lock look older than
// the boot, and two runs in one root must never be.
const char *MotivoVencido(int pid, const timespec &mtime) {
  if (pid <= 0) return nullptr;
  if (kill(pid, 0) == -1 && errno == ESRCH) return "ya no existe";
  if (Antes(mtime, ArranqueSistema()) && !MismoPrograma(pid)) {
    return "es anterior al ultimo arranque del sistema";
  }
  return nullptr;
}

// Removes a lock file found stale holding pid. Runs racing for the same
// stale lock could otherwise each read the dead pid, and the slower one
// delete the lock the faster one had just made: the check and the deletion
// are therefore made again under flock(2) on the lock's directory, which
// the kernel releases even when its holder is killed. Returns true when
// the caller should try to create the lock again (the stale file is gone,
// or the file changed meanwhile and must be judged anew).
bool BorrarLockViejo(const LugarLock &lugar, int pid) {
  flock(lugar.dir.fd, LOCK_EX);
  bool reintentar = false;
  timespec mtime{};
  LecturaLock actual = LeerPidLock(lugar, &mtime);
  if (actual.estado == kLockSeFue || (actual.estado == kLockLeido && actual.pid != pid)) {
    reintentar = true;
  } else if (actual.estado == kLockLeido) {
    // Judged again: a new lock with the same pid may have replaced it.
    reintentar = MotivoVencido(actual.pid, mtime) == nullptr ||
                 unlinkat(lugar.dir.fd, lugar.nombre.c_str(), 0) == 0;
  }
  flock(lugar.dir.fd, LOCK_UN);
  return reintentar;
}

void Concatenar(char *dst, size_t cap, const char *a, const char *b) {
  size_t n = 0;
  for (; *a != '\0' && n + 1 < cap; a++) dst[n++] = *a;
  for (; *b != '\0' && n + 1 < cap; b++) dst[n++] = *b;
  dst[n] = '\0';
}

}  // namespace

int CrearLock(const std::string &path, LockOcupado *ocupado) {
  LogFormato(10, "Creando archivo de lock %s", path.c_str());
  LugarLock lugar;
  NombreTemporal temporal;
  int e = AbrirLugar(path, lugar);
  if (e != 0 || !EscribirLockTemporal(lugar, &temporal)) {
    LogFormato(1, "No se puede crear lock %s", path.c_str());
    return -1;
  }
  const char *temp = temporal.texto;
  int resultado = -1;
  bool ajeno = false;  // another process holds the lock
  int duenio = 0;      // its pid
  int intento = 0;
  for (; intento < kMaxIntentosLock; intento++) {
    int error = PublicarLock(lugar, temp);
    if (error == 0) {
      LogFormato(5, "Cree el lock %s", path.c_str());
      resultado = 0;
      break;
    }
    if (error != EEXIST) {
      LogFormato(1, "No se puede crear lock %s", path.c_str());
      break;
    }
    timespec mtime{};
    LecturaLock lectura = LeerPidLock(lugar, &mtime);
    int pid = lectura.pid;
    if (lectura.estado == kLockSeFue) continue;  // gone meanwhile: try again
    if (lectura.estado == kLockNoRegular) {
      // Never taken over: what a link points to is not ours to delete.
      LogFormato(1, "No se puede crear lock %s: ya existe y no es un archivo regular",
                 path.c_str());
      break;
    }
    if (lectura.estado == kLockIlegible) {
      LogFormato(1, "No se puede crear lock %s", path.c_str());
      break;
    }
    // A stale lock (its owner no longer exists, or it predates the boot)
    // is taken over.
    if (const char *motivo = MotivoVencido(pid, mtime)) {
      if (BorrarLockViejo(lugar, pid)) {
        LogFormato(1, "Tomo el lock %s: el proceso (%d) que lo creo %s", path.c_str(), pid, motivo);
        continue;
      }
    }
    ajeno = true;
    duenio = pid;
    if (ocupado == nullptr) {
      LogFormato(1, "El proceso (%d) esta lockeando el archivo (%s)", pid, path.c_str());
    }
    break;
  }
  if (intento == kMaxIntentosLock) {
    LogFormato(1, "No se puede crear lock %s: cambia sin cesar", path.c_str());
  }
  unlinkat(lugar.dir.fd, temp, 0);
  if (ajeno && ocupado != nullptr) {
    // Copied only now: the copy may allocate.
    ocupado->pid = duenio;
    ocupado->path = path;
  }
  return resultado;
}

int LockearDeviceFile(const char *device, int slot, LockOcupado *ocupado) {
  const char *base = strrchr(device, '/');
  if (base == nullptr) {
    LogFormato(1, "No se puede lockear %s", device);
    return -1;
  }
  std::string path = g_config.lockdir + "/LCK.." + (base + 1);
  if (path.size() >= kMaxSlot) {
    LogMensaje("No hay suficiente memoria para lockear device", 1);
    return -1;
  }
  int r = CrearLock(path, ocupado);
  if (r == 0) memcpy(g_locks.slot[slot], path.c_str(), path.size() + 1);
  return r;
}

std::string DevicePar(const std::string &device) {
  if (device.empty()) return "";
  if (strcasecmp(g_config.pairdevprefix.c_str(), "*SCO") == 0) {
    std::string par = device;
    unsigned char c = static_cast<unsigned char>(par.back());
    par.back() = static_cast<char>(isupper(c) ? tolower(c) : toupper(c));
    return par;
  }
  size_t fin = device.size();
  size_t inicio = fin;
  while (inicio > 0 && isdigit(static_cast<unsigned char>(device[inicio - 1]))) inicio--;
  if (inicio == fin) return "";
  return DirectorioDe(device, "") + g_config.pairdevprefix + device.substr(inicio);
}

int LockearDevice(const char *device, LockOcupado *ocupado) {
  std::string par = DevicePar(device);
  if (LockearDeviceFile(device, 0, ocupado) != 0) return -1;
  if (!par.empty() && LockearDeviceFile(par.c_str(), 1, ocupado) != 0) {
    LiberarLocksDevice();
    return -1;
  }
  return 0;
}

void LiberarLocksDevice() {
  for (auto &slot : g_locks.slot) {
    if (slot[0] == '\0') continue;
    if (unlink(slot) == 0) {
      char mensaje[kMaxSlot + 32];
      Concatenar(mensaje, sizeof mensaje, "Saque el lock ", slot);
      LogMensaje(mensaje, 5);
    }
    slot[0] = '\0';
  }
}

namespace {

// Reads the mode a run recorded in _zelta.modo before it narrowed the root.
// Returns 1 with *modo, 0 when there is no such file, -1 (logged) when it
// is not a regular file of our own user (the terminal's user may delete the
// record, never make one: a root it cannot chmod must not get its mode from
// it) or does not hold a mode: 3 or 4 octal digits and a
// line feed, permission, sticky and set-group-id bits only.
int LeerModoGuardado(int raiz, mode_t *modo) {
  std::string ruta = UnirRuta(g_corrida.raiz, kArchivoModo);
  Descriptor fd;
  int e = AbrirLectura(raiz, kArchivoModo, fd);
  if (e == ENOENT) return 0;
  if (e != 0) {
    LogFalla(1, ErrorArchivo(e), "Se ignora el modo guardado en %s", ruta.c_str());
    return -1;
  }
  struct stat st;
  if (fstat(fd.fd, &st) != 0 || st.st_uid != geteuid()) {
    LogFormato(1, "Se ignora el modo guardado en %s: no lo hizo zelta", ruta.c_str());
    return -1;
  }
  char buf[8];
  ssize_t n = read(fd.fd, buf, sizeof buf);
  bool valido = n >= 4 && n <= 5 && buf[n - 1] == '\n';
  unsigned long valor = 0;
  for (ssize_t i = 0; valido && i < n - 1; i++) {
    valido = buf[i] >= '0' && buf[i] <= '7';
    valor = valor * 8 + static_cast<unsigned long>(buf[i] - '0');
  }
  if (!valido || (valor & ~static_cast<unsigned long>(03777)) != 0) {
    LogFormato(1, "Se ignora el modo guardado en %s: no es un modo valido", ruta.c_str());
    return -1;
  }
  *modo = static_cast<mode_t>(valor);
  return 1;
}

// Records modo in _zelta.modo, synced with the root. Returns 0 or an errno
// value (logged; nothing left behind).
int GuardarModo(int raiz, mode_t modo) {
  char texto[8];
  int n = snprintf(texto, sizeof texto, "%04o\n", static_cast<unsigned>(modo));
  Descriptor fd;
  int e = CrearArchivo(raiz, kArchivoModo, 0644, fd);
  if (e == 0 && !EscribirTodo(fd.fd, texto, static_cast<size_t>(n))) e = errno != 0 ? errno : EIO;
  if (e == 0) e = Sincronizar(fd.fd);
  if (e == 0 && !fd.Cerrar()) e = errno != 0 ? errno : EIO;
  if (e == 0) e = Sincronizar(raiz);
  if (e != 0) {
    if (e != EISDIR) unlinkat(raiz, kArchivoModo, 0);
    LogFalla(1, ErrorArchivo(e), "No se pudo guardar el modo del directorio en %s",
             UnirRuta(g_corrida.raiz, kArchivoModo).c_str());
  }
  return e;
}

// The run's own descriptor of the root, or one opened here into propia
// (-1 when it cannot be opened). Async-signal-safe.
int DescriptorRaiz(Descriptor &propia) {
  if (g_corrida.raizfd >= 0) return g_corrida.raizfd;
  propia.fd = open(g_corrida.raiz.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return propia.fd;
}

// Puts the recorded mode back on the root, then forgets the record: the
// mode is synced first, so the record goes only once it is not needed (a
// root that cannot be synced keeps it, and the next run puts the same mode
// back). Returns whether the mode was put back. Async-signal-safe.
bool RestituirModo() {
  Descriptor propia;
  int raiz = DescriptorRaiz(propia);
  if (raiz < 0 || fchmod(raiz, g_dir.modo) != 0) return false;
  if (Sincronizar(raiz) == 0) unlinkat(raiz, kArchivoModo, 0);
  return true;
}

}  // namespace

void LockearDirectorio() {
  g_dir.guardado = false;
  Descriptor propia;
  int raiz = DescriptorRaiz(propia);
  struct stat st;
  if (raiz < 0 || fstat(raiz, &st) != 0) {
    LogFormato(1, "No se pudo obtener modo del directorio %s", g_corrida.raiz.c_str());
    return;
  }
  mode_t modo = st.st_mode & 07777;
  mode_t guardado = 0;
  // This run holds the instance lock: a record left in the root is that of
  // a run that died with the root narrowed, and holds the mode it found.
  if (LeerModoGuardado(raiz, &guardado) == 1) {
    LogFormato(1, "El directorio %s quedo con modo %04o de una corrida interrumpida; se "
               "restituira su modo %04o", g_corrida.raiz.c_str(), static_cast<unsigned>(modo),
               static_cast<unsigned>(guardado));
    modo = guardado;
  } else if (GuardarModo(raiz, modo) != 0) {
    // Narrowed without a record, a crash would leave the root so for good.
    LogFormato(1, "No se pudo lockear el directorio %s", g_corrida.raiz.c_str());
    return;
  }
  g_dir.guardado = true;
  g_dir.modo = modo;
  if (fchmod(raiz, 0744) != 0) {
    LogFormato(1, "No se pudo lockear el directorio %s", g_corrida.raiz.c_str());
  }
}

void DeslockearDirectorio() {
  if (!g_dir.guardado) return;
  if (!RestituirModo()) {
    LogFormato(1, "No se pudo deslockear el directorio %s", g_corrida.raiz.c_str());
  }
}
