// The one switch between the two builds of the driver: the Windows kernel
// headers (kernel build, through the compatibility header) or the host
// platform's stand-ins (host build). No other driver file includes a system
// or platform header.
#pragma once

#if defined(OVRA_KERNEL)
#include "../../windows/compat.h"
#define OVRA_WIDE(s) L##s
#else
#include <host/ks.h>
#include <host/nt.h>
#include <host/usb.h>
#define OVRA_WIDE(s) u##s
#endif
