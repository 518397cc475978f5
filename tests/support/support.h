// support.h - helpers shared by the tests: temporary directories, small file
// fixtures, and running the real binaries with deadlines.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace prueba {

// Directory of the built programs (<build>/bin).
std::string BinDir();
std::string Bin(const std::string &name);

// The AddressSanitizer runtime this test program runs with, "" when none.
std::string RuntimeASan();
// LD_PRELOAD for a real program that is to load the test library `lib`:
// the sanitizer runtime, when this program has one, must come first.
std::string PrecargaCon(const std::string &lib);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void WriteFile(const std::string &path, const std::string &data, mode_t mode = 0644);
std::string ReadFile(const std::string &path);  // "" when missing
bool Exists(const std::string &path);
// The lines of texto, without their line feeds.
std::vector<std::string> Lineas(const std::string &texto);
mode_t FileMode(const std::string &path);       // permission bits, 0 when missing
void MakeDir(const std::string &path, mode_t mode = 0755);
std::vector<std::string> ListDir(const std::string &path);  // sorted, no . ..

// Waits until pred() holds or timeout_ms passes; returns pred()'s last value.
bool WaitUntil(const std::function<bool()> &pred, int timeout_ms);

// Outcome of a finished process: exit status, or -signal when killed.
struct RunResult {
  int status = -1000;   // -1000: did not end before the deadline (killed)
  std::string output;   // standard output and standard error, interleaved
};

// A started process with its output captured to a file. The destructor
// kills it (SIGKILL to its process group) if it is still running.
struct Spawned {
  pid_t pid = -1;
  std::string outfile;
  int status = -1000;
  Spawned() = default;
  Spawned(Spawned &&o) noexcept;
  Spawned &operator=(Spawned &&o) noexcept;
  ~Spawned();
  // Waits up to timeout_ms for the exit; returns the status (-1000 on time-out).
  int Wait(int timeout_ms);
  bool Running();
  void Signal(int sig);
  std::string Output() const;

 private:
  void Release();  // kills a running process, removes the output file
};

// Starts argv[0] with the given arguments, extra "NAME=value" environment
// entries, in its own process group, standard input from /dev/null.
Spawned Spawn(const std::vector<std::string> &argv,
              const std::vector<std::string> &env = {},
              const std::string &cwd = "");

// Runs to the end, killing the process after timeout_ms.
RunResult Run(const std::vector<std::string> &argv, int timeout_ms = 20000,
              const std::vector<std::string> &env = {},
              const std::string &cwd = "");

// Makes dir a program directory: dir/zelta is a symbolic link to the built
// client, so a run started as dir/zelta reads dir/zelta.conf and
// dir/zelta.destinos. Returns the path to start (dir + "/zelta").
std::string InstallClient(const std::string &dir);

// The bundle escape: 0x03 and 0x08 become 0x08 followed by the byte plus
// 0x1C. Desescapar undoes it (every 0x08 b pair becomes b - 0x1C).
std::string Escapar(const std::string &s);
std::string Desescapar(const std::string &s);

// A file size limit for a scope, so that writes past it fail (EFBIG, with
// SIGXFSZ ignored): how the tests make a write fail.
struct LimiteTamano {
  struct rlimit viejo;
  void (*senal)(int);
  explicit LimiteTamano(rlim_t bytes);
  ~LimiteTamano();
  LimiteTamano(const LimiteTamano &) = delete;
  LimiteTamano &operator=(const LimiteTamano &) = delete;
};

// Lowers the descriptor limit for a scope so that exactly n more
// descriptors can be opened.
struct DescriptoresLibres {
  struct rlimit viejo;
  explicit DescriptoresLibres(int n);
  ~DescriptoresLibres();
  DescriptoresLibres(const DescriptoresLibres &) = delete;
  DescriptoresLibres &operator=(const DescriptoresLibres &) = delete;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();

}  // namespace prueba
