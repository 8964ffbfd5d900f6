#include "sim/options.h"

#include <gtest/gtest.h>

namespace pelvane::sim {
namespace {

std::variant<SimOptions, std::string> Parse(std::vector<std::string> args) {
  return ParseSimOptions(args);
}

TEST(SimOptionsTest, MemoriesFaultsAndOutputs) {
  const auto parsed = Parse({"--memory",
                             "0x400000,0x80000,AM29F040",
                             "--memory",
                             "0,4096,CUSTOM,0x12,0x3456",
                             "--fail-prog",
                             "2,5",
                             "--fail-prog",
                             "9",
                             "--boot-verdict",
                             "0x55",
                             "--noise",
                             "0.25",
                             "--seed",
                             "42",
                             "--short-read",
                             "0",
                             "--once",
                             "--block-mode",
                             "--baud",
                             "9600",
                             "--adapter-latency",
                             "16"});
  ASSERT_TRUE(std::holds_alternative<SimOptions>(parsed)) << std::get<std::string>(parsed);
  const auto& o = std::get<SimOptions>(parsed);
  ASSERT_EQ(o.memories.size(), 2u);
  EXPECT_EQ(o.memories[0].base, 0x400000u);
  EXPECT_FALSE(o.memories[0].manufacturer.has_value());
  EXPECT_EQ(*o.memories[1].device, 0x3456u);
  EXPECT_EQ(o.faults.fail_prog, (std::set<std::uint64_t>{2, 5, 9}));
  EXPECT_EQ(*o.faults.boot_verdict, 0x55);
  EXPECT_DOUBLE_EQ(o.faults.noise_rate, 0.25);
  EXPECT_EQ(o.faults.seed, 42u);
  EXPECT_EQ(*o.faults.short_read, 0u);
  EXPECT_TRUE(o.instrument.once);
  EXPECT_TRUE(o.instrument.block_mode);
  EXPECT_EQ(o.baud, 9600);
  EXPECT_EQ(o.adapter_latency, std::chrono::milliseconds(16));
}

TEST(SimOptionsTest, BootVerdictForms) {
  auto verdict = [](const std::string& v) {
    auto p = Parse({"--package", "x.qxpkg", "--boot-verdict", v});
    return std::get<SimOptions>(p).faults;
  };
  EXPECT_EQ(*verdict("C").boot_verdict, 'C');
  EXPECT_EQ(*verdict("t").boot_verdict, 't');
  EXPECT_TRUE(verdict("silent").silent_boot);
  EXPECT_TRUE(
      std::holds_alternative<std::string>(Parse({"--package", "x", "--boot-verdict", "TT"})));
}

TEST(SimOptionsTest, BadArgumentsAreNamed) {
  const std::vector<std::vector<std::string>> bad = {
      {},  // no memory
      {"--memory", "0x10,0,X"},
      {"--memory", "0x10,16"},
      {"--memory", "0x10,16,X,1"},
      {"--memory", "0x100000000,16,X"},
      {"--package", "p", "--fail-erase", "0"},
      {"--package", "p", "--fail-erase", "1,x"},
      {"--package", "p", "--noise", "1.5"},
      {"--package", "p", "--fill", "256"},
      {"--package", "p", "--adapter-latency", "5000"},
      {"--package", "p", "--baud"},
      {"--package", "p", "--vanish-after", "0"},
      {"--package", "p", "--vanish-at", "0"},
      {"--package", "p", "--link", "l", "--device", "/dev/ttyS0"},
      {"--package", "p", "--frobnicate"},
  };
  for (const auto& args : bad) {
    const auto parsed = Parse(args);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed))
        << (args.empty() ? "(none)" : args.back());
    EXPECT_FALSE(std::get<std::string>(parsed).empty());
  }
  EXPECT_NE(std::get<std::string>(Parse({"--package", "p", "--frobnicate"})).find("--frobnicate"),
            std::string::npos);
  // Exact texts: a missing value is named as such, the first of several
  // errors is the one reported, names are given whole.
  const struct {
    std::vector<std::string> args;
    const char* error;
  } rows[] = {
      {{"--package=p", "--memory"}, "--memory needs a value"},
      {{"--package", "p", "--fill=256"}, "--fill wants a byte: 256"},
      {{"--package", "p", "--once=1"}, "--once takes no value"},
      {{"--package", "p", "stray"}, "unexpected argument stray"},
      {{"--package", "p", "--nois", "0.5"}, "unknown option --nois"},
      {{"--baud", "0", "--frobnicate"}, "--baud must be above 0"},
      {{"--frobnicate", "--baud", "0"}, "unknown option --frobnicate"},
      {{"--seed", "x", "--memory", "1"}, "--seed: not a number: x"},
      {{"--fail-prog=0", "--help"}, "--fail-prog: not a count from 1: 0"},
      {{"--package", "p", "--gpib-tcp", "65536"},
       "--gpib-tcp wants a TCP port from 0 to 65535: 65536"},
      {{"--package", "p", "--gpib-tcp", "0", "--gpib-socket", "s"},
       "--gpib-socket and --gpib-tcp are two buses: give one"},
      {{"--package", "p", "--gpib-tcp", "0", "--link", "l"},
       "--gpib-tcp replaces the pseudo-terminal; it does not go with --device or --link"},
  };
  for (const auto& row : rows) {
    const auto parsed = Parse(row.args);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << row.error;
    EXPECT_EQ(std::get<std::string>(parsed), row.error);
  }
}

