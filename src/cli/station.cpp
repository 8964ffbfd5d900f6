#include "cli/station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <thread>

#include "cli/child_process.h"
#include "cli/json_text.h"
#include "cli/output_folder.h"
#include "cli/stop_signals.h"
#include "core/files.h"
#include "core/message_loop.h"
#include "core/sha256.h"
#include "core/text.h"
#include "options/options.h"
#include "upload/failure_cause.h"

namespace pelvane::cli {

namespace {

constexpr std::chrono::milliseconds kRedraw{100};
// A child's report is a record of one run, far below this.
constexpr std::size_t kReportLimit = 64 << 20;
// A line on the terminal is cut here so that it never wraps: the station
// redraws its lines by moving up as many as it wrote.
constexpr std::size_t kLineWidth = 79;

int Severity(int exitCode) {
  switch (exitCode) {
    case kExitOk:
      return 0;
    case kExitOutputLost:
      return 1;
    case kExitUsage:
      return 2;
    case kExitPackage:
      return 3;
    case kExitValidation:
      return 4;
    case kExitCancelled:
      return 6;
    default:  // a failed run, and whatever else a child ended with
      return 5;
  }
}

std::string SecondsText(std::chrono::milliseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(time.count()) / 1000.0);
  return text;
}

// Cut at a character's start, never inside a UTF-8 sequence.
std::string Fit(std::string text) {
  if (text.size() <= kLineWidth) return text;
  std::size_t cut = kLineWidth;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text;
}

struct Instrument {
  std::string port;
  std::string folder;
  std::string report;  // the child's report, a temporary file
  std::unique_ptr<ChildProcess> child;
  std::thread reader;
  bool ended = false;  // its output closed
  int exitCode = -1;
  // What its events said.
  std::string step;
  int percent = 0;
  std::optional<bool> ok;
  std::string message, cause;
  std::vector<std::string> texts;  // lines that were no JSON: errors and hints
  // What was shown of it without a terminal.
  std::string shownStep;
  int shownTenths = 0;
};

class Station {
 public:
  Station(const CliOptions& options, CliStreams& io, const std::string& runner)
      : options_(options), io_(io), runner_(runner), loop_(core::CurrentMessageLoop()) {
    live_ = !options.json && !options.quiet && io.outIsTerminal && io.terminalEscapes;
  }

  int Run();
  void RequestCancel() {
    loop_.Post([this] { CancelAll(); });
  }

 private:
  int UsageError(int exitCode, const std::string& text) {
    io_.err << "pelvane-cli: " << text << "\n";
    return exitCode;
  }
  std::string Prepare();
  void Start(Instrument& instrument);
  void OnLine(Instrument& instrument, const std::string& line);
  void OnEvent(Instrument& instrument, const Json& event);
  void ShowPlain(Instrument& instrument);
  void Draw(bool force);
  std::string LineOf(const Instrument& instrument) const;
  void CancelAll();
  int Finish();
  Json ReadChildReport(Instrument& instrument);

