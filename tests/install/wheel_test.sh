#!/usr/bin/env bash
# The wheel on a machine without the CUDA toolkit: build it, install it with
# NVIDIA's NVRTC and runtime wheels into a fresh virtual environment, hide
# /usr/local/cuda* in a private mount namespace, and run the engine on the
# simulated device activated in-process.  Needs root (for the namespace) and
# the package registry.
#   wheel_test.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The wheel's CMake build folder persists in the build tree, so reruns are
# incremental.
"$python" -m pip wheel --quiet --no-deps --disable-pip-version-check -w "$work/dist" \
  -C build-dir="$build/wheel-build" "$src"
wheel=$(ls "$work"/dist/tesvan-*.whl)
# One wheel for every Python from 3.11 on: the stable ABI's tag and module.
case $wheel in *-cp311-abi3-*.whl) ;; *) echo "not a cp311-abi3 wheel: $wheel"; exit 1;; esac
"$python" -c 'import sys, zipfile; sys.exit("tesvan/_sim/libcuda.so.1" not in zipfile.ZipFile(sys.argv[1]).namelist())' "$wheel" ||
  { echo "no simulated device in $wheel"; exit 1; }

"$python" -m venv "$work/venv"
# The NVRTC of the simulated driver's CUDA 13.0 (its library has no RUNPATH,
# so the engine must preload the builtins library beside it).
"$work/venv/bin/pip" install --quiet --disable-pip-version-check "$wheel" \
  "nvidia-cuda-nvrtc==13.0.*" "nvidia-cuda-runtime==13.0.*"

mkdir "$work/empty" "$work/cache"
cp "$src/tests/install/engine_smoke.py" "$work/"
cat > "$work/hidden.sh" <<'INNER'
set -euo pipefail
work=$1
for d in /usr/local/cuda*; do mount --bind "$work/empty" "$d"; done
if ls /usr/local/cuda*/include/cuda_fp16.h >/dev/null 2>&1; then echo "toolkit still visible"; exit 1; fi
unset CUDA_HOME CUDA_PATH CUDA_ROOT LD_LIBRARY_PATH TESVAN_NVRTC TESVAN_CUDA_INCLUDE
export TESVAN_KERNEL_CACHE=$work/cache
cd "$work"
venv=$work/venv
"$venv/bin/python" -c 'import _tesvan, sys; print(_tesvan.__file__); sys.exit(not _tesvan.__file__.endswith(".abi3.so"))' ||
  { echo "the installed extension is not the stable-ABI one"; exit 1; }
"$venv/bin/python" engine_smoke.py --sim | tee smoke.txt
grep -q "^ok: .* NVRTC 13\.0 $venv/.*/nvidia/" smoke.txt
"$venv/bin/python" -m tesvan info --sim | tee info.txt
grep -q "^NVRTC: 13\.0 at $venv/.*/nvidia/.*libnvrtc\.so" info.txt
grep -q "^driver: simulated" info.txt
INNER
unshare -m bash "$work/hidden.sh" "$work"
echo "wheel test passed"
