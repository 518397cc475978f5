// actualizacion.cpp - the update run (-u): preparation and completion.
#include "control.h"

int PrepararActualizacion() { return 0; }

int CompletarActualizacion() { return 0; }
