// bench_tcp.cpp - one exchange of 1 MiB up and 1 MiB down between the real
// client (zelta -t tcp, BLOCKSIZE 4000) and kaldo-server over loopback.
// Reports the wall time and CPU time of the client (median of several
// runs), and, from one more run under ptrace, the client's system calls
// per byte carried. No tool beyond the two programs is needed.
//
// Then a small exchange (a 1 KiB text file up, a 1 KiB ticket down) started
// the way a terminal starts it: a marker in <basedir>/tx/ picked up by the
// real rondador, timed from the marker's creation to estado.rsp, beside the
// client's own run time for the same exchange started directly, with
// rondador woken by inotify and, as a second baseline, by its poll alone.
//
// With --syncs, only what the client's syncs cost: the small exchange and
// an exchange with a 64 MiB upload bundle, each run alternately as it is and
// under libzeltasinsync (fsync, fdatasync and syncfs made no-ops), so that
// the machine's load falls on both alike; the medians, their ratio, and the
// syncs one small exchange makes, counted under ptrace.
//
// Usage: bench-tcp [--runs N] [--small N] [--bin DIR] [--no-trace] [--dir D]
//        bench-tcp --syncs [--runs N] [--large N] [--bin DIR] [--dir D]
//   DIR holds zelta, kaldo-server and rondador (default: this program's
//   directory) and ../lib/libzeltasinsync.so beside it; --small 0 leaves out
//   the small exchange. D is where the temporary directory goes (default
//   /var/tmp: a disk, where a sync costs what it costs in the field; the
//   syncs mode refuses tmpfs, where it costs nothing). In the syncs mode N
//   is the number of small exchanges each way (default 30), --large the
//   number of 64 MiB ones (default 5).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr int kBlocksize = 4000;

std::string g_bin;

std::string Leer(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Escribir(const std::string &path, const std::string &datos) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(datos.data(), static_cast<std::streamsize>(datos.size()));
  return static_cast<bool>(f);
}

std::string Escapar(const std::string &s) {
  std::string o;
  o.reserve(s.size() + s.size() / 64);
  for (char c : s) {
    if (c == 0x03 || c == 0x08) {
      o += '\x08';
      o += static_cast<char>(c + 0x1C);
    } else {
      o += c;
    }
  }
  return o;
}

std::string Aleatorio(size_t n, unsigned semilla) {
  std::mt19937 g(semilla);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(g() & 0xFF);
  return s;
}

void Borrar(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR *d = opendir(path.c_str())) {
      while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
          Borrar(path + "/" + e->d_name);
        }
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

struct Banco {
  std::string dir;      // temp dir
  std::string prog;     // program directory with the client
  std::string raiz;     // terminal root
  std::vector<std::pair<std::string, std::string>> subida;  // files of upload/
  std::string bajada;   // download bundle file
  size_t bytesbajada = 0;
  bool asentar = false;  // write back the file system's dirty data before each run
  std::string reemplazos;  // the terminal's _zelta.rpl, if not empty
};

// Fresh upload/ and download/ for one run (the run consumes upload/).
void PrepararRaiz(const Banco &b) {
  Borrar(b.raiz);
  mkdir(b.raiz.c_str(), 0755);
  mkdir((b.raiz + "/upload").c_str(), 0755);
  mkdir((b.raiz + "/download").c_str(), 0755);
  Escribir(b.raiz + "/upload/_svl.0", "V1510512ABCDEFGH\r\n");
  for (const auto &[nombre, datos] : b.subida) Escribir(b.raiz + "/upload/" + nombre, datos);
  if (!b.reemplazos.empty()) Escribir(b.raiz + "/_zelta.rpl", b.reemplazos);
}

struct Servidor {
  pid_t pid = -1;
  int puerto = 0;
};

