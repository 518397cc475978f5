// main.cpp - entry point of the client program zelta.
#include "run.h"

int main(int argc, char **argv) { return CorrerZelta(argc, argv); }
