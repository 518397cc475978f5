// rondador_bench.cpp - measures the daemon rondador from outside, each
// figure beside a baseline taken in the same run:
//   - the delay from a marker's creation to the client's start, woken by
//     inotify, against the same daemon with its poll alone;
//   - a burst of markers under a cap (-m): time to drain, peak of clients
//     running, none lost or started twice, against the same burst uncapped;
//   - the rate at which a backlog of markers is drained, against this
//     program starting as many /bin/true one after the other;
//   - CPU time and resident memory while it idles, against /bin/sleep.
// The program is also its own fake client: with --cliente-bench it writes
// the time it started into <root>/inicio and ends; with --cliente-rafaga it
// counts the clients running beside it, works --trabajo milliseconds and
// ends.
//
//   rondador-bench [--marcas N] [--rafaga N] [--cap N] [--trabajo MS]
//                  [--cola N] [--ocio SEGUNDOS] [--rondador PATH]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

long long AhoraNs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

int ComoCliente(const char *raiz) {
  long long t = AhoraNs();
  std::string tmp = std::string(raiz) + "/inicio.tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  if (f == nullptr) return 1;
  fprintf(f, "%lld\n", t);
  fclose(f);
  return rename(tmp.c_str(), (std::string(raiz) + "/inicio").c_str()) == 0 ? 0 : 1;
}

// Fake client of a burst: marks itself running in <ctl>/vivos, appends its
// name and the number of clients it saw running to <ctl>/registro, works
// ms milliseconds (a client's own time), and ends.
int ComoClienteRafaga(const char *raiz, const char *ctl, long ms) {
  std::string nombre = raiz;
  nombre = nombre.substr(nombre.rfind('/') + 1);
  std::string vivos = std::string(ctl) + "/vivos", vivo = vivos + "/" + nombre;
  int fd = open(vivo.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd >= 0) close(fd);
  int n = 0;
  if (DIR *d = opendir(vivos.c_str())) {
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  char linea[300];
  int largo = snprintf(linea, sizeof linea, "%s %d\n", nombre.c_str(), n);
  fd = open((std::string(ctl) + "/registro").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0 || write(fd, linea, static_cast<size_t>(largo)) != largo) return 1;
  close(fd);
  timespec t{ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&t, nullptr);
  return unlink(vivo.c_str()) == 0 ? 0 : 1;
}

std::string DirPrograma() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string s = buf;
  return s.substr(0, s.rfind('/'));
}

void Tocar(const std::string &ruta) {
  int fd = open(ruta.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) close(fd);
}

