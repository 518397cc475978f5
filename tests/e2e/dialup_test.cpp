// dialup_test.cpp - the real client's dial-up runs against modem-sim on a
// pty (and kaldo-server behind it): the whole exchange, the modem's
// failure answers, carrier loss, busy devices (lock files and flock), the
// bounded wait for a modem, an interrupt while dialing, and a device that
// cannot be opened.
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "dialup_fixture.h"

namespace dialup {
namespace {

// ---------------------------------------------------------------- whole exchange

struct CasoIntercambio {
  const char *nombre;
  int ignoreconnstr;
  bool eco;
};

class Intercambio : public Dialup, public ::testing::WithParamInterface<CasoIntercambio> {};

TEST_P(Intercambio, DeliversFilesAndHangsUp) {
  const CasoIntercambio &c = GetParam();
  std::string bajada = tmp / "bajada";
  prueba::MakeDir(bajada);
  prueba::WriteFile(bajada + "/respuesta.txt", "saldo 1234\r\n");
  std::string binario;
  for (int i = 0; i < 3000; i++) binario.push_back(static_cast<char>(i * 7 % 256));
  prueba::WriteFile(bajada + "/datos.bin", binario);
  prueba::WriteFile(raiz + "/upload/_svl.2", "0001 servicio\r\n");
  ASSERT_NO_FATAL_FAILURE(IniciarServidor({"--download-dir", bajada, "--upload", tmp / "subida"}));
  Configurar("PREFIJO=T\nINIT=ATZ\nBLOCKSIZE=512\nIGNORECONNSTR=" +
             std::to_string(c.ignoreconnstr) + "\n");
  std::vector<std::string> opciones = {"--dial", "CONNECT 9600"};
  if (!c.eco) opciones.push_back("--no-echo");
  ASSERT_NO_FATAL_FAILURE(IniciarModem(opciones));
  termios antes{};
  ASSERT_TRUE(Ajustes(Device(), antes));

  prueba::RunResult r = Correr();
  EXPECT_EQ(r.status, 0) << Log();
  EXPECT_EQ(Estado(), "0: Conexion OK\r\n");
  EXPECT_EQ(prueba::ReadFile(raiz + "/download/respuesta.txt"), "saldo 1234\r\n");
  EXPECT_EQ(prueba::ReadFile(raiz + "/download/datos.bin"), binario);
  EXPECT_NE(prueba::ReadFile(tmp / "subida").find("0001 servicio"), std::string::npos);
  // INIT, the local number without its area code after PREFIJO, then the
  // escape and ATH once the session is over.
  std::vector<std::string> esperados = {"ATZ", "ATDT4123456", "+++", "ATH"};
  EXPECT_EQ(ComandosFinales(esperados), esperados);
  std::string l = Log();
  if (c.ignoreconnstr) {
    EXPECT_NE(l.find("Connect string: (bypassed)"), std::string::npos);
  } else {
    EXPECT_NE(l.find("  9600\r\n"), std::string::npos) << l;
  }
  EXPECT_NE(l.find("rval=0"), std::string::npos);
  EXPECT_NE(l.find("Ya corte"), std::string::npos);
  EXPECT_TRUE(Locks().empty());
  termios despues{};
  ASSERT_TRUE(Ajustes(Device(), despues));
  EXPECT_EQ(despues.c_cflag, antes.c_cflag);
  EXPECT_EQ(despues.c_iflag, antes.c_iflag);
  EXPECT_EQ(despues.c_lflag, antes.c_lflag);
}

INSTANTIATE_TEST_SUITE_P(Dialup, Intercambio,
                         ::testing::Values(CasoIntercambio{"ConnectLineRead", 0, true},
                                           CasoIntercambio{"ConnectLineBypassed", 1, true},
                                           CasoIntercambio{"NoEcho", 0, false}),
                         [](const auto &caso) { return std::string(caso.param.nombre); });

// ---------------------------------------------------------------- failed calls

struct CasoFallido {
  const char *nombre;
  const char *respuesta;
  int reintentos;
  const char *init;       // INIT value, "" for no INIT line
  const char *telefono;   // dial string from the destination table
  const char *prefijo;
  const char *marcado;    // dial command the modem must receive
};

class LlamadaFallida : public Dialup, public ::testing::WithParamInterface<CasoFallido> {};

// Every attempt ends with the answer, followed by the hang-up sequence; with
// no attempt left the result is 5.
TEST_P(LlamadaFallida, EveryAttemptHangsUpAndTheRunGivesFive) {
  const CasoFallido &c = GetParam();
  // No INIT line at all: "INIT=" would still store its carriage return.
  std::string init = *c.init ? std::string("INIT=") + c.init + "\n" : "";
  Configurar(init + "PREFIJO=" + c.prefijo + "\nREINTENTOS=" + std::to_string(c.reintentos) +
                 "\n",
             c.telefono);
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", c.respuesta}));

  prueba::RunResult r = Correr(120000);
  EXPECT_EQ(r.status, 5) << Log();
  EXPECT_EQ(Estado(), "5: No se pudo conectar\r\n");
  std::vector<std::string> esperados;
  if (*c.init) esperados.push_back(c.init);
  for (int i = 0; i < c.reintentos; i++) {
    esperados.insert(esperados.end(), {c.marcado, "+++", "ATH"});
  }
  EXPECT_EQ(ComandosFinales(esperados), esperados);
  std::string l = Log();
  EXPECT_EQ(Contar(l, "Llamando..."), c.reintentos);
  EXPECT_EQ(Contar(l, std::string(c.respuesta) + "\n"), c.reintentos);
  EXPECT_EQ(Contar(l, "Ya corte"), c.reintentos);
  EXPECT_EQ(Contar(l, "Inicializando el modem"), *c.init ? 1 : 0);
  EXPECT_TRUE(Locks().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Dialup, LlamadaFallida,
    ::testing::Values(
        CasoFallido{"BusyThreeTimes", "BUSY", 3, "ATZ", "0351-4123456", "T", "ATDT4123456"},
        CasoFallido{"NoCarrierOtherArea", "NO CARRIER", 1, "AT&F", "011-43215555", "",
                    "ATD011-43215555"},
        CasoFallido{"NoAnswerEmptyInit", "NO ANSWER", 1, "", "0351-4123456", "P",
                    "ATDP4123456"},
        CasoFallido{"NoDialToneEmptyInit", "NO DIAL TONE", 2, "", "4123456", "", "ATD4123456"}),
    [](const auto &caso) { return std::string(caso.param.nombre); });

// ---------------------------------------------------------------- carrier loss

// The modem drops the carrier in the middle of the CONNECT line: the session
// never starts and no hang-up sequence is sent over a dead line.
TEST_F(Dialup, CarrierLostInConnectLineGivesTwoWithoutHangUp) {
  Configurar("INIT=ATZ\n");
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", "CONNECT 9600", "--cut-connect"}));
  prueba::RunResult r = Correr();
  EXPECT_EQ(r.status, 2) << Log();
  EXPECT_EQ(Estado(), "2: Perdida de portadora\r\n");
  EXPECT_EQ(Comandos(), (std::vector<std::string>{"ATZ", "ATD4123456"}));
  std::string l = Log();
  EXPECT_NE(l.find("rval=2"), std::string::npos);
  EXPECT_EQ(l.find("Protocolo..."), std::string::npos);
  EXPECT_EQ(l.find("Cortando..."), std::string::npos);
  EXPECT_TRUE(Locks().empty());
}

// The carrier drops while the upload is on its way: the session ends with 2
// and the hang-up sequence is skipped.
TEST_F(Dialup, CarrierLostInSessionGivesTwoWithoutHangUp) {
  std::string grande;
  for (int i = 0; i < 20000; i++) grande.push_back(static_cast<char>('a' + i % 26));
  prueba::WriteFile(raiz + "/upload/grande.txt", grande);
  ASSERT_NO_FATAL_FAILURE(IniciarServidor({}));
  Configurar("INIT=ATZ\nBLOCKSIZE=256\n");
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", "CONNECT 9600", "--drop-after-up", "3000"}));
  prueba::RunResult r = Correr();
  EXPECT_EQ(r.status, 2) << Log();
  EXPECT_EQ(Estado(), "2: Perdida de portadora\r\n");
  EXPECT_EQ(Comandos(), (std::vector<std::string>{"ATZ", "ATD4123456"}));
  std::string l = Log();
  EXPECT_NE(l.find("Protocolo..."), std::string::npos);
  EXPECT_NE(l.find("rval=2"), std::string::npos);
  EXPECT_EQ(l.find("Cortando..."), std::string::npos);
  EXPECT_TRUE(Locks().empty());
}

// ---------------------------------------------------------------- retained bundles

// The dial-up session runs in a child process; how far it got (the final
// EOT sent, the commit received) decides, in the parent, whether the bundle
// is deleted or kept as ".subida" or ".dudosa".
TEST_F(Dialup, BundleIsKeptByHowFarTheProtocolChildGot) {
  struct Caso {
    const char *nombre;
    std::vector<std::string> servidor;  // kaldo-server faults
    std::vector<std::string> modem;     // modem-sim faults
    const char *conf;                   // more zelta.conf lines
    const char *sufijo;                 // "" when nothing is kept
  } casos[] = {
      {"committed", {}, {}, "", ""},
      {"carrier lost in the upload", {}, {"--drop-after-up", "1000"}, "", ".subida"},
      // No DC1 after the client's EOT: a short session deadline ends the
      // wait.
      {"no commit after the final EOT", {"--no-dc1"}, {}, "TIEMPOMAXIMO=5\n", ".dudosa"},
  };
  std::string grande;
  for (int i = 0; i < 2000; i++) grande.push_back(static_cast<char>('a' + i % 26));
  for (const Caso &c : casos) {
    SCOPED_TRACE(c.nombre);
    prueba::WriteFile(raiz + "/upload/_svl.0", "V1510512ABCDEFGH\r\n");
    prueba::WriteFile(raiz + "/upload/grande.txt", grande);
    ASSERT_NO_FATAL_FAILURE(IniciarServidor(c.servidor));
    Configurar(std::string("INIT=ATZ\nBLOCKSIZE=256\n") + c.conf);
    std::vector<std::string> opciones = {"--dial", "CONNECT 9600"};
    opciones.insert(opciones.end(), c.modem.begin(), c.modem.end());
    ASSERT_NO_FATAL_FAILURE(IniciarModem(opciones));
    prueba::RunResult r = Correr();
    std::vector<std::string> retenidos = prueba::ListDir(raiz + "/retenidos");
    if (*c.sufijo == '\0') {
      EXPECT_EQ(r.status, 0) << Log();
      EXPECT_TRUE(retenidos.empty());
    } else {
      EXPECT_NE(r.status, 0) << Log();
      ASSERT_EQ(retenidos.size(), 1u) << Log();
      EXPECT_NE(retenidos[0].find(c.sufijo), std::string::npos) << retenidos[0];
      EXPECT_NE(prueba::ReadFile(raiz + "/retenidos/" + retenidos[0]).find(grande),
                std::string::npos);
      unlink((raiz + "/retenidos/" + retenidos[0]).c_str());
    }
    EXPECT_TRUE(prueba::ListDir(raiz + "/upload").empty());
    EXPECT_TRUE(Locks().empty());
    // A fresh modem and server for the next case.
    for (prueba::Spawned *p : {&modem, &servidor}) {
      p->Signal(SIGKILL);
      p->Wait(5000);
    }
    unlink(Device().c_str());
    unlink((tmp / "kaldo.port").c_str());
  }
}

// ---------------------------------------------------------------- devices

TEST_F(Dialup, LockedFirstDeviceIsSkipped) {
  std::string ajeno = ContenidoLock(getpid());
  prueba::WriteFile(lockdir + "/LCK..ttyS7", ajeno);
  Configurar("REINTENTOS=1\n", "0351-4123456", {Device("ttyS7"), Device("ttyS8")});
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", "NO CARRIER"}, "ttyS8"));
  prueba::RunResult r = Correr();
  EXPECT_EQ(r.status, 5) << Log();
  std::vector<std::string> esperados = {"ATD4123456", "+++", "ATH"};
  EXPECT_EQ(ComandosFinales(esperados), esperados);
  std::string l = Log();
  EXPECT_NE(l.find("Probando con " + Device("ttyS7")), std::string::npos);
  EXPECT_NE(l.find("Probando con " + Device("ttyS8")), std::string::npos);
  // The other process's lock is untouched; ours (device and pair) are gone.
  EXPECT_EQ(prueba::ReadFile(lockdir + "/LCK..ttyS7"), ajeno);
  EXPECT_EQ(Locks(), std::vector<std::string>{"LCK..ttyS7"});
}

// With every device locked the child walks the list again every 3 seconds
// and takes the device as soon as it is free.
TEST_F(Dialup, WaitsUntilALockedDeviceIsReleased) {
  prueba::WriteFile(lockdir + "/LCK..cua7", ContenidoLock(getpid()));
  Configurar("REINTENTOS=1\n");
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", "NO CARRIER"}));
  prueba::Spawned z = prueba::Spawn(Argv());
  ASSERT_TRUE(prueba::WaitUntil(
      [&] { return Contar(Log(), "Probando con " + Device()) >= 2 || !z.Running(); }, 15000))
      << Log();
  EXPECT_TRUE(z.Running());
  EXPECT_TRUE(Comandos().empty());
  unlink((lockdir + "/LCK..cua7").c_str());
  EXPECT_EQ(z.Wait(30000), 5) << Log();
  std::vector<std::string> esperados = {"ATD4123456", "+++", "ATH"};
  EXPECT_EQ(ComandosFinales(esperados), esperados);
  EXPECT_TRUE(Locks().empty());
}

// Programs such as picocom keep no LCK.. file but hold the device with
// flock(2): such a device is taken, nothing is written to it, and with
// ESPERAMODEM the wait ends with 5, the bundle kept.
TEST_F(Dialup, DeviceHeldWithFlockCountsAsLocked) {
  Configurar("INIT=ATZ\nESPERAMODEM=2\n");
  ASSERT_NO_FATAL_FAILURE(IniciarModem({}));
  int ajeno = open(Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(ajeno, 0);
  ASSERT_EQ(flock(ajeno, LOCK_EX | LOCK_NB), 0);
  prueba::RunResult r = Correr();
  EXPECT_EQ(r.status, 5) << Log();
  EXPECT_EQ(Estado(), "5: No se pudo conectar\r\n");
  std::string l = Log();
  EXPECT_EQ(Contar(l, "El dispositivo " + Device() + " esta tomado por otro programa (flock)"), 1) << l;
  EXPECT_NE(l.find("Esperando un modem libre: " + Device() + " (flock)"), std::string::npos) << l;
  EXPECT_NE(l.find("Ningun modem libre en 2 segundos"), std::string::npos) << l;
  EXPECT_TRUE(Comandos().empty());  // not even ATZ
  EXPECT_TRUE(Locks().empty());
  // Nothing reached the server: the bundle is kept to be sent again.
  std::vector<std::string> retenidos = prueba::ListDir(raiz + "/retenidos");
  ASSERT_EQ(retenidos.size(), 1u) << Log();
  EXPECT_NE(retenidos[0].find(".subida"), std::string::npos) << retenidos[0];
  close(ajeno);
}

// While a run has the device, a program that asks flock(2) for it is told
// it is taken.
TEST_F(Dialup, RunHoldingTheDeviceMakesFlockFail) {
  prueba::Spawned z = CorrerHastaMarcar("INIT=ATZ\n");
  ASSERT_TRUE(z.Running()) << Log();
  int otro = open(Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(otro, 0);
  EXPECT_EQ(flock(otro, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  close(otro);
  z.Signal(SIGINT);
  EXPECT_EQ(z.Wait(15000), 6) << Log();
}

// Every device locked by live processes: the owners are named once, then
// each walk gives the same waiting line, which the log folds.
TEST_F(Dialup, WaitForAFreeModemIsOneFoldedLine) {
  prueba::WriteFile(lockdir + "/LCK..ttyS7", ContenidoLock(getpid()));
  prueba::WriteFile(lockdir + "/LCK..ttyS8", ContenidoLock(getppid()));
  Configurar("ESPERAMODEM=4\n", "0351-4123456", {Device("ttyS7"), Device("ttyS8")});
  prueba::RunResult r = prueba::Run({zelta, "-l", log, raiz}, 30000);
  EXPECT_EQ(r.status, 5) << Log();
  std::string l = Log();
  EXPECT_EQ(Contar(l, "esta lockeando el archivo"), 2) << l;
  std::string espera = "Esperando un modem libre: " + Device("ttyS7") + " (proceso " +
                       std::to_string(getpid()) + "), " + Device("ttyS8") + " (proceso " +
                       std::to_string(getppid()) + ")";
  EXPECT_EQ(Contar(l, espera + "\n"), 1) << l;
  EXPECT_EQ(Contar(l, espera + " [Repetido "), 1) << l;
  EXPECT_EQ(Contar(l, "Ningun modem libre en 4 segundos"), 1) << l;
  EXPECT_LE(Lineas(l).size(), 12u) << l;
}

TEST_F(Dialup, DeviceThatCannotBeOpenedGivesFour) {
  Configurar("INIT=ATZ\n", "0351-4123456", {Device("ttyS9")});
  prueba::RunResult r = Correr();
  EXPECT_EQ(r.status, 4) << Log();
  EXPECT_EQ(Estado(), "4: No se pudo inicializar el modem\r\n");
  EXPECT_NE(Log().find("Error abriendo " + Device("ttyS9")), std::string::npos);
  EXPECT_TRUE(Locks().empty());
}

// ---------------------------------------------------------------- interrupt

// An interrupt while the modem dials reaches the protocol child: the run
// gives 6, no device lock is left and the line's settings are back.
TEST_F(Dialup, InterruptWhileDialingRestoresTheLine) {
  Configurar("INIT=ATZ\nBPS=19200\n");
  ASSERT_NO_FATAL_FAILURE(IniciarModem({"--dial", "silent"}));
  termios antes{};
  ASSERT_TRUE(Ajustes(Device(), antes));

  prueba::Spawned z = prueba::Spawn(Argv());
  ASSERT_TRUE(prueba::WaitUntil([&] { return ContarComandos("ATD") == 1 || !z.Running(); },
                                15000))
      << Log();
  // While dialing the line runs raw at BPS, ignoring carrier detect.
  termios durante{};
  ASSERT_TRUE(Ajustes(Device(), durante));
  EXPECT_EQ(durante.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(durante.c_oflag, 0u);
  EXPECT_EQ(durante.c_lflag, 0u);
  EXPECT_EQ(durante.c_cflag & (CSIZE | CREAD | HUPCL | CLOCAL | CRTSCTS | PARENB | CSTOPB),
            static_cast<tcflag_t>(CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS));
  EXPECT_EQ(cfgetospeed(&durante), static_cast<speed_t>(B19200));
  EXPECT_EQ(Locks(), (std::vector<std::string>{"LCK..cua7", "LCK..ttyS7"}));

  z.Signal(SIGINT);
  EXPECT_EQ(z.Wait(15000), 6) << Log();
  EXPECT_NE(Log().find("Ctrl-C recibido"), std::string::npos);
  EXPECT_TRUE(Locks().empty());
  termios despues{};
  ASSERT_TRUE(Ajustes(Device(), despues));
  EXPECT_EQ(despues.c_iflag, antes.c_iflag);
  EXPECT_EQ(despues.c_oflag, antes.c_oflag);
  EXPECT_EQ(despues.c_cflag, antes.c_cflag);
  EXPECT_EQ(despues.c_lflag, antes.c_lflag);
  EXPECT_EQ(cfgetospeed(&despues), cfgetospeed(&antes));
  EXPECT_EQ(Comandos(), (std::vector<std::string>{"ATZ", "ATD4123456"}));
}

// A protocol child that dies by a signal has no result to give, and one
// that is told to end ends with 6: the run must not report success (and
// unpack a download that never came).
class HijoMuerto : public Dialup, public ::testing::WithParamInterface<int> {};

TEST_P(HijoMuerto, ChildKilledBySignalGivesSix) {
  prueba::Spawned z = CorrerHastaMarcar("INIT=ATZ\n");
  ASSERT_TRUE(z.Running()) << Log();
  // The device lock file names the protocol child.
  pid_t hijo = atoi(prueba::ReadFile(lockdir + "/LCK..ttyS7").c_str());
  ASSERT_GT(hijo, 0);
  ASSERT_NE(hijo, z.pid);
  kill(hijo, GetParam());
  EXPECT_EQ(z.Wait(15000), 6) << Log();
  EXPECT_EQ(Estado(), "6: Abortado por el usuario\r\n");
  // SIGTERM is an interrupt the child handles (line restored, device locks
  // removed); SIGKILL leaves only the parent to tell.
  std::string esperado = GetParam() == SIGTERM
                             ? "SIGTERM recibido"
                             : "termino por la senal " + std::to_string(GetParam());
  EXPECT_NE(Log().find(esperado), std::string::npos) << Log();
  if (GetParam() == SIGTERM) {
    EXPECT_TRUE(Locks().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Dialup, HijoMuerto, ::testing::Values(SIGKILL, SIGTERM));

}  // namespace
}  // namespace dialup
