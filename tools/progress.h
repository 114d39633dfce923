// What the user sees while the library works: a bar on a terminal, plain lines when standard output is a
// pipe or a file, nothing but the result with --quiet; and an indicator while a blocking export searches
// for the handheld.
#ifndef DRAVIK_TOOLS_PROGRESS_H
#define DRAVIK_TOOLS_PROGRESS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace dravik_update {

enum class DisplayMode { Bar, Lines, Quiet };

// Bar when standard output is a terminal, Lines otherwise, Quiet when asked.
DisplayMode ChooseDisplayMode(bool quiet, bool force_plain);

struct ProgressSample {
  int percent = 0;
  std::string label;        // the current feature's area ("OS"), or what is being read back
  uint64_t bytes_done = 0;  // estimated from the percent
  uint64_t bytes_total = 0;
  double seconds = 0;       // since the operation started
  double rate = 0;          // bytes per second lately; 0: the average over `seconds` is shown
};

// A rate (and the time left from it) is shown only once the run has gone on this long: over a shorter
// window it is noise.
constexpr double kShortestRateWindowS = 1.0;

// "[#####.....]  45%  OS  12.0 MiB/s  0:07 left" (terminal) or the plain line for the sample.
std::string RenderBar(const ProgressSample& s, int width);
// The bar's line for a terminal `columns` wide, at most `columns` - 1 long: the bar is shortened first,
// then the file name in the label, then the time left and the rate go.
std::string RenderBarToFit(const ProgressSample& s, int columns);
std::string RenderLine(const ProgressSample& s);
std::string FormatDuration(double seconds);  // "1:05", "0:00"

class ProgressDisplay {
 public:
  explicit ProgressDisplay(DisplayMode mode);
  DisplayMode Mode() const { return mode_; }

  // An information line (suppressed with --quiet).
  void Info(const std::string& line);
  // Something the user should act on though nothing failed (yet): an information line, which --quiet
  // does not hide but sends to standard error.
  void Warning(const std::string& line);
  // A result line: shown also with --quiet.
  void Result(const std::string& line);
  // A new progress figure; the bar is redrawn, a plain line is printed every 10 percent and when the
  // label changes.
  void Update(const ProgressSample& s);
  // Ends the progress of one operation (the bar's line is closed).
  void End();
  // Writes an error to standard error, after closing an open bar line.
  void Error(const std::string& line);

  // Shows `text()` while the calling thread is blocked in an export: a spinner with the seconds waited on
  // a terminal, one line per new text otherwise. When `timeout_s` is positive and `text()` returns
  // `timeout_text` once that many seconds have passed, `on_timeout` runs on the indicator's thread.
  // Once `text()` has returned `timeout_text` for `long_wait_ms` on the platform's clock, `on_long_wait`
  // runs there, once.
  class Waiting {
   public:
    Waiting(ProgressDisplay& display, std::function<std::string()> text, double timeout_s,
            std::string timeout_text, std::function<void()> on_timeout, uint32_t long_wait_ms = 0,
            std::function<void()> on_long_wait = nullptr);
    ~Waiting();
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

   private:
    void Run();
    ProgressDisplay& display_;
    std::function<std::string()> text_;
    double timeout_s_;
    std::string timeout_text_;
    std::function<void()> on_timeout_;
    uint32_t long_wait_ms_;
    std::function<void()> on_long_wait_;
    // The destructor wakes the thread at once: the export has returned and the run is under way.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
  };

 private:
  void CloseLine();
  // The terminal's width now.
  int Columns() const;
  // Draws `text` over the terminal's current line, cut to the terminal's width less one column.
  void Redraw(const std::string& text);
  // Blanks the line a bar or spinner occupies, leaving the cursor at its start.
  void ClearDrawnLine();
  DisplayMode mode_;
  bool escapes_ = true;     // the terminal clears a line's rest on "\x1b[K"; else spaces do
  bool line_open_ = false;  // a bar or spinner occupies the current terminal line
  size_t drawn_length_ = 0;  // of what it shows
  int last_printed_percent_ = -1;
  std::string last_label_;
};

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_PROGRESS_H
