// Runs the dravik-update program as a user would, with its own environment and working directory, and
// collects its exit code and output. Shared by the tool's end-to-end tests.
#ifndef DRAVIK_TESTS_END_TO_END_TOOL_RUNNER_H
#define DRAVIK_TESTS_END_TO_END_TOOL_RUNNER_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "file_modes.h"

namespace tool_test {

struct ToolRun {
  int exit_code = -1;  // -1: killed after the time limit
  std::string out;
  std::string err;
  std::string All() const { return out + err; }
};

// The program built next to this test (build/<tree>/tools/dravik-update), or $DRAVIK_UPDATE.
inline std::string ToolPath() {
  if (const char* env = std::getenv("DRAVIK_UPDATE")) return env;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (exe.parent_path() / ".." / ".." / "tools" / "dravik-update").lexically_normal().string();
}

// What a run watches for while the tool runs: called after every piece of output (and at least every
// `poll_ms` when that is not 0) with the output so far, the tool's process id, and a way to stop reading
// its standard output.
using RunWatcher = std::function<void(const ToolRun&, pid_t, const std::function<void()>& stop_reading_stdout)>;

// Runs the tool in `cwd` with the variables of `env` set (an empty value unsets the variable) and collects
// what it prints until it ends, or kills it after `time_limit_s`. A `file_size_limit` (bytes) is set as
// the tool's RLIMIT_FSIZE, as `ulimit -f` does. With `stdout_on_terminal` its standard output is a pty
// (the tool draws its progress bar there; the pty turns each line end into CR LF), its standard error a
// pipe as always. File modes bind the tool even when the tests run as root, as they bind a technician.
inline ToolRun RunToolWatched(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                              const std::string& cwd, int time_limit_s, uint64_t file_size_limit,
                              bool stdout_on_terminal, int poll_ms, const RunWatcher& watcher) {
  int out_pipe[2], err_pipe[2];
  ToolRun run;
  // Everything the child needs is built before the fork: the test process has threads (the handheld's).
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) {
    if (v.empty()) vars.erase(k);
    else vars[k] = v;
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : vars) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(&s[0]);
  envp.push_back(nullptr);
  std::string tool = ToolPath();
  std::vector<std::string> arg_strings = args;
  std::vector<char*> argv;
  argv.push_back(&tool[0]);
  for (std::string& a : arg_strings) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if (stdout_on_terminal) {
    // The master end is read as the pipe's read end would be; the slave end is the tool's output.
    if (openpty(&out_pipe[0], &out_pipe[1], nullptr, nullptr, nullptr) != 0) return run;
  } else if (pipe(out_pipe) != 0) {
    return run;
  }
  if (pipe(err_pipe) != 0) return run;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    testing_support::GiveUpFileModeOverrideForExec();
    if (file_size_limit != 0) {
      rlimit limit{static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
    }
    execve(tool.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(time_limit_s);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  bool killed = false;
  const std::function<void()> stop_reading_stdout = [&] {
    if (fds[0].fd < 0) return;
    close(fds[0].fd);
    fds[0].fd = -1;
    --open_fds;
  };
  while (open_fds > 0) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    const int ready = poll(fds, 2, poll_ms != 0 ? std::min(left, poll_ms) : left);
    for (int i = 0; ready > 0 && i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      } else {
        (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
      }
    }
    if (watcher) watcher(run, pid, stop_reading_stdout);
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_code = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return run;
}

// Runs the tool as RunToolWatched does. With `interrupt_on`, the tool gets `signal` (SIGINT: Ctrl-C) once
// its standard output shows that text; with signal 0 the test stops reading the tool's standard output
// there instead, as `| head` does. With `interrupt_when` as well, the signal waits until it returns true
// too (it is asked every 20 ms).
inline ToolRun RunTool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                       const std::string& cwd, int time_limit_s = 60, const std::string& interrupt_on = "",
                       int signal = SIGINT, uint64_t file_size_limit = 0,
                       const std::function<bool()>& interrupt_when = nullptr) {
  bool interrupted = false;
  auto watch = [&](const ToolRun& run, pid_t pid, const std::function<void()>& stop_reading_stdout) {
    if (interrupted || interrupt_on.empty() || run.out.find(interrupt_on) == std::string::npos) return;
    if (interrupt_when && !interrupt_when()) return;
    interrupted = true;
    if (signal != 0) {
      kill(pid, signal);
    } else {
      stop_reading_stdout();
    }
  };
  return RunToolWatched(args, env, cwd, time_limit_s, file_size_limit, false, interrupt_when ? 20 : 0, watch);
}

// A step of a scripted run (RunToolSteps): once `when` holds for what the tool has printed so far, `act`
// runs with the tool's process id: it sends a signal, changes the handheld's faults, ... The steps are
// taken in order, each once; `when` is asked every 20 ms.
struct ToolStep {
  std::function<bool(const ToolRun&)> when;
  std::function<void(pid_t)> act;
};

// Runs the tool as RunToolWatched does, taking `steps` on the way: a second Ctrl-C after the first one's
// answer, a fault that ends in the middle, ...
inline ToolRun RunToolSteps(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                            const std::string& cwd, int time_limit_s, const std::vector<ToolStep>& steps,
                            bool stdout_on_terminal = false) {
  size_t next = 0;
  auto watch = [&](const ToolRun& run, pid_t pid, const std::function<void()>&) {
    while (next < steps.size() && steps[next].when(run)) steps[next++].act(pid);
  };
  return RunToolWatched(args, env, cwd, time_limit_s, 0, stdout_on_terminal, 20, watch);
}

}  // namespace tool_test

#endif  // DRAVIK_TESTS_END_TO_END_TOOL_RUNNER_H
