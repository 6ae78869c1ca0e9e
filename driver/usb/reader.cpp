// The continuous reader: reusable transfers on the video pipe, their
// completion, run coalescing, and the stall watchdog.
//
// Locking. m_Lock (in the hardware object) guards both transfer lists and the
// per-transfer flags. No transfer is handed to the USB stack while it is held,
// since a completion can run inside IofCallDriver and takes it too. A transfer
// stays on m_Busy from submission until its completion has either resubmitted
// it or freed it, so Stop waits for completions that are delivering data.
// Start, Stop and the pipe recovery are serialised by m_ControlLock (the work
// item stops or resubmits from a worker thread while the device may be
// stopping the reader too).
//
// Failed transfers. A transfer that fails is never resubmitted from its own
// completion (a pipe that fails at once would recurse through IofCallDriver,
// and a halted pipe would spin at DISPATCH_LEVEL). It waits on m_Idle while
// the work item, at PASSIVE_LEVEL, resets the pipe when it halted and
// resubmits; a failed transfer is no activity for the watchdog. Past
// kPipeRecoveries recoveries without a good transfer the reader stops.
#include "reader.h"

#include "usb_access.h"

namespace {

constexpr LONGLONG kWatchdogDue = -10000000;  // 1 s, relative
constexpr LONG kWatchdogPeriodMs = 1000;
constexpr LONGLONG kWaitEmptyPoll = -500000;  // 50 ms, relative
constexpr ULONG kAbortPolls = 10;              // waits for the transfers an abort returns

// Work the reader's work item does.
constexpr ULONG kWorkFlush = 1;
constexpr ULONG kWorkRecover = 2;

void Delay(LONGLONG interval) {
  LARGE_INTEGER due;
  due.QuadPart = interval;
  KeDelayExecutionThread(KernelMode, FALSE, &due);
}


void WaitFor(PVOID object) { KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr); }

}  // namespace

// ---------------------------------------------------------------------------
// Transfers.

CSingleUrb::CSingleUrb(ContinuousReader* reader, ULONG transferSize)
    : m_Irp(nullptr),
      m_Urb(nullptr),
      m_Reader(reader),
      m_TransferSize(transferSize),
      m_Buffer(nullptr),
      m_Device(reader->m_Hardware->m_Device),
      m_InFlight(FALSE),
      m_Cancelling(FALSE),
      m_Retired(FALSE),
      m_StackSize(CCHAR(m_Device->NextDeviceObject->StackSize + 1)) {
  m_Link.Flink = m_Link.Blink = &m_Link;
  m_Irp = IoAllocateIrp(m_StackSize, FALSE);
  m_Buffer = static_cast<PUCHAR>(AllocateZeroed(transferSize));
}

// The transfer classes are polymorphic, so their layout is not "standard";
// both compilers of this driver lay the fields out after the table pointer
// and support offsetof on them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
CSingleUrb* CSingleUrb::FromLink(PLIST_ENTRY link) { return CONTAINING_RECORD(link, CSingleUrb, m_Link); }
#pragma GCC diagnostic pop

void CSingleUrb::Free(CSingleUrb* transfer) {
  if (transfer->m_Irp != nullptr) IoFreeIrp(transfer->m_Irp);
  if (transfer->m_Urb != nullptr) ExFreePool(transfer->m_Urb);
  if (transfer->m_Buffer != nullptr) ExFreePool(transfer->m_Buffer);
  ExFreePool(transfer);
}

void CSingleUrb::PrepareIrp() {
  IoReuseIrp(m_Irp, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = m_Urb;
  IoSetCompletionRoutine(m_Irp, IrpCompletionRoutine, this, TRUE, TRUE, TRUE);
}

NTSTATUS CSingleUrb::IrpCompletionRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  return static_cast<CSingleUrb*>(context)->IrpComplete();
}

