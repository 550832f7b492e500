// start: the command line and the start-up sequence of velkord.
#pragma once

// Sentinel of ParseCommandLine: the options were accepted, go on starting up.
constexpr int kGoOn = -1000;

// Reads the options into ModbusRTU. Returns kGoOn when the gateway is to
// start, or the value the entry point returns (0, 1, 2, -2, 3 or 4).
int ParseCommandLine(int argc, char **argv);

// Prints the five settings lines of ModbusRTU.
void PrintSettings();

// Reads the VELKORD_* settings into the gateway's record and hands the
// serial library and the line their parts. Returns nullptr, or the line
// (without its end) that names the first invalid one and why.
const char *TakeEnvironment();

// Opens the serial link, the TCP server and, when VELKORD_STATUS names an
// address, the status server; then waits for SIGUSR1 for ever (blocked in
// every thread by main) and prints the unit summary on each. Returns 255
// only when one of the starts failed.
int StartGateway();

// The whole run of the program, as the entry point hands it over: sets up
// the output and the signals, then the command line, the environment and
// the start. Returns the exit status (it returns only when the start ends).
int RunGateway(int argc, char **argv);