  const CliOptions& options_;
  CliStreams& io_;
  std::string runner_;
  core::MessageLoop& loop_;
  std::vector<std::unique_ptr<Instrument>> instruments_;
  std::chrono::system_clock::time_point start_ = std::chrono::system_clock::now();
  std::string startText_ = IsoTime(start_);
  bool live_ = false;
  std::size_t drawnLines_ = 0;
  std::chrono::steady_clock::time_point lastDrawn_{};
  bool cancelled_ = false;
};

std::string Station::Prepare() {
  std::vector<std::string> ports = options_.ports;
  if (options_.portsFromList) {
    ports = PortsFromList(ports::ListSerialDevices(), options_.match);
    if (ports.empty())
      return options_.match.empty() ? "--ports-from-list found no serial adapter"
                                    : "--ports-from-list found no serial adapter " + options_.match;
  }
  if (!options_.report.empty()) {
    const core::FileKind kind = core::KindOf(options_.report);
    if (kind == core::FileKind::kDirectory || kind == core::FileKind::kOther)
      return "cannot write the report " + options_.report + ": not a regular file";
    if (core::SameFile(options_.report, options_.package))
      return "--report " + options_.report + " names the package itself";
  }
  std::set<std::string> seen;
  for (const std::string& port : ports)
    if (!seen.insert(core::Trim(port)).second) return "--port " + port + " is given twice";
  if (!options_.trace.empty() && options_.trace.find("{port}") == std::string::npos)
    return "with several ports, --trace needs {port} in its name so that each instrument's "
           "trace has a file of its own";
  // Each instrument its own folder: the port's name below the one given.
  std::string folder = options_.outputDir.empty() ? std::string("{port}") : options_.outputDir;
  if (folder.find("{port}") == std::string::npos)
    folder = core::Utf8FromPath(core::PathFromUtf8(folder) / core::PathFromUtf8("{port}"));
  for (const std::string& port : ports) {
    auto instrument = std::make_unique<Instrument>();
    instrument->port = core::Trim(port);
    instrument->folder = ExpandFolder(folder, instrument->port, start_);
    std::string error;
    instrument->report = core::CreateTemporaryFile("~QXstation", &error);
    if (instrument->report.empty()) return "no temporary file for an instrument's report: " + error;
    instruments_.push_back(std::move(instrument));
  }
  return {};
}

void Station::Start(Instrument& instrument) {
  const std::string trace = options_.trace.empty()
                                ? std::string()
                                : ExpandFolder(options_.trace, instrument.port, start_);
  instrument.child = std::make_unique<ChildProcess>(
      runner_,
      ChildArguments(options_, instrument.port, instrument.folder, trace, instrument.report));
  if (!instrument.child->Started()) {
    instrument.ended = true;
    instrument.exitCode = kExitUploadFailed;
    instrument.ok = false;
    instrument.message = instrument.child->Error();
    instrument.cause = std::string(upload::CauseName(upload::FailureCause::Internal));
    return;
  }
  // The reader hands each line to this thread's loop; the child's end last.
  ChildProcess* child = instrument.child.get();
  Instrument* target = &instrument;
  instrument.reader = std::thread([this, child, target] {
    std::string pending;
    char buffer[4096];
    for (std::size_t got; (got = child->Read(buffer, sizeof buffer)) > 0;) {
      pending.append(buffer, got);
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        loop_.Post([this, target, line = std::move(line)] { OnLine(*target, line); });
      }
    }
    loop_.Post([this, target, rest = std::move(pending)] {
      if (!rest.empty()) OnLine(*target, rest);
      target->ended = true;
    });
  });
}

void Station::OnLine(Instrument& instrument, const std::string& line) {
  const std::string text =
      line.empty() || line.back() != '\r' ? line : line.substr(0, line.size() - 1);
  const Json event = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (event.is_object() && event.contains("event")) {
    OnEvent(instrument, event);
    return;
  }
  if (text.empty()) return;
  instrument.texts.push_back(text);
  if (options_.json)
    io_.out << JsonLine(
        {{"port", Text(instrument.port)}, {"event", "message"}, {"text", Text(text)}});
}

void Station::OnEvent(Instrument& instrument, const Json& event) {
  const std::string kind = event.value("event", "");
  if (kind == "progress") {
    instrument.step = event.value("text", "");
    instrument.percent = event.value("overall", instrument.percent);
  } else if (kind == "result") {
    instrument.ok = event.value("ok", false);
    instrument.message = event.value("message", "");
    instrument.cause = event.value("cause", "");
  }
  if (options_.json) {
    Json tagged{{"port", Text(instrument.port)}};
    for (const auto& [key, value] : event.items()) tagged[key] = value;
    io_.out << JsonLine(tagged);
  } else if (!live_ && !options_.quiet) {
    ShowPlain(instrument);
  }
}

// Without a terminal to redraw on: a line when an instrument starts a new
// step, passes another tenth of its run, or ends.
void Station::ShowPlain(Instrument& instrument) {
  const int tenths = instrument.percent / 10;
  if (instrument.ok) {
    io_.out << LineOf(instrument) << "\n";
  } else if (instrument.step != instrument.shownStep || tenths > instrument.shownTenths) {
    io_.out << instrument.port << ": " << instrument.percent << "% " << instrument.step << "\n";
    instrument.shownStep = instrument.step;
    instrument.shownTenths = tenths;
  }
}

std::string Station::LineOf(const Instrument& instrument) const {
  std::string line = instrument.port + "  ";
  if (!instrument.ok)
    return line + std::to_string(instrument.percent) + "% " +
           (instrument.step.empty() ? std::string("starting") : instrument.step);
  if (*instrument.ok) return line + "OK";
  return line + "FAILED: " + instrument.message +
         (instrument.cause.empty() ? "" : " (" + instrument.cause + ")");
}