NTSTATUS CSingleUrb::IrpComplete() {
  ContinuousReader* reader = m_Reader;
  PKSPIN_LOCK lock = &reader->m_Hardware->m_Lock;
  const NTSTATUS irpStatus = m_Irp->IoStatus.Status;
  const USBD_STATUS urbStatus = m_Urb->UrbHeader.Status;

  KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
  RemoveEntryList(&m_Link);
  m_InFlight = FALSE;

  enum { kRetire, kResubmit, kPark } action = kRetire;
  if (m_Irp->Cancel || !reader->m_Running || irpStatus == STATUS_DEVICE_NOT_CONNECTED) {
  } else if (irpStatus == STATUS_UNSUCCESSFUL || urbStatus == USBD_STATUS_ISOCH_REQUEST_FAILED) {
    action = kPark;  // stall, transaction error, no answer, a missed isochronous request
  } else if (USBD_ERROR(urbStatus)) {
    if (reader->m_Recovering) action = kPark;  // returned by the recovery's abort
  } else {
    action = kResubmit;
  }

  // A transfer that failed on its own (not one the recovery aborted) lost
  // the camera's bytes it was to carry.
  const bool lostData = action == kPark && !reader->m_Recovering;
  if (action != kRetire) {
    // Stays on m_Busy while it is rebuilt, so that Stop waits for it.
    InsertTailList(&reader->m_Busy, &m_Link);
    if (action == kResubmit) {
      ++reader->m_Completions;
      reader->m_Recoveries = 0;
    } else if (!reader->m_Recovering) {
      reader->m_LastError = urbStatus;
      if (urbStatus != USBD_STATUS_ISOCH_REQUEST_FAILED) reader->m_PipeHalted = TRUE;
    }
    KeReleaseSpinLock(lock, irql);

    if (action == kResubmit) DeliverData();
    else if (lostData) reader->HandleData(nullptr, 0);  // the transfer's bytes are gone
    FillUrb();

    irql = KeAcquireSpinLockRaiseToDpc(lock);
    if (reader->m_Running && action == kResubmit) {
      m_InFlight = TRUE;
      KeReleaseSpinLock(lock, irql);
      IofCallDriver(reader->LowerDevice(), m_Irp);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    RemoveEntryList(&m_Link);
    if (reader->m_Running) {
      // Waits for the work item, which resubmits it.
      InsertTailList(&reader->m_Idle, &m_Link);
      const bool queue = !reader->m_Recovering && reader->RequestWork(kWorkRecover);
      KeReleaseSpinLock(lock, irql);
      if (queue) IoQueueWorkItem(reader->m_WorkItem, ContinuousReader::WorkRoutine, DelayedWorkQueue, reader);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // Stopped meanwhile: retire it instead.
  } else if (reader->m_Running) {
    OVRA_LOG(kLogError, "CSingleUrb::IrpComplete - Irp Err %08x, USB Err %08x\n", irpStatus, urbStatus);
  }

  OVRA_LOG(kLogDetail, "CSingleUrb::IrpComplete - Cleaning up IRP %p URB %p\n", m_Irp, m_Urb);
  if (m_Cancelling) {
    // WaitEmpty holds this IRP for IoCancelIrp; it frees the transfer afterwards.
    m_Retired = TRUE;
    KeReleaseSpinLock(lock, irql);
  } else {
    KeReleaseSpinLock(lock, irql);
    Free(this);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

CIsochUrb::CIsochUrb(ContinuousReader* reader, ULONG transferSize, ULONG packetSize)
    : CSingleUrb(reader, transferSize), m_NumPackets(0), m_PacketSize(packetSize), m_UrbSize(0) {
  if (packetSize != 0) {
    m_NumPackets = LONG(CIsochReader::PacketsPerTransfer(packetSize, transferSize));
    m_UrbSize = USHORT(sizeof(URB) + m_NumPackets * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
    m_Urb = static_cast<PURB>(AllocateZeroed(m_UrbSize));
  }
  OVRA_LOG(kLogDetail, "CIsochUrb::CIsochUrb - %p, IRP %p, URB %p\n", this, m_Irp, m_Urb);
}

void CIsochUrb::FillUrb() {
  RtlZeroMemory(m_Urb, m_UrbSize);
  struct _URB_ISOCH_TRANSFER& iso = m_Urb->UrbIsochronousTransfer;
  iso.Hdr.Length = m_UrbSize;
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = m_Reader->m_Pipe->PipeHandle;
  iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  iso.TransferBufferLength = m_TransferSize;
  iso.TransferBuffer = m_Buffer;
  iso.TransferBufferMDL = nullptr;
  iso.UrbLink = nullptr;
  iso.StartFrame = 0;
  iso.NumberOfPackets = ULONG(m_NumPackets);
  PUSBD_ISO_PACKET_DESCRIPTOR packets = iso.IsoPacket;
  for (LONG i = 0; i < m_NumPackets; ++i) {
    packets[i].Offset = ULONG(i) * m_PacketSize;
    packets[i].Length = m_PacketSize;
  }
  PrepareIrp();
}

void CIsochUrb::DeliverData() {
  const struct _URB_ISOCH_TRANSFER& iso = m_Urb->UrbIsochronousTransfer;
  if (iso.Hdr.Status == USBD_STATUS_ISOCH_REQUEST_FAILED) return;
  LONG count = LONG(iso.NumberOfPackets);
  if (count <= 0) return;
  if (count > m_NumPackets) count = m_NumPackets;

  // Contiguous payloads form one run; an empty packet or a gap ends it.
  const USBD_ISO_PACKET_DESCRIPTOR* packets = iso.IsoPacket;
  PUCHAR run = nullptr;
  ULONG runLength = 0;
  for (LONG i = 0; i < count; ++i) {
    const ULONG offset = packets[i].Offset;
    ULONG length = packets[i].Length;
    if (offset > m_TransferSize || length > m_TransferSize - offset) length = 0;  // not inside our buffer
    // A failed packet holds nothing to trust, and the camera's bytes it
    // carried are gone: the frame router is told where the gap is.
    const bool lost = USBD_ERROR(packets[i].Status);
    if (lost) length = 0;
    PUCHAR start = length != 0 ? m_Buffer + offset : nullptr;
    if (run != nullptr && (length == 0 || start != run + runLength)) {
      m_Reader->HandleData(run, runLength);
      run = nullptr;
      runLength = 0;
    }
    if (lost) m_Reader->HandleData(nullptr, 0);
    if (length != 0) {
      if (run == nullptr) run = start;
      runLength += length;
    }
  }
  if (run != nullptr) m_Reader->HandleData(run, runLength);
}

CBulkUrb::CBulkUrb(ContinuousReader* reader, ULONG transferSize) : CSingleUrb(reader, transferSize) {
  m_Urb = static_cast<PURB>(AllocateZeroed(sizeof(URB)));
  OVRA_LOG(kLogDetail, "CBulkUrb::CBulkUrb - %p, IRP %p, URB %p\n", this, m_Irp, m_Urb);
}

void CBulkUrb::FillUrb() {
  RtlZeroMemory(m_Urb, sizeof(URB));
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = m_Urb->UrbBulkOrInterruptTransfer;
  bulk.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bulk.PipeHandle = m_Reader->m_Pipe->PipeHandle;
  bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  bulk.TransferBufferLength = m_TransferSize;
  bulk.TransferBuffer = m_Buffer;
  bulk.TransferBufferMDL = nullptr;
  bulk.UrbLink = nullptr;
  PrepareIrp();
}

void CBulkUrb::DeliverData() {
  ULONG length = m_Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (length > m_TransferSize) length = m_TransferSize;
  m_Reader->HandleData(m_Buffer, length);
}

// ---------------------------------------------------------------------------
// Readers.

ContinuousReader::ContinuousReader(CUSBHardware* hardware, PUSBD_PIPE_INFORMATION pipe)
    : m_Hardware(hardware),
      m_Running(FALSE),
      m_Pipe(pipe),
      m_Completions(0),
      m_WorkItem(nullptr),
      m_WorkQueued(FALSE),
      m_WorkFlags(0),
      m_Recoveries(0),
      m_PipeHalted(FALSE),
      m_Recovering(FALSE),
      m_LastError(USBD_STATUS_SUCCESS),
      m_TransferSize(0),
      m_TransferCount(0),
      m_Isochronous(FALSE) {
  OVRA_LOG(kLogTrace, "ContinuousReader::ContinuousReader\n");
  OVRA_LOG(kLogDetail, "Pipe handle is %p\n", pipe->PipeHandle);
  InitializeListHead(&m_Busy);
  InitializeListHead(&m_Idle);
  KeInitializeTimer(&m_Timer);
  KeInitializeDpc(&m_Dpc, TimerDpc, this);
  KeInitializeEvent(&m_WorkIdle, NotificationEvent, TRUE);
  KeInitializeMutex(&m_ControlLock, 0);
  m_WorkItem = IoAllocateWorkItem(hardware->m_Device->FunctionalDeviceObject);
}

ContinuousReader::~ContinuousReader() {
  PAGED_CODE();
  Shutdown();
  FreeIdleUrbs();
  if (m_WorkItem != nullptr) IoFreeWorkItem(m_WorkItem);
}

void ContinuousReader::Shutdown() {
  PAGED_CODE();
  Stop();
  // No watchdog tick may run, and no work item may be queued or running,
  // once the reader is gone: the timer first, so that no tick queues work
  // after the wait for the work item.
  KeCancelTimer(&m_Timer);
  KeFlushQueuedDpcs();
  WaitFor(&m_WorkIdle);
}

void ContinuousReader::Delete(ContinuousReader* reader) {
  if (reader == nullptr) return;
  reader->~ContinuousReader();
  ExFreePool(reader);
}

void ContinuousReader::HandleData(PUCHAR data, ULONG length) { m_Hardware->HandleData(data, length); }

void ContinuousReader::BuildTransfers(ULONG size, ULONG count) {
  m_TransferSize = size;
  m_TransferCount = count;
  const ULONG packetSize = m_Pipe->MaximumPacketSize;
  if (m_Isochronous && CIsochReader::PacketsPerTransfer(packetSize, size) == 0) return;

  for (ULONG i = 0; i < count; ++i) {
    CSingleUrb* transfer = nullptr;
    if (m_Isochronous) {
      void* memory = AllocateZeroed(sizeof(CIsochUrb));
      if (memory != nullptr) transfer = new (memory, Placement::At) CIsochUrb(this, size, packetSize);
    } else {
      void* memory = AllocateZeroed(sizeof(CBulkUrb));
      if (memory != nullptr) transfer = new (memory, Placement::At) CBulkUrb(this, size);
    }
    if (transfer == nullptr) continue;
    if (!transfer->Complete()) {
      CSingleUrb::Free(transfer);  // never submitted
      continue;
    }
    transfer->FillUrb();
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_Hardware->m_Lock);
    InsertTailList(&m_Idle, &transfer->m_Link);
    KeReleaseSpinLock(&m_Hardware->m_Lock, irql);
  }
}

void ContinuousReader::SubmitIdle() {
  PKSPIN_LOCK lock = &m_Hardware->m_Lock;
  // The transfers idle now, one at a time: moved under the lock, submitted
  // outside it. One that fails at once is back on m_Idle before this loop
  // ends and waits for the next recovery instead of being submitted again.
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
  ULONG count = 0;
  for (PLIST_ENTRY e = m_Idle.Flink; e != &m_Idle; e = e->Flink) ++count;
  KeReleaseSpinLock(lock, irql);
  for (; count != 0; --count) {
    irql = KeAcquireSpinLockRaiseToDpc(lock);
    if (!m_Running || IsListEmpty(&m_Idle)) {
      KeReleaseSpinLock(lock, irql);
      break;
    }
    CSingleUrb* transfer = CSingleUrb::FromLink(RemoveHeadList(&m_Idle));
    InsertTailList(&m_Busy, &transfer->m_Link);
    transfer->m_InFlight = TRUE;
    PIRP irp = transfer->m_Irp;
    KeReleaseSpinLock(lock, irql);
    const NTSTATUS status = IofCallDriver(LowerDevice(), irp);
    OVRA_LOG(kLogDetail, "Submitted %p status %08x\n", transfer, status);
  }
}

bool ContinuousReader::RequestWork(ULONG flags) {
  if (m_WorkItem == nullptr) return false;
  m_WorkFlags |= flags;
  if (m_WorkQueued) return false;  // the running or queued work item picks the flags up
  m_WorkQueued = TRUE;
  KeClearEvent(&m_WorkIdle);
  return true;
}

ULONG ContinuousReader::TransferCount() {
  ULONG count = 0;
  const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_Hardware->m_Lock);
  for (PLIST_ENTRY e = m_Idle.Flink; e != &m_Idle; e = e->Flink) ++count;
  for (PLIST_ENTRY e = m_Busy.Flink; e != &m_Busy; e = e->Flink) ++count;
  KeReleaseSpinLock(&m_Hardware->m_Lock, irql);
  return count;
}

void ContinuousReader::Start() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter ContinuousReader::Start\n");
  WaitFor(&m_ControlLock);
  PKSPIN_LOCK lock = &m_Hardware->m_Lock;

  // A reader stopped earlier has freed its transfers; streaming again needs a new set.
  if (TransferCount() == 0 && m_TransferCount != 0) BuildTransfers(m_TransferSize, m_TransferCount);

  const KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
  m_Running = TRUE;
  m_Completions = 0;
  m_Recoveries = 0;
  m_PipeHalted = FALSE;
  KeReleaseSpinLock(lock, irql);
  SubmitIdle();

  LARGE_INTEGER due;
  due.QuadPart = kWatchdogDue;
  KeSetTimerEx(&m_Timer, due, kWatchdogPeriodMs, &m_Dpc);
  KeReleaseMutex(&m_ControlLock, FALSE);
  OVRA_LOG(kLogTrace, "exit ContinuousReader::Start\n");
}

void ContinuousReader::Stop() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter ContinuousReader::Stop\n");
  KeCancelTimer(&m_Timer);
  WaitFor(&m_ControlLock);

  const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&m_Hardware->m_Lock);
  const BOOLEAN wasRunning = m_Running;
  m_Running = FALSE;
  const bool busy = !IsListEmpty(&m_Busy);
  KeReleaseSpinLock(&m_Hardware->m_Lock, irql);
  if (!wasRunning) {
    KeReleaseMutex(&m_ControlLock, FALSE);
    return;
  }

  if (busy) AbortPipe();
  WaitEmpty();
  FreeIdleUrbs();
  KeReleaseMutex(&m_ControlLock, FALSE);
  OVRA_LOG(kLogTrace, "exit ContinuousReader::Stop\n");
}

