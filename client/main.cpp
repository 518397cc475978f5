// main.cpp - entry point of the client program zelta.
#include "control.h"

int main(int argc, char **argv) { return CorrerZelta(argc, argv); }