TEST(SimOptionsTest, EitherGpibBusAnswersInBlockMode) {
  const auto tcp = std::get<SimOptions>(Parse({"--package", "p", "--gpib-tcp", "0"}));
  EXPECT_EQ(tcp.gpib_tcp, std::optional<std::uint16_t>(0));
  EXPECT_TRUE(tcp.instrument.block_mode);
  const auto local = std::get<SimOptions>(Parse({"--package", "p", "--gpib-socket", "/tmp/b"}));
  EXPECT_EQ(local.gpib_socket, "/tmp/b");
  EXPECT_FALSE(local.gpib_tcp.has_value());
  EXPECT_TRUE(local.instrument.block_mode);
}

TEST(SimOptionsTest, ValuesAfterAnEqualsSign) {
  const auto parsed = Parse({"--memory=0,4096,X", "--noise=0.5", "--boot-verdict=silent",
                             "--transcript=t=1.log", "--fail-erase=1,3"});
  ASSERT_TRUE(std::holds_alternative<SimOptions>(parsed)) << std::get<std::string>(parsed);
  const auto& o = std::get<SimOptions>(parsed);
  EXPECT_EQ(o.memories.at(0).size, 4096u);
  EXPECT_DOUBLE_EQ(o.faults.noise_rate, 0.5);
  EXPECT_TRUE(o.faults.silent_boot);
  EXPECT_EQ(o.transcript, "t=1.log");
  EXPECT_EQ(o.faults.fail_erase, (std::set<std::uint64_t>{1, 3}));
}

TEST(SimOptionsTest, HelpAndVersionNeedNothingElse) {
  for (const char* flag : {"--help", "-h", "--version"}) {
    const auto parsed = Parse({flag});
    ASSERT_TRUE(std::holds_alternative<SimOptions>(parsed)) << flag;
    const auto& o = std::get<SimOptions>(parsed);
    EXPECT_EQ(o.help, std::string(flag) != "--version") << flag;
    EXPECT_EQ(o.version, std::string(flag) == "--version") << flag;
  }
  const std::string usage = SimUsage();
  for (const char* text :
       {"--vanish-after K", "\nLine:\n  --link PATH            also make PATH",
        "\n  --memory BASE,SIZE,NAME[,MANUFACTURER,DEVICE]\n                         a flash",
        "\nProgram:\n  -h, --help             show this text and exit\n", "  --version"})
    EXPECT_NE(usage.find(text), std::string::npos) << text;
}

TEST(SimOptionsTest, NumbersAreDecimalOrHex) {
  EXPECT_EQ(*ParseNumber("0x1F000"), 0x1F000u);
  EXPECT_EQ(*ParseNumber("0X1f000"), 0x1F000u);
  EXPECT_EQ(*ParseNumber(" 126976 "), 126976u);
  EXPECT_EQ(*ParseNumber("4294967295"), 0xFFFFFFFFu);
  EXPECT_FALSE(ParseNumber("4294967296").has_value());
  EXPECT_FALSE(ParseNumber("-1").has_value());
  EXPECT_FALSE(ParseNumber("12abc").has_value());
  EXPECT_FALSE(ParseNumber("0x").has_value());
}

}  // namespace
}  // namespace pelvane::sim
