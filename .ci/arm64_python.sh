# Sourced by .ci/aarch64 and .ci/wheels: Debian's arm64 CPython 3.11 and
# NumPy's aarch64 wheel, unpacked into a scratch folder and run under
# qemu-user. Installed, the arm64 CPython would replace this machine's own
# python3. Expects the repository root as the working directory.

# Installs whichever of the Debian packages named are missing (name:arm64
# through multiarch). Only additions: a plan that removes anything stops.
ci_apt_install() {
  local package plan need=()
  for package in "$@"; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ] ||
      need+=("$package")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  grep -qx arm64 < <(dpkg --print-foreign-architectures) || dpkg --add-architecture arm64
  apt-get update -qq
  plan=$(apt-get install -s --no-install-recommends "${need[@]}")
  if grep '^Remv' <<<"$plan"; then
    echo "installing ${need[*]} would remove the packages above" >&2
    return 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}

# Unpacks into DIR: python/ (the interpreter and its headers, for building
# against), site/ (NumPy), and DIR/python3.11, which runs that interpreter
# under qemu with NumPy on its path; PYTHONPATH adds to that path.
arm64_python_unpack() {
  local dir=$1 deb cross=/usr/aarch64-linux-gnu
  local debs=(python3.11-minimal:arm64 libpython3.11-minimal:arm64 libpython3.11-stdlib:arm64
    libpython3.11-dev:arm64 libexpat1:arm64 zlib1g:arm64)
  # The cross C library, libgcc_s (NumPy's bundled Fortran runtime needs it)
  # and libstdc++ (NumPy's own extensions link it from 2.4 on, unbundled).
  ci_apt_install qemu-user libc6-arm64-cross libgcc-s1-arm64-cross libstdc++6-arm64-cross
  mkdir -p "$dir/debs" "$dir/python" "$dir/site"
  (
    cd "$dir/debs"
    # Package lists older than the mirror's files name versions it no longer
    # has; a fresh machine may not list arm64 packages at all yet.
    download() { apt-get download -qq -o APT::Sandbox::User=root "${debs[@]}"; }
    if ! download 2>/dev/null; then
      grep -qx arm64 < <(dpkg --print-foreign-architectures) || dpkg --add-architecture arm64
      apt-get update -qq && download
    fi
  )
  for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir/python"; done
  python3 -m pip download -q --only-binary=:all: --no-deps --implementation cp --python-version 3.11 \
    --abi cp311 --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
    --platform manylinux2014_aarch64 -d "$dir/wheels" numpy
  python3 -m zipfile -e "$dir"/wheels/numpy-*.whl "$dir/site"
  # The loader of the cross toolchain takes its own C library, not the
  # multiarch libc6:arm64 (another build, which hangs under it).
  cat >"$dir/python3.11" <<EOF
#!/bin/sh
exec qemu-aarch64 -L $cross \\
  -E LD_LIBRARY_PATH=$cross/lib:$dir/python/usr/lib/aarch64-linux-gnu:$dir/python/lib/aarch64-linux-gnu \\
  -E PYTHONPATH=$dir/site\${PYTHONPATH:+:\$PYTHONPATH} -E PYTHONDONTWRITEBYTECODE=1 \\
  $dir/python/usr/bin/python3.11 "\$@"
EOF
  chmod +x "$dir/python3.11"
}

# .ci/aarch64_smoke.py on the interpreter unpacked in DIR, importing the
# module from PATH (tests/ is added), with 1 and 3 workers: the k-means labels
# must not depend on the pool size.
arm64_smoke() {
  local dir=$1 path=$2 workers
  for workers in 1 3; do
    RAYON_NUM_THREADS=$workers PYTHONPATH="$path:$(pwd)/tests" "$dir/python3.11" .ci/aarch64_smoke.py |
      tee "$dir/smoke-$workers.txt"
  done
  if ! cmp -s <(grep '^labels digest' "$dir/smoke-1.txt") <(grep '^labels digest' "$dir/smoke-3.txt"); then
    echo "aarch64: k-means labels differ between 1 and 3 workers" >&2
    return 1
  fi
  echo "aarch64: labels identical with 1 and 3 workers"
}

# .ci/kmeans_digests.py on the interpreter unpacked in DIR, importing the
# module from PATH: its k-means labels must equal x86-64's, in the file EXPECTED.
arm64_digests() {
  local dir=$1 path=$2 expected=$3
  PYTHONPATH="$path" "$dir/python3.11" .ci/kmeans_digests.py >"$dir/digests.txt"
  if ! cmp -s "$expected" "$dir/digests.txt"; then
    echo "aarch64: k-means labels differ from x86-64's:" >&2
    diff "$expected" "$dir/digests.txt" >&2 || true
    return 1
  fi
  echo "aarch64: k-means labels identical to x86-64's"
}
