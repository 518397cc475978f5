// resumen.h - the summary line a run ends with (resumen.cpp).
#pragma once

#include <string>

// Every run that took the lock ends with one summary line at level 1:
// "Resumen: terminal T, resultado R, enviados N bytes, recibidos M bytes,
// S s". A resend writes one for each bundle it sends, with "retenido
// NOMBRE, " after the terminal, and the run's own only when it sent none
// or is interrupted between two bundles. The record behind the line is
// owned by resumen.cpp.

// Starts the run's summary: the clock, no bytes, the answer read from
// g_corrida.dirbajada. A line is owed from here.
void IniciarResumen();
// Starts the line of one resent bundle (its name in retenidos/); the run's
// own line is owed again once this one is written.
void IniciarResumenBundle(const char *nombre);
// The bytes of the bundle sent and of the answer received.
void ResumenEnviados(long long bytes);
void ResumenRecibidos(long long bytes);
// Where output.dat lands, relative to the root: a line written by
// TerminarCorrida before ResumenRecibidos reads its size there.
void ResumenBajadaEn(const std::string &ruta);
// Lines written so far by this run.
int ResumenesEscritos();
// Writes the owed line with resultado; nothing when none is owed.
void LogResumen(int resultado);
// Takes the size of the answer for the owed line now, when nothing has
// given it (before an end that cannot go back to the driver moves the
// answer away).
void MedirResumen();
