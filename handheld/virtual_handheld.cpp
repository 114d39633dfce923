#include "virtual_handheld.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "fault_plan.h"
#include "frame_link.h"
#include "protocol.h"
#include "transport.h"
#include "wire_record.h"

namespace handheld {
namespace {

// How long the serving thread trusts the stored mode it has read when nothing in this process set one.
constexpr std::chrono::milliseconds kModeRecheck{10};

}  // namespace

// One served transport and the thread serving it.
struct Server {
  std::unique_ptr<Transport> transport;
  std::thread thread;
  bool is_pty = false;
};

struct VirtualHandheld::Impl {
  explicit Impl(const std::string& directory) : storage(directory) {}

  Storage storage;
  std::mutex storage_mu;
  DeviceMemory memory;
  FaultInjector faults;
  WireRecord record;

  std::mutex servers_mu;
  std::vector<std::unique_ptr<Server>> servers;
  // Servers closed from their own thread (a Start* call in the event hook): joined by the next
  // CloseAndJoin on another thread, at the latest by Stop.
  std::vector<std::unique_ptr<Server>> retired;

  void Serve(Server* server);
  void RequestCloseAll();
  bool OnServingThread();
  // Closes the servers `which` selects (and those already closing), waits for their threads and frees
  // them. Not called with servers_mu held: a serving thread may need it on its way out.
  void CloseAndJoin(const std::function<bool(const Server&)>& which);
  // Starts serving a transport.
  std::string Add(std::unique_ptr<Transport> transport, bool is_pty);
};

void VirtualHandheld::Impl::Serve(Server* server) {
  Transport& transport = *server->transport;
  ProtocolEngine engine(storage, storage_mu, memory, faults);
  FrameLink::Hooks hooks;
  // The mode is asked for every frame; reading its file each time would cost more than the frame's
  // whole trip over the link. It is read again when this process has set a mode since (a reset command,
  // a test), and otherwise every kModeRecheck, for a change made to the file by another process.
  struct ModeCache {
    bool valid = false;
    bool os = false;
    uint32_t changes = 0;
    std::chrono::steady_clock::time_point read_at;
  };
  hooks.in_os_mode = [this, cache = ModeCache{}]() mutable {
    const uint32_t changes = Storage::ModeChanges();
    const auto now = std::chrono::steady_clock::now();
    if (!cache.valid || changes != cache.changes || now - cache.read_at >= kModeRecheck) {
      std::lock_guard<std::mutex> lock(storage_mu);
      cache.os = storage.GetMode() == Mode::OS;
      cache.changes = changes;
      cache.read_at = now;
      cache.valid = true;
    }
    return cache.os;
  };
  hooks.vanish = [this] { RequestCloseAll(); };
  hooks.log = [this](const std::string& line) { memory.Log(line); };
  bool running = true;
  while (running) {
    if (transport.WaitForHost() != Transport::Status::Ok) break;
    FrameLink link(transport, record, faults, hooks);
    bool same_host = true;
    while (same_host) {
      try {
        engine.Serve(link);
      } catch (const std::exception& e) {
        // Nothing the host sends may take the handheld down: drop the exchange and start again.
        memory.Log(std::string("exchange dropped: ") + e.what());
        link.RecordLeftover();
        continue;
      } catch (const SessionEnd& end) {
        switch (end.why) {
          case SessionEnd::Why::HostGone:
            memory.Log("host closed the link");
            link.RecordLeftover();
            transport.DropHost();
            same_host = false;
            break;
          case SessionEnd::Why::Silent: {
            // Read nothing, send nothing, until the plan changes.
            uint64_t generation = faults.Generation();
            while (faults.Generation() == generation) {
              if (!transport.Pause(5)) break;
            }
            if (transport.CloseRequested()) {
              link.RecordLeftover();
              same_host = running = false;
            }
            break;
          }
          default:
            link.RecordLeftover();
            same_host = running = false;
            break;
        }
      }
    }
  }
  transport.CloseDeviceEnd();
}

void VirtualHandheld::Impl::RequestCloseAll() {
  std::lock_guard<std::mutex> lock(servers_mu);
  for (auto& s : servers) s->transport->RequestClose();
}

bool VirtualHandheld::Impl::OnServingThread() {
  std::lock_guard<std::mutex> lock(servers_mu);
  for (const auto* list : {&servers, &retired}) {
    for (auto& s : *list) {
      if (s->thread.get_id() == std::this_thread::get_id()) return true;
    }
  }
  return false;
}

void VirtualHandheld::Impl::CloseAndJoin(const std::function<bool(const Server&)>& which) {
  std::vector<std::unique_ptr<Server>> closing;
  {
    std::lock_guard<std::mutex> lock(servers_mu);
    const auto self = std::this_thread::get_id();
    for (auto it = servers.begin(); it != servers.end();) {
      if (which(**it) || (*it)->transport->CloseRequested()) {
        (*it)->transport->RequestClose();
        if ((*it)->thread.get_id() == self) {
          retired.push_back(std::move(*it));
        } else {
          closing.push_back(std::move(*it));
        }
        it = servers.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = retired.begin(); it != retired.end();) {
      if ((*it)->thread.get_id() != self) {
        closing.push_back(std::move(*it));
        it = retired.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : closing) {
    if (s->thread.joinable()) s->thread.join();
    s->transport->CloseDeviceEnd();
  }
}

std::string VirtualHandheld::Impl::Add(std::unique_ptr<Transport> transport, bool is_pty) {
  std::lock_guard<std::mutex> lock(servers_mu);
  auto server = std::make_unique<Server>();
  server->transport = std::move(transport);
  server->is_pty = is_pty;
  Server* raw = server.get();
  std::string path = raw->transport->Path();
  servers.push_back(std::move(server));
  raw->thread = std::thread([this, raw] { Serve(raw); });
  return path;
}

VirtualHandheld::VirtualHandheld(const std::string& directory) : impl_(std::make_unique<Impl>(directory)) {}

VirtualHandheld::~VirtualHandheld() { Stop(); }

Storage& VirtualHandheld::GetStorage() { return impl_->storage; }

std::string VirtualHandheld::StartPty() {
  // A new pty replaces the one served before, as a replugged cable brings a new port.
  impl_->CloseAndJoin([](const Server& s) { return s.is_pty; });
  std::string error;
  auto transport = OpenPtyTransport(&error);
  if (!transport) {
    impl_->memory.Log("no pty: " + error);
    return "";
  }
  return impl_->Add(std::move(transport), true);
}

std::string VirtualHandheld::StartSocket(const std::string& path) {
  impl_->CloseAndJoin([](const Server& s) { return !s.is_pty; });
  std::string error;
  auto transport = OpenSocketTransport(path, &error);
  if (!transport) {
    impl_->memory.Log("no socket: " + error);
    return "";
  }
  return impl_->Add(std::move(transport), false);
}

void VirtualHandheld::Vanish() {
  if (impl_->OnServingThread()) {
    // From the event hook: the serving threads close their ends as soon as the hook returns.
    impl_->RequestCloseAll();
    return;
  }
  impl_->CloseAndJoin([](const Server&) { return true; });
}

void VirtualHandheld::Stop() {
  if (impl_->OnServingThread()) {
    impl_->RequestCloseAll();
    return;
  }
  impl_->CloseAndJoin([](const Server&) { return true; });
}

std::string VirtualHandheld::PtyPath() const {
  std::lock_guard<std::mutex> lock(impl_->servers_mu);
  for (auto& s : impl_->servers) {
    if (s->is_pty && !s->transport->CloseRequested()) return s->transport->Path();
  }
  return "";
}

std::string VirtualHandheld::SocketPath() const {
  std::lock_guard<std::mutex> lock(impl_->servers_mu);
  for (auto& s : impl_->servers) {
    if (!s->is_pty && !s->transport->CloseRequested()) return s->transport->Path();
  }
  return "";
}

void VirtualHandheld::SetFaults(const FaultPlan& plan) { impl_->faults.Set(plan); }
std::vector<WireEvent> VirtualHandheld::Record() const { return impl_->record.Events(); }
void VirtualHandheld::ClearRecord() { impl_->record.Clear(); }
uint32_t VirtualHandheld::FramesReceived() const { return impl_->record.FramesReceived(); }
uint32_t VirtualHandheld::FramesSent() const { return impl_->record.FramesSent(); }
std::chrono::steady_clock::time_point VirtualHandheld::FirstFrameReceivedAt() const {
  return impl_->record.FirstFrameReceivedAt();
}
std::chrono::steady_clock::time_point VirtualHandheld::LastAckReceivedAt() const {
  return impl_->record.LastAckReceivedAt();
}

bool VirtualHandheld::WaitForFramesReceived(uint32_t n, uint32_t timeout_ms) const {
  return impl_->record.WaitForFramesReceived(n, timeout_ms);
}

bool VirtualHandheld::WaitForFramesSent(uint32_t n, uint32_t timeout_ms) const {
  return impl_->record.WaitForFramesSent(n, timeout_ms);
}

void VirtualHandheld::SetRecordWholeFrames(bool whole) { impl_->record.SetKeepWholeFrames(whole); }
void VirtualHandheld::SetEventHook(std::function<void(const WireEvent&)> hook) {
  impl_->record.SetHook(std::move(hook));
}

int32_t VirtualHandheld::Flag() const {
  std::lock_guard<std::mutex> lock(impl_->memory.mu);
  return impl_->memory.flag;
}

std::array<uint8_t, 32> VirtualHandheld::LastFormatSizes() const {
  std::lock_guard<std::mutex> lock(impl_->memory.mu);
  return impl_->memory.format_sizes;
}

uint32_t VirtualHandheld::FormatCount() const {
  std::lock_guard<std::mutex> lock(impl_->memory.mu);
  return impl_->memory.format_count;
}

std::vector<std::string> VirtualHandheld::Log() const {
  std::lock_guard<std::mutex> lock(impl_->memory.mu);
  return impl_->memory.log;
}

}  // namespace handheld
