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
// Usage: bench-tcp [--runs N] [--small N] [--bin DIR] [--no-trace]
//   DIR holds zelta, kaldo-server and rondador (default: this program's
//   directory); --small 0 leaves out the small exchange.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
};

// Fresh upload/ and download/ for one run (the run consumes upload/).
void PrepararRaiz(const Banco &b) {
  Borrar(b.raiz);
  mkdir(b.raiz.c_str(), 0755);
  mkdir((b.raiz + "/upload").c_str(), 0755);
  mkdir((b.raiz + "/download").c_str(), 0755);
  Escribir(b.raiz + "/upload/_svl.0", "V1510512ABCDEFGH\r\n");
  for (const auto &[nombre, datos] : b.subida) Escribir(b.raiz + "/upload/" + nombre, datos);
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
  }
#endif
  return nullptr;
}

// Runs the client once; with `trazar` under ptrace, counting its system
// calls.
Servidor ServidorParaCorrida(const Banco &b) {
  PrepararRaiz(b);
  Servidor srv = IniciarServidor(b, b.dir + "/cruda.dat");
  Escribir(b.prog + "/zelta.destinos", "5 12 * - 127.0.0.1 " + std::to_string(srv.puerto) + "\n");
  return srv;
}

Medida Correr(const Banco &b, bool trazar) {
  Medida m;
  Servidor srv = ServidorParaCorrida(b);
  std::string zelta = b.prog + "/zelta";
  std::string log = b.dir + "/zelta.log";
  auto inicio = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
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

}  // namespace

int main(int argc, char **argv) {
  int corridas = 5;
  int pequenas = 30;
  bool trazar = true;
  char propio[4096];
  ssize_t n = readlink("/proc/self/exe", propio, sizeof propio - 1);
  propio[n > 0 ? n : 0] = '\0';
  g_bin = propio;
  g_bin = g_bin.substr(0, g_bin.rfind('/'));
  for (int i = 1; i < argc; ++i) {
    std::string o = argv[i];
    if (o == "--runs" && i + 1 < argc) {
      corridas = std::max(1, atoi(argv[++i]));
    } else if (o == "--small" && i + 1 < argc) {
      pequenas = std::max(0, atoi(argv[++i]));
    } else if (o == "--bin" && i + 1 < argc) {
      g_bin = argv[++i];
    } else if (o == "--no-trace") {
      trazar = false;
    } else {
      fprintf(stderr, "usage: bench-tcp [--runs N] [--small N] [--bin DIR] [--no-trace]\n");
      return 2;
    }
  }

  char plantilla[] = "/tmp/bench-tcp-XXXXXX";
  if (mkdtemp(plantilla) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
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
    Banco p = b;
    mkdir((b.dir + "/base").c_str(), 0755);
    mkdir((b.dir + "/base/tx").c_str(), 0755);
    p.raiz = b.dir + "/base/term";
    std::string linea = "0001;VENTA;00000100;ARTICULO DE PRUEBA;;\r\n";
    std::string texto;
    while (texto.size() < 1024) texto += linea;
    p.subida = {{"VENTAS.TXT", texto}};
    p.bajada = b.dir + "/bajada-chica.dat";
    Escribir(p.bajada, "[_ticket.prn]\r\n" + texto + "[FIN]\r\n");
    ExhibirPequeno(p, pequenas);
  }
  Borrar(b.dir);
  return 0;
}
