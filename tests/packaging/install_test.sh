#!/usr/bin/env bash
# Installs the build tree under test into a staging directory (DESTDIR) and
# checks what a user or a third party gets: the file list, a shared library
# that exports only its public API, and the example program built against the
# staged install with find_package and with pkg-config, run against a
# simulated module.
#
# install_test.sh BUILD_DIR SOURCE_DIR PREFIX LIBDIR "TOOLS" "SANITIZE"
set -euo pipefail

build=$1 src=$2 prefix=$3 libdir=$4 tools=$5 sanitize=${6:-}
version=$(sed -n 's/^project(Updater VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
major=${version%%.*}

work=$(mktemp -d "${TMPDIR:-/tmp}/qw-install-test.XXXXXX")
sim_pid=""
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Installed where the build tree was configured to go, below the stage.
stage=$work/stage
root=$stage$prefix
DESTDIR=$stage cmake --install "$build" >"$work/install.log"

# ---- the file list ------------------------------------------------------------------
expected=(
  bin/updater
  share/man/man1/updater.1.gz
  share/bash-completion/completions/updater
  lib/udev/rules.d/70-quillwork.rules
  share/doc/updater/copyright
  "$libdir/libquillwork.so.$version"
  "$libdir/pkgconfig/quillwork.pc"
  "$libdir/cmake/Quillwork/QuillworkConfig.cmake"
  "$libdir/cmake/Quillwork/QuillworkConfigVersion.cmake"
  "$libdir/cmake/Quillwork/QuillworkTargets.cmake"
)
IFS=';' read -r -a tool_list <<<"$tools"
for tool in "${tool_list[@]}"; do
  expected+=("bin/$tool")
  if [[ -e $src/packaging/man/$tool.1.in ]]; then
    expected+=("share/man/man1/$tool.1.gz")
  fi
done
# Every public header, including those added after the install rules were written.
for header in "$src"/src/link/include/quillwork/*.h; do
  expected+=("include/quillwork/${header##*/}")
done
for f in "${expected[@]}"; do
  [[ -f $root/$f ]] || fail "not installed: $f"
