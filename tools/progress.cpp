#include "progress.h"

#include <cstdio>
#include <mutex>

#include "../platform/win32.h"
#include "options.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define DRAVIK_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define DRAVIK_ISATTY(fd) isatty(fd)
#endif

namespace dravik_update {

namespace {
// The spinner thread and the main thread both write to the terminal.
std::mutex g_output_mutex;

// The bar redraws its line with an escape sequence, which a Windows console obeys only once asked to (and
// a console older than Windows 10 never does): without that it gets plain lines.
bool TerminalTakesEscapes() {
#ifdef _WIN32
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  const DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return (mode & kVirtualTerminal) != 0 || SetConsoleMode(out, mode | kVirtualTerminal) != 0;
#else
  return true;
#endif
}
}  // namespace

DisplayMode ChooseDisplayMode(bool quiet, bool force_plain) {
  if (quiet) return DisplayMode::Quiet;
  if (force_plain) return DisplayMode::Lines;
  return DRAVIK_ISATTY(1) && TerminalTakesEscapes() ? DisplayMode::Bar : DisplayMode::Lines;
}

std::string FormatDuration(double seconds) {
  if (seconds < 0) seconds = 0;
  auto total = static_cast<long long>(seconds + 0.5);
  char buf[32];
  if (total >= 3600) {
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", total / 3600, (total / 60) % 60, total % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%lld:%02lld", total / 60, total % 60);
  }
  return buf;
}

namespace {

std::string RateAndEta(const ProgressSample& s) {
  if (s.seconds < kShortestRateWindowS || s.bytes_done == 0) return "";
  double rate = s.rate > 0 ? s.rate : static_cast<double>(s.bytes_done) / s.seconds;
  std::string out = FormatBytes(static_cast<uint64_t>(rate)) + "/s";
  if (s.bytes_total > s.bytes_done && rate > 0) {
    out += "  " + FormatDuration(static_cast<double>(s.bytes_total - s.bytes_done) / rate) + " left";
  }
  return out;
}

}  // namespace

std::string RenderBar(const ProgressSample& s, int width) {
  int pct = s.percent < 0 ? 0 : (s.percent > 100 ? 100 : s.percent);
  int filled = pct * width / 100;
  std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
  char head[32];
  std::snprintf(head, sizeof head, " %3d%%  ", pct);
  std::string out = bar + head + s.label;
  std::string tail = RateAndEta(s);
  if (!tail.empty()) out += "  " + tail;
  return out;
}

std::string RenderLine(const ProgressSample& s) {
  char head[32];
  std::snprintf(head, sizeof head, "progress %3d%%  ", s.percent);
  std::string out = head + s.label;
  if (s.bytes_total > 0) out += "  " + FormatBytes(s.bytes_done) + " of " + FormatBytes(s.bytes_total);
  std::string tail = RateAndEta(s);
  if (!tail.empty()) out += "  " + tail;
  return out;
}

void ProgressDisplay::CloseLine() {
  if (line_open_) {
    std::fputs("\n", stdout);
    line_open_ = false;
  }
}

void ProgressDisplay::Info(const std::string& line) {
  if (mode_ == DisplayMode::Quiet) return;
  std::lock_guard<std::mutex> lock(g_output_mutex);
  CloseLine();
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void ProgressDisplay::Warning(const std::string& line) {
  if (mode_ != DisplayMode::Quiet) return Info(line);
  Error(line);
}

void ProgressDisplay::Result(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_output_mutex);
  CloseLine();
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void ProgressDisplay::Error(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_output_mutex);
  CloseLine();
  std::fflush(stdout);
  std::fprintf(stderr, "dravik-update: %s\n", line.c_str());
  std::fflush(stderr);
}

void ProgressDisplay::Update(const ProgressSample& s) {
  std::lock_guard<std::mutex> lock(g_output_mutex);
  if (mode_ == DisplayMode::Quiet) return;
  if (mode_ == DisplayMode::Bar) {
    std::printf("\r%s\x1b[K", RenderBar(s, 30).c_str());
    line_open_ = true;
    std::fflush(stdout);
    return;
  }
  if (s.label != last_label_ || s.percent / 10 != last_printed_percent_ / 10 || last_printed_percent_ < 0) {
    std::printf("%s\n", RenderLine(s).c_str());
    std::fflush(stdout);
    last_printed_percent_ = s.percent;
    last_label_ = s.label;
  }
}

void ProgressDisplay::End() {
  std::lock_guard<std::mutex> lock(g_output_mutex);
  CloseLine();
  last_printed_percent_ = -1;
  last_label_.clear();
}

ProgressDisplay::Waiting::Waiting(ProgressDisplay& display, std::function<std::string()> text, double timeout_s,
                                  std::string timeout_text, std::function<void()> on_timeout,
                                  uint32_t long_wait_ms, std::function<void()> on_long_wait)
    : display_(display),
      text_(std::move(text)),
      timeout_s_(timeout_s),
      timeout_text_(std::move(timeout_text)),
      on_timeout_(std::move(on_timeout)),
      long_wait_ms_(long_wait_ms),
      on_long_wait_(std::move(on_long_wait)) {
  thread_ = std::thread([this] { Run(); });
}

ProgressDisplay::Waiting::~Waiting() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
  if (display_.mode_ == DisplayMode::Bar) {
    std::lock_guard<std::mutex> lock(g_output_mutex);
    if (display_.line_open_) {
      std::fputs("\r\x1b[K", stdout);
      std::fflush(stdout);
      display_.line_open_ = false;
    }
  }
}

void ProgressDisplay::Waiting::Run() {
  static const char kSpinner[] = "|/-\\";
  const auto start = std::chrono::steady_clock::now();
  std::string shown;
  bool timed_out = false;
  // Since when `timeout_text` has been shown, on the platform's clock (as the library's own bounds).
  bool long_wait_seen = false;
  DWORD waiting_since = 0;
  for (unsigned tick = 0;; ++tick) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    std::string now = text_();
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (display_.mode_ == DisplayMode::Bar) {
      std::lock_guard<std::mutex> lock(g_output_mutex);
      std::printf("\r%c %s  %ds\x1b[K", kSpinner[tick % 4], now.c_str(), static_cast<int>(waited));
      std::fflush(stdout);
      display_.line_open_ = true;
    } else if (display_.mode_ == DisplayMode::Lines && now != shown) {
      std::lock_guard<std::mutex> lock(g_output_mutex);
      std::printf("%s\n", now.c_str());
      std::fflush(stdout);
    }
    if (now == timeout_text_ && shown != timeout_text_) waiting_since = GetTickCount();
    shown = now;
    if (!long_wait_seen && on_long_wait_ && now == timeout_text_ && GetTickCount() - waiting_since >= long_wait_ms_) {
      long_wait_seen = true;
      on_long_wait_();
    }
    if (!timed_out && timeout_s_ > 0 && waited >= timeout_s_ && now == timeout_text_ && on_timeout_) {
      timed_out = true;
      on_timeout_();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; })) return;
  }
}

}  // namespace dravik_update
