// rondador.cpp - the daemon (being written).
#include "rondador.h"
int rondador_main(int, char **) { return 255; }