Servidor IniciarServidor(const Banco &b, const std::string &cruda) {
  Servidor s;
  std::string archivo = b.dir + "/puerto";
  unlink(archivo.c_str());
  s.pid = fork();
  if (s.pid == 0) {
    int nulo = open("/dev/null", O_WRONLY);
    dup2(nulo, 1);
    std::string bin = g_bin + "/kaldo-server";
    execl(bin.c_str(), bin.c_str(), "--listen", "127.0.0.1:0", "--port-file", archivo.c_str(),
          "--download", b.bajada.c_str(), "--upload-raw", cruda.c_str(), nullptr);
    _exit(127);
  }
  for (int i = 0; i < 1000 && s.puerto == 0; ++i) {
    s.puerto = atoi(Leer(archivo).c_str());
    if (s.puerto == 0) usleep(5000);
  }
  return s;
}

struct Medida {
  int estado = -1;
  double pared = 0;  // seconds
  double cpu = 0;    // user + system seconds of the client
  double usuario = 0;
  double sistema = 0;
  long llamadas = 0;
  std::map<long, long> porllamada;
};

const char *NombreLlamada(long n) {
#if defined(__x86_64__)
  switch (n) {
    case 0: return "read";
    case 1: return "write";
    case 7: return "poll";
    case 23: return "select";
    case 37: return "alarm";
    case 270: return "pselect6";
    case 271: return "ppoll";
    case 13: return "rt_sigaction";
    case 14: return "rt_sigprocmask";
    case 15: return "rt_sigreturn";
    case 8: return "lseek";
    case 44: return "sendto";
    case 45: return "recvfrom";
    case 72: return "fcntl";
    case 257: return "openat";
    case 39: return "getpid";
    case 87: return "unlink";
    case 3: return "close";
    case 9: return "mmap";
    case 5: return "fstat";
    case 262: return "newfstatat";
    case 74: return "fsync";
    case 75: return "fdatasync";
    case 306: return "syncfs";
  }
#endif
  return nullptr;
}

Servidor ServidorParaCorrida(const Banco &b) {
  PrepararRaiz(b);
  Servidor srv = IniciarServidor(b, b.dir + "/cruda.dat");
  Escribir(b.prog + "/zelta.destinos", "5 12 * - 127.0.0.1 " + std::to_string(srv.puerto) + "\n");
  return srv;
}

// The dirty data of the file system under `dir` (the last run's, or anyone
// else's) written back now, so that it is not written back during the next
// timed run, inside or outside its syncs.
void Asentar(const std::string &dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    syncfs(fd);
    close(fd);
  }
}

// Runs the client once; with `trazar` under ptrace, counting its system
// calls; with `precarga`, that library preloaded into the client alone.
Medida Correr(const Banco &b, bool trazar, const char *precarga = nullptr) {
  Medida m;
  Servidor srv = ServidorParaCorrida(b);
  std::string zelta = b.prog + "/zelta";
  std::string log = b.dir + "/zelta.log";
  if (b.asentar) Asentar(b.dir);
  auto inicio = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (precarga != nullptr) setenv("LD_PRELOAD", precarga, 1);
    if (trazar) {
      ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
      raise(SIGSTOP);
    }
    execl(zelta.c_str(), zelta.c_str(), "-t", "tcp", "-x1", "-l", log.c_str(), b.raiz.c_str(),
          nullptr);
    _exit(127);
  }
  int st = 0;
  rusage uso{};
  if (trazar) {
    wait4(pid, &st, 0, &uso);  // the SIGSTOP before exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           reinterpret_cast<void *>(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL));
    ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
    bool entrada = true;
    for (;;) {
      if (wait4(pid, &st, 0, &uso) < 0 || WIFEXITED(st) || WIFSIGNALED(st)) break;
      int senal = 0;
      if (WIFSTOPPED(st) && WSTOPSIG(st) == (SIGTRAP | 0x80)) {
        if (entrada) {
          ++m.llamadas;
#if defined(__x86_64__)
          user_regs_struct regs{};
          ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
          ++m.porllamada[static_cast<long>(regs.orig_rax)];
#endif
        }
        entrada = !entrada;
      } else if (WIFSTOPPED(st) && WSTOPSIG(st) != SIGTRAP) {
        senal = WSTOPSIG(st);  // SIGALRM and the like go through
      }
      ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(senal)));
    }
  } else {
    wait4(pid, &st, 0, &uso);
  }
  auto fin = std::chrono::steady_clock::now();
  m.estado = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  m.pared = std::chrono::duration<double>(fin - inicio).count();
  m.usuario = static_cast<double>(uso.ru_utime.tv_sec) + static_cast<double>(uso.ru_utime.tv_usec) / 1e6;
  m.sistema = static_cast<double>(uso.ru_stime.tv_sec) + static_cast<double>(uso.ru_stime.tv_usec) / 1e6;
  m.cpu = m.usuario + m.sistema;
  int sst;
  if (waitpid(srv.pid, &sst, 0) != srv.pid) kill(srv.pid, SIGKILL);
  return m;
}

