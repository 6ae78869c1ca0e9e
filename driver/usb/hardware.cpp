// The hardware base object: construction, resource acquisition and release,
// the stream state, and the data hook towards the device's frame router.
#include "hardware.h"

#include "../device/camera_device.h"
#include "reader.h"
#include "usb_access.h"

namespace {

constexpr UCHAR kNoAlternateSetting = 0xFF;
constexpr ULONG kVideoPipe = 1;  // entry of the pipe table

void FreeDescriptors(CUSBHardware* hw) {
  if (hw->m_DeviceDescriptor != nullptr) ExFreePool(hw->m_DeviceDescriptor);
  if (hw->m_ConfigDescriptor != nullptr) ExFreePool(hw->m_ConfigDescriptor);
  hw->m_DeviceDescriptor = nullptr;
  hw->m_ConfigDescriptor = nullptr;
}

}  // namespace

CUSBHardware::CUSBHardware(CCameraDevice* owner, PKSDEVICE device)
    : m_Device(device),
      m_Removed(FALSE),
      m_Interfaces(nullptr),
      m_Pipes{},
      m_DeviceDescriptor(nullptr),
      m_ConfigDescriptor(nullptr),
      m_NumInterfaces(0),
      m_NumPipes(0),
      m_AlternateSetting(kNoAlternateSetting),
      m_ConfigHandle(nullptr),
      m_Configured(FALSE),
      m_ResourcesAcquired(0),
      m_PowerCount(0),
      m_Triggered(0),
      m_Width(0),
      m_Height(0),
      m_FramePeriod(0),
      m_PowerDelayMs(1000),
      m_Reader(nullptr),
      m_Lock(0),
      m_State(kStreamStopped),
      m_Owner(owner) {
  PAGED_CODE();
  KeInitializeSpinLock(&m_Lock);
  KeInitializeMutex(&m_RegisterLock, 0);
  OVRA_LOG(kLogTrace, "enter CUSBHardware::CUSBHardware\n");

  NTSTATUS status = GetDescriptors();
  if (!NT_SUCCESS(status)) {
    OVRA_LOG(kLogTrace, "exit fail CUSBHardware::CUSBHardware %08x\n", status);
    return;
  }
  status = SelectConfiguration();
  if (!NT_SUCCESS(status)) {
    OVRA_LOG(kLogTrace, "exit fail3 CUSBHardware::CUSBHardware %08x\n", status);
    return;
  }
  status = SelectInterface(0, 0);
  if (!NT_SUCCESS(status)) {
    OVRA_LOG(kLogTrace, "exit fail4 CUSBHardware::CUSBHardware %08x\n", status);
    return;
  }
  m_ResourcesAcquired = 1;
  OVRA_LOG(kLogTrace, "exit CUSBHardware::CUSBHardware\n");
}

CUSBHardware::~CUSBHardware() {
  PAGED_CODE();
  if (m_ResourcesAcquired) {
    ReleaseResources();
    return;
  }
  // A construction or acquisition that failed half-way leaves memory behind
  // without resources held: free it without talking to the device.
  if (m_State != kStreamStopped) Stop();
  ContinuousReader::Delete(m_Reader);
  m_Reader = nullptr;
  FreeInterfaceCopies(this);
  m_NumInterfaces = 0;
  FreeDescriptors(this);
}

void CUSBHardware::HandleData(PUCHAR data, ULONG length) {
  if (m_State == kStreamRunning) m_Owner->HandleVideoData(data, length);
}

void CUSBHardware::SetFormat(const KS_VIDEOINFOHEADER* info) {
  if (info == nullptr) return;
  m_Width = info->bmiHeader.biWidth;
  m_Height = info->bmiHeader.biHeight;
  m_FramePeriod = info->AvgTimePerFrame;
}

ULONG CUSBHardware::GetWidthSetting() {
  if (m_Width > 720) return 3;
  if (m_Width > 640) return 0;
  if (m_Width > 512) return 1;
  return 2;
}

