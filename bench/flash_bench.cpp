// Throughput of the whole host stack (exports -> flash worker -> packet link -> tty or socket -> virtual
// handheld) against the ceiling of the same transport, measured in the same run: a minimal stop-and-wait
// loop of 1520-byte frames and 4-byte acknowledgements over a pty and a Unix socket pair. Also the backup
// read-back, the cost of g_DebugON's per-packet log lines, the peak resident memory while a 64 MiB image
// is flashed (in a child process of its own), and the fixed pauses of a run on the real clock.
//
//   dravik_bench [--mib N] [--reps N] [--memory-mib N] [--skip-pauses] [--placement one|two|both | --no-pin]
//                [--normal-sched] [--only pty|socket|backup]
//
// --only runs that one throughput case and nothing else (for a profiler). --placement says where the two
// ends of every loop run: both on one CPU, or the device end on a second CPU, as a real handheld has a
// processor of its own (both, by default, one after the other).
//
// Not a test: it prints figures, and exits 1 only when a run fails outright.
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/dravik.h"
#include "driver/state.h"
#include "handheld/protocol.h"
#include "handheld/virtual_handheld.h"
#include "platform/posix/clock.h"
#include "platform/posix/host_profile.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kFrame = 1520;
constexpr size_t kAck = 4;
constexpr double kMiB = 1024.0 * 1024.0;

// The CPU of the device end of every loop (the ceiling's peer thread, the virtual handheld's threads) in
// the current placement; the host ends stay on the CPU the benchmark started on. -1: not pinned.
int g_device_cpu = -1;

bool PinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

double Seconds(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

double Now() { return Seconds(std::chrono::steady_clock::now()); }

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// ---- The ceiling: the transport with nothing but frames and acknowledgements on it ----

struct Pair {
  int host = -1;
  int device = -1;
  ~Pair() {
    if (host >= 0) ::close(host);
    if (device >= 0) ::close(device);
  }
};

// A pty set up as the virtual handheld sets up its own: the device holds the master, the host the raw slave.
bool MakePty(Pair* p) {
  p->device = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (p->device < 0 || ::grantpt(p->device) != 0 || ::unlockpt(p->device) != 0) return false;
  p->host = ::open(::ptsname(p->device), O_RDWR | O_NOCTTY);
  if (p->host < 0) return false;
  for (int fd : {p->host, p->device}) {
    termios t;
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
  }
  return true;
}

bool MakeSocket(Pair* p) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  p->host = fds[0];
  p->device = fds[1];
  return true;
}

// The device end of the ceiling's loops: one thread that lives as long as a placement, pinned where the
// virtual handheld's serving threads are and started when they are, so that the ceiling's device end
// differs from the handheld's in the work it does and in nothing else (the handheld's serving thread is
// never new; see CeilingSeconds for why the age of a thread counts).
class PeerThread {
 public:
  explicit PeerThread(int cpu) : thread_([this, cpu] { Loop(cpu); }) {}
  ~PeerThread() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Start(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mu_);
    job_ = std::move(job);
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !job_; });
  }

 private:
  void Loop(int cpu) {
    if (cpu >= 0) PinTo(cpu);
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || job_; });
      if (stop_) return;
      std::function<void()> job = job_;
      lock.unlock();
      job();
      lock.lock();
      job_ = nullptr;
      cv_.notify_all();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::function<void()> job_;
  bool stop_ = false;
  std::thread thread_;  // last: starts after the members it uses
};

