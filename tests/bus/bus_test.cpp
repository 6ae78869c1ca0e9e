// The emulated USB bus against a scripted device: what each URB holds after
// completion, when and in which order requests complete, isochronous packet
// bookkeeping, cancel, abort, unplug and the refusal of malformed URBs.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bus/raw_urb.h"
#include "bus/scripted_model.h"

namespace bustest {
namespace {

using host::sched::Now;
using host::usb::Stats;

class Bus : public ::testing::Test {
 protected:
  void SetUp() override {
    model = std::make_shared<ScriptedModel>();
    pdo = host::usb::Plug(model, "bus-test");
    ASSERT_NE(pdo, nullptr);
  }
  void TearDown() override {
    if (pdo != nullptr) host::usb::Remove(pdo);
  }

  // Configures the device and selects alternate setting 1 of interface 0:
  // bulk OUT 0x01, isochronous IN 0x82 (3072 bytes per microframe).
  Pipes StreamingPipes() {
    Pipes config = SelectConfiguration(pdo);
    EXPECT_EQ(config.pipes.size(), 3u);
    return SelectInterface(pdo, config.configuration, 0, 1, 2);
  }
  // The microframe in which a transfer submitted now starts.
  static uint64_t NextMicroframe() { return uint64_t(Now() / kMicroframe) + 1; }

