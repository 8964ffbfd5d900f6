#include "sim/options.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "core/text.h"
#include "options/options.h"

namespace pelvane::sim {
namespace {

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(pelvane::core::Trim(part));
  if (!s.empty() && s.back() == sep) parts.push_back("");
  return parts;
}

std::optional<std::uint64_t> ParseCount(const std::string& text) {
  auto n = ParseNumber(text);
  if (!n || *n == 0) return std::nullopt;
  return *n;
}

}  // namespace

std::optional<std::uint32_t> ParseNumber(const std::string& raw) {
  const std::string text = pelvane::core::Trim(raw);
  if (text.empty()) return std::nullopt;
  int base = 10;
  std::string digits = text;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text.substr(2);
  }
  if (digits.empty() || digits[0] == '-' || digits[0] == '+') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(digits.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(v);
}

namespace {

constexpr const char* kLine = "Line:";
constexpr const char* kMemories = "Flash memories (at least one, from options or a package):";
constexpr const char* kFaults =
    "Faults (K counts from 1; counted options take lists like 2,5 and may repeat):";
constexpr const char* kOutput = "Output:";
constexpr const char* kProgram = "Program:";

constexpr options::Option kOptions[] = {
    {.name = "link",
     .value = "PATH",
     .help = "also make PATH a symbolic link to the pseudo-terminal",
     .group = kLine},
    {.name = "device",
     .value = "PATH",
     .help = "use this serial device (8 data bits, even parity, 1 stop bit)",
     .group = kLine},
    {.name = "baud",
     .value = "N",
     .help = "on a pseudo-terminal: each byte takes its wire time at N baud (11 bits per "
             "byte); on a device: its line speed (default 115200)",
     .group = kLine},
    {.name = "adapter-latency",
     .value = "MS",
     .help = "hold each byte to the host and hand it on at the next tick of a timer that runs "
             "freely every MS milliseconds, as a USB serial adapter's latency timer does (FTDI's "
             "default is 16)",
     .group = kLine},
    {.name = "gpib-socket",
     .value = "PATH",
     .help = "listen on the Unix socket PATH for the GPIB test driver library (host: "
             "PELVANE_GPIB_SOCKET=PATH); implies --block-mode",
     .group = kLine},
    {.name = "gpib-tcp",
     .value = "PORT",
     .help = "listen on 127.0.0.1:PORT (0: any free port) for the GPIB test driver library and "
             "print tcp:127.0.0.1:PORT first (host: PELVANE_GPIB_SOCKET=tcp:127.0.0.1:PORT); "
             "implies --block-mode",
     .group = kLine},
    {.name = "block-mode",
     .help = "send answers in one block without waiting for the host's per-byte "
             "acknowledgements (as over GPIB)",
     .group = kLine},
    {.name = "byte-timeout",
     .value = "MS",
     .help = "longest gap inside an upload block or command (default 2000)",
     .group = kLine},
    {.name = "ack-timeout",
     .value = "MS",
     .help = "how long to wait for each acknowledgement (default 5000)",
     .group = kLine},
    {.name = "memory",
     .value = "BASE,SIZE,NAME[,MANUFACTURER,DEVICE]",
     .help = "a flash memory; known flash names bring their codes",
     .group = kMemories},
    {.name = "package",
     .value = "FILE",
     .help = "one memory per MEMORY entry of the package's QXCONFIG.INI",
     .group = kMemories},
    {.name = "fill",
     .value = "BYTE",
     .help = "initial contents of every memory (default 0xFF, erased)",
     .group = kMemories},
    {.name = "preload",
     .value = "ADDRESS,FILE",
     .help = "put a file's bytes into flash before the start",
     .group = kMemories},
    {.name = "no-power-check",
     .help = "let programming and erasing work without programming voltage",
     .group = kMemories},
    {.name = "seed", .value = "N", .help = "seed of the line noise (default 1)", .group = kFaults},
    {.name = "boot-verdict",
     .value = "V",
     .help = "boot monitor answers V: T, P, F, O, C, silent, any other single character or a "
             "byte like 0x55",
     .group = kFaults},
    {.name = "boot-fault-upload",
     .value = "K",
     .help = "the boot verdict applies to the K-th upload only",
     .group = kFaults},
    {.name = "fail-prog", .value = "K", .help = "the K-th program block fails", .group = kFaults},
    {.name = "corrupt-stored",
     .value = "K",
     .help = "the K-th program block is stored with two bytes changed, its checksum still right",
     .group = kFaults},
    {.name = "fail-erase", .value = "K", .help = "the K-th erase fails", .group = kFaults},
    {.name = "bad-checksum",
     .value = "K",
     .help = "the K-th checksum answer is wrong",
     .group = kFaults},
    {.name = "short-read",
     .value = "N",
     .help = "read answers deliver at most N bytes",
     .group = kFaults},
    {.name = "long-read",
     .value = "N",
     .help = "read answers deliver N bytes more than asked",
     .group = kFaults},
    {.name = "corrupt-response",
     .value = "K",
     .help = "the K-th response frame carries a wrong checksum",
     .group = kFaults},
    {.name = "wrong-code",
     .value = "K",
     .help = "the K-th response frame answers another command (its checksum is right, its "
             "code is not)",
     .group = kFaults},
    {.name = "silent-after",
     .value = "K",
     .help = "commands after the K-th get no answer",
     .group = kFaults},
    {.name = "vanish-after",
     .value = "K",
     .help = "close the line and exit after answering the K-th command",
     .group = kFaults},
    {.name = "vanish-at",
     .value = "K",
     .help = "close the line and exit instead of answering the K-th command",
     .group = kFaults},
    {.name = "noise",
     .value = "RATE",
     .help = "each byte of the instrument's answer frames is damaged on the line with chance "
             "RATE (0..1; 0.002 is 0.2 %), drawn from --seed",
     .group = kFaults},
    {.name = "noise-after",
     .value = "K",
     .help = "the noise starts once the K-th command has been answered",
     .group = kFaults},
    {.name = "transcript",
     .value = "FILE",
     .help = "every byte on the line, with time and direction",
     .group = kOutput},
    {.name = "summary",
     .value = "FILE",
     .help = "the summary of the run (default: standard error)",
     .group = kOutput},
    {.name = "dump",
     .value = "DIR",
     .help = "the flash contents at each end of programming and at exit, one file "
             "NAME_BASE.bin per memory",
     .group = kOutput},
    {.name = "once", .help = "exit after the first end of programming", .group = kOutput},
    {.name = "verbose", .help = "log every command", .group = kOutput},
    {.name = "quiet", .help = "log only protocol violations", .group = kOutput},
    {.name = "help", .help = "show this text and exit", .letter = 'h', .group = kProgram},
    {.name = "version", .help = "show the program's name and version and exit", .group = kProgram},
};

std::optional<std::uint32_t> Number(const options::Argument& a, std::string& error) {
  auto n = ParseNumber(a.value);
  if (!n) error = "--" + std::string(a.option->name) + ": not a number: " + a.value;
  return n;
}

std::string Counts(const options::Argument& a, std::set<std::uint64_t>& into) {
  for (const auto& part : Split(a.value, ',')) {
    auto k = ParseCount(part);
    if (!k) return "--" + std::string(a.option->name) + ": not a count from 1: " + a.value;
    into.insert(*k);
  }
  return "";
}

std::string Memory(const std::string& v, SimOptions& o) {
  const auto f = Split(v, ',');
  MemorySpec m;
  auto base = f.size() >= 3 ? ParseNumber(f[0]) : std::nullopt;
  auto size = f.size() >= 3 ? ParseNumber(f[1]) : std::nullopt;
  if ((f.size() != 3 && f.size() != 5) || !base || !size || f[2].empty() || *size == 0)
    return "--memory wants BASE,SIZE,NAME[,MANUFACTURER,DEVICE]: " + v;
  m.base = *base;
  m.size = *size;
  m.name = f[2];
  if (f.size() == 5) {
    m.manufacturer = ParseNumber(f[3]);
    m.device = ParseNumber(f[4]);
    if (!m.manufacturer || !m.device) return "--memory: codes are not numbers: " + v;
  }
  o.memories.push_back(m);
  return "";
}

std::string BootVerdict(const std::string& v, FaultPlan& faults) {
  if (v == "silent") {
    faults.silent_boot = true;
  } else if (v.size() == 1) {
    faults.boot_verdict = static_cast<std::uint8_t>(v[0]);
  } else if (auto n = ParseNumber(v); n && *n <= 0xFF && v.size() > 2) {
    faults.boot_verdict = static_cast<std::uint8_t>(*n);
  } else {
    return "--boot-verdict wants one character, a byte like 0x55, or silent: " + v;
  }
  return "";
}

// Each group of options: nothing when the option is not one of the group's,
// else the error ("" when none).
std::optional<std::string> TakeLineOption(const options::Argument& a, SimOptions& o) {
  const std::string& v = a.value;
  std::string error;
  if (a.Is("link")) {
    o.link = v;
  } else if (a.Is("device")) {
    o.device = v;
  } else if (a.Is("baud")) {
    if (auto n = Number(a, error)) {
      if (*n == 0) return "--baud must be above 0";
      o.baud = static_cast<long>(*n);
    }
  } else if (a.Is("adapter-latency")) {
    if (auto n = Number(a, error)) {
      if (*n > 1000) return "--adapter-latency wants milliseconds from 0 to 1000: " + v;
      o.adapter_latency = std::chrono::milliseconds(*n);
    }
  } else if (a.Is("gpib-socket")) {
    o.gpib_socket = v;
    o.instrument.block_mode = true;  // a GPIB instrument answers in one block
  } else if (a.Is("gpib-tcp")) {
    const auto port = ParseNumber(v);
    if (!port || *port > 0xFFFF) return "--gpib-tcp wants a TCP port from 0 to 65535: " + v;
    o.gpib_tcp = static_cast<std::uint16_t>(*port);
    o.instrument.block_mode = true;
  } else if (a.Is("block-mode")) {
    o.instrument.block_mode = true;
  } else if (a.Is("byte-timeout")) {
    if (auto n = Number(a, error)) o.instrument.byte_timeout = std::chrono::milliseconds(*n);
  } else if (a.Is("ack-timeout")) {
    if (auto n = Number(a, error)) o.instrument.ack_timeout = std::chrono::milliseconds(*n);
  } else {
    return std::nullopt;
  }
  return error;
}

std::optional<std::string> TakeFaultOption(const options::Argument& a, SimOptions& o) {
  const std::string& v = a.value;
  std::string error;
  if (a.Is("seed")) {
    if (auto n = Number(a, error)) o.faults.seed = *n;
  } else if (a.Is("boot-verdict")) {
    return BootVerdict(v, o.faults);
  } else if (a.Is("boot-fault-upload")) {
    return Counts(a, o.faults.boot_fault_uploads);
  } else if (a.Is("fail-prog")) {
    return Counts(a, o.faults.fail_prog);
  } else if (a.Is("corrupt-stored")) {
    return Counts(a, o.faults.corrupt_stored);
  } else if (a.Is("fail-erase")) {
    return Counts(a, o.faults.fail_erase);
  } else if (a.Is("bad-checksum")) {
    return Counts(a, o.faults.bad_checksum);
  } else if (a.Is("corrupt-response")) {
    return Counts(a, o.faults.corrupt_response);
  } else if (a.Is("wrong-code")) {
    return Counts(a, o.faults.wrong_code);
  } else if (a.Is("noise-after")) {
    if (auto n = Number(a, error)) o.faults.noise_after = *n;
  } else if (a.Is("long-read")) {
    if (auto n = Number(a, error)) o.faults.long_read = static_cast<std::uint32_t>(*n);
  } else if (a.Is("short-read")) {
    if (auto n = Number(a, error)) o.faults.short_read = *n;
  } else if (a.Is("silent-after")) {
    if (auto n = Number(a, error)) o.faults.silent_after = *n;
  } else if (a.Is("vanish-after")) {
    if (auto n = Number(a, error)) {
      if (*n == 0) return "--vanish-after counts from 1";
      o.faults.vanish_after = *n;
    }
  } else if (a.Is("vanish-at")) {
    if (auto n = Number(a, error)) {
      if (*n == 0) return "--vanish-at counts from 1";
      o.faults.vanish_at = *n;
    }
  } else if (a.Is("noise")) {
    char* end = nullptr;
    const double rate = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(rate >= 0.0 && rate <= 1.0))
      return "--noise wants a rate from 0 to 1: " + v;
    o.faults.noise_rate = rate;
  } else {
    return std::nullopt;
  }
  return error;
}

