// log_archivo.h - base fixture of the client's unit tests: a temporary
// directory whose file "log" receives the client's log for the length of
// one test. Only for programs that link the client.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "control.h"
#include "support.h"

struct ConLogEnArchivo : ::testing::Test {
  prueba::TempDir dir;
  FILE *log = nullptr;
  // nivel: the debug level of the test. Called again, it starts the log
  // afresh (an empty file, no repeat pending).
  void AbrirLog(int nivel) {
    FILE *anterior = log;
    log = fopen((dir / "log").c_str(), "w");
    FijarSalidaLog(log);
    if (anterior != nullptr) fclose(anterior);
    ReiniciarLog();
    g_corrida.debuglevel = nivel;
  }
  void TearDown() override {
    FijarSalidaLog(stdout);
    if (log != nullptr) fclose(log);
  }
  std::string Log() { return prueba::ReadFile(dir / "log"); }
};
