#include "cli/cli_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/cli_defaults.h"
#include "cli/output_folder.h"
#include "cli/port_list.h"
#include "cli/progress_line.h"
#include "cli/station.h"
#include "options/options.h"
#include "ports/kind/device_name.h"

namespace pelvane::cli {
namespace {

#define EXPECT_THAT_HELP(help, line) EXPECT_NE((help).find(line), std::string::npos) << (help)

CliOptions Parse(const std::vector<std::string>& args) {
  auto parsed = ParseCliArguments(args);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    ADD_FAILURE() << *error;
    return {};
  }
  return std::get<CliOptions>(parsed);
}

std::string Error(const std::vector<std::string>& args) {
  auto parsed = ParseCliArguments(args);
  auto* error = std::get_if<std::string>(&parsed);
  return error ? *error : "(accepted)";
}

TEST(CliOptions, GnuOptionsWithSeparateAndInlineValues) {
  const CliOptions o = Parse({"--package", "a.qxpkg", "--port=/dev/pts/3", "--language", "german",
                              "--transfer-only", "--yes", "--json", "--idle-timeout", "2.5",
                              "--report", "r.json", "--summary", "--no-resend"});
  EXPECT_EQ(o.package, "a.qxpkg");
  EXPECT_EQ(o.port, "/dev/pts/3");
  EXPECT_EQ(o.language, "german");
  EXPECT_TRUE(o.transferOnly && o.yes && o.json && o.summary);
  EXPECT_EQ(o.idleTimeout, std::chrono::milliseconds(2500));
  EXPECT_EQ(o.report, "r.json");
  EXPECT_FALSE(o.resend);
}

TEST(CliOptions, Defaults) {
  const CliOptions o = Parse({"--package", "a.qxpkg"});
  EXPECT_EQ(o.idleTimeout, std::chrono::seconds(150));
  EXPECT_TRUE(o.port.empty());
  EXPECT_FALSE(o.yes);
  EXPECT_TRUE(o.resend);
}

TEST(CliOptions, BadUsageIsNamed) {
  EXPECT_EQ(Error({}), "--package FILE is required");
  EXPECT_EQ(Error({"--package"}), "--package needs a value");
  EXPECT_EQ(Error({"--package", "a", "--bogus"}), "unknown option --bogus");
  EXPECT_EQ(Error({"--package", "a", "extra"}), "unexpected argument extra");
  EXPECT_EQ(Error({"--package", "a", "--yes=no"}), "--yes takes no value");
  // Below a millisecond a time-out would round to none at all.
  for (const char* option : {"--idle-timeout", "--wait-device"})
    for (const char* bad : {"0", "-1", "abc", "5s", "", "0.0001"})
      EXPECT_NE(Error({"--package", "a", option, bad}).find(option), std::string::npos)
          << option << " " << bad;
  EXPECT_EQ(Error({"--help"}), "(accepted)");
  EXPECT_EQ(Error({"--version"}), "(accepted)");
  // A missing value is named as such, also in the "=" form; the first of
  // several errors is the one reported; names are whole and case-sensitive.
  const struct {
    std::vector<std::string> args;
    const char* error;
  } rows[] = {
      {{"--package", "a", "--report"}, "--report needs a value"},
      {{"--package", "a", "--idle-timeout"}, "--idle-timeout needs a value"},
      {{"--package", "a", "--port="}, "--port needs a value"},
      {{"--package", "a", "--language="}, "--language needs a value"},
      {{"--bogus", "--package"}, "unknown option --bogus"},
      {{"--package", "a", "--yes=no", "--bogus", "extra"}, "--yes takes no value"},
      {{"--idle-timeout", "0", "--bogus"},
       "--idle-timeout needs a number of seconds, at least 0.001, not \"0\""},
      {{"extra", "--bogus"}, "unexpected argument extra"},
      {{"--pack", "a"}, "unknown option --pack"},
      {{"--Package", "a"}, "unknown option --Package"},
      {{"-x", "--package", "a"}, "unknown option -x"},
      {{"--help=1"}, "--help takes no value"},
      {{"--package", "a", "--", "--yes"}, "unexpected argument --yes"},
      // "--" as a value does not end the options; "-" alone is plain; an
      // empty value after "=" is a value, for a flag as much as any other.
      {{"--package", "a", "--report", "--", "extra"}, "unexpected argument extra"},
      {{"--package", "a", "-"}, "unexpected argument -"},
      {{"--package", "a", "--yes="}, "--yes takes no value"},
      {{"--package=", "--yes"}, "--package FILE is required"},
      {{"-hx"}, "unknown option -x"},
  };
  for (const auto& row : rows) EXPECT_EQ(Error(row.args), row.error) << row.args.front();
  // A script that asked for JSON gets its result line for these as well.
  EXPECT_TRUE(JsonAsked({"--bogus", "--json"}));
  EXPECT_FALSE(JsonAsked({"--package", "a", "--", "--json"}));
}

TEST(CliOptions, ValuesInBothFormsAndHelpAndVersion) {
  const CliOptions o = Parse({"--package=a=b.qxpkg", "--report", "--odd", "--idle-timeout=7"});
  EXPECT_EQ(o.package, "a=b.qxpkg");
  EXPECT_EQ(o.report, "--odd");  // a value may start with dashes
  EXPECT_EQ(o.idleTimeout, std::chrono::seconds(7));
  EXPECT_TRUE(Parse({"-h"}).help);
  EXPECT_TRUE(Parse({"--list-ports"}).listPorts);  // needs no package
  EXPECT_TRUE(Parse({"--package", "a", "--version"}).version);
  // Parsed twice in one process: the parser's state starts afresh each time.
  EXPECT_EQ(Parse({"--package", "b", "--yes"}).package, "b");
  const std::string usage = CliUsage();
  for (const char* line :
       {"  -P, --package FILE     the firmware package", "  --idle-timeout SECONDS give up",
        "  --report FILE          write a JSON record", "  -h, --help             show this text",
        "  -V, --version          show the program's name and version", "2 bad usage"})
    EXPECT_NE(usage.find(line), std::string::npos) << line;
}

// One-letter options with values, grouped flags and plain arguments between.
TEST(OptionParser, LettersGroupedAndWithValues) {
  constexpr options::Option kTable[] = {{.name = "peer", .value = "X", .letter = 'p'},
                                        {.name = "help", .letter = 'h'},
                                        {.name = "verbose", .letter = 'v'}};
  const struct {
    std::vector<std::string> args;
    const char* taken;  // each argument as "name=value ", a plain one as "=value "
    const char* error;
  } rows[] = {
      {{"-pVALUE", "-p", "-x"}, "peer=VALUE peer=-x ", ""},
      {{"-hvpX", "a"}, "help= verbose= peer=X =a ", ""},
      {{"--peer=", "--peer", "=", "--", "-h", "--"}, "peer= peer== =-h =-- ", ""},
      {{"-hp"}, "help= ", "-p needs a value"},
      {{"-vx", "-h"}, "verbose= ", "unknown option -x"},
      {{"a", "--bogus", "-h"}, "=a ", "unknown option --bogus"},
  };
  for (const auto& row : rows) {
    std::string taken;
    const std::string error = options::Parse(kTable, row.args, [&](const options::Argument& a) {
      taken += (a.option ? a.option->name : "") + ("=" + a.value) + " ";
      return std::string();
    });
    EXPECT_EQ(taken, row.taken) << row.args.front();
    EXPECT_EQ(error, row.error) << row.args.front();
  }
}

// The letters technicians type, the operations that exclude each other and
// the options that need another.
TEST(CliOptions, ShortFormsOperationsAndWhatTheyNeed) {
  const CliOptions o =
      Parse({"-P", "a.qxpkg", "-p/dev/ttyUSB0", "-yjq", "-o", "cal/{port}", "--identify"});
  EXPECT_EQ(o.package, "a.qxpkg");
  EXPECT_EQ(o.port, "/dev/ttyUSB0");
  EXPECT_TRUE(o.yes && o.json && o.quiet);
  EXPECT_EQ(o.outputDir, "cal/{port}");
  EXPECT_EQ(o.operation, upload::RunOperation::Identify);
  EXPECT_FALSE(o.Station());
  EXPECT_TRUE(Parse({"-V"}).version);
  EXPECT_TRUE(Parse({"-P", "a", "-v"}).verbose);
  const CliOptions reads = Parse({"-P", "a", "--read", "0x100,16,a.bin", "--read", "0x200,8,b"});
  EXPECT_EQ(reads.operation, upload::RunOperation::Read);
  EXPECT_EQ(reads.reads, (std::vector<std::string>{"0x100,16,a.bin", "0x200,8,b"}));
  const CliOptions station = Parse({"-P", "a", "-p", "COM1", "--port", "COM2", "--dry-run"});
  EXPECT_TRUE(station.Station() && station.dryRun);
  EXPECT_EQ(station.ports, (std::vector<std::string>{"COM1", "COM2"}));
  EXPECT_TRUE(Parse({"-P", "a", "--ports-from-list", "--match", "0403:6001"}).Station());
  const struct {
    std::vector<std::string> args;
    const char* error;
  } rows[] = {
      {{"-P", "a", "--identify", "--backup"}, "--backup and --identify exclude each other"},
      {{"-P", "a", "--verify-only", "--read", "1,2,x"},
       "--read and --verify-only exclude each other"},
      {{"-P", "a", "--verify-only", "--verify"},
       "--verify-only and --verify exclude each other (--verify-only checks an instrument "
       "without updating it)"},
      {{"-P", "a", "--backup", "--transfer-only"},
       "--backup and --transfer-only exclude each other"},
      {{"-P", "a", "--summary", "--dry-run"},
       "--summary prints the package's summary only; it takes no operation"},
      {{"-P", "a", "--match", "0403:6001"}, "--match needs --ports-from-list"},
      {{"-P", "a", "--ports-from-list", "--match", "403:6001"},
       "--match needs a USB vendor and product as VID:PID (four hexadecimal digits each), not "
       "\"403:6001\""},
      {{"-P", "a", "--ports-from-list", "-p", "COM1"},
       "--ports-from-list and --port exclude each other"},
      {{"-P", "a", "-qv"}, "--quiet and --verbose exclude each other"},
      {{"-P", "a", "--read="}, "--read needs START,LENGTH,FILE"},
  };
  for (const auto& row : rows) EXPECT_EQ(Error(row.args), row.error) << row.args[2];
}

// The environment and pelvane.conf fill what the command line leaves open,
// the environment first; a bad settings file is named with its line.
TEST(CliDefaults, EnvironmentThenSettingsFileThenNothing) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "pelvane-cli-defaults-test.conf";
  const auto defaults = [&](const std::string& text, std::map<std::string, std::string> env) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    return ReadDefaults(
        [&](const char* name) -> std::optional<std::string> {
          auto it = env.find(name);
          return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
        },
        file.string());
  };
  const std::string where = file.string() + " line ";
  CliDefaults d = defaults("# bench 3\n\n port = /dev/ttyUSB1 \r\n; folder\noutput-dir=/data/cal\n",
                           {{"PELVANE_PORT", "/dev/ttyUSB0"}});
  EXPECT_EQ(d.error, "");
  EXPECT_EQ(d.port.value, "/dev/ttyUSB0");
  EXPECT_EQ(d.port.source, "PELVANE_PORT");
  EXPECT_EQ(d.outputDir.value, "/data/cal");
  EXPECT_EQ(d.outputDir.source, where + "5");
  // An empty variable sets nothing; the file does.
  d = defaults("port = COM2\n", {{"PELVANE_PORT", ""}});
  EXPECT_EQ(d.port.value, "COM2");
  CliOptions given = Parse({"-P", "a", "-o", "mine"});
  ApplyDefaults(d, given);
  EXPECT_EQ(given.port, "COM2");
  EXPECT_EQ(given.outputDir, "mine");
  EXPECT_THAT_HELP(CliUsage(d), "--port        COM2 (from " + where + "1)");
  EXPECT_THAT_HELP(CliUsage(d), "--output-dir  the current folder");
  for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
           {"port /dev/ttyUSB0\n", "1: \"port /dev/ttyUSB0\" is not key = value"},
           {"\nprot = COM1\n", "2: unknown key \"prot\" (known: port, output-dir)"},
           {"output-dir =\n", "1: output-dir has no value"}})
    EXPECT_EQ(defaults(text, {}).error, where + error);
  std::filesystem::remove(file);
  EXPECT_EQ(ReadDefaults([](const char*) { return std::nullopt; }, file.string()).error, "");
}