void ContinuousReader::AbortPipe() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "ContinuousReader::AbortPipe pipe=%p\n", m_Pipe->PipeHandle);
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  urb.UrbPipeRequest.PipeHandle = m_Pipe->PipeHandle;
  m_Hardware->CallUSBD(&urb);
}

NTSTATUS ContinuousReader::ResetPipe() {
  PAGED_CODE();
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb.UrbPipeRequest.PipeHandle = m_Pipe->PipeHandle;
  const NTSTATUS status = m_Hardware->CallUSBD(&urb);
  OVRA_LOG(kLogWarning, "ContinuousReader::ResetPipe pipe=%p status %08x\n", m_Pipe->PipeHandle, status);
  return status;
}

void ContinuousReader::WaitEmpty() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter ContinuousReader::WaitEmpty\n");
  PKSPIN_LOCK lock = &m_Hardware->m_Lock;
  for (;;) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
    const bool empty = IsListEmpty(&m_Busy);
    KeReleaseSpinLock(lock, irql);
    if (empty) break;

    LARGE_INTEGER interval;
    interval.QuadPart = kWaitEmptyPoll;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);

    // Cancel the first transfer still in the USB stack. Marking it keeps its
    // completion from freeing it while IoCancelIrp may still touch the IRP.
    CSingleUrb* victim = nullptr;
    irql = KeAcquireSpinLockRaiseToDpc(lock);
    for (PLIST_ENTRY e = m_Busy.Flink; e != &m_Busy; e = e->Flink) {
      CSingleUrb* transfer = CSingleUrb::FromLink(e);
      if (transfer->m_InFlight) {
        victim = transfer;
        victim->m_Cancelling = TRUE;
        break;
      }
    }
    KeReleaseSpinLock(lock, irql);
    if (victim == nullptr) continue;  // only completions in progress: they retire themselves

    OVRA_LOG(kLogTrace, "cancelling %p\n", victim->m_Irp);
    IoCancelIrp(victim->m_Irp);

    irql = KeAcquireSpinLockRaiseToDpc(lock);
    victim->m_Cancelling = FALSE;
    const bool retired = victim->m_Retired;
    KeReleaseSpinLock(lock, irql);
    if (retired) CSingleUrb::Free(victim);
  }
  OVRA_LOG(kLogTrace, "exit ContinuousReader::WaitEmpty\n");
}

