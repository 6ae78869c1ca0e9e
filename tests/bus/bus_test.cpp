// The emulated USB bus against a scripted device (URB results, order and time of completion, cancel, abort,
// unplug, malformed URBs) and the USBD library with hostile descriptor sets.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

#include "bus/raw_urb.h"

namespace bustest {
namespace {

using host::sched::Now;
using host::usb::BulkReply;
using host::usb::ControlReply;
using host::usb::IsoPacket;
using host::usb::Stats;
using std::make_tuple;
using SetupPacket = host::usb::Setup;

// Interface 0: alternate 0 with bulk OUT 0x01 and bulk IN 0x81, alternate 1 with bulk OUT 0x01 and
// isochronous IN 0x82 of 3 x 1024 bytes per microframe; a class descriptor; interface 1 with interrupt IN 0x83.
std::vector<uint8_t> ScriptedConfiguration() {
  return {9, 2,    76,   0, 2,    1,    0, 0x80, 50,  //
          9, 4,    0,    0, 2,    0xFF, 1, 2,    0,   // 9: interface 0/0
          7, 5,    0x01, 2, 0x00, 0x02, 0,            // 18
          7, 5,    0x81, 2, 0x00, 0x02, 0,            // 25
          9, 4,    0,    1, 2,    0xFF, 1, 2,    0,   // 32: interface 0/1
          7, 5,    0x01, 2, 0x00, 0x02, 0,            // 41
          7, 5,    0x82, 1, 0x00, 0x14, 1,            // 48
          5, 0x24, 1,    2, 3,                        // 55
          9, 4,    1,    0, 1,    3,    0, 0,    0,   // 60: interface 1/0
          7, 5,    0x83, 3, 8,    0,    4};           // 69
}

class ScriptedModel : public host::usb::DeviceModel {
 public:
  struct Seen {
    int64_t time;
    SetupPacket setup;
    std::vector<uint8_t> data;  // OUT data stage
  };
  std::vector<uint8_t> config = ScriptedConfiguration();
  USBD_STATUS standardStatus = USBD_STATUS_SUCCESS;  // of SET_CONFIGURATION and SET_INTERFACE
  std::map<uint8_t, ControlReply> vendor;            // by bRequest; IN replies are 0x11, 0x12...
  std::vector<Seen> seen;
  // Isochronous packets; the default fills the room with the microframe's low byte.
  std::function<IsoPacket(uint64_t microframe, uint32_t capacity)> iso;
  std::deque<BulkReply> bulk;  // played in order; when empty the transfer waits

  ControlReply Control(const SetupPacket& setup, uint8_t* data) override {
    seen.push_back({Now(), setup, {}});
    if (!(setup.bmRequestType & 0x80)) seen.back().data.assign(data, data + setup.wLength);
    ControlReply reply = (setup.bmRequestType & 0x60) == 0x40 ? vendor[setup.bRequest] : ControlReply{};
    if ((setup.bmRequestType & 0x60) == 0x00) {
      reply.status = setup.bRequest != 6 ? standardStatus : setup.wValue == 0x200 ? 0 : USBD_STATUS_STALL_PID;
      reply.length = setup.bRequest == 6 ? uint32_t(config.size()) : 0;
    }
    for (uint32_t i = 0; setup.bmRequestType & 0x80 && i < std::min<uint32_t>(reply.length, setup.wLength); ++i)
      data[i] = setup.bRequest == 6 ? config[i] : uint8_t(0x11 + i);
    return reply;
  }
  IsoPacket IsochIn(uint8_t, uint64_t microframe, uint8_t* buffer, uint32_t capacity) override {
    const IsoPacket packet = iso ? iso(microframe, capacity) : IsoPacket{capacity, USBD_STATUS_SUCCESS};
    memset(buffer, int(microframe & 0xFF), std::min(packet.length, capacity));
    return packet;
  }
  BulkReply BulkIn(uint8_t, uint8_t* buffer, uint32_t capacity) override {
    if (bulk.empty()) return BulkReply{0, USBD_STATUS_SUCCESS, 8 * kMicroframe, true};
    const BulkReply r = bulk.front();
    bulk.pop_front();
    memset(buffer, 0x5A, std::min(r.length, capacity));
    return r;
  }
};

class Bus : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(pdo = host::usb::Plug(model, "bus-test"), nullptr); }
  void TearDown() override {
    if (pdo != nullptr) host::usb::Remove(pdo);
  }
  // The microframe in which a transfer submitted now starts.
  static uint64_t NextMicroframe() { return uint64_t(Now() / kMicroframe) + 1; }

