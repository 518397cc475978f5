// numeros.cpp - numbers read from files (zelta.conf, lock files): the
// leading decimal number, as atoi reads it, but checked against a range at
// any length, so that no value wraps into the range unseen
// (REINTENTOS=4294967297 is not 1).
#include <cctype>

#include "control.h"

bool LeerNumero(const char *texto, long long minimo, long long maximo, long long *valor) {
  const char *p = texto;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  bool negativo = *p == '-';
  if (*p == '-' || *p == '+') p++;
  // Past this bound (18 digits) the number is out of every range a caller
  // can ask for; the digits are still read, so that none of them wraps it
  // back. Checked before the next digit goes in, so v never overflows.
  constexpr long long kTope = 100000000000000000LL;
  long long v = 0;
  bool enorme = false;
  for (; isdigit(static_cast<unsigned char>(*p)); p++) {
    if (v >= kTope) {
      enorme = true;
    } else {
      v = v * 10 + (*p - '0');
    }
  }
  if (negativo) v = -v;
  if (enorme || v < minimo || v > maximo) return false;
  *valor = v;
  return true;
}

int PidDeLock(const char *texto) {
  long long pid = 0;
  if (!LeerNumero(texto, 1, kMaxPid, &pid)) return 0;
  return static_cast<int>(pid);
}