size_t Entradas(const std::string &dir) {
  size_t n = 0;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// Reaps the clients handed to us as subreaper.
void Cosechar() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// Starts args with /dev/null as its standard streams; variable (NAME=value),
// when given, is added to its environment.
pid_t Lanzar(const std::vector<std::string> &args, const char *variable = nullptr) {
  pid_t pid = fork();
  if (pid == 0) {
    if (variable != nullptr) putenv(const_cast<char *>(variable));
    int nulo = open("/dev/null", O_RDWR);
    dup2(nulo, 0);
    dup2(nulo, 1);
    dup2(nulo, 2);
    std::vector<char *> av;
    for (const auto &a : args) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    execv(av[0], av.data());
    _exit(127);
  }
  return pid;
}

void Terminar(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// User + system CPU time of a process so far, in clock ticks.
unsigned long long CpuTicks(pid_t pid) {
  std::string p = "/proc/" + std::to_string(pid) + "/stat";
  FILE *f = fopen(p.c_str(), "r");
  char buf[1024] = "";
  if (f != nullptr) {
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    buf[n] = '\0';
    fclose(f);
  }
  const char *q = strrchr(buf, ')');
  unsigned long long ut = 0, st = 0;
  if (q != nullptr)
    sscanf(q + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st);
  return ut + st;
}

double Percentil(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[i];
}

struct Demoras {
  double mediana = 0, p99 = 0, min = 0, max = 0;
  size_t n = 0;
};

Demoras Demora(const std::string &rondador, const std::string &yo, const std::string &dir,
               int marcas, const char *variable, const char *nombre) {
  std::string base = dir + "/demora-" + nombre;
  mkdir(base.c_str(), 0755);
  mkdir((base + "/tx").c_str(), 0755);
  for (int i = 0; i < marcas; ++i) mkdir((base + "/t" + std::to_string(i)).c_str(), 0755);
  pid_t d = Lanzar({rondador, base, yo, "-a", "--cliente-bench", "-x0"}, variable);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::mt19937 azar(12345);
  std::uniform_int_distribution<int> espera(0, 249999);
  std::vector<double> ms;
  for (int i = 0; i < marcas; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(espera(azar)));
    std::string raiz = base + "/t" + std::to_string(i);
    long long t0 = AhoraNs();
    Tocar(base + "/tx/t" + std::to_string(i));
    std::string inicio = raiz + "/inicio";
    FILE *f = nullptr;
    for (int k = 0; k < 10000 && (f = fopen(inicio.c_str(), "r")) == nullptr; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      Cosechar();
    }
    if (f == nullptr) {
      printf("marca %d: el cliente no arranco en 10 s\n", i);
      continue;
    }
    long long t1 = 0;
    if (fscanf(f, "%lld", &t1) == 1) ms.push_back(static_cast<double>(t1 - t0) / 1e6);
    fclose(f);
  }
  Terminar(d);
  Cosechar();
  Demoras r;
  r.n = ms.size();
  if (ms.empty()) return r;
  r.mediana = Percentil(ms, 0.5);
  r.p99 = Percentil(ms, 0.99);
  r.min = Percentil(ms, 0.0);
  r.max = Percentil(ms, 1.0);
  printf("demora marca->cliente, %-13s %zu marcas: mediana %6.1f ms, p99 %6.1f ms, min %.1f ms, max %.1f ms\n",
         nombre, r.n, r.mediana, r.p99, r.min, r.max);
  return r;
}

void CompararDemoras(const std::string &rondador, const std::string &yo, const std::string &dir,
              int marcas) {
  Demoras sondeo = Demora(rondador, yo, dir, marcas, "RONDADOR_SIN_INOTIFY=1", "solo sondeo:");
  fflush(stdout);
  Demoras inotify = Demora(rondador, yo, dir, marcas, nullptr, "inotify:");
  if (sondeo.mediana > 0 && sondeo.p99 > 0)
    printf("  inotify / solo sondeo: mediana %.3f x, p99 %.3f x\n", inotify.mediana / sondeo.mediana,
           inotify.p99 / sondeo.p99);
}

struct Rafaga {
  double segundos = 0;
  int pico = 0;
  size_t iniciados = 0, distintos = 0, quedan = 0;
};

// A burst of marcas markers, made before the daemon starts; cap 0 runs it
// uncapped. Waits until every client has run and ended and tx/ is empty.
Rafaga UnaRafaga(const std::string &rondador, const std::string &yo, const std::string &dir,
                 int marcas, int cap, int trabajo) {
  std::string base = dir + "/rafaga" + std::to_string(cap), ctl = base + "/ctl";
  mkdir(base.c_str(), 0755);
  mkdir((base + "/tx").c_str(), 0755);
  mkdir(ctl.c_str(), 0755);
  mkdir((ctl + "/vivos").c_str(), 0755);
  for (int i = 0; i < marcas; ++i) {
    char n[32];
    snprintf(n, sizeof n, "t%05d", i);
    mkdir((base + "/" + n).c_str(), 0755);
    Tocar(base + "/tx/" + n);
  }
  std::vector<std::string> args = {rondador, base, yo, "-a", "--cliente-rafaga", "-a", ctl,
                                   "-a", std::to_string(trabajo), "-x0"};
  if (cap > 0) {
    args.push_back("-m");
    args.push_back(std::to_string(cap));
  }
  long long t0 = AhoraNs();
  pid_t d = Lanzar(args);
  Rafaga r;
  std::vector<std::string> nombres;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    Cosechar();
    if (Entradas(base + "/tx") != 0 || Entradas(ctl + "/vivos") != 0) continue;
    nombres.clear();
    r.pico = 0;
    FILE *f = fopen((ctl + "/registro").c_str(), "r");
    char nombre[64];
    int visto;
    while (f != nullptr && fscanf(f, "%63s %d", nombre, &visto) == 2) {
      nombres.push_back(nombre);
      r.pico = std::max(r.pico, visto);
    }
    if (f != nullptr) fclose(f);
    if (nombres.size() >= static_cast<size_t>(marcas)) break;
    if ((AhoraNs() - t0) / 1000000000LL > 600) break;
  }
  r.segundos = static_cast<double>(AhoraNs() - t0) / 1e9;
  Terminar(d);
  Cosechar();
  r.iniciados = nombres.size();
  std::sort(nombres.begin(), nombres.end());
  r.distintos = static_cast<size_t>(std::unique(nombres.begin(), nombres.end()) - nombres.begin());
  r.quedan = Entradas(base + "/tx");
  return r;
}

