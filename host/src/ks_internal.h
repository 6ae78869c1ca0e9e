// Hooks of the AVStream stand-in for its own modules (filters and pins create
// and free object bags the same way devices do).
#pragma once

#include <host/ks.h>

namespace host::ksi {

KSOBJECT_BAG CreateBag();
// Frees every item whose last bag this was (newest first, each through its
// free routine or ExFreePool), then the bag itself.
void FreeBag(KSOBJECT_BAG bag);
bool BagContains(KSOBJECT_BAG bag, const void* item);

}  // namespace host::ksi