  std::shared_ptr<ScriptedModel> model;
  PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(Bus, DescriptorReadsCopyWhatTheDeviceReturns) {
  struct Case {
    uint8_t type;
    uint32_t length;
    NTSTATUS status;
    uint32_t moved;
  };
  const uint32_t total = uint32_t(model->config.size());
  const Case cases[] = {
      {1, 18, STATUS_SUCCESS, 18}, {1, 64, STATUS_SUCCESS, 18},       {1, 8, STATUS_SUCCESS, 8},
      {2, 9, STATUS_SUCCESS, 9},   {2, 512, STATUS_SUCCESS, total},  {3, 4, STATUS_UNSUCCESSFUL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " length " << c.length);
    std::vector<uint8_t> buffer(c.length, 0xEE);
    URB urb;
    FillDescriptor(&urb, c.type, buffer.data(), c.length);
    const int64_t start = Now();
    Submission s(pdo, &urb);
    EXPECT_EQ(s.returned, STATUS_PENDING);
    EXPECT_FALSE(s.done);
    ASSERT_TRUE(s.Wait());
    EXPECT_EQ(s.status, c.status);
    EXPECT_EQ(s.irql, DISPATCH_LEVEL);
    EXPECT_EQ(s.time, start + model->latency);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.moved);
    const std::vector<uint8_t>& source = c.type == 1 ? model->device : model->config;
    for (uint32_t i = 0; i < c.length; ++i)
      EXPECT_EQ(buffer[i], i < c.moved ? source[i] : 0xEE) << "byte " << i;
    const host::usb::Setup& setup = model->seen.back().setup;
    EXPECT_EQ(setup.bmRequestType, 0x80);
    EXPECT_EQ(setup.bRequest, 6);
    EXPECT_EQ(setup.wValue, c.type << 8);
    EXPECT_EQ(setup.wLength, c.length);
  }
}

TEST_F(Bus, VendorRequestsBecomeControlTransfers) {
  struct Case {
    const char* name;
    bool in;
    uint16_t length;
    ControlReply reply;
    NTSTATUS status;
    uint32_t moved;
  };
  const Case cases[] = {
      {"out with data", false, 3, {}, STATUS_SUCCESS, 3},
      {"out without data", false, 0, {}, STATUS_SUCCESS, 0},
      {"in, full reply", true, 4, {USBD_STATUS_SUCCESS, 4}, STATUS_SUCCESS, 4},
      {"in, short reply", true, 4, {USBD_STATUS_SUCCESS, 2}, STATUS_SUCCESS, 2},
      {"in, reply longer than asked", true, 2, {USBD_STATUS_SUCCESS, 9}, STATUS_SUCCESS, 2},
      {"in, stalled", true, 4, {USBD_STATUS_STALL_PID, 0}, STATUS_UNSUCCESSFUL, 0},
      {"out, stalled", false, 2, {USBD_STATUS_STALL_PID, 0}, STATUS_UNSUCCESSFUL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model->seen.clear();
    model->vendor = [&c](const host::usb::Setup& setup, uint8_t* data) {
      if (setup.bmRequestType & 0x80)
        for (uint32_t i = 0; i < std::min<uint32_t>(c.reply.length, setup.wLength); ++i) data[i] = uint8_t(0x11 + i);
      return c.reply;
    };
    std::vector<uint8_t> buffer = {1, 2, 3, 4};
    URB urb;
    FillVendor(&urb, c.in, 0xC3, 0x0302, 0x0007, c.length ? buffer.data() : nullptr, c.length);
    Submission s(pdo, &urb);
    ASSERT_TRUE(s.Wait());
    EXPECT_EQ(s.status, c.status);
    EXPECT_EQ(s.UrbStatus(), c.reply.status);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, c.moved);
    ASSERT_EQ(model->seen.size(), 1u);
    const ScriptedModel::Seen& seen = model->seen[0];
    EXPECT_EQ(seen.setup.bmRequestType, c.in ? 0xC0 : 0x40);
    EXPECT_EQ(seen.setup.bRequest, 0xC3);
    EXPECT_EQ(seen.setup.wValue, 0x0302);
    EXPECT_EQ(seen.setup.wIndex, 0x0007);
    EXPECT_EQ(seen.setup.wLength, c.length);
    if (!c.in) {
      EXPECT_EQ(seen.data, std::vector<uint8_t>(buffer.begin(), buffer.begin() + c.length));
    }
    for (uint32_t i = 0; i < 4; ++i)
      EXPECT_EQ(buffer[i], c.in && i < c.moved ? 0x11 + i : i + 1) << "byte " << i;
  }
}

TEST_F(Bus, ControlTransfersRunOneAtATimeInSubmissionOrder) {
  const int64_t latency[] = {0, 3000, 1000, 2000};  // by bRequest
  model->vendor = [&latency](const host::usb::Setup& setup, uint8_t*) {
    ControlReply r;
    r.latency = latency[setup.bRequest];
    return r;
  };
  const int64_t t0 = Now();
  URB urbs[3];
  std::unique_ptr<Submission> s[3];
  for (int i = 0; i < 3; ++i) {
    FillVendor(&urbs[i], false, uint8_t(i + 1), 0, 0, nullptr, 0);
    s[i] = Submit(pdo, &urbs[i]);
  }
  ASSERT_TRUE(s[2]->Wait());
  const int64_t done[] = {3000, 4000, 6000};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s[i]->time - t0, done[i]) << i;
    EXPECT_EQ(s[i]->order - s[0]->order, i);
  }
  // Each reached the device when the one before it had completed.
  const int64_t seen[] = {0, 3000, 4000};
  ASSERT_EQ(model->seen.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(model->seen[i].time - t0, seen[i]) << i;
}

TEST_F(Bus, SelectConfigurationFillsInterfaceAndPipeRecords) {
  NTSTATUS status = 0;
  Pipes p = SelectConfiguration(pdo, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_NE(p.configuration, nullptr);
  EXPECT_EQ(host::usb::Configuration(pdo), 1);
  EXPECT_EQ(host::usb::AlternateSetting(pdo, 0), 0);
  EXPECT_EQ(host::usb::AlternateSetting(pdo, 1), 0);
  EXPECT_EQ(host::usb::AlternateSetting(pdo, 2), -1);

  ASSERT_EQ(p.records.size(), 2u);
  const struct {
    UCHAR number, cls, sub, proto;
    ULONG pipes;
  } records[] = {{0, 0xFF, 1, 2, 2}, {1, 3, 0, 0, 1}};
  for (size_t i = 0; i < 2; ++i) {
    const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(p.records[i].data());
    EXPECT_EQ(info->InterfaceNumber, records[i].number);
    EXPECT_EQ(info->Class, records[i].cls);
    EXPECT_EQ(info->SubClass, records[i].sub);
    EXPECT_EQ(info->Protocol, records[i].proto);
    EXPECT_EQ(info->NumberOfPipes, records[i].pipes);
    EXPECT_NE(info->InterfaceHandle, nullptr);
  }
  struct Expected {
    uint8_t address;
    USBD_PIPE_TYPE type;
    USHORT maxPacket;
    UCHAR interval;
  };
  const Expected expected[] = {{0x01, UsbdPipeTypeBulk, 512, 0},
                               {0x81, UsbdPipeTypeBulk, 512, 0},
                               {0x83, UsbdPipeTypeInterrupt, 8, 4}};
  ASSERT_EQ(p.pipes.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(p.pipes[i].EndpointAddress, expected[i].address) << i;
    EXPECT_EQ(p.pipes[i].PipeType, expected[i].type) << i;
    EXPECT_EQ(p.pipes[i].MaximumPacketSize, expected[i].maxPacket) << i;
    EXPECT_EQ(p.pipes[i].Interval, expected[i].interval) << i;
    EXPECT_NE(p.pipes[i].PipeHandle, nullptr);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(p.pipes[i].PipeHandle, p.pipes[j].PipeHandle);
  }
  // The bus read the set itself before it configured the device.
  const size_t n = model->seen.size();
  ASSERT_GE(n, 3u);
  EXPECT_EQ(model->seen[n - 3].setup.wLength, 9);
  EXPECT_EQ(model->seen[n - 2].setup.wLength, model->config.size());
  const host::usb::Setup& set = model->seen[n - 1].setup;
  EXPECT_EQ(set.bmRequestType, 0x00);
  EXPECT_EQ(set.bRequest, 9);
  EXPECT_EQ(set.wValue, 1);
}

TEST_F(Bus, SelectInterfaceOpensTheSettingsPipesAndClosesTheOldOnes) {
  Pipes config = SelectConfiguration(pdo);
  ASSERT_EQ(config.pipes.size(), 3u);
  NTSTATUS status = 0;
  Pipes alt1 = SelectInterface(pdo, config.configuration, 0, 1, 2, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(alt1.pipes.size(), 2u);
  EXPECT_EQ(alt1.pipes[1].EndpointAddress, 0x82);
  EXPECT_EQ(alt1.pipes[1].PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(alt1.pipes[1].MaximumPacketSize, 3072);  // 3 transactions of 1024 per microframe
  EXPECT_EQ(alt1.pipes[1].Interval, 1);
  EXPECT_EQ(host::usb::AlternateSetting(pdo, 0), 1);
  const host::usb::Setup& setup = model->seen.back().setup;
  EXPECT_EQ(setup.bmRequestType, 0x01);
  EXPECT_EQ(setup.bRequest, 11);
  EXPECT_EQ(setup.wValue, 1);
  EXPECT_EQ(setup.wIndex, 0);

  // Interface 0's old bulk IN pipe is gone; interface 1's interrupt pipe stays.
  uint8_t buffer[8];
  URB urb;
  FillBulk(&urb, config.pipes[1].PipeHandle, buffer, sizeof buffer);
  EXPECT_EQ(Call(pdo, &urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  model->bulk.push_back(BulkReply{8, USBD_STATUS_SUCCESS, kMicroframe, false});
  FillBulk(&urb, config.pipes[2].PipeHandle, buffer, sizeof buffer);
  EXPECT_EQ(Call(pdo, &urb), STATUS_SUCCESS);
}

TEST_F(Bus, RefusedInterfaceSelectionChangesNothing) {
  struct Case {
    const char* name;
    uint8_t alternate;
    uint32_t room;
    bool bogusHandle;
    USBD_STATUS deviceStatus;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"setting not in the descriptors", 7, 2, false, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
      {"record too small for the pipes", 1, 1, false, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
      {"unknown configuration handle", 1, 2, true, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
      {"device stalls SET_INTERFACE", 1, 2, false, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL},
  };
  Pipes config = SelectConfiguration(pdo);
  ASSERT_EQ(config.pipes.size(), 3u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model->standardStatus = c.deviceStatus;
    NTSTATUS status = 0;
    SelectInterface(pdo, c.bogusHandle ? reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1234) : config.configuration, 0,
                    c.alternate, c.room, &status);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(host::usb::AlternateSetting(pdo, 0), 0);
    model->bulk.push_back(BulkReply{4, USBD_STATUS_SUCCESS, kMicroframe, false});
    uint8_t buffer[4];
    URB urb;
    FillBulk(&urb, config.pipes[1].PipeHandle, buffer, sizeof buffer);
    EXPECT_EQ(Call(pdo, &urb), STATUS_SUCCESS) << "the old pipe still works";
  }
}

TEST_F(Bus, UnconfigureClosesEveryPipe) {
  Pipes config = SelectConfiguration(pdo);
  ASSERT_EQ(config.pipes.size(), 3u);
  uint8_t buffer[16];
  URB bulk;
  FillBulk(&bulk, config.pipes[1].PipeHandle, buffer, sizeof buffer);
  auto pending = Submit(pdo, &bulk);  // waits for data that never comes

  UrbBuffer urb(sizeof(struct _URB_SELECT_CONFIGURATION));
  memset(urb.get(), 0, urb.size());
  urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Submission s(pdo, urb.get());
  ASSERT_TRUE(s.Wait());
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(host::usb::Configuration(pdo), 0);
  EXPECT_EQ(model->seen.back().setup.bRequest, 9);
  EXPECT_EQ(model->seen.back().setup.wValue, 0);
  ASSERT_TRUE(pending->done);
  EXPECT_EQ(pending->status, STATUS_CANCELLED);
  EXPECT_LT(pending->order, s.order);
  URB again;
  FillBulk(&again, config.pipes[2].PipeHandle, buffer, sizeof buffer);
  EXPECT_EQ(Call(pdo, &again), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(again.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(Bus, IsochronousPacketsKeepOffsetsAndReportLengthsAndStatuses) {
  Pipes p = StreamingPipes();
  ASSERT_EQ(p.pipes.size(), 2u);
  struct Reply {
    uint32_t length;
    USBD_STATUS status;
  };
  const Reply script[] = {{3072, 0}, {3072, 0}, {100, 0}, {0, 0}, {500, USBD_STATUS_XACT_ERROR},
                          {3072, 0}, {4000, 0}, {1, 0}};
  uint64_t first = 0;
  model->iso = [&](uint64_t microframe, uint8_t* buffer, uint32_t capacity) {
    const Reply& r = script[microframe - first];
    memset(buffer, int(microframe & 0xFF), std::min(r.length, capacity));
    return IsoPacket{r.length, r.status};
  };
  IsoTransfer t(p.pipes[1].PipeHandle, 8, 3072);
  first = NextMicroframe();
  Submission s(pdo, t.urb.get());
  EXPECT_EQ(s.returned, STATUS_PENDING);
  ASSERT_TRUE(s.Wait());
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(s.UrbStatus(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(s.irql, DISPATCH_LEVEL);
  EXPECT_EQ(s.time, int64_t(first + 8) * kMicroframe);
  const uint32_t lengths[] = {3072, 3072, 100, 0, 0, 3072, 3072, 1};
  for (uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(t.Packet(i).Offset, i * 3072) << i;
    EXPECT_EQ(t.Packet(i).Length, lengths[i]) << i;
    EXPECT_EQ(t.Packet(i).Status, script[i].status) << i;
    if (lengths[i] != 0) {
      EXPECT_EQ(t.data[i * 3072 + lengths[i] - 1], uint8_t(first + i)) << i;
    }
  }
  EXPECT_EQ(t.urb->UrbIsochronousTransfer.ErrorCount, 1u);
  EXPECT_EQ(model->isoMicroframes.size(), 8u);
}

TEST_F(Bus, IsochronousTransfersFollowEachOtherMicroframeByMicroframe) {
  Pipes p = StreamingPipes();
  IsoTransfer a(p.pipes[1].PipeHandle, 4, 3072), b(p.pipes[1].PipeHandle, 4, 3072), c(p.pipes[1].PipeHandle, 4, 1000);
  const uint64_t first = NextMicroframe();
  auto sa = Submit(pdo, a.urb.get());
  auto sb = Submit(pdo, b.urb.get());
  auto sc = Submit(pdo, c.urb.get());
  ASSERT_TRUE(sc->Wait());
  EXPECT_EQ(sa->time, int64_t(first + 4) * kMicroframe);
  EXPECT_EQ(sb->time, int64_t(first + 8) * kMicroframe);
  EXPECT_EQ(sc->time, int64_t(first + 12) * kMicroframe);
  EXPECT_EQ(sb->order, sa->order + 1);
  EXPECT_EQ(sc->order, sb->order + 1);
  ASSERT_EQ(model->isoMicroframes.size(), 12u);
  for (uint64_t i = 0; i < 12; ++i) EXPECT_EQ(model->isoMicroframes[i], first + i);
  // A packet's room ends at the next packet's offset.
  for (size_t i = 8; i < 12; ++i) EXPECT_EQ(model->isoCapacities[i], 1000u);
  // With the pipe idle, the next transfer starts in the next microframe.
  IsoTransfer d(p.pipes[1].PipeHandle, 2, 3072);
  const uint64_t later = NextMicroframe();
  Submission sd(pdo, d.urb.get());
  ASSERT_TRUE(sd.Wait());
  EXPECT_EQ(model->isoMicroframes[12], later);
}

TEST_F(Bus, WholeIsochronousFailures) {
  struct Case {
    const char* name;
    USBD_STATUS request;
    bool packetsFail;
    NTSTATUS status;
    USBD_STATUS urbStatus;
    size_t packetsAsked;
  };
  const Case cases[] = {
      {"request refused", USBD_STATUS_ISOCH_REQUEST_FAILED, false, STATUS_UNSUCCESSFUL,
       USBD_STATUS_ISOCH_REQUEST_FAILED, 0},
      {"every packet failed", USBD_STATUS_SUCCESS, true, STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED, 4},
      {"all well", USBD_STATUS_SUCCESS, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 4},
  };
  Pipes p = StreamingPipes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model->isoRequestStatus = c.request;
    model->isoMicroframes.clear();
    model->iso = [&c](uint64_t, uint8_t*, uint32_t capacity) {
      return c.packetsFail ? IsoPacket{capacity, USBD_STATUS_CRC} : IsoPacket{capacity, USBD_STATUS_SUCCESS};
    };
    IsoTransfer t(p.pipes[1].PipeHandle, 4, 3072);
    Submission s(pdo, t.urb.get());
    ASSERT_TRUE(s.Wait());
    EXPECT_EQ(s.status, c.status);
    EXPECT_EQ(s.UrbStatus(), c.urbStatus);
    EXPECT_EQ(model->isoMicroframes.size(), c.packetsAsked);
    EXPECT_EQ(t.urb->UrbIsochronousTransfer.ErrorCount, c.status == STATUS_SUCCESS ? 0u : 4u);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(t.Packet(i).Length, c.status == STATUS_SUCCESS ? 3072u : 0u);
  }
}

TEST_F(Bus, BulkTransferWaitsForDataThenTakesItsTime) {
  Pipes p = SelectConfiguration(pdo);
  ASSERT_EQ(p.pipes.size(), 3u);
  model->bulk = {BulkReply{0, 0, 1000, true}, BulkReply{0, 0, 1000, true}, BulkReply{100, 0, 2500, false},
                 BulkReply{9000, 0, kMicroframe, false}, BulkReply{0, USBD_STATUS_STALL_PID, kMicroframe, false}};
  std::vector<uint8_t> b1(512), b2(512), b3(512);
  URB u1, u2, u3;
  FillBulk(&u1, p.pipes[1].PipeHandle, b1.data(), 512);
  FillBulk(&u2, p.pipes[1].PipeHandle, b2.data(), 512);
  FillBulk(&u3, p.pipes[1].PipeHandle, b3.data(), 512);
  const int64_t t0 = Now();
  auto s1 = Submit(pdo, &u1);
  auto s2 = Submit(pdo, &u2);
  auto s3 = Submit(pdo, &u3);
  ASSERT_TRUE(s3->Wait());
  EXPECT_EQ(s1->status, STATUS_SUCCESS);
  EXPECT_EQ(s1->time - t0, 1000 + 1000 + 2500);
  EXPECT_EQ(u1.UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
  EXPECT_EQ(s2->status, STATUS_SUCCESS);
  EXPECT_EQ(u2.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u) << "a longer reply is cut to the buffer";
  EXPECT_EQ(s2->time - s1->time, kMicroframe);
  EXPECT_EQ(s3->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s3->UrbStatus(), USBD_STATUS_STALL_PID);
  EXPECT_EQ(u3.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(model->bulkCalls, 5);
}

TEST_F(Bus, CancelledRequestsComeBackCancelledAndTheQueueMovesOn) {
  model->vendor = [](const host::usb::Setup& setup, uint8_t*) {
    ControlReply r;
    r.never = setup.bRequest == 0x10;
    return r;
  };
  URB hung, next;
  FillVendor(&hung, false, 0x10, 0, 0, nullptr, 0);
  FillVendor(&next, false, 0x11, 0, 0, nullptr, 0);
  auto a = Submit(pdo, &hung);
  auto b = Submit(pdo, &next);
  host::sched::RunFor(100 * host::sched::kMillisecond);
  EXPECT_FALSE(a->done);
  EXPECT_FALSE(b->done);
  EXPECT_EQ(model->VendorSetups().size(), 1u) << "the second waits behind the first";
  const int64_t cancelledAt = Now();
  EXPECT_TRUE(a->Cancel());
  ASSERT_TRUE(b->Wait());
  EXPECT_EQ(a->status, STATUS_CANCELLED);
  EXPECT_EQ(a->UrbStatus(), USBD_STATUS_CANCELED);
  EXPECT_EQ(a->time, cancelledAt);
  EXPECT_EQ(a->irql, DISPATCH_LEVEL);
  EXPECT_EQ(b->status, STATUS_SUCCESS);
  EXPECT_EQ(Stats(pdo).cancelled, 1u);

  // A cancelled isochronous transfer leaves the others' microframes alone.
  Pipes p = StreamingPipes();
  IsoTransfer t1(p.pipes[1].PipeHandle, 4, 3072), t2(p.pipes[1].PipeHandle, 4, 3072), t3(p.pipes[1].PipeHandle, 4, 3072);
  const uint64_t first = NextMicroframe();
  auto s1 = Submit(pdo, t1.urb.get());
  auto s2 = Submit(pdo, t2.urb.get());
  auto s3 = Submit(pdo, t3.urb.get());
  s2->Cancel();
  ASSERT_TRUE(s3->Wait());
  EXPECT_EQ(s1->status, STATUS_SUCCESS);
  EXPECT_EQ(s2->status, STATUS_CANCELLED);
  EXPECT_EQ(s3->status, STATUS_SUCCESS);
  EXPECT_EQ(s3->time, int64_t(first + 12) * kMicroframe);
  EXPECT_LT(s2->order, s1->order);
}

TEST_F(Bus, AbortPipeCompletesEveryPendingTransferFirst) {
  Pipes p = StreamingPipes();
  std::vector<std::unique_ptr<IsoTransfer>> transfers;
  std::vector<std::unique_ptr<Submission>> subs;
  for (int i = 0; i < 3; ++i) {
    transfers.push_back(std::make_unique<IsoTransfer>(p.pipes[1].PipeHandle, 8, 3072));
    subs.push_back(Submit(pdo, transfers.back()->urb.get()));
  }
  URB abort;
  FillAbort(&abort, p.pipes[1].PipeHandle);
  Submission a(pdo, &abort);
  EXPECT_EQ(a.returned, STATUS_PENDING);
  ASSERT_TRUE(a.Wait());
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  for (auto& s : subs) {
    ASSERT_TRUE(s->done);
    EXPECT_EQ(s->status, STATUS_CANCELLED);
    EXPECT_EQ(s->UrbStatus(), USBD_STATUS_CANCELED);
    EXPECT_LT(s->order, a.order);
  }
  EXPECT_EQ(subs[0]->order + 1, subs[1]->order);
  EXPECT_TRUE(model->isoMicroframes.empty());
  EXPECT_EQ(Stats(pdo).aborted, 3u);
  // The pipe starts afresh.
  IsoTransfer again(p.pipes[1].PipeHandle, 2, 3072);
  const uint64_t next = NextMicroframe();
  Submission s(pdo, again.urb.get());
  ASSERT_TRUE(s.Wait());
  EXPECT_EQ(s.time, int64_t(next + 2) * kMicroframe);
}

TEST_F(Bus, UnplugFailsPendingRequestsAndLaterOnesAtOnce) {
  Pipes p = StreamingPipes();
  model->vendor = [](const host::usb::Setup&, uint8_t*) {
    ControlReply r;
    r.never = true;
    return r;
  };
  URB vendor;
  FillVendor(&vendor, false, 0x10, 0, 0, nullptr, 0);
  IsoTransfer iso(p.pipes[1].PipeHandle, 8, 3072);
  auto sv = Submit(pdo, &vendor);
  auto si = Submit(pdo, iso.urb.get());
  host::sched::RunFor(kMicroframe);
  EXPECT_EQ(Stats(pdo).pending, 2u);
  host::usb::Unplug(pdo);
  EXPECT_FALSE(host::usb::IsPlugged(pdo));
  ASSERT_TRUE(si->Wait());
  ASSERT_TRUE(sv->done);
  for (Submission* s : {sv.get(), si.get()}) {
    EXPECT_EQ(s->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(s->UrbStatus(), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(s->irql, DISPATCH_LEVEL);
  }
  EXPECT_EQ(Stats(pdo).pending, 0u);

  URB late;
  FillVendor(&late, false, 0x11, 0, 0, nullptr, 0);
  Submission s(pdo, &late);
  EXPECT_TRUE(s.done) << "fails inside IofCallDriver";
  EXPECT_EQ(s.returned, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(s.UrbStatus(), USBD_STATUS_DEVICE_GONE);
}

TEST_F(Bus, UnplugFromInsideTheDeviceEndsTheRequestInFlight) {
  model->vendor = [this](const host::usb::Setup&, uint8_t*) {
    host::usb::Unplug(pdo);
    return ControlReply{};
  };
  URB a, b;
  FillVendor(&a, false, 0x10, 0, 0, nullptr, 0);
  FillVendor(&b, false, 0x11, 0, 0, nullptr, 0);
  auto sa = Submit(pdo, &a);
  auto sb = Submit(pdo, &b);
  ASSERT_TRUE(sb->Wait());
  EXPECT_EQ(sa->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(sb->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(model->VendorSetups().size(), 1u);
}

TEST_F(Bus, RemoveWithRequestsPendingHandsThemBack) {
  model->vendor = [](const host::usb::Setup&, uint8_t*) {
    ControlReply r;
    r.never = true;
    return r;
  };
  URB a;
  FillVendor(&a, false, 0x10, 0, 0, nullptr, 0);
  auto s = Submit(pdo, &a);
  host::sched::RunFor(kMicroframe);
  host::usb::Remove(pdo);
  pdo = nullptr;
  EXPECT_TRUE(s->done);
  EXPECT_EQ(s->status, STATUS_DEVICE_NOT_CONNECTED);
}

// Malformed URBs are refused inside IofCallDriver; where a real stack would
// touch memory outside the caller's blocks the bus also raises a violation.
TEST_F(Bus, MalformedUrbsAreRefused) {
  Pipes p = StreamingPipes();
  USBD_PIPE_HANDLE bulkOut = p.pipes[0].PipeHandle;
  USBD_PIPE_HANDLE iso = p.pipes[1].PipeHandle;
  static uint8_t buffer[8192];
  struct Case {
    const char* name;
    std::function<void(PURB)> build;
    NTSTATUS status;
    USBD_STATUS urbStatus;
    bool violation;
  };
  auto isoUrb = [&](PURB u, ULONG packets, ULONG length, ULONG flags) {
    memset(u, 0, GET_ISO_URB_SIZE(4));
    auto& t = u->UrbIsochronousTransfer;
    t.Hdr.Length = USHORT(GET_ISO_URB_SIZE(4));
    t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    t.PipeHandle = iso;
    t.TransferFlags = flags;
    t.TransferBuffer = buffer;
    t.TransferBufferLength = length;
    t.NumberOfPackets = packets;
    PUSBD_ISO_PACKET_DESCRIPTOR pk = t.IsoPacket;
    for (ULONG i = 0; i < 4; ++i) pk[i].Offset = i * 1024;
  };
  const ULONG in = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  const Case cases[] = {
      {"unknown function", [](PURB u) { u->UrbHeader.Length = sizeof(URB); u->UrbHeader.Function = 0x0099; },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION, false},
      {"vendor URB shorter than its function",
       [](PURB u) {
         FillVendor(u, true, 0xC3, 0, 0, buffer, 4);
         u->UrbHeader.Length = 100;
       },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
      {"vendor IN without a buffer", [](PURB u) { FillVendor(u, true, 0xC3, 0, 0, nullptr, 4); },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
      {"vendor length beyond 16 bits", [](PURB u) { FillVendor(u, false, 0xA0, 0, 0, buffer, 0x10000); },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
      {"descriptor request without a buffer", [](PURB u) { FillDescriptor(u, 1, nullptr, 18); },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
      {"bulk on an unknown pipe",
       [](PURB u) { FillBulk(u, reinterpret_cast<USBD_PIPE_HANDLE>(0x4242), buffer, 64); }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PIPE_HANDLE, false},
      {"bulk on an isochronous pipe", [&](PURB u) { FillBulk(u, iso, buffer, 64); }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER, false},
      {"bulk IN on an OUT pipe", [&](PURB u) { FillBulk(u, bulkOut, buffer, 64); }, STATUS_NOT_SUPPORTED,
       USBD_STATUS_NOT_SUPPORTED, false},
      {"isochronous without packets", [&](PURB u) { isoUrb(u, 0, 4096, in); }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER, false},
      {"isochronous URB shorter than its packets", [&](PURB u) { isoUrb(u, 5, 8192, in); }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER, false},
      {"isochronous packet beyond the buffer", [&](PURB u) { isoUrb(u, 4, 3000, in); }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER, false},
      {"isochronous offsets out of order",
       [&](PURB u) {
         isoUrb(u, 4, 4096, in);
         PUSBD_ISO_PACKET_DESCRIPTOR pk = u->UrbIsochronousTransfer.IsoPacket;
         pk[2].Offset = 100;
       },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
      {"isochronous without the IN flag", [&](PURB u) { isoUrb(u, 4, 4096, USBD_START_ISO_TRANSFER_ASAP); },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
      {"isochronous start frame in the past", [&](PURB u) { isoUrb(u, 4, 4096, USBD_TRANSFER_DIRECTION_IN); },
       STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME, false},
      {"abort of an unknown pipe", [](PURB u) { FillAbort(u, reinterpret_cast<USBD_PIPE_HANDLE>(0x4242)); },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, false},
      {"select interface record beyond the URB",
       [&](PURB u) {
         memset(u, 0, sizeof(URB));
         u->UrbSelectInterface.Hdr.Length = USHORT(GET_SELECT_INTERFACE_REQUEST_SIZE(1));
         u->UrbSelectInterface.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
         u->UrbSelectInterface.ConfigurationHandle = p.configuration;
         u->UrbSelectInterface.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(2));
       },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
      {"unconfigure URB shorter than a select-configuration URB",
       [](PURB u) {
         memset(u, 0, sizeof(URB));
         u->UrbHeader.Length = 40;
         u->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
       },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UrbBuffer urb(GET_ISO_URB_SIZE(8));
    c.build(urb.get());
    host::ViolationCapture capture;
    Submission s(pdo, urb.get());
    EXPECT_TRUE(s.done);
    EXPECT_EQ(s.returned, c.status);
    EXPECT_EQ(s.status, c.status);
    EXPECT_EQ(s.UrbStatus(), c.urbStatus);
    EXPECT_EQ(!capture.Messages().empty(), c.violation);
  }
  EXPECT_EQ(Stats(pdo).pending, 0u);
}

TEST_F(Bus, UrbsClaimingMoreThanTheirMemoryRaiseAViolation) {
  struct Case {
    const char* name;
    size_t urbBlock;
    size_t bufferBlock;
    ULONG length;
    const char* message;
  };
  const Case cases[] = {
      {"URB Length past its pool block", 100, 16, 4, "URB header Length"},
      {"transfer buffer smaller than its length", sizeof(URB), 2, 4, "vendor request TransferBufferLength"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, c.urbBlock, host::pool::MakeTag("Test")));
    auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, c.bufferBlock, host::pool::MakeTag("Test")));
    URB staged;
    FillVendor(&staged, true, 0xC3, 0, 0, buffer, c.length);
    memcpy(urb, &staged, std::min(c.urbBlock, sizeof staged));
    {
      host::ViolationCapture capture;
      Submission s(pdo, urb);
      EXPECT_TRUE(s.done);
      EXPECT_EQ(s.status, STATUS_INVALID_PARAMETER);
      EXPECT_TRUE(capture.Saw(c.message)) << (capture.Messages().empty() ? "" : capture.Messages()[0]);
    }
    ExFreePool(buffer);
    ExFreePool(urb);
  }
}

}  // namespace
}  // namespace bustest
