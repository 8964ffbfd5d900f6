#include "package/package_loader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <utility>

#include "package/item_parsing.h"
#include "ports/kind/device_name.h"
#include "ports/kind/port_kind.h"

namespace pelvane::package {

namespace {

constexpr std::int32_t kInitialWeight = 10;
constexpr std::int32_t kTransferWeight = 10;
constexpr std::int32_t kMemoryWeight = 10;
// Erasing is weighted by the length in units of this many bytes.
constexpr double kEraseWeightDivisor = 4000.0;

struct ProcessorEntry {
  const char* name;
  std::int32_t code;
  std::int32_t factor;
};
constexpr ProcessorEntry kProcessors[] = {
    {"I80X86", 0, 1},
    {"TMS320C30", 1, 4},
    {"MCC960", 2, 1},
};

struct ArchitectureEntry {
  const char* name;
  std::int32_t code;
};
constexpr ArchitectureEntry kArchitectures[] = {{"B8", 1}, {"B16", 2}, {"B32", 3}};

// The leading numeric part of a text, as a number-reading routine of the
// old tools reads it: optional sign, digits, a fraction and an exponent;
// 0 when nothing numeric leads.
double LeadingNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    std::size_t e = i + 1;
    if (e < text.size() && (text[e] == '+' || text[e] == '-')) ++e;
    if (e < text.size() && std::isdigit(static_cast<unsigned char>(text[e]))) {
      while (e < text.size() && std::isdigit(static_cast<unsigned char>(text[e]))) ++e;
      i = e;
    }
  }
  return std::strtod(text.substr(start, i - start).c_str(), nullptr);
}

// Windows editors save "Unicode" text as UTF-16 with a byte-order mark, and
// the private-profile routines read such files; turn it into UTF-8.
bool FromUtf16(std::string& text) {
  bool little = text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE';
  bool big = text.size() >= 2 && text[0] == '\xFE' && text[1] == '\xFF';
  if (!little && !big) return false;
  std::string out;
  auto unit = [&](std::size_t i) -> std::uint32_t {
    auto lo = static_cast<unsigned char>(text[little ? i : i + 1]);
    auto hi = static_cast<unsigned char>(text[little ? i + 1 : i]);
    return static_cast<std::uint32_t>(hi << 8 | lo);
  };
  for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
    std::uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < text.size()) {
      std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  text = std::move(out);
  return true;
}

bool FitsInt32(double value) {
  return value >= std::numeric_limits<std::int32_t>::min() &&
         value <= std::numeric_limits<std::int32_t>::max();
}

std::vector<std::string> SplitList(const std::string& text, bool upper) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  for (const auto& part : Split(text, ',')) {
    std::string item = core::Trim(part);
    if (item.empty()) continue;
    out.push_back(upper ? core::ToUpper(item) : item);
  }
  return out;
}

// "com1" is COM1; a Linux device path keeps its case.
std::string PortName(const std::string& text) {
  return ports::CanonicalPortName(core::Trim(text));
}

}  // namespace

std::int64_t RoundHalfEven(double value) {
  // Out-of-range values (a MAXPROGLEN of "-1e300") are held at the limits
  // instead of being converted with undefined results.
  constexpr double kLimit = 9.0e18;
  if (std::isnan(value)) return 0;
  if (value >= kLimit) return static_cast<std::int64_t>(kLimit);
  if (value <= -kLimit) return -static_cast<std::int64_t>(kLimit);
  return static_cast<std::int64_t>(std::nearbyint(value));
}

std::string QN_PackageLoader::ReadKey(const PrivateProfile& profile,
                                      const std::string& configurationPath,
                                      const std::string& section, const std::string& key) {
  std::string value = profile.Get(section, key).value_or("NA");
  if (!value.empty()) {
    std::size_t comment = value.find(';');
    if (comment != std::string::npos) value.resize(comment);
    std::string rest = core::Trim(value);
    // "NA ; note" is as missing as "NA": the comparison is made on the
    // trimmed value.
    if (rest != "NA") return rest;
  }
  SetLastError(kErrKeyNotFound);
  SetLastErrorString("\n File:" + configurationPath + "\n Section:\n" + section + " Key:" + key);
  return {};
}

