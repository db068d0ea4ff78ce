#!/usr/bin/env bash
# Installs the Debian packages that one job needs, skipping those already
# present so that a second run is quick. Run as root.
#   scripts/install-deps.sh demo     building zhost and running its demo
#   scripts/install-deps.sh package  building the release archive
#   scripts/install-deps.sh test     the whole test suite (the default)
# A package index that cannot be fetched does not stop the run: the update
# is tried twice, then the lists that did arrive are used. The run fails
# only when a package the job needs cannot be installed, naming it and why.
# Packages the job can do without (wine32 from the i386 architecture) are
# reported instead, one line each, and also written to the file named by
# OBK_DEPS_UNAVAILABLE as "PACKAGE<TAB>REASON".
set -euo pipefail
job=${1:-test}

build=(build-essential cmake ninja-build pkg-config binutils)
program=(libopenimageio-dev openimageio-tools libcli11-dev nlohmann-json3-dev libjemalloc-dev fonts-dejavu-core)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64)
case $job in
  demo) required=("${build[@]}" "${program[@]}"); optional=() ;;
  package) required=("${build[@]}" "${windows[@]}" libopenimageio-dev zip unzip); optional=() ;;
  test)
    required=("${build[@]}" "${program[@]}" "${windows[@]}" zip unzip
      g++-multilib libgtest-dev googletest libbenchmark-dev
      clang libclang-rt-14-dev valgrind qemu-user wine wine64
      python3-openimageio python3-numpy slurm-wlm munge)
    # The 32-bit Windows tests run under wine32, from the i386 architecture.
    optional=(wine32:i386) ;;
  *) echo "install-deps: unknown job '$job' (demo, package or test)" >&2; exit 2 ;;
esac

export DEBIAN_FRONTEND=noninteractive
# Another apt run on the machine (an unattended upgrade) is waited for.
apt=(apt-get -o DPkg::Lock::Timeout=600)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing_of() {
  local package
  for package in "$@"; do installed "$package" || echo "$package"; done
}

# apt's own words for why PACKAGE cannot be installed, in one line.
why_not() {
  local out
  out=$("${apt[@]}" install -s -y --no-install-recommends "$1" 2>&1 || true)
  if grep -q 'Unable to locate package\|has no installation candidate' <<<"$out"; then
    echo "not in the package lists"
  elif grep -q 'unmet dependencies\|held broken packages' <<<"$out"; then
    local first
    first=$(grep -m1 'Depends:' <<<"$out" | sed 's/^ *//; s/  */ /g')
    local of=""
    [[ $1 == *:* ]] && of=" of the ${1##*:} packages"
    echo "unmet dependencies$of${first:+: $first}"
  else
    grep -m1 '^E:' <<<"$out" | sed 's/^E: //' || echo "apt-get refused it"
  fi
}

update_lists() {
  local attempt
  for attempt in 1 2; do
    if "${apt[@]}" update -qq >"$log" 2>&1; then
      return 0
    fi
    if [ "$attempt" = 1 ]; then
      echo "install-deps: apt-get update failed; trying once more" >&2
      sleep 5
    fi
  done
  echo "install-deps: apt-get update failed again ($(grep -m1 '^E:' "$log" | sed 's/^E: //')); going on with the package lists that arrived" >&2
}

mapfile -t need < <(missing_of "${required[@]}")
mapfile -t want < <(missing_of "${optional[@]}")
((${#need[@]} + ${#want[@]})) || exit 0

for package in "${want[@]}"; do
  if [[ $package == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
done
update_lists

if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  if ! "${apt[@]}" install -y -qq --no-install-recommends "${need[@]}"; then
    for package in "${need[@]}"; do
      installed "$package" && continue
      "${apt[@]}" install -y -qq --no-install-recommends "$package" >/dev/null 2>&1 && continue
      echo "install-deps: cannot install $package: $(why_not "$package")" >&2
      exit 1
    done
  fi
fi

for package in "${want[@]}"; do
  echo "installing: $package"
  if ! "${apt[@]}" install -y -qq --no-install-recommends "$package" >"$log" 2>&1; then
    reason=$(why_not "$package")
    echo "install-deps: $package not installed (the job goes on without it): $reason" >&2
    if [ -n "${OBK_DEPS_UNAVAILABLE:-}" ]; then
      printf '%s\t%s\n' "$package" "$reason" >>"$OBK_DEPS_UNAVAILABLE"
    fi
  fi
done