void Station::Draw(bool force) {
  if (!live_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastDrawn_ < kRedraw) return;
  lastDrawn_ = now;
  if (drawnLines_ > 0) io_.out << "\033[" << drawnLines_ << "A";
  for (const auto& instrument : instruments_)
    io_.out << "\r\033[K" << Fit(LineOf(*instrument)) << "\n";
  drawnLines_ = instruments_.size();
  io_.out << std::flush;
}

void Station::CancelAll() {
  if (cancelled_) return;
  cancelled_ = true;
  // In order, each once: every runner closes its link and writes its record.
  for (const auto& instrument : instruments_)
    if (instrument->child) instrument->child->RequestStop();
}

Json Station::ReadChildReport(Instrument& instrument) {
  std::vector<std::uint8_t> bytes;
  const core::ReadOutcome read = core::ReadWholeFile(instrument.report, kReportLimit, &bytes);
  core::RemoveFile(instrument.report);
  if (read != core::ReadOutcome::kRead || bytes.empty()) return nullptr;
  Json report = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (!report.is_object()) return nullptr;
  // The station names the tool and the package once for all.
  for (const char* key : {"tool", "package", "packageSha256"}) report.erase(key);
  return report;
}

int Station::Run() {
  if (const std::string error = Prepare(); !error.empty()) return UsageError(kExitUsage, error);
  for (const auto& instrument : instruments_) Start(*instrument);
  Draw(true);
  const auto allEnded = [this] {
    return std::all_of(instruments_.begin(), instruments_.end(),
                       [](const auto& i) { return i->ended; });
  };
  while (!allEnded()) {
    loop_.ProcessEvents(kRedraw);
    Draw(false);
    io_.out.flush();
  }
  for (const auto& instrument : instruments_) {
    if (instrument->reader.joinable()) instrument->reader.join();
    if (instrument->child && instrument->child->Started())
      instrument->exitCode = instrument->child->Wait();
    // A runner that ended without its result line (a usage error, or killed)
    // failed; what it said last tells why.
    if (!instrument->ok) {
      instrument->ok = false;
      for (auto text = instrument->texts.rbegin(); text != instrument->texts.rend(); ++text)
        if (text->rfind("hint: ", 0) != 0 && text->rfind("Try '", 0) != 0) {
          instrument->message = *text;
          break;
        }
      if (instrument->message.empty())
        instrument->message = "the runner ended with exit status " +
                              std::to_string(instrument->exitCode) + " and no result";
    }
  }
  // Lines that came with the last events.
  loop_.ProcessEvents(std::chrono::milliseconds(0));
  Draw(true);
  return Finish();
}

int Station::Finish() {
  int worst = kExitOk;
  std::size_t succeeded = 0;
  Json instruments = Json::array();
  for (const auto& instrument : instruments_) {
    worst = WorstExit(worst, instrument->exitCode);
    if (instrument->exitCode == kExitOk) ++succeeded;
    Json entry{{"port", Text(instrument->port)},
               {"outputFolder", Text(instrument->folder)},
               {"exitCode", instrument->exitCode},
               {"ok", instrument->exitCode == kExitOk},
               {"message", Text(instrument->message)}};
    if (!instrument->cause.empty()) entry["cause"] = instrument->cause;
    entry["report"] = ReadChildReport(*instrument);
    instruments.push_back(entry);
  }
  const std::size_t failed = instruments_.size() - succeeded;
  if (options_.json) {
    Json result{{"event", "result"},      {"station", true},  {"ok", failed == 0},
                {"succeeded", succeeded}, {"failed", failed}, {"exitCode", worst}};
    result["instruments"] = Json::array();
    for (const Json& i : instruments) {
      Json brief{{"port", i["port"]}, {"ok", i["ok"]}, {"exitCode", i["exitCode"]}};
      if (i.contains("cause")) brief["cause"] = i["cause"];
      result["instruments"].push_back(brief);
    }
    io_.out << JsonLine(result);
  } else {
    // Each instrument's findings, and what went wrong where.
    for (std::size_t k = 0; k < instruments_.size(); ++k) {
      const Instrument& instrument = *instruments_[k];
      const Json& report = instruments[k]["report"];
      if (report.is_object() && report.contains("findings"))
        for (const Json& line : report["findings"])
          if (!options_.quiet)
            io_.out << instrument.port << ": " << line.get<std::string>() << "\n";
      if (instrument.exitCode == kExitOk) continue;
      io_.err << instrument.port << ": " << instrument.message << "\n";
      for (const std::string& text : instrument.texts)
        if (text.rfind("hint: ", 0) == 0) io_.err << instrument.port << ": " << text << "\n";
    }
    std::ostream& out = failed == 0 ? io_.out : io_.err;
    out << "Station: " << succeeded << " of " << instruments_.size()
        << (instruments_.size() == 1 ? " instrument" : " instruments") << " succeeded"
        << (failed == 0 ? "" : ", " + std::to_string(failed) + " failed") << "\n";
  }
  io_.out.flush();
  if (!options_.report.empty()) {
    Json record;
    std::string tool = options::VersionLine("pelvane-cli");
    record["tool"] = tool.substr(0, tool.find('\n'));
    record["station"] = true;
    record["operation"] = upload::OperationName(options_.operation);
    record["package"] = Text(options_.package);
    record["packageSha256"] = core::FileSha256(options_.package);
    record["start"] = startText_;
    record["end"] = IsoTime(std::chrono::system_clock::now());
    record["succeeded"] = succeeded;
    record["failed"] = failed;
    record["exitCode"] = worst;
    record["instruments"] = instruments;
    const std::string json = JsonLine(record, 2);
    const core::WholeWrite written = core::WriteWholeFile(
        options_.report, {reinterpret_cast<const std::uint8_t*>(json.data()), json.size()},
        core::Overwrite::kAgreed);
    if (!written.ok) io_.err << "pelvane-cli: could not write the report " << written.error << "\n";
  }
  return worst;
}

}  // namespace

