#!/bin/sh
# root_only.sh PATH: exits 0 when PATH and every folder above it are root's and writable by
# no one else, as the program requires of the folders root writes its log in.
p=$1
while :; do
    [ -L "$p" ] && exit 1
    st=$(stat -c '%u %a' -- "$p" 2>/dev/null) || exit 1
    [ "${st%% *}" = 0 ] || exit 1
    [ $((0${st#* } & 022)) -eq 0 ] || exit 1
    [ "$p" = / ] && exit 0
    p=$(dirname -- "$p")
done