  std::shared_ptr<ScriptedModel> model = std::make_shared<ScriptedModel>();
  PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(Bus, ControlTransfersMoveWhatTheDeviceAnswers) {
  // Name, configuration descriptor (else vendor request 0xC3), IN, wLength, vendor reply, moved (0xFF: stalled).
  const std::tuple<const char*, bool, bool, uint16_t, ControlReply, uint32_t> cases[] = {
      {"configuration descriptor, shorter than asked", true, true, 100, {}, 76},
      {"vendor out with data", false, false, 3, {}, 3},
      {"vendor out without data", false, false, 0, {}, 0},
      {"vendor in, short reply", false, true, 4, {USBD_STATUS_SUCCESS, 2}, 2},
      {"vendor in, reply longer than asked", false, true, 2, {USBD_STATUS_SUCCESS, 9}, 2},
      {"vendor in, stalled", false, true, 4, {USBD_STATUS_STALL_PID, 4}, 0xFF},
      {"vendor out, stalled", false, false, 2, {USBD_STATUS_STALL_PID, 0}, 0xFF},
  };
  for (const auto& [name, descriptor, in, length, reply, moved] : cases) {
    SCOPED_TRACE(name);
    model->seen.clear();
    model->vendor[0xC3] = reply;
    const bool stalled = moved == 0xFF;
    std::vector<uint8_t> buffer(100), expected(100);
    for (uint32_t i = 0; i < 100; ++i) {
      buffer[i] = uint8_t(i + 1);
      expected[i] = in && !stalled && i < moved ? (descriptor ? model->config[i] : uint8_t(0x11 + i)) : buffer[i];
    }
    URB urb = descriptor ? Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer.data(), length)
                         : Vendor(in, 0xC3, 0x0302, length ? buffer.data() : nullptr, length);
    if (!descriptor) urb.UrbControlVendorClassRequest.Index = 7;
    const int64_t start = Now();
    Submission s(pdo, &urb);
    EXPECT_EQ(make_tuple(s.returned, s.done), make_tuple(STATUS_PENDING, false));
    ASSERT_TRUE(s.Wait());
    EXPECT_EQ(make_tuple(s.status, s.UrbStatus()), stalled ? make_tuple(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID)
                                                           : make_tuple(STATUS_SUCCESS, USBD_STATUS_SUCCESS));
    EXPECT_EQ(make_tuple(s.irql, s.time), make_tuple(DISPATCH_LEVEL, start + kMicroframe));
    EXPECT_EQ(descriptor ? urb.UrbControlDescriptorRequest.TransferBufferLength
                         : urb.UrbControlVendorClassRequest.TransferBufferLength,
              stalled ? 0 : moved);
    EXPECT_EQ(buffer, expected);
    ASSERT_EQ(model->seen.size(), 1u);
    EXPECT_EQ(model->seen[0].setup, (descriptor ? SetupPacket{0x80, 6, 0x0200, 0, length}
                                                : SetupPacket{uint8_t(in ? 0xC0 : 0x40), 0xC3, 0x0302, 7, length}));
    EXPECT_EQ(model->seen[0].data, std::vector<uint8_t>(buffer.begin(), buffer.begin() + (in ? 0 : length)));
  }
}

auto Fields(const USBD_PIPE_INFORMATION& p) {
  return make_tuple(int(p.EndpointAddress), p.PipeType, int(p.MaximumPacketSize), int(p.Interval));
}

