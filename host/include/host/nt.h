// User-mode stand-in for the ntoskrnl interface a kernel driver sees: types with
// their Windows x64 layouts, status codes, and the routines' prototypes.
// Names follow the WDK so that driver sources compile unchanged against both.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <stdarg.h>

#if !defined(__x86_64__) && !defined(_M_X64)
#error "the host platform models Windows x64 and needs a 64-bit build"
#endif

#define NTAPI
#define NTSYSAPI
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define FORCEINLINE inline __attribute__((always_inline))
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define IN
#define OUT
#define OPTIONAL
#define _In_
#define _Out_
#define _Inout_

#ifdef __cplusplus
#define HOST_EXTERN_C extern "C"
#else
#define HOST_EXTERN_C extern
#endif

// ---------------------------------------------------------------------------
// Base types. LONG and ULONG are 32 bits as on Windows, WCHAR is 16 bits.
typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR;
typedef const char* PCSTR;
typedef signed char CCHAR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef int16_t SHORT, CSHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT, WORD;
typedef int32_t LONG, *PLONG, INT, BOOL;
typedef uint32_t ULONG, *PULONG, UINT, DWORD, *PDWORD;
typedef int64_t LONGLONG, LONG64, *PLONGLONG, *PLONG64, REFERENCE_TIME;
typedef uint64_t ULONGLONG, ULONG64, DWORD64, *PULONGLONG;
typedef intptr_t LONG_PTR, INT_PTR;
typedef uintptr_t ULONG_PTR, UINT_PTR, SIZE_T, *PULONG_PTR, *PSIZE_T, KAFFINITY;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef char16_t WCHAR, *PWCHAR, *PWSTR, *PWCH;
typedef const char16_t* PCWSTR;
typedef const char16_t* PCWCH;
typedef WCHAR TCHAR;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;
typedef ULONG LOGICAL;
typedef float FLOAT;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

#ifdef __cplusplus
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID& a, const GUID& b) { return !IsEqualGUID(a, b); }
#endif

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARGUMENT_PRESENT(p) ((p) != NULL)
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

// ---------------------------------------------------------------------------
// Status codes.
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_DATA_ERROR ((NTSTATUS)0xC000003EL)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)

// ---------------------------------------------------------------------------
// Doubly linked lists. The helpers check the neighbours' links the way the
// kernel's do and fast-fail (stop the test) on a corrupt list.
typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
HOST_EXTERN_C __attribute__((noreturn)) void __fastfail(unsigned int code);

static inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
static inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
static inline void HostCheckListEntry(PLIST_ENTRY e) {
  if (e->Flink->Blink != e || e->Blink->Flink != e) __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
}
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  if (next->Blink != entry || prev->Flink != entry) __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
  prev->Flink = next;
  next->Blink = prev;
  return (BOOLEAN)(next == prev);
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  PLIST_ENTRY next = entry->Flink;
  if (entry->Blink != head || next->Blink != entry) __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
  head->Flink = next;
  next->Blink = head;
  return entry;
}
static inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  PLIST_ENTRY prev = entry->Blink;
  if (entry->Flink != head || prev->Flink != entry) __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
  head->Blink = prev;
  prev->Flink = head;
  return entry;
}
static inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY prev = head->Blink;
  if (prev->Flink != head) __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
  entry->Flink = head;
  entry->Blink = prev;
  prev->Flink = entry;
  head->Blink = entry;
}
static inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY next = head->Flink;
  if (next->Blink != head) __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
  entry->Flink = next;
  entry->Blink = head;
  next->Blink = entry;
  head->Flink = entry;
}

// ---------------------------------------------------------------------------
// IRQL, processor mode, pool.
typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
} POOL_TYPE;

HOST_EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
HOST_EXTERN_C PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes);
HOST_EXTERN_C void ExFreePoolWithTag(PVOID p, ULONG tag);
HOST_EXTERN_C void ExFreePool(PVOID p);

HOST_EXTERN_C KIRQL KeGetCurrentIrql(void);
HOST_EXTERN_C void KfRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
HOST_EXTERN_C void KeLowerIrql(KIRQL newIrql);
#define KeRaiseIrql(n, o) KfRaiseIrql((n), (o))
HOST_EXTERN_C KIRQL KeRaiseIrqlToDpcLevel(void);

// Stops the test when called above APC_LEVEL (the routine is pageable).
HOST_EXTERN_C void HostPagedCodeCheck(const char* function);
#define PAGED_CODE() HostPagedCodeCheck(__func__)

HOST_EXTERN_C __attribute__((noreturn)) void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2,
                                                           ULONG_PTR p3, ULONG_PTR p4);
HOST_EXTERN_C __attribute__((noreturn)) void KeBugCheck(ULONG code);
HOST_EXTERN_C void HostAssertFailed(const char* expr, const char* file, int line);
#define ASSERT(e) ((e) ? (void)0 : HostAssertFailed(#e, __FILE__, __LINE__))
#define NT_ASSERT(e) ASSERT(e)

