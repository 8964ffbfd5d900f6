#include "sim/options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace pelvane::sim {
namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(Trim(part));
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
  const std::string text = Trim(raw);
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

std::string SimUsage() {
  return R"(Usage: pelvane-sim [OPTIONS]

Simulates an instrument in its boot monitor: it takes the transfer program,
then answers flash commands on simulated flash memories. Without --device it
opens a pseudo-terminal and prints the path of its terminal side as the first
line of its output; a host opens that path as its serial port.

Line:
  --link PATH            also make PATH a symbolic link to the pseudo-terminal
  --device PATH          use this serial device (8 data bits, even parity, 1 stop bit)
  --baud N               on a pseudo-terminal: each byte takes its wire time at
                         N baud (11 bits per byte); on a device: its line speed
                         (default 115200)
  --gpib-socket PATH     listen on the Unix socket PATH for the GPIB test driver
                         library (host: PELVANE_GPIB_SOCKET=PATH); implies --block-mode
  --block-mode           send answers in one block without waiting for the host's
                         per-byte acknowledgements (as over GPIB)
  --byte-timeout MS      longest gap inside an upload block or command (default 2000)
  --ack-timeout MS       how long to wait for each acknowledgement (default 5000)

Flash memories (at least one, from options or a package):
  --memory BASE,SIZE,NAME[,MANUFACTURER,DEVICE]
                         a flash memory; known flash names bring their codes
  --package FILE         one memory per MEMORY entry of the package's QXCONFIG.INI
  --fill BYTE            initial contents of every memory (default 0xFF, erased)
  --preload ADDRESS,FILE put a file's bytes into flash before the start
  --no-power-check       let programming and erasing work without programming voltage

Faults (K counts from 1; counted options take lists like 2,5 and may repeat):
  --seed N               seed of the line noise (default 1)
  --boot-verdict V       boot monitor answers V: T, P, F, O, C, silent, any other
                         single character or a byte like 0x55
  --boot-fault-upload K  the boot verdict applies to the K-th upload only
  --fail-prog K          the K-th program block fails
  --fail-erase K         the K-th erase fails
  --bad-checksum K       the K-th checksum answer is wrong
  --short-read N         read answers deliver at most N bytes
  --corrupt-response K   the K-th response frame carries a wrong checksum
  --wrong-code K         the K-th response frame answers another command (its
                         checksum is right, its code is not)
  --silent-after K       commands after the K-th get no answer
  --vanish-after K       close the line and exit after answering the K-th command
  --noise RATE           each byte on the line is garbled with chance RATE (0..1)
  --noise-after K        the noise starts once the K-th command has been answered

Output:
  --transcript FILE      every byte on the line, with time and direction
  --summary FILE         the summary of the run (default: standard error)
  --dump DIR             the flash contents at each end of programming and at exit,
                         one file NAME_BASE.bin per memory
  --once                 exit after the first end of programming
  --verbose              log every command; --quiet: log only protocol violations
  --help                 this text

Exit status: 0 done, 1 the host broke the protocol, 2 bad options,
3 the simulator could not start or write its output.
)";
}

