// velkord: Modbus RTU master on one serial line, TCP server for its clients.
// The entry point only: the start-up sequence does everything, so tests and
// fuzz targets link it as it is, without this file.
#include "start.h"

int main(int argc, char **argv) { return RunGateway(argc, argv); }