// A station's instruments: the worst exit wins, the adapters of the list,
// and each runner's arguments.
TEST(Station, WorstExitPortsAndTheRunnersArguments) {
  const struct {
    std::vector<int> codes;
    int worst;
  } rows[] = {{{0, 0}, 0},        {{0, 5}, 5},    {{5, 1, 0}, 1}, {{4, 1}, 1},
              {{1, 130, 0}, 130}, {{2, 3, 4}, 4}, {{0, 77}, 77}};
  for (const auto& row : rows) {
    int worst = 0;
    for (const int code : row.codes) worst = WorstExit(worst, code);
    EXPECT_EQ(worst, row.worst) << row.codes.size();
  }
  ports::SerialDevice ftdi, other;
  ftdi.path = "/dev/ttyUSB0";
  ftdi.usbId = "0403:6001";
  other.path = "/dev/ttyACM0";
  other.usbId = "2341:0043";
  EXPECT_EQ(PortsFromList({{ftdi, other}, ""}, "0403:6001"),
            std::vector<std::string>{"/dev/ttyUSB0"});
  EXPECT_EQ(PortsFromList({{ftdi, other}, ""}, "").size(), 2u);
  const CliOptions o = Parse({"-P", "p.qxpkg", "-p", "A", "-p", "B", "--verify-only", "-y",
                              "--language", "german", "--idle-timeout", "2.5"});
  EXPECT_EQ(
      ChildArguments(o, "B", "out/B", "", "r.json"),
      (std::vector<std::string>{"--package", "p.qxpkg", "--port", "B", "--json", "--output-dir",
                                "out/B", "--idle-timeout", "2.500", "--language", "german", "--yes",
                                "--verify-only", "--report", "r.json"}));
}

