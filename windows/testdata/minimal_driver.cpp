// A minimal driver image with one chosen defect, built to show that the image
// check rejects it. Without a defect macro the image passes the check.
extern "C" __declspec(dllimport) unsigned long DbgPrint(const char* format, ...);

#if defined(WITH_WIN32_IMPORT)
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);
#endif
#if defined(WITH_RUNTIME_IMPORT)
// Resolved through an import library that claims ntoskrnl.exe exports it.
void* operator new(decltype(sizeof(0)) bytes);
#endif
#if defined(WITH_STATIC_CONSTRUCTOR)
struct Counter {
  Counter() : value(DbgPrint("constructed\n")) {}
  unsigned long value;
};
Counter g_counter;
#endif

extern "C" long DriverEntry(void* driver, void* registryPath) {
  DbgPrint("loaded\n");
#if defined(WITH_WIN32_IMPORT)
  Sleep(1);
#endif
#if defined(WITH_RUNTIME_IMPORT)
  void* volatile block = operator new(16);
  return block == registryPath ? 1 : 0;
#endif
#if defined(WITH_STATIC_CONSTRUCTOR)
  return long(g_counter.value);
#endif
  return 0;
}

extern "C" long OtherEntry(void* driver, void* registryPath) { return DriverEntry(driver, registryPath); }
