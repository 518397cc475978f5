// apoyo.h - what the fuzz targets share: a private scratch directory for each
// process (emptied before every input), small file helpers, splitting one
// input into two files, and the checks that stop the fuzzer on a broken
// promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// The scratch directory of this process, made under $TMPDIR (or /tmp) on the
// first call and removed at exit.
const std::string &Area();
// Removes everything inside the scratch directory.
void VaciarArea();

void EscribirArchivo(const std::string &path, const std::string &datos);
std::string LeerArchivo(const std::string &path);  // "" when missing
bool Existe(const std::string &path);
void CrearDirectorio(const std::string &path);
// Names in dir, sorted, without "." and "..".
std::vector<std::string> Listar(const std::string &dir);
// Whether path is a regular file (not followed when it is a link).
bool EsArchivoRegular(const std::string &path);

// Cuts an input at its first "\0\0": primera gets what comes before, segunda
// what comes after. Returns false (segunda empty) when there is no cut.
bool Partir(const uint8_t *data, size_t size, std::string &primera, std::string &segunda);

// Sends standard output to /dev/null (some readers print their complaints
// there); the fuzzer reports on standard error.
void SilenciarSalida();

// Reports a broken promise and aborts, so that the fuzzer keeps the input.
[[noreturn]] void Fallar(const char *formato, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fuzz

#define EXIGIR(cond)                                                                  \
  do {                                                                               \
    if (!(cond)) ::fuzz::Fallar("%s:%d: no se cumple %s", __FILE__, __LINE__, #cond); \
  } while (0)