void ContinuousReader::FreeIdleUrbs() {
  PKSPIN_LOCK lock = &m_Hardware->m_Lock;
  for (;;) {
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
    if (IsListEmpty(&m_Idle)) {
      KeReleaseSpinLock(lock, irql);
      break;
    }
    CSingleUrb* transfer = CSingleUrb::FromLink(RemoveHeadList(&m_Idle));
    KeReleaseSpinLock(lock, irql);
    CSingleUrb::Free(transfer);
  }
}

void ContinuousReader::TimerDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2) {
  UNREFERENCED_PARAMETER(dpc);
  UNREFERENCED_PARAMETER(arg1);
  UNREFERENCED_PARAMETER(arg2);
  static_cast<ContinuousReader*>(context)->TimerTick();
}

void ContinuousReader::TimerTick() {
  if (m_Completions != 0) {
    m_Completions = 0;
    return;
  }
  // One flush per idle period, and none while the work item is busy.
  KeAcquireSpinLockAtDpcLevel(&m_Hardware->m_Lock);
  const bool queue = m_Running && !m_WorkQueued && RequestWork(kWorkFlush);
  KeReleaseSpinLockFromDpcLevel(&m_Hardware->m_Lock);
  if (queue) IoQueueWorkItem(m_WorkItem, WorkRoutine, DelayedWorkQueue, this);
}

