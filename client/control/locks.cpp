// locks.cpp - lock files (the instance lock _zelta.lck and the "LCK.." device
// locks, both in the serial-port pid-file format), the pair-device rule, and
// the directory lock that narrows the terminal root's mode during a run.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "control.h"

namespace {

// Device lock slots: fixed buffers, so that the interrupt handler can empty
// them without touching the heap. Slot 0 is the device, slot 1 its pair.
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

// Writes the complete lock content to a private file beside the lock and
// returns its path, or "" on failure. The lock then appears under its name
// with link(2), already whole, so no reader ever sees it half-written.
std::string EscribirLockTemporal(const std::string &path) {
  size_t barra = path.rfind('/');
  std::string dir = barra == std::string::npos ? "" : path.substr(0, barra + 1);
  char nombre[48];
  snprintf(nombre, sizeof nombre, ".zelta-lck.%d", static_cast<int>(getpid()));
  std::string temp = dir + nombre;
  unlink(temp.c_str());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return "";
  char contenido[16];
  int n = snprintf(contenido, sizeof contenido, "%10d\n", static_cast<int>(getpid()));
  bool ok = write(fd, contenido, static_cast<size_t>(n)) == n;
  if (close(fd) != 0) ok = false;
  if (!ok) {
    unlink(temp.c_str());
    return "";
  }
  return temp;
}

// Puts the lock in place. Returns 0, EEXIST when the name is taken, or
// another errno value.
int PublicarLock(const std::string &temp, const std::string &path) {
  if (link(temp.c_str(), path.c_str()) == 0) return 0;
  int error = errno;
  if (error != EPERM && error != EOPNOTSUPP && error != EXDEV) return error;
  // File systems without hard links: exclusive creation of the lock itself.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return errno;
  char contenido[16];
  int n = snprintf(contenido, sizeof contenido, "%10d\n", static_cast<int>(getpid()));
  ssize_t w = write(fd, contenido, static_cast<size_t>(n));
  close(fd);
  return w == n ? 0 : EIO;
}

// The pid recorded in an existing lock file: 0 when none can be read, -1
// when the file vanished, -2 when it cannot be opened for another reason.
int LeerPidLock(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return errno == ENOENT ? -1 : -2;
  char buf[12];
  ssize_t n = read(fd, buf, 11);
  close(fd);
  if (n <= 0) return 0;
  buf[n] = '\0';
  return atoi(buf);
}

// Removes a lock file found to hold the dead pid. Runs racing for the same
// stale lock could otherwise each read the dead pid, and the slower one
// delete the lock the faster one had just made: the check and the deletion
// are therefore made again under flock(2) on the lock's directory, which
// the kernel releases even when its holder is killed. Returns true when
// the caller should try to create the lock again (the stale file is gone,
// or the file changed meanwhile and must be judged anew).
bool BorrarLockViejo(const std::string &path, int pid) {
  size_t barra = path.rfind('/');
  std::string dir = barra == std::string::npos ? "." : path.substr(0, barra + 1);
  int guarda = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (guarda >= 0) flock(guarda, LOCK_EX);
  bool reintentar = false;
  int actual = LeerPidLock(path);
  if (actual == -1 || (actual != pid && actual != -2)) {
    reintentar = true;
  } else if (actual == pid) {
    reintentar = unlink(path.c_str()) == 0;
  }
  if (guarda >= 0) close(guarda);  // releases the flock
  return reintentar;
}

void Concatenar(char *dst, size_t cap, const char *a, const char *b) {
  size_t n = 0;
  for (; *a != '\0' && n + 1 < cap; a++) dst[n++] = *a;
  for (; *b != '\0' && n + 1 < cap; b++) dst[n++] = *b;
  dst[n] = '\0';
}

}  // namespace

int CrearLock(const std::string &path) {
  LogFormato(10, "Creando archivo de lock %s", path.c_str());
  std::string temp = EscribirLockTemporal(path);
  if (temp.empty()) {
    LogFormato(1, "No se puede crear lock %s", path.c_str());
    return -1;
  }
  int resultado = -1;
  for (int intento = 0; intento < kMaxIntentosLock; intento++) {
    int error = PublicarLock(temp, path);
    if (error == 0) {
      LogFormato(5, "Cree el lock %s", path.c_str());
      resultado = 0;
      break;
    }
    if (error != EEXIST) {
      LogFormato(1, "No se puede crear lock %s", path.c_str());
      break;
    }
    int pid = LeerPidLock(path);
    if (pid == -1) continue;  // gone meanwhile: try again
    if (pid == -2) {
      LogFormato(1, "No se puede crear lock %s", path.c_str());
      break;
    }
    // A stale lock (its owner no longer exists) is taken over.
    if (pid > 0 && kill(pid, 0) == -1 && errno == ESRCH && BorrarLockViejo(path, pid)) continue;
    LogFormato(1, "El proceso (%d) esta lockeando el archivo (%s)", pid, path.c_str());
    break;
  }
  unlink(temp.c_str());
  return resultado;
}

int LockearDeviceFile(const char *device, int slot) {
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
  int r = CrearLock(path);
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
  size_t barra = device.rfind('/');
  std::string dir = barra == std::string::npos ? "" : device.substr(0, barra + 1);
  return dir + g_config.pairdevprefix + device.substr(inicio);
}

int LockearDevice(const char *device) {
  std::string par = DevicePar(device);
  if (LockearDeviceFile(device, 0) != 0) return -1;
  if (!par.empty() && LockearDeviceFile(par.c_str(), 1) != 0) {
    LiberarLocksDevice();
    return -1;
  }
  return 0;
}

void LiberarLocksDevice() {
  // Runs in the interrupt handler too: no heap, no stdio.
  for (auto &slot : g_locks.slot) {
    if (slot[0] == '\0') continue;
    if (unlink(slot) == 0) {
      char mensaje[kMaxSlot + 32];
      Concatenar(mensaje, sizeof mensaje, "Saque el lock ", slot);
      LogMensajeSenal(mensaje, 5);
    }
    slot[0] = '\0';
  }
}

void LockearDirectorio() {
  struct stat st;
  if (stat(g_corrida.raiz.c_str(), &st) != 0) {
    LogFormato(1, "No se pudo obtener modo del directorio %s", g_corrida.raiz.c_str());
    return;
  }
  g_dir.guardado = true;
  g_dir.modo = st.st_mode & 07777;
  if (chmod(g_corrida.raiz.c_str(), 0744) != 0) {
    LogFormato(1, "No se pudo lockear el directorio %s", g_corrida.raiz.c_str());
  }
}

void DeslockearDirectorioSenal() {
  if (!g_dir.guardado) return;
  if (chmod(g_corrida.raiz.c_str(), g_dir.modo) != 0) {
    LogMensajeSenal("No se pudo deslockear el directorio", 1);
  }
}

void DeslockearDirectorio() {
  if (!g_dir.guardado) return;
  if (chmod(g_corrida.raiz.c_str(), g_dir.modo) != 0) {
    LogFormato(1, "No se pudo deslockear el directorio %s", g_corrida.raiz.c_str());
  }
}
