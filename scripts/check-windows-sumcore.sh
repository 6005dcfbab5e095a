#!/usr/bin/env bash
# Cross-builds sumcore.dll for 64- and 32-bit Windows with mingw-w64 and checks with objdump
# that each exports exactly the undecorated CRCBuffer and needs no runtime DLL beside the
# system's own. Needs: g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fail=0
for arch in x86_64 i686; do
    out="$top/build-windows-$arch"
    cmake -S "$top/sumcore" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    # A stdcall fix-up warning would mean the export was matched by guesswork.
    log=$(cmake --build "$out" 2>&1)
    if grep -qi "fixup\|warning" <<<"$log"; then
        echo "$arch: $log"
        fail=1
    fi
    dll="$out/sumcore.dll"
    dump=$("$arch-w64-mingw32-objdump" -p "$dll")
    exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /\[/ {print $NF} on && !/\[/ {on=0}' <<<"$dump")
    imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort -u | tr '\n' ' ')
    echo "$arch: exports [$exports], imports [$imports]"
    if [ "$exports" != "CRCBuffer" ]; then
        echo "$arch: FAIL: the one export must be CRCBuffer"
        fail=1
    fi
    for dll_name in $imports; do
        case "${dll_name,,}" in
        kernel32.dll | msvcrt.dll | api-ms-win-crt-*.dll) ;;
        *)
            echo "$arch: FAIL: needs $dll_name"
            fail=1
            ;;
        esac
    done
done
exit $fail
