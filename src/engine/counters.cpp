#include "counters.h"

void histogram_add(ResponseHistogram &h, uint32_t response_us) {
  int b = 0;
  while (b < kResponseBuckets && response_us > kResponseBucketUs[b]) ++b;
  ++h.buckets[b];
  ++h.count;
  h.sum_us += response_us;
}
