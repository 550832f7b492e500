// Bringing the serial link up, closing it, and keeping it up: OpenSerial and
// CloseSerial on pseudo-terminals, and the worker's recovery when the line
// goes away under it (an unplugged USB adapter looks the same: every write
// fails with EIO until the node is there again).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "intake.h"
#include "modbusRTU.h"
#include "sleep_us.h"
#include "support/engine_support.h"
#include "support/pty.h"
#include "support/slowdown.h"
#include "support/unit.h"

namespace {

using vt::Bytes;

constexpr uint32_t kLongLife = 600000000;  // µs, outlives every test

ModbusRTUSettings settings_8n1(int port, int baud) {
  ModbusRTUSettings rec{};
  rec.serialport = port;
  rec.baudrate = baud;
  rec.databits = 8;
  rec.stopbits = 1;
  return rec;
}

// Makes the device node of `line` a link to `target`, replacing it at once.
void point_link(const vt::PtyPair &line, const std::string &target) {
  const std::string fresh = line.link_path() + ".new";
  ASSERT_EQ(symlink(target.c_str(), fresh.c_str()), 0);
  ASSERT_EQ(rename(fresh.c_str(), line.link_path().c_str()), 0);
}

bool no_slot_touched() {
  for (const DeviceRecord &r : vt::table_copy(SerialProcessLine))
    for (const ExchangeSlot &s : r.slots)
      if (s.result != 0) return false;
  return true;
}

// ---- Start and close ------------------------------------------------------------

TEST(SerialLinkStart, MissingNodeReturnsMinusTwoAndStartsNothing) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  line.export_pattern();
  ModbusRTU = settings_8n1(1, 9600);  // the folder holds ttyM0 only
  vt::run_command(SerialProcessLine, {.frame = {1, 3, 0, 0, 0, 1}, .mode = 1, .timeout = 100, .lifetime = kLongLife});
  int threads = vt::thread_count();

  EXPECT_EQ(OpenSerial(), -2);
  EXPECT_EQ(ModbusRTU.full_size_sym, 0);
  EXPECT_EQ(ModbusRTU.time_one_sym, 0);
  EXPECT_EQ(ModbusRTU.time_silence, 0);
  EXPECT_EQ(SerialWork, 0);
  sleep_us(static_cast<uint32_t>(vt::slow_ms(100)) * 1000);
  EXPECT_EQ(vt::thread_count(), threads);
  // A worker would have marked every idle slot by now, and sent the armed one.
  EXPECT_TRUE(no_slot_touched());
  EXPECT_TRUE(unit.frames().empty());
}

TEST(SerialLinkStart, OpensAt9600EightN1DerivesTheTimingAndStartsTheWorker) {
  vt::PtyPair line(0);
  vt::ScriptedUnit unit(line);
  line.export_pattern();
  ModbusRTU = settings_8n1(0, 9600);
  int threads = vt::thread_count();

  ASSERT_EQ(OpenSerial(), 0);
  EXPECT_EQ(ModbusRTU.full_size_sym, 11);
  EXPECT_EQ(ModbusRTU.time_one_sym, 1145);
  EXPECT_EQ(ModbusRTU.time_silence, 4580);
  EXPECT_EQ(SerialWork, 1);
  EXPECT_EQ(vt::thread_count(), threads + 1);

  const Bytes frame = {1, 3, 0, 0, 0, 1};
  vt::run_command(SerialProcessLine, {.frame = frame, .mode = 1, .timeout = 100000, .lifetime = kLongLife});
  ASSERT_TRUE(unit.wait_frames(1, vt::slow_ms(3000)));
  EXPECT_EQ(unit.frames()[0].bytes, vt::with_crc(frame));
  vt::stop_worker(SerialProcessLine);
}

TEST(SerialLinkStart, CloseSerialClosesAnOpenPortOnce) {
  vt::PtyPair line(0);
  line.export_pattern();
  ModbusRTU = settings_8n1(0, 38400);
  EXPECT_EQ(CloseSerial(), -1);
  ASSERT_EQ(OpenSerial(), 0);
  // With every slot idle the worker never touches the port.
  EXPECT_EQ(CloseSerial(), 0);
  EXPECT_EQ(CloseSerial(), -1);
  vt::stop_worker(SerialProcessLine);
}

