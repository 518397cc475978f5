// main.cpp - entry point of the daemon rondador.
#include "rondador.h"

int main(int argc, char **argv) { return rondador::rondador_main(argc, argv); }
