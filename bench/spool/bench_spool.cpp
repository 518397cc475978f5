// bench_spool.cpp - throughput of the upload bundle build (ArmarArchivo) and
// the download split (DesarmarArchivosBIN) on many small files and on one
// large file, beside `tar cf`, `tar xf` and `cat` of the same data in the
// same run, with the ratio of build to `tar cf` and of split to `tar xf`, in
// wall time and in CPU time (the tools' CPU time includes the shell that
// starts them).
// Usage: bench-spool [--small N] [--small-size BYTES] [--large MIB]
// [--runs R] [--dir DIR]
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bundle.h"
#include "control.h"

namespace {

using Reloj = std::chrono::steady_clock;

struct Opciones {
  int pequenos = 2000;
  size_t tamano = 1024;
  size_t grande_mib = 64;
  int corridas = 3;
  std::string dir = "/tmp";
};

void Escribir(const std::string &path, const std::string &datos) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(datos.data(), 1, datos.size(), f) != datos.size()) {
    perror(path.c_str());
    exit(1);
  }
  fclose(f);
}

// Copies a bundle removing the 0x08 escapes (0x08 x stands for x - 0x1C).
void Desescapar(const std::string &origen, const std::string &destino) {
  FILE *in = fopen(origen.c_str(), "rb");
  FILE *out = fopen(destino.c_str(), "wb");
  if (in == nullptr || out == nullptr) {
    perror("desescapar");
    exit(1);
  }
  int c;
  while ((c = getc(in)) != EOF) {
    if (c == 0x08 && (c = getc(in)) != EOF) c -= 0x1C;
    putc(c, out);
  }
  fclose(in);
  fclose(out);
  unlink(origen.c_str());
}

int Sistema(const std::string &cmd) {
  int r = system(cmd.c_str());
  if (r != 0) {
    fprintf(stderr, "fallo: %s\n", cmd.c_str());
    exit(1);
  }
  return r;
}

double Segundos(Reloj::time_point a) {
  return std::chrono::duration<double>(Reloj::now() - a).count();
}

