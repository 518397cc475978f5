// corrida.cpp - the process-wide run state and configuration record.
#include "control.h"

EstadoCorrida g_corrida;
Configuracion g_config;