done
# Nothing private: only headers of the public directory.
while IFS= read -r f; do
  [[ -e $src/src/link/include/quillwork/${f##*/} ]] || fail "installed header that is not public: $f"
done < <(cd "$root" && find include -type f)

# The library: the link-time name and the SONAME lead to the versioned file.
[[ $(readlink "$root/$libdir/libquillwork.so") == "libquillwork.so.$major" ]] || fail "libquillwork.so does not point to libquillwork.so.$major"
[[ $(readlink "$root/$libdir/libquillwork.so.$major") == "libquillwork.so.$version" ]] || fail "libquillwork.so.$major does not point to libquillwork.so.$version"
soname=$(readelf -d "$root/$libdir/libquillwork.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == "libquillwork.so.$major" ]] || fail "SONAME is '$soname'"

# Installed programs carry no run path into the build tree, and start.
for f in "$root"/bin/* "$root/$libdir/libquillwork.so.$version"; do
  if [[ $(readelf -d "$f") =~ \((RPATH|RUNPATH)\) ]]; then
    fail "run path left in $f: $(readelf -d "$f" | grep -E 'RPATH|RUNPATH')"
  fi
done
"$root/bin/updater" -h >/dev/null 2>&1 || fail "installed updater -h failed"

# ---- exported symbols -----------------------------------------------------------------
# Exported: the Corvatek:: classes (and their type information and virtual
# tables), the c-prefixed function layer (cObject_Operation) and the few other
# names of the public headers. Weak instances of standard-library templates
# whose return type names a public class ("cPacket*& std::__get_helper<...>")
# are tolerated: unoptimised builds emit them, a program's own copy wins.
public_head='^(Corvatek::[A-Za-z0-9_:~]+|c[A-Z][A-Za-z0-9]*_[A-Za-z0-9_]+|cVALIDSTREAM|cStreamBufferChar|cQuillworkDebugging(Enable|Level)|cobs_[a-z_]+|crc8_[a-z_]+|Quillwork_libusb_[a-z_]+|is_quillwork_device|qwusb_[a-z_]+|zBeaconInterface_[A-Za-z]+|sUEIFilter)(\[abi:cxx11\])?(\(|$)'
special='^((typeinfo|typeinfo name|vtable|VTT) for |(non-)?virtual thunk to )Corvatek::'
internal_qwusb='^qwusb_(libusb|kernel)_'
symbols=$(nm -D --defined-only -C "$root/$libdir/libquillwork.so.$version")
exported=0
while IFS= read -r line; do
  type=${line:17:1}
  name=${line:19}
  name=${name%@@QUILLWORK_$major}
  exported=$((exported + 1))
  if [[ $type == A && $name == "QUILLWORK_$major" ]]; then
    continue
  elif [[ $name =~ $special ]]; then
    continue
  elif [[ $name =~ $public_head && ! $name =~ $internal_qwusb ]]; then
    continue
  elif [[ ($type == W || $type == V) && ${name%%(*} == *" std::"* ]]; then
    continue
  fi
  fail "exported outside the public API: $type $name"
done <<<"$symbols"
((exported > 100)) || fail "only $exported symbols exported"
# Helpers of the implementation stay hidden.
for hidden in find_usb_endpoints _enumerateUSB qwusb_libusb_open qwusb_kernel_open qwusb_note_open_failure; do
  if [[ $symbols == *" $hidden("* ]]; then
    fail "internal function exported: $hidden"
  fi
done

# ---- the example, built as a third party builds it ---------------------------------------
flags=()
if [[ -n $sanitize ]]; then
  flags=(-fsanitize="$sanitize" -fno-omit-frame-pointer)
fi
cmake -S "$src/examples" -B "$work/example-cmake" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_PREFIX_PATH="$root" -DCMAKE_CXX_FLAGS="${flags[*]}" >"$work/example-cmake.log" 2>&1 ||
  { cat "$work/example-cmake.log" >&2; fail "find_package(Quillwork) build did not configure"; }
cmake --build "$work/example-cmake" >>"$work/example-cmake.log" 2>&1 ||
  { cat "$work/example-cmake.log" >&2; fail "find_package(Quillwork) build failed"; }

export PKG_CONFIG_PATH=$root/$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage
pc_flags=$(pkg-config --cflags --libs quillwork) || fail "pkg-config does not know quillwork"
[[ $(pkg-config --modversion quillwork) == "$version" ]] || fail "quillwork.pc version is not $version"
# shellcheck disable=SC2086
c++ -std=c++20 "${flags[@]}" "$src/examples/module-info.cpp" $pc_flags -o "$work/module-info-pc" ||
  fail "pkg-config build failed"

programs=()
for p in "$work/example-cmake/module-info" "$work/module-info-pc"; do
  if [[ -x $p ]]; then
    programs+=("$p")
    [[ $(readelf -d "$p") == *"Shared library: [libquillwork.so.$major]"* ]] || fail "$p does not use libquillwork.so.$major"
  fi
done

# ---- run against a simulated module ----------------------------------------------------
"$build/tools/modulesim/modulesim" --tcp 40F5849A,name=StagedHub,version=2.15.3,build=4321,model=17 \
  --ready-file "$work/ready" >"$work/modulesim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [[ -s $work/ready ]] && break
  sleep 0.1
done
address=$(sed -n 's/^module 40F5849A .*: tcp \([0-9.]*:[0-9]*\)$/\1/p' "$work/ready" 2>/dev/null || true)
[[ -n $address ]] || fail "the simulated module did not come up: $(cat "$work/modulesim.log")"

export LD_LIBRARY_PATH=$root/$libdir
for p in "${programs[@]}"; do
  [[ -n $address ]] || break
  if ! out=$(timeout 30 "$p" 40F5849A "$address" 2>&1); then
    fail "$p 40F5849A $address: $out"
    continue
  fi
  for want in "Serial number: 40F5849A" "Model:         17 (" "Version:       2.15.3" "Build:         4321" \
    "Name:          StagedHub"; do
    [[ $out == *"$want"* ]] || fail "$p: no '$want' in: $out"
  done
  # The library resolved is the staged one.
  [[ $(ldd "$p") == *"libquillwork.so.$major => $root/$libdir/"* ]] || fail "$p does not load the staged library"
  # A module that is not the one asked for is refused.
  if out=$(timeout 30 "$p" 0A0B0C0D "$address" 2>&1); then
    fail "$p accepted module 40F5849A as 0A0B0C0D: $out"
  fi
done

if ((failures > 0)); then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "install test passed: ${#expected[@]} files, $exported exported symbols, ${#programs[@]} example builds"