// User + system CPU seconds of this process (RUSAGE_SELF) or of its
// waited-for children (RUSAGE_CHILDREN) so far.
double Cpu(int quien) {
  rusage u{};
  getrusage(quien, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Mediana(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Fills dir/upload with the data set; returns its size in bytes. Text files
// hold printable lines; the large file is random bytes sent as binary.
size_t Preparar(const std::string &raiz, const Opciones &o, bool grande, std::mt19937 &rng) {
  Sistema("rm -rf '" + raiz + "' && mkdir -p '" + raiz + "/upload' '" + raiz + "/download'");
  Escribir(raiz + "/upload/_svl.0", "V1510512ABCDEFGH\r\n");
  size_t total = 0;
  if (grande) {
    std::string datos(o.grande_mib << 20, '\0');
    for (auto &c : datos) c = static_cast<char>(rng());
    Escribir(raiz + "/upload/grande.bin", datos);
    Escribir(raiz + "/upload/_zelta.bin", "grande.bin\n");
    return datos.size();
  }
  std::string linea = "0001;VENTA;00000100;ARTICULO DE PRUEBA;;\r\n";
  for (int i = 0; i < o.pequenos; i++) {
    std::string datos;
    while (datos.size() < o.tamano) datos += linea;
    datos.resize(o.tamano);
    char nombre[32];
    snprintf(nombre, sizeof nombre, "/upload/f%05d.txt", i);
    Escribir(raiz + nombre, datos);
    total += datos.size();
  }
  return total;
}

void Medir(const char *caso, const std::string &raiz, const Opciones &o, bool grande) {
  std::mt19937 rng(42);
  std::vector<double> armar, desarmar, tarc, tarx, cat;
  // CPU time, less at the mercy of other load than wall time.
  std::vector<double> armarcpu, desarmarcpu, tarccpu, tarxcpu;
  size_t total = 0, bundle = 0;
  for (int r = 0; r < o.corridas; r++) {
    total = Preparar(raiz, o, grande, rng);
    // Reference tools over the same files first (they leave them in place).
    auto t = Reloj::now();
    double c = Cpu(RUSAGE_CHILDREN);
    Sistema("tar cf '" + raiz + "/ref.tar' -C '" + raiz + "' upload");
    tarc.push_back(Segundos(t));
    tarccpu.push_back(Cpu(RUSAGE_CHILDREN) - c);
    t = Reloj::now();
    Sistema("cat '" + raiz + "'/upload/* > '" + raiz + "/ref.cat'");
    cat.push_back(Segundos(t));
    Sistema("mkdir -p '" + raiz + "/refx'");
    t = Reloj::now();
    c = Cpu(RUSAGE_CHILDREN);
    Sistema("tar xf '" + raiz + "/ref.tar' -C '" + raiz + "/refx'");
    tarx.push_back(Segundos(t));
    tarxcpu.push_back(Cpu(RUSAGE_CHILDREN) - c);
    Sistema("rm -rf '" + raiz + "/ref.tar' '" + raiz + "/ref.cat' '" + raiz + "/refx'");

    g_corrida.raiz = raiz;
    t = Reloj::now();
    c = Cpu(RUSAGE_SELF);
    int rc = ArmarArchivo();
    armar.push_back(Segundos(t));
    armarcpu.push_back(Cpu(RUSAGE_SELF) - c);
    if (rc != 0) {
      fprintf(stderr, "ArmarArchivo: %d\n", rc);
      exit(1);
    }
    struct stat st;
    stat((raiz + "/upload/input.dat").c_str(), &st);
    bundle = static_cast<size_t>(st.st_size);
    // The bundle just built, with its escaping removed as the session does
    // when it stores what it receives, is a valid download bundle.
    Desescapar(raiz + "/upload/input.dat", raiz + "/download/output.dat");
    t = Reloj::now();
    c = Cpu(RUSAGE_SELF);
    rc = DesarmarArchivosBIN();
    desarmar.push_back(Segundos(t));
    desarmarcpu.push_back(Cpu(RUSAGE_SELF) - c);
    if (rc != 0) {
      fprintf(stderr, "DesarmarArchivosBIN: %d\n", rc);
      exit(1);
    }
  }
  double mib = static_cast<double>(total) / (1 << 20);
  // With a baseline (base > 0, cpubase > 0): the ratios to it. cpu < 0:
  // not measured.
  auto fila = [&](const char *que, double s, double base, double cpu, double cpubase) {
    char razon[32] = "", tcpu[32] = "", razoncpu[32] = "";
    if (base > 0) snprintf(razon, sizeof razon, "%.2f x", s / base);
    if (cpu >= 0) snprintf(tcpu, sizeof tcpu, "%.3f s", cpu);
    if (cpubase > 0) snprintf(razoncpu, sizeof razoncpu, "%.2f x", cpu / cpubase);
    printf("| %s | %s | %.3f s | %.1f MiB/s | %s | %s | %s |\n", caso, que, s, mib / s, razon,
           tcpu, razoncpu);
  };
  printf("\n%s: %.1f MiB of data, bundle %zu bytes, median of %d runs\n\n", caso, mib, bundle,
         o.corridas);
  printf("| data set | operation | time | throughput | ratio | CPU time | CPU ratio |\n"
         "|---|---|---|---|---|---|---|\n");
  fila("build (ArmarArchivo)", Mediana(armar), Mediana(tarc), Mediana(armarcpu),
       Mediana(tarccpu));
  fila("tar cf", Mediana(tarc), 0, Mediana(tarccpu), 0);
  fila("cat", Mediana(cat), 0, -1, 0);
  fila("split (DesarmarArchivosBIN)", Mediana(desarmar), Mediana(tarx), Mediana(desarmarcpu),
       Mediana(tarxcpu));
  fila("tar xf", Mediana(tarx), 0, Mediana(tarxcpu), 0);
}

}  // namespace

int main(int argc, char **argv) {
  Opciones o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--small") o.pequenos = atoi(argv[i + 1]);
    else if (a == "--small-size") o.tamano = static_cast<size_t>(atol(argv[i + 1]));
    else if (a == "--large") o.grande_mib = static_cast<size_t>(atol(argv[i + 1]));
    else if (a == "--runs") o.corridas = std::max(1, atoi(argv[i + 1]));
    else if (a == "--dir") o.dir = argv[i + 1];
  }
  FILE *nulo = fopen("/dev/null", "w");
  FijarSalidaLog(nulo);
  g_corrida.debuglevel = 0;
  g_corrida.hostid = std::string(32, 'f');
  std::string raiz = o.dir + "/bench-spool." + std::to_string(getpid());
  char nombre[64];
  snprintf(nombre, sizeof nombre, "%d small files of %zu bytes", o.pequenos, o.tamano);
  Medir(nombre, raiz, o, false);
  snprintf(nombre, sizeof nombre, "one file of %zu MiB", o.grande_mib);
  Medir(nombre, raiz, o, true);
  Sistema("rm -rf '" + raiz + "'");
  return 0;
}
