// rondador.h - the daemon (being written).
#pragma once
int rondador_main(int argc, char **argv);
