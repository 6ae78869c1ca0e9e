// Sanitizer defaults for every harness (the environment still overrides them).
// A run frees megabytes of transfer buffers: a small quarantine keeps freed
// memory poisoned for many runs while letting the allocator reuse it, and a
// short allocation context keeps malloc cheap; both matter for exec/s.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:malloc_context_size=8"; }
