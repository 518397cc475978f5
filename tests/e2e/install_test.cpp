// Installation: the staged tree, the man pages, and the Debian package.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support.h"

namespace {

// Every file below root, as paths relative to it, sorted.
std::vector<std::string> Arbol(const std::string &root, const std::string &rel = "") {
  std::vector<std::string> out;
  for (const auto &n : prueba::ListDir(root + rel)) {
    std::string sub = rel + "/" + n;
    auto dentro = prueba::ListDir(root + sub);
    if (dentro.empty() && !prueba::Exists(root + sub + "/.")) {
      out.push_back(sub);
    } else {
      auto mas = Arbol(root, sub);
      out.insert(out.end(), mas.begin(), mas.end());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

const std::vector<std::string> kArbol = {
    "/etc/logrotate.d/zelta",
    "/lib/systemd/system/rondador.service",
    "/opt/zelta/ejemplos/zelta.conf",
    "/opt/zelta/ejemplos/zelta.destinos",
    "/opt/zelta/rondador",
    "/opt/zelta/zelta",
    "/opt/zelta/zelta.conf",
    "/opt/zelta/zelta.destinos",
    "/usr/share/man/man1/zelta.1",
    "/usr/share/man/man5/zelta.conf.5",
    "/usr/share/man/man5/zelta.destinos.5",
    "/usr/share/man/man8/rondador.8",
};

TEST(Instalacion, StagedTreeAndManPages) {
  prueba::TempDir dir;
  std::string build = prueba::BinDir() + "/..";
  auto r = prueba::Run({"/usr/bin/env", "cmake", "--install", build, "--prefix", "/opt/zelta"}, 60000,
                       {"DESTDIR=" + dir.path});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Arbol(dir.path), kArbol);
  EXPECT_EQ(prueba::FileMode(dir / "opt/zelta/zelta") & 0111, 0111u);
  // The installed client runs and finds its configuration beside itself.
  auto uso = prueba::Run({dir / "opt/zelta/zelta"}, 10000);
  EXPECT_EQ(uso.status, 255);
  for (const char *man : {"usr/share/man/man1/zelta.1", "usr/share/man/man8/rondador.8",
                          "usr/share/man/man5/zelta.conf.5", "usr/share/man/man5/zelta.destinos.5"}) {
    auto g = prueba::Run({"/usr/bin/env", "groff", "-man", "-ww", "-z", dir / man}, 20000);
    EXPECT_EQ(g.status, 0) << man;
    EXPECT_EQ(g.output, "") << man;
  }
}

TEST(Instalacion, DebianPackageHoldsTheSameTree) {
  prueba::TempDir dir;
  std::string build = prueba::BinDir() + "/..";
  auto r = prueba::Run({"/usr/bin/env", "cpack", "-G", "DEB", "--config", build + "/CPackConfig.cmake",
                        "-B", dir.path},
                       300000);
  ASSERT_EQ(r.status, 0) << r.output;
  std::string deb;
  for (const auto &n : prueba::ListDir(dir.path)) {
    if (n.size() > 4 && n.substr(n.size() - 4) == ".deb") deb = dir / n;
  }
  ASSERT_FALSE(deb.empty()) << r.output;
  auto lista = prueba::Run({"/usr/bin/env", "dpkg-deb", "--fsys-tarfile", deb}, 20000);
  ASSERT_EQ(lista.status, 0);
  auto c = prueba::Run({"/usr/bin/env", "dpkg-deb", "-c", deb}, 20000);
  ASSERT_EQ(c.status, 0);
  std::vector<std::string> archivos;
  std::istringstream in(c.output);
  std::string linea;
  while (std::getline(in, linea)) {
    if (linea.empty() || linea[0] != '-') continue;  // regular files only
    std::string path = linea.substr(linea.find("./") + 1);
    archivos.push_back(path);
  }
  std::sort(archivos.begin(), archivos.end());
  EXPECT_EQ(archivos, kArbol);
  auto conf = prueba::Run({"/usr/bin/env", "dpkg-deb", "-I", deb, "conffiles"}, 20000);
  EXPECT_EQ(conf.output, "/opt/zelta/zelta.conf\n/opt/zelta/zelta.destinos\n");
  // Signed updates need gpgv; the publisher's keyring is the operator's to
  // install, so the tree above holds none.
  auto campos = prueba::Run({"/usr/bin/env", "dpkg-deb", "--field", deb, "Depends"}, 20000);
  EXPECT_NE(campos.output.find("gpgv"), std::string::npos) << campos.output;
}

}  // namespace