// Host to device (flashing) or device to host (backup), `frames` frames each answered by an ack. The
// receiving end runs on `peer`, or on a thread made for the run when it is null; the sending end on a
// thread made for the run when `sender_new` says so, on the calling thread otherwise. Each end is
// given a thread of the age of the stack's thread at that end: over a pty on one CPU a loop's speed
// depends on how old its threads are (up to 15 %, at either end), not only on what they do. The
// library's worker, the stack's host end, is a thread made for each run; the virtual handheld's serving
// thread, its device end, lives as long as the placement. With store_path, the receiving end also
// keeps what it receives: it gathers the frames into pieces of the handheld's size and writes them over
// the file at store_path, as the virtual handheld writes an image over its staging file. That loop is the
// least any device end that keeps the image costs on this CPU.
double CeilingSeconds(PeerThread* peer, bool sender_new, bool pty, bool host_sends, size_t frames,
                      const std::string& store_path = "") {
  Pair p;
  if (!(pty ? MakePty(&p) : MakeSocket(&p))) return -1;
  int sender = host_sends ? p.host : p.device;
  int receiver = host_sends ? p.device : p.host;
  int store = store_path.empty() ? -1 : ::open(store_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (!store_path.empty() && store < 0) return -1;
  bool stored = true;
  // The peer is the device end when the host sends, the host end otherwise: either way the other CPU.
  auto peer_end = [&] {
    std::vector<uint8_t> piece(handheld::kPieceBytes + kFrame);
    size_t used = 0;
    uint8_t ack[kAck] = {0};
    for (size_t i = 0; i < frames; ++i) {
      if (!ReadAll(receiver, piece.data() + used, kFrame) || !WriteAll(receiver, ack, kAck)) return;
      if (store < 0) continue;
      used += kFrame;
      if (used >= handheld::kPieceBytes || i + 1 == frames) {
        stored = stored && ::write(store, piece.data(), used) == static_cast<ssize_t>(used);
        used = 0;
      }
    }
  };
  std::thread fresh;
  if (peer) {
    peer->Start(peer_end);
  } else {
    fresh = std::thread([&] {
      if (g_device_cpu >= 0) PinTo(g_device_cpu);
      peer_end();
    });
  }
  bool ok = true;
  double t = 0;
  auto sender_end = [&] {
    std::vector<uint8_t> frame(kFrame, 0x5A);
    uint8_t ack[kAck];
    double t0 = Now();
    for (size_t i = 0; i < frames && ok; ++i) {
      ok = WriteAll(sender, frame.data(), kFrame) && ReadAll(sender, ack, kAck);
    }
    t = Now() - t0;
  };
  if (sender_new) {
    std::thread(sender_end).join();  // inherits the calling thread's CPU and policy
  } else {
    sender_end();
  }
  if (!ok) {
    // The peer may be blocked waiting for a frame that never comes: closing ends its read.
    ::close(sender);
    (sender == p.host ? p.host : p.device) = -1;
  }
  if (peer) {
    peer->Wait();
  } else {
    fresh.join();
  }
  if (store >= 0) ::close(store);
  return ok && stored ? t : -1;
}

// ---- A minimal host against the virtual handheld: what the device end costs ----

// Opens the handheld's pty (raw, a read returns what has come) or connects to its socket; -1 on failure.
int OpenRawHost(bool pty, const std::string& path) {
  int fd = -1;
  if (pty) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
      termios t;
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      t.c_cc[VMIN] = 1;
      t.c_cc[VTIME] = 0;
      ::tcsetattr(fd, TCSANOW, &t);
    }
  } else {
    fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  return fd;
}