// ---------------------------------------------------------------------------
// Interlocked operations (full barriers). Each is an interleaving point
// before and after (host.h), except in the host's own code.
#ifdef HOST_NO_INTERLEAVE_POINTS
#define HOST_INTERLOCKED(type, expr) return (expr)
#else
HOST_EXTERN_C void HostInterleavePoint(void);
#define HOST_INTERLOCKED(type, expr) \
  HostInterleavePoint();             \
  const type result_ = (expr);       \
  HostInterleavePoint();             \
  return result_
#endif
static inline LONG InterlockedIncrement(LONG volatile* p) { HOST_INTERLOCKED(LONG, __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST)); }
static inline LONG InterlockedDecrement(LONG volatile* p) { HOST_INTERLOCKED(LONG, __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST)); }
static inline LONG InterlockedExchange(LONG volatile* p, LONG v) { HOST_INTERLOCKED(LONG, __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST)); }
static inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { HOST_INTERLOCKED(LONG, __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST)); }
static inline LONG InterlockedOr(LONG volatile* p, LONG v) { HOST_INTERLOCKED(LONG, __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST)); }
static inline LONG InterlockedAnd(LONG volatile* p, LONG v) { HOST_INTERLOCKED(LONG, __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST)); }
static inline LONG HostCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
static inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
  HOST_INTERLOCKED(LONG, HostCompareExchange(p, exchange, comparand));
}
static inline LONG64 InterlockedIncrement64(LONG64 volatile* p) { HOST_INTERLOCKED(LONG64, __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST)); }
static inline LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v) { HOST_INTERLOCKED(LONG64, __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST)); }
static inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* p, LONG64 v) { HOST_INTERLOCKED(LONG64, __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST)); }
static inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { HOST_INTERLOCKED(PVOID, __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST)); }
static inline PVOID HostCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  HOST_INTERLOCKED(PVOID, HostCompareExchangePointer(p, exchange, comparand));
}
static inline char InterlockedExchange8(char volatile* p, char v) { HOST_INTERLOCKED(char, __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST)); }

// ---------------------------------------------------------------------------
// Dispatcher objects, spin locks, timers, DPCs.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;  // one of the HostObject* values below
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Reserved1;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

enum { HostObjectNotificationEvent = 0, HostObjectSynchronizationEvent = 1, HostObjectMutex = 2,
       HostObjectNotificationTimer = 8, HostObjectSynchronizationTimer = 9 };

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KDPC* PKDPC;
typedef struct _KDPC* PRKDPC;
typedef void KDEFERRED_ROUTINE(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while queued
} KDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;  // host: scheduler bookkeeping
  PKDPC Dpc;
  ULONG Processor;
  LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PVOID OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _FAST_MUTEX {
  LONG Count;
  PVOID Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 } KWAIT_REASON;
typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

HOST_EXTERN_C void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
HOST_EXTERN_C LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
HOST_EXTERN_C void KeClearEvent(PRKEVENT event);
HOST_EXTERN_C LONG KeResetEvent(PRKEVENT event);
HOST_EXTERN_C LONG KeReadStateEvent(PRKEVENT event);
HOST_EXTERN_C NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                                             BOOLEAN alertable, PLARGE_INTEGER timeout);
HOST_EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);

HOST_EXTERN_C void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
HOST_EXTERN_C LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
HOST_EXTERN_C LONG KeReadStateMutex(PRKMUTEX mutex);
HOST_EXTERN_C void ExInitializeFastMutex(PFAST_MUTEX mutex);
HOST_EXTERN_C void ExAcquireFastMutex(PFAST_MUTEX mutex);
HOST_EXTERN_C void ExReleaseFastMutex(PFAST_MUTEX mutex);

HOST_EXTERN_C void KeInitializeSpinLock(PKSPIN_LOCK lock);
HOST_EXTERN_C KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);
HOST_EXTERN_C void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
HOST_EXTERN_C void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
HOST_EXTERN_C void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KeAcquireSpinLockRaiseToDpc(lock))

HOST_EXTERN_C void KeInitializeTimer(PKTIMER timer);
HOST_EXTERN_C void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
HOST_EXTERN_C BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
HOST_EXTERN_C BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc);
HOST_EXTERN_C BOOLEAN KeCancelTimer(PKTIMER timer);
HOST_EXTERN_C BOOLEAN KeReadStateTimer(PKTIMER timer);

HOST_EXTERN_C void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
HOST_EXTERN_C BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2);
HOST_EXTERN_C BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
HOST_EXTERN_C void KeFlushQueuedDpcs(void);

