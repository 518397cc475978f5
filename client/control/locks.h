// locks.h - lock files (the instance lock and the device locks) and the
// directory lock on the terminal root (locks.cpp).
#pragma once

#include <string>

// A lock file held by another process, for the caller to report.
struct LockOcupado {
  int pid = 0;       // its owner's pid (0 when the file holds none)
  std::string path;  // the lock file
};

// Makes the lock file at path holding this process's pid. Returns 0 when
// made and owned by this process, -1 otherwise (logged). With ocupado, a
// lock held by another process is not logged but described in *ocupado;
// every other failure is logged as always and leaves *ocupado alone.
int CrearLock(const std::string &path, LockOcupado *ocupado = nullptr);

// Locks a device and its pair device ("LCK.." files in LOCKDIR). Returns 0
// with both slots set, or -1 with both slots empty. ocupado as for CrearLock.
int LockearDevice(const char *device, LockOcupado *ocupado = nullptr);
// Locks one device into slot 0 or 1. Returns 0 or -1.
int LockearDeviceFile(const char *device, int slot, LockOcupado *ocupado = nullptr);
// Removes the device lock files this process made and empties the slots.
void LiberarLocksDevice();
// The pair device of a device under PAIRDEVPREFIX, or "" when there is none.
std::string DevicePar(const std::string &device);

// Narrows the terminal root (g_corrida.raizfd, or g_corrida.raiz opened
// when there is none) to 0744 for the run, once
// its own mode is recorded in <root>/_zelta.modo (synced). A record already
// there was left by a run that died with the root narrowed: the mode it
// holds is the one to put back. Failures are logged; without a record the
// root is not narrowed.
void LockearDirectorio();
// Puts the recorded mode back and removes the record.
void DeslockearDirectorio();
