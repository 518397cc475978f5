// The update run (-u): the fixed request, installation of the delivered
// files into the program directory with .bak copies, and its failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support.h"

namespace {

using prueba::ReadFile;
using prueba::WriteFile;

struct UpdateFixture : ::testing::Test {
  prueba::TempDir dir;
  std::string prog;
  void SetUp() override {
    prog = dir / "prog";
    prueba::InstallClient(prog);
    WriteFile(prog + "/zelta.conf", "MODEM=/dev/ttyS0\nCODIGOINTERURBANO=11\n");
    prueba::MakeDir(dir / "down");
  }
  // Serves one session delivering the files of dir/down; runs zelta -u.
  prueba::RunResult Actualizar() {
    unlink((dir / "port").c_str());
    auto srv = prueba::Spawn({prueba::Bin("kaldo-server"), "--port-file", dir / "port",
                              "--download-dir", dir / "down", "--upload", dir / "up.dat"});
    EXPECT_TRUE(prueba::WaitUntil([&] { return !ReadFile(dir / "port").empty(); }, 10000));
    WriteFile(prog + "/zelta.destinos", "0 0 ZELTAUPD - 127.0.0.1 " + ReadFile(dir / "port") + "\n");
    // Started through a fresh link to the built client each time.
    prueba::InstallClient(prog);
    auto r = prueba::Run({prog + "/zelta", "-u", "-t", "tcp", "-x5"}, 60000);
    srv.Wait(10000);
    return r;
  }
};

TEST_F(UpdateFixture, InstallsDeliveredFilesWithBackups) {
  WriteFile(prog + "/datos.cfg", "v0\n", 0640);
  WriteFile(dir / "down/datos.cfg", "v1\n");
  WriteFile(dir / "down/rondador", "#!/bin/sh\n");
  WriteFile(dir / "down/_ticket.prn", "ticket\r\n");
  auto r = Actualizar();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFile(prog + "/estado.rsp"), "0: Conexion OK\r\n");
  EXPECT_EQ(ReadFile(dir / "up.dat").substr(0, 26), "[_svl.0]\r\nV1510000ZELTAUPD");
  EXPECT_EQ(ReadFile(prog + "/datos.cfg"), "v1\n");
  EXPECT_EQ(ReadFile(prog + "/datos.cfg.bak"), "v0\n");
  EXPECT_EQ(prueba::FileMode(prog + "/datos.cfg"), 0640u);  // the old file's bits
  EXPECT_EQ(ReadFile(prog + "/rondador"), "#!/bin/sh\n");
  EXPECT_EQ(prueba::FileMode(prog + "/rondador"), 0755u);  // new program
  EXPECT_FALSE(prueba::Exists(prog + "/rondador.bak"));
  EXPECT_FALSE(prueba::Exists(prog + "/_ticket.prn"));
  EXPECT_NE(r.output.find("Actualizado datos.cfg"), std::string::npos);
  EXPECT_NE(r.output.find("Actualizado rondador"), std::string::npos);

  // A second update replaces the backups with the files it replaces.
  unlink((dir / "down/rondador").c_str());
  unlink((dir / "down/_ticket.prn").c_str());
  WriteFile(dir / "down/datos.cfg", "v2\n");
  r = Actualizar();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFile(prog + "/datos.cfg"), "v2\n");
  EXPECT_EQ(ReadFile(prog + "/datos.cfg.bak"), "v1\n");
  EXPECT_EQ(ReadFile(prog + "/rondador"), "#!/bin/sh\n");
}

TEST_F(UpdateFixture, ANewClientReplacesTheRunningOne) {
  WriteFile(dir / "down/zelta", "#!/bin/sh\necho nuevo\n");
  auto r = Actualizar();
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFile(prog + "/zelta"), "#!/bin/sh\necho nuevo\n");
  EXPECT_EQ(prueba::FileMode(prog + "/zelta"), 0755u);
  EXPECT_EQ(ReadFile(prog + "/zelta.bak"), ReadFile(prueba::Bin("zelta")));
}

TEST_F(UpdateFixture, FailureToInstallGives14AndKeepsEarlierBackups) {
  WriteFile(prog + "/a.cfg", "a0\n");
  prueba::MakeDir(prog + "/b.cfg");  // cannot be replaced by a file
  WriteFile(dir / "down/a.cfg", "a1\n");
  WriteFile(dir / "down/b.cfg", "b1\n");
  auto r = Actualizar();
  EXPECT_EQ(r.status, 14) << r.output;
  EXPECT_EQ(ReadFile(prog + "/estado.rsp"), "14: Error escribiendo archivo\r\n");
  EXPECT_EQ(ReadFile(prog + "/a.cfg"), "a1\n");
  EXPECT_EQ(ReadFile(prog + "/a.cfg.bak"), "a0\n");
}

}  // namespace
