// driver.cpp - the run driver (being written).
#include "control.h"

void cleanexit() {}
void cleanexitSenal() {}
int CorrerZelta(int, char **) { return 5; }
