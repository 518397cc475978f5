// Installation: the staged tree, the man pages, the hardening of the
// binaries, configuration kept across installs, and the Debian package
// (contents, control data, maintainer scripts, lintian when installed).
#include <gtest/gtest.h>
#include <unistd.h>

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
    "/etc/zelta/zelta.conf",
    "/etc/zelta/zelta.destinos",
    "/lib/systemd/system/rondador.service",
    "/opt/zelta/ejemplos/zelta.conf",
    "/opt/zelta/ejemplos/zelta.destinos",
    "/opt/zelta/rondador",
    "/opt/zelta/zelta",
    "/opt/zelta/zelta.conf",
    "/opt/zelta/zelta.destinos",
    "/usr/share/doc/zelta/OPERATIONS.md.gz",
    "/usr/share/doc/zelta/PERFORMANCE.md.gz",
    "/usr/share/doc/zelta/README.md.gz",
    "/usr/share/doc/zelta/RELIABILITY.md.gz",
    "/usr/share/doc/zelta/changelog.gz",
    "/usr/share/doc/zelta/copyright",
    "/usr/share/man/man1/zelta.1.gz",
    "/usr/share/man/man5/zelta.conf.5.gz",
    "/usr/share/man/man5/zelta.destinos.5.gz",
    "/usr/share/man/man8/rondador.8.gz",
};

const char *const kManes[] = {"usr/share/man/man1/zelta.1.gz", "usr/share/man/man8/rondador.8.gz",
                              "usr/share/man/man5/zelta.conf.5.gz",
                              "usr/share/man/man5/zelta.destinos.5.gz"};

prueba::RunResult Instalar(const std::string &destdir) {
  return prueba::Run({"/usr/bin/env", "cmake", "--install", prueba::BinDir() + "/..", "--prefix",
                      "/opt/zelta"},
                     60000, {"DESTDIR=" + destdir});
}

bool Hay(const std::string &programa) {
  return prueba::Run({"/bin/sh", "-c", "command -v " + programa}, 10000).status == 0;
}

TEST(Instalacion, StagedTreeAndManPages) {
  prueba::TempDir dir;
  auto r = Instalar(dir.path);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Arbol(dir.path), kArbol);
  EXPECT_EQ(prueba::FileMode(dir / "opt/zelta/zelta") & 0111, 0111u);
  // The client finds its configuration in /etc/zelta through links.
  for (const char *n : {"zelta.conf", "zelta.destinos"}) {
    char destino[256] = "";
    ssize_t largo = readlink((dir / "opt/zelta/" + n).c_str(), destino, sizeof destino - 1);
    ASSERT_GT(largo, 0) << n;
    EXPECT_EQ(std::string(destino, static_cast<size_t>(largo)), std::string("/etc/zelta/") + n);
  }
  // The installed client runs and finds its configuration beside itself.
  auto uso = prueba::Run({dir / "opt/zelta/zelta"}, 10000);
  EXPECT_EQ(uso.status, 255);
  // The guides the man pages point to, whole.
  for (const char *doc :
       {"README.md", "docs/OPERATIONS.md", "docs/RELIABILITY.md", "docs/PERFORMANCE.md"}) {
    std::string nombre = std::string(doc).substr(std::string(doc).rfind('/') + 1);
    auto g = prueba::Run(
        {"/bin/sh", "-c", "gzip -dc \"$1\"", "sh", dir / ("usr/share/doc/zelta/" + nombre + ".gz")},
        20000);
    EXPECT_EQ(g.status, 0) << doc;
    EXPECT_EQ(g.output, prueba::ReadFile(std::string(ZELTA_SOURCE_DIR) + "/" + doc)) << doc;
  }
  for (const char *man : kManes) {
    auto g = prueba::Run({"/bin/sh", "-c", "gzip -dc \"$1\" | groff -man -ww -z", "sh", dir / man},
                         20000);
    EXPECT_EQ(g.status, 0) << man;
    EXPECT_EQ(g.output, "") << man;
  }
}

