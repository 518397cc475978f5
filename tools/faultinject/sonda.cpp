// sonda.cpp - zeltafault-sonda, the program libzeltafault's own test runs
// under it: one call of each kind the library hooks, on names below a
// directory outside the root first (none of those may be counted), then
// below the root. Every call below the root prints "<call> <result>
// <errno>" (errno 0 when it succeeded); the last is made by an exit handler.
//
//   zeltafault-sonda ROOT OUTSIDE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

std::string g_raiz;

void Informar(const char *llamada, long r) {
  char linea[128];
  int n = snprintf(linea, sizeof linea, "%s %ld %d\n", llamada, r, r < 0 ? errno : 0);
  if (write(STDOUT_FILENO, linea, static_cast<size_t>(n)) < 0) _exit(2);
}

// Every call once below dir; with informar, each result printed.
void Probar(const std::string &dir, bool informar) {
  auto nota = [&](const char *llamada, long r) {
    if (informar) Informar(llamada, r);
  };
  int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) _exit(2);
  nota("mkdirat", mkdirat(d, "a", 0755));
  nota("mkdir", mkdir((dir + "/b").c_str(), 0755));
  int f = openat(d, "f", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (f < 0) _exit(2);
  nota("pwrite", pwrite(f, "abcd", 4, 0));
  nota("write", write(f, "efgh", 4));
  nota("ftruncate", ftruncate(f, 2));
  nota("fsync", fsync(f));
  nota("fdatasync", fdatasync(f));
  nota("fsync-dir", fsync(d));
  nota("syncfs", syncfs(f));
  close(f);
  nota("linkat", linkat(d, "f", d, "g", 0));
  nota("link", link((dir + "/f").c_str(), (dir + "/h").c_str()));
  nota("renameat2", renameat2(d, "g", d, "i", RENAME_NOREPLACE));
  nota("rename", rename((dir + "/i").c_str(), (dir + "/j").c_str()));
  nota("unlinkat", unlinkat(d, "h", 0));
  nota("unlink", unlink((dir + "/j").c_str()));
  nota("unlinkat-dir", unlinkat(d, "a", AT_REMOVEDIR));
  nota("rmdir", rmdir((dir + "/b").c_str()));
  close(d);
}

void AlSalir() { Informar("unlink-at-exit", unlink((g_raiz + "/f").c_str())); }

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ROOT OUTSIDE\n", argv[0]);
    return 2;
  }
  g_raiz = argv[1];
  Probar(argv[2], false);
  Probar(g_raiz, true);
  atexit(AlSalir);
  return 0;
}
