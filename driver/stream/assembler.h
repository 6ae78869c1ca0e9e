// The frame router and the pins' assemblers: what they keep between blocks
// of video data.
#pragma once

#include "../common/common.h"

// Assembler states, kept in CCameraDevice::AssemblerState between blocks.
enum AssemblerStateId : ULONG {
  kStateActiveLine = 0,
  kStateExpectSav = 1,
  kStateExpectEav = 2,
  kStateVerticalBlanking = 3,
  kStateWaitActive = 4,
  kStateFieldStart = 5,
  kStateHorizontalBlanking = 6,
  kStateResync = 7,
  kStateFieldComplete = 8,
};

// A timing code split by a block end leaves 1 to 3 of its bytes behind, kept
// right-aligned in CCameraDevice::CarriedCode; the assembler context is then
// minus the number still to be parsed before the next block.
constexpr ULONG kMaxCarriedBytes = 3;

