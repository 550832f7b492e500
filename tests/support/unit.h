// Modbus units on the unit end (the master fd) of a PtyPair, for tests that
// drive the gateway's serial side. The line itself (framing, CRC, reply
// pieces, pacing, delays and faults) is ptyunit's, the same the unit
// simulator velkord-sim runs on; see tools/ptyunit.h for how frames end.
//
// Both units step their line on a background thread and stop when destroyed
// (a step waits at most 2 ms, so destruction is quick). Only one unit may sit
// on a PtyPair at a time, and while it does, nobody else may read the pair's
// master end.
//
// Typical use:
//   vt::PtyPair line(0);
//   line.export_pattern();                 // the gateway opens ttyM0 -> slave
//   vt::ScriptedUnit unit(line);
//   unit.set_behaviour(5, vt::Behaviour::Late(20000));
//   ... start the gateway, let it poll unit 5 ...
//   ASSERT_TRUE(unit.wait_frames(1, 2000));
//   auto f = unit.frames()[0];             // bytes, first_us, last_us
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ptyunit.h"
#include "support/pty.h"

namespace vt {

// The tests' CRC reference and frames are ptyunit's: its CRC is written apart
// from the gateway's, so the tests check the gateway's rather than share its
// mistakes.
using ptyunit::crc_ok;
using ptyunit::Frame;
using ptyunit::with_crc;

// Computes a reply payload (unit, function, data; no CRC) from a request
// (CRC included). An empty result means: do not answer.
using ReplyFn = std::function<std::vector<uint8_t>(const std::vector<uint8_t> &request)>;

// How a ScriptedUnit answers a request: a reply function and the Shape of
// the answer on the line. Build one with a factory and adjust fields to
// combine effects, e.g. a late reply in pieces:
//   auto b = vt::Behaviour::Late(20000); b.piece = 2; b.gap_us = 5000;
// Only requests with a correct CRC and at least 4 bytes are ever answered.
struct Behaviour : ptyunit::Shape {
  ReplyFn reply;  // null: ScriptedUnit::default_reply

  static Behaviour Answer();                              // default_reply
  static Behaviour Answer(std::vector<uint8_t> payload);  // fixed payload, CRC appended
  static Behaviour Answer(ReplyFn fn);
  static Behaviour Silent();
  static Behaviour WrongCrc();
  static Behaviour Late(int64_t delay_us);
  static Behaviour Split(size_t piece, int64_t gap_us);
  static Behaviour Paced(int baud);
  // Begins delay_us after the request and leaves half a character between
  // its bytes at `baud`, as Modbus allows: a byte every 1.5 character times.
  static Behaviour Pausing(int baud, int64_t delay_us);
  static Behaviour Flood(size_t n = 300);  // garbage that never ends in a valid CRC
  static Behaviour Raw(std::vector<uint8_t> bytes);
};

// A unit that records every frame it receives and answers as told. Pieces,
// pacing and delays are minimums: a loaded machine may stretch them, never
// shorten them. Replies go out one after another, never interleaved, and
// the unit keeps reading (and time-stamping) while a slow reply is going out.
class ScriptedUnit {
 public:
  explicit ScriptedUnit(PtyPair &line);
  ~ScriptedUnit();
  ScriptedUnit(const ScriptedUnit &) = delete;
  ScriptedUnit &operator=(const ScriptedUnit &) = delete;

  // Behaviour for every unit address without one of its own (default: Answer()).
  void set_behaviour(const Behaviour &b);
  // Behaviour for one unit address; reset_behaviour drops it again.
  void set_behaviour(uint8_t unit, const Behaviour &b);
  void reset_behaviour(uint8_t unit);
  // Silence that ends a frame which is not a complete known request.
  void set_silence_us(int64_t us);

  std::vector<Frame> frames() const;  // received, oldest first
  std::vector<Frame> sent() const;    // replies as written so far, one Frame each
  // Waits until at least n frames have been received; false on time-out.
  bool wait_frames(size_t n, int timeout_ms) const;
  // Forgets received frames and sent replies.
  void clear();

  // Default reply payload (no CRC) to `request`:
  //   3, 4: byte count 2*qty, register i holds its own address (addr + i);
  //         qty outside 1..125 gives exception 3
  //   1, 2: ceil(qty/8) bytes, bit i set when addr + i is odd;
  //         qty outside 1..2000 gives exception 3
  //   5, 6: echo of the request; 15, 16: unit, function, address, quantity
  //   anything else: exception 1 (function | 0x80, 0x01)
  static std::vector<uint8_t> default_reply(const std::vector<uint8_t> &request);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A real Modbus server from libmodbus behind one or more unit addresses:
// modbus_reply() decodes each request, applies it to a modbus_mapping_t and
// builds the reply, exceptions included, exactly as libmodbus does.
//
// Why not libmodbus's own receive loop: modbus_receive() accepts a single
// unit address, waits up to its byte time-out (0.5 s) on a truncated frame,
// and needs a terminal it opened itself. So the framing above feeds each
// complete request to modbus_reply(), and the context's "socket" is a pipe
// that catches the reply, which the unit then writes to the line. libmodbus
// never touches the pty.
//
// The tables hold kTableSize coils, discrete inputs, holding and input
// registers (addresses 0 to kTableSize - 1), all starting at 0 and shared by
// all of the unit's addresses. Accessors are thread-safe and throw
// std::out_of_range outside the table.
class LibmodbusUnit {
 public:
  static constexpr int kTableSize = 100;

  // `baud` only goes into the libmodbus context: a pty has no line speed.
  LibmodbusUnit(PtyPair &line, uint8_t unit, int baud = 9600);
  LibmodbusUnit(PtyPair &line, std::vector<uint8_t> units, int baud = 9600);
  ~LibmodbusUnit();
  LibmodbusUnit(const LibmodbusUnit &) = delete;
  LibmodbusUnit &operator=(const LibmodbusUnit &) = delete;

  void set_holding(int addr, uint16_t value);
  uint16_t holding(int addr) const;
  void set_input(int addr, uint16_t value);
  uint16_t input(int addr) const;
  void set_coil(int addr, bool on);
  bool coil(int addr) const;
  void set_discrete(int addr, bool on);
  bool discrete(int addr) const;

  // false: the unit stays silent (as if unplugged) until set back to true.
  void set_responding(bool on);
  // Requests answered so far (exception replies included).
  size_t served() const;
  // Waits until served() >= n; false on time-out.
  bool wait_served(size_t n, int timeout_ms) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vt
