#include "tq708port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sleep_us.h"

static constexpr int kPorts = 4;

// What the library keeps of the ports, by port number. The process has one
// set; the documented names below are its parts.
struct SerialPorts {
  // Descriptor of each port, -1 while the port is closed.
  int fd[kPorts] = {-1, -1, -1, -1};
  // Working settings of each port, rebuilt at every open.
  struct termios working[kPorts];
  // The settings each port had before we opened it; close puts them back so
  // the line is left as we found it.
  struct termios saved[kPorts];
  // RS-485 mode each port's driver is asked for at open, when enabled.
  bool rs485_on[kPorts];
  struct serial_rs485 rs485_mode[kPorts];
};

static SerialPorts ProcessPorts;
static int (&fd_map)[kPorts] = ProcessPorts.fd;
static struct termios (&newtio)[kPorts] = ProcessPorts.working;
static struct termios (&oldtio)[kPorts] = ProcessPorts.saved;

static constexpr int kRateCount = 23;
// Line rates in bit/s and, side by side, the terminal speed codes for them
// (the values of the B0 to B921600 constants). Row 0 is never selected.
static constexpr int kLineRates[kRateCount] = {0,     50,     75,     110,    134,    150,    200,   300,
                                               600,   1200,   1800,   2400,   4800,   9600,   19200, 38400,
                                               57600, 115200, 230400, 460800, 500000, 576000, 921600};
static constexpr int kSpeedCodes[kRateCount] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006, 0x1007};

static int ask_driver_for_rs485(int fd, struct serial_rs485 *mode) { return ioctl(fd, TIOCSRS485, mode); }
static TQ708sRs485Request rs485_request = ask_driver_for_rs485;

// Operating-mode request of the multiport driver (RS-232/422/485 selection);
// other drivers reject it, which is harmless.
static constexpr unsigned long kSetInterfaceModeRequest = 0x442;

static const char kDefaultTtyPattern[] = "/dev/ttyM%d";

// Index of the first table rate at or above `baud`; anything up to 50 gets
// 50, and anything past the last row gets the last row.
static int rate_index(int baud) {
  int i = 1;
  while (i < kRateCount && kLineRates[i] < baud) ++i;
  return i < kRateCount ? i : kRateCount - 1;
}

// Writes the device node of `port` into `name`. The pattern may come from the
// environment, so it is never handed to printf as a format: it has to hold
// exactly one "%d" and no other '%', and the number is put in by hand.
static bool format_node_name(int port, char *name, size_t size) {
  const char *pattern = getenv(kTtyPatternVariable);
  if (pattern == nullptr) pattern = kDefaultTtyPattern;

  const char *mark = strchr(pattern, '%');
  if (mark == nullptr || mark[1] != 'd' || strchr(mark + 2, '%') != nullptr) {
    fprintf(stderr, "%s must hold exactly one %%d and no other '%%'\n", kTtyPatternVariable);
    return false;
  }
  int written = snprintf(name, size, "%.*s%d%s", static_cast<int>(mark - pattern), pattern, port, mark + 2);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    fprintf(stderr, "%s gives a device node name that is too long\n", kTtyPatternVariable);
    return false;
  }
  return true;
}

// Builds the working settings of `port` from zero: raw bytes in both
// directions, a read returns as soon as one byte is there.
static void build_working_settings(int port, int speed_code, int parity, int databits, int stopbits) {
  struct termios *tio = &newtio[port];
  memset(tio, 0, sizeof *tio);
  tio->c_cflag = static_cast<tcflag_t>(speed_code);
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;

  switch (parity) {
    case 0:
      tio->c_cflag &= ~PARENB;
      tio->c_iflag &= ~INPCK;
      break;
    case 1:
      tio->c_cflag |= PARENB | PARODD;
      tio->c_iflag |= INPCK;
      break;
    case 2:
      tio->c_cflag |= PARENB;
      tio->c_cflag &= ~PARODD;
      break;
    case 3:
      tio->c_cflag &= ~(PARENB | CSTOPB);
      break;
    case 4:
      tio->c_cflag |= CSTOPB;
      tio->c_cflag &= ~PARENB;
      tio->c_iflag &= ~INPCK;
      break;
    default:
      break;
  }

  switch (databits) {
    case 6:
      tio->c_cflag |= CS6;
      break;
    case 7:
      tio->c_cflag |= CS7;
      break;
    case 8:
      tio->c_cflag |= CS8;
      break;
    default:  // 5 is CS5, which is 0
      break;
  }

  // Only 1 and 2 touch the stop bit, so parity 3 and 4 keep theirs otherwise.
  if (stopbits == 1) tio->c_cflag &= ~CSTOPB;
  if (stopbits == 2) tio->c_cflag |= CSTOPB;

  // Enable the receiver, and ignore the modem-status lines: RS-485 adapters
  // have no carrier, and without CREAD some drivers drop every byte received.
  tio->c_cflag |= CREAD | CLOCAL;
}

