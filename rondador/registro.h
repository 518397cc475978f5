// registro.h - the daemon's log: one line per message, stamped with the
// local time, written to the log file of -l or to standard output, with
// every byte an operator should not see raw escaped (see visible).
//
// Depends on opciones.h (the debug level, the log file's path) and acceso.h;
// used by every module of the daemon above them.
#pragma once

#include <cstdio>

namespace rondador {

extern FILE *logfile;             // log stream; nullptr means standard output

// Writes "%b %d %H:%M:%S " + text + line feed to the log when level <=
// debuglevel, and flushes it.
void lognf(const char *texto, int level);
// Formats at most 499 characters and passes them to lognf.
void log_f(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A failure with its errno: the message, then ": " and strerror(error), the
// whole cut to 499 characters as log_f cuts it.
void log_falla(int level, int error, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Opens the log file of -l, when there is one, as the log stream. Returns 0
// or the errno value of the failure (nothing is logged).
int abrirregistro();
// Opens the log file anew and puts it in place of the old one (and, as a
// daemon, under standard output and error, which the clients inherit). A
// failure is logged and the old file kept.
void reabrirregistro(bool demonio);

}  // namespace rondador
