// support.cpp - test helpers; see support.h.
#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace prueba {

std::string BinDir() { return ZELTA_BIN_DIR; }
std::string Bin(const std::string &name) { return BinDir() + "/" + name; }

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zelta-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) != nullptr) path = buf.data();
}

std::string RuntimeASan() {
  std::ifstream maps("/proc/self/maps");
  std::string linea;
  while (std::getline(maps, linea)) {
    size_t p = linea.find('/');
    if (p != std::string::npos && linea.find("libasan.so", p) != std::string::npos) {
      return linea.substr(p);
    }
  }
  return "";
}

std::string PrecargaCon(const std::string &lib) {
  std::string asan = RuntimeASan();
  return asan.empty() ? lib : asan + ":" + lib;
}

static void RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0755);
    for (const auto &n : ListDir(path)) RemoveTree(path + "/" + n);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

TempDir::~TempDir() {
  if (!path.empty()) RemoveTree(path);
}

void WriteFile(const std::string &path, const std::string &data, mode_t mode) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  f.close();
  chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> Lineas(const std::string &texto) {
  std::vector<std::string> out;
  std::istringstream in(texto);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t FileMode(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

void MakeDir(const std::string &path, mode_t mode) {
  mkdir(path.c_str(), mode);
  chmod(path.c_str(), mode);
}

std::vector<std::string> ListDir(const std::string &path) {
  std::vector<std::string> out;
  DIR *d = opendir(path.c_str());
  if (d == nullptr) return out;
  while (dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

bool WaitUntil(const std::function<bool()> &pred, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Spawned::Spawned(Spawned &&o) noexcept : pid(o.pid), outfile(std::move(o.outfile)), status(o.status) {
  o.pid = -1;
  o.outfile.clear();
}

Spawned &Spawned::operator=(Spawned &&o) noexcept {
  if (this != &o) {
    Release();
    pid = o.pid;
    outfile = std::move(o.outfile);
    status = o.status;
    o.pid = -1;
    o.outfile.clear();
  }
  return *this;
}

Spawned::~Spawned() { Release(); }

void Spawned::Release() {
  if (pid > 0 && Running()) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    Wait(5000);
  }
  if (!outfile.empty()) unlink(outfile.c_str());
  outfile.clear();
  pid = -1;
}

static int DecodeStatus(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return -WTERMSIG(st);
  return -999;
}

bool Spawned::Running() {
  if (pid <= 0 || status != -1000) return false;
  int st;
  pid_t r = waitpid(pid, &st, WNOHANG);
  if (r == pid) {
    status = DecodeStatus(st);
    return false;
  }
  return r == 0;
}

int Spawned::Wait(int timeout_ms) {
  WaitUntil([this] { return !Running(); }, timeout_ms);
  return status;
}

void Spawned::Signal(int sig) {
  if (pid > 0 && Running()) kill(pid, sig);
}

std::string Spawned::Output() const { return ReadFile(outfile); }

Spawned Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              const std::string &cwd) {
  Spawned s;
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zelta-out-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int outfd = mkstemp(buf.data());
  s.outfile = buf.data();
  std::vector<std::string> args = argv;
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(outfd, 1);
    dup2(outfd, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto &e : env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> av;
    for (auto &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    execv(av[0], av.data());
    _exit(127);
  }
  if (outfd >= 0) close(outfd);
  s.pid = pid;
  return s;
}

RunResult Run(const std::vector<std::string> &argv, int timeout_ms,
              const std::vector<std::string> &env, const std::string &cwd) {
  Spawned s = Spawn(argv, env, cwd);
  RunResult r;
  r.status = s.Wait(timeout_ms);
  if (r.status == -1000) {
    kill(-s.pid, SIGKILL);
    kill(s.pid, SIGKILL);
    s.Wait(5000);
    r.status = -1000;
  }
  r.output = s.Output();
  return r;
}

std::string InstallClient(const std::string &dir) {
  MakeDir(dir);
  std::string path = dir + "/zelta";
  unlink(path.c_str());
  if (symlink(Bin("zelta").c_str(), path.c_str()) != 0) return "";
  return path;
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

std::string Escapar(const std::string &s) {
  std::string o;
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

std::string Desescapar(const std::string &s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == 0x08 && i + 1 < s.size()) {
      o += static_cast<char>(s[++i] - 0x1C);
    } else {
      o += s[i];
    }
  }
  return o;
}

LimiteTamano::LimiteTamano(rlim_t bytes) {
  senal = signal(SIGXFSZ, SIG_IGN);
  getrlimit(RLIMIT_FSIZE, &viejo);
  struct rlimit nuevo = viejo;
  nuevo.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &nuevo);
}

LimiteTamano::~LimiteTamano() {
  setrlimit(RLIMIT_FSIZE, &viejo);
  signal(SIGXFSZ, senal);
}

DescriptoresLibres::DescriptoresLibres(int n) {
  // Descriptors are handed out lowest first: the lowest free one plus n.
  int libre = dup(0);
  close(libre);
  getrlimit(RLIMIT_NOFILE, &viejo);
  struct rlimit nuevo = viejo;
  nuevo.rlim_cur = static_cast<rlim_t>(libre) + static_cast<rlim_t>(n);
  setrlimit(RLIMIT_NOFILE, &nuevo);
}

DescriptoresLibres::~DescriptoresLibres() { setrlimit(RLIMIT_NOFILE, &viejo); }

}  // namespace prueba
