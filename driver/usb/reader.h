// The continuous reader of the video pipe: a fixed set of reusable transfers
// kept in flight while streaming runs, each handing its received bytes to
// the hardware object and going straight back to the USB stack.
#pragma once

#include "hardware.h"

class ContinuousReader;

// Transfers per reader and their sizes.
constexpr ULONG kReaderTransfers = 8;
constexpr ULONG kIsochTransferBytes = 0x18000;  // 98,304
constexpr ULONG kBulkTransferBytes = 0x8000;    // 32,768
// A high-speed isochronous URB carries whole frames of 8 microframes and at
// most 1024 packets.
constexpr ULONG kMaxIsochPackets = 1024;
constexpr ULONG kIsochPacketMultiple = 8;
// Pipe recoveries (reset and resubmission) allowed without a good transfer
// in between; past them the reader stops.
constexpr LONG kPipeRecoveries = 5;

// One reusable transfer: an IRP, a URB and a data buffer, built once.
class CSingleUrb {
 public:
  CSingleUrb(ContinuousReader* reader, ULONG transferSize);

  // Slot 0: rebuilds the URB and the IRP's next stack location.
  virtual void FillUrb() = 0;
  // Slot 1: hands the received bytes to the reader.
  virtual void DeliverData() = 0;

  // The IRP, the URB and the buffer were all allocated.
  bool Complete() const { return m_Irp != nullptr && m_Urb != nullptr && m_Buffer != nullptr; }
  // Frees the IRP, the URB, the buffer and the object.
  static void Free(CSingleUrb* transfer);
  // The transfer whose m_Link this is.
  static CSingleUrb* FromLink(PLIST_ENTRY link);

  static NTSTATUS IrpCompletionRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  NTSTATUS IrpComplete();

  LIST_ENTRY m_Link;
  PIRP m_Irp;
  PURB m_Urb;
  ContinuousReader* m_Reader;
  ULONG m_TransferSize;
  PUCHAR m_Buffer;
  PKSDEVICE m_Device;
  // Bookkeeping under the hardware object's m_Lock (written by the completion
  // at DISPATCH_LEVEL and by Start, Stop and the work item at PASSIVE_LEVEL):
  BOOLEAN m_InFlight;    // the IRP is in the USB stack's hands
  BOOLEAN m_Cancelling;  // WaitEmpty is cancelling the IRP: the completion must not free it
  BOOLEAN m_Retired;     // completed while being cancelled; WaitEmpty frees it
  CCHAR m_StackSize;     // stack locations the IRP was allocated with

 protected:
  // Re-initialises the IRP and points its next stack location at the URB.
  void PrepareIrp();
};

class CIsochUrb : public CSingleUrb {
 public:
  CIsochUrb(ContinuousReader* reader, ULONG transferSize, ULONG packetSize);
  void FillUrb() override;
  void DeliverData() override;

  LONG m_NumPackets;
  ULONG m_PacketSize;
  USHORT m_UrbSize;
};

class CBulkUrb : public CSingleUrb {
 public:
  CBulkUrb(ContinuousReader* reader, ULONG transferSize);
  void FillUrb() override;
  void DeliverData() override;
};

class ContinuousReader {
 public:
  ContinuousReader(CUSBHardware* hardware, PUSBD_PIPE_INFORMATION pipe);

  // Slot 0: one run of received bytes, valid only during the call.
  virtual void HandleData(PUCHAR data, ULONG length);
  // Slot 1: waits for the watchdog, stops a running reader and frees every transfer.
  virtual ~ContinuousReader();

  // Destroys and frees a reader built in pool memory.
  static void Delete(ContinuousReader* reader);

  // Submits every transfer and starts the watchdog. A reader left without
  // transfers by an earlier Stop builds a fresh set first.
  void Start();
  // Ends streaming: every transfer comes back and is freed.
  void Stop();
  // Stops the reader and waits until no watchdog tick and no work item of it
  // runs any more (removal: nothing of the reader may run afterwards).
  void Shutdown();

  // Transfer objects the reader holds (built, in flight or being completed).
  ULONG TransferCount();

  void AbortPipe();
  void WaitEmpty();
  void FreeIdleUrbs();
  void TimerTick();
  static void TimerDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
  // The work item: runs the flush and the pipe recovery asked for.
  static void WorkRoutine(PDEVICE_OBJECT device, PVOID context);
  void FlushBridge();
  void RecoverPipe();
  // Sends a reset-pipe (and clear-stall) request for the video pipe.
  NTSTATUS ResetPipe();

  CUSBHardware* m_Hardware;
  LIST_ENTRY m_Busy;
  LIST_ENTRY m_Idle;
  BOOLEAN m_Running;
  PUSBD_PIPE_INFORMATION m_Pipe;
  KTIMER m_Timer;
  KDPC m_Dpc;
  // Good completions since the last tick. Incremented by completions under
  // m_Lock, cleared by the tick without it: a lost increment costs at most
  // one needless flush.
  ULONG m_Completions;
  // The reader's one work item, allocated with the reader (no allocation at
  // DISPATCH_LEVEL). m_WorkQueued, m_WorkFlags and m_WorkIdle change together
  // under m_Lock.
  PIO_WORKITEM m_WorkItem;
  BOOLEAN m_WorkQueued;
  ULONG m_WorkFlags;  // kWorkFlush, kWorkRecover
  // Signalled while the work item is neither queued nor running.
  KEVENT m_WorkIdle;
  // Under m_Lock: recoveries since the last good transfer; a failed transfer
  // asked for a pipe reset; a recovery is aborting the pipe (aborted
  // transfers wait for resubmission instead of retiring); the last error.
  LONG m_Recoveries;
  BOOLEAN m_PipeHalted;
  BOOLEAN m_Recovering;
  USBD_STATUS m_LastError;
  // Parameters of the transfer set, kept to rebuild it.
  ULONG m_TransferSize;
  ULONG m_TransferCount;
  BOOLEAN m_Isochronous;
  // Serialises Start, Stop and the recovery (the work item stops or
  // resubmits from a worker thread while the device may be stopping it).
  KMUTEX m_ControlLock;

 protected:
  // Builds up to `count` transfers of `size` bytes onto m_Idle.
  void BuildTransfers(ULONG size, ULONG count);
  // Moves every transfer of m_Idle to m_Busy and submits it (m_ControlLock held).
  void SubmitIdle();
  // Asks the work item for `flags`; m_Lock held. True when the caller queues it.
  bool RequestWork(ULONG flags);
  // Lower device object, target of every transfer.
  PDEVICE_OBJECT LowerDevice() const { return m_Hardware->m_Device->NextDeviceObject; }

  friend class CSingleUrb;
};

class CIsochReader : public ContinuousReader {
 public:
  CIsochReader(CUSBHardware* hardware, PUSBD_PIPE_INFORMATION pipe, ULONG transferSize, ULONG count);
  ~CIsochReader() override;
  // Packets per transfer for a packet size, or 0 when no valid high-speed
  // URB carries transfers of about `transferSize` bytes in such packets.
  static ULONG PacketsPerTransfer(ULONG packetSize, ULONG transferSize);
};

class CBulkReader : public ContinuousReader {
 public:
  CBulkReader(CUSBHardware* hardware, PUSBD_PIPE_INFORMATION pipe, ULONG transferSize, ULONG count);
};
