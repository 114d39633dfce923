// The virtual handheld under concurrent use: two hosts on its two transports at once, while a test
// thread reads the record and changes the fault plan.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "handheld_client.h"
#include "test_support.h"
#include "virtual_handheld.h"

namespace {

using handheld::Area;
using handheld_test::Command;
using handheld_test::Frame;
using handheld_test::HostClient;
using testing_support::PatternBytes;

void Flash(HostClient* host, const char* code, const std::vector<uint8_t>& payload, std::atomic<int>* ok) {
  if (!host->SendFrame(Command(code, static_cast<uint32_t>(payload.size())))) return;
  if (!host->SendImage(payload)) return;
  Frame done;
  if (host->ReceiveFrame(&done) && handheld_test::CodeOf(done) == "FF112248") ++*ok;
}

TEST(HandheldConcurrency, TwoHostsFlashWhileTheRecordIsReadAndThePlanReplaced) {
  testing_support::TempDir dir;
  handheld::VirtualHandheld device(dir.path() + "/hh");
  std::string pty = device.StartPty();
  std::string sock = device.StartSocket(dir.File("hh.sock"));
  auto a = HostClient::OpenPty(pty);
  auto b = HostClient::Connect(sock);
  ASSERT_TRUE(a && b);
  auto os = PatternBytes(300000, 1);
  auto ext = PatternBytes(200000, 2);
  std::atomic<int> ok{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      auto events = device.Record();
      (void)device.FramesReceived();
      (void)device.Log();
      device.SetFaults(handheld::FaultPlan{});  // a plan without faults, replaced again and again
      std::this_thread::yield();
      if (events.size() > 1000000) break;
    }
  });
  std::thread ta(Flash, a.get(), "FF112246", std::cref(os), &ok);
  std::thread tb(Flash, b.get(), "FF112263", std::cref(ext), &ok);
  ta.join();
  tb.join();
  done = true;
  reader.join();
  EXPECT_EQ(ok.load(), 2);
  EXPECT_EQ(device.GetStorage().Read(Area::GSM), os);
  EXPECT_EQ(device.GetStorage().Read(Area::EXTROM), ext);
  EXPECT_EQ(device.FramesReceived(), 2u + 300000 / 1520 + 1 + 200000 / 1520 + 1);
}

TEST(HandheldConcurrency, VanishFromTheHookAndFromAnotherThreadAtOnce) {
  testing_support::TempDir dir;
  handheld::VirtualHandheld device(dir.path() + "/hh");
  auto ext = PatternBytes(50 * 1520, 3);
  device.GetStorage().Write(Area::EXTROM, ext.data(), ext.size());
  std::string pty = device.StartPty();
  std::string sock = device.StartSocket(dir.File("hh.sock"));
  device.SetEventHook([&device](const handheld::WireEvent& e) {
    if (e.direction == handheld::WireEvent::Direction::DeviceToHost && e.kind == handheld::WireEvent::Kind::Frame) {
      device.Vanish();
    }
  });
  auto a = HostClient::OpenPty(pty);
  auto b = HostClient::Connect(sock);
  ASSERT_TRUE(a && b);
  std::thread ta([&] { a->SendFrame(Command("FF112262")); });
  std::thread tb([&] { b->SendFrame(Command("FF112262")); });
  std::thread tv([&] { device.Vanish(); });
  ta.join();
  tb.join();
  tv.join();
  device.Stop();
  EXPECT_EQ(device.PtyPath(), "");
  EXPECT_EQ(device.SocketPath(), "");
}

}  // namespace
