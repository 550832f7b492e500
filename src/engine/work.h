// work: the engine's interface for line work beyond the native slots.
//
// A source (a face's pool of requests) is registered on a line at start-up
// (line_set_work). The worker then asks it, with the line's lock held, for
// two kinds of exchange and hands back what came of each:
//   - urgent ones (writes and other functions a client waits for once):
//     the oldest goes ahead of the walk's next visit;
//   - cyclic ones for a unit (reads kept fresh): in that unit's turn of the
//     walk, a sixth turn after its five slots, so the table's slots keep
//     the line schedule they have without a source.
// The worker decides when a source is asked, so rules about the line's
// share (units set aside, urgent work not starving the cyclic) stay the
// engine's. The engine knows no source by name.
#pragma once

#include <cstdint>

#include "frame.h"

// One exchange a source asks for.
struct WorkExchange {
  uint8_t frame[kMaxSealedFrame];  // the request, CRC included
  uint8_t length;                  // bytes of frame to send
  uint32_t wait_us;                // wait for the first byte of the reply
  uint32_t ticket;                 // the source's own: what the exchange is for
};

// What came of it.
struct WorkOutcome {
  const uint8_t *reply;  // as received, CRC included
  int length;            // bytes of reply; 0: nothing came
  bool answered;         // the reply answers the request (MRTU_ReplyMatches)
  uint8_t outcome;       // kOutcome* of the exchange
  int64_t at_us;         // monotonic: when the exchange ended
};

// A source's calls. The worker makes them with the line's lock held; a
// source takes its own lock inside them, never the other way round, and
// never waits in them.
struct WorkSource {
  void *context;
  // The oldest urgent exchange, if any.
  bool (*take_urgent)(void *context, WorkExchange &x);
  // The next cyclic exchange of `unit`, if any.
  bool (*take_cyclic)(void *context, uint8_t unit, WorkExchange &x);
  // The outcome of an exchange taken from this source.
  void (*deliver)(void *context, const WorkExchange &x, const WorkOutcome &outcome);
  // Whether anything waits to be taken: the worker does not rest while it does.
  bool (*has_work)(void *context);
};