std::optional<std::string> TakeGeneralOption(const options::Argument& a, SimOptions& o) {
  const std::string& v = a.value;
  std::string error;
  if (a.Is("help")) {
    o.help = true;
  } else if (a.Is("version")) {
    o.version = true;
  } else if (a.Is("memory")) {
    return Memory(v, o);
  } else if (a.Is("package")) {
    o.package = v;
  } else if (a.Is("fill")) {
    if (auto n = Number(a, error)) {
      if (*n > 0xFF) return "--fill wants a byte: " + v;
      o.fill = static_cast<std::uint8_t>(*n);
    }
  } else if (a.Is("preload")) {
    const auto comma = v.find(',');
    auto address = comma == std::string::npos ? std::nullopt : ParseNumber(v.substr(0, comma));
    if (!address || comma + 1 >= v.size()) return "--preload wants ADDRESS,FILE: " + v;
    o.preloads.push_back({*address, v.substr(comma + 1)});
  } else if (a.Is("no-power-check")) {
    o.instrument.require_power = false;
  } else if (a.Is("transcript")) {
    o.transcript = v;
  } else if (a.Is("summary")) {
    o.summary = v;
  } else if (a.Is("dump")) {
    o.dump_dir = v;
  } else if (a.Is("once")) {
    o.instrument.once = true;
  } else if (a.Is("verbose")) {
    o.verbose = true;
  } else if (a.Is("quiet")) {
    o.quiet = true;
  } else {
    return std::nullopt;
  }
  return error;
}

