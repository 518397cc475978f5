// session.h - the KALDO session: frame layer, session opening and the
// block-by-block bundle transfer.
//
// Process-wide record owned here: the session state (g_sesion).
#pragma once

#include <cstddef>
#include <cstdio>

// Allocates the session buffer (BLOCKSIZE + 100 bytes). Returns 0, or 18
// when there is no memory.
int ReservarBufferSesion();
// Releases the session buffer (no-op when none is held).
void LiberarBufferSesion();

// Runs the whole session over g_linea.fd. Returns the result code.
int IniciarProtocolo();
