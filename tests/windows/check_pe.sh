#!/bin/sh
# check_pe.sh - reads a DLL's export table and import list with objdump -p and fails
# unless it exports exactly the undecorated names of EXPORTS (one a line, the list the
# build reads from qel_zmq.h), or on any import from a DLL that is not part of Windows
# (a MinGW runtime, libzmq...).
#   check_pe.sh OBJDUMP DLL EXPORTS
set -eu
objdump=$1
dll=$2
list=$3

dump=$($objdump -p "$dll")
echo "$dump" | grep -q "file format pei-x86-64" || { echo "$dll is not an x86-64 PE image"; exit 1; }
echo "$dump" | grep -q "^Magic.*(PE32+)" || { echo "$dll is not a PE32+ image"; exit 1; }
echo "$dump" | grep -q "^	DLL$" || { echo "$dll is not marked as a DLL"; exit 1; }
status=0

# Export names follow the "[Ordinal/Name Pointer] Table" heading, one per line.
exports=$(echo "$dump" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
    on && /^\t\[ *[0-9]+\]/ { print $NF; next }
    on { on = 0 }' | LC_ALL=C sort)
expected=$(LC_ALL=C sort "$list")
[ -n "$expected" ] || { echo "$list names no export"; exit 1; }
if [ "$exports" != "$expected" ]; then
    echo "exports of $dll differ from the entry points of $list:" $exports
    status=1
fi
# No unnamed (ordinal-only) entries either: the address table has one slot a name.
wanted=$(echo "$expected" | wc -l)
slots=$(echo "$dump" | awk '/^Number in:/ { getline; print $NF; exit }')
if [ -z "$slots" ] || [ "$((0x$slots))" -ne "$wanted" ]; then
    echo "export address table of $dll has ${slots:-no} slots, not $wanted"
    status=1
fi

# Imports: Windows system DLLs only; MinGW's runtimes must be linked in statically.
imports=$(echo "$dump" | sed -n 's/^\tDLL Name: //p' | sort -fu)
bad=""
for name in $imports; do
    case $(echo "$name" | tr 'A-Z' 'a-z') in
    kernel32.dll | ws2_32.dll | iphlpapi.dll | advapi32.dll | msvcrt.dll | rpcrt4.dll | \
        user32.dll | bcrypt.dll | ntdll.dll | shell32.dll | ole32.dll | api-ms-win-*.dll) ;;
    *) bad="$bad $name" ;;
    esac
done
if [ -z "$imports" ]; then
    echo "no import list found in $dll"
    status=1
elif [ -n "$bad" ]; then
    echo "$dll imports non-system DLLs:$bad"
    status=1
fi
echo "exports:" $exports
echo "imports:" $imports
exit $status
