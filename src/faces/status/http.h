// http: the request side of the status server's HTTP/1.1. Only what three
// GET paths need: the request line and the header lines up to the blank line
// that ends the head. A body is never read (only GET is served), and every
// answer closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>

// The whole head (request line, headers, blank line) must fit in 4 KiB: the
// gateway's own pages need a few hundred bytes, and a fixed buffer per
// connection bounds what a peer can make the server hold.
constexpr size_t kHttpMaxHeadBytes = 4096;
// A path longer than this names none of the pages.
constexpr size_t kHttpMaxPathBytes = 256;

enum class HttpParse : uint8_t {
  kIncomplete,    // the head has not ended yet: read more
  kComplete,      // method, path and the head's length are set
  kMalformed,     // not an HTTP/1.x request head
  kHeadTooLarge,  // no end of the head within kHttpMaxHeadBytes
  kPathTooLong,   // the path is longer than kHttpMaxPathBytes
  kBadVersion,    // HTTP, but not 1.0 or 1.1
};

struct HttpRequest {
  HttpParse result = HttpParse::kIncomplete;
  bool get = false;          // the method is GET (any other method: false)
  size_t path_offset = 0;    // the path within the buffer, query string not included
  size_t path_length = 0;
  size_t query_offset = 0;   // the query string after '?', if any (length 0: none)
  size_t query_length = 0;
  size_t head_length = 0;    // bytes up to and including the blank line
};

// Parses the bytes received so far on a connection. Reads nothing past
// data[length - 1] nor past the first kHttpMaxHeadBytes bytes. Lines may end
// in CR LF or a bare LF; empty lines before the request line are skipped.
HttpRequest http_parse_request(const uint8_t *data, size_t length);
