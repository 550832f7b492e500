// tq708port: the serial port library of the multiport serial hardware.
//
// Ports are named by number (0 to 3); the library maps a number to its device
// node, keeps the open descriptor and offers open with line configuration,
// close, send, single reads, queue fill levels and a polled read of one frame.
// Every function returns a signed int: -1 means "port not open", -2 means
// "device node could not be opened".
#pragma once

#include <linux/serial.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>

int TQ708sfindFD(int port);
// 0, or -2 when the node cannot be opened or refuses the line settings
// (tcgetattr or tcsetattr fails; the node is closed again).
int TQ708sopen(int port, int interfaceMode, int baud, int parity, int databits, int stopbits);
int TQ708sclose(int port);
int TQ708ssend(int port, const void *buf, int len);
int TQ708sNonBlockRead(int port, void *buf, int len);
int TQ708sBlockRead(int port, void *buf, int len);
int TQ708sDataInInputQueue(int port);
int TQ708sDataInOutputQueue(int port);
int TQ708sNonBlockReadFull(int port, void *buf, int len, int pollUs, int firstPolls, int idlePolls);
// The device node of `port` as the open uses it ("/dev/ttyM1"); false when
// it does not fit in `size` or the pattern is refused.
bool TQ708sDeviceName(int port, char *name, size_t size);

// Waits until `port` has bytes to read or the monotonic time `until_us`
// (microseconds, the clock of monotonic_us) has come: 1 with bytes there, 0
// at the deadline, -1 when the port is not open. A line that has hung up
// delivers nothing: the wait then lasts to the deadline and returns 0.
int TQ708sWaitInput(int port, int64_t until_us);

// The line rate (bit/s) that TQ708sopen selects for a wanted rate: the first
// table rate at or above it, 50 for anything up to 50, 921600 for anything
// above 921600.
int TQ708sLineRate(int baud);

// The terminal speed code that goes with TQ708sLineRate(baud).
int TQ708sSpeedCode(int baud);

// The working settings record the last TQ708sopen of `port` built, as it was
// handed to tcsetattr (for inspection: a pseudo-terminal reports back some
// control bits of its own).
const struct termios *TQ708sWorkingSettings(int port);

// The environment variable that replaces the device-node pattern
// "/dev/ttyM%d" (USB RS-485 adapters, pseudo-terminal links in tests).
constexpr const char *kTtyPatternVariable = "VELKORD_TTY_PATTERN";

// The environment variable that asks for the kernel's RS-485 mode; the
// library names it when the driver refuses.
constexpr const char *kRs485Variable = "VELKORD_RS485";

// From the next TQ708sopen of `port` on, every open (the first and each
// reopen after a lost link) asks the driver for `mode` with TIOCSRS485 once
// the line is set up; a refusal closes the node again and the open returns
// -2 with one line on standard error. nullptr leaves the driver's mode alone.
void TQ708sSetRs485(int port, const struct serial_rs485 *mode);

// How the RS-485 request reaches the driver: ioctl(fd, TIOCSRS485, mode)
// unless a test puts its own function in (nullptr restores the ioctl).
// Returns 0, or -1 with errno set.
using TQ708sRs485Request = int (*)(int fd, struct serial_rs485 *mode);
void TQ708sSetRs485Request(TQ708sRs485Request request);
