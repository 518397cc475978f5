// update_fixture.h - what the update-run tests share: a throwaway GNUPGHOME
// with a publisher's signing key and a stranger's, the publisher's public
// key exported as the keyring gpgv reads, and signing a delivery directory
// with scripts/firmar-actualizacion.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace actualizacion {

inline constexpr char kPublicador[] = "publicador@zelta.prueba";
inline constexpr char kExtrano[] = "extrano@zelta.prueba";

// A GNUPGHOME with two signing keys; the publisher's public key is exported
// as a keyring gpgv reads. Its gpg-agent is stopped with it.
struct Claves {
  prueba::TempDir home;
  std::string llavero = home / "publicador.gpg";
  std::string Entorno() const { return "GNUPGHOME=" + home.path; }
  bool Gpg(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"/usr/bin/env", "gpg", "--batch", "--quiet"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = prueba::Run(argv, 60000, {Entorno()});
    EXPECT_EQ(r.status, 0) << r.output;
    return r.status == 0;
  }
  bool Crear() {
    for (const char *uid : {kPublicador, kExtrano}) {
      if (!Gpg({"--passphrase", "", "--quick-gen-key", uid, "ed25519", "sign", "never"})) return false;
    }
    return Gpg({"--yes", "--output", llavero, "--export", kPublicador});
  }
  // Writes the manifest of the files in dir, serial `serie`, and signs it
  // with `clave`. Returns the script's run.
  prueba::RunResult Firmar(const std::string &dir, int serie, const char *clave = kPublicador) const {
    return prueba::Run({ZELTA_SCRIPTS_DIR "/firmar-actualizacion", dir, clave, std::to_string(serie)},
                       60000, {Entorno()});
  }
  ~Claves() { prueba::Run({"/usr/bin/env", "gpgconf", "--kill", "all"}, 20000, {Entorno()}); }
};

}  // namespace actualizacion
