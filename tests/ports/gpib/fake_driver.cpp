// A scripted stand-in for an IEEE-488 driver library, built as a shared
// library so that the binding loads it exactly as it loads a real one. Every
// global name is exported (the default of both platforms' linkers). The status
// variables carry the names the platform's binding looks for: the build gives
// their prefix in FAKE_STATUS_PREFIX (empty on Linux, user_ on Windows).
// Compile definitions change the exports to model other drivers:
//   FAKE_WITHOUT_STATUS     the status variable iberr is not exported
//   FAKE_STATUS_FUNCTIONS   no status variables, the per-thread status
//                           functions instead (as NI's 64-bit ni4882.dll)
//   FAKE_WITHOUT_IBDEV      the function ibdev is not exported
#include "fake_driver.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#define FAKE_JOIN(prefix, name) prefix##name
#define FAKE_PREFIXED(prefix, name) FAKE_JOIN(prefix, name)
#define FAKE_STATUS(name) FAKE_PREFIXED(FAKE_STATUS_PREFIX, name)

namespace {

// The words the last call left, whatever way the driver offers them.
int g_ibsta = 0;
int g_iberr = 0;
long g_ibcntl = 0;

}  // namespace

extern "C" {
#ifdef FAKE_STATUS_FUNCTIONS
int ThreadIbsta() {
  return g_ibsta;
}
int ThreadIberr() {
  return g_iberr;
}
int ThreadIbcnt() {
  return static_cast<int>(g_ibcntl);
}
#else
volatile int FAKE_STATUS(ibsta) = 0;
#ifndef FAKE_WITHOUT_STATUS
volatile int FAKE_STATUS(iberr) = 0;
#endif
volatile long FAKE_STATUS(ibcntl) = 0;
#endif
}

namespace {

constexpr int kCmpl = 0x100;

struct Outcome {
  int status = kCmpl;
  int err = 0;
  long ibcntl = 0;
  std::vector<std::uint8_t> data;
};

struct State {
  int ibdevResult = 5;
  Outcome ibdevOutcome;
  std::deque<Outcome> reads;
  std::deque<Outcome> writes;
  std::string calls;
  std::vector<std::uint8_t> written;
};

State& S() {
  static State state;
  return state;
}

void Leave(int status, int err, long count) {
  g_ibsta = status;
  g_iberr = err;
  g_ibcntl = count;
#ifndef FAKE_STATUS_FUNCTIONS
  FAKE_STATUS(ibsta) = status;
#ifndef FAKE_WITHOUT_STATUS
  FAKE_STATUS(iberr) = err;
#endif
  FAKE_STATUS(ibcntl) = count;
#endif
}

void Log(const std::string& call) {
  S().calls += call + ";";
}

int Simple(const std::string& call) {
  Log(call);
  Leave(kCmpl, 0, g_ibcntl);
  return kCmpl;
}

Outcome Next(std::deque<Outcome>& queue) {
  if (queue.empty()) return Outcome{};
  Outcome o = queue.front();
  queue.pop_front();
  return o;
}

}  // namespace

extern "C" {

void fake_gpib_reset() {
  S() = State{};
  Leave(0, 0, 0);
}

void fake_gpib_set_ibdev(int result, int status, int err, long count) {
  S().ibdevResult = result;
  S().ibdevOutcome = Outcome{status, err, count, {}};
}

void fake_gpib_push_read(int status, int err, long count, const std::uint8_t* data, long placed) {
  S().reads.push_back(Outcome{status, err, count, std::vector<std::uint8_t>(data, data + placed)});
}

void fake_gpib_push_write(int status, int err, long count) {
  S().writes.push_back(Outcome{status, err, count, {}});
}

const char* fake_gpib_calls() {
  return S().calls.c_str();
}

const std::uint8_t* fake_gpib_written(long* count) {
  *count = static_cast<long>(S().written.size());
  return S().written.data();
}

#ifndef FAKE_WITHOUT_IBDEV
int ibdev(int board, int pad, int sad, int tmo, int eot, int eos) {
  Log("ibdev(" + std::to_string(board) + "," + std::to_string(pad) + "," + std::to_string(sad) +
      "," + std::to_string(tmo) + "," + std::to_string(eot) + "," + std::to_string(eos) + ")");
  const Outcome& o = S().ibdevOutcome;
  Leave(o.status, o.err, o.ibcntl);
  return S().ibdevResult;
}
#endif

int ibsic(int ud) {
  return Simple("ibsic(" + std::to_string(ud) + ")");
}
int ibclr(int ud) {
  return Simple("ibclr(" + std::to_string(ud) + ")");
}

int ibtmo(int ud, int v) {
  return Simple("ibtmo(" + std::to_string(ud) + "," + std::to_string(v) + ")");
}

int ibonl(int ud, int v) {
  return Simple("ibonl(" + std::to_string(ud) + "," + std::to_string(v) + ")");
}

int ibrd(int ud, void* buffer, long count) {
  Log("ibrd(" + std::to_string(ud) + "," + std::to_string(count) + ")");
  const Outcome o = Next(S().reads);
  const std::size_t n = std::min(o.data.size(), static_cast<std::size_t>(count));
  if (n > 0) std::memcpy(buffer, o.data.data(), n);
  Leave(o.status, o.err, o.ibcntl);
  return o.status;
}

int ibwrt(int ud, const void* buffer, long count) {
  Log("ibwrt(" + std::to_string(ud) + "," + std::to_string(count) + ")");
  Outcome o = Next(S().writes);
  if (o.status == kCmpl && o.ibcntl == 0) o.ibcntl = count;  // unscripted: all sent
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  const long moved = std::min(o.ibcntl, count);
  if (moved > 0) S().written.insert(S().written.end(), bytes, bytes + moved);
  Leave(o.status, o.err, o.ibcntl);
  return o.status;
}

}  // extern "C"
