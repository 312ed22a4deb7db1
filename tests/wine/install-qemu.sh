#!/usr/bin/env bash
# Installs qemu's user-mode emulator where the kernel cannot run 32-bit x86 programs, so that
# 32-bit Wine can run under it (enable-i386.sh, called by start.sh, registers it). Does nothing
# where 32-bit programs run natively or a qemu-i386 of version 8 or later is installed. Before
# qemu 8 every Wine process takes minutes to start, so on Debian 12 it comes from the
# bookworm-backports suite of the Debian mirror the machine already uses.
#
#   install-qemu.sh      (as root, or with sudo; run after wine32 is installed)
set -euo pipefail

as_root() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

probe=/usr/lib/wine/wine
if [[ ! -x $probe ]]; then
  echo "install-qemu: install wine32 first" >&2
  exit 1
fi
if "$probe" --version >/dev/null 2>&1; then exit 0; fi

qemu_major() {
  /usr/bin/qemu-i386 --version 2>/dev/null | sed -n 's/.*version \([0-9]*\)\..*/\1/p;q'
}
if [[ $(qemu_major) -ge 8 ]] 2>/dev/null; then exit 0; fi

# shellcheck disable=SC1091
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
install_options=()
if [[ $codename == bookworm ]]; then
  backports=/etc/apt/sources.list.d/bookworm-backports.list
  if [[ ! -f $backports ]]; then
    # The machine's own Debian mirror, with the suite changed.
    mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources \
               2>/dev/null | head -n 1)
    [[ -n $mirror ]] ||
      mirror=$(awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list)
    echo "deb $mirror bookworm-backports main" | as_root tee "$backports" >/dev/null
  fi
  install_options=(-t bookworm-backports)
fi
as_root apt-get update -q || true  # a mirror in mid-sync fails one index only
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "${install_options[@]}" qemu-user

if [[ $(qemu_major) -lt 8 ]] 2>/dev/null; then
  echo "install-qemu: installed qemu-i386 is older than qemu 8; Wine will be very slow" >&2
fi
