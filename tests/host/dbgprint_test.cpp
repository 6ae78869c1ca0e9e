// Debug log: DbgPrintEx formats with the kernel's conventions and argument
// sizes, the rules it enforces, and the queries tests use on the log.
#include "kernel_fixtures.h"

namespace {

template <typename... Args>
std::string Print(const char* format, Args... args) {
  DbgPrintEx(81, DPFLTR_ERROR_LEVEL, format, args...);
  return host::dbg::Entries().back().text;
}

struct Case {
  const char* format;
  std::string got;
  const char* expected;
};
#define CASE(expected, format, ...) Case{format, Print(format, ##__VA_ARGS__), expected}

TEST(DbgPrint, FormatsLikeTheKernel) {
  WCHAR cameraBuffer[] = u"Camera0";
  UNICODE_STRING camera{6 * sizeof(WCHAR), sizeof cameraBuffer, cameraBuffer};  // "Camera" of "Camera0"
  UNICODE_STRING noBuffer{0, 0, nullptr};

  const Case cases[] = {
      // Integers: int, long (32 bits on Windows), 64-bit and pointer-sized.
      CASE("-5 42 4294967295", "%d %i %u", -5, 42, 0xFFFFFFFFu),
      CASE("-1 4294967295 deadbeef", "%ld %lu %lx", LONG(-1), ULONG(0xFFFFFFFF), ULONG(0xDEADBEEF)),
      CASE("00001234 0000ABCD", "%08x %08X", 0x1234u, 0xABCDu),
      CASE("-1234567890123 18446744073709551615", "%I64d %I64u", LONGLONG(-1234567890123), ~ULONGLONG(0)),
      CASE("123456789abcdef0 FEDCBA9876543210", "%I64x %llX", 0x123456789ABCDEF0ull, 0xFEDCBA9876543210ull),
      CASE("-1 ffffffffffffffff", "%Id %Ix", LONG_PTR(-1), ~ULONG_PTR(0)),
      // Argument sizes stay in step across mixed widths.
      CASE("1099511627776 7 x", "%I64d %d %s", LONGLONG(1) << 40, 7, "x"),
      CASE("4294967295 1 2", "%lu %I64u %d", ULONG(0xFFFFFFFF), ULONGLONG(1), 2),
      // Pointers: 16 upper-case digits, no prefix.
      CASE("0000000000001234", "%p", reinterpret_cast<void*>(0x1234)),
      CASE("FFFFF80012345678|", "%p|", reinterpret_cast<void*>(0xFFFFF80012345678ull)),
      // Wide and counted strings.
      CASE("wide cap ls", "%ws %S %ls", u"wide", u"cap", u"ls"),
      CASE("(null) (null) (null)", "%ws %s %wZ", static_cast<PCWSTR>(nullptr), static_cast<const char*>(nullptr),
           static_cast<PUNICODE_STRING>(nullptr)),
      CASE("[Camera] [(null)]", "[%wZ] [%wZ]", &camera, &noBuffer),
      CASE("x \xCE\xA9 \xCE\xA9", "%c %C %wc", 'x', u'\u03A9', u'\u03A9'),
      CASE("\xC3\xA9t\xC3\xA9", "%ws", u"\u00E9t\u00E9"),
      // Flags, width and precision (also through *).
      CASE("+5  5 0xff 010 0XAB", "%+d % d %#x %#o %#X", 5, 5, 255u, 8u, 0xABu),
      CASE("[-3    ] [-0042] [   42]", "[%-6d] [%05d] [%*d]", -3, -42, 5, 42),
      CASE("[7   ] [xy] [abc] [   ab]", "[%-*d] [%.*s] [%.3s] [%5s]", -4, 7, 2, "xyz", "abcdef", "ab"),
      CASE("100% %", "100%% %%"),
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << "format \"" << c.format << "\"";
}

TEST(DbgPrint, EnforcesTheKernelsRestrictions) {
  host::ViolationCapture capture;
  kt::AtIrql(DISPATCH_LEVEL, [] { DbgPrintEx(81, 0, "%d", 1); });
  EXPECT_TRUE(capture.Messages().empty());
  kt::AtIrql(DISPATCH_LEVEL, [] { DbgPrintEx(81, 0, "%ws", u"x"); });  // Unicode conversions are pageable
  DbgPrintEx(81, 0, "%f", 1.5);
  EXPECT_EQ(capture.Messages().size(), 2u);
  EXPECT_TRUE(capture.Saw("Unicode format at IRQL 2") && capture.Saw("floating-point"));
  EXPECT_EQ(Print("%s", std::string(600, 'a').c_str()).size(), 512u);  // at most 512 bytes a call
  int target = 7;
  EXPECT_EQ(Print("ab%n", &target), "ab");  // %n never writes
  EXPECT_EQ(target, 7);
}

TEST(DbgPrint, LogKeepsEveryLevelAndAnswersQueries) {
  DbgPrintEx(81, 0, "enter A\n");
  DbgPrintEx(81, 4, "per block %d\n", 1);
  DbgPrintEx(81, DPFLTR_MASK | 0x8, "mask level three\n");  // a mask: its lowest bit is level 3
  DbgPrintEx(81, 2, "exit A %08x\n", 0);
  DbgPrint("plain\n");
  const auto entries = host::dbg::Entries();
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[1].component, 81u);
  EXPECT_EQ(entries[1].level, 4u);
  EXPECT_EQ(host::dbg::Count(" A"), 2u);
  EXPECT_EQ(host::dbg::Count("", 2), 2u);  // levels 0 and 2; the mask and DbgPrint are level 3
  EXPECT_FALSE(host::dbg::Contains("per block", 3));
  EXPECT_EQ(host::dbg::Find("A", 1), 3);
  const std::string tail = host::dbg::Tail(2);
  EXPECT_TRUE(tail.find("enter") == std::string::npos && tail.find("exit A 00000000\n") != std::string::npos) << tail;
}

}  // namespace