TEST(OutputFolder, PlaceholdersAndPortNames) {
  EXPECT_EQ(PortFolderName("/dev/ttyUSB0"), "ttyUSB0");
  EXPECT_EQ(PortFolderName("/dev/pts/7"), "pts_7");
  EXPECT_EQ(PortFolderName("\\\\.\\COM10"), "COM10");
  // Windows keeps COM1 to COM9 for the devices themselves.
  EXPECT_EQ(PortFolderName("COM3"), ports::IsDevicePath("COM3") ? "port-COM3" : "COM3");
  EXPECT_EQ(PortFolderName("GPIB"), "GPIB");
  const auto start = std::chrono::system_clock::now();
  const std::string folder = ExpandFolder("cal/{port}/{date}-{time}", "/dev/ttyUSB0", start);
  EXPECT_EQ(folder.rfind("cal/ttyUSB0/", 0), 0u) << folder;
  EXPECT_EQ(folder.size(), std::string("cal/ttyUSB0/2026-12-09-115452").size()) << folder;
  EXPECT_EQ(ExpandFolder("plain", "/dev/ttyUSB0", start), "plain");
}

// The progress line: redrawn at most ten times a second on a terminal,
// without escape sequences where they are not wanted, and as a plain line
// every tenth of the run or every 10 seconds in a log.
TEST(ProgressLine, ThrottledOnATerminalAndPlainInALog) {
  auto now = std::chrono::steady_clock::time_point{};
  std::ostringstream terminal, log;
  ProgressLine line({&terminal, false, &log}, [&] { return now; });
  upload::RunProgress p;
  p.step = "Program File = MAIN.BIN";
  p.stepBytes = 8499;
  p.stepSeconds = 1.0;
  p.secondsLeft = 12.4;
  const auto at = [&](double fraction, int ms) {
    p.fraction = fraction;
    now += std::chrono::milliseconds(ms);
    line.Update(p);
  };
  at(0.40, 0);
  at(0.41, 50);     // within 100 ms: not drawn
  at(0.42, 60);     // drawn
  at(0.43, 11000);  // logged after 10 s
  at(0.51, 10);     // logged: a new tenth
  EXPECT_EQ(ProgressLine::Text(p), "51% Program File = MAIN.BIN, 8.3 KiB/s, 0:12 left");
  EXPECT_EQ(log.str(),
            "Progress 43% Program File = MAIN.BIN, 8.3 KiB/s, 0:12 left\n"
            "Progress 51% Program File = MAIN.BIN, 8.3 KiB/s, 0:12 left\n");
  const std::string drawn = terminal.str();
  EXPECT_EQ(drawn.find('\x1b'), std::string::npos);
  EXPECT_EQ(std::count(drawn.begin(), drawn.end(), '\r'), 3);  // 40, 42 and 43
  line.Clear();
  EXPECT_EQ(terminal.str().substr(drawn.size()), "\r" + std::string(49, ' ') + "\r");
  std::ostringstream ansi;
  ProgressLine escaped({&ansi, true, nullptr}, [&] { return now; });
  p.fraction = 1.0;
  escaped.Update(p);
  EXPECT_EQ(ansi.str(), "\r\x1b[K100% Program File = MAIN.BIN, 8.3 KiB/s");
}