std::variant<SimOptions, std::string> ParseSimOptions(const std::vector<std::string>& args) {
  SimOptions o;
  std::size_t i = 0;
  std::string error;
  auto value = [&](const std::string& name) -> std::optional<std::string> {
    if (i + 1 >= args.size()) {
      error = name + " needs a value";
      return std::nullopt;
    }
    return args[++i];
  };
  auto number = [&](const std::string& name) -> std::optional<std::uint32_t> {
    auto v = value(name);
    if (!v) return std::nullopt;
    auto n = ParseNumber(*v);
    if (!n) error = name + ": not a number: " + *v;
    return n;
  };
  auto counts = [&](const std::string& name, std::set<std::uint64_t>& into) {
    auto v = value(name);
    if (!v) return false;
    for (const auto& part : Split(*v, ',')) {
      auto k = ParseCount(part);
      if (!k) {
        error = name + ": not a count from 1: " + *v;
        return false;
      }
      into.insert(*k);
    }
    return true;
  };

  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--link") {
      if (auto v = value(a)) o.link = *v;
    } else if (a == "--device") {
      if (auto v = value(a)) o.device = *v;
    } else if (a == "--baud") {
      if (auto n = number(a)) {
        if (*n == 0) error = "--baud must be above 0";
        o.baud = static_cast<long>(*n);
      }
    } else if (a == "--gpib-socket") {
      if (auto v = value(a)) {
        o.gpib_socket = *v;
        o.instrument.block_mode = true;  // a GPIB instrument answers in one block
      }
    } else if (a == "--block-mode") {
      o.instrument.block_mode = true;
    } else if (a == "--byte-timeout") {
      if (auto n = number(a)) o.instrument.byte_timeout = std::chrono::milliseconds(*n);
    } else if (a == "--ack-timeout") {
      if (auto n = number(a)) o.instrument.ack_timeout = std::chrono::milliseconds(*n);
    } else if (a == "--memory") {
      auto v = value(a);
      if (!v) break;
      const auto f = Split(*v, ',');
      MemorySpec m;
      auto base = f.size() >= 3 ? ParseNumber(f[0]) : std::nullopt;
      auto size = f.size() >= 3 ? ParseNumber(f[1]) : std::nullopt;
      if ((f.size() != 3 && f.size() != 5) || !base || !size || f[2].empty() || *size == 0) {
        error = "--memory wants BASE,SIZE,NAME[,MANUFACTURER,DEVICE]: " + *v;
        break;
      }
      m.base = *base;
      m.size = *size;
      m.name = f[2];
      if (f.size() == 5) {
        m.manufacturer = ParseNumber(f[3]);
        m.device = ParseNumber(f[4]);
        if (!m.manufacturer || !m.device) {
          error = "--memory: codes are not numbers: " + *v;
          break;
        }
      }
      o.memories.push_back(m);
    } else if (a == "--package") {
      if (auto v = value(a)) o.package = *v;
    } else if (a == "--fill") {
      if (auto n = number(a)) {
        if (*n > 0xFF) error = "--fill wants a byte: " + args[i];
        o.fill = static_cast<std::uint8_t>(*n);
      }
    } else if (a == "--preload") {
      auto v = value(a);
      if (!v) break;
      const auto comma = v->find(',');
      auto address = comma == std::string::npos ? std::nullopt : ParseNumber(v->substr(0, comma));
      if (!address || comma + 1 >= v->size()) {
        error = "--preload wants ADDRESS,FILE: " + *v;
        break;
      }
      o.preloads.push_back({*address, v->substr(comma + 1)});
    } else if (a == "--no-power-check") {
      o.instrument.require_power = false;
    } else if (a == "--seed") {
      if (auto n = number(a)) o.faults.seed = *n;
    } else if (a == "--boot-verdict") {
      auto v = value(a);
      if (!v) break;
      if (*v == "silent") {
        o.faults.silent_boot = true;
      } else if (v->size() == 1) {
        o.faults.boot_verdict = static_cast<std::uint8_t>((*v)[0]);
      } else if (auto n = ParseNumber(*v); n && *n <= 0xFF && v->size() > 2) {
        o.faults.boot_verdict = static_cast<std::uint8_t>(*n);
      } else {
        error = "--boot-verdict wants one character, a byte like 0x55, or silent: " + *v;
      }
    } else if (a == "--boot-fault-upload") {
      counts(a, o.faults.boot_fault_uploads);
    } else if (a == "--fail-prog") {
      counts(a, o.faults.fail_prog);
    } else if (a == "--fail-erase") {
      counts(a, o.faults.fail_erase);
    } else if (a == "--bad-checksum") {
      counts(a, o.faults.bad_checksum);
    } else if (a == "--corrupt-response") {
      counts(a, o.faults.corrupt_response);
    } else if (a == "--wrong-code") {
      counts(a, o.faults.wrong_code);
    } else if (a == "--noise-after") {
      if (auto n = number(a)) o.faults.noise_after = *n;
    } else if (a == "--short-read") {
      if (auto n = number(a)) o.faults.short_read = *n;
    } else if (a == "--silent-after") {
      if (auto n = number(a)) o.faults.silent_after = *n;
    } else if (a == "--vanish-after") {
      if (auto n = number(a)) {
        if (*n == 0) error = "--vanish-after counts from 1";
        o.faults.vanish_after = *n;
      }
    } else if (a == "--noise") {
      auto v = value(a);
      if (!v) break;
      char* end = nullptr;
      const double rate = std::strtod(v->c_str(), &end);
      if (v->empty() || *end != '\0' || !(rate >= 0.0 && rate <= 1.0)) {
        error = "--noise wants a rate from 0 to 1: " + *v;
      }
      o.faults.noise_rate = rate;
    } else if (a == "--transcript") {
      if (auto v = value(a)) o.transcript = *v;
    } else if (a == "--summary") {
      if (auto v = value(a)) o.summary = *v;
    } else if (a == "--dump") {
      if (auto v = value(a)) o.dump_dir = *v;
    } else if (a == "--once") {
      o.instrument.once = true;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else {
      error = "unknown option " + a;
    }
    if (!error.empty()) break;
  }
  if (!error.empty()) return error;
  if (o.help) return o;
  if (o.memories.empty() && o.package.empty()) {
    return std::string("no flash memory: give --memory or --package");
  }
  if (!o.device.empty() && !o.link.empty()) {
    return std::string("--link makes a link to the pseudo-terminal; it does not go with --device");
  }
  if (!o.gpib_socket.empty() && (!o.device.empty() || !o.link.empty())) {
    return std::string(
        "--gpib-socket replaces the pseudo-terminal; it does not go with --device or --link");
  }
  return o;
}

}  // namespace pelvane::sim
