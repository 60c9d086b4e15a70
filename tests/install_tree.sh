#!/usr/bin/env bash
# The package as users install it: install the build into a temporary prefix, then build the
# examples against the install tree alone (once with find_package, once with pkg-config) and
# run them, the modem example on the installed gsmsim.
# usage: install_tree.sh BUILD_DIR SOURCE_DIR [CXXFLAGS]
set -euo pipefail
build=$1 src=$2 flags=${3:-}
work=$(mktemp -d /tmp/halyard-install-XXXXXX)
sim=""
cleanup() { [ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > /dev/null
for f in bin/halyard bin/gsmsim share/man/man1/halyard.1 share/man/man1/gsmsim.1 \
         lib/cmake/Halyard/HalyardConfig.cmake lib/cmake/Halyard/HalyardConfigVersion.cmake \
         lib/pkgconfig/halyard.pc include/halyard/gsm/GSM.h; do
  [ -e "$prefix/$f" ] || { echo "missing from the install: $f"; exit 1; }
done
man -l "$prefix/share/man/man1/halyard.1" > /dev/null 2>&1 || true  # man may be absent

pdu=07911326040000F0040B911346610089F60000208062917314480CC8F71D14969741F977FD07
expect="from +31641600986: How are you?"

# find_package, from a tree that knows nothing of the source
cmake -S "$src/examples" -B "$work/ex" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" > /dev/null
cmake --build "$work/ex" > /dev/null
got=$("$work/ex/decode_pdu" "$pdu")
[ "$got" = "$expect" ] || { echo "decode_pdu (find_package) printed: $got"; exit 1; }

# pkg-config
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046,SC2086
c++ -std=c++20 $flags "$src/examples/decode_pdu.cpp" -o "$work/decode_pc" $(pkg-config --cflags --libs halyard) \
    -Wl,-rpath,"$prefix/lib"
got=$("$work/decode_pc" "$pdu")
[ "$got" = "$expect" ] || { echo "decode_pdu (pkg-config) printed: $got"; exit 1; }

# a modem: the installed gsmsim, one message sent to it by the installed halyard tool
"$prefix/bin/gsmsim" --link "$work/modem" --control "$work/ctl" < /dev/null > "$work/sim.out" &
sim=$!
for _ in $(seq 100); do [ -e "$work/ctl" ] && break; sleep 0.1; done
echo "sms +4917 hello installed" > "$work/ctl"
sleep 0.5
got=$("$work/ex/list_messages" "$work/modem")
case "$got" in
  *"1: hello installed"*"1 messages"*) ;;
  *) echo "list_messages printed: $got"; exit 1 ;;
esac
"$prefix/bin/halyard" --help | grep -q "usage: halyard" || { echo "installed halyard does not run"; exit 1; }
# The gateway, where it was built: its files, and its demo on the installed libraries.
if [ -x "$build/tools/halyard-smsd" ]; then
  for f in bin/halyard-smsd share/man/man1/halyard-smsd.1 lib/systemd/system/halyard-smsd.service \
           share/doc/halyard/examples/halyard-smsd.toml; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
  done
  ls "$prefix"/lib*/libhalyard-gateway.so* > /dev/null || { echo "not installed: libhalyard-gateway"; exit 1; }
  "$prefix/bin/halyard-smsd" --demo > "$work/smsd.out" 2>&1 || { cat "$work/smsd.out"; exit 1; }
  grep -q '"status":"delivered"' "$work/smsd.out" || { echo "the installed gateway's demo delivered nothing"; exit 1; }
fi
echo "install tree: ok"
