#include "cli/cli_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/port_list.h"
#include "options/options.h"

namespace pelvane::cli {
namespace {

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
  const CliOptions o =
      Parse({"--package", "a.qxpkg", "--port=/dev/pts/3", "--language", "german", "--transfer-only",
             "--yes", "--json", "--idle-timeout", "2.5", "--report", "r.json", "--summary"});
  EXPECT_EQ(o.package, "a.qxpkg");
  EXPECT_EQ(o.port, "/dev/pts/3");
  EXPECT_EQ(o.language, "german");
  EXPECT_TRUE(o.transferOnly && o.yes && o.json && o.summary);
  EXPECT_EQ(o.idleTimeout, std::chrono::milliseconds(2500));
  EXPECT_EQ(o.report, "r.json");
}

TEST(CliOptions, Defaults) {
  const CliOptions o = Parse({"--package", "a.qxpkg"});
  EXPECT_EQ(o.idleTimeout, std::chrono::seconds(150));
  EXPECT_TRUE(o.port.empty());
  EXPECT_FALSE(o.yes);
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

// No program has a one-letter option with a value yet; the parser reads it
// all the same, so the first one added works at once.
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
  ports::SerialDevice uart;
  uart.path = "/dev/ttyS0";
  std::ostringstream described;
  PrintPortList(described, {{adapter, uart}, ""});
  EXPECT_EQ(described.str(),
            "/dev/ttyUSB0  FTDI FT232R USB UART (0403:6001, serial A1)\n"
            "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0\n"
            "    You may not open it yet: add your user to the 'dialout' group.\n"
            "/dev/ttyS0\n");
  // Without udev (a container) the devices found by name, and a word why
  // nothing more is known.
  std::ostringstream byName;
  PrintPortList(byName, {{uart}, "udev does not run on this machine"});
  EXPECT_EQ(byName.str(),
            "/dev/ttyS0\nDevice descriptions are unavailable: udev does not run on this "
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
                                                  {"accessHint", adapter.accessHint}}));
  EXPECT_EQ(parsed["devices"][1]["description"], odd.description);
  EXPECT_EQ(parsed["devices"][1]["usbId"], "");
  std::ostringstream undescribed;
  PrintPortList(undescribed, {{}, "udev does not run on this machine"}, true);
  EXPECT_EQ(undescribed.str(),
            "{\"devices\":[],\"described\":false,"
            "\"undescribedReason\":\"udev does not run on this machine\"}\n");
}

}  // namespace
}  // namespace pelvane::cli
