#!/usr/bin/env bash
# mount TYPE FOLDER | unmount TYPE FOLDER
# Makes a file system of TYPE (ext4, xfs, btrfs) in an image beside FOLDER,
# on a loop device, and mounts it on FOLDER, for the engine tests to run on;
# unmount takes it away again. Only root may mount: elsewhere it says so and
# mounts nothing, and the tests that need the file system skip.
set -u
action="$1" type="$2" folder="$3"
image="$folder.img"

case "$action" in
mount)
  umount "$folder" 2>/dev/null # left by a run that was interrupted
  mkdir -p "$folder"
  chmod 755 "$(dirname "$folder")"
  if [ "$(id -u)" -ne 0 ]; then
    echo "not root: no $type file system is mounted, and its tests skip"
    exit 0
  fi
  rm -f "$image"
  truncate -s 1G "$image"
  case "$type" in
  ext4) mkfs.ext4 -q -F -i 4096 "$image" ;; # inodes for trees of tens of thousands of folders
  xfs) mkfs.xfs -q -f "$image" ;;
  btrfs) mkfs.btrfs -q -f "$image" >/dev/null ;;
  *) echo "no such file system: $type" >&2; exit 1 ;;
  esac || { echo "cannot make a $type file system" >&2; exit 1; }
  mount -o loop "$image" "$folder" || exit 1
  # The tests act as an ordinary user too.
  chmod 1777 "$folder"
  echo "$type mounted on $folder"
  ;;
unmount)
  umount "$folder" 2>/dev/null
  rm -f "$image"
  rmdir "$folder" "$(dirname "$folder")" 2>/dev/null || true
  ;;
esac