void ContinuousReader::WorkRoutine(PDEVICE_OBJECT device, PVOID context) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(device);
  auto* reader = static_cast<ContinuousReader*>(context);
  // The lock belongs to the hardware object, which outlives the reader: once
  // the idle event is set the reader may be deleted.
  PKSPIN_LOCK lock = &reader->m_Hardware->m_Lock;
  for (;;) {
    const KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
    const ULONG flags = reader->m_WorkFlags;
    reader->m_WorkFlags = 0;
    if (flags == 0) {
      reader->m_WorkQueued = FALSE;
      KeSetEvent(&reader->m_WorkIdle, IO_NO_INCREMENT, FALSE);
      KeReleaseSpinLock(lock, irql);
      return;
    }
    KeReleaseSpinLock(lock, irql);
    if (flags & kWorkFlush) reader->FlushBridge();
    if (flags & kWorkRecover) reader->RecoverPipe();
  }
}

void ContinuousReader::FlushBridge() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "ContinuousReader::FlushBridge\n");
  const NTSTATUS status = m_Hardware->SubmitVendorRequest(nullptr, 0, FALSE, kVrFlush, 0, 0);
  if (!NT_SUCCESS(status)) Stop();
}

void ContinuousReader::RecoverPipe() {
  PAGED_CODE();
  PKSPIN_LOCK lock = &m_Hardware->m_Lock;
  WaitFor(&m_ControlLock);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
  const BOOLEAN running = m_Running;
  const LONG recoveries = ++m_Recoveries;
  const BOOLEAN halted = m_PipeHalted;
  const USBD_STATUS error = m_LastError;
  m_PipeHalted = FALSE;
  KeReleaseSpinLock(lock, irql);
  if (!running) {
    KeReleaseMutex(&m_ControlLock, FALSE);
    return;
  }
  if (recoveries > kPipeRecoveries) {
    OVRA_LOG(kLogError, "ContinuousReader::RecoverPipe - video pipe keeps failing (USB Err %08x), reader stopped\n",
             error);
    KeReleaseMutex(&m_ControlLock, FALSE);
    Stop();
    return;
  }
  if (halted) {
    // A halted pipe is reset with no transfer on it: the others come back
    // through an abort and wait on m_Idle with the failed ones.
    irql = KeAcquireSpinLockRaiseToDpc(lock);
    const bool busy = !IsListEmpty(&m_Busy);
    m_Recovering = busy;
    KeReleaseSpinLock(lock, irql);
    if (busy) {
      AbortPipe();
      for (ULONG poll = 0; poll < kAbortPolls; ++poll) {
        irql = KeAcquireSpinLockRaiseToDpc(lock);
        const bool empty = IsListEmpty(&m_Busy);
        KeReleaseSpinLock(lock, irql);
        if (empty) break;
        Delay(kWaitEmptyPoll);
      }
      irql = KeAcquireSpinLockRaiseToDpc(lock);
      m_Recovering = FALSE;
      KeReleaseSpinLock(lock, irql);
    }
    ResetPipe();
  }
  SubmitIdle();
  KeReleaseMutex(&m_ControlLock, FALSE);
}