// An installation over an existing one replaces the programs but keeps
// every configuration file an operator may have edited.
TEST(Instalacion, ReinstallKeepsEditedConfiguration) {
  prueba::TempDir dir;
  ASSERT_EQ(Instalar(dir.path).status, 0);
  const std::string conf = dir / "etc/zelta/zelta.conf", destinos = dir / "etc/zelta/zelta.destinos",
                    rotar = dir / "etc/logrotate.d/zelta";
  std::string original = prueba::ReadFile(conf);
  for (const auto &f : {conf, destinos, rotar}) prueba::WriteFile(f, "# editado\n");
  prueba::WriteFile(dir / "opt/zelta/zelta", "viejo");
  auto r = Instalar(dir.path);
  ASSERT_EQ(r.status, 0) << r.output;
  for (const auto &f : {conf, destinos, rotar}) EXPECT_EQ(prueba::ReadFile(f), "# editado\n") << f;
  // A configuration file an older installation left in the program
  // directory stays in use: no link replaces it.
  unlink((dir / "opt/zelta/zelta.conf").c_str());
  prueba::WriteFile(dir / "opt/zelta/zelta.conf", "# propio\n");
  ASSERT_EQ(Instalar(dir.path).status, 0);
  EXPECT_EQ(prueba::ReadFile(dir / "opt/zelta/zelta.conf"), "# propio\n");
  EXPECT_NE(prueba::ReadFile(dir / "opt/zelta/zelta"), "viejo");
  EXPECT_EQ(prueba::ReadFile(dir / "opt/zelta/ejemplos/zelta.conf"), original);
}

// The release build is hardened: full RELRO with immediate binding, a
// position-independent executable, checked libc calls.
TEST(Instalacion, ProgramsAreHardened) {
  if (!Hay("readelf")) GTEST_SKIP() << "readelf not installed";
  for (const char *programa : {"zelta", "rondador"}) {
    std::string bin = prueba::Bin(programa);
    auto d = prueba::Run({"/usr/bin/env", "readelf", "-d", "-W", bin}, 20000);
    ASSERT_EQ(d.status, 0);
    if (d.output.find("libasan") != std::string::npos) GTEST_SKIP() << "sanitizer build";
    EXPECT_NE(d.output.find("BIND_NOW"), std::string::npos) << programa;
    EXPECT_NE(d.output.find("PIE"), std::string::npos) << programa;
    auto l = prueba::Run({"/usr/bin/env", "readelf", "-l", "-W", bin}, 20000);
    EXPECT_NE(l.output.find("GNU_RELRO"), std::string::npos) << programa;
    auto s = prueba::Run({"/usr/bin/env", "readelf", "--dyn-syms", "-W", bin}, 20000);
    EXPECT_NE(s.output.find("_chk@"), std::string::npos) << programa;
  }
}

