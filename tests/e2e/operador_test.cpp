// What an operator runs besides exchanges: zelta -s over a base directory,
// zelta -c over the configuration, --version on both programs, and the
// test peers' --help.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <map>
#include <sstream>

#include "support.h"

namespace {

using prueba::ReadFile;
using prueba::WriteFile;

using prueba::Lineas;

// ---------------------------------------------------------------- -s

// A base directory with one terminal of each kind an operator meets.
struct Tablero : ::testing::Test {
  prueba::TempDir dir;
  std::string base, zelta;
  pid_t vivo = -1;

  void SetUp() override {
    zelta = prueba::Bin("zelta");
    base = dir / "base";
    prueba::MakeDir(base);
    prueba::MakeDir(base + "/tx", 01777);
    vivo = fork();
    if (vivo == 0) {
      pause();
      _exit(0);
    }
  }
  void TearDown() override {
    kill(vivo, SIGKILL);
    waitpid(vivo, nullptr, 0);
    for (pid_t p : atienden) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
    }
  }
  std::vector<pid_t> atienden;
  // A process that serves base as a rondador does: it holds flock(LOCK_EX)
  // on <base>/.rondador.lck. As with a rondador started with -d, the lock is
  // taken before a fork, so /proc/locks names this test, not the holder.
  // Returns the holder's pid.
  pid_t Atender(const std::string &b) {
    int fd = open((b + "/.rondador.lck").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    pid_t p = fork();
    if (p == 0) {
      pause();
      _exit(0);
    }
    close(fd);
    atienden.push_back(p);
    return p;
  }
  std::string Terminal(const std::string &nombre, const char *estado) {
    std::string raiz = base + "/" + nombre;
    prueba::MakeDir(raiz);
    if (estado != nullptr) WriteFile(raiz + "/estado.rsp", estado);
    return raiz;
  }
  std::string Lock(pid_t pid) {
    char buf[16];
    snprintf(buf, sizeof buf, "%10d\n", static_cast<int>(pid));
    return buf;
  }
  // The terminals whose state is healthy: last result 0, never run,
  // running now, waiting in tx/.
  void Sanos() {
    Terminal("ok", "0: Conexion OK\r\n");
    Terminal("nuevo", nullptr);
    WriteFile(Terminal("corre", "0: Conexion OK\r\n") + "/_zelta.lck", Lock(vivo));
    Terminal("cola", "0: Conexion OK\r\n");
    WriteFile(base + "/tx/COLA", "");  // the daemon folds it to cola
    WriteFile(base + "/tx/cola", "");
    // A lock left by a run that is gone is taken over: not a problem.
    pid_t muerto = fork();
    if (muerto == 0) _exit(0);
    waitpid(muerto, nullptr, 0);
    WriteFile(Terminal("viejo", "0: Conexion OK\r\n") + "/_zelta.lck", Lock(muerto));
    // Not terminals: tx/, a file, a link to a directory, a dot name.
    WriteFile(base + "/notas.txt", "x");
    ASSERT_EQ(symlink(Terminal(".oculta", "5: No se pudo conectar\r\n").c_str(), (base + "/enlace").c_str()), 0);
  }
  prueba::RunResult Estado(bool tabulado) {
    std::vector<std::string> argv = {zelta, "-s", base};
    if (tabulado) argv = {zelta, base, "-q", "-s"};  // any order
    return prueba::Run(argv, 20000);
  }
};

TEST_F(Tablero, HealthyTerminalsExitZero) {
  ASSERT_NO_FATAL_FAILURE(Sanos());
  Atender(base);  // the markers in tx/ have a rondador to take them
  auto r = Estado(true);
  EXPECT_EQ(r.status, 0) << r.output;
  auto mtime = [&](const char *t) {
    struct stat st {};
    stat((base + "/" + t + "/estado.rsp").c_str(), &st);
    return std::to_string(st.st_mtime);
  };
  // Sorted by name; fields: name, code, text, mtime of estado.rsp, pid of
  // the run, markers, retained .subida, .dudosa, .respuesta.
  EXPECT_EQ(Lineas(r.output), (std::vector<std::string>{
                                  "cola\t0\tConexion OK\t" + mtime("cola") + "\t-\t2\t0\t0\t0",
                                  "corre\t0\tConexion OK\t" + mtime("corre") + "\t" +
                                      std::to_string(vivo) + "\t0\t0\t0\t0",
                                  "nuevo\t-\t-\t-\t-\t0\t0\t0\t0",
                                  "ok\t0\tConexion OK\t" + mtime("ok") + "\t-\t0\t0\t0\t0",
                                  "viejo\t0\tConexion OK\t" + mtime("viejo") + "\t-\t0\t0\t0\t0",
                              }));
}

TEST_F(Tablero, FailedRetainedAndBlockedTerminalsExitOne) {
  ASSERT_NO_FATAL_FAILURE(Sanos());
  Atender(base);
  Terminal("fallo", "5: No se pudo conectar\r\n");
  std::string ret = Terminal("retiene", "2: Perdida de portadora\r\n") + "/retenidos";
  prueba::MakeDir(ret);
  for (const char *n : {"20261210040000-10.subida", "20261210040100-11.subida",
                        "20261210040200-12.dudosa", "20261210040300-13.respuesta"}) {
    WriteFile(ret + "/" + n, "[FIN]\r\n");
  }
  prueba::MakeDir(ret + "/20261210040000-10");  // an answer split by a resend
  ASSERT_EQ(symlink("/etc/hostname", (ret + "/enlace.subida").c_str()), 0);
  // A terminal user's tricks: estado.rsp as a link to a file that says 0,
  // a FIFO as the lock (must neither block nor count as running), control
  // bytes in the text.
  WriteFile(dir / "secreto", "0: Conexion OK\r\n");
  std::string hostil = Terminal("hostil", nullptr);
  ASSERT_EQ(symlink((dir / "secreto").c_str(), (hostil + "/estado.rsp").c_str()), 0);
  mkfifo((hostil + "/_zelta.lck").c_str(), 0644);
  Terminal("raro", "3: Abortado\x1b[2J por\texceso\xc2\x9b" "2J\xe2\x80\xae\r\n");
  // An empty lock blocks every run until someone deletes it.
  WriteFile(Terminal("vacio", "0: Conexion OK\r\n") + "/_zelta.lck", "");

  auto r = Estado(true);
  EXPECT_EQ(r.status, 1) << r.output;
  std::string t = r.output;
  EXPECT_NE(t.find("\nfallo\t5\tNo se pudo conectar\t"), std::string::npos) << t;
  EXPECT_NE(t.find("\nhostil\t?\t?\t-\tbloqueado\t0\t0\t0\t0\n"), std::string::npos) << t;
  // Control bytes, a C1 CSI and a right-to-left override, all as \xNN.
  EXPECT_NE(t.find("\nraro\t3\tAbortado\\x1b[2J por\\x09exceso\\xc2\\x9b2J\\xe2\\x80\\xae\t"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("\t-\t0\t2\t1\t1\n"), std::string::npos) << t;  // retiene
  EXPECT_NE(t.find("\nvacio\t0\tConexion OK\t"), std::string::npos) << t;
  EXPECT_NE(t.find("\tbloqueado\t0\t0\t0\t0\n"), std::string::npos) << t;

  // For people: a header and aligned columns.
  r = Estado(false);
  EXPECT_EQ(r.status, 1);
  auto lineas = Lineas(r.output);
  ASSERT_GE(lineas.size(), 2u);
  EXPECT_EQ(lineas[0].rfind("TERMINAL", 0), 0u) << r.output;
  size_t fecha = lineas[0].find("FECHA"), retenidos = lineas[0].find("RETENIDOS");
  bool visto = false;
  for (const auto &l : lineas) {
    if (l.rfind("retiene ", 0) != 0) continue;
    visto = true;
    EXPECT_EQ(l.substr(fecha, 2), "20") << l;  // the date starts under FECHA
    EXPECT_EQ(l.substr(retenidos), "2 subida, 1 dudosa, 1 respuesta") << l;
  }
  EXPECT_TRUE(visto) << r.output;
  EXPECT_NE(r.output.find("pid " + std::to_string(vivo)), std::string::npos);
}

TEST_F(Tablero, MissingBaseDirectoryIsUnknown) {
  for (const char *modo : {"-s", "-sq", "-sj"}) {
    auto r = prueba::Run({zelta, modo, dir / "nada"}, 20000);
    EXPECT_EQ(r.status, 3) << modo;
    EXPECT_NE(r.output.find("No se pudo abrir el directorio " + dir / "nada"), std::string::npos);
  }
}

// Sets the modification time of ruta to edad seconds ago.
void Envejecer(const std::string &ruta, long edad) {
  timespec t[2];
  clock_gettime(CLOCK_REALTIME, &t[0]);
  t[0].tv_sec -= edad;
  t[1] = t[0];
  ASSERT_EQ(utimensat(AT_FDCWD, ruta.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << ruta;
}

// The path of programa on PATH, "" when it is not installed.
std::string Programa(const char *programa) {
  auto r = prueba::Run({"/bin/sh", "-c", std::string("command -v ") + programa}, 10000);
  if (r.status != 0) return "";
  while (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
  return r.output;
}
bool HayPrograma(const char *programa) { return !Programa(programa).empty(); }

// jq's answer to filtro over the JSON document json; "" with a failure when
// the document does not parse.
std::string Jq(const prueba::TempDir &dir, const std::string &json, const std::string &filtro) {
  std::string archivo = dir / "salida.json";
  WriteFile(archivo, json);
  auto r = prueba::Run({Programa("jq"), "-r", filtro, archivo}, 10000);
  EXPECT_EQ(r.status, 0) << json << r.output;
  if (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
  return r.output;
}

TEST_F(Tablero, ExitStatusIsTheWorstStateFound) {
  const long minuto = 60, hora = 3600;
  struct Caso {
    const char *nombre;
    std::function<void(Tablero &)> preparar;
    std::vector<std::string> opciones;
    int estado;
    const char *nota;  // a line the output for people must hold ("" none)
  } casos[] = {
      {"all well, no rondador and nothing queued", [](Tablero &t) { t.Terminal("ok", "0: Conexion OK\r\n"); },
       {}, 0, "Rondador: ninguno atiende esta base"},
      {"a fresh marker and a rondador serving",
       [](Tablero &t) {
         t.Terminal("ok", "0: Conexion OK\r\n");
         WriteFile(t.base + "/tx/ok", "");
         t.Atender(t.base);
       },
       {}, 0, "En cola: 1 marcas, la mas antigua de hace "},
      {"a failed last result", [](Tablero &t) { t.Terminal("f", "5: No se pudo conectar\r\n"); }, {}, 1,
       "Chequeo: 1 aviso"},
      {"a retained bundle",
       [](Tablero &t) {
         prueba::MakeDir(t.Terminal("r", "0: Conexion OK\r\n") + "/retenidos", 0750);
         WriteFile(t.base + "/r/retenidos/20200101000000-1.subida", "[FIN]\r\n");
       },
       {}, 1, ""},
      {"an answer folder is listed, not a problem",
       [](Tablero &t) {
         prueba::MakeDir(t.Terminal("r", "0: Conexion OK\r\n") + "/retenidos", 0750);
         prueba::MakeDir(t.base + "/r/retenidos/20200101000000-1", 0750);
       },
       {}, 0, "Carpeta de respuesta: r/retenidos/20200101000000-1 ("},
      {"markers wait and no rondador holds the base",
       [](Tablero &t) {
         t.Terminal("ok", "0: Conexion OK\r\n");
         WriteFile(t.base + "/tx/ok", "");
       },
       {}, 2, "Chequeo: 2 critico"},
      {"a marker waits longer than 10 minutes",
       [&](Tablero &t) {
         t.Terminal("ok", "0: Conexion OK\r\n");
         WriteFile(t.base + "/tx/ok", "");
         Envejecer(t.base + "/tx/ok", 11 * minuto);
         t.Atender(t.base);
       },
       {}, 2, "En cola: 1 marcas, la mas antigua de hace 11 min (mas de 10 min)"},
      {"-w 15 lets it wait",
       [&](Tablero &t) {
         t.Terminal("ok", "0: Conexion OK\r\n");
         WriteFile(t.base + "/tx/ok", "");
         Envejecer(t.base + "/tx/ok", 11 * minuto);
         t.Atender(t.base);
       },
       {"-w", "15"}, 0, ""},
      {"-w0 lets none wait",
       [&](Tablero &t) {
         WriteFile(t.base + "/tx/otro", "");  // a marker of no terminal counts too
         Envejecer(t.base + "/tx/otro", minuto);
         t.Atender(t.base);
       },
       {"-w0"}, 2, ""},
      {"a result older than -e",
       [&](Tablero &t) { Envejecer(t.Terminal("ok", "0: Conexion OK\r\n") + "/estado.rsp", 30 * hora); },
       {"-e", "24"}, 1, "Resultado antiguo: ok, del "},
      {"a result within -e",
       [&](Tablero &t) { Envejecer(t.Terminal("ok", "0: Conexion OK\r\n") + "/estado.rsp", 30 * hora); },
       {"-e48"}, 0, ""},
      {"no limit on age without -e",
       [&](Tablero &t) { Envejecer(t.Terminal("ok", "0: Conexion OK\r\n") + "/estado.rsp", 30 * 24 * hora); },
       {}, 0, ""},
      {"the worst state wins",
       [](Tablero &t) {
         t.Terminal("f", "5: No se pudo conectar\r\n");
         WriteFile(t.base + "/tx/f", "");
       },
       {}, 2, ""},
      {"a metrics file that cannot be written", [](Tablero &t) { t.Terminal("ok", "0: Conexion OK\r\n"); },
       {"-P", dir / "no/hay/m.prom"}, 3, ""},
  };
  int n = 0;
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    base = dir / ("base" + std::to_string(++n));
    prueba::MakeDir(base);
    prueba::MakeDir(base + "/tx", 01777);
    ASSERT_NO_FATAL_FAILURE(c.preparar(*this));
    for (const char *modo : {"-s", "-sq", "-sj"}) {
      std::vector<std::string> argv = {zelta, modo};
      argv.insert(argv.end(), c.opciones.begin(), c.opciones.end());
      argv.push_back(base);
      auto r = prueba::Run(argv, 20000);
      EXPECT_EQ(r.status, c.estado) << modo << "\n" << r.output;
      if (std::string(modo) == "-s") {
        EXPECT_NE(r.output.find("\nChequeo: " + std::to_string(c.estado) + " "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(std::string("\n") + c.nota), std::string::npos) << r.output;
      }
      if (std::string(modo) == "-sj" && c.estado != 3 && HayPrograma("jq")) {
        EXPECT_EQ(Jq(dir, r.output, ".estado"), std::to_string(c.estado));
      }
    }
  }
}

TEST_F(Tablero, FindsTheRealRondadorServingTheBase) {
  Terminal("ok", "0: Conexion OK\r\n");
  auto pidRondador = [&]() -> long {
    auto r = prueba::Run({zelta, "-s", base}, 20000);
    size_t p = r.output.find("\nRondador: pid ");
    return p == std::string::npos ? 0 : atol(r.output.c_str() + p + 15);
  };
  // In the foreground it is the process that took the lock; with -d the
  // process that took it is gone and a grandchild holds it.
  for (bool demonio : {false, true}) {
    SCOPED_TRACE(demonio ? "-d" : "foreground");
    std::vector<std::string> argv = {prueba::Bin("rondador"), base, "/bin/true"};
    if (demonio) argv.insert(argv.end(), {"-d", "-l", dir / "rondador.log"});
    prueba::Spawned d = prueba::Spawn(argv);
    // With -d the process started and the first child (the session leader)
    // hold the lock too for a moment: wait for the grandchild that stays.
    if (demonio) {
      EXPECT_EQ(d.Wait(10000), 0);
    }
    long pid = 0;
    auto esRondador = [&] {
      std::string cmd = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
      if (cmd.find(base) == std::string::npos) return false;
      if (!demonio) return pid == d.pid;
      pid_t sesion = getsid(static_cast<pid_t>(pid));
      return pid != d.pid && sesion > 0 && sesion != pid;
    };
    ASSERT_TRUE(prueba::WaitUntil([&] { return (pid = pidRondador()) > 0 && esRondador(); }, 10000))
        << pid << "\n" << prueba::Run({zelta, "-s", base}).output;
    atienden.push_back(static_cast<pid_t>(pid));  // killed in TearDown whatever happens
    if (demonio) {
      EXPECT_NE(pid, d.pid);
    }
    auto r = prueba::Run({zelta, "-s", base}, 20000);
    EXPECT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGTERM), 0);
    ASSERT_TRUE(prueba::WaitUntil([&] { return pidRondador() == 0; }, 10000));
    atienden.pop_back();  // it has let go of the base: never signal its pid again
    r = prueba::Run({zelta, "-s", base}, 20000);
    EXPECT_NE(r.output.find("\nRondador: ninguno atiende esta base\n"), std::string::npos) << r.output;
    // Now a marker has nobody to take it.
    WriteFile(base + "/tx/ok", "");
    EXPECT_EQ(prueba::Run({zelta, "-sq", base}).status, 2);
    unlink((base + "/tx/ok").c_str());
  }
}

// ---------------------------------------------------------------- -j and -P

// A terminal user names a root and words a status to break the format.
const std::string kNombreHostil = "a\"b\\c{d}=\x1b\n\t,";
const std::string kNombreVisto = "a\"b\\c{d}=\\x1b\\x0a\\x09,";

TEST_F(Tablero, JsonParsesWhateverTheRootsHold) {
  if (!HayPrograma("jq")) GTEST_SKIP() << "jq is not installed";
  std::string raiz = Terminal(kNombreHostil, "3: Abortado \"x\" \\ \x01\r\n");
  prueba::MakeDir(raiz + "/retenidos", 0750);
  prueba::MakeDir(raiz + "/retenidos/20200101000000-1", 0750);
  WriteFile(raiz + "/retenidos/20200101000000-2.dudosa", "");
  Terminal("nuevo", nullptr);
  pid_t p = Atender(base);
  auto r = prueba::Run({zelta, "-sj", base}, 20000);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_EQ(Jq(dir, r.output,
               "[.estado, .rondador.pid, .totales.terminales, .totales.retenidos, .totales.carpetas, "
               ".marcas.en_cola] | map(tostring) | join(\" \")"),
            "1 " + std::to_string(p) + " 2 1 1 0");
  EXPECT_EQ(Jq(dir, r.output, ".terminales[0].nombre"), kNombreVisto);
  EXPECT_EQ(Jq(dir, r.output, ".terminales[0].texto"), "Abortado \"x\" \\ \\x01");
  EXPECT_EQ(Jq(dir, r.output,
               ".terminales[0] | [.codigo, .retenidos.dudosa, .carpetas[0].nombre, .corriendo] | "
               "map(tostring) | join(\" \")"),
            "3 1 20200101000000-1 null");
  EXPECT_EQ(Jq(dir, r.output, ".terminales[1] | [.nombre, .codigo, .edad] | map(tostring) | join(\" \")"),
            "nuevo null null");
}

// One sample of the text exposition format.
struct Muestra {
  std::string nombre;
  std::map<std::string, std::string> etiquetas;  // values unescaped
  double valor = 0;
};

bool NombreMetrica(const std::string &n, bool etiqueta) {
  if (n.empty() || isdigit(static_cast<unsigned char>(n[0]))) return false;
  for (char c : n) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && (etiqueta || c != ':')) return false;
  }
  return true;
}

// Reads texto as node_exporter's textfile collector would: every line a
// "# HELP name ...", "# TYPE name gauge" or "name{label="value",...} number",
// a family's HELP and TYPE before its samples, which come together. Returns
// "" or the first fault, with the samples read.
std::string LeerExposicion(const std::string &texto, std::vector<Muestra> &muestras) {
  std::map<std::string, int> ayuda, tipo;
  std::string actual;
  std::vector<std::string> cerradas;
  for (const std::string &l : Lineas(texto)) {
    if (l.rfind("# ", 0) == 0) {
      std::istringstream in(l.substr(2));
      std::string clase, nombre, resto;
      in >> clase >> nombre;
      std::getline(in, resto);
      if (!NombreMetrica(nombre, false)) return "bad name: " + l;
      if (clase == "HELP") ayuda[nombre]++;
      else if (clase == "TYPE" && resto == " gauge") tipo[nombre]++;
      else return "bad comment: " + l;
      if (ayuda[nombre] > 1 || tipo[nombre] > 1) return "repeated: " + l;
      continue;
    }
    Muestra m;
    size_t llave = l.find('{');
    if (llave == std::string::npos) return "no labels: " + l;
    m.nombre = l.substr(0, llave);
    if (!NombreMetrica(m.nombre, false)) return "bad name: " + l;
    if (ayuda[m.nombre] != 1 || tipo[m.nombre] != 1) return "sample before HELP and TYPE: " + l;
    if (m.nombre != actual) {
      for (const auto &c : cerradas) {
        if (c == m.nombre) return "family split: " + l;
      }
      if (!actual.empty()) cerradas.push_back(actual);
      actual = m.nombre;
    }
    size_t i = llave + 1;
    while (i < l.size() && l[i] != '}') {
      size_t igual = l.find("=\"", i);
      if (igual == std::string::npos) return "bad label: " + l;
      std::string clave = l.substr(i, igual - i), valor;
      if (!NombreMetrica(clave, true) || m.etiquetas.count(clave) != 0) return "bad label name: " + l;
      for (i = igual + 2; i < l.size() && l[i] != '"'; i++) {
        if (l[i] == '\\') {
          if (++i == l.size()) return "bad escape: " + l;
          if (l[i] == 'n') valor += '\n';
          else if (l[i] == '\\' || l[i] == '"') valor += l[i];
          else return "bad escape: " + l;
        } else {
          valor += l[i];
        }
      }
      if (i == l.size()) return "open label value: " + l;
      m.etiquetas[clave] = valor;
      i++;
      if (i < l.size() && l[i] == ',') i++;
    }
    if (i + 2 > l.size() || l[i] != '}' || l[i + 1] != ' ') return "bad sample: " + l;
    std::string numero = l.substr(i + 2);
    char *fin = nullptr;
    m.valor = strtod(numero.c_str(), &fin);
    if (numero.empty() || *fin != '\0') return "bad value: " + l;
    muestras.push_back(m);
  }
  return "";
}

TEST(Exposicion, TheReaderRefusesWhatTheCollectorWould) {
  const std::string cabeza = "# HELP m x\n# TYPE m gauge\n";
  for (const auto &[texto, falla] : std::vector<std::pair<std::string, bool>>{
           {cabeza + "m{a=\"1\"} 1\n", false},
           {cabeza + "m{a=\"x\\\"y\\\\z\\n\"} 1\n", false},
           {"m{a=\"1\"} 1\n" + cabeza, true},
           {cabeza + "m{a=\"1\"} uno\n", true},
           {cabeza + "m{a=\"1\\x\"} 1\n", true},
           {cabeza + "m{a=\"1} 1\n", true},
           {cabeza + "m{a=\"1\",a=\"2\"} 1\n", true},
           {cabeza + "# HELP n y\n# TYPE n gauge\nm{a=\"1\"} 1\nn{a=\"1\"} 1\nm{a=\"2\"} 1\n", true},
       }) {
    std::vector<Muestra> m;
    EXPECT_EQ(!LeerExposicion(texto, m).empty(), falla) << texto;
  }
}

TEST_F(Tablero, MetricsFileIsWellFormedAndReplacedWhole) {
  std::string raiz = Terminal(kNombreHostil, "3: Abortado\r\n");
  prueba::MakeDir(raiz + "/retenidos", 0750);
  prueba::MakeDir(raiz + "/retenidos/20200101000000-1", 0750);
  WriteFile(raiz + "/retenidos/20200101000000-2.subida", "");
  WriteFile(raiz + "/retenidos/20200101000000-3.subida", "");
  Terminal("ok", "0: Conexion OK\r\n");
  WriteFile(base + "/tx/ok", "");
  Envejecer(base + "/tx/ok", 90);
  Atender(base);
  std::string metricas = dir / "prom";
  prueba::MakeDir(metricas);
  std::string archivo = metricas + "/zelta.prom";
  WriteFile(archivo, "viejo\n", 0600);

  auto r = prueba::Run({zelta, "-sq", "-P", archivo, base}, 20000);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_EQ(prueba::ListDir(metricas), std::vector<std::string>{"zelta.prom"});  // no temporary left
  EXPECT_EQ(prueba::FileMode(archivo), 0644u);  // node_exporter's user reads it
  std::string texto = ReadFile(archivo);
  std::vector<Muestra> muestras;
  ASSERT_EQ(LeerExposicion(texto, muestras), "") << texto;
  std::map<std::string, double> valor;
  for (const Muestra &m : muestras) {
    EXPECT_EQ(m.etiquetas.at("base"), base);
    std::string clave = m.nombre;
    if (m.etiquetas.count("terminal") != 0) clave += " " + m.etiquetas.at("terminal");
    if (m.etiquetas.count("clase") != 0) clave += " " + m.etiquetas.at("clase");
    valor[clave] = m.valor;
  }
  EXPECT_EQ(valor["zelta_chequeo_estado"], 1);
  EXPECT_EQ(valor["zelta_rondador_activo"], 1);
  EXPECT_EQ(valor["zelta_marcas_en_cola"], 1);
  EXPECT_GE(valor["zelta_marca_espera_segundos"], 90);
  EXPECT_EQ(valor["zelta_terminales"], 2);
  EXPECT_EQ(valor["zelta_ultimo_resultado " + kNombreVisto], 3);
  EXPECT_EQ(valor["zelta_ultimo_resultado ok"], 0);
  EXPECT_EQ(valor["zelta_retenidos " + kNombreVisto + " subida"], 2);
  EXPECT_EQ(valor["zelta_retenidos " + kNombreVisto + " dudosa"], 0);
  EXPECT_EQ(valor["zelta_carpetas_respuesta " + kNombreVisto], 1);
  EXPECT_EQ(valor.count("zelta_ultimo_resultado_edad_segundos ok"), 1u);

  if (!HayPrograma("promtool")) {
    GTEST_SKIP() << "promtool is not installed; the format was checked by the reader above";
  }
  auto chequeo = prueba::Run({"/bin/sh", "-c", "promtool check metrics < '" + archivo + "'"}, 20000);
  EXPECT_EQ(chequeo.status, 0) << chequeo.output << texto;
}

// ---------------------------------------------------------------- --limpiar

struct Limpieza : ::testing::Test {
  prueba::TempDir dir;
  std::string zelta = prueba::Bin("zelta");
  std::string raiz = dir / "term";
  std::string ret = raiz + "/retenidos";
  const long dia = 86400;

  void SetUp() override {
    prueba::MakeDir(raiz);
    prueba::MakeDir(ret, 0750);
  }
  void Carpeta(const std::string &nombre, long edad) {
    std::string c = ret + "/" + nombre;
    prueba::MakeDir(c, 0750);
    WriteFile(c + "/_ticket.prn", "ticket");
    Envejecer(c, edad);
  }
};

TEST_F(Limpieza, RemovesOldAnswerFoldersOnly) {
  // Outside the root: what a link must never lead the cleanup into.
  std::string fuera = dir / "fuera";
  prueba::MakeDir(fuera);
  WriteFile(fuera + "/valioso", "x");
  Envejecer(fuera, 30 * dia);

  Carpeta("20200101000000-1", 10 * dia);
  prueba::MakeDir(ret + "/20200101000000-1/sub");
  WriteFile(ret + "/20200101000000-1/sub/a", "a");
  ASSERT_EQ(symlink(fuera.c_str(), (ret + "/20200101000000-1/enlace").c_str()), 0);
  ASSERT_EQ(symlink((fuera + "/valioso").c_str(), (ret + "/20200101000000-1/sub/valioso").c_str()), 0);
  Envejecer(ret + "/20200101000000-1", 10 * dia);
  Carpeta("20200101000000-1.1", 8 * dia);
  Carpeta("20200101000000-2", 0);          // young
  Carpeta("20200101000000-3", 6 * dia);    // younger than 7 days
  Carpeta("notas", 30 * dia);              // not a name a resend makes
  for (const char *b : {"20200101000000-4.subida", "20200101000000-5.dudosa", "20200101000000-6.respuesta",
                        "20200101000000-7"}) {  // a file with a folder's name
    WriteFile(ret + "/" + b, "[FIN]\r\n");
    Envejecer(ret + "/" + b, 30 * dia);
  }
  ASSERT_EQ(symlink(fuera.c_str(), (ret + "/20200101000000-8").c_str()), 0);

  auto r = prueba::Run({zelta, "-r", "--limpiar", "7", raiz}, 20000);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(prueba::ListDir(ret),
            (std::vector<std::string>{"20200101000000-2", "20200101000000-3", "20200101000000-4.subida",
                                      "20200101000000-5.dudosa", "20200101000000-6.respuesta",
                                      "20200101000000-7", "20200101000000-8", "notas"}));
  EXPECT_EQ(ReadFile(fuera + "/valioso"), "x");
  EXPECT_EQ(prueba::ListDir(fuera), std::vector<std::string>{"valioso"});
  EXPECT_NE(r.output.find("Carpeta de respuesta borrada: " + ret + "/20200101000000-1 (del "), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Carpeta de respuesta borrada: " + ret + "/20200101000000-1.1 (del "),
            std::string::npos);
  EXPECT_NE(r.output.find("Carpeta de respuesta ignorada (no es un directorio): " + ret + "/20200101000000-8"),
            std::string::npos);
  EXPECT_NE(r.output.find(": 2 carpetas de respuesta de mas de 7 dias borradas"), std::string::npos);
  EXPECT_EQ(prueba::Exists(raiz + "/_zelta.lck"), false);

  // 0 days: every folder goes, still no bundle.
  Envejecer(ret + "/20200101000000-2", 5);
  r = prueba::Run({zelta, "-r", "--limpiar=0", raiz}, 20000);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(prueba::ListDir(ret),
            (std::vector<std::string>{"20200101000000-4.subida", "20200101000000-5.dudosa",
                                      "20200101000000-6.respuesta", "20200101000000-7",
                                      "20200101000000-8", "notas"}));
}

TEST_F(Limpieza, RefusesWhatTheResendRefuses) {
  Carpeta("20200101000000-1", 10 * dia);
  // A run holds the terminal: the cleanup waits for another time.
  pid_t vivo = fork();
  if (vivo == 0) {
    pause();
    _exit(0);
  }
  char lock[16];
  snprintf(lock, sizeof lock, "%10d\n", static_cast<int>(vivo));
  WriteFile(raiz + "/_zelta.lck", lock);
  auto r = prueba::Run({zelta, "-r", "--limpiar", "1", raiz}, 20000);
  kill(vivo, SIGKILL);
  waitpid(vivo, nullptr, 0);
  EXPECT_EQ(r.status, 19) << r.output;
  EXPECT_TRUE(prueba::Exists(ret + "/20200101000000-1"));
  unlink((raiz + "/_zelta.lck").c_str());

  // A retenidos/ others may write is not used.
  chmod(ret.c_str(), 0777);
  r = prueba::Run({zelta, "-r", "--limpiar", "1", raiz}, 20000);
  EXPECT_EQ(r.status, 15) << r.output;
  EXPECT_TRUE(prueba::Exists(ret + "/20200101000000-1"));

  // No retenidos/ at all: nothing to do.
  r = prueba::Run({zelta, "-r", "--limpiar", "1", dir / "otra"}, 20000);
  EXPECT_EQ(r.status, 19) << r.output;  // no root
  prueba::MakeDir(dir / "otra");
  r = prueba::Run({zelta, "-r", "--limpiar", "1", dir / "otra"}, 20000);
  EXPECT_EQ(r.status, 0) << r.output;
}

TEST(LineaComandos, GroupedLettersAndHelp) {
  std::string zelta = prueba::Bin("zelta");
  prueba::TempDir dir;
  prueba::MakeDir(dir / "ok");
  WriteFile(dir / "ok/estado.rsp", "5: No se pudo conectar\r\n");
  auto separado = prueba::Run({zelta, "-s", "-q", dir.path}, 20000);
  auto junto = prueba::Run({zelta, "-sq", dir.path}, 20000);
  EXPECT_EQ(junto.status, 1);
  EXPECT_EQ(junto.output, separado.output);
  EXPECT_EQ(Lineas(junto.output).size(), 1u) << junto.output;  // -q: no header, no notes

  auto ayuda = prueba::Run({zelta, "--help"}, 10000);
  EXPECT_EQ(ayuda.status, 0);
  auto uso = prueba::Run({zelta}, 10000);
  EXPECT_EQ(uso.status, 255);
  EXPECT_EQ(ayuda.output, uso.output);
  EXPECT_NE(ayuda.output.find("--limpiar DIAS"), std::string::npos);
  auto malo = prueba::Run({zelta, "-sz", dir.path}, 10000);
  EXPECT_EQ(malo.status, 255);
  EXPECT_EQ(malo.output, uso.output);
}

TEST(LineaComandos, StatusAndCheckModesTakeTheirArguments) {
  std::string zelta = prueba::Bin("zelta");
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"-s"},              // no base directory
           {"-s", "a", "b"},    // two
           {"-s", "-u"},        // two run modes
           {"-c", "raiz"},      // -c takes none
           {"-c", "-s", "a"},
           {"-q", "raiz"},      // -q only with -s
       }) {
    std::vector<std::string> argv = {zelta};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = prueba::Run(argv, 10000);
    EXPECT_EQ(r.status, 255) << args[0];
    EXPECT_NE(r.output.find("Uso: "), std::string::npos);
  }
}

