#include "support/status_readers.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "support/net_client.h"
#include "support/pty.h"
#include "support/slowdown.h"

namespace vt {

namespace {

// The flags every run shares: no sandbox (tests may run as root), nothing
// fetched from anywhere but the page, and a fresh profile.
std::string chromium_command() {
  return "timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
         " --disable-background-networking --disable-component-update --disable-sync"
         " --virtual-time-budget=3000 --user-data-dir=" +
         make_temp_dir();
}

}  // namespace

std::map<std::string, std::string> status_facts(const char *kind, const std::string &text, bool *missing) {
  std::string file = make_temp_dir() + "/answer";
  std::ofstream(file) << text;
  std::string cmd = std::string("/usr/bin/python3 ") + VELKORD_TEST_SOURCE_DIR + "/support/status_facts.py " +
                    kind + " " + file + " 2>&1";
  std::map<std::string, std::string> seen;
  FILE *p = popen(cmd.c_str(), "r");
  char line[1024];
  std::string all;
  while (p != nullptr && fgets(line, sizeof line, p) != nullptr) {
    std::string l(line);
    all += l;
    if (!l.empty() && l.back() == '\n') l.pop_back();
    size_t space = l.rfind(' ');
    if (space != std::string::npos) seen[l.substr(0, space)] = l.substr(space + 1);
  }
  int status = p != nullptr ? pclose(p) : -1;
  *missing = WIFEXITED(status) && WEXITSTATUS(status) == 3;
  if (!*missing) {
    EXPECT_EQ(status, 0) << all;
  }
  return seen;
}

bool have_chromium() { return access("/usr/bin/chromium", X_OK) == 0; }

std::string chromium_dom(const std::string &url) {
  std::string cmd = chromium_command() + " --dump-dom " + url + " 2>/dev/null";
  std::string dom;
  FILE *p = popen(cmd.c_str(), "r");
  char buf[4096];
  size_t n;
  while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0) dom.append(buf, n);
  if (p != nullptr) pclose(p);
  return dom;
}

bool chromium_screenshot(const std::string &url, const std::string &png, int height) {
  std::string cmd = chromium_command() + " --hide-scrollbars --window-size=420," + std::to_string(height) +
                    " --screenshot=" + png + " " + url + " 2>/dev/null";
  return system(cmd.c_str()) == 0;
}

}  // namespace vt