// System time (100-ns units since 1601) and interrupt time (100-ns units since boot).
HOST_EXTERN_C void KeQuerySystemTime(PLARGE_INTEGER time);
HOST_EXTERN_C ULONGLONG KeQueryInterruptTime(void);
HOST_EXTERN_C LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency);
HOST_EXTERN_C void KeQueryTickCount(PLARGE_INTEGER ticks);

// ---------------------------------------------------------------------------
// I/O manager: device and driver objects, IRPs, work items.
typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PVOID Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _IO_STACK_LOCATION IO_STACK_LOCATION, *PIO_STACK_LOCATION;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;

typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT device, PIRP irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef void DRIVER_UNLOAD(PDRIVER_OBJECT driver);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT device, PIRP irp, PVOID context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef void DRIVER_CANCEL(PDEVICE_OBJECT device, PIRP irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

struct _DRIVER_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
};
typedef struct _DRIVER_EXTENSION DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  DRIVER_INITIALIZE* DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

#define DO_BUFFERED_IO 0x00000004
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;
  PDEVICE_OBJECT AttachedDevice;
  PIRP CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CCHAR StackSize;
  ULONG AlignmentRequirement;
};

struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG OutputBufferLength;
      alignas(8) ULONG InputBufferLength;
      alignas(8) ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};

struct _IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    PIRP MasterIrp;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PVOID UserBuffer;
  PDRIVER_CANCEL volatile CancelRoutine;
  struct {
    struct {
      PVOID DriverContext[4];
      PVOID Thread;
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
  } Tail;
};

#define IoSizeOfIrp(stackSize) ((USHORT)(sizeof(IRP) + (stackSize) * sizeof(IO_STACK_LOCATION)))

static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
static inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
static inline void IoSetNextIrpStackLocation(PIRP irp) {
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}
static inline void IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
static inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  memcpy(next, cur, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
static inline void IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
static inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                          BOOLEAN onSuccess, BOOLEAN onError, BOOLEAN onCancel) {
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->CompletionRoutine = routine;
  s->Context = context;
  s->Control = 0;
  if (onSuccess) s->Control |= SL_INVOKE_ON_SUCCESS;
  if (onError) s->Control |= SL_INVOKE_ON_ERROR;
  if (onCancel) s->Control |= SL_INVOKE_ON_CANCEL;
}
static inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&irp->CancelRoutine, (PVOID)routine);
}

HOST_EXTERN_C PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
HOST_EXTERN_C void IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize);
HOST_EXTERN_C void IoReuseIrp(PIRP irp, NTSTATUS status);
HOST_EXTERN_C void IoFreeIrp(PIRP irp);
HOST_EXTERN_C BOOLEAN IoCancelIrp(PIRP irp);
HOST_EXTERN_C NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp);
HOST_EXTERN_C void IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
#define IoCallDriver(d, i) IofCallDriver((d), (i))
#define IoCompleteRequest(i, b) IofCompleteRequest((i), (b))
HOST_EXTERN_C void IoAcquireCancelSpinLock(PKIRQL irql);
HOST_EXTERN_C void IoReleaseCancelSpinLock(KIRQL irql);
HOST_EXTERN_C PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                                 ULONG inputLength, PVOID outputBuffer, ULONG outputLength,
                                                 BOOLEAN internalDeviceIoControl, PKEVENT event,
                                                 PIO_STATUS_BLOCK ioStatus);

typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;
typedef void IO_WORKITEM_ROUTINE(PDEVICE_OBJECT device, PVOID context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue } WORK_QUEUE_TYPE;
HOST_EXTERN_C PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device);
HOST_EXTERN_C void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue,
                                   PVOID context);
HOST_EXTERN_C void IoFreeWorkItem(PIO_WORKITEM item);

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_KS 0x0000002f
#define CTL_CODE(type, function, method, access) (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))

// ---------------------------------------------------------------------------
// Registry.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

typedef NTSTATUS RTL_QUERY_REGISTRY_ROUTINE(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength,
                                            PVOID context, PVOID entryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PCWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define STANDARD_RIGHTS_ALL 0x001F0000

HOST_EXTERN_C NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table,
                                              PVOID context, PVOID environment);
HOST_EXTERN_C NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                                             PVOID valueData, ULONG valueLength);
HOST_EXTERN_C NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK access, PHANDLE key);
HOST_EXTERN_C NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                                     ULONG dataSize);
HOST_EXTERN_C NTSTATUS ZwClose(HANDLE handle);
HOST_EXTERN_C void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
HOST_EXTERN_C SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length);

// ---------------------------------------------------------------------------
// Debug output. Levels 0..31 are bit positions, as in the kernel's filter.
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000
// Formats follow the kernel's conventions (%I64d, %ws, %wZ, %ld as 32 bits...).
HOST_EXTERN_C ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...);
HOST_EXTERN_C ULONG vDbgPrintEx(ULONG componentId, ULONG level, PCSTR format, va_list args);
HOST_EXTERN_C ULONG DbgPrint(PCSTR format, ...);