int WorstExit(int a, int b) {
  return Severity(b) > Severity(a) ? b : a;
}

std::vector<std::string> PortsFromList(const ports::SerialDeviceList& list,
                                       const std::string& match) {
  std::vector<std::string> ports;
  for (const ports::SerialDevice& device : list.devices)
    if (match.empty() || core::ToUpper(device.usbId) == core::ToUpper(match))
      ports.push_back(device.path);
  return ports;
}

std::vector<std::string> ChildArguments(const CliOptions& o, const std::string& port,
                                        const std::string& folder, const std::string& trace,
                                        const std::string& report) {
  using upload::RunOperation;
  std::vector<std::string> args{
      "--package",
      o.package,
      "--port",
      port,
      "--json",
      "--output-dir",
      folder,
      "--idle-timeout",
      SecondsText(std::chrono::duration_cast<std::chrono::milliseconds>(o.idleTimeout))};
  if (!o.language.empty()) args.insert(args.end(), {"--language", o.language});
  if (o.waitDevice.count() > 0)
    args.insert(args.end(), {"--wait-device", SecondsText(o.waitDevice)});
  if (o.transferOnly) args.push_back("--transfer-only");
  if (o.verify) args.push_back("--verify");
  if (o.yes) args.push_back("--yes");
  if (o.dryRun) args.push_back("--dry-run");
  // Each command's round trip travels as a JSON event, shown only as JSON.
  if (o.verbose && o.json) args.push_back("--verbose");
  switch (o.operation) {
    case RunOperation::Update:
      break;
    case RunOperation::Read:
      for (const std::string& range : o.reads) args.insert(args.end(), {"--read", range});
      break;
    default:
      args.push_back("--" + std::string(upload::OperationName(o.operation)));
      break;
  }
  if (!trace.empty()) args.insert(args.end(), {"--trace", trace});
  if (!report.empty()) args.insert(args.end(), {"--report", report});
  return args;
}

int RunStation(const CliOptions& options, CliStreams& io, const std::string& runner) {
  if (runner.empty() || core::KindOf(runner) != core::FileKind::kRegular) {
    io.err << "pelvane-cli: the runner for each instrument is not there"
           << (runner.empty() ? "" : ": " + runner) << "\n";
    return kExitUsage;
  }
  Station station(options, io, runner);
  int code = kExitUploadFailed;
  {
    // Ctrl-C, a kill or a closed terminal cancel every instrument in order;
    // watched before the first thread starts. A second request ends the
    // station at once; each runner got the signal too and keeps its record.
    const StopSignals stop([&station] { station.RequestCancel(); },
                           [] { return static_cast<int>(kExitCancelled); }, kSecondSignalGrace);
    code = station.Run();
  }
  return code;
}

}  // namespace pelvane::cli
