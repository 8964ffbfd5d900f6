#include "cli/progress_line.h"

#include <cmath>
#include <cstdio>
#include <ostream>

namespace pelvane::cli {

namespace {

constexpr std::chrono::milliseconds kRedraw{100};
constexpr std::chrono::seconds kLogEvery{10};

// "8.3 KiB/s", "950 B/s"
std::string RateText(double bytesPerSecond) {
  char text[32];
  if (bytesPerSecond >= 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / (1024 * 1024));
  else if (bytesPerSecond >= 1024)
    std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024);
  else
    std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
  return text;
}

// "0:12", "1:02:03"
std::string ClockText(double seconds) {
  const auto whole = static_cast<long long>(std::llround(std::max(0.0, seconds)));
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

}  // namespace

ProgressLine::ProgressLine(Outputs outputs, Clock clock)
    : outputs_(outputs), clock_(std::move(clock)) {}

std::string ProgressLine::Text(const upload::RunProgress& progress) {
  const auto percent = static_cast<int>(std::floor(progress.fraction * 100.0));
  std::string text = std::to_string(percent) + "%";
  if (!progress.step.empty()) text += " " + progress.step;
  // A rate over less than a fifth of a second says more about the clock.
  if (progress.stepBytes > 0 && progress.stepSeconds >= 0.2)
    text += ", " + RateText(static_cast<double>(progress.stepBytes) / progress.stepSeconds);
  if (progress.fraction < 1.0) text += ", " + ClockText(progress.secondsLeft) + " left";
  return text;
}

void ProgressLine::Update(const upload::RunProgress& progress) {
  const auto now = clock_();
  const bool end = progress.fraction >= 1.0;
  if (outputs_.terminal != nullptr && (!shown_ || end || now - lastDrawn_ >= kRedraw)) {
    const std::string text = Text(progress);
    std::ostream& out = *outputs_.terminal;
    if (outputs_.escapes) {
      out << "\r\033[K" << text;
    } else {
      // Blanks cover what a longer line before left.
      out << '\r' << text;
      if (text.size() < shownWidth_) out << std::string(shownWidth_ - text.size(), ' ');
    }
    out << std::flush;
    shown_ = true;
    shownWidth_ = text.size();
    lastDrawn_ = now;
  }
  if (outputs_.log != nullptr) {
    const int tenths = static_cast<int>(std::floor(progress.fraction * 10.0));
    if (!logStarted_) {
      logStarted_ = true;
      lastLogged_ = now;
      loggedTenths_ = tenths;
    } else if (tenths > loggedTenths_ || now - lastLogged_ >= kLogEvery) {
      *outputs_.log << "Progress " << Text(progress) << "\n" << std::flush;
      lastLogged_ = now;
      loggedTenths_ = tenths;
    }
  }
}

void ProgressLine::Clear() {
  if (!shown_ || outputs_.terminal == nullptr) return;
  std::ostream& out = *outputs_.terminal;
  if (outputs_.escapes)
    out << "\r\033[K";
  else
    out << '\r' << std::string(shownWidth_, ' ') << '\r';
  out << std::flush;
  shown_ = false;
  shownWidth_ = 0;
}

}  // namespace pelvane::cli