// USB serial adapters hand received bytes over on a timer of up to 16 ms
// unless asked for low latency; on-board UARTs ignore the flag or do not know
// the request. Either way a refusal leaves the line as good as it was.
static void ask_low_latency(int fd) {
  struct serial_struct info;
  if (ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0) return;
  info.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &info);
}

// A line that should drive an RS-485 transceiver but does not would send
// into a bus it never turns around: refuse to go on without the mode.
static bool enter_rs485_mode(int port, int fd, const char *name) {
  if (!ProcessPorts.rs485_on[port]) return true;
  struct serial_rs485 mode = ProcessPorts.rs485_mode[port];
  if (rs485_request(fd, &mode) == 0) return true;
  fprintf(stderr, "%s: the driver of %s refuses RS-485 mode: %s\n", kRs485Variable, name, strerror(errno));
  return false;
}

void TQ708sSetRs485(int port, const struct serial_rs485 *mode) {
  ProcessPorts.rs485_on[port] = mode != nullptr;
  if (mode) ProcessPorts.rs485_mode[port] = *mode;
}

void TQ708sSetRs485Request(TQ708sRs485Request request) {
  rs485_request = request ? request : ask_driver_for_rs485;
}

// glibc reports EINVAL when the driver took the settings but changed their
// parity or character size bits, as a pseudo-terminal always does; such a
// line carries bytes as before. Any other refusal (EIO from an adapter that
// has gone, ENOTTY from something that is no terminal) means it cannot.
static bool apply_settings(int fd, const struct termios *tio) {
  return tcsetattr(fd, TCSANOW, tio) == 0 || errno == EINVAL;
}

int TQ708sLineRate(int baud) { return kLineRates[rate_index(baud)]; }

int TQ708sSpeedCode(int baud) { return kSpeedCodes[rate_index(baud)]; }

const struct termios *TQ708sWorkingSettings(int port) { return &newtio[port]; }

int TQ708sfindFD(int port) { return fd_map[port]; }

int TQ708sopen(int port, int interfaceMode, int baud, int parity, int databits, int stopbits) {
  int speed_code = TQ708sSpeedCode(baud);

  // Opening again must not leave the earlier descriptor behind, and the
  // settings saved below must be the line's own, not our working ones.
  if (fd_map[port] != -1) TQ708sclose(port);

  char name[PATH_MAX];
  if (!format_node_name(port, name, sizeof name)) return -2;

  // Non-blocking so the open does not wait for a carrier the line never
  // raises; the reads expect a blocking descriptor afterwards.
  int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -2;
  fcntl(fd, F_SETFL, 0);
  // A node that is no terminal, or refuses the line settings, cannot carry
  // the line: it is closed again and counts as a node that cannot be opened.
  if (tcgetattr(fd, &oldtio[port]) != 0) {
    close(fd);
    return -2;
  }

  ioctl(fd, kSetInterfaceModeRequest, &interfaceMode);
  fd_map[port] = fd;

  build_working_settings(port, speed_code, parity, databits, stopbits);
  tcflush(fd, TCIFLUSH);
  bool settled = apply_settings(fd, &newtio[port]);
  tcflush(fd, TCIOFLUSH);
  cfsetispeed(&newtio[port], static_cast<speed_t>(speed_code));
  cfsetospeed(&newtio[port], static_cast<speed_t>(speed_code));
  settled = settled && apply_settings(fd, &newtio[port]);
  if (!settled) {
    TQ708sclose(port);
    return -2;
  }
  ask_low_latency(fd);
  if (!enter_rs485_mode(port, fd, name)) {
    TQ708sclose(port);
    return -2;
  }
  return 0;
}

