// portmgr.h - the parts of the port-manager request that are worth testing on
// their own: the reading of one answer and the name of the memory file. The
// operations the driver calls are declared in line.h.
//
// Depends on nothing; used by portmgr.cpp and its tests.
#pragma once

#include <cstddef>
#include <string>

enum RespuestaPortMgr {
  kRespuestaInvalida,  // not an answer this client understands
  kRespuestaBusy,      // the port manager is busy: ask again later
  kRespuestaNone,      // the port manager has nothing to offer
  kRespuestaGrant,     // host and port handed out
};

// Reads the text of one answer. For kRespuestaGrant the host is copied into
// outhost (at most tam - 1 characters, always terminated; nothing is written
// when tam is 0) and *outport is set; for every other answer neither is
// touched. A grant is "MGR;G;<host>;<port>;..." whose port converts (like
// atoi) to a TCP port from 1 to 65534.
RespuestaPortMgr InterpretarRespuestaPortMgr(const char *texto, char *outhost, size_t tam,
                                             unsigned short *outport);

// The memory file: "zelta.portmgr" in the program directory.
std::string ArchivoPortMgr();
