// A pseudo-terminal pair standing in for a serial line, reachable through the
// gateway's device-node override: a temporary folder holds "ttyM<n>" links to
// the pty's slave end, and VELKORD_TTY_PATTERN points at "<folder>/ttyM%d".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

class PtyPair {
 public:
  // Opens a pair in raw mode and links "<dir>/ttyM<port>" to its slave.
  explicit PtyPair(int port = 0);
  ~PtyPair();
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;

  int master() const { return master_; }  // the unit's end of the line
  const std::string &slave_path() const { return slave_path_; }
  const std::string &dir() const { return dir_; }
  std::string link_path() const;
  std::string pattern() const { return dir_ + "/ttyM%d"; }
  int port() const { return port_; }

  // Sets VELKORD_TTY_PATTERN for this process (and children started after).
  void export_pattern() const;

  // Writes all bytes to the master end.
  void write_master(const std::vector<uint8_t> &bytes) const;
  // Reads what arrives on the master end within timeout_ms (stops early once
  // `want` bytes are in, when want > 0).
  std::vector<uint8_t> read_master(int timeout_ms, size_t want = 0) const;

  // Keeps the slave open on our side too, so the line never hangs up when
  // the library closes its descriptor.
  void hold_slave();

 private:
  int port_;
  int master_ = -1;
  int held_slave_ = -1;
  std::string slave_path_;
  std::string dir_;
};

// Microseconds on the monotonic clock.
int64_t now_us();

// A fresh temporary folder (removed by the caller or left in /tmp).
std::string make_temp_dir();

}  // namespace vt