std::string Take(const options::Argument& a, SimOptions& o) {
  if (a.option == nullptr) return "unexpected argument " + a.value;
  if (auto taken = TakeLineOption(a, o)) return *taken;
  if (auto taken = TakeFaultOption(a, o)) return *taken;
  return TakeGeneralOption(a, o).value_or("");
}

}  // namespace

std::string SimUsage() {
  return "Usage: pelvane-sim [OPTIONS]\n"
         "\n"
         "Simulates an instrument in its boot monitor: it takes the transfer program,\n"
         "then answers flash commands on simulated flash memories. Without --device it\n"
         "opens a pseudo-terminal and prints the path of its terminal side as the first\n"
         "line of its output; a host opens that path as its serial port. With\n"
         "--gpib-socket or --gpib-tcp the first line is where the GPIB test driver\n"
         "connects.\n"
         "\n" +
         options::HelpLines(kOptions) +
         "\n"
         "Exit status: 0 done, 1 the host broke the protocol, 2 bad options,\n"
         "3 the simulator could not start or write its output.\n";
}

std::variant<SimOptions, std::string> ParseSimOptions(const std::vector<std::string>& args) {
  SimOptions o;
  const std::string error =
      options::Parse(kOptions, args, [&o](const options::Argument& a) { return Take(a, o); });
  if (!error.empty()) return error;
  if (o.help || o.version) return o;
  if (o.memories.empty() && o.package.empty()) {
    return std::string("no flash memory: give --memory or --package");
  }
  if (!o.device.empty() && !o.link.empty()) {
    return std::string("--link makes a link to the pseudo-terminal; it does not go with --device");
  }
  if (!o.gpib_socket.empty() && o.gpib_tcp) {
    return std::string("--gpib-socket and --gpib-tcp are two buses: give one");
  }
  if ((!o.gpib_socket.empty() || o.gpib_tcp) && (!o.device.empty() || !o.link.empty())) {
    return std::string(o.gpib_tcp ? "--gpib-tcp" : "--gpib-socket") +
           " replaces the pseudo-terminal; it does not go with --device or --link";
  }
  return o;
}

}  // namespace pelvane::sim