// ---------------------------------------------------------------- -c

struct Chequeo : ::testing::Test {
  prueba::TempDir dir;
  std::string prog, zelta;
  void SetUp() override {
    prog = dir / "prog";
    zelta = prueba::InstallClient(prog);
  }
};

const std::string kSoportadas =
    "50 75 110 134 150 200 300 600 1200 1800 2400 4800 9600 19200 38400 57600 115200";

TEST_F(Chequeo, EveryProblemWithItsLine) {
  struct Caso {
    const char *nombre;
    std::string conf;      // "" : no file
    std::string destinos;  // "" : no file
    int estado;
    std::vector<std::string> salida;  // relative to the program directory
  } casos[] = {
      {"clean", "MODEM=/dev/null\nCODIGOINTERURBANO=11\nLOCKDIR=/tmp\n",
       "# comment\n5 12 * - 127.0.0.1 7001\n", 0,
       {"Configuracion correcta: @zelta.conf, @zelta.destinos"}},
      {"faulty lines",
       "MODEM=/dev/null\nCODIGOINTERURBANO=11\nCOLOR=azul\nBLOCKSIZE=0\n#" + std::string(80, 'x') +
           "\nTERMID=1\nBPS=14400\nBPS=0\nLOCKDIR=/tmp\nREINTENTOS=2\nREINTENTOS=4294967297\n"
           "C\x1b[2J\xc2\x9bOLOR=1\n",
       "5 12 * - 127.0.0.1 7001\n5 12 ABC - host 7001\n\n5 12 * - host 70000\n5 12 * - host\n"
       "512 1 * - host 1\n6 1 abcdefgh - ::1 1\n6 1 ABCDEFGH - localhost 1\n6 1 * - 10.0.0.1 1\n"
       "5 12 ZZZZZZZZ - 127.0.0.2 1\n",
       16,
       {"@zelta.conf:3: Error en linea 3: COLOR=azul",
        // The range, not the run's "demasiado largo" of old.
        "@zelta.conf:4: Error en linea 4: BLOCKSIZE=0 fuera de rango (1 a 4000)",
        "@zelta.conf:5: Error: Linea 5 demasiado larga.", "@zelta.conf:6: TERMID no valido",
        // A run takes 9600 for these and goes on: warnings.
        "@zelta.conf:7: Aviso: Velocidad 14400 no soportada; se toma 9600 (soportadas: " + kSoportadas + ")",
        "@zelta.conf:8: Aviso: Velocidad 0 no soportada; se toma 9600 (soportadas: " + kSoportadas + ")",
        // atoi read it as 1, and the check said nothing.
        "@zelta.conf:11: Error en linea 11: REINTENTOS=4294967297 fuera de rango (1 a 1000)",
        // The line is shown, but never a raw control byte of it.
        "@zelta.conf:12: Error en linea 12: C\\x1b[2J\\xc2\\x9bOLOR=1",
        "@zelta.destinos:2: Linea 2 de zelta.destinos invalida: CLAVE no tiene 8 caracteres ni es *",
        "@zelta.destinos:4: Linea 4 de zelta.destinos invalida: PUERTO no esta entre 1 y 65535",
        "@zelta.destinos:5: Linea 5 de zelta.destinos invalida: faltan campos (EMPRESA ACTIVIDAD "
        "CLAVE TELEFONO SERVIDOR PUERTO)",
        "@zelta.destinos:6: Linea 6 de zelta.destinos invalida: EMPRESA no es un numero de 1 o 2 "
        "cifras",
        // The first matching line wins: a line an earlier one covers is dead.
        "@zelta.destinos:8: Linea 8 de zelta.destinos nunca se usa: la linea 7 la cubre",
        "@zelta.destinos:10: Linea 10 de zelta.destinos nunca se usa: la linea 1 la cubre"}},
      {"missing settings", "BPS=9600\nLOCKDIR=/nada/de/nada\n", "5 12 * - host 7001 extra\n", 16,
       {"@zelta.conf: Debe especificar un MODEM", "@zelta.conf: Debe especificar un CODIGOINTERURBANO",
        "@zelta.conf: LOCKDIR /nada/de/nada no es un directorio",
        "@zelta.destinos:1: Linea 1 de zelta.destinos invalida: sobran campos"}},
      {"no files", "", "", 16,
       {"@zelta.conf: No se encontro archivo zelta.conf",
        "@zelta.destinos: No se pudo abrir tabla de destinos @zelta.destinos: No such file or "
        "directory"}},
  };
  for (const auto &c : casos) {
    unlink((prog + "/zelta.conf").c_str());
    unlink((prog + "/zelta.destinos").c_str());
    if (!c.conf.empty()) WriteFile(prog + "/zelta.conf", c.conf);
    if (!c.destinos.empty()) WriteFile(prog + "/zelta.destinos", c.destinos);
    auto antes = prueba::ListDir(prog);
    auto r = prueba::Run({zelta, "-c"}, 10000);
    EXPECT_EQ(r.status, c.estado) << c.nombre << "\n" << r.output;
    std::vector<std::string> esperada;
    for (std::string l : c.salida) {
      for (size_t p; (p = l.find('@')) != std::string::npos;) l.replace(p, 1, prog + "/");
      esperada.push_back(l);
    }
    EXPECT_EQ(Lineas(r.output), esperada) << c.nombre;
    EXPECT_EQ(prueba::ListDir(prog), antes) << c.nombre;  // nothing written
  }
}

