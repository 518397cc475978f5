// rondador_bench.cpp - measures the daemon rondador from outside: the delay
// from a marker's creation to the client's start, the rate at which a
// backlog of markers is drained, and CPU time and resident memory while it
// idles. The program is also its own fake client (argument --cliente-bench):
// it then writes the time it started into <root>/inicio and ends.
//
//   rondador-bench [--marcas N] [--cola N] [--ocio SEGUNDOS] [--rondador PATH]
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

pid_t Lanzar(const std::vector<std::string> &args) {
  pid_t pid = fork();
  if (pid == 0) {
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

double Percentil(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[i];
}

void Demora(const std::string &rondador, const std::string &yo, const std::string &dir, int marcas) {
  std::string base = dir + "/demora";
  mkdir(base.c_str(), 0755);
  mkdir((base + "/tx").c_str(), 0755);
  for (int i = 0; i < marcas; ++i) mkdir((base + "/t" + std::to_string(i)).c_str(), 0755);
  pid_t d = Lanzar({rondador, base, yo, "-a", "--cliente-bench", "-x0"});
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
  if (ms.empty()) return;
  printf("demora marca->cliente: %zu marcas, mediana %.1f ms, p99 %.1f ms, min %.1f ms, max %.1f ms\n",
         ms.size(), Percentil(ms, 0.5), Percentil(ms, 0.99), Percentil(ms, 0.0), Percentil(ms, 1.0));
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
  printf("  total %.2f s, %.0f marcas/s\n", total, marcas / total);
  Terminar(d);
  Cosechar();
}

void Ocio(const std::string &rondador, const std::string &dir, int segundos) {
  std::string base = dir + "/ocio";
  mkdir(base.c_str(), 0755);
  mkdir((base + "/tx").c_str(), 0755);
  pid_t d = Lanzar({rondador, base, "/bin/true"});
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto Cpu = [d] {
    std::string p = "/proc/" + std::to_string(d) + "/stat";
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
  };
  unsigned long long c0 = Cpu();
  long long t0 = AhoraNs();
  std::this_thread::sleep_for(std::chrono::seconds(segundos));
  unsigned long long c1 = Cpu();
  double s = static_cast<double>(AhoraNs() - t0) / 1e9;
  std::string status = "/proc/" + std::to_string(d) + "/status";
  FILE *f = fopen(status.c_str(), "r");
  char linea[256];
  std::string rss = "?", hwm = "?";
  while (f != nullptr && fgets(linea, sizeof linea, f) != nullptr) {
    std::string l = linea;
    l.erase(l.find_last_not_of(" \n") + 1);
    if (l.rfind("VmRSS:", 0) == 0) rss = l.substr(l.find_first_not_of(" \t", 6));
    if (l.rfind("VmHWM:", 0) == 0) hwm = l.substr(l.find_first_not_of(" \t", 6));
  }
  if (f != nullptr) fclose(f);
  double cpu = static_cast<double>(c1 - c0) / static_cast<double>(sysconf(_SC_CLK_TCK));
  printf("ocio %.0f s: CPU %.3f s (%.4f %%), VmRSS %s, VmHWM %s\n", s, cpu, 100.0 * cpu / s,
         rss.c_str(), hwm.c_str());
  Terminar(d);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[2], "--cliente-bench") == 0) return ComoCliente(argv[1]);
  int marcas = 300, cola = 10000, ocio = 60;
  std::string rondador = DirPrograma() + "/rondador";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string op = argv[i];
    if (op == "--marcas") marcas = atoi(argv[i + 1]);
    else if (op == "--cola") cola = atoi(argv[i + 1]);
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
  if (marcas > 0) Demora(rondador, yo, dir, marcas);
  fflush(stdout);
  if (cola > 0) Cola(rondador, dir, cola, "/bin/true");
  fflush(stdout);
  if (ocio > 0) Ocio(rondador, dir, ocio);
  std::string rm = "rm -rf '" + dir + "'";
  return system(rm.c_str()) == 0 ? 0 : 1;
}
