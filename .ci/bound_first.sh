#!/usr/bin/env bash
# bound_first.sh TOOL FILE...: runs TOOL on the files, the first reached only through a bind mount
# into a folder on a tmpfs, as a container sees a single file mounted from its host's disk. That
# file's work file lies on the tmpfs, which needs no flush; the files after it, on the disk, still
# must be flushed. The bound file itself cannot be replaced (it is a mount point) and fails.
set -u
tool=$1 first=$2
shift 2
folder=$(mktemp -d)
mount -t tmpfs -o size=1m tessaran-bound "$folder" || exit 3
touch "$folder/bound.xml"
mount --bind "$first" "$folder/bound.xml" || { umount "$folder"; exit 3; }
output=$("$tool" "$folder/bound.xml" "$@")
status=$?
umount "$folder/bound.xml"
umount "$folder"
rmdir "$folder"
[ "$status" -eq 1 ] && [ "$output" = "$folder/bound.xml tessaran fail!" ]
