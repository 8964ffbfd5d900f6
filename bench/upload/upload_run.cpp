#include "upload_run.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "bench_package.h"
#include "child_process.h"

namespace pelvane::bench {

namespace {

constexpr int kMaxProgLen = 240;
// Generous against a loaded machine; only a broken run waits this long.
constexpr auto kSimStart = std::chrono::seconds(20);
constexpr int kIdleTimeoutSeconds = 60;

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::vector<UploadOutcome> RunUploadCase(const Tools& tools, const UploadCase& c) {
  const long packageBaud = c.baud > 0 ? c.baud : 115200;
  const std::string package = tools.work + "/bench-" + std::to_string(c.programBytes) + "-" +
                              std::to_string(packageBaud) + ".qxpkg";
  std::string error;
  if (!WriteBenchPackage(package, {c.programBytes, kMaxProgLen, packageBaud}, &error))
    throw std::runtime_error("cannot write " + package + ": " + error);

  const int n = std::max(1, c.parallel);
  std::vector<std::unique_ptr<ChildProcess>> sims;
  std::vector<std::string> ptys, summaries, prefixes;
  for (int i = 0; i < n; ++i) {
    std::string prefix = tools.work + "/" + c.name;
    if (n > 1) prefix.append(1, '-').append(std::to_string(i + 1));
    prefixes.push_back(prefix);
    summaries.push_back(prefix + ".sim-summary");
    std::vector<std::string> args{tools.sim, "--package", package,         "--once",
                                  "--quiet", "--summary", summaries.back()};
    if (c.baud > 0) {
      args.push_back("--baud");
      args.push_back(std::to_string(c.baud));
    }
    sims.push_back(std::make_unique<ChildProcess>(args, "", prefix + ".sim-log"));
    ptys.push_back(sims.back()->ReadLine(kSimStart));
    if (ptys.back().empty())
      throw std::runtime_error("the simulator did not start; see " + prefix + ".sim-log");
  }

  // All runners start together, so the parallel uploads overlap whole.
  std::vector<std::unique_ptr<ChildProcess>> clis;
  for (int i = 0; i < n; ++i) {
    std::vector<std::string> args{
        tools.cli, "--package", package,          "--port",
        ptys[i],   "--yes",     "--idle-timeout", std::to_string(kIdleTimeoutSeconds)};
    if (c.trace) {
      args.push_back("--trace");
      args.push_back(prefixes[i] + ".trace");
    }
    if (c.verify) args.push_back("--verify");
    clis.push_back(std::make_unique<ChildProcess>(args, prefixes[i] + ".cli-log",
                                                  prefixes[i] + ".cli-errors"));
  }

  std::vector<UploadOutcome> outcomes(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    auto& o = outcomes[static_cast<std::size_t>(i)];
    o.cliStatus = clis[i]->Wait();
    // With --once the instrument ends by itself after the end of programming;
    // after a failed upload nothing will end it.
    if (o.cliStatus != 0) sims[i]->Terminate();
  }
  for (int i = 0; i < n; ++i) {
    auto& o = outcomes[static_cast<std::size_t>(i)];
    o.simStatus = sims[i]->Wait();
    o.figures.baud = c.baud;
    o.figures.programBytes = c.programBytes;
    o.figures.host = clis[i]->Use();
    o.figures.instrument = sims[i]->Use();
    const std::string summary = ReadText(summaries[i]);
    if (const auto bytes = ParseSimSummaryBytes(summary))
      o.figures.bytes = *bytes;
    else
      o.problem = "no byte counts in " + summaries[i];
    o.violations = ParseSimSummaryViolations(summary).value_or(0);
    if (o.cliStatus != 0)
      o.problem = "pelvane-cli exit status " + std::to_string(o.cliStatus) + "; see " +
                  prefixes[i] + ".cli-errors";
    else if (o.simStatus != 0)
      o.problem = "pelvane-sim exit status " + std::to_string(o.simStatus) + " (" +
                  std::to_string(o.violations) + " protocol violations); see " + summaries[i];
  }
  return outcomes;
}

}  // namespace pelvane::bench
