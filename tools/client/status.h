// NT status codes as people read them.
#pragma once

#include <string>

#include <host/nt.h>

namespace ovra {

// "STATUS_NO_MATCH (0xC0000272)", or the bare code for one without a name here.
std::string StatusText(NTSTATUS status);

}  // namespace ovra
