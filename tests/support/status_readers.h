// Readers nobody here wrote, for the status face's answers: Prometheus's own
// Python parser and Python's json (through status_facts.py), and a headless
// Chromium that loads a page and hands back the DOM its script drew.
#pragma once

#include <map>
#include <string>

#include "net_client.h"  // http_get

namespace vt {

// The facts status_facts.py prints for `text` ("metrics" or "json"): sample
// or path → value. *missing is set when python3-prometheus-client is not
// installed; a parse failure is a test failure.
std::map<std::string, std::string> status_facts(const char *kind, const std::string &text, bool *missing);

// True when /usr/bin/chromium can be run.
bool have_chromium();

// The DOM of `url` after Chromium ran its scripts for up to 3 s of virtual
// time. Empty when Chromium failed.
std::string chromium_dom(const std::string &url);

// Takes a screenshot of `url` as a phone 420 pixels wide shows it, `height`
// pixels of it, into the PNG file `png`.
bool chromium_screenshot(const std::string &url, const std::string &png, int height = 680);

}  // namespace vt
