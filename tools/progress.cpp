#include "progress.h"

#include <cstdio>
#include <mutex>

#include "../platform/win32.h"
#include "options.h"
#include "stall_guard.h"
#include "terminal.h"

namespace dravik_update {

namespace {
// The spinner thread and the main thread both write to the terminal.
std::mutex g_output_mutex;

// A terminal that does not say how wide it is is taken for the common 80 columns.
constexpr int kAssumedColumns = 80;
// The bar's width when there is room, and the least it is shortened to before the other fields are.
constexpr int kBarWidth = 30;
constexpr int kShortestBar = 10;
}  // namespace

DisplayMode ChooseDisplayMode(bool quiet, bool force_plain) {
  if (quiet) return DisplayMode::Quiet;
  if (force_plain) return DisplayMode::Lines;
  if (!StdoutIsTerminal()) return DisplayMode::Lines;
#ifdef _WIN32
  // A Windows console that takes no escape sequence gets plain lines, as it always has.
  if (!TerminalTakesEscapes()) return DisplayMode::Lines;
#endif
  return DisplayMode::Bar;
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

// Bytes per second, once the run has gone on long enough for it to mean something; else 0.
double RateOf(const ProgressSample& s) {
  if (s.seconds < kShortestRateWindowS || s.bytes_done == 0) return 0;
  return s.rate > 0 ? s.rate : static_cast<double>(s.bytes_done) / s.seconds;
}

std::string RateText(const ProgressSample& s) {
  const double rate = RateOf(s);
  return rate > 0 ? FormatBytes(static_cast<uint64_t>(rate)) + "/s" : "";
}

std::string TimeLeftText(const ProgressSample& s) {
  const double rate = RateOf(s);
  if (rate <= 0 || s.bytes_total <= s.bytes_done) return "";
  return FormatDuration(static_cast<double>(s.bytes_total - s.bytes_done) / rate) + " left";
}

std::string RateAndEta(const ProgressSample& s) {
  std::string out = RateText(s);
  const std::string left = TimeLeftText(s);
  if (!left.empty()) out += "  " + left;
  return out;
}

int ClampedPercent(const ProgressSample& s) { return s.percent < 0 ? 0 : (s.percent > 100 ? 100 : s.percent); }

// "[####......]  45%  LABEL  TAIL"; no bar at all for a width of 0, no field for an empty text.
std::string ComposeBar(int pct, int width, const std::string& label, const std::string& tail) {
  std::string out;
  if (width > 0) {
    const int filled = pct * width / 100;
    out = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
  }
  char head[16];
  std::snprintf(head, sizeof head, " %3d%%", pct);
  out += head;
  if (!label.empty()) out += "  " + label;
  if (!tail.empty()) out += "  " + tail;
  return out;
}

}  // namespace

std::string RenderBar(const ProgressSample& s, int width) {
  return ComposeBar(ClampedPercent(s), width, s.label, RateAndEta(s));
}

std::string RenderBarToFit(const ProgressSample& s, int columns) {
  // The last column stays free: a line that reaches it wraps on many terminals, and every redraw would
  // then leave a line behind.
  const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
  const int pct = ClampedPercent(s);
  const std::string tail = RateAndEta(s);
  // First the bar gives way, down to its shortest.
  for (int width = kBarWidth; width >= kShortestBar; --width) {
    std::string line = ComposeBar(pct, width, s.label, tail);
    if (line.size() <= room) return line;
  }
  // Then the file name in the label ("OS os.nb0"), then the time left and the rate, then the bar.
  const std::string area = s.label.substr(0, s.label.find(' '));
  const size_t fixed = ComposeBar(pct, kShortestBar, area, tail).size();
  if (s.label.size() > area.size() + 1 && fixed + 2 <= room) {
    return ComposeBar(pct, kShortestBar, CutToWidth(s.label, area.size() + (room - fixed)), tail);
  }
  for (const std::string& shorter : {RateText(s), std::string()}) {
    std::string line = ComposeBar(pct, kShortestBar, area, shorter);
    if (line.size() <= room) return line;
  }
  return CutToWidth(ComposeBar(pct, 0, area, ""), room);
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

ProgressDisplay::ProgressDisplay(DisplayMode mode)
    : mode_(mode), escapes_(mode == DisplayMode::Bar && TerminalTakesEscapes()) {}

void ProgressDisplay::CloseLine() {
  if (line_open_) {
    std::fputs("\n", stdout);
    line_open_ = false;
    drawn_length_ = 0;
  }
}

int ProgressDisplay::Columns() const {
  const int columns = TerminalColumns();
  return columns > 0 ? columns : kAssumedColumns;
}

void ProgressDisplay::Redraw(const std::string& text) {
  const int columns = Columns();
  const std::string line = CutToWidth(text, columns > 1 ? static_cast<size_t>(columns - 1) : 0);
  if (escapes_) {
    std::printf("\r%s\x1b[K", line.c_str());
  } else {
    // Without the escape that clears the rest of the line, spaces cover what the last drawing left.
    const size_t cover = drawn_length_ > line.size() ? drawn_length_ - line.size() : 0;
    std::printf("\r%s%s", line.c_str(), std::string(cover, ' ').c_str());
  }
  std::fflush(stdout);
  drawn_length_ = line.size();
  line_open_ = true;
}

void ProgressDisplay::ClearDrawnLine() {
  if (!line_open_) return;
  if (escapes_) {
    std::fputs("\r\x1b[K", stdout);
  } else {
    std::printf("\r%s\r", std::string(drawn_length_, ' ').c_str());
  }
  std::fflush(stdout);
  line_open_ = false;
  drawn_length_ = 0;
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
    Redraw(RenderBarToFit(s, Columns()));  // asked at every redraw: the terminal may have been resized
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
    display_.ClearDrawnLine();
  }
}

void ProgressDisplay::Waiting::Run() {
  static const char kSpinner[] = "|/-\\";
  WaitedSeconds waiting;  // a tool stopped with Ctrl-Z and resumed has not waited meanwhile
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
    const double waited = waiting.Tick();
    if (display_.mode_ == DisplayMode::Bar) {
      std::lock_guard<std::mutex> lock(g_output_mutex);
      // The text gives way to the seconds when the terminal is narrow.
      const std::string seconds = "  " + std::to_string(static_cast<int>(waited)) + "s";
      const int columns = display_.Columns();
      const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
      const size_t for_text = room > seconds.size() + 2 ? room - seconds.size() - 2 : 0;
      display_.Redraw(std::string(1, kSpinner[tick % 4]) + " " + CutToWidth(now, for_text) + seconds);
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
