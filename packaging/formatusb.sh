#!/bin/sh
# formatusb.sh PATH LABEL: erase the USB drive mounted at PATH (/media/NAME)
# and give it a fresh, empty file system named after LABEL.
#
# The recorder runs this without a shell in between, once per drive, and does
# not wait for the drive: it lists the drive again when the automounter has
# mounted it under /media once more. Everything is checked before anything is
# touched; whatever is not a USB block device mounted exactly at /media/NAME,
# and nowhere else, is refused.
#
# exFAT when mkfs.exfat is installed (files over 4 GiB, i.e. long recordings),
# FAT32 otherwise. Sites with other needs replace this file; the package keeps
# a changed copy on upgrade.
set -eu

fail() {
    echo "formatusb.sh: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: formatusb.sh /media/NAME LABEL"
path=$1
label=$2

# One level below /media, no hidden or relative names.
case $path in
    /media/*/* | /media/ | /media/.*) fail "not a drive folder: $path" ;;
    /media/*) ;;
    *) fail "not under /media: $path" ;;
esac

# The file system mounted exactly there, from a block device.
device=$(findmnt -n -o SOURCE --mountpoint "$path") || fail "nothing mounted at $path"
[ "$(printf '%s\n' "$device" | wc -l)" -eq 1 ] || fail "more than one mount at $path"
[ -b "$device" ] || fail "$path is not mounted from a block device ($device)"

# Mounted only there: never a file system that is also in use elsewhere.
[ "$(findmnt -n -r -o TARGET --source "$device" | wc -l)" -eq 1 ] ||
    fail "$device is mounted more than once"

# On a disk that hangs off USB (a partition's disk, or the device itself when
# the drive has no partition table).
disk=$(lsblk -n -d -p -o PKNAME "$device")
[ -n "$disk" ] || disk=$device
[ "$(lsblk -n -d -o TRAN "$disk")" = usb ] || fail "$device is not a USB drive"

if command -v mkfs.exfat >/dev/null 2>&1; then
    exfat=yes
else
    command -v mkfs.vfat >/dev/null 2>&1 || fail "neither mkfs.exfat nor mkfs.vfat is installed"
    exfat=no
fi
# A label both file systems accept, decided before anything is unmounted:
# letters, digits, '_' and '-', at most 11 characters, never empty. A drive
# whose name does not fit comes back under the shortened name.
label=$(printf '%s' "$label" | tr -c 'A-Za-z0-9_-' '_' | cut -c 1-11)
[ -n "$label" ] || label=USB

umount -- "$path" || fail "cannot unmount $path"
# The recorder takes every entry under /media for a drive: an empty folder
# left behind would be listed as one, on the root file system.
rmdir -- "$path" 2>/dev/null || true

echo "formatusb.sh: formatting $device as $label" >&2
if [ "$exfat" = yes ]; then
    mkfs.exfat -L "$label" "$device" >&2
else
    # -I: the drive may carry its file system without a partition table; the
    # checks above already made sure this device is the one that was mounted.
    mkfs.vfat -I -n "$label" "$device" >&2
fi
# Closing the device after writing makes udev report a change; the
# automounter mounts the new file system from there.