void Rafagas(const std::string &rondador, const std::string &yo, const std::string &dir,
             int marcas, int cap, int trabajo) {
  Rafaga libre = UnaRafaga(rondador, yo, dir, marcas, 0, trabajo);
  Rafaga tope = UnaRafaga(rondador, yo, dir, marcas, cap, trabajo);
  auto fila = [marcas](const char *que, const Rafaga &r) {
    printf("  %-9s %6.2f s, pico %4d clientes, %zu iniciados (%zu distintos) de %d, %zu marcas sin atender\n",
           que, r.segundos, r.pico, r.iniciados, r.distintos, marcas, r.quedan);
  };
  printf("rafaga de %d marcas, cliente de %d ms:\n", marcas, trabajo);
  fila("sin -m:", libre);
  std::string m = "-m " + std::to_string(cap) + ":";
  fila(m.c_str(), tope);
  printf("  -m %d / sin -m: %.2f x el tiempo\n", cap, tope.segundos / libre.segundos);
}

void Cola(const std::string &rondador, const std::string &dir, int marcas, const char *cliente) {
  std::string base = dir + "/cola";
  mkdir(base.c_str(), 0755);
  mkdir((base + "/tx").c_str(), 0755);
  for (int i = 0; i < marcas; ++i) {
    char n[32];
    snprintf(n, sizeof n, "t%05d", i);
    mkdir((base + "/" + n).c_str(), 0755);
    Tocar(base + "/tx/" + n);
  }
  long long t0 = AhoraNs();
  pid_t d = Lanzar({rondador, base, cliente, "-x0"});
  size_t hitos[] = {static_cast<size_t>(marcas) * 9 / 10, static_cast<size_t>(marcas) / 2,
                    static_cast<size_t>(marcas) / 10, 0};
  size_t h = 0;
  printf("cola de %d marcas, cliente %s:\n", marcas, cliente);
  long long anterior = t0;
  size_t quedaban = static_cast<size_t>(marcas);
  while (h < 4) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Cosechar();
    size_t quedan = Entradas(base + "/tx");
    while (h < 4 && quedan <= hitos[h]) {
      long long t = AhoraNs();
      double s = static_cast<double>(t - t0) / 1e9;
      double tramo = static_cast<double>(t - anterior) / 1e9;
      printf("  quedan %5zu a los %6.2f s (tramo: %.0f marcas/s)\n", hitos[h], s,
             static_cast<double>(quedaban - hitos[h]) / tramo);
      anterior = t;
      quedaban = hitos[h];
      ++h;
    }
    if ((AhoraNs() - t0) / 1000000000LL > 1200) {
      printf("  abandonado tras 20 min con %zu marcas\n", quedan);
      break;
    }
  }
  double total = static_cast<double>(AhoraNs() - t0) / 1e9;
  double cpu = static_cast<double>(CpuTicks(d)) / static_cast<double>(sysconf(_SC_CLK_TCK));
  printf("  total %.2f s, %.0f marcas/s; CPU del daemon %.2f s, %.0f us por marca\n", total,
         marcas / total, cpu, cpu * 1e6 / marcas);
  Terminar(d);
  Cosechar();
  // Baseline: the bare cost of starting as many clients, one after the
  // other, with fork, exec and wait.
  t0 = AhoraNs();
  for (int i = 0; i < marcas; ++i) {
    pid_t p = fork();
    if (p == 0) {
      execl(cliente, cliente, static_cast<char *>(nullptr));
      _exit(127);
    }
    waitpid(p, nullptr, 0);
  }
  double piso = static_cast<double>(AhoraNs() - t0) / 1e9;
  printf("  base: %d x fork+exec+wait de %s en %.2f s, %.0f/s; rondador tarda %.2f x\n", marcas,
         cliente, piso, marcas / piso, total / piso);
}

