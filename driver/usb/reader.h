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
// Smallest isochronous packet size whose URB length (152 + 12 bytes per
// packet of a 98,304-byte transfer) stays below 32,768 bytes.
constexpr ULONG kMinIsochPacketSize = 37;

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
  // Bookkeeping under the hardware object's m_Lock:
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

  // Transfer objects the reader holds (built, in flight or being completed).
  ULONG TransferCount();

  void AbortPipe();
  void WaitEmpty();
  void FreeIdleUrbs();
  void TimerTick();
  static void TimerDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
  static void FlushBridge(PDEVICE_OBJECT device, PVOID context);

  CUSBHardware* m_Hardware;
  LIST_ENTRY m_Busy;
  LIST_ENTRY m_Idle;
  BOOLEAN m_Running;
  PUSBD_PIPE_INFORMATION m_Pipe;
  KTIMER m_Timer;
  KDPC m_Dpc;
  ULONG m_Completions;
  PIO_WORKITEM m_WorkItem;
  // Parameters of the transfer set, kept to rebuild it.
  ULONG m_TransferSize;
  ULONG m_TransferCount;
  BOOLEAN m_Isochronous;
  // Signalled while no flush work item is queued or running.
  KEVENT m_FlushIdle;
  // Serialises Start and Stop (a failed flush stops the reader from a worker thread).
  KMUTEX m_ControlLock;

 protected:
  // Builds up to `count` transfers of `size` bytes onto m_Idle.
  void BuildTransfers(ULONG size, ULONG count);
  // Lower device object, target of every transfer.
  PDEVICE_OBJECT LowerDevice() const { return m_Hardware->m_Device->NextDeviceObject; }

  friend class CSingleUrb;
};

class CIsochReader : public ContinuousReader {
 public:
  CIsochReader(CUSBHardware* hardware, PUSBD_PIPE_INFORMATION pipe, ULONG transferSize, ULONG count);
  ~CIsochReader() override;
  // Packet sizes the isochronous reader can build its URBs for.
  static bool PacketSizeSupported(ULONG packetSize, ULONG transferSize);
};

class CBulkReader : public ContinuousReader {
 public:
  CBulkReader(CUSBHardware* hardware, PUSBD_PIPE_INFORMATION pipe, ULONG transferSize, ULONG count);
};