// Flashes `image` with feature id 3 by hand (command, data packets, completion) over the handheld's pty
// or socket, each frame followed by its acknowledgement; the seconds from the command to the completion,
// or -1. The data frames are the image's own bytes, taken in turn from memory as the library's worker
// takes them: a loop that sent one frame again and again would read it from the processor's cache, and
// the stack would seem to cost what reading an image of many megabytes costs any host.
double RawHostSeconds(bool pty, const std::string& path, const std::vector<uint8_t>& image) {
  const size_t payload = image.size();
  const int fd = OpenRawHost(pty, path);
  if (fd < 0) return -1;
  std::vector<uint8_t> frame(kFrame, 0);
  uint8_t ack[kAck];
  std::memcpy(frame.data(), "FF112246", 8);
  for (int i = 0; i < 4; ++i) frame[8 + i] = static_cast<uint8_t>(payload >> (8 * i));
  double t0 = Now();
  bool ok = WriteAll(fd, frame.data(), kFrame) && ReadAll(fd, ack, kAck);
  for (size_t sent = 0; ok && sent <= payload; sent += kFrame) {
    const uint8_t* data = image.data() + sent;
    if (payload - sent < kFrame) {
      // The tail frame: what is left of the image, zeros after it.
      std::fill(frame.begin(), frame.end(), 0);
      std::memcpy(frame.data(), image.data() + sent, payload - sent);
      data = frame.data();
    }
    ok = WriteAll(fd, data, kFrame) && ReadAll(fd, ack, kAck);
  }
  ok = ok && ReadAll(fd, frame.data(), kFrame) && std::memcmp(frame.data(), "FF112248", 8) == 0;
  std::memset(ack, 0, sizeof ack);
  ok = ok && WriteAll(fd, ack, kAck);
  double t = Now() - t0;
  ::close(fd);
  return ok ? t : -1;
}

// Reads the OS partition back by hand (backup type 2: command, completion, data packets) over the
// handheld's pty, acknowledging each frame as it is read and keeping nothing, as the reverse loop's host
// end; the seconds from the command to the last acknowledgement, or -1. The stack's window is the same:
// the handheld's receipt of the command to its receipt of the last acknowledgement.
double RawBackupSeconds(const std::string& path) {
  const int fd = OpenRawHost(true, path);
  if (fd < 0) return -1;
  std::vector<uint8_t> frame(kFrame, 0);
  const uint8_t ack[kAck] = {0, 0, 0, 0};
  uint8_t got[kAck];
  std::memcpy(frame.data(), "FF112259", 8);
  double t0 = Now();
  bool ok = WriteAll(fd, frame.data(), kFrame) && ReadAll(fd, got, kAck);
  ok = ok && ReadAll(fd, frame.data(), kFrame) && std::memcmp(frame.data(), "FF112254", 8) == 0 &&
       WriteAll(fd, ack, kAck);
  const size_t size = handheld::GetLe32(&frame[8]);  // the OS partition's stored length
  for (size_t read = 0; ok && read < size; read += kFrame) {
    ok = ReadAll(fd, frame.data(), kFrame) && WriteAll(fd, ack, kAck);
  }
  double t = Now() - t0;
  ::close(fd);
  return ok ? t : -1;
}

// ---- The whole stack ----

struct StackTimes {
  bool ok = false;
  double open_s = 0;    // Client_StartFlash / Client_BackUp: device search and link opening
  double stream_s = 0;  // the handheld's receipt of the command to the acknowledgement of its last frame
  double tail_s = 0;    // that acknowledgement to the worker's end: the pause after the last job
};

const char kInterfacePath[] = "\\\\?\\usb#vid_0e1f&pid_4505#bench#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";

void UseHost(bool vista, const std::string& opens, const std::string& windows_dir) {
  w32sim::HostProfile profile;
  profile.major_version = vista ? 6 : 5;
  profile.minor_version = vista ? 0 : 1;
  profile.windows_directory = windows_dir;
  w32sim::DeviceInterface itf;
  itf.path = kInterfacePath;
  itf.opens = opens;
  itf.winusb = vista;
  profile.interfaces = {itf};
  w32sim::SetHostProfile(profile);
}

handheld::VirtualHandheld* g_device = nullptr;

// The streaming window, from the handheld's own record: from its receipt of the exchange's first frame
// (the flash or backup command, after the link opening and the transport's set-up) to the host's
// acknowledgement of the last frame it sent (the completion packet of a flash, the last data frame of a
// backup). No thread of the benchmark polls while the stack runs: it waits for the library's thread to
// end. (Polling the progress once a millisecond took 5 - 10 % of the stack's figure: each wake-up of the
// poller lands on the CPU of one end of the ping-pong.) Zero without a handheld in this process.
double StreamSeconds() {
  if (g_device == nullptr) return 0;
  const auto first = g_device->FirstFrameReceivedAt(), last = g_device->LastAckReceivedAt();
  return last > first ? Seconds(last) - Seconds(first) : 0;
}