// ---- Loss and return -----------------------------------------------------------------

// Clients must be served all along: the worker looks for the node again
// without holding the table. The exchanges run with the shortest wait at
// 115200 bit/s, so that the table is held as briefly as an exchange allows;
// a loaded machine still stretches that now and then, hence the median.
TEST(SerialLinkLoss, WorkerReopensTheNodeAndExchangesResumeWhileClientsAreServed) {
  vt::PtyPair first(0);
  auto first_unit = std::make_unique<vt::ScriptedUnit>(first);
  std::unique_ptr<SerialLine> serial = vt::fresh_line();
  vt::configure_line(*serial, first, 115200);
  ASSERT_EQ(line_open(*serial, false), 0);

  vt::Command cmd = {.frame = {1, 3, 0, 0, 0, 1}, .slot = 0, .mode = 1, .timeout = 0, .lifetime = kLongLife};
  vt::run_command(*serial, cmd);
  ASSERT_TRUE(first_unit->wait_frames(2, vt::slow_ms(3000)));

  vt::StdoutCapture capture;
  std::vector<int64_t> took;
  std::vector<int> results;
  auto ask = [&] {
    vt::CommandOutcome out = vt::run_command(*serial, cmd);
    took.push_back(out.took_us);
    results.push_back(out.result);
    return out.result;
  };

  // Unplug: the node goes first (or the worker could reopen the freed pty
  // number, which another process may have taken by then), then the line
  // hangs up: the master end goes, the gateway's slave end stays open but
  // dead. The unit's descriptor number is kept (on /dev/null) for the pair
  // to close later.
  ASSERT_NO_FATAL_FAILURE(point_link(first, first.dir() + "/unplugged"));
  first_unit.reset();
  int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(devnull, 0);
  ASSERT_GE(dup2(devnull, first.master()), 0);
  close(devnull);

  EXPECT_TRUE(vt::wait_until([&] { return ask() == kCmdNoAnswer; }, 3000));
  int64_t lost_until = vt::now_us() + 300000;
  while (vt::now_us() < lost_until) {
    EXPECT_EQ(ask(), kCmdNoAnswer);
    sleep_us(5000);
  }

  // A new line appears under the same node name.
  vt::PtyPair second(0);
  vt::ScriptedUnit second_unit(second);
  second_unit.set_behaviour(vt::Behaviour::Answer({1, 3, 2, 0x22, 0x22}));
  ASSERT_NO_FATAL_FAILURE(point_link(first, second.slave_path()));

  // Back-off is at most 5 s between tries.
  ASSERT_TRUE(vt::wait_until(
      [&] {
        ask();
        sleep_us(2000);
        return !second_unit.frames().empty();
      },
      8000));
  EXPECT_EQ(second_unit.frames().front().bytes, vt::with_crc(cmd.frame));
  std::vector<int64_t> sorted = took;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_LT(sorted[sorted.size() / 2], vt::slow_us(50000)) << "clients wait for the table while the link is down";
  EXPECT_LT(sorted.back(), vt::slow_us(2000000));
  for (int r : results) EXPECT_TRUE(r == kCmdNoAnswer || r == kCmdOk) << r;

  // And the answers flow again, given a wait they can make on a busy machine.
  cmd.timeout = vt::char_times_us(*serial, 255);
  vt::CommandOutcome out;
  EXPECT_TRUE(vt::wait_until([&] { return (out = vt::run_command(*serial, cmd)).result == kCmdOk; }, 5000));
  EXPECT_EQ(vt::head(out.response.data() + 32, 7), vt::with_crc({1, 3, 2, 0x22, 0x22}));
  vt::stop_worker(*serial);
  line_close(*serial);

  std::string printed = capture.text();
  fputs(printed.c_str(), stdout);  // keep it in the test log
  size_t lost = printed.find("---- serial link lost");
  size_t back = printed.find("---- serial link back");
  EXPECT_NE(lost, std::string::npos);
  EXPECT_NE(back, std::string::npos);
  EXPECT_LT(lost, back);
}

}  // namespace