namespace {

// One load or program-list reload: the steps share the configuration, the
// profile and the loader's error.
class LoadRun {
 public:
  LoadRun(QN_PackageLoader& loader, PackageConfiguration& config)
      : loader_(loader), config_(config) {}

  bool Failed() const { return loader_.GetLastError() != 0; }
  bool Fail(std::int32_t code, const std::string& text) {
    loader_.SetLastError(code);
    loader_.SetLastErrorString(text);
    return false;
  }
  void ClearError() { loader_.Error().Clear(); }

  std::string Key(const std::string& section, const std::string& key) {
    // Named as the user knows it: the package and its member, never the
    // temporary copy the key was read from.
    return loader_.ReadKey(*config_.profile,
                           config_.archive->Path() + " (" + kConfigurationMember + ")", section,
                           key);
  }

  // A key that may be missing: true with the value, or false with the error
  // cleared when it is missing.
  bool Optional(const std::string& section, const std::string& key, std::string& value) {
    value = Key(section, key);
    if (Failed()) {
      ClearError();
      return false;
    }
    return true;
  }

  bool AddWeight(double amount) {
    double sum = static_cast<double>(config_.progressWeight) + amount;
    if (!FitsInt32(sum)) return Fail(kErrConfigurationInvalid, " progress weight out of range");
    config_.progressWeight = static_cast<std::int32_t>(RoundHalfEven(sum));
    return true;
  }

  // Reads section/base, base1, base2, ... from `number` on until a key is
  // missing; calls `each` with every value. Leaves in `number` the first
  // number that had no key, where a following section continues.
  template <typename Each>
  bool Series(const std::string& section, const std::string& base, int& number, Each each) {
    for (;; ++number) {
      std::string key = number == 0 ? base : base + std::to_string(number);
      std::string value = Key(section, key);
      if (Failed()) {
        // The first missing key ends the series.
        ClearError();
        return true;
      }
      if (!each(value)) return false;
    }
  }

  bool Programs() {
    config_.programs.clear();
    config_.progressWeight = config_.programBase;
    auto each = [this](const std::string& value) {
      QN_Program program(config_.archive);
      if (!program.Init(value, "")) return Fail(kErrProgramEntryInvalid, "\n" + value);
      config_.programs.push_back(std::move(program));
      return AddWeight(static_cast<double>(config_.programs.back().Length()) /
                       config_.maxProgramBlockLength);
    };
    int number = 0;
    if (!Series("FILES", "PROGRAM", number, each)) return false;
    return Series(config_.firmwareLanguage, "PROGRAM", number, each);
  }

  bool Load(const std::string& member, QN_Prompt& prompt);

 private:
  // The steps of Load, in the order the configuration is read.
  bool CopyConfiguration(const std::string& member);
  bool MaxProgramLength();
  bool Ports();
  bool Baud();
  bool Target();
  bool Transfer();
  bool Items(QN_Prompt& prompt);
  void Languages();

