// Measures, over a pseudo-terminal and the real serial port:
//   1. the processor time the whole process uses while a link is open and
//      idle (nothing sent), and while it waits for an instrument that does
//      not answer;
//   2. the round trip from an answer byte arriving at the host to its
//      acknowledgement coming back, as the instrument sees it.
// Usage: session_bench [seconds per idle phase] [frames]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "core/message_loop.h"
#include "ports/registry/port_registry.h"
#include "pty_instrument.h"
#include "session/session.h"

namespace {

using namespace pelvane;
using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs the owner's loop for `seconds` and reports the processor time used.
void MeasureIdle(core::MessageLoop& loop, const char* what, double seconds) {
  const double cpuBefore = CpuSeconds();
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) loop.ProcessEvents(std::chrono::milliseconds(500));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds() - cpuBefore;
  std::printf("%-34s %6.2f s wall, %8.3f ms CPU (%.4f %% of one core)\n", what, wall, cpu * 1e3,
              100.0 * cpu / wall);
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const int frames = argc > 2 ? std::atoi(argv[2]) : 200;

  core::PlainMessageLoop loop;
  core::ScopedMessageLoop scope(loop);
  session::test::PtyInstrument instrument;
  session::Session link(ports::DefaultPortRegistry());
  bool opened = false;
  link.Open(instrument.OpenString(), &opened);
  if (!opened) {
    std::fprintf(stderr, "cannot open %s\n", instrument.OpenString().c_str());
    return 1;
  }

  MeasureIdle(loop, "open, idle:", idleSeconds);

  const std::vector<std::uint8_t> command{0x06, 0x86, 0x00};
  bool sent = false;
  link.Send(command.data(), 1, &sent);
  instrument.Read(4);
  MeasureIdle(loop, "open, awaiting a silent instrument:", idleSeconds);

  // Let the command end, then time answers of 16 payload bytes.
  std::vector<double> firstByte;  // length byte -> 0xFF
  std::vector<double> perByte;    // body byte -> its acknowledgement
  // 16 payload bytes 1..16 and their checksum (the sum, 136, low byte first).
  std::vector<std::uint8_t> body(18);
  for (std::size_t i = 0; i < 16; ++i) body[i] = static_cast<std::uint8_t>(i + 1);
  body[16] = 136;
  std::thread peer([&] {
    instrument.Answer(body);  // the command sent above
    for (int f = 0; f < frames; ++f) {
      instrument.Read(4);
      auto t0 = Clock::now();
      instrument.Write({static_cast<std::uint8_t>(body.size() - 2)});
      instrument.Read(1);
      firstByte.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      for (const std::uint8_t byte : body) {
        t0 = Clock::now();
        instrument.Write({byte});
        instrument.Read(1);
        perByte.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
    }
  });
  // The owner sends the next command as soon as each answer is in.
  struct Pacer final : session::IQX_SessionEvents {
    void OnReceive(session::IQX_Session*, std::int32_t) override { ++received; }
    int received = 0;
  } pacer;
  core::Cookie cookie = 0;
  link.Advise(&pacer, &cookie);
  for (int f = 0; f <= frames; ++f) {
    while (pacer.received <= f) loop.ProcessEvents(std::chrono::milliseconds(1000));
    if (f < frames) link.Send(command.data(), 1, &sent);
  }
  peer.join();
  link.Unadvise(cookie);

  std::printf("length byte -> 0xFF      (%5zu): median %7.1f us, p99 %7.1f us, max %7.1f us\n",
              firstByte.size(), Percentile(firstByte, 0.5), Percentile(firstByte, 0.99),
              Percentile(firstByte, 1.0));
  std::printf("body byte -> acknowledge (%5zu): median %7.1f us, p99 %7.1f us, max %7.1f us\n",
              perByte.size(), Percentile(perByte, 0.5), Percentile(perByte, 0.99),
              Percentile(perByte, 1.0));
  bool closed = false;
  link.Close(&closed);
  return 0;
}
