// control.h - the client's bottom layer: run state and the end of a run,
// result codes and the status file, the log, lock files and the directory
// lock, the configuration record read from zelta.conf and zelta.destinos,
// and the phase and retention of the run's transaction.
//
// Depends on archivos.h only; used by every other layer (spool, link,
// protocol, run).
//
// Process-wide records owned here: the run state (g_corrida), the log state
// (internal to log.cpp), the configuration record (g_config), the device
// lock slots (internal to locks.cpp) and the transaction's phase (internal
// to retenidos.cpp).
#pragma once

// One header per module, each named after the .cpp that defines what it
// declares. The other layers include this one only.
#include "archivos.h"
#include "corrida.h"
#include "resumen.h"
#include "destino.h"
#include "retenidos.h"
#include "estado.h"
#include "visible.h"
#include "numeros.h"
#include "log.h"
#include "locks.h"
#include "configuracion.h"
