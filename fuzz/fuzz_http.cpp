// Fuzz target: the status server's request head parser. Any bytes may come
// from a peer; the parser must read nothing outside them (AddressSanitizer on
// a buffer of exactly the input's size), and what it reports must hold:
//   - a complete head lies within the input and the 4 KiB limit, and its
//     path within the head, starting with '/', at most 256 bytes;
//   - the head alone parses the same, and one byte less of it is incomplete;
//   - a decision is final: one byte more never changes it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "http.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_http: %s\n", what);
  abort();
}

bool same(const HttpRequest &a, const HttpRequest &b) {
  return a.result == b.result && a.get == b.get && a.path_offset == b.path_offset &&
         a.path_length == b.path_length && a.head_length == b.head_length;
}

void check_complete(const uint8_t *data, size_t size, const HttpRequest &r) {
  if (r.head_length == 0 || r.head_length > size || r.head_length > kHttpMaxHeadBytes)
    fail("head length outside the input or the limit");
  if (r.path_length == 0 || r.path_length > kHttpMaxPathBytes ||
      r.path_offset + r.path_length > r.head_length)
    fail("path outside the head");
  if (data[r.path_offset] != '/') fail("path does not start with '/'");
  if (!same(http_parse_request(data, r.head_length), r)) fail("the head alone parses otherwise");
  if (http_parse_request(data, r.head_length - 1).result != HttpParse::kIncomplete)
    fail("a head short of one byte is not incomplete");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  HttpRequest r = http_parse_request(data, size);
  if (r.result == HttpParse::kComplete) check_complete(data, size, r);
  if (r.result == HttpParse::kIncomplete && size >= kHttpMaxHeadBytes)
    fail("incomplete at the limit");
  if (size > 0) {
    HttpRequest before = http_parse_request(data, size - 1);
    if (before.result != HttpParse::kIncomplete && !same(before, r))
      fail("one byte more changed a decision");
  }
  return 0;
}
