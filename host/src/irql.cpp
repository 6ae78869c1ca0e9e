// IRQL: one level per host thread. Raising below or lowering above the
// current level, and pageable code above APC_LEVEL, are violations. Lowering
// is an interleaving point (queued DPCs would run now on Windows).
#include "core.h"
#include "internal.h"

namespace host::internal {

const char* IrqlName(KIRQL irql) {
  static const char* const kNames[] = {"PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL", "3", "4", "5", "6", "7", "8",
                                       "9", "10", "11", "12", "13", "14", "HIGH_LEVEL"};
  return irql < RTL_NUMBER_OF(kNames) ? kNames[irql] : "an IRQL above HIGH_LEVEL";
}

KIRQL CurrentIrql() { return Self()->irql; }

std::string CurrentThreadName() { return Self()->name; }

bool RequireIrql(KIRQL maxIrql, const char* what) {
  HostThread* self = Self();
  if (self->irql <= maxIrql) return true;
  Violation("%s called at IRQL %s; allowed up to %s (thread \"%s\")", what, IrqlName(self->irql), IrqlName(maxIrql),
            self->name.c_str());
  return false;
}

}  // namespace host::internal

using host::internal::IrqlName;
using host::internal::Self;

KIRQL KeGetCurrentIrql(void) { return Self()->irql; }

void KfRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  auto* self = Self();
  const KIRQL old = self->irql;
  if (oldIrql != nullptr) *oldIrql = old;
  if (newIrql < old) {
    host::Violation("KeRaiseIrql to %s from the higher %s (thread \"%s\")", IrqlName(newIrql), IrqlName(old),
                    self->name.c_str());
    return;
  }
  self->irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
  auto* self = Self();
  if (newIrql > self->irql) {
    host::Violation("KeLowerIrql to %s from the lower %s (thread \"%s\")", IrqlName(newIrql),
                    IrqlName(self->irql), self->name.c_str());
    return;
  }
  self->irql = newIrql;
  // As on Windows: queued DPCs (another processor's work, in interleaving
  // mode) before the APCs that lowering below APC_LEVEL delivers.
  host::internal::InterleavePoint();
  if (newIrql < APC_LEVEL && self->eventDepth == 0) host::internal::DeliverApcs();
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KfRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

void HostPagedCodeCheck(const char* function) {
  auto* self = Self();
  if (self->irql <= APC_LEVEL) return;
  host::Violation("%s: pageable code called at IRQL %s (PAGED_CODE allows up to APC_LEVEL; thread \"%s\")",
                  function != nullptr ? function : "?", IrqlName(self->irql), self->name.c_str());
}
