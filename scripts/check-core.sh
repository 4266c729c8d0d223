#!/usr/bin/env bash
# Checks that the helper's BPF programs find every kernel field they read in the BTF of
# another kernel than the one they were built on, by default Debian 12's 6.1 kernel: the
# kernel image comes from the package registry, its BTF is taken from the image, and bpftool
# keeps of it exactly the types the object's CO-RE relocations resolve to. A field missing
# there would fail the load on that kernel.
# Usage: bash scripts/check-core.sh [BUILD_FOLDER] [KERNEL_PACKAGE]
#   BUILD_FOLDER holds tools/quillon-cut/guard.bpf.o (default build/test); KERNEL_PACKAGE
#   defaults to the newest linux-image-6.1.0-*-amd64 the registry offers.
set -euo pipefail
build=${1:-build/test}
object=$(cd "$build" && pwd)/tools/quillon-cut/guard.bpf.o
[ -f "$object" ] || { echo "no $object: build first" >&2; exit 2; }
package=${2:-$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' |
    awk '{print $1}' | sort -V | tail -1)}
[ -n "$package" ] || { echo "no 6.1 kernel package in the registry" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get download "$package" >/dev/null 2>&1 || { echo "cannot download $package" >&2; exit 2; }
dpkg-deb -x ./*.deb image
# The image is a boot stub followed by the xz-compressed kernel, whose ELF keeps its BTF.
python3 - image/boot/vmlinuz-* <<'EOF'
import lzma, sys
data = open(sys.argv[1], "rb").read()
at = data.find(b"\xfd7zXZ\x00")
if at < 0:
    sys.exit("the kernel image is not xz-compressed")
open("vmlinux", "wb").write(lzma.LZMADecompressor().decompress(data[at:]))
EOF
bpftool gen min_core_btf vmlinux kept.btf "$object"

# Every member of the structures the programs declare for CO-RE must be among the types kept.
bpftool btf dump file "$object" format c >wanted.h
bpftool btf dump file kept.btf format c >kept.h
python3 - <<'EOF'
import re, sys
def members(text, names):
    found = {}
    for name in names:
        m = re.search(r"struct %s \{(.*?)\n\};" % name, text, re.S)
        found[name] = set(re.findall(r"(\w+)(?:\[\d+\])?;", m.group(1))) if m else set()
    return found
structs = ["sock_common", "sock", "net", "in6_addr", "bpf_iter__tcp"]
wanted = members(open("wanted.h").read(), structs)
kept = open("kept.h").read()
missing = []
for struct, fields in wanted.items():
    for field in sorted(fields):
        if not re.search(r"\b%s\b" % field, kept):
            missing.append(f"{struct}.{field}")
count = sum(len(f) for f in wanted.values())
if missing:
    print("missing in the other kernel's BTF:", ", ".join(missing))
    sys.exit(1)
print(f"all {count} fields the programs read resolve in the other kernel's BTF")
EOF
grep -q btf_trace_inet_sock_set_state <(bpftool btf dump file vmlinux format raw) ||
    { echo "the other kernel has no inet_sock_set_state tracepoint" >&2; exit 1; }
echo "$package: CO-RE relocations of $(basename "$object") resolve"
