#include "cli/run_record.h"

#include "cli/json_text.h"
#include "cli/run_summary.h"
#include "options/options.h"
#include "upload/report_text.h"

namespace pelvane::cli {

std::string RunRecord::ToJson() const {
  using upload::HexText;
  Json record;
  std::string tool = options::VersionLine("pelvane-cli");
  record["tool"] = tool.substr(0, tool.find('\n'));
  record["operation"] = operation;
  record["package"] = Text(package);
  record["packageSha256"] = packageSha256;
  record["comment"] = Text(comment);
  record["port"] = Text(port);
  record["firmwareLanguage"] = Text(language);
  record["outputFolder"] = Text(outputFolder);
  record["start"] = start;
  record["end"] = end;
  record["actions"] = Json::array();
  for (const Action& action : actions)
    record["actions"].push_back({{"time", action.time}, {"text", Text(action.text)}});
  record["memories"] = Json::array();
  for (const upload::MemoryCodes& memory : memories)
    record["memories"].push_back({{"startAddress", HexText(memory.startAddress)},
                                  {"manufacturer", HexText(memory.manufacturer)},
                                  {"device", HexText(memory.device)}});
  record["programs"] = Json::array();
  for (const upload::ProgramChecksum& program : programs)
    record["programs"].push_back({{"file", Text(program.filename)},
                                  {"blocks", program.blockCount},
                                  {"hostChecksum", HexText(program.host)},
                                  {"targetChecksum", HexText(program.target)}});
  // With --verify: each program file read back and compared.
  record["verify"] = Json::array();
  for (const upload::VerifyResult& result : verified) {
    Json entry{{"file", Text(result.filename)}, {"ok", result.ok}};
    if (result.mismatchAddress >= 0) entry["address"] = HexText(result.mismatchAddress);
    record["verify"].push_back(entry);
  }
  // What the instrument kept only once, with a digest to prove the copy whole later.
  record["downloads"] = Json::array();
  for (const Download& download : downloads)
    record["downloads"].push_back(
        {{"file", Text(download.file)}, {"bytes", download.bytes}, {"sha256", download.sha256}});
  // Commands sent again because their answers were lost on the line: a
  // count to compare runs by, and each one to see which step met the noise.
  record["resends"] = resends.size();
  record["resent"] = Json::array();
  for (const upload::Resend& resend : resends)
    record["resent"].push_back({{"command", resend.command}, {"reason", resend.reason}});
  if (slowAdapter)
    record["slowAdapter"] = {{"turnaroundMs", slowAdapter->turnaroundMs},
                             {"adapter", Text(slowAdapter->adapter)},
                             {"advice", Text(slowAdapter->advice)}};
  record["findings"] = Json::array();
  for (const std::string& line : findings) record["findings"].push_back(Text(line));
  // What the run moved and how long it took, once it ran.
  if (statistics) {
    Json figures;
    AddStatistics(figures, *statistics);
    record["statistics"] = figures;
  }
  Json outcome;
  AddOutcome(outcome, ok, code, message, cause);
  outcome["exitCode"] = exitCode;
  if (outputLost) outcome["outputLost"] = true;
  if (!traceError.empty()) outcome["traceError"] = Text(traceError);
  record["outcome"] = outcome;
  return JsonLine(record, 2);
}

}  // namespace pelvane::cli