NTSTATUS CUSBHardware::AcquireResources(UCHAR alternateSetting) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CUSBHardware::AcquireResources\n");

  // A reader of an earlier acquisition points into the interface copies that
  // the selection below replaces.
  if (m_Reader != nullptr) {
    Stop();
    ContinuousReader::Delete(m_Reader);
    m_Reader = nullptr;
  }

  NTSTATUS status;
  if (!m_ResourcesAcquired) {
    FreeInterfaceCopies(this);
    m_NumInterfaces = 0;
    m_NumPipes = 0;
    m_Configured = FALSE;
    status = GetDescriptors();
    if (!NT_SUCCESS(status)) {
      OVRA_LOG(kLogTrace, "exit0 CUSBHardware::AcquireResources %x\n", status);
      return status;
    }
    if (m_ConfigDescriptor->bNumInterfaces == 0) {
      OVRA_LOG(kLogTrace, "exit3 CUSBHardware::AcquireResources %x\n", STATUS_INSUFFICIENT_RESOURCES);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = SelectConfiguration();
    if (!NT_SUCCESS(status)) {
      OVRA_LOG(kLogTrace, "exit1 CUSBHardware::AcquireResources %x\n", status);
      return status;
    }
    m_ResourcesAcquired = 1;
  }

  status = SelectInterface(0, alternateSetting);
  if (!NT_SUCCESS(status)) {
    OVRA_LOG(kLogError, "exit2 CUSBHardware::AcquireResources %x\n", status);
    return status;
  }

  SubmitVendorRequest(nullptr, 0, FALSE, kVrStreamReset, 0, 0);

  // The reader of the video pipe. It must end up with transfers to stream with.
  PUSBD_PIPE_INFORMATION pipe = m_NumPipes > LONG(kVideoPipe) ? m_Pipes[kVideoPipe] : nullptr;
  if (pipe == nullptr) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (pipe->PipeType == UsbdPipeTypeBulk) {
    void* memory = AllocateZeroed(sizeof(CBulkReader));
    if (memory != nullptr) m_Reader = new (memory, Placement::At) CBulkReader(this, pipe, kBulkTransferBytes, kReaderTransfers);
    if (m_Reader == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  } else if (pipe->PipeType != UsbdPipeTypeIsochronous) {
    OVRA_LOG(kLogError, "CUSBHardware::AcquireResources - video pipe of type %d cannot stream\n", pipe->PipeType);
    status = STATUS_NOT_SUPPORTED;
  } else if (CIsochReader::PacketsPerTransfer(pipe->MaximumPacketSize, kIsochTransferBytes) == 0) {
    OVRA_LOG(kLogError, "CUSBHardware::AcquireResources - packet size %d gives no valid isochronous transfer\n",
             pipe->MaximumPacketSize);
    status = STATUS_NOT_SUPPORTED;
  } else {
    void* memory = AllocateZeroed(sizeof(CIsochReader));
    if (memory != nullptr) m_Reader = new (memory, Placement::At) CIsochReader(this, pipe, kIsochTransferBytes, kReaderTransfers);
    if (m_Reader == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (m_Reader != nullptr && (m_Reader->TransferCount() == 0 || m_Reader->m_WorkItem == nullptr)) {
    ContinuousReader::Delete(m_Reader);
    m_Reader = nullptr;
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    OVRA_LOG(kLogError, "exit4 CUSBHardware::AcquireResources %x\n", status);
    return status;
  }

  OVRA_LOG(kLogTrace, "exit CUSBHardware::AcquireResources %x\n", status);
  return status;
}

NTSTATUS CUSBHardware::Start() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CUSBHardware::Start\n");
  OVRA_LOG(kLogTrace, "Width Setting %d\n", GetWidthSetting());
  if (m_Reader == nullptr) {
    OVRA_LOG(kLogError, "exit1 CUSBHardware::Start %x\n", STATUS_INVALID_DEVICE_STATE);
    return STATUS_INVALID_DEVICE_STATE;
  }
  SubmitVendorRequest(nullptr, 0, FALSE, kVrStreamReset, 0, 0);
  // Running before the first transfer goes out: a completion on another
  // processor may reach HandleData before Start returns.
  InterlockedExchange(&m_State, kStreamRunning);
  m_Reader->Start();
  OVRA_LOG(kLogTrace, "exit CUSBHardware::Start\n");
  return STATUS_SUCCESS;
}

NTSTATUS CUSBHardware::Pause(BOOLEAN pause) {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CUSBHardware::Pause\n");
  if (pause) {
    InterlockedCompareExchange(&m_State, kStreamPaused, kStreamRunning);
  } else {
    InterlockedCompareExchange(&m_State, kStreamRunning, kStreamPaused);
  }
  OVRA_LOG(kLogTrace, "exit CUSBHardware::Pause\n");
  return STATUS_SUCCESS;
}

NTSTATUS CUSBHardware::Stop() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CUSBHardware::Stop\n");
  if (InterlockedExchange(&m_State, kStreamStopped) != kStreamStopped && m_Reader != nullptr) m_Reader->Stop();
  OVRA_LOG(kLogTrace, "exit CUSBHardware::Stop\n");
  return STATUS_SUCCESS;
}

void CUSBHardware::DeviceRemoved() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CUSBHardware::DeviceRemoved\n");
  m_Removed = TRUE;
  InterlockedExchange(&m_State, kStreamStopped);
  if (m_Reader != nullptr) m_Reader->Shutdown();
  OVRA_LOG(kLogTrace, "exit CUSBHardware::DeviceRemoved\n");
}

NTSTATUS CUSBHardware::ReleaseResources() {
  PAGED_CODE();
  OVRA_LOG(kLogTrace, "enter CUSBHardware::ReleaseResources\n");
  if (m_State != kStreamStopped) Stop();
  if (m_Reader != nullptr) {
    ContinuousReader::Delete(m_Reader);
    m_Reader = nullptr;
  }
  if (!m_ResourcesAcquired) return STATUS_SUCCESS;

  NTSTATUS status = STATUS_SUCCESS;
  if (m_Configured && !m_Removed) {
    if (m_AlternateSetting > 0) SelectInterface(0, 0);
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbSelectConfiguration.Hdr.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    status = CallUSBD(&urb);
    if (NT_SUCCESS(status)) OVRA_LOG(kLogTrace, "Device Configuration Closed.\n");
  }

  m_Configured = FALSE;
  m_ConfigHandle = nullptr;
  FreeInterfaceCopies(this);
  m_NumInterfaces = 0;
  m_NumPipes = 0;
  FreeDescriptors(this);
  m_ResourcesAcquired = 0;
  m_AlternateSetting = kNoAlternateSetting;
  OVRA_LOG(kLogTrace, "exit CUSBHardware::ReleaseResources (%x)\n", status);
  return status;
}