// ---------------------------------------------------------------- versions

TEST(Versiones, BothProgramsNameTheirOwnVersionAndThePackage) {
  auto z = prueba::Run({prueba::Bin("zelta"), "--version"}, 10000);
  EXPECT_EQ(z.status, 0);
  EXPECT_EQ(z.output, "zelta 1.5.1 (paquete zelta 1.5.1)\n");
  auto d = prueba::Run({prueba::Bin("rondador"), "--version"}, 10000);
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.output, "rondador 1.2.2 (paquete zelta 1.5.1)\n");
  // The banners other programs read stay as they were.
  auto uso = prueba::Run({prueba::Bin("zelta")}, 10000);
  EXPECT_NE(uso.output.find("\nVersion 1.5.1 - Protocolo KALDO\n"), std::string::npos);
  auto demonio = prueba::Run({prueba::Bin("rondador")}, 10000);
  EXPECT_EQ(demonio.output.rfind("rondador 1.2.2\n", 0), 0u) << demonio.output;
}

TEST(Pares, EveryPeerListsItsOptions) {
  struct Caso {
    const char *peer;
    std::vector<const char *> opciones;
  } casos[] = {
      {"modem-sim", {"--link", "--record", "--no-echo", "--silent-init", "--dial", "--server",
                     "--guard", "--drop-after-up", "--drop-after-down", "--cut-connect"}},
      {"kaldo-server", {"--listen", "--port-file"}},
      {"portmgr-sim", {"--port", "--port-file", "--requests", "grant:HOST:PORT"}},
  };
  for (const auto &c : casos) {
    auto r = prueba::Run({prueba::Bin(c.peer), "--help"}, 10000);
    EXPECT_EQ(r.status, 0) << c.peer << "\n" << r.output;
    for (const char *o : c.opciones) EXPECT_NE(r.output.find(o), std::string::npos) << c.peer << " " << o;
  }
  auto malo = prueba::Run({prueba::Bin("modem-sim"), "--nada"}, 10000);
  EXPECT_EQ(malo.status, 2);
  EXPECT_NE(malo.output.find("--help"), std::string::npos);
}

}  // namespace
