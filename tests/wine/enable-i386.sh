#!/usr/bin/env bash
# Makes 32-bit x86 Linux programs runnable, which 32-bit Wine is. Where the kernel runs them
# itself this does nothing. Where it does not (a kernel booted without 32-bit emulation, as on
# some virtual machines), it registers qemu's user-mode i386 emulator for them with binfmt_misc.
#
#   enable-i386.sh [WORK_DIR]
#
# Needs root on such a machine, and qemu-i386 from qemu 8 or later: older versions take minutes
# to start one Wine process. Debian 12 has it in bookworm-backports (package qemu-user).
set -euo pipefail

work_dir=${1:-/tmp}
probe=/usr/lib/wine/wine  # a 32-bit ELF program that answers --version
runs_32bit() { "$probe" --version >/dev/null 2>&1; }

if [[ ! -x $probe ]] || runs_32bit; then exit 0; fi

qemu=
for candidate in /usr/bin/qemu-i386 /usr/bin/qemu-i386-static; do
  if [[ -x $candidate ]]; then qemu=$candidate; break; fi
done
if [[ -z $qemu ]]; then
  echo "enable-i386: this kernel cannot run 32-bit programs and qemu-i386 is missing;" \
       "install qemu-user (qemu 8 or later)" >&2
  exit 1
fi
qemu_major=$("$qemu" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p;q')
if [[ ${qemu_major:-0} -lt 8 ]]; then
  echo "enable-i386: warning: $qemu is qemu ${qemu_major:-?};" \
       "Wine starts very slowly before qemu 8" >&2
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "enable-i386: this kernel cannot run 32-bit programs; registering qemu needs root" >&2
  exit 1
fi

binfmt=/proc/sys/fs/binfmt_misc
[[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
# An entry of that name that does not work (disabled, or its emulator gone) is replaced.
[[ -e $binfmt/qemu-i386 ]] && echo -1 >"$binfmt/qemu-i386"

# A name ending in -binfmt-P tells qemu that the kernel passes the program's own argv[0] along
# (flag P); flag F opens the emulator now, so the link is not needed later.
mkdir -p "$work_dir"
ln -sfn "$qemu" "$work_dir/i386-binfmt-P"
magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
echo ":qemu-i386:M::$magic:$mask:$work_dir/i386-binfmt-P:OPF" >"$binfmt/register"

if ! runs_32bit; then
  echo "enable-i386: 32-bit programs still do not run after registering $qemu" >&2
  exit 1
fi
echo "enable-i386: 32-bit programs now run under $qemu"