// After the library's thread has ended: the run reported 100 and did not end incomplete.
bool ReachedTheEnd() {
  return FlashState.nProgress.load() >= 100 && FlashState.nRunOutcome.load() != kRunIncomplete;
}

StackTimes StackFlash(const std::string& image) {
  StackTimes t;
  if (g_device != nullptr) g_device->ClearRecord();
  ClientResult r{};
  Client_QueueJob(3, image.c_str(), 0, &r);
  double t_call = Now();
  Client_StartFlash(&r);
  double t_open = Now();
  if (r.dwStatus != CLIENT_STATUS_OK) return t;
  if (FlashState.hWorker != nullptr) WaitForSingleObject(FlashState.hWorker, INFINITE);
  double t_end = Now();
  t.ok = ReachedTheEnd();
  Client_Progress(&r);
  Client_Shutdown();
  t.open_s = t_open - t_call;
  t.stream_s = StreamSeconds();
  // The worker's pause after the job follows the completion's acknowledgement.
  if (g_device != nullptr) t.tail_s = t_end - Seconds(g_device->LastAckReceivedAt());
  return t;
}

StackTimes StackBackup(const std::string& out) {
  StackTimes t;
  if (g_device != nullptr) g_device->ClearRecord();
  ClientResult r{};
  double t_call = Now();
  Client_BackUp(2, out.c_str(), &r);
  double t_open = Now();
  if (FlashState.hBackupThread != nullptr) WaitForSingleObject(FlashState.hBackupThread, INFINITE);
  t.ok = ReachedTheEnd();
  CloseComPort();
  t.open_s = t_open - t_call;
  t.stream_s = StreamSeconds();
  return t;
}

// Writes an image of `bytes` pseudo-random bytes to `path` and returns them.
std::vector<uint8_t> WriteImage(const std::string& path, size_t bytes) {
  std::vector<uint8_t> data(bytes);
  uint32_t x = 12345;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  return data;
}

long StatusKiB(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.compare(0, std::strlen(key), key) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}