CIsochReader::CIsochReader(CUSBHardware* hardware, PUSBD_PIPE_INFORMATION pipe, ULONG transferSize, ULONG count)
    : ContinuousReader(hardware, pipe) {
  OVRA_LOG(kLogTrace, "CIsochReader::CIsochReader( %p, %p, %d, %d )\n", hardware, pipe, transferSize, count);
  OVRA_LOG(kLogTrace, "Max packet size = %04x (%d)\n", pipe->MaximumPacketSize, pipe->MaximumPacketSize);
  m_Isochronous = TRUE;
  // Whole packets only: the transfer length is what its packets hold.
  const ULONG packets = PacketsPerTransfer(pipe->MaximumPacketSize, transferSize);
  if (packets == 0) {
    OVRA_LOG(kLogError, "CIsochReader: packet size %d not supported\n", pipe->MaximumPacketSize);
    return;
  }
  BuildTransfers(packets * pipe->MaximumPacketSize, count);
}

CIsochReader::~CIsochReader() { OVRA_LOG(kLogTrace, "CIsochReader::~CIsochReader\n"); }

ULONG CIsochReader::PacketsPerTransfer(ULONG packetSize, ULONG transferSize) {
  if (packetSize == 0) return 0;
  const ULONG packets = transferSize / packetSize;
  if (packets == 0 || packets > kMaxIsochPackets || packets % kIsochPacketMultiple != 0) return 0;
  return packets;
}

CBulkReader::CBulkReader(CUSBHardware* hardware, PUSBD_PIPE_INFORMATION pipe, ULONG transferSize, ULONG count)
    : ContinuousReader(hardware, pipe) {
  BuildTransfers(transferSize, count);
}
