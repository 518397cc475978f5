// numeros.h - numbers read from files: zelta.conf's values and the pid of
// a lock file (numeros.cpp).
#pragma once

// Reads the leading decimal number of texto the way atoi does (leading
// blanks, an optional sign, digits; what follows is not looked at; no
// digits read as 0), at any length. Returns true with *valor when it lies
// from minimo to maximo; false, *valor untouched, otherwise.
bool LeerNumero(const char *texto, long long minimo, long long maximo, long long *valor);

// Largest pid a lock file can name (above the kernel's pid_max limit).
inline constexpr long long kMaxPid = 2147483647;

// The pid the content of a lock file names: its leading number when it is
// from 1 to kMaxPid, else 0 (no pid: a lock an operator made, or garbage).
int PidDeLock(const char *texto);
