#!/usr/bin/env bash
# Checks that a built driver image is fit to load as a kernel driver:
#   - PE32+ (x64), subsystem native, entered at DriverEntry, relocatable, NX,
#     with a checksum;
#   - every import comes from ntoskrnl.exe, ks.sys, usbd.sys or hal.dll, and
#     none is a C++ runtime routine;
#   - x64 unwind data (.pdata) is present;
#   - base relocations are all 64-bit (the kernel loads images above 4 GiB);
#   - no static constructors or destructors (nothing would run them) and no
#     thread-local storage.
# Usage: check_image.sh IMAGE [OBJDUMP] [NM]
# Prints one line per problem and exits 1 if there is any.
set -uo pipefail

image=${1:?usage: check_image.sh IMAGE [OBJDUMP] [NM]}
objdump=${2:-x86_64-w64-mingw32-objdump}
nm=${3:-x86_64-w64-mingw32-nm}

if [[ ! -f "$image" ]]; then
  echo "image check: $image: no such file"
  exit 1
fi

headers=$("$objdump" -p "$image" 2>&1) || { echo "image check: $objdump -p failed: $headers"; exit 1; }
sections=$("$objdump" -h "$image" 2>&1) || { echo "image check: $objdump -h failed: $sections"; exit 1; }
symbols=$("$nm" "$image" 2>/dev/null || true)

problems=0
problem() {
  echo "image check: $image: $*"
  problems=$((problems + 1))
}

# --- headers ---------------------------------------------------------------
grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || problem "not a PE32+ (x64) image"
grep -Eq '^Subsystem[[:space:]]+0*1[[:space:]]' <<<"$headers" ||
  problem "subsystem is not native: $(grep -E '^Subsystem' <<<"$headers" | tr -s '\t ' ' ')"
grep -Eq '^CheckSum[[:space:]]+0*[1-9a-fA-F]' <<<"$headers" || problem "no image checksum"
grep -q 'DYNAMIC_BASE' <<<"$headers" || problem "not relocatable (DYNAMIC_BASE missing)"
grep -q 'NX_COMPAT' <<<"$headers" || problem "not NX-compatible (NX_COMPAT missing)"

# Entry point: the RVA of DriverEntry.
entry_rva=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
image_base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
driver_entry=$(awk '$3 == "DriverEntry" {print $1}' <<<"$symbols")
if [[ -z "$driver_entry" ]]; then
  problem "no DriverEntry symbol"
elif [[ -n "$entry_rva" && -n "$image_base" ]] &&
  ((16#$driver_entry - 16#$image_base != 16#$entry_rva)); then
  problem "entry point (RVA $entry_rva) is not DriverEntry"
fi

# --- imports ---------------------------------------------------------------
# "DLL Name: x" starts a DLL's block; its member lines are "vma hint name".
imports=$(awk '
  /^[[:space:]]*DLL Name:/ { dll = $3; next }
  /^[[:space:]]*$/ { next }
  /^The .*Tables/ && !/Import/ { dll = ""; next }
  NF >= 5 { dll = ""; next }  # an import directory entry
  dll != "" && $1 ~ /^[0-9a-fA-F]+$/ && $2 ~ /^[0-9]+$/ { print dll, $3 }
' <<<"$headers")
dlls=$(grep -E '^[[:space:]]*DLL Name:' <<<"$headers" | awk '{print $3}')
if [[ -z "$dlls" ]]; then
  problem "no import table"
fi
for dll in $dlls; do
  case "${dll,,}" in
    ntoskrnl.exe | ks.sys | usbd.sys | hal.dll) ;;
    *) problem "imports from $dll:$(awk -v d="$dll" '$1 == d {printf " %s", $2}' <<<"$imports")" ;;
  esac
done
while read -r dll name; do
  [[ -z "$name" ]] && continue
  case "$name" in
    _Z* | __cxa_* | __gxx_* | _Unwind_* | __cxx* | _purecall | __std_* | __chkstk* | ___chkstk*)
      problem "imports C++ runtime routine $name from $dll" ;;
  esac
done <<<"$imports"

# --- sections --------------------------------------------------------------
if ! grep -Eq '^[[:space:]]*[0-9]+ \.pdata[[:space:]]' <<<"$sections" ||
  grep -Eq '^Entry 3 0+ 0+ ' <<<"$headers"; then
  problem "no .pdata (x64 unwind data)"
fi
grep -Eq '^Entry 9 0+ 0+ ' <<<"$headers" || problem "has thread-local storage"

# --- base relocations ------------------------------------------------------
bad_relocs=$(awk '/^[[:space:]]*reloc[[:space:]]/ { t = $NF; if (t != "DIR64" && t != "ABSOLUTE") print t }' <<<"$headers" |
  sort | uniq -c | awk '{printf " %s x%s", $2, $1}')
[[ -z "$bad_relocs" ]] || problem "base relocations other than 64-bit:$bad_relocs"

# --- static initialisation -------------------------------------------------
ctors=$(awk '$3 ~ /^_GLOBAL__sub_[ID]_/ {printf " %s", $3}' <<<"$symbols")
[[ -z "$ctors" ]] || problem "static constructors or destructors, which nothing runs in the kernel:$ctors"

if ((problems > 0)); then
  echo "image check: $problems problem(s)"
  exit 1
fi
echo "image check: $image: PE32+, native, entry DriverEntry, imports only from $(tr '\n' ' ' <<<"$dlls")"
exit 0
