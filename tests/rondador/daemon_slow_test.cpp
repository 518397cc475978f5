// daemon_slow_test.cpp - pings that do not answer in time: the daemon's
// 5-second alarm ends them and the next attempt follows.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "daemon_support.h"
#include "support.h"

namespace rondadortest {
namespace {

TEST_F(Rondador, HangingPingIsEndedByTheAlarm) {
  struct Caso {
    const char *nombre;
    std::string primerintento;  // what the first attempt does
    int minimo_ms;              // the client cannot start before this
  } casos[] = {
      {"ping that hangs gets the terminate signal after 5 s", "exec sleep 60\n", 4500},
      {"ping that ignores it gets the kill signal 5 s later",
       "trap '' TERM\nwhile :; do sleep 1; done\n", 9500},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.nombre);
    MatarTodo();
    for (const auto &n : prueba::ListDir(llamadas)) unlink((llamadas + "/" + n).c_str());
    unlink(contador.c_str());
    unlink(log.c_str());
    EscribirPing("if [ $n -eq 1 ]; then\n" + c.primerintento + "fi\nexit 0\n");
    prueba::MakeDir(Raiz("TERM01"));
    auto inicio = std::chrono::steady_clock::now();
    Marca("TERM01");
    Arrancar({"-p", "127.0.0.1", "-l", log, "-x5"});
    ASSERT_TRUE(EsperarLlamadas(1, 30000));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - inicio)
                  .count();
    EXPECT_GE(ms, c.minimo_ms);
    EXPECT_EQ(Llamadas()[0].pings, "2") << "the second attempt answered";
    EXPECT_TRUE(EnLog("kill ")) << Log();
    EXPECT_FALSE(EnLog("Sin respuesta")) << Log();
  }
}

}  // namespace
}  // namespace rondadortest
