// Streaming subsystem: the capture filter and its pins, the static
// descriptors that each started camera copies and edits, the frame router and
// assembler, and still capture.
#pragma once

#include "capture_filter.h"
#include "capture_pin.h"

// Filter descriptor template: two pins (capture, still), the filter dispatch
// and the template automation table. A started device works on a copy.
extern const KSFILTER_DESCRIPTOR CaptureFilterDescriptor;
// The template automation table: the four common property sets, the
// interleave set and the vendor method set.
extern const KSAUTOMATION_TABLE CaptureFilterAutomationTable;
// Pin descriptor templates, in pin-id order; each has one data range.
extern const KSPIN_DESCRIPTOR_EX CapturePinDescriptors[2];
// Data range templates of the capture and the still pin (720 x 488).
extern const KS_DATARANGE_VIDEO CaptureRangeTemplate;
extern const KS_DATARANGE_VIDEO StillRangeTemplate;
// Allocator framing template shared by both pins.
extern const KSALLOCATOR_FRAMING_EX PinAllocatorFraming;

// Number of common property sets that lead every list.
constexpr ULONG kCommonPropertySets = 4;
// The property-set list of a model type: the common sets followed by the
// model's set(s) for types 1..6 and none for 8; any other type gets the
// template's list (common sets and the interleave set). Never null.
const KSPROPERTY_SET* ModelPropertySets(ULONG modelType, PULONG count);