  QN_PackageLoader& loader_;
  PackageConfiguration& config_;
};

bool LoadRun::Load(const std::string& member, QN_Prompt& prompt) {
  if (!CopyConfiguration(member) || !MaxProgramLength() || !Ports() || !Baud() || !Target() ||
      !Transfer() || !Items(prompt))
    return false;
  Languages();
  config_.baseLoaded = true;
  if (!Programs()) return false;
  config_.notLoaded = false;
  return true;
}

bool LoadRun::CopyConfiguration(const std::string& member) {
  PackageConfiguration& c = config_;
  PackageArchive& archive = *c.archive;

  // The configuration is copied to a temporary file so that it can be
  // inspected while the wizard runs, as the instrument tools always did.
  auto copy = std::make_shared<TemporaryFile>("~QX");
  if (copy->Path().empty()) return Fail(kErrConfigurationInvalid, " " + copy->Error());
  c.configurationCopy = copy;
  c.configurationPath = copy->Path();

  std::string name = core::Trim(member);
  if (archive.CountMembers(name) < 1) {
    std::string why = archive.LastError();
    return Fail(kErrFilenameInvalid, why.empty() ? "\nConfiguration file not found"
                                                 : "\nConfiguration file not found: " + why);
  }
  std::string text;
  if (!archive.ReadMemberText(name, 0, kMaxMemberBytes, text)) {
    return Fail(kErrConfigurationInvalid, " " + archive.LastError());
  }
  // NUL bytes (padding, or one at the end) are the profile reader's business,
  // as they are Windows'.
  FromUtf16(text);
  if (!copy->Write(text)) return Fail(kErrConfigurationInvalid, " " + copy->Error());
  c.profile = std::make_shared<const PrivateProfile>(text);
  return true;
}

bool LoadRun::MaxProgramLength() {
  PackageConfiguration& c = config_;
  std::string value;
  // A value that only holds a comment says nothing either: the default holds.
  if (!Optional("HOST", "MAXPROGLEN", value) || value.empty()) {
    c.maxProgramBlockLength = kDefaultMaxProgramBlockLength;
    return true;
  }
  // Only decimal numbers: "0x10" would read as 0.
  if (core::ToUpper(core::Trim(value)).rfind("0X", 0) == 0)
    return Fail(kErrConfigurationInvalid,
                "\n[HOST] MAXPROGLEN=" + value + " is not a decimal number");
  double number = LeadingNumber(core::ToUpper(value));
  if (number > kMaxProgramBlockLengthCap) {
    c.maxProgramBlockLength = kMaxProgramBlockLengthCap;
    return true;
  }
  std::int64_t rounded = RoundHalfEven(number);
  // Every block carries at least one byte; 0 would also divide the
  // progress weight by zero.
  if (rounded < 1) {
    return Fail(kErrConfigurationInvalid, "\n[HOST] MAXPROGLEN=" + value + " is below 1");
  }
  c.maxProgramBlockLength = static_cast<std::int32_t>(rounded);
  return true;
}

bool LoadRun::Ports() {
  PackageConfiguration& c = config_;
  std::string value = Key("HOST", "PORTS");
  if (Failed()) return false;
  c.ports = SplitList(value, false);
  for (std::string& port : c.ports) port = PortName(port);

  c.port = PortName(Key("HOST", "UART"));
  if (Failed()) return false;

  if (!Optional("HOST", c.port, c.keyText)) c.keyText.clear();
  if (ports::IsSerialPort(c.port)) {
    c.serialKeyText = c.keyText;
  } else {
    const auto serial = std::find_if(c.ports.begin(), c.ports.end(),
                                     [](const std::string& p) { return ports::IsSerialPort(p); });
    if (serial != c.ports.end() && !Optional("HOST", *serial, c.serialKeyText))
      c.serialKeyText.clear();
  }
  return true;
}

bool LoadRun::Baud() {
  PackageConfiguration& c = config_;
  c.baudText = core::ToUpper(Key("HOST", "BAUD"));
  if (Failed()) return false;
  auto baud = ParseNumericField(c.baudText);
  // Zero and negative rates load: only a serial port needs a speed, and the
  // speed check of validation refuses them there (a GPIB-only package may
  // say BAUD=0).
  if (!baud || c.baudText.find("0X") != std::string::npos) {
    return Fail(kErrConfigurationInvalid, "\n[HOST] BAUD=" + c.baudText + " is not a baud rate");
  }
  c.baudRate = *baud;
  return true;
}

bool LoadRun::Target() {
  PackageConfiguration& c = config_;
  c.processorName = core::ToUpper(Key("TARGET", "PROCESSOR"));
  if (Failed()) return false;
  bool known = false;
  for (const auto& p : kProcessors) {
    if (c.processorName == p.name) {
      c.processorCode = p.code;
      c.processorFactor = p.factor;
      known = true;
    }
  }
  if (!known) return Fail(kErrProcessorInvalid, " " + c.processorName);

  c.architectureName = core::ToUpper(Key("TARGET", "ARCHITECTURE"));
  if (Failed()) return false;
  known = false;
  for (const auto& a : kArchitectures) {
    if (c.architectureName == a.name) {
      c.architectureCode = a.code;
      known = true;
    }
  }
  if (!known) return Fail(kErrArchitectureInvalid, " " + c.architectureName);
  return true;
}

bool LoadRun::Transfer() {
  PackageConfiguration& c = config_;
  std::string value;
  c.continueFlag = !Optional("HOST", "CONTINUE", value) || core::Trim(core::ToUpper(value)) != "NO";

  value = Key("HOST", "TRANSFER");
  if (Failed()) return false;
  if (!c.transferProgram.Init(value, "")) {
    return Fail(kErrConfigurationInvalid, c.transferProgram.GetLastError() != 0
                                              ? c.transferProgram.GetLastErrorString()
                                              : "\n" + value);
  }
  return AddWeight(kTransferWeight);
}

bool LoadRun::Items(QN_Prompt& prompt) {
  PackageConfiguration& c = config_;
  int number = 0;
  bool ok = Series("TARGET", "MEMORY", number, [this](const std::string& v) {
    QN_Memory memory;
    if (!memory.Init(v)) return Fail(kErrMemoryEntryInvalid, "\n" + v);
    config_.memories.push_back(std::move(memory));
    return AddWeight(kMemoryWeight);
  });
  if (!ok) return false;

  number = 0;
  ok = Series("TARGET", "ERASE", number, [this](const std::string& v) {
    QN_Erase erase;
    if (!erase.Init(v)) return Fail(kErrEraseEntryInvalid, "\n" + v);
    config_.erases.push_back(erase);
    return AddWeight(erase.Length() / kEraseWeightDivisor);
  });
  if (!ok) return false;
  c.eraseMark = c.progressWeight;

  number = 0;
  ok = Series("FILES", "UPLOAD", number, [this, &prompt](const std::string& v) {
    QN_Download download;
    download.SetPrompt(&prompt);
    if (!download.Init(v, "")) return Fail(kErrUploadEntryInvalid, "\n" + v);
    config_.downloads.push_back(download);
    return AddWeight(static_cast<double>(download.Length()) / config_.maxProgramBlockLength);
  });
  if (!ok) return false;
  c.programBase = c.progressWeight;
  return true;
}

void LoadRun::Languages() {
  PackageConfiguration& c = config_;
  std::string value;
  if (!Optional("HOST", "FIRMWARE_LANGUAGES", value)) value = "None";
  c.firmwareLanguages = SplitList(value, true);

  if (Optional("HOST", "FIRMWARE_LANGUAGE", value)) {
    c.firmwareLanguage = core::ToUpper(value);
  } else {
    c.firmwareLanguage = "None";
  }
}

}  // namespace

