// paquete.cpp - bundle helpers of the simulator: escaping, building a
// download bundle from a directory, whole-file reads and writes, and the
// frame check byte.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "servidor.h"

namespace {

struct CierraArchivo {
  void operator()(FILE *f) const { fclose(f); }
};
using Archivo = std::unique_ptr<FILE, CierraArchivo>;

struct CierraDir {
  void operator()(DIR *d) const { closedir(d); }
};

constexpr unsigned char kEscape = 0x08;
constexpr unsigned char kETX = 0x03;
constexpr unsigned char kDesplazamiento = 0x1C;

}  // namespace

std::string Escapar(const std::string &datos) {
  std::string out;
  out.reserve(datos.size() + datos.size() / 16 + 8);
  for (char ch : datos) {
    auto c = static_cast<unsigned char>(ch);
    if (c == kEscape || c == kETX) {
      out.push_back(static_cast<char>(kEscape));
      out.push_back(static_cast<char>(c + kDesplazamiento));
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string Desescapar(const std::string &datos) {
  std::string out;
  out.reserve(datos.size());
  for (size_t i = 0; i < datos.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(datos[i]);
    if (c == kEscape) {
      if (i + 1 >= datos.size()) break;
      ++i;
      c = static_cast<unsigned char>(static_cast<unsigned char>(datos[i]) - kDesplazamiento);
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

bool LeerArchivo(const std::string &path, std::string &datos) {
  Archivo f(fopen(path.c_str(), "rb"));
  if (!f) return false;
  datos.clear();
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) datos.append(buf, n);
  return ferror(f.get()) == 0;
}

bool EscribirArchivo(const std::string &path, const std::string &datos) {
  std::string tmp = path + ".tmp";
  Archivo f(fopen(tmp.c_str(), "wb"));
  if (!f) return false;
  bool ok = fwrite(datos.data(), 1, datos.size(), f.get()) == datos.size();
  ok = (fclose(f.release()) == 0) && ok;
  // Renamed into place so that a reader never sees half a bundle.
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

bool ArmarPaqueteDirectorio(const std::string &dir, std::string &paquete) {
  std::unique_ptr<DIR, CierraDir> d(opendir(dir.c_str()));
  if (!d) return false;
  std::vector<std::string> nombres;
  while (dirent *e = readdir(d.get())) {
    std::string nombre = e->d_name;
    struct stat st;
    if (stat((dir + "/" + nombre).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      nombres.push_back(nombre);
    }
  }
  std::sort(nombres.begin(), nombres.end());
  paquete.clear();
  for (const auto &nombre : nombres) {
    std::string contenido;
    if (!LeerArchivo(dir + "/" + nombre, contenido)) return false;
    paquete += "[" + nombre + "," + std::to_string(contenido.size()) + "]\r\n";
    paquete += contenido;
    paquete += "\r\n";
  }
  paquete += "[FIN]\r\n";
  return true;
}

unsigned char CheckByte(const char *datos, size_t n) {
  unsigned char x = 0;
  for (size_t i = 0; i < n; ++i) x ^= static_cast<unsigned char>(datos[i]);
  if (x == 0x11 || x == 0x13) x = static_cast<unsigned char>(x + 0x6D);
  return x;
}
