// intake: the one path from a client to the table. A request names a unit
// and one of its slots and carries a Modbus frame without CRC and the slot's
// timing; the intake seals the frame into the slot and hands back the last
// valid answer the slot holds. It never touches the line: the worker
// exchanges the slot on its own schedule.
#pragma once

#include <cstdint>

#include "modbusRTU.h"

// Results of the intake (and so of MRTU_CMD).
constexpr int kCmdOk = 0;
constexpr int kCmdBadUnit = -1;
constexpr int kCmdBadSlot = -2;
constexpr int kCmdBadFunction = -3;
constexpr int kCmdBadCoilValue = -4;
constexpr int kCmdNoAnswer = -5;
constexpr int kCmdFrameTooLong = -6;  // fc 15/16 whose byte count is above 246
// The message ends before the frame its function needs, or a fc 15/16 byte
// count is not the one its quantity needs.
constexpr int kCmdFrameMalformed = -7;
// A write (5, 6, 15, 16) from a client that may not change a unit.
constexpr int kCmdWriteRefused = -8;

// One client request for a slot.
struct SlotRequest {
  // The frame: unit, function, data. The unit (frame[0]) is read whatever
  // `carried` says; nothing past it beyond `carried` bytes is.
  const uint8_t *frame;
  int carried;        // frame bytes the request holds
  uint8_t slot;
  uint8_t mode;
  int32_t timeout;    // µs: the wait for the reply's first byte
  uint32_t lifetime;  // µs
  uint32_t delay;     // µs
  // The client may not change a unit: a write is refused like a function
  // the slot cannot hold, its timing taken all the same.
  bool writes_refused = false;
};

// Stores the request sealed in its slot with its timing and copies the
// slot's last valid answer, CRC included, into `answer` (room for
// kMaxSealedFrame bytes), its length into `answer_length`: kCmdOk, or one
// of the refusals above (nothing copied then). The timing is taken even
// from a request whose frame is refused. A mode 2 request for the frame
// whose answer the slot keeps collects that answer and stores nothing but
// the timing.
int intake_store(SerialLine &line, const SlotRequest &request, uint8_t *answer, int &answer_length);