int TQ708sclose(int port) {
  int fd = fd_map[port];
  if (fd == -1) return -1;
  tcsetattr(fd, TCSANOW, &oldtio[port]);
  close(fd);
  fd_map[port] = -1;
  return 0;
}

int TQ708ssend(int port, const void *buf, int len) {
  int fd = fd_map[port];
  if (fd == -1) return -1;
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(write(fd, buf, static_cast<size_t>(len)));
}

// One read in the given blocking mode; the mode stays with the descriptor.
static int read_in_mode(int fd, int status_flags, void *buf, int len) {
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  fcntl(fd, F_SETFL, status_flags);
  return static_cast<int>(read(fd, buf, static_cast<size_t>(len)));
}

int TQ708sNonBlockRead(int port, void *buf, int len) {
  int fd = fd_map[port];
  if (fd == -1) return -1;
  return read_in_mode(fd, O_NONBLOCK, buf, len);
}

int TQ708sBlockRead(int port, void *buf, int len) {
  int fd = fd_map[port];
  if (fd == -1) return -1;
  return read_in_mode(fd, 0, buf, len);
}

int TQ708sDataInInputQueue(int port) {
  int count = 0;
  int fd = fd_map[port];
  if (fd == -1) return -1;
  ioctl(fd, FIONREAD, &count);
  return count;
}

int TQ708sDataInOutputQueue(int port) {
  int count = 0;
  int fd = fd_map[port];
  if (fd == -1) return -1;
  ioctl(fd, TIOCOUTQ, &count);
  return count;
}

int TQ708sWaitInput(int port, int64_t until_us) {
  int fd = fd_map[port];
  if (fd == -1) return -1;
  for (;;) {
    int64_t left_us = until_us - monotonic_us();
    if (left_us <= 0) return 0;
    const struct timespec left = timespec_from_us(left_us);
    struct pollfd p = {fd, POLLIN, 0};
    int r = ppoll(&p, 1, &left, nullptr);
    if (r < 0 && errno != EINTR) return -1;
    if (r <= 0) continue;  // a signal, or the time is up: the loop looks at the clock
    if (p.revents & POLLIN) return 1;
    // Hung up or failed without bytes: poll would return at once from now
    // on, and a loop of them would spin until the deadline.
    sleep_until_us(until_us);
    return 0;
  }
}

// Collects one frame. Until the first byte each empty poll is followed by a
// pause of pollUs that ends as soon as a byte arrives; after that the end of
// the frame is judged by idlePolls empty reads in a row with no pause, so the
// gap after the last byte costs almost nothing. Every read that brings bytes
// restores the idle budget.
int TQ708sNonBlockReadFull(int port, void *buf, int len, int pollUs, int firstPolls, int idlePolls) {
  int fd = fd_map[port];
  if (fd == -1) return -1;

  unsigned char *bytes = static_cast<unsigned char *>(buf);
  int collected = 0;
  int last = 0;
  int budget = firstPolls;
  while (budget > 0) {
    // After a read that brought bytes the next one follows at once, without
    // looking at the budget: even an idle budget of 0 gets one more read.
    for (;;) {
      last = read_in_mode(fd, O_NONBLOCK, bytes + collected, len - collected);
      if (last <= 0) break;
      collected += last;
      budget = idlePolls;
      if (collected >= len) return collected;
    }
    --budget;
    // Each pause is a wait of its own, as long as asked unless a byte comes
    // first. Pacing the polls against the clock instead would keep the whole
    // wait nominal, but at high rates a character time is shorter than a
    // wake-up, and a clock-paced budget can run out before a prompt unit's
    // first byte arrives (measured at 921600 bit/s, 11 us a poll: exchanges
    // took 1.5 times their best period instead of 1.1).
    if (collected == 0 && pollUs > 0) TQ708sWaitInput(port, monotonic_us() + pollUs);
  }
  return collected > 0 ? collected : last;
}

bool TQ708sDeviceName(int port, char *name, size_t size) { return format_node_name(port, name, size); }
