#!/bin/sh
# wheel.sh OUTDIR DLL NOTICES - builds the Windows wheel qel_zmq-VERSION-py3-none-win_amd64.whl in
# OUTDIR, with its SHA-256 beside it: the package with QEL_ZMQ.dll inside it, beside the
# module, where the loader looks first; so `pip install` of this one file is all a
# Windows user does. The DLL's third-party notices go beside it. Built offline by pip with the system's setuptools and wheel, from a
# copy of the sources; the archive's time stamps are SOURCE_DATE_EPOCH (or 2000-01-01).
set -eu
out=$1 dll=$2 notices=$3
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$out"
out=$(cd "$out" && pwd)
cp -R "$here/qel_zmq" "$here/pyproject.toml" "$here/README.md" "$here/LICENSE" "$stage/"
rm -rf "$stage/qel_zmq/__pycache__"
cp "$dll" "$stage/qel_zmq/QEL_ZMQ.dll"
cp "$notices" "$stage/qel_zmq/THIRD-PARTY-NOTICES.txt"
# The same bytes from every checkout: fixed modes, and no time stamp from the sources.
find "$stage" -type d -exec chmod 755 {} + && find "$stage" -type f -exec chmod 644 {} +
# Debian's interpreter, which has Debian's setuptools and wheel, in an environment of
# nothing but the time stamp: no pip settings of the machine or user.
python() {
    env -i PATH=/usr/bin:/bin HOME="$stage" PYTHONDONTWRITEBYTECODE=1 \
        SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-946684800}" /usr/bin/python3 "$@"
}
(cd "$stage" && python -m pip wheel --no-build-isolation --no-deps --no-index --no-cache-dir \
    --disable-pip-version-check -w "$stage/dist" . >"$stage/pip.log" 2>&1) ||
    { cat "$stage/pip.log" >&2; exit 1; }
any=$(ls "$stage"/dist/qel_zmq-*-py3-none-any.whl)
# Pure Python, but it holds a 64-bit Windows DLL: the tag says where it installs.
# `wheel pack` names the file after the WHEEL file's tag and writes RECORD anew.
python -m wheel unpack -d "$stage/unpacked" "$any" >/dev/null
sed -i 's/^Tag: py3-none-any$/Tag: py3-none-win_amd64/' "$stage"/unpacked/*/*.dist-info/WHEEL
grep -q '^Tag: py3-none-win_amd64$' "$stage"/unpacked/*/*.dist-info/WHEEL ||
    { echo "wheel.sh: the wheel's tag is not py3-none-any" >&2; exit 1; }
# A wheel for one platform installs into platlib, so its root is not purelib.
sed -i 's/^Root-Is-Purelib: true$/Root-Is-Purelib: false/' "$stage"/unpacked/*/*.dist-info/WHEEL
# The metadata the system's setuptools cannot write yet (version 2.4): the licence as an
# SPDX expression, which replaces the License field and the licence classifier, its
# file under licenses/, and only the one operating system this wheel installs on. Only
# the header is edited; the description after its blank line stays as it is.
info=$(echo "$stage"/unpacked/*/*.dist-info)
sed -i -e '1,/^$/{s/^Metadata-Version: .*/Metadata-Version: 2.4/;s/^License: MIT$/License-Expression: MIT/' \
    -e '/^Classifier: License :: /d;/^Classifier: Operating System :: POSIX :: Linux$/d}' "$info/METADATA"
mkdir "$info/licenses" && mv "$info/LICENSE" "$info/licenses/LICENSE"
grep -q '^Root-Is-Purelib: false$' "$info/WHEEL" && grep -q '^License-Expression: MIT$' "$info/METADATA" ||
    { echo "wheel.sh: the WHEEL or METADATA file is not as expected" >&2; exit 1; }
rm "$any"
python -m wheel pack -d "$stage/dist" "$stage"/unpacked/* >/dev/null
wheel=$(ls "$stage"/dist/qel_zmq-*-py3-none-win_amd64.whl)
rm -f "$out/$(basename "$wheel")"
cp "$wheel" "$out/"
(cd "$out" && sha256sum "$(basename "$wheel")" >"$(basename "$wheel").sha256")
echo "$out/$(basename "$wheel")"