TEST(CliOptions, LegacySwitches) {
  // A legacy path cannot hold "/": the package lies in the current folder.
  const std::filesystem::path path = "pelvane-cli-legacy-test.qxpkg";
  std::ofstream(path) << "x";
  const CliOptions o = Parse({"/F" + path.string(), "/PORTGPIB", "/FIRMWARE_LANGUAGEGERMAN",
                              "/TRANSFERONLY", "/AUTOSTART", "/ADV_DISPLAY"});
  EXPECT_EQ(o.package, path.string());
  EXPECT_EQ(o.port, "GPIB");
  EXPECT_EQ(o.language, "GERMAN");
  EXPECT_TRUE(o.transferOnly);
  EXPECT_EQ(Error({"/autostart"}), "Invalid command line switch /autostart");
  EXPECT_NE(Error({"/TRANSFERONLY"}).find("/F"), std::string::npos);
  std::filesystem::remove(path);
}

TEST(CliPortList, ListsWhatIdentifiesADeviceAndSaysWhenDescriptionsAreMissing) {
  ports::SerialDevice adapter;
  adapter.path = "/dev/ttyUSB0";
  adapter.description = "FTDI FT232R USB UART";
  adapter.stablePath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0";
  adapter.usbId = "0403:6001";
  adapter.serialNumber = "A1";
  adapter.accessHint = "add your user to the 'dialout' group";
  adapter.driver = "ftdi_sio";
  adapter.latencyTimerMs = 16;
  ports::SerialDevice uart;
  uart.path = "/dev/ttyS0";
  uart.driver = "serial";
  ports::SerialDevice quick = adapter;
  quick.path = "/dev/ttyUSB1";
  quick.latencyTimerMs = 1;
  quick.stablePath = quick.accessHint = quick.description = quick.usbId = quick.serialNumber = "";
  std::ostringstream described;
  PrintPortList(described, {{adapter, uart, quick}, ""});
  EXPECT_EQ(described.str(),
            "/dev/ttyUSB0  FTDI FT232R USB UART (0403:6001, serial A1)\n"
            "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0\n"
            "    driver ftdi_sio, latency timer 16 ms: each answer byte waits that long; set it "
            "to 1 ms: " +
                ports::LatencyTimerAdvice("/dev/ttyUSB0") +
                "\n"
                "    You may not open it yet: add your user to the 'dialout' group.\n"
                "/dev/ttyS0\n"
                "    driver serial\n"
                "/dev/ttyUSB1\n"
                "    driver ftdi_sio, latency timer 1 ms\n");
  // Without udev (a container) the devices found by name, and a word why
  // nothing more is known.
  std::ostringstream byName;
  PrintPortList(byName, {{uart}, "udev does not run on this machine"});
  EXPECT_EQ(byName.str(),
            "/dev/ttyS0\n    driver serial\nDevice descriptions are unavailable: udev does not run "
            "on this "
            "machine.\n");
  std::ostringstream none;
  PrintPortList(none, {{}, "udev does not run on this machine"});
  EXPECT_EQ(none.str().rfind("No serial devices found.\n", 0), 0u);

  // Names from udev and by-id links cannot steer the terminal.
  ports::SerialDevice odd;
  odd.path = "COM3";
  odd.description = "Evil\x1b[2J Adapter";
  odd.stablePath = "/dev/serial/by-id/usb-Evil\x1b]0;x\x07-if00";
  std::ostringstream escaped;
  PrintPortList(escaped, {{odd}, ""});
  EXPECT_EQ(escaped.str(),
            "COM3  Evil\\x1b[2J Adapter\n"
            "    /dev/serial/by-id/usb-Evil\\x1b]0;x\\x07-if00\n");

  // --json: one object on one line, every field of every device, the
  // characters as they are (JSON escapes them itself).
  std::ostringstream json;
  PrintPortList(json, {{adapter, odd}, ""}, true);
  ASSERT_EQ(json.str().back(), '\n');
  EXPECT_EQ(json.str().find('\n'), json.str().size() - 1);
  const auto parsed = nlohmann::json::parse(json.str());
  EXPECT_EQ(parsed["described"], true);
  EXPECT_FALSE(parsed.contains("undescribedReason"));
  ASSERT_EQ(parsed["devices"].size(), 2u);
  EXPECT_EQ(parsed["devices"][0], nlohmann::json({{"path", "/dev/ttyUSB0"},
                                                  {"description", "FTDI FT232R USB UART"},
                                                  {"stablePath", adapter.stablePath},
                                                  {"usbId", "0403:6001"},
                                                  {"serialNumber", "A1"},
                                                  {"accessHint", adapter.accessHint},
                                                  {"driver", "ftdi_sio"},
                                                  {"latencyTimer", 16}}));
  EXPECT_EQ(parsed["devices"][1]["description"], odd.description);
  EXPECT_EQ(parsed["devices"][1]["usbId"], "");
  EXPECT_TRUE(parsed["devices"][1]["latencyTimer"].is_null());
  std::ostringstream undescribed;
  PrintPortList(undescribed, {{}, "udev does not run on this machine"}, true);
  EXPECT_EQ(undescribed.str(),
            "{\"devices\":[],\"described\":false,"
            "\"undescribedReason\":\"udev does not run on this machine\"}\n");
}

}  // namespace
}  // namespace pelvane::cli
