// The endpoints every TCP face listens on, as their settings give them: what
// is taken and how it is shown again, and what is refused.
#include <gtest/gtest.h>

#include <string>

#include "net.h"

namespace {

TEST(NetEndpoint, TakesPortAddressAndPortOrBracketedIpv6AndShowsThemAgain) {
  const struct {
    const char *text;
    const char *shown;
  } good[] = {
      {"502", "0.0.0.0:502"},        {"127.0.0.1:1502", "127.0.0.1:1502"}, {"[::]:502", "[::]:502"},
      {"[::1]:65535", "[::1]:65535"}, {"9502", "0.0.0.0:9502"},          {"127.0.0.1:9502", "127.0.0.1:9502"},
      {"[::1]:80", "[::1]:80"},       {"[0:0::1]:65535", "[::1]:65535"},
  };
  for (const auto &c : good) {
    NetEndpoint e;
    char shown[kEndpointTextSize] = "";
    EXPECT_EQ(net_parse_endpoint(c.text, e), EndpointFault::kNone) << c.text;
    net_format_endpoint(e, shown, sizeof shown);
    EXPECT_STREQ(shown, c.shown) << c.text;
  }
  for (const char *bad : {"", "0", "65536", "+502", " 502", "502 ", "1.2.3:502", "1.2.3.4:", "localhost:502",
                          "[::1]502", "[::1:502", "::1:502", "[1.2.3.4]:502", "+80", "80 ", "localhost:80",
                          "1.2.3:80", "127.0.0.1:", "::1:80", "[::1]80", "[::1", "[127.0.0.1]:80", "[::1]:0",
                          "[::1]:5:2"}) {
    NetEndpoint e;
    EXPECT_NE(net_parse_endpoint(bad, e), EndpointFault::kNone) << "'" << bad << "'";
  }
}

}  // namespace