// The CPUs the kernel's unbound workqueues may use, as the kernel lists them (a pty moves its buffers
// to the reading side in such work, so its figures depend on where that runs).
std::string UnboundWorkCpus() {
  std::ifstream f("/sys/devices/virtual/workqueue/cpumask");
  std::string mask;
  if (!std::getline(f, mask) || mask.empty()) return "(unknown)";
  return "mask " + mask + " (hexadecimal)";
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The memory child: a fresh process that flashes one image through the pty it is given and reports its
// resident memory before and after.
int MemoryChild(const std::string& pty, const std::string& image, const std::string& windows_dir) {
  w32sim::SetClockScale(100);
  // The handheld runs in the parent: g_device stays null here and only the memory figures count.
  UseHost(false, pty, windows_dir);
  long baseline = StatusKiB("VmHWM:");
  StackTimes t = StackFlash(image);
  long peak = StatusKiB("VmHWM:");
  std::printf("%ld %ld %d\n", baseline, peak, t.ok ? 1 : 0);
  return t.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = 16;
  int reps = 9;
  size_t memory_mib = 64;
  bool pauses = true;
  bool pin = true;
  std::string placement = "both";
  bool batch = true;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--memory-child" && i + 3 < argc) return MemoryChild(argv[i + 1], argv[i + 2], argv[i + 3]);
    if (a == "--mib" && i + 1 < argc) mib = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "--reps" && i + 1 < argc) reps = std::atoi(argv[++i]);
    else if (a == "--memory-mib" && i + 1 < argc) memory_mib = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "--skip-pauses") pauses = false;
    else if (a == "--no-pin") pin = false;
    else if (a == "--placement" && i + 1 < argc) placement = argv[++i];
    else if (a == "--normal-sched") batch = false;
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else {
      std::fprintf(stderr,
                   "usage: dravik_bench [--mib N] [--reps N] [--memory-mib N] [--skip-pauses]\n"
                   "                    [--placement one|two|both | --no-pin]\n"
                   "                    [--normal-sched] [--only pty|socket|backup]\n");
      return 2;
    }
  }

  // A ping-pong of small frames is at the mercy of the scheduler; ahead of other work on a shared
  // machine the figures are steadier (allowed for root; otherwise the normal priority stays).
  bool raised = ::setpriority(PRIO_PROCESS, 0, -10) == 0;
  // Every ping-pong, the ceiling's and the stack's, runs with one fixed placement of its ends: across
  // two CPUs a loop whose threads float runs at either of two speeds, by where the wake-ups land. Two
  // placements: both ends on one CPU (the device end's work then takes the host's CPU, and every
  // wake-up stays on it), and the device ends on a second CPU, as on a real handheld, whose work never
  // takes the host's CPU (the wake-ups then cross CPUs, which costs the ceiling as much as the stack).
  struct Placement {
    const char* label;
    int device_cpu;  // -1: not pinned
  };
  const int host_cpu = ::sched_getcpu() < 0 ? 0 : ::sched_getcpu();
  int second_cpu = -1;
  {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
      for (int cpu = 0; cpu < CPU_SETSIZE && second_cpu < 0; ++cpu) {
        if (cpu != host_cpu && CPU_ISSET(cpu, &allowed)) second_cpu = cpu;
      }
    }
  }
  if (placement != "one" && placement != "two" && placement != "both") {
    std::fprintf(stderr, "dravik_bench: --placement is one, two or both\n");
    return 2;
  }
  std::vector<Placement> placements;
  if (pin && PinTo(host_cpu)) {
    if (placement != "two") placements.push_back({"1 CPU", host_cpu});
    if (placement != "one" && second_cpu >= 0) placements.push_back({"2 CPUs", second_cpu});
    if (placement != "one" && second_cpu < 0) std::fprintf(stderr, "dravik_bench: only one CPU; no two-CPU figures\n");
    if (placements.empty()) placements.push_back({"1 CPU", host_cpu});
  } else {
    placements.push_back({"any", -1});
  }
  // On one CPU, whether a thread woken by a frame or an acknowledgement preempts the thread that woke it
  // depends on how much the two have run lately: a loop whose ends do a little more work per frame can
  // tip into more switches per frame, and a switch costs more than that work. Under SCHED_BATCH a
  // wake-up never preempts, so every loop, ceiling and stack alike, switches exactly twice per frame
  // (any user may choose it; the threads made later, the handheld's and the library's, inherit it).
  // --normal-sched leaves the default policy.
  bool batched = false;
  if (batch) {
    sched_param param{};
    batched = ::sched_setscheduler(0, SCHED_BATCH, &param) == 0;
  }

  std::error_code ec;
  fs::path work = fs::temp_directory_path() / ("dravik-bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "windows");
  fs::current_path(work);  // the library's logfile.txt goes here
  const std::string windows_dir = (work / "windows").string();
  const size_t payload = mib << 20;
  // One frame per 1520 payload bytes plus the tail frame: the ceiling moves the same frames.
  const size_t frames = payload / kFrame + 1;
  const std::string image = (work / "os.nb0").string();
  const std::string store = (work / "storing-peer.bin").string();  // what the storing loop keeps
  const std::vector<uint8_t> image_bytes = WriteImage(image, payload);  // what the minimal host sends

  handheld::VirtualHandheld device((work / "handheld").string());
  g_device = &device;
  // The wire record is the tests' window on the link, not part of the road to the device, and the
  // ceiling keeps nothing: recording every byte of 16 MiB per run (a second copy of the image) would
  // load the stack with work the ceiling does not do. The record keeps each frame's code and sizes.
  device.SetRecordWholeFrames(false);
  // (Re)starts the handheld's transports in a placement: its serving threads take the placement of the
  // thread that starts them.
  std::string pty, sock;
  std::unique_ptr<PeerThread> peer;  // the ceiling's device end, started with the handheld's
  auto serve_in = [&](const Placement& where) {
    g_device_cpu = where.device_cpu;
    peer = std::make_unique<PeerThread>(g_device_cpu);
    if (g_device_cpu >= 0) PinTo(g_device_cpu);
    pty = device.StartPty();
    sock = device.StartSocket((work / "handheld.sock").string());
    if (g_device_cpu >= 0) PinTo(host_cpu);
    if (pty.empty() || sock.empty()) {
      std::fprintf(stderr, "dravik_bench: the virtual handheld could not serve a pty and a socket\n");
      return false;
    }
    return true;
  };
  // The prescribed pauses (1000 ms after each job, 1.5 s device polls) are shortened here; they do not
  // fall into the streaming window, and they are measured on the real clock below.
  w32sim::SetClockScale(100);
  g_RTimeout = g_WTimeout = 0;
  g_DebugON = 0;

  std::printf("Dravik throughput benchmark: %zu MiB payload (%zu frames of 1520 bytes), %d repetitions%s%s\n", mib,
              frames, reps, raised ? ", raised priority" : "", batched ? ", SCHED_BATCH" : "");
  std::printf("cpus: 1 CPU = both ends of every loop on CPU %d; 2 CPUs = host ends on CPU %d, device ends on CPU %d;\n"
              "any = not pinned. The kernel's unbound work (a pty's buffers among it) runs on the CPUs of %s.\n",
              host_cpu, host_cpu, second_cpu, UnboundWorkCpus().c_str());
  std::printf("MiB/s of payload; ceiling: minimal loop at both ends, its host end a thread made for the run (as\n"
              "the library's worker is), its device end a thread that lives as long as the handheld's serving\n"
              "threads; main: the same loop, its host end the benchmark's own thread (the ceiling until 2026-12-09);\n"
              "storing: the ceiling's loop whose receiving end writes what it receives to a file; raw host: minimal\n"
              "host loop (a thread made for the run, sending the image from memory) against the virtual handheld;\n"
              "stack: the exports against the virtual handheld. ratio = stack / ceiling (target >= 0.97); main r =\n"
              "stack / main; keeping = storing / ceiling; host = stack / raw host; median = median of stack / ceiling\n"
              "over neighbouring runs, host med the same for stack / raw host. The backup's ceiling has the same\n"
              "ends: host end made for the run; its storing loop's host end writes what it reads to a file, its raw\n"
              "host reads the partition back and keeps nothing.\n");
  std::printf("%-7s %-8s %-7s %-7s %9s %9s %9s %9s %9s %8s %8s %8s %8s %9s %9s\n", "link", "class", "dir", "cpus",
              "ceiling", "main", "storing", "raw host", "stack", "ratio", "main r", "keeping", "host", "median",
              "host med");
  bool all_ok = true;
  // The machine is shared, so every figure is taken several times, ceiling and stack alternately; the
  // best of each is the figure least disturbed by other work, and their ratio the one reported. The
  // median of the ratios of neighbouring pairs is printed beside it.
  auto best = [](const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); };
  const char* cpus = "";
  auto report = [&](const char* link, const char* cls, const char* dir, const std::vector<double>& ceiling,
                    const std::vector<double>& main_thread, const std::vector<double>& storing,
                    const std::vector<double>& raw, const std::vector<double>& stack) {
    std::vector<double> ratios, host_ratios;
    for (size_t i = 0; i < ceiling.size() && i < stack.size(); ++i) ratios.push_back(stack[i] / ceiling[i]);
    for (size_t i = 0; i < raw.size() && i < stack.size(); ++i) host_ratios.push_back(stack[i] / raw[i]);
    double c = best(ceiling), m = best(main_thread), k = best(storing), r = best(raw), st = best(stack);
    std::printf("%-7s %-8s %-7s %-7s %9.2f %9.2f %9.2f %9.2f %9.2f %8.3f %8.3f %8.3f %8.3f %9.3f %9.3f\n", link, cls,
                dir, cpus, c, m, k, r, st, c > 0 ? st / c : 0.0, m > 0 ? st / m : 0.0, c > 0 ? k / c : 0.0,
                r > 0 ? st / r : 0.0, Median(ratios), Median(host_ratios));
  };

  for (const Placement& where : placements) {
    if (!serve_in(where)) return 1;
    cpus = where.label;
    struct Case {
      const char* link;
      const char* cls;
      bool vista;
      std::string opens;
      bool pty;
    } cases[] = {{"pty", "XP plus", false, pty, true}, {"socket", "Vista", true, "socket:" + sock, false}};
    for (const Case& c : cases) {
      if (!only.empty() && only != c.link) continue;
      std::vector<double> ceiling, main_thread, storing, raw, stack;
      UseHost(c.vista, c.opens, windows_dir);
      for (int r = 0; r < reps; ++r) {
        double tk = CeilingSeconds(peer.get(), true, c.pty, true, frames, store);
        if (tk > 0) storing.push_back(payload / kMiB / tk);
        double tm = CeilingSeconds(peer.get(), false, c.pty, true, frames);
        if (tm > 0) main_thread.push_back(payload / kMiB / tm);
        // The handheld's wire record grows with every frame; each run starts it empty.
        device.ClearRecord();
        double tr = 0;  // the minimal host in a thread made for the run, as the library's worker
        std::thread([&] { tr = RawHostSeconds(c.pty, c.pty ? pty : sock, image_bytes); }).join();
        if (tr > 0) raw.push_back(payload / kMiB / tr);
        double tc = 0;
        StackTimes ts;
        device.ClearRecord();
        if (r % 2 == 0) {
          tc = CeilingSeconds(peer.get(), true, c.pty, true, frames);
          ts = StackFlash(image);
        } else {
          ts = StackFlash(image);
          tc = CeilingSeconds(peer.get(), true, c.pty, true, frames);
        }
        if (tc <= 0 || !ts.ok || ts.stream_s <= 0) {
          std::fprintf(stderr, "dravik_bench: %s run %d failed\n", c.link, r);
          all_ok = false;
          continue;
        }
        ceiling.push_back(payload / kMiB / tc);
        stack.push_back(payload / kMiB / ts.stream_s);
      }
      report(c.link, c.cls, "flash", ceiling, main_thread, storing, raw, stack);
    }

    // Backup read-back of the OS partition over the pty: device-to-host frames, host acknowledgements.
    if (only.empty() || only == "backup") {
      std::vector<uint8_t> data(payload);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
      device.GetStorage().Write(handheld::Area::OS, data.data(), data.size());
      UseHost(false, pty, windows_dir);
      std::vector<double> ceiling, storing, raw, stack;
      for (int r = 0; r < reps; ++r) {
        // The reverse loop whose host end keeps what it reads, as a read-back keeps its backup file.
        double tk = CeilingSeconds(nullptr, false, true, false, frames, store);
        if (tk > 0) storing.push_back(payload / kMiB / tk);
        device.ClearRecord();
        double tr = 0;  // the minimal host in a thread made for the run, as the library's worker
        std::thread([&] { tr = RawBackupSeconds(pty); }).join();
        if (tr > 0) raw.push_back(payload / kMiB / tr);
        double tc = 0;
        StackTimes ts;
        device.ClearRecord();
        if (r % 2 == 0) {
          tc = CeilingSeconds(nullptr, false, true, false, frames);
          ts = StackBackup((work / "backup.bin").string());
        } else {
          ts = StackBackup((work / "backup.bin").string());
          tc = CeilingSeconds(nullptr, false, true, false, frames);
        }
        if (tc <= 0 || !ts.ok || ts.stream_s <= 0) {
          std::fprintf(stderr, "dravik_bench: backup run %d failed\n", r);
          all_ok = false;
          continue;
        }
        ceiling.push_back(payload / kMiB / tc);
        stack.push_back(payload / kMiB / ts.stream_s);
      }
      report("pty", "XP plus", "backup", ceiling, {}, storing, raw, stack);
    }

  }
  // What follows runs in the first placement.
  if (!serve_in(placements.front())) return 1;

  // The cost of g_DebugON: the same flashing run with the per-packet log lines.
  if (only.empty()) {
    UseHost(false, pty, windows_dir);
    std::vector<double> off, on;
    for (int r = 0; r < reps; ++r) {
      g_DebugON = 0;
      device.ClearRecord();
      StackTimes a = StackFlash(image);
      g_DebugON = 1;
      device.ClearRecord();
      StackTimes b = StackFlash(image);
      g_DebugON = 0;
      if (!a.ok || !b.ok || a.stream_s <= 0 || b.stream_s <= 0) {
        all_ok = false;
        continue;
      }
      off.push_back(a.stream_s);
      on.push_back(b.stream_s);
    }
    double t_off = off.empty() ? 0 : *std::min_element(off.begin(), off.end());
    double t_on = on.empty() ? 0 : *std::min_element(on.begin(), on.end());
    std::printf("g_DebugON 1 over the pty: %.2f MiB/s against %.2f MiB/s with 0: ratio %.3f, %.1f us more per packet\n",
                payload / kMiB / t_on, payload / kMiB / t_off, t_off / t_on, (t_on - t_off) / frames * 1e6);
    std::printf("  (log after the g_DebugON runs: %.1f MiB)\n",
                static_cast<double>(fs::file_size(work / "logfile.txt", ec)) / kMiB);
    fs::remove(work / "logfile.txt", ec);
  }

  // Peak resident memory of a process that flashes a 64 MiB image (the handheld runs in this one).
  if (only.empty()) {
    const std::string big = (work / "big.nb0").string();
    WriteImage(big, memory_mib << 20);
    device.ClearRecord();
    std::string self = fs::read_symlink("/proc/self/exe", ec).string();
    std::string cmd = "'" + self + "' --memory-child '" + pty + "' '" + big + "' '" + windows_dir + "'";
    FILE* child = ::popen(cmd.c_str(), "r");
    long baseline = -1, peak = -1;
    int ok = 0;
    if (child != nullptr) {
      if (std::fscanf(child, "%ld %ld %d", &baseline, &peak, &ok) != 3) ok = 0;
      ::pclose(child);
    }
    if (!ok) {
      std::fprintf(stderr, "dravik_bench: the memory run failed\n");
      all_ok = false;
    } else {
      double increase = (peak - baseline) / 1024.0;
      double limit = static_cast<double>(memory_mib) + 2.0;
      std::printf("peak resident memory flashing %zu MiB: %.1f MiB before the run, %.1f MiB at the peak: "
                  "%.1f MiB more (limit payload + 2 MiB = %.0f MiB): %s\n",
                  memory_mib, baseline / 1024.0, peak / 1024.0, increase, limit, increase <= limit ? "ok" : "OVER");
    }
    fs::remove(big, ec);
  }

  // The fixed pauses on the real clock, reported apart from the streaming.
  if (pauses && only.empty()) {
    w32sim::SetClockScale(1);
    UseHost(false, pty, windows_dir);
    const std::string small = (work / "small.nb0").string();
    WriteImage(small, 1 << 20);
    StackTimes t = StackFlash(small);
    std::printf("fixed pauses on the real clock (XP plus, 1 MiB image): device search and open %.2f s "
                "(prescribed: a 1.5 s poll, 1 s after the device path is found, 1 s after the sync software's windows "
                "are closed), streaming %.2f s, pause after the job %.2f s (prescribed: 1000 ms)\n",
                t.open_s, t.stream_s, t.tail_s);
    if (!t.ok) all_ok = false;
  }

  device.Stop();
  fs::current_path(fs::temp_directory_path());
  fs::remove_all(work, ec);
  return all_ok ? 0 : 1;
}