double Mediana(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double Percentil99(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[static_cast<size_t>(0.99 * static_cast<double>(v.size() - 1) + 0.5)];
}

// The small exchange started by rondador (base b.dir/base, terminal "term"):
// for each run, the seconds from the marker's creation to the client's
// estado.rsp taking its place. sininotify starts the daemon with its poll alone.
std::vector<double> PorRondador(const Banco &b, int corridas, bool sininotify) {
  std::string base = b.dir + "/base";
  std::string log = b.dir + "/rondador-zelta.log";
  pid_t demonio = fork();
  if (demonio == 0) {
    int nulo = open("/dev/null", O_WRONLY);
    dup2(nulo, 1);
    dup2(nulo, 2);
    if (sininotify) setenv("RONDADOR_SIN_INOTIFY", "1", 1);
    std::string rondador = g_bin + "/rondador", zelta = b.prog + "/zelta";
    execl(rondador.c_str(), rondador.c_str(), base.c_str(), zelta.c_str(), "-x0", "-a", "-t",
          "-a", "tcp", "-a", "-x1", "-a", "-l", "-a", log.c_str(), nullptr);
    _exit(127);
  }
  std::vector<double> tiempos;
  for (int i = 0; i < corridas; ++i) {
    Servidor srv = ServidorParaCorrida(b);
    int in = inotify_init1(IN_CLOEXEC);
    // estado.rsp is written to a temporary file and renamed into place.
    inotify_add_watch(in, b.raiz.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
    // Between markers, the daemon has long gone back to waiting.
    usleep(static_cast<useconds_t>(20000 + (i * 7919) % 250000));
    auto inicio = std::chrono::steady_clock::now();
    Escribir(base + "/tx/term", "");
    bool listo = false;
    alignas(inotify_event) char buf[4096];
    pollfd pf{in, POLLIN, 0};
    while (!listo && poll(&pf, 1, 20000) == 1) {
      ssize_t n = read(in, buf, sizeof buf);
      for (ssize_t p = 0; p < n;) {
        const auto *ev = reinterpret_cast<const inotify_event *>(buf + p);
        if (ev->len > 0 && strcmp(ev->name, "estado.rsp") == 0) listo = true;
        p += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
    auto fin = std::chrono::steady_clock::now();
    close(in);
    // The client is our orphan (we are its subreaper); the server ends
    // with the session. Both are reaped before the next run.
    bool cliente = false, servidor = false;
    while (!(cliente && servidor)) {
      int st = 0;
      pid_t r = waitpid(-1, &st, 0);
      if (r == -1) break;
      if (r == srv.pid) servidor = true;
      else if (r != demonio) cliente = true;
    }
    if (!listo || Leer(b.raiz + "/estado.rsp").rfind("0:", 0) != 0) {
      fprintf(stderr, "bench-tcp: small exchange %d through rondador failed (logs in %s)\n", i,
              b.dir.c_str());
      exit(1);
    }
    tiempos.push_back(std::chrono::duration<double>(fin - inicio).count());
  }
  kill(demonio, SIGKILL);
  waitpid(demonio, nullptr, 0);
  return tiempos;
}

void ExhibirPequeno(const Banco &b, int corridas) {
  std::vector<double> propio;
  for (int i = 0; i < corridas; ++i) {
    Medida m = Correr(b, false);
    if (m.estado != 0) {
      fprintf(stderr, "bench-tcp: small exchange ended with %d\n", m.estado);
      exit(1);
    }
    propio.push_back(m.pared);
  }
  std::vector<double> inot = PorRondador(b, corridas, false);
  std::vector<double> sondeo = PorRondador(b, corridas, true);
  double base = Mediana(propio);
  printf("small exchange (1 KiB up, 1 KiB down), %d runs each, medians\n", corridas);
  printf("  client alone (zelta started directly)   %7.1f ms  (baseline)\n", base * 1e3);
  printf("  marker to estado.rsp, rondador inotify   %7.1f ms  p99 %7.1f ms  (%.2f x client alone)\n",
         Mediana(inot) * 1e3, Percentil99(inot) * 1e3, Mediana(inot) / base);
  printf("  marker to estado.rsp, rondador poll only %7.1f ms  p99 %7.1f ms  (%.2f x client alone)\n",
         Mediana(sondeo) * 1e3, Percentil99(sondeo) * 1e3, Mediana(sondeo) / base);
}

// The system calls that write a file's data back to the disk.
constexpr std::array<long, 5> kSincronizaciones = {74, 75, 306, 162, 277};  // x86-64:
// fsync, fdatasync, syncfs, sync, sync_file_range

long Sincronizaciones(const Medida &m) {
  long n = 0;
  for (long llamada : kSincronizaciones) {
    auto it = m.porllamada.find(llamada);
    if (it != m.porllamada.end()) n += it->second;
  }
  return n;
}

long Cuenta(const Medida &m, long llamada) {
  auto it = m.porllamada.find(llamada);
  return it == m.porllamada.end() ? 0 : it->second;
}

// The file system `dir` lies on, as "<type> on <device>" from the mount
// table (the entry of its device with the longest mount point above it);
// `tmpfs` is set when statfs says the memory holds it.
std::string SistemaArchivos(const std::string &dir, bool &tmpfs) {
  struct statfs sf{};
  struct stat st{};
  tmpfs = statfs(dir.c_str(), &sf) == 0 && sf.f_type == 0x01021994;  // TMPFS_MAGIC
  char real[4096];
  if (stat(dir.c_str(), &st) != 0 || realpath(dir.c_str(), real) == nullptr) return "unknown";
  std::string dispositivo = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  std::ifstream montajes("/proc/self/mountinfo");
  std::string linea, mejor = "unknown";
  size_t largo = 0;
  while (std::getline(montajes, linea)) {
    // id parent major:minor root mount-point options [tags] - type source options
    std::istringstream campos(linea);
    std::string id, padre, mm, raiz, punto, campo;
    campos >> id >> padre >> mm >> raiz >> punto;
    if (mm != dispositivo) continue;
    std::string ruta = real;
    if (punto != "/" && ruta != punto && ruta.rfind(punto + "/", 0) != 0) continue;
    if (punto.size() < largo) continue;
    while (campos >> campo && campo != "-") {}
    std::string tipo, fuente;
    campos >> tipo >> fuente;
    largo = punto.size();
    mejor = tipo + " on " + fuente + " (mounted at " + punto + ")";
  }
  return mejor;
}

std::string CargaMedia() {
  double carga[3] = {0, 0, 0};
  if (getloadavg(carga, 3) != 3) return "unknown";
  char texto[64];
  snprintf(texto, sizeof texto, "%.2f %.2f %.2f", carga[0], carga[1], carga[2]);
  return texto;
}

// Runs `b` `corridas` times with the syncs and as many without, alternating
// which goes first, and returns the wall times of each.
std::pair<std::vector<double>, std::vector<double>> ConYSinSyncs(const Banco &b, int corridas, const std::string &sinsync,
                                       const char *nombre) {
  std::vector<double> con, sin;
  for (int i = 0; i < corridas; ++i) {
    for (int k = 0; k < 2; ++k) {
      bool conSyncs = (i + k) % 2 == 0;
      Medida m = Correr(b, false, conSyncs ? nullptr : sinsync.c_str());
      if (m.estado != 0) {
        fprintf(stderr, "bench-tcp: %s exchange %s syncs ended with %d (log in %s)\n", nombre,
                conSyncs ? "with" : "without", m.estado, b.dir.c_str());
        exit(1);
      }
      (conSyncs ? con : sin).push_back(m.pared);
    }
  }
  return {con, sin};
}

// Prints the medians (and the extremes) of both, in milliseconds.
void ExhibirConYSin(const char *titulo,
                    const std::pair<std::vector<double>, std::vector<double>> &tiempos) {
  const auto &[con, sin] = tiempos;
  auto [conmin, conmax] = std::minmax_element(con.begin(), con.end());
  auto [sinmin, sinmax] = std::minmax_element(sin.begin(), sin.end());
  printf("%s\n", titulo);
  printf("  with syncs     %9.1f ms  (min %.1f, max %.1f)\n", Mediana(con) * 1e3, *conmin * 1e3,
         *conmax * 1e3);
  printf("  without syncs  %9.1f ms  (min %.1f, max %.1f)\n", Mediana(sin) * 1e3, *sinmin * 1e3,
         *sinmax * 1e3);
  printf("  ratio          %9.2f x\n", Mediana(con) / Mediana(sin));
}

// The bare cost of what the 64 MiB exchange syncs beyond the small one:
// `corridas` times, a file of `datos` written and its fsync timed alone, as
// the reading's yardstick. Returns the median in seconds.
double SincronizarSolo(const Banco &b, const std::string &datos, int corridas) {
  std::vector<double> tiempos;
  std::string ruta = b.dir + "/solo.dat";
  for (int i = 0; i < corridas; ++i) {
    Asentar(b.dir);
    Escribir(ruta, datos);
    int fd = open(ruta.c_str(), O_RDONLY | O_CLOEXEC);
    auto inicio = std::chrono::steady_clock::now();
    if (fd < 0 || fsync(fd) != 0) {
      fprintf(stderr, "bench-tcp: fsync %s: %s\n", ruta.c_str(), strerror(errno));
      exit(1);
    }
    tiempos.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count());
    close(fd);
    unlink(ruta.c_str());
  }
  return Mediana(tiempos);
}

// The small exchange on `b`'s program and terminal: a 1 KiB text file up, a
// 1 KiB ticket down (its first line `cabecera`, if given).
Banco BancoPequeno(const Banco &b, const std::string &cabecera = "") {
  Banco p = b;
  std::string linea = "0001;VENTA;00000100;ARTICULO DE PRUEBA;;\r\n";
  std::string texto;
  while (texto.size() < 1024) texto += linea;
  p.subida = {{"VENTAS.TXT", texto}};
  p.bajada = b.dir + "/bajada-chica.dat";
  Escribir(p.bajada, "[_ticket.prn]\r\n" + cabecera + texto + "[FIN]\r\n");
  return p;
}

// The --syncs mode: `pequeno` is the small exchange, `grande` the 64 MiB one.
int MedirSyncs(const Banco &pequeno, const Banco &grande, int corridas, int grandes) {
  std::string sinsync = g_bin + "/../lib/libzeltasinsync.so";
  char real[4096];
  if (realpath(sinsync.c_str(), real) == nullptr) {
    fprintf(stderr, "bench-tcp: %s: %s (build the zeltasinsync target)\n", sinsync.c_str(),
            strerror(errno));
    return 1;
  }
  sinsync = real;
  printf("load average before: %s\n", CargaMedia().c_str());

  // The count, and the proof that the library takes every sync away: a
  // sync that reached the kernel under it would be timed as "without".
  Medida con = Correr(pequeno, true);
  Medida sin = Correr(pequeno, true, sinsync.c_str());
  if (con.estado != 0 || sin.estado != 0) {
    fprintf(stderr, "bench-tcp: traced small exchange ended with %d / %d\n", con.estado,
            sin.estado);
    return 1;
  }
  std::string ticket = Leer(pequeno.raiz + "/download/_ticket.prn");
  if (ticket.rfind("TERMINAL 12\r\n", 0) != 0) {
    fprintf(stderr, "bench-tcp: the ticket was not filled in (log in %s)\n", pequeno.dir.c_str());
    return 1;
  }
  if (Sincronizaciones(sin) != 0) {
    fprintf(stderr, "bench-tcp: under %s the client still made %ld syncs\n", sinsync.c_str(),
            Sincronizaciones(sin));
    return 1;
  }

  ExhibirConYSin(("small exchange (1 KiB up, 1 KiB ticket down), median of " +
                  std::to_string(corridas) + " runs each")
                     .c_str(),
                 ConYSinSyncs(pequeno, corridas, sinsync, "small"));
  if (grandes > 0) {
    ExhibirConYSin(("exchange with a 64 MiB upload bundle (1 KiB ticket down), median of " +
                    std::to_string(grandes) + " runs each")
                       .c_str(),
                   ConYSinSyncs(grande, grandes, sinsync, "64 MiB"));
    printf("  yardstick: fsync of a freshly written 64 MiB file alone, median of %d: %.1f ms\n",
           grandes, SincronizarSolo(grande, grande.subida.front().second, grandes) * 1e3);
  }
  printf("syncs in one small exchange: %ld (fsync %ld, fdatasync %ld, syncfs %ld); "
         "under libzeltasinsync: %ld\n",
         Sincronizaciones(con), Cuenta(con, 74), Cuenta(con, 75), Cuenta(con, 306),
         Sincronizaciones(sin));
  printf("load average after: %s\n", CargaMedia().c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int corridas = 5;
  int pequenas = 30;
  bool trazar = true;
  bool syncs = false;
  bool corridasDadas = false;
  int grandes = 5;
  std::string carpeta = "/var/tmp";
  char propio[4096];
  ssize_t n = readlink("/proc/self/exe", propio, sizeof propio - 1);
  propio[n > 0 ? n : 0] = '\0';
  g_bin = propio;
  g_bin = g_bin.substr(0, g_bin.rfind('/'));
  for (int i = 1; i < argc; ++i) {
    std::string o = argv[i];
    if (o == "--runs" && i + 1 < argc) {
      corridas = std::max(1, atoi(argv[++i]));
      corridasDadas = true;
    } else if (o == "--large" && i + 1 < argc) {
      grandes = std::max(0, atoi(argv[++i]));
    } else if (o == "--dir" && i + 1 < argc) {
      carpeta = argv[++i];
    } else if (o == "--syncs") {
      syncs = true;
    } else if (o == "--small" && i + 1 < argc) {
      pequenas = std::max(0, atoi(argv[++i]));
    } else if (o == "--bin" && i + 1 < argc) {
      g_bin = argv[++i];
    } else if (o == "--no-trace") {
      trazar = false;
    } else {
      fprintf(stderr,
              "usage: bench-tcp [--runs N] [--small N] [--bin DIR] [--no-trace] [--dir D]\n"
              "       bench-tcp --syncs [--runs N] [--large N] [--bin DIR] [--dir D]\n");
      return 2;
    }
  }

  std::string plantilla = carpeta + "/bench-tcp-XXXXXX";
  if (mkdtemp(plantilla.data()) == nullptr) {
    fprintf(stderr, "bench-tcp: mkdtemp %s: %s\n", plantilla.c_str(), strerror(errno));
    return 1;
  }
  bool tmpfs = false;
  printf("temporary directory %s: %s\n", plantilla.c_str(),
         SistemaArchivos(plantilla, tmpfs).c_str());
  if (tmpfs && syncs) {
    fprintf(stderr, "bench-tcp: %s is on tmpfs, where a sync costs nothing; "
                    "give a folder on a disk with --dir\n", plantilla.c_str());
    rmdir(plantilla.c_str());
    return 1;
  }
  if (tmpfs) fprintf(stderr, "bench-tcp: warning: tmpfs, the client's syncs cost nothing here\n");
  Banco b;
  b.dir = plantilla;
  b.prog = b.dir + "/prog";
  b.raiz = b.dir + "/term";
  mkdir(b.prog.c_str(), 0755);
  if (symlink((g_bin + "/zelta").c_str(), (b.prog + "/zelta").c_str()) != 0) {
    perror("symlink");
    return 1;
  }
  Escribir(b.prog + "/zelta.conf", "MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\nBLOCKSIZE=" +
                                       std::to_string(kBlocksize) + "\nREINTENTOS=1\n");
  if (syncs) {
    // The ticket is filled in, as at a terminal with a replacement file:
    // that step syncs too.
    Banco p = BancoPequeno(b, "%A\r\n");
    p.asentar = true;
    p.reemplazos = "A=\"TERMINAL 12\"\r\n";
    Banco g = p;
    g.subida = {{"1DATOS.BIN", Aleatorio(64 * kMiB, 3)}, {"_zelta.bin", "1DATOS.BIN\r\n"}};
    int r = MedirSyncs(p, g, corridasDadas ? corridas : 30, grandes);
    if (r == 0) Borrar(b.dir);
    return r;
  }
  std::string subida = Aleatorio(kMiB, 1);
  b.subida = {{"1DATOS.BIN", subida}, {"_zelta.bin", "1DATOS.BIN\r\n"}};
  std::string contenido = Aleatorio(kMiB, 2);
  std::string paquete = "[DATOS.BIN," + std::to_string(contenido.size()) + "]\r\n" + contenido +
                        "\r\n[FIN]\r\n";
  b.bajada = b.dir + "/bajada.dat";
  Escribir(b.bajada, paquete);
  b.bytesbajada = Escapar(paquete).size();

  std::vector<double> paredes, cpus, usuarios, sistemas;
  size_t bytessubida = 0;
  for (int i = 0; i < corridas; ++i) {
    Medida m = Correr(b, false);
    if (m.estado != 0) {
      fprintf(stderr, "bench-tcp: run %d ended with %d (log in %s)\n", i + 1, m.estado,
              b.dir.c_str());
      return 1;
    }
    bytessubida = Leer(b.dir + "/cruda.dat").size();
    if (Leer(b.raiz + "/download/DATOS.BIN") != contenido) {
      fprintf(stderr, "bench-tcp: the download arrived damaged\n");
      return 1;
    }
    paredes.push_back(m.pared);
    cpus.push_back(m.cpu);
    usuarios.push_back(m.usuario);
    sistemas.push_back(m.sistema);
  }
  double bytes = static_cast<double>(bytessubida + b.bytesbajada);
  printf("exchange over TCP loopback, BLOCKSIZE %d\n", kBlocksize);
  printf("  upload  %zu bytes on the line (1 MiB file, escaped bundle)\n", bytessubida);
  printf("  download %zu bytes on the line (1 MiB file, escaped bundle)\n", b.bytesbajada);
  printf("  runs: %d (medians below)\n", corridas);
  printf("  wall time          %.3f s  (%.2f MiB/s both ways)\n", Mediana(paredes),
         bytes / kMiB / Mediana(paredes));
  printf("  client CPU time    %.3f s  (user %.3f s, system %.3f s)\n", Mediana(cpus),
         Mediana(usuarios), Mediana(sistemas));

  if (trazar) {
    Medida m = Correr(b, true);
    if (m.estado != 0) {
      fprintf(stderr, "bench-tcp: traced run ended with %d\n", m.estado);
      return 1;
    }
    printf("  client system calls %ld  (%.3f per byte carried)\n", m.llamadas,
           static_cast<double>(m.llamadas) / bytes);
    std::vector<std::pair<long, long>> orden(m.porllamada.begin(), m.porllamada.end());
    std::sort(orden.begin(), orden.end(),
              [](const auto &a, const auto &c) { return a.second > c.second; });
    for (size_t i = 0; i < orden.size() && i < 6; ++i) {
      const char *nombre = NombreLlamada(orden[i].first);
      printf("    %-14s %ld\n", nombre ? nombre : std::to_string(orden[i].first).c_str(),
             orden[i].second);
    }
  }

  if (pequenas > 0) {
    // The small exchange's clients are reaped here, not by init.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    Banco p = BancoPequeno(b);
    mkdir((b.dir + "/base").c_str(), 0755);
    mkdir((b.dir + "/base/tx").c_str(), 0755);
    p.raiz = b.dir + "/base/term";
    ExhibirPequeno(p, pequenas);
  }
  Borrar(b.dir);
  return 0;
}
