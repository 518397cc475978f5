// resumen.h - the summary line a run ends with (resumen.cpp).
#pragma once

#include <string>

// Every run that took the lock ends with one summary line at level 1:
// "Resumen: terminal T, resultado R, enviados N bytes, recibidos M bytes,
// S s". A resend writes one for each bundle it sends, with "retenido
// NOMBRE, " after the terminal, and the run's own only when it sent none
// or ends from a signal between two bundles. The record behind the line is
// owned by resumen.cpp; the end of a run from a signal writes it too.

// Starts the run's summary: the clock, no bytes, the answer read from
// g_corrida.dirbajada. A line is owed from here.
void IniciarResumen();
// Starts the line of one resent bundle (its name in retenidos/); the run's
// own line is owed again once this one is written.
void IniciarResumenBundle(const char *nombre);
// The bytes of the bundle sent and of the answer received.
void ResumenEnviados(long long bytes);
void ResumenRecibidos(long long bytes);
// Where output.dat lands, relative to the root: a line written from a
// signal before ResumenRecibidos reads its size there.
void ResumenBajadaEn(const std::string &ruta);
// Lines written so far by this run.
int ResumenesEscritos();
// Writes the owed line with resultado; nothing when none is owed.
void LogResumen(int resultado);
// Takes the size of the answer for the owed line now (before the signal
// path moves it away). Async-signal-safe.
void MedirResumenSenal();
// LogResumen for a signal handler. Async-signal-safe.
void LogResumenSenal(int resultado);
