#!/bin/sh
# root_only.sh PATH: exits 0 when PATH is root's, no link and writable by no one else, and
# every folder above it is root's, no link, and either writable by no one else or sticky (as
# /tmp is: there no one else can rename or replace root's entries), as the program requires
# of the folders root writes its log in.
p=$1
above=0
while :; do
    [ -L "$p" ] && exit 1
    st=$(stat -c '%u %a' -- "$p" 2>/dev/null) || exit 1
    [ "${st%% *}" = 0 ] || exit 1
    mode=$((0${st#* }))
    if [ $((mode & 022)) -ne 0 ]; then
        [ $above = 1 ] && [ $((mode & 01000)) -ne 0 ] || exit 1
    fi
    [ "$p" = / ] && exit 0
    p=$(dirname -- "$p")
    above=1
done
