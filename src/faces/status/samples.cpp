// samples: the status face's record of the last ten minutes.
//
// The engine keeps counters, not history. Once a second the server hands
// this module a fresh snapshot; what changed since the one before becomes a
// sample: the exchanges by outcome, and the median of the response times
// that came in that second, estimated from the histogram's bucket counts the
// way a Prometheus server estimates a quantile from the same buckets.
#include <cstddef>
#include <cstring>

#include "status.h"

namespace {

constexpr int kCountBits = 11;
constexpr int kMedianShift = kOutcomeCount * kCountBits;
constexpr int kMedianBits = 20;

static_assert(kSampleCountMax == (1u << kCountBits) - 1);
static_assert(kMedianShift + kMedianBits == 64);
static_assert(kSampleNoMedian == (1u << kMedianBits) - 1);
static_assert(kResponseBucketUs[kResponseBuckets - 1] < kSampleNoMedian, "the highest bound must fit");
static_assert(kSampleUnits < 256, "a ring's number fits ring_of");

Sample pack(const uint64_t *exchanges, int32_t median_us) {
  Sample word = 0;
  for (int k = 0; k < kOutcomeCount; ++k) {
    const uint64_t n = exchanges[k] < kSampleCountMax ? exchanges[k] : kSampleCountMax;
    word |= n << (k * kCountBits);
  }
  const uint64_t median = median_us < 0 ? kSampleNoMedian : static_cast<uint64_t>(median_us);
  return word | median << kMedianShift;
}

uint64_t histogram_total(const uint64_t *buckets) {
  uint64_t total = 0;
  for (int b = 0; b <= kResponseBuckets; ++b) total += buckets[b];
  return total;
}

// Counters only grow; one that went back (a listing that lost a unit) counts
// as no change rather than as a wrapped-around flood.
uint64_t grown(uint64_t now, uint64_t before) { return now > before ? now - before : 0; }

SampleCounters difference(const SampleCounters &now, const SampleCounters &before) {
  SampleCounters d;
  for (int k = 0; k < kOutcomeCount; ++k) d.exchanges[k] = grown(now.exchanges[k], before.exchanges[k]);
  for (int b = 0; b <= kResponseBuckets; ++b) d.buckets[b] = grown(now.buckets[b], before.buckets[b]);
  return d;
}

void add_counters(SampleCounters &sum, const SampleCounters &c) {
  for (int k = 0; k < kOutcomeCount; ++k) sum.exchanges[k] += c.exchanges[k];
  for (int b = 0; b <= kResponseBuckets; ++b) sum.buckets[b] += c.buckets[b];
}

uint64_t exchanges_of(const SampleCounters &c) {
  uint64_t total = 0;
  for (int k = 0; k < kOutcomeCount; ++k) total += c.exchanges[k];
  return total;
}

SampleCounters counters_of(const UnitStatus &u) {
  SampleCounters c;
  memcpy(c.exchanges, u.exchanges, sizeof c.exchanges);
  memcpy(c.buckets, u.response.buckets, sizeof c.buckets);
  return c;
}

// Second i of n gets an even share of `total`, the remainder going to the
// latest seconds, so the shares add up to the total.
uint64_t share(uint64_t total, int i, int n) {
  const uint64_t un = static_cast<uint64_t>(n);
  return total / un + (static_cast<uint64_t>(i) >= un - total % un ? 1 : 0);
}

// The seconds one round of sampling writes: numbers from..from+count-1.
struct Round {
  uint64_t from;
  int count;
};

// What changed in `ring` since its latest sample, as the round's samples.
void push_samples(StatusSamples &r, int ring, const SampleCounters &now, Round round) {
  SampleRing &g = r.rings[ring];
  const SampleCounters d = difference(now, g.last);
  g.last = now;
  if (exchanges_of(d) != 0)
    g.quiet_seconds = 0;
  else if (g.quiet_seconds < kSampleSeconds)
    g.quiet_seconds += static_cast<uint32_t>(round.count);
  const int32_t median = median_of_buckets(d.buckets);
  const uint64_t heard = histogram_total(d.buckets);
  for (int i = 0; i < round.count; ++i) {
    uint64_t counts[kOutcomeCount];
    for (int k = 0; k < kOutcomeCount; ++k) counts[k] = share(d.exchanges[k], i, round.count);
    r.seconds[ring][(round.from + static_cast<uint64_t>(i)) % kSampleSeconds] =
        pack(counts, share(heard, i, round.count) > 0 ? median : -1);
  }
}

// A ring for a unit: a free one, else, for a unit that is exchanging, the
// one whose unit has been quiet longest, once that has been quiet for the
// whole window (its graph is flat). A quiet unit takes no ring from another
// quiet one: they would pass the rings round every second. 0 when there is
// none to have.
int free_ring(const StatusSamples &r, bool exchanging) {
  int quietest = 0;
  for (int g = 1; g < kSampleRings; ++g) {
    if (r.rings[g].unit == 0) return g;
    if (exchanging && r.rings[g].quiet_seconds >= kSampleSeconds &&
        (quietest == 0 || r.rings[g].quiet_seconds > r.rings[quietest].quiet_seconds))
      quietest = g;
  }
  return quietest;
}

int give_ring(StatusSamples &r, uint8_t unit, bool exchanging) {
  const int chosen = free_ring(r, exchanging);
  if (chosen == 0) return 0;
  SampleRing &ring = r.rings[chosen];
  if (ring.unit != 0) r.ring_of[ring.unit - 1] = 0;
  ring.unit = unit;
  ring.quiet_seconds = 0;
  r.ring_of[unit - 1] = static_cast<uint8_t>(chosen);
  return chosen;
}

bool valid_unit(uint8_t unit) { return unit >= 1 && unit <= kStatusUnits; }

// A unit new to the listing starts from nothing, so its first exchanges
// count in this round. One that was listed before without a ring starts
// from what it has now: its first sample is the next round's.
void start_ring(StatusSamples &r, int ring, const SampleCounters &now, Round round, bool counted_before) {
  SampleRing &g = r.rings[ring];
  if (counted_before) {
    g.last = now;
    g.first = round.from + static_cast<uint64_t>(round.count);
  } else {
    memset(&g.last, 0, sizeof g.last);
    g.first = round.from;
  }
}

// The units of snapshot `s`: their rings' samples, and their sum for the
// line's. Rings whose unit is no longer listed get a quiet round.
void sample_units(StatusSamples &r, const StatusSnapshot &s, Round round) {
  SampleCounters line = {};
  bool pushed[kSampleRings] = {};
  bool listed[kStatusUnits] = {};
  for (int i = 0; i < listed_units(s); ++i) {
    const UnitStatus &u = s.units[i];
    if (!valid_unit(u.unit)) continue;
    const SampleCounters now = counters_of(u);
    add_counters(line, now);
    const uint64_t exchanged = exchanges_of(now);
    const bool counted_before = r.listed[u.unit - 1];
    const bool exchanging = !counted_before || exchanged != r.exchanged[u.unit - 1];
    listed[u.unit - 1] = true;
    r.exchanged[u.unit - 1] = exchanged;
    int ring = r.ring_of[u.unit - 1];
    if (ring == 0 && (ring = give_ring(r, u.unit, exchanging)) != 0) start_ring(r, ring, now, round, counted_before);
    if (ring == 0) continue;
    push_samples(r, ring, now, round);
    pushed[ring] = true;
  }
  for (int g = 1; g < kSampleRings; ++g)
    if (r.rings[g].unit != 0 && !pushed[g]) push_samples(r, g, r.rings[g].last, round);
  push_samples(r, kLineRing, line, round);
  memcpy(r.listed, listed, sizeof r.listed);
}

}  // namespace

