#!/usr/bin/env bash
# private-mounts.sh COMMAND...: runs COMMAND (as root) in a mount namespace
# of its own, whose mounts reach no other namespace. unshare makes every
# mount of the new namespace private; in a chroot, whose root is no mount
# point, it cannot, and the namespace keeps its mounts as they are: it is
# used then only when none of them is shared with another namespace.
if unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private "$@"
fi
exec unshare --mount --propagation unchanged sh -c '
  if grep -q " shared:" /proc/self/mountinfo; then
    echo "private-mounts: no mount namespace of its own here: a mount is shared, and none can be made private" >&2
    exit 125
  fi
  exec "$@"' sh "$@"