TEST_F(Bus, SelectionsFillTheRecordsAndOpenAndCloseThePipes) {
  NTSTATUS status = 0;
  const Pipes config = SelectConfiguration(pdo, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(host::usb::Configuration(pdo), 1);
  EXPECT_EQ(model->seen.back().setup, (SetupPacket{0x00, 9, 1, 0, 0}));
  ASSERT_EQ(config.interfaces.size(), 2u);
  for (const USBD_INTERFACE_INFORMATION& i : config.interfaces)
    EXPECT_EQ(make_tuple(int(i.Class), int(i.SubClass), i.NumberOfPipes, i.InterfaceHandle != nullptr),
              i.InterfaceNumber == 0 ? make_tuple(0xFF, 1, 2u, true) : make_tuple(3, 0, 1u, true));
  EXPECT_EQ(config.pipes.size(), 3u);
  EXPECT_EQ(Fields(config.pipes.at(0)), make_tuple(0x01, UsbdPipeTypeBulk, 512, 0));
  EXPECT_EQ(Fields(config.pipes.at(1)), make_tuple(0x81, UsbdPipeTypeBulk, 512, 0));
  EXPECT_EQ(Fields(config.pipes.at(2)), make_tuple(0x83, UsbdPipeTypeInterrupt, 8, 4));
  EXPECT_EQ(std::set<USBD_PIPE_HANDLE>({config[0], config[1], config[2], nullptr}).size(), 4u) << "distinct handles";
  for (const auto& pipe : config.pipes) EXPECT_EQ(pipe.MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);

  // Refused selections (record too small for the pipes, unknown configuration, stall) change nothing.
  for (auto [room, handle, device] : {make_tuple(1, config.configuration, 0), make_tuple(2, (void*)0x1234, 0),
                                      make_tuple(2, config.configuration, USBD_STATUS_STALL_PID)}) {
    model->standardStatus = device;
    SelectInterface(pdo, handle, 0, 1, room, &status);
    EXPECT_EQ(make_tuple(status, host::usb::AlternateSetting(pdo, 0)),
              make_tuple(device ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER, 0));
  }
  model->standardStatus = USBD_STATUS_SUCCESS;
  const Pipes alt1 = SelectInterface(pdo, config.configuration, 0, 1, 2, &status);
  EXPECT_EQ(Fields(alt1.pipes.at(1)), make_tuple(0x82, UsbdPipeTypeIsochronous, 3072, 1));  // 3 x 1024
  EXPECT_EQ(host::usb::AlternateSetting(pdo, 0), 1);
  EXPECT_EQ(model->seen.back().setup, (SetupPacket{0x01, 11, 1, 0, 0}));
  // Interface 0's old bulk IN pipe is gone; interface 1's interrupt pipe stays.
  uint8_t buffer[8];
  URB gone = Bulk(config[1], buffer, 8), kept = Bulk(config[2], buffer, 8), closed = Bulk(alt1[1], buffer, 8);
  EXPECT_EQ(Call(pdo, &gone), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(gone.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  model->bulk.push_back(BulkReply{8, USBD_STATUS_SUCCESS, kMicroframe, false});
  EXPECT_EQ(Call(pdo, &kept), STATUS_SUCCESS);

  // Unconfiguring (an 88-byte URB without a descriptor) cancels what waits on the pipes and closes them.
  auto pending = Submit(pdo, &kept);
  URB unconfigure = Urb(sizeof(struct _URB_SELECT_CONFIGURATION), URB_FUNCTION_SELECT_CONFIGURATION);
  Submission s(pdo, &unconfigure);
  ASSERT_TRUE(s.Wait());
  EXPECT_EQ(make_tuple(s.status, host::usb::Configuration(pdo)), make_tuple(STATUS_SUCCESS, uint8_t(0)));
  EXPECT_EQ(model->seen.back().setup, (SetupPacket{0x00, 9, 0, 0, 0}));
  EXPECT_EQ(make_tuple(pending->done, pending->status), make_tuple(true, STATUS_CANCELLED));
  EXPECT_LT(pending->order, s.order);
  EXPECT_EQ(Call(pdo, &closed), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(closed.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(Bus, IsochronousTransfersFollowEachOtherAndReportEveryPacket) {
  const Pipes p = Streaming(pdo, 1);
  // The first transfer's packets (the rest full); every packet of the second fails.
  const IsoPacket script[] = {{3072, 0}, {100, 0}, {0, 0}, {500, USBD_STATUS_XACT_ERROR}, {4000, 0}, {1, 0}};
  const uint32_t lengths[] = {3072, 100, 0, 0, 3072, 1};  // a failed packet has none; a long one is cut
  uint64_t first = 0;
  model->iso = [&](uint64_t microframe, uint32_t capacity) {
    const uint64_t i = microframe - first;
    return i < 6 ? script[i] : IsoPacket{capacity, i >= 8 && i < 16 ? USBD_STATUS_CRC : 0};
  };
  IsoTransfer a(p[1], 8, 3072), b(p[1], 8, 3072), c(p[1], 8, 1000);
  first = NextMicroframe();
  auto sa = Submit(pdo, a.urb);
  auto sb = Submit(pdo, b.urb);
  auto sc = Submit(pdo, c.urb);
  EXPECT_EQ(sa->returned, STATUS_PENDING);
  ASSERT_TRUE(sc->Wait());
  // Back to back, one packet per microframe, each completing at the end of its last.
  EXPECT_EQ(make_tuple(sa->time, sb->time, sc->time),
            make_tuple(int64_t(first + 8) * kMicroframe, int64_t(first + 16) * kMicroframe,
                       int64_t(first + 24) * kMicroframe));
  EXPECT_EQ(make_tuple(sb->order, sc->order), make_tuple(sa->order + 1, sa->order + 2));
  EXPECT_EQ(make_tuple(sa->status, sa->UrbStatus(), sa->irql), make_tuple(STATUS_SUCCESS, 0, DISPATCH_LEVEL));
  EXPECT_EQ(make_tuple(sb->status, sb->UrbStatus()), make_tuple(STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED));
  EXPECT_EQ(make_tuple(a.urb->UrbIsochronousTransfer.ErrorCount, b.urb->UrbIsochronousTransfer.ErrorCount),
            make_tuple(1u, 8u));
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(make_tuple(a.Packet(i).Offset, a.Packet(i).Length, a.Packet(i).Status),
              make_tuple(i * 3072, lengths[i], script[i].status));
    if (lengths[i] != 0) {
      EXPECT_EQ(a.data[i * 3072 + lengths[i] - 1], uint8_t(first + i)) << i;  // its microframe's byte
    }
  }
  for (uint32_t i = 0; i < 8; ++i)  // a packet's room ends at the next packet's offset
    EXPECT_EQ(make_tuple(c.Packet(i).Length, c.data[i * 1000]), make_tuple(1000u, uint8_t(first + 16 + i)));
}

TEST_F(Bus, BulkTransferWaitsForDataThenTakesItsTime) {
  const Pipes p = SelectConfiguration(pdo);
  model->bulk = {BulkReply{0, 0, 1000, true}, BulkReply{0, 0, 1000, true}, BulkReply{100, 0, 2500, false},
                 BulkReply{9000, 0, kMicroframe, false}, BulkReply{0, USBD_STATUS_STALL_PID, kMicroframe, false}};
  uint8_t buffers[3][512];
  URB urbs[] = {Bulk(p[1], buffers[0], 512), Bulk(p[1], buffers[1], 512), Bulk(p[1], buffers[2], 512)};
  const int64_t t0 = Now();
  std::unique_ptr<Submission> s[] = {Submit(pdo, &urbs[0]), Submit(pdo, &urbs[1]), Submit(pdo, &urbs[2])};
  ASSERT_TRUE(s[2]->Wait());
  auto moved = [&](int i) { return urbs[i].UrbBulkOrInterruptTransfer.TransferBufferLength; };
  EXPECT_EQ(make_tuple(s[0]->status, s[0]->time - t0, moved(0), buffers[0][99]),
            make_tuple(STATUS_SUCCESS, 1000 + 1000 + 2500, 100u, 0x5A));
  EXPECT_EQ(make_tuple(s[1]->status, s[1]->time - s[0]->time, moved(1)), make_tuple(STATUS_SUCCESS, kMicroframe, 512u))
      << "a longer reply is cut to the buffer";
  EXPECT_EQ(make_tuple(s[2]->status, s[2]->UrbStatus(), moved(2)),
            make_tuple(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0u));
}

// A stall halts the pipe: what waits behind it and what comes later fail until a reset clears the halt on the host
// side (CLEAR_FEATURE alone, on the device side, does not).
TEST_F(Bus, AStalledPipeFailsEveryTransferUntilItIsReset) {
  const Pipes p = SelectConfiguration(pdo);
  model->bulk = {BulkReply{0, USBD_STATUS_STALL_PID, kMicroframe, false}};
  uint8_t buffer[512];
  URB urbs[] = {Bulk(p[1], buffer, 512), Bulk(p[1], buffer, 512), Bulk(p[1], buffer, 512)};
  auto stalled = Submit(pdo, &urbs[0]);
  auto behind = Submit(pdo, &urbs[1]);
  ASSERT_TRUE(behind->Wait());
  for (Submission* x : {stalled.get(), behind.get()})
    EXPECT_EQ(make_tuple(x->status, x->UrbStatus()), make_tuple(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
  Submission later(pdo, &urbs[2]);
  EXPECT_EQ(make_tuple(later.done, later.returned, later.UrbStatus()),
            make_tuple(true, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));

  URB clear = Abort(p[1], URB_FUNCTION_SYNC_CLEAR_STALL), reset = Abort(p[1], URB_FUNCTION_SYNC_RESET_PIPE);
  EXPECT_EQ(Call(pdo, &clear), STATUS_SUCCESS);
  EXPECT_EQ(model->seen.back().setup, (SetupPacket{0x02, 1, 0, 0x81, 0}));
  EXPECT_EQ(Call(pdo, &urbs[0]), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Call(pdo, &reset), STATUS_SUCCESS);
  EXPECT_EQ(Stats(pdo).pipeResets, 1u);
  model->bulk.push_back(BulkReply{8, USBD_STATUS_SUCCESS, kMicroframe, false});
  EXPECT_EQ(Call(pdo, &urbs[0]), STATUS_SUCCESS);
}

// After IRP_MN_REMOVE_DEVICE the device object refuses every request: delete pending while the device is
// present, no such device once it is gone.
TEST_F(Bus, RemovedDeviceRefusesRequests) {
  model->vendor[0x10].never = true;
  URB pending = Vendor(false, 0x10), late = Vendor(false, 0x11);
  auto s = Submit(pdo, &pending);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
  IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_REMOVE_DEVICE;
  EXPECT_EQ(IofCallDriver(pdo, irp), STATUS_SUCCESS);
  IoFreeIrp(irp);
  ASSERT_TRUE(s->Wait());
  EXPECT_EQ(s->status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Submission(pdo, &late).returned, STATUS_DELETE_PENDING);
  host::usb::Unplug(pdo);
  EXPECT_EQ(Submission(pdo, &late).returned, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Stats(pdo).afterRemoval, 2u);
}

// Each control transfer reaches the device when the one before it has completed; a cancelled one comes back at
// once, and so does a pending one when the device is removed.
TEST_F(Bus, ControlTransfersRunOneAtATimeAndCancelOrRemovalEndsThem) {
  model->vendor[0x10].never = true;
  model->vendor[0x11].latency = 3000;
  model->vendor[0x12].latency = 1000;
  URB urbs[] = {Vendor(false, 0x10), Vendor(false, 0x11), Vendor(false, 0x12)};
  std::unique_ptr<Submission> s[] = {Submit(pdo, &urbs[0]), Submit(pdo, &urbs[1]), Submit(pdo, &urbs[2])};
  host::sched::RunFor(100 * host::sched::kMillisecond);
  EXPECT_EQ(make_tuple(s[2]->done, model->seen.size()), make_tuple(false, 1u)) << "the others wait behind the first";
  const int64_t t0 = Now();
  EXPECT_TRUE(s[0]->Cancel());
  ASSERT_TRUE(s[2]->Wait());
  EXPECT_EQ(make_tuple(s[0]->status, s[0]->UrbStatus(), s[0]->time, s[0]->irql),
            make_tuple(STATUS_CANCELLED, USBD_STATUS_CANCELED, t0, DISPATCH_LEVEL));
  ASSERT_EQ(model->seen.size(), 3u);
  EXPECT_EQ(make_tuple(model->seen[1].time, s[1]->time, model->seen[2].time, s[2]->time),
            make_tuple(t0, t0 + 3000, t0 + 3000, t0 + 4000));
  EXPECT_EQ(make_tuple(s[1]->order, s[2]->order), make_tuple(s[0]->order + 1, s[0]->order + 2));
  EXPECT_EQ(make_tuple(s[1]->status, Stats(pdo).cancelled), make_tuple(STATUS_SUCCESS, 1u));
  // Removing the device hands back at once what is still pending.
  auto left = Submit(pdo, &urbs[0]);
  host::usb::Remove(pdo);
  pdo = nullptr;
  EXPECT_EQ(make_tuple(left->done, left->status), make_tuple(true, STATUS_DEVICE_NOT_CONNECTED));
}

// An abort cancels the pipe's transfers before it completes; an unplug fails all pending requests and later ones.
TEST_F(Bus, AbortPipeAndUnplugEndPendingRequests) {
  const Pipes p = Streaming(pdo, 1);
  model->vendor[0x10].never = true;
  URB vendor = Vendor(false, 0x10), abort = Abort(p[1]);
  auto sv = Submit(pdo, &vendor);
  IsoTransfer t[] = {{p[1], 8, 3072}, {p[1], 8, 3072}, {p[1], 8, 3072}};
  std::unique_ptr<Submission> s[] = {Submit(pdo, t[0].urb), Submit(pdo, t[1].urb), Submit(pdo, t[2].urb)};
  Submission a(pdo, &abort);
  ASSERT_TRUE(a.Wait());
  EXPECT_EQ(make_tuple(a.returned, a.status), make_tuple(STATUS_PENDING, STATUS_SUCCESS));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(make_tuple(s[i]->done, s[i]->status, s[i]->UrbStatus(), s[i]->order),
              make_tuple(true, STATUS_CANCELLED, USBD_STATUS_CANCELED, s[0]->order + i));
    EXPECT_LT(s[i]->order, a.order);
  }
  EXPECT_EQ(make_tuple(t[0].data, Stats(pdo).aborted), make_tuple(std::vector<uint8_t>(8 * 3072, 0xEE), 3u));
  // The pipe starts afresh.
  IsoTransfer again(p[1], 8, 3072), pending(p[1], 8, 3072);
  const uint64_t next = NextMicroframe();
  auto sa = Submit(pdo, again.urb);
  auto si = Submit(pdo, pending.urb);
  ASSERT_TRUE(sa->Wait());
  EXPECT_EQ(sa->time, int64_t(next + 8) * kMicroframe);

  host::usb::Unplug(pdo);
  EXPECT_FALSE(host::usb::IsPlugged(pdo));
  ASSERT_TRUE(si->Wait());
  for (Submission* x : {sv.get(), si.get()})
    EXPECT_EQ(make_tuple(x->done, x->status, x->UrbStatus(), x->irql),
              make_tuple(true, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, DISPATCH_LEVEL));
  EXPECT_EQ(Stats(pdo).pending, 0u);
  Submission late(pdo, &vendor);
  EXPECT_EQ(make_tuple(late.done, late.returned, late.UrbStatus()),
            make_tuple(true, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE))
      << "fails inside IofCallDriver";
}

// Refused inside IofCallDriver, without a violation (one would abort the test).
TEST_F(Bus, MalformedUrbsAreRefused) {
  const Pipes p = Streaming(pdo, 1);
  static uint8_t buffer[0x10000];
  auto iso = [&](PURB u, ULONG packetSize = 1024) -> _URB_ISOCH_TRANSFER& {
    return FillIso(u, p[1], buffer, 8, packetSize);
  };
  const USBD_PIPE_HANDLE unknown = USBD_PIPE_HANDLE(0x4242);
  const NTSTATUS invalid = STATUS_INVALID_PARAMETER;
  const USBD_STATUS bad = USBD_STATUS_INVALID_PARAMETER, badPipe = USBD_STATUS_INVALID_PIPE_HANDLE;
  const std::tuple<const char*, std::function<void(PURB)>, NTSTATUS, USBD_STATUS> cases[] = {
      {"unknown function", [](PURB u) { *u = Urb(sizeof(URB), 0x0099); }, invalid, USBD_STATUS_INVALID_URB_FUNCTION},
      {"URB shorter than its function", [](PURB u) { (*u = Vendor(true, 0xC3, 0, buffer, 4)).UrbHeader.Length = 100; },
       invalid, bad},
      {"URB longer than its function", [](PURB u) { (*u = Vendor(true, 0xC3, 0, buffer, 4)).UrbHeader.Length = 152; },
       invalid, bad},
      {"abort URB the size of the union", [&](PURB u) { (*u = Abort(p[1])).UrbHeader.Length = sizeof(URB); }, invalid,
       bad},
      {"vendor IN without a buffer", [](PURB u) { *u = Vendor(true, 0xC3, 0, nullptr, 4); }, invalid, bad},
      {"vendor length beyond 16 bits", [](PURB u) { *u = Vendor(false, 0xA0, 0, buffer, 0x10000); }, invalid, bad},
      {"bulk on an unknown pipe", [&](PURB u) { *u = Bulk(unknown, buffer, 64); }, invalid, badPipe},
      {"bulk on an isochronous pipe", [&](PURB u) { *u = Bulk(p[1], buffer, 64); }, invalid, bad},
      {"bulk IN on an OUT pipe", [&](PURB u) { *u = Bulk(p[0], buffer, 64); }, STATUS_NOT_SUPPORTED,
       USBD_STATUS_NOT_SUPPORTED},
      {"isochronous without packets", [&](PURB u) { iso(u).NumberOfPackets = 0; }, invalid, bad},
      {"isochronous URB shorter than its packets", [&](PURB u) { iso(u).NumberOfPackets = 16; }, invalid, bad},
      {"isochronous packets not in whole frames", [&](PURB u) { iso(u).NumberOfPackets = 4; }, invalid, bad},
      {"isochronous packet larger than the endpoint's payload", [&](PURB u) { iso(u, 3073); }, invalid, bad},
      {"isochronous packet beyond the buffer", [&](PURB u) { iso(u).TransferBufferLength = 3000; }, invalid, bad},
      {"isochronous offsets out of order", [&](PURB u) { iso(u).IsoPacket[0].Offset = 1500; }, invalid, bad},
      {"isochronous without the IN flag", [&](PURB u) { iso(u).TransferFlags = USBD_START_ISO_TRANSFER_ASAP; }, invalid,
       bad},
      {"isochronous start frame in the past", [&](PURB u) { iso(u).TransferFlags = USBD_TRANSFER_DIRECTION_IN; },
       STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME},
      {"abort of an unknown pipe", [&](PURB u) { *u = Abort(unknown); }, invalid, badPipe},
      {"reset of an unknown pipe", [&](PURB u) { *u = Abort(unknown, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL); },
       invalid, badPipe},
      {"select interface URB longer than its record",
       [](PURB u) {
         *u = Urb(GET_SELECT_INTERFACE_REQUEST_SIZE(2), URB_FUNCTION_SELECT_INTERFACE);
         u->UrbSelectInterface.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(1));
       },
       invalid, bad},
      {"select interface record beyond the URB",
       [](PURB u) {
         *u = Urb(GET_SELECT_INTERFACE_REQUEST_SIZE(1), URB_FUNCTION_SELECT_INTERFACE);
         u->UrbSelectInterface.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(2));
       },
       invalid, bad},
      {"unconfigure URB shorter than a select-configuration URB",
       [](PURB u) { *u = Urb(40, URB_FUNCTION_SELECT_CONFIGURATION); }, invalid, bad},
  };
  for (const auto& [name, build, status, urbStatus] : cases) {
    std::vector<URB> urb = UrbStorage(GET_ISO_URB_SIZE(8));
    build(urb.data());
    Submission s(pdo, urb.data());
    EXPECT_EQ(make_tuple(s.done, s.returned, s.status, s.UrbStatus()), make_tuple(true, status, status, urbStatus))
        << name;
  }
}

// Where a real stack would touch memory outside the caller's block, the bus raises a violation.
TEST_F(Bus, TransferBufferSmallerThanItsLengthRaisesAViolation) {
  void* buffer = ExAllocatePoolWithTag(NonPagedPool, 2, host::pool::MakeTag("Test"));
  URB urb = Vendor(true, 0xC3, 0, buffer, 4);
  {
    host::ViolationCapture capture;
    Submission s(pdo, &urb);
    EXPECT_EQ(make_tuple(s.done, s.status), make_tuple(true, STATUS_INVALID_PARAMETER));
    EXPECT_TRUE(capture.Saw("vendor request TransferBufferLength: 4 bytes needed"));
  }
  ExFreePool(buffer);
}

std::vector<uint8_t> Patched(std::initializer_list<std::pair<size_t, uint8_t>> patches, size_t cut = 0) {
  std::vector<uint8_t> set = ScriptedConfiguration();
  for (const auto& [at, value] : patches) set[at] = value;
  if (cut != 0) set.resize(cut);
  return set;
}

// Hostile sets selected through the USBD library (the set in a pool block of the size received, so AddressSanitizer
// reports any read past it) and the bus (which reads the set itself) fail cleanly or select what lies inside.
TEST(Usbd, HostileSetsNeverLeadOutsideTheBuffer) {
  const NTSTATUS ok = STATUS_SUCCESS, failed = STATUS_UNSUCCESSFUL, invalid = STATUS_INVALID_PARAMETER;
  std::vector<uint8_t> wide = {9, 2, 108, 0, 11, 1, 0, 0x80, 50};  // eleven interfaces of 255 endpoints each
  for (uint8_t i = 0; i < 11; ++i) wide.insert(wide.end(), {9, 4, i, 0, 255, 0, 0, 0, 0});
  // Name, the set, the status of its selection, then of alternate setting 1 of interface 0.
  const std::tuple<const char*, std::vector<uint8_t>, NTSTATUS, NTSTATUS> cases[] = {
      {"well formed", ScriptedConfiguration(), ok, ok},
      {"bLength 0", Patched({{18, 0}}), failed, 0},
      {"interface descriptor too short", Patched({{9, 5}}), failed, 0},
      {"wTotalLength beyond the bytes present", Patched({{2, 0xFF}, {3, 0xFF}}), ok, ok},
      {"wTotalLength cutting the first interface", Patched({{2, 12}}), failed, 0},
      {"wTotalLength cutting the later settings", Patched({{2, 32}, {4, 1}}), ok, invalid},
      {"set cut inside interface 1", Patched({}, 64), failed, 0},
      {"last descriptor running past the end", Patched({{69, 200}}), failed, 0},
      {"more interfaces announced than present", Patched({{4, 3}}), invalid, 0},
      {"endpoints past the end", Patched({{64, 3}}), failed, 0},
      {"records overflowing the 16-bit URB length", wide, failed, 0},
  };
  for (const auto& [name, bytes, configure, alternate1] : cases) {
    auto model = std::make_shared<ScriptedModel>();
    model->config = bytes;
    PDEVICE_OBJECT pdo = host::usb::Plug(model, "hostile");
    NTSTATUS status = 0;
    const Pipes config = SelectConfiguration(pdo, &status);
    EXPECT_EQ(make_tuple(status, host::usb::Configuration(pdo)), make_tuple(configure, uint8_t(configure == ok)))
        << name;
    if (status == STATUS_SUCCESS) SelectInterface(pdo, config.configuration, 0, 1, 2, &status);
    EXPECT_EQ(status, configure == ok ? alternate1 : configure) << name;
    host::usb::Remove(pdo);
  }
}

}  // namespace
}  // namespace bustest