int32_t median_of_buckets(const uint64_t *buckets) {
  const uint64_t total = histogram_total(buckets);
  if (total == 0) return -1;
  const double rank = static_cast<double>(total) / 2;
  double below = 0;
  for (int b = 0; b < kResponseBuckets; ++b) {
    const double in = static_cast<double>(buckets[b]);
    if (in > 0 && below + in >= rank) {
      const double lower = b == 0 ? 0 : kResponseBucketUs[b - 1];
      const double width = kResponseBucketUs[b] - lower;
      return static_cast<int32_t>(lower + width * (rank - below) / in + 0.5);
    }
    below += in;
  }
  return static_cast<int32_t>(kResponseBucketUs[kResponseBuckets - 1]);
}

void samples_start(StatusSamples &r, const StatusSnapshot &s, int64_t now_us) {
  memset(&r, 0, offsetof(StatusSamples, seconds));
  r.due_us = now_us + kSampleIntervalUs;
  r.newest_unix_us = s.taken_unix_us;
  // A round of no seconds: it writes nothing, and every ring takes the
  // counters its first second is measured from.
  sample_units(r, s, {1, 0});
  r.rings[kLineRing].first = 1;
}

void samples_take(StatusSamples &r, const StatusSnapshot &s, int64_t now_us) {
  if (now_us < r.due_us) return;
  const int64_t due = (now_us - r.due_us) / kSampleIntervalUs + 1;
  r.due_us += due * kSampleIntervalUs;
  // After a hold-up longer than the window only its last seconds are kept.
  const int count = due < kSampleSeconds ? static_cast<int>(due) : kSampleSeconds;
  const Round round = {r.newest + static_cast<uint64_t>(due - count) + 1, count};
  sample_units(r, s, round);
  r.newest += static_cast<uint64_t>(due);
  r.newest_unix_us = s.taken_unix_us;
}

int unit_ring(const StatusSamples &r, uint8_t unit) {
  if (!valid_unit(unit) || r.ring_of[unit - 1] == 0) return -1;
  return r.ring_of[unit - 1];
}

uint64_t oldest_sample(const StatusSamples &r, int ring) {
  if (ring != kLineRing && r.rings[ring].unit == 0) return r.newest + 1;
  const uint64_t window = r.newest >= kSampleSeconds ? r.newest - kSampleSeconds + 1 : 1;
  return r.rings[ring].first > window ? r.rings[ring].first : window;
}

SecondSample read_sample(const StatusSamples &r, int ring, uint64_t n) {
  const Sample word = r.seconds[ring][n % kSampleSeconds];
  SecondSample out;
  for (int k = 0; k < kOutcomeCount; ++k)
    out.exchanges[k] = static_cast<uint32_t>(word >> (k * kCountBits) & kSampleCountMax);
  const uint32_t median = static_cast<uint32_t>(word >> kMedianShift);
  out.median_us = median == kSampleNoMedian ? -1 : static_cast<int32_t>(median);
  return out;
}
