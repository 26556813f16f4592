#include "verifier/cli/progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "verifier/base/escape.h"

namespace velm::verify::cli {

namespace {

// Draws the line for one log, and clears it when dropped.
class ProgressLine {
 public:
  explicit ProgressLine(const std::string& path) : path_(escape_text(path)), start_(std::chrono::steady_clock::now()) {}
  ~ProgressLine() {
    if (shown_) std::fputs("\r\x1b[K", stderr);
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void show(std::uint64_t lines, std::uint64_t bytes, std::optional<std::uint64_t> total) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(lines) / seconds : 0.0;
    constexpr double kMb = 1e6;
    if (total && *total > 0) {
      std::fprintf(stderr, "\rverifying %s: %.1f of %.1f MB (%.0f%%), %llu lines, %.0f lines/s\x1b[K", path_.c_str(),
                   static_cast<double>(bytes) / kMb, static_cast<double>(*total) / kMb,
                   100.0 * static_cast<double>(bytes) / static_cast<double>(*total),
                   static_cast<unsigned long long>(lines), rate);
    } else {
      std::fprintf(stderr, "\rverifying %s: %.1f MB, %llu lines, %.0f lines/s\x1b[K", path_.c_str(),
                   static_cast<double>(bytes) / kMb, static_cast<unsigned long long>(lines), rate);
    }
    std::fflush(stderr);
    shown_ = true;
  }

 private:
  std::string path_;
  std::chrono::steady_clock::time_point start_;
  bool shown_ = false;
};

}  // namespace

api::ProgressFor progress_on_terminal() {
  if (::isatty(STDERR_FILENO) != 1) return {};
  return [](const std::string& log) -> ProgressFn {
    auto line = std::make_shared<ProgressLine>(log);
    return [line](std::uint64_t lines, std::uint64_t bytes, std::optional<std::uint64_t> total) {
      line->show(lines, bytes, total);
    };
  };
}

}  // namespace velm::verify::cli