bool QN_PackageLoader::Load(const std::string& packagePath, QN_Prompt& prompt,
                            PackageConfiguration& config, const std::string& member) {
  // A new load discards every item of the previous one, and with it the
  // previous temporary copy and the block cache of the previous archive.
  config = PackageConfiguration{};
  config.packagePath = packagePath;
  config.archive = std::make_shared<PackageArchive>(packagePath);
  config.transferProgram = QN_TransferProgram(config.archive);
  config.notLoaded = true;
  Error().Clear();
  config.progressWeight = kInitialWeight;
  LoadRun run(*this, config);
  try {
    return run.Load(member, prompt);
  } catch (const std::exception& e) {
    SetLastError(kErrConfigurationInvalid);
    SetLastErrorString(std::string(" ") + e.what());
    return false;
  }
}

bool QN_PackageLoader::ReloadPrograms(PackageConfiguration& config, const std::string& language) {
  config.firmwareLanguage = core::ToUpper(core::Trim(language));
  return ReloadPrograms(config);
}

bool QN_PackageLoader::ReloadPrograms(PackageConfiguration& config) {
  Error().Clear();
  if (!config.profile) {
    SetLastError(kErrConfigurationInvalid);
    SetLastErrorString(" no package configuration loaded");
    return false;
  }
  LoadRun run(*this, config);
  bool ok = false;
  try {
    ok = run.Programs();
  } catch (const std::exception& e) {
    SetLastError(kErrConfigurationInvalid);
    SetLastErrorString(std::string(" ") + e.what());
  }
  // A partly rebuilt program list must not be uploaded.
  config.notLoaded = !(ok && config.baseLoaded);
  return ok;
}

}  // namespace pelvane::package