// The installed unit is confined: systemd-analyze rates its exposure at
// 4.5 at most (its threshold is in tenths), and it can be reloaded and
// points to its documents.
TEST(Instalacion, UnitIsConfinedAndReloadable) {
  prueba::TempDir dir;
  ASSERT_EQ(Instalar(dir.path).status, 0);
  std::string unidad = dir / "lib/systemd/system/rondador.service";
  std::string texto = prueba::ReadFile(unidad);
  EXPECT_NE(texto.find("\nExecReload=/bin/kill -HUP $MAINPID\n"), std::string::npos) << texto;
  EXPECT_NE(texto.find("\nDocumentation=man:rondador(8) man:zelta(1)"), std::string::npos) << texto;
  if (!Hay("systemd-analyze")) GTEST_SKIP() << "systemd-analyze not installed: the exposure was not rated";
  auto r = prueba::Run({"/usr/bin/env", "systemd-analyze", "security", "--offline=yes",
                        "--threshold=45", "--no-pager", unidad},
                       60000);
  const std::string marca = "Overall exposure level for rondador.service: ";
  size_t p = r.output.find(marca);
  ASSERT_NE(p, std::string::npos) << r.output;
  double nivel = std::stod(r.output.substr(p + marca.size()));
  EXPECT_LE(nivel, 4.5) << r.output;
  EXPECT_EQ(r.status, 0) << r.output;
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
  auto c = prueba::Run({"/usr/bin/env", "dpkg-deb", "-c", deb}, 20000);
  ASSERT_EQ(c.status, 0);
  std::vector<std::string> archivos;
  std::istringstream in(c.output);
  std::string linea;
  while (std::getline(in, linea)) {
    // Regular files and links (the links show "-> target").
    if (linea.empty() || (linea[0] != '-' && linea[0] != 'l')) continue;
    std::string path = linea.substr(linea.find("./") + 1);
    archivos.push_back(path.substr(0, path.find(" -> ")));
  }
  std::sort(archivos.begin(), archivos.end());
  EXPECT_EQ(archivos, kArbol);
  EXPECT_NE(c.output.find("./opt/zelta/zelta.conf -> /etc/zelta/zelta.conf\n"), std::string::npos);

  auto conf = prueba::Run({"/usr/bin/env", "dpkg-deb", "-I", deb, "conffiles"}, 20000);
  EXPECT_EQ(conf.output, "/etc/logrotate.d/zelta\n/etc/zelta/zelta.conf\n/etc/zelta/zelta.destinos\n");
  auto control = prueba::Run({"/usr/bin/env", "dpkg-deb", "-f", deb}, 20000);
  ASSERT_EQ(control.status, 0);
  // Dependencies as dpkg-shlibdeps finds them: versioned.
  EXPECT_NE(control.output.find("\nDepends: "), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("libc6 (>= 2."), std::string::npos) << control.output;
  // Signed updates need gpgv; the publisher's keyring is the operator's to
  // install, so the tree above holds none.
  EXPECT_NE(control.output.find("gpgv"), std::string::npos) << control.output;
  // A summary and an extended description.
  EXPECT_NE(control.output.find("\nDescription: Transaction transfer between point-of-sale terminals"),
            std::string::npos)
      << control.output;
  EXPECT_NE(control.output.find("\n The daemon rondador watches"), std::string::npos) << control.output;
  // Maintainer scripts, executable, that pass the shell's syntax check.
  auto info = prueba::Run({"/usr/bin/env", "dpkg-deb", "-I", deb}, 20000);
  for (const char *script : {"preinst", "postinst", "prerm", "postrm"}) {
    // dpkg-deb marks executable control members with '*'.
    EXPECT_NE(info.output.find(std::string("*  ") + script), std::string::npos) << info.output;
    auto texto = prueba::Run({"/usr/bin/env", "dpkg-deb", "-I", deb, script}, 20000);
    prueba::WriteFile(dir / script, texto.output);
    EXPECT_EQ(prueba::Run({"/bin/sh", "-n", dir / script}, 10000).status, 0) << script;
  }
  std::string postinst = prueba::ReadFile(dir / "postinst");
  EXPECT_NE(postinst.find("install -d -m 1777 /var/spool/zelta/tx"), std::string::npos);
  EXPECT_NE(postinst.find("daemon-reload"), std::string::npos);

  if (!Hay("lintian")) GTEST_SKIP() << "lintian not installed: the package was not linted";
  auto l = prueba::Run({"/usr/bin/env", "lintian", "--no-tag-display-limit", deb}, 300000);
  std::string quejas;
  std::istringstream lineas(l.output);
  while (std::getline(lineas, linea)) {
    // Errors and warnings; installing under /opt is this package's choice.
    bool queja = linea.rfind("E: ", 0) == 0 || linea.rfind("W: ", 0) == 0;
    if (queja && linea.find("dir-or-file-in-opt") == std::string::npos) quejas += linea + "\n";
  }
  EXPECT_EQ(quejas, "");
}

}  // namespace
