// http: the request head parser of the status server.
//
// The parser is a pure function of the bytes received so far: the server
// calls it again after every receive. Heads are a few hundred bytes, so
// parsing from the start each time costs less than keeping state would.
#include "http.h"

#include <cstring>

namespace {

// One line of the head: [begin, end) without its LF and a CR before it;
// `next` is where the following line starts.
struct Line {
  size_t begin;
  size_t end;
  size_t next;
};

// Finds the line that starts at `from`; false when its LF is not within
// [from, limit).
bool find_line(const uint8_t *d, size_t from, size_t limit, Line &line) {
  if (from >= limit) return false;
  const void *lf = memchr(d + from, '\n', limit - from);
  if (lf == nullptr) return false;
  size_t at = static_cast<size_t>(static_cast<const uint8_t *>(lf) - d);
  line.begin = from;
  line.end = (at > from && d[at - 1] == '\r') ? at - 1 : at;
  line.next = at + 1;
  return true;
}

// The characters of a method or a header name (a "token").
bool is_token_char(uint8_t c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// A request target is visible ASCII; no space, no control character.
bool is_target_char(uint8_t c) { return c > 0x20 && c < 0x7F; }

// A header value may hold tabs and bytes above ASCII, no other control.
bool is_value_char(uint8_t c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

// Skips a token from `at`; returns where it ends.
size_t skip_token(const uint8_t *d, size_t at, size_t end) {
  while (at < end && is_token_char(d[at])) ++at;
  return at;
}

// "HTTP/d.d" exactly: 1.0 and 1.1 are served, any other version is refused
// as such, and anything else is no HTTP at all.
HttpParse check_version(const uint8_t *d, size_t at, size_t end) {
  constexpr char kPrefix[] = "HTTP/";
  constexpr size_t kPrefixLength = sizeof kPrefix - 1;
  constexpr size_t kVersionLength = kPrefixLength + 3;
  if (end - at != kVersionLength || memcmp(d + at, kPrefix, kPrefixLength) != 0)
    return HttpParse::kMalformed;
  uint8_t major = d[at + kPrefixLength], dot = d[at + kPrefixLength + 1];
  uint8_t minor = d[at + kPrefixLength + 2];
  if (major < '0' || major > '9' || dot != '.' || minor < '0' || minor > '9')
    return HttpParse::kMalformed;
  if (major != '1' || minor > '1') return HttpParse::kBadVersion;
  return HttpParse::kComplete;
}

// METHOD SP TARGET SP VERSION, the target in origin form ("/path?query").
HttpParse parse_request_line(const uint8_t *d, const Line &line, HttpRequest &req) {
  size_t method_end = skip_token(d, line.begin, line.end);
  if (method_end == line.begin || method_end >= line.end || d[method_end] != ' ')
    return HttpParse::kMalformed;
  size_t target = method_end + 1;
  size_t at = target;
  while (at < line.end && is_target_char(d[at])) ++at;
  if (at == target || d[target] != '/' || at >= line.end || d[at] != ' ')
    return HttpParse::kMalformed;
  HttpParse version = check_version(d, at + 1, line.end);
  if (version != HttpParse::kComplete) return version;

  const void *query = memchr(d + target, '?', at - target);
  size_t path_end = query != nullptr ? static_cast<size_t>(static_cast<const uint8_t *>(query) - d) : at;
  if (path_end - target > kHttpMaxPathBytes) return HttpParse::kPathTooLong;
  req.get = method_end - line.begin == 3 && memcmp(d + line.begin, "GET", 3) == 0;
  req.path_offset = target;
  req.path_length = path_end - target;
  req.query_offset = path_end < at ? path_end + 1 : at;
  req.query_length = at - req.query_offset;
  return HttpParse::kComplete;
}

// NAME ":" VALUE. A line that starts with white space would continue the
// previous header (an obsolete folding no client of these pages sends).
bool header_line_ok(const uint8_t *d, const Line &line) {
  size_t name_end = skip_token(d, line.begin, line.end);
  if (name_end == line.begin || name_end >= line.end || d[name_end] != ':') return false;
  for (size_t at = name_end + 1; at < line.end; ++at)
    if (!is_value_char(d[at])) return false;
  return true;
}

// While the request line is still arriving, a method that is already no
// token is refused at once: a TLS greeting or a stray binary protocol need
// not wait for the time-out.
bool partial_method_bad(const uint8_t *d, size_t from, size_t limit) {
  size_t at = skip_token(d, from, limit);
  return at < limit && d[at] != ' ' && d[at] != '\r' && d[at] != '\n';
}

}  // namespace

HttpRequest http_parse_request(const uint8_t *data, size_t length) {
  HttpRequest req;
  size_t limit = length < kHttpMaxHeadBytes ? length : kHttpMaxHeadBytes;
  size_t at = 0;
  bool have_request_line = false;
  Line line;
  while (find_line(data, at, limit, line)) {
    at = line.next;
    bool empty = line.begin == line.end;
    if (!have_request_line) {
      if (empty) continue;  // a client may send CR LF between requests
      req.result = parse_request_line(data, line, req);
      if (req.result != HttpParse::kComplete) return req;
      have_request_line = true;
    } else if (empty) {
      req.result = HttpParse::kComplete;
      req.head_length = line.next;
      return req;
    } else if (!header_line_ok(data, line)) {
      req.result = HttpParse::kMalformed;
      return req;
    }
  }
  req.get = false;
  req.path_offset = req.path_length = req.query_offset = req.query_length = 0;
  if (!have_request_line && partial_method_bad(data, at, limit))
    req.result = HttpParse::kMalformed;
  else
    req.result = limit == kHttpMaxHeadBytes ? HttpParse::kHeadTooLarge : HttpParse::kIncomplete;
  return req;
}