// A field of /proc/<pid>/status ("VmRSS:" ...), its value without blanks
// around; "?" when missing.
std::string Campo(pid_t pid, const char *campo) {
  std::string status = "/proc/" + std::to_string(pid) + "/status";
  FILE *f = fopen(status.c_str(), "r");
  char linea[256];
  std::string valor = "?";
  size_t largo = strlen(campo);
  while (f != nullptr && fgets(linea, sizeof linea, f) != nullptr) {
    std::string l = linea;
    l.erase(l.find_last_not_of(" \n") + 1);
    if (l.rfind(campo, 0) == 0) valor = l.substr(l.find_first_not_of(" \t", largo));
  }
  if (f != nullptr) fclose(f);
  return valor;
}

void Ocio(const std::string &rondador, const std::string &dir, int segundos) {
  std::string base = dir + "/ocio";
  mkdir(base.c_str(), 0755);
  mkdir((base + "/tx").c_str(), 0755);
  pid_t d = Lanzar({rondador, base, "/bin/true"});
  std::this_thread::sleep_for(std::chrono::seconds(1));
  unsigned long long c0 = CpuTicks(d);
  long long t0 = AhoraNs();
  std::this_thread::sleep_for(std::chrono::seconds(segundos));
  unsigned long long c1 = CpuTicks(d);
  double s = static_cast<double>(AhoraNs() - t0) / 1e9;
  std::string rss = Campo(d, "VmRSS:"), hwm = Campo(d, "VmHWM:");
  double cpu = static_cast<double>(c1 - c0) / static_cast<double>(sysconf(_SC_CLK_TCK));
  pid_t dormir = Lanzar({"/bin/sleep", "30"});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::string rssdormir = Campo(dormir, "VmRSS:");
  Terminar(dormir);
  printf("ocio %.0f s: CPU %.3f s (%.4f %%), VmRSS %s, VmHWM %s; base /bin/sleep VmRSS %s\n", s,
         cpu, 100.0 * cpu / s, rss.c_str(), hwm.c_str(), rssdormir.c_str());
  Terminar(d);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[2], "--cliente-bench") == 0) return ComoCliente(argv[1]);
  if (argc >= 5 && strcmp(argv[2], "--cliente-rafaga") == 0)
    return ComoClienteRafaga(argv[1], argv[3], atol(argv[4]));
  int marcas = 300, rafaga = 1000, cap = 4, trabajo = 20, cola = 10000, ocio = 60;
  std::string rondador = DirPrograma() + "/rondador";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string op = argv[i];
    if (op == "--marcas") marcas = atoi(argv[i + 1]);
    else if (op == "--cola") cola = atoi(argv[i + 1]);
    else if (op == "--rafaga") rafaga = atoi(argv[i + 1]);
    else if (op == "--cap") cap = atoi(argv[i + 1]);
    else if (op == "--trabajo") trabajo = atoi(argv[i + 1]);
    else if (op == "--ocio") ocio = atoi(argv[i + 1]);
    else if (op == "--rondador") rondador = argv[i + 1];
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  char plantilla[] = "/tmp/rondador-bench-XXXXXX";
  if (mkdtemp(plantilla) == nullptr) return 1;
  std::string dir = plantilla;
  std::string yo = DirPrograma() + "/rondador-bench";
  printf("rondador: %s\n", rondador.c_str());
  fflush(stdout);
  if (marcas > 0) CompararDemoras(rondador, yo, dir, marcas);
  fflush(stdout);
  if (rafaga > 0) Rafagas(rondador, yo, dir, rafaga, cap, trabajo);
  fflush(stdout);
  if (cola > 0) Cola(rondador, dir, cola, "/bin/true");
  fflush(stdout);
  if (ocio > 0) Ocio(rondador, dir, ocio);
  std::string rm = "rm -rf '" + dir + "'";
  return system(rm.c_str()) == 0 ? 0 : 1;
}
