// log.h - the client's log (log.cpp).
#pragma once

#include <cstdio>

// Opens the log file ruta for appending; a new file is made 0644 whatever
// the umask. Null on failure (errno set).
FILE *AbrirLog(const char *ruta);

// Sets the log sink (nullptr means none yet). The log does not own it.
void FijarSalidaLog(FILE *salida);
FILE *SalidaLog();

// Writes text at the given level, with timestamp and tag, folding repeats.
void LogMensaje(const char *texto, int nivel);
void LogFormato(int nivel, const char *formato, ...)
    __attribute__((format(printf, 2, 3)));

// Logs a failure with its system error, like OpenBSD's log_warn: the
// formatted message, then ": " and TextoError(error), which is strerror's
// text or the words for a file refused under the root (pass a file-access
// helper's result through ErrorArchivo). error is passed, never read from
// errno, so nothing between the failing call and the log can change it.
// Not for signal handlers.
void LogFalla(int nivel, int error, const char *formato, ...)
    __attribute__((format(printf, 3, 4)));

// The same with the error's text in brackets after the message and a space
// ("... [text]"), the shape of the spool's and the driver's messages.
void LogFallaEntreCorchetes(int nivel, int error, const char *formato, ...)
    __attribute__((format(printf, 3, 4)));

// Forgets the last message and the repeat count (tests; a new run).
void ReiniciarLog();
