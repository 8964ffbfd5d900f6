#include "upload/run_estimate.h"

#include <algorithm>

#include "upload/report_text.h"
#include "upload/upload_engine.h"

namespace pelvane::upload {

namespace {

using M = MessageSize;

// Adds up the exchanges of one step.
class StepBuilder {
 public:
  StepBuilder(const LineCost& line, std::string what) : line_(line) {
    step_.what = std::move(what);
  }

  void Exchange(int command, int answer, std::int64_t times = 1) {
    if (times <= 0) return;
    const LineBytes bytes = line_.ExchangeBytes(command, answer);
    step_.commands += times;
    step_.bytes.toInstrument += bytes.toInstrument * times;
    step_.bytes.fromInstrument += bytes.fromInstrument * times;
    step_.seconds += line_.ExchangeSeconds(command, answer) * static_cast<double>(times);
  }

  // A range in blocks of `block`: `command(count)` and `answer(count)` give
  // the message sizes of a block of `count` bytes.
  template <class Command, class Answer>
  void Blocks(std::int64_t size, std::int32_t block, Command command, Answer answer) {
    if (size <= 0 || block <= 0) return;
    const std::int64_t full = size / block;
    const auto rest = static_cast<int>(size % block);
    Exchange(command(block), answer(block), full);
    if (rest > 0) Exchange(command(rest), answer(rest));
  }

  void Add(double seconds, LineBytes bytes) {
    step_.commands += 1;
    step_.bytes.toInstrument += bytes.toInstrument;
    step_.bytes.fromInstrument += bytes.fromInstrument;
    step_.seconds += seconds;
  }

  EstimatedStep Take() { return std::move(step_); }

 private:
  const LineCost& line_;
  EstimatedStep step_;
};

}  // namespace

double RunEstimate::Seconds() const {
  double seconds = 0;
  for (const EstimatedStep& step : steps) seconds += step.seconds;
  return seconds;
}

LineBytes RunEstimate::Bytes() const {
  LineBytes total;
  for (const EstimatedStep& step : steps) {
    total.toInstrument += step.bytes.toInstrument;
    total.fromInstrument += step.bytes.fromInstrument;
  }
  return total;
}

RunEstimate EstimateRun(const UploadPlan& plan, const RunChoices& choices,
                        std::int64_t transferSize, const std::vector<std::int64_t>& programSizes,
                        const LineCost& line) {
  RunEstimate estimate;
  estimate.baud = line.Baud();
  const std::int32_t readBlock = std::min(plan.maxProgLen, kMaxReadFrameBlock);
  const std::int32_t progBlock = std::min(plan.maxProgLen, kMaxProgFrameBlock);
  const auto readAnswer = [](int count) { return M::kReadAnswerHeader + count; };
  const auto readCommand = [](int) { return M::kRead; };
  const auto readRange = [&](StepBuilder& step, std::int64_t size) {
    step.Blocks(size, readBlock, readCommand, readAnswer);
  };

  StepBuilder transfer(line, "Open the port and start the transfer program " +
                                 plan.transfer.filename + " (" + SizeText(transferSize) + ")");
  transfer.Add(line.TransferSeconds(transferSize) + kOpenCloseSeconds,
               line.TransferBytes(transferSize));
  estimate.steps.push_back(transfer.Take());
  if (choices.transferOnly) return estimate;

  const RunOperation op = choices.operation;
  if (op == RunOperation::Update || op == RunOperation::Identify) {
    for (const PlanMemory& memory : plan.memories) {
      StepBuilder query(line, "Identify the memory at H" + HexText(memory.startAddress));
      query.Exchange(M::kQuery, M::kQueryAnswer);
      estimate.steps.push_back(query.Take());
    }
  }
  if (op == RunOperation::Update || op == RunOperation::Backup || op == RunOperation::Read) {
    for (const PlanDownload& download : plan.downloads) {
      StepBuilder read(line, "Read H" + HexText(download.startAddress) + " (" +
                                 SizeText(download.length) + ") into " + download.filename);
      readRange(read, download.length);
      estimate.steps.push_back(read.Take());
    }
  }
  if (op == RunOperation::Update) {
    StepBuilder erase(line, "Erase " + std::to_string(plan.erases.size()) +
                                (plan.erases.size() == 1 ? " range" : " ranges"));
    erase.Exchange(M::kPower, M::kPowerAnswer, 2);
    erase.Exchange(M::kErase, M::kEraseAnswer, static_cast<std::int64_t>(plan.erases.size()));
    estimate.erases = !plan.erases.empty();
    estimate.steps.push_back(erase.Take());
  }
  for (std::size_t i = 0; i < plan.programs.size(); ++i) {
    const PlanProgram& program = plan.programs[i];
    const std::int64_t size = i < programSizes.size() ? programSizes[i] : 0;
    if (op == RunOperation::Update) {
      StepBuilder write(line, "Program " + program.filename + " (" + SizeText(size) + ") at H" +
                                  HexText(program.loadAddress) +
                                  (choices.verify ? ", verify" : ""));
      write.Exchange(M::kPower, M::kPowerAnswer, 2);
      write.Blocks(
          size, progBlock, [](int count) { return M::kProgHeader + count; },
          [](int) { return M::kProgAnswer; });
      write.Exchange(M::kChecksum, M::kChecksumAnswer);
      if (choices.verify) readRange(write, size);
      estimate.steps.push_back(write.Take());
    } else if (op == RunOperation::VerifyOnly && program.readBack < 0) {
      StepBuilder verify(line, "Verify " + program.filename + " (" + SizeText(size) + ") at H" +
                                   HexText(program.loadAddress));
      readRange(verify, size);
      estimate.steps.push_back(verify.Take());
    }
  }
  if (ReadOnly(op) || !plan.continueFlag) {
    StepBuilder restart(line, "Restart the instrument");
    restart.Exchange(M::kProgEnd, M::kProgEndAnswer);
    estimate.steps.push_back(restart.Take());
  }
  return estimate;
}

}  // namespace pelvane::upload
