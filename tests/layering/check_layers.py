#!/usr/bin/env python3
"""Checks that the source tree keeps its layers apart.

    platform  includes nothing of the project outside src/platform/ and no QtGui or
              QtWidgets header
    core      includes no header of src/ui/ or src/app/ and no QtGui or QtWidgets header
    core and platform code names no QtGui or QtWidgets class, not even in a forward
              declaration
    ui        includes no header of src/app/, and keeps the order of its folders:
              app -> ui/shell -> ui/{monitor,blocking,settings} -> ui/chrome, the three
              feature folders including one another one way only
    outside src/platform, no file includes an OS header (POSIX beyond standard C and C++,
    Linux, glibc's own); the helpers under tools/ are not checked
    platform, core and ui include nothing through a macro, which the check could not follow
    core and platform libraries link neither Qt Gui nor Qt Widgets, directly or through
    another library

The Qt header names come from the installed QtGui and QtWidgets folders, so a class Qt adds
later is caught too. The link graph comes from configuring the tree afresh with
`cmake --graphviz`, so what is checked is what the CMake files say now, including what
imported Qt targets pull in. Every broken rule is printed with the file and include, or the
chain of libraries, that breaks it; the exit status is 1 when anything is broken.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

LAYERS = ("platform", "core", "ui", "app")
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".inl")
DIRECTIVE = r"^[ \t]*(?:#|%:)[ \t]*include(?:_next)?(?!\w)"
INCLUDE = re.compile(DIRECTIVE + r'[ \t]*([<"])([^>"\n]+)[>"]', re.M)
# Anything else after the directive: a macro, or a line the check cannot read.
MACRO_INCLUDE = re.compile(DIRECTIVE + r'(?![ \t]*[<"])[ \t]*(.*)$', re.M)
# A forward declaration, plain or through Qt's own macros.
FORWARD = re.compile(r"\b(?:class|struct)\s+(Q\w+)\s*;|"
                     r"\bQT_FORWARD_DECLARE_(?:CLASS|STRUCT)\s*\(\s*(Q\w+)\s*\)")
IDENTIFIER = re.compile(r"\bQ\w+")
ADD_LIBRARY = re.compile(r"\badd_library\s*\(\s*([A-Za-z0-9_.+-]+)")
DOT_NODE = re.compile(r'^\s*"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"', re.M)
DOT_EDGE = re.compile(r'^\s*"(node\d+)"\s*->\s*"(node\d+)"', re.M)
FORBIDDEN_QT_MODULES = ("QtGui", "QtWidgets")
FORBIDDEN_QT_TARGET = re.compile(r"^Qt\d*::(Gui|Widgets)$")

# OS headers: POSIX's beyond standard C and C++, Linux's and glibc's own. The standard C
# headers (<signal.h>, <stdlib.h>, <time.h>, ...) and their <c...> forms are standard C++
# and stay allowed everywhere: POSIX adds calls to some of them (kill() to <signal.h>,
# setenv() to <stdlib.h>), but the header cannot tell those from std::raise or std::getenv.
OS_HEADER_FOLDERS = ("sys/", "linux/", "asm/", "asm-generic/", "netinet/", "netinet6/",
                     "arpa/", "net/", "netpacket/", "netash/", "netax25/", "scsi/", "mtd/",
                     "rdma/", "security/", "selinux/", "systemd/", "libmnl/", "libnl3/")
OS_HEADERS = frozenset(name + ".h" for name in (
    "aio", "alloca", "byteswap", "cpio", "crypt", "dirent", "dlfcn", "elf", "endian", "err",
    "error", "execinfo", "fcntl", "features", "fmtmsg", "fnmatch", "fstab", "fts", "ftw",
    "getopt", "glob", "grp", "iconv", "ifaddrs", "langinfo", "libgen", "link", "malloc",
    "mntent", "monetary", "mqueue", "ndbm", "netdb", "nl_types", "paths", "poll", "pthread",
    "pty", "pwd", "regex", "resolv", "sched", "search", "semaphore", "sgtty", "shadow",
    "spawn", "strings", "stropts", "sysexits", "syslog", "tar", "termio", "termios", "trace",
    "ucontext", "ulimit", "unistd", "utime", "utmp", "utmpx", "wait", "wordexp"))

# The order of the ui folders, from the top: a folder includes only folders below it, and of
# the three feature folders on one rank each may include another only where that one does
# not include it back. src/ui's own files (the compiled-in pictures) sit below everything.
UI_RANK = {
    "app": 0,
    "ui/shell": 1,
    "ui/monitor": 2,
    "ui/blocking": 2,
    "ui/settings": 2,
    "ui/chrome": 3,
    "ui": 4,
}

# Which layers each layer may not include.
FORBIDDEN_LAYERS = {
    "platform": ("core", "ui", "app"),
    "core": ("ui", "app"),
    "ui": ("app",),
}


def article(word):
    return ("an " if word[0] in "aeio" else "a ") + word


def layer_of(src, path):
    rel = os.path.relpath(path, src)
    first = rel.split(os.sep)[0]
    return first if first in LAYERS else None


def included_file(src, including_file, name, quoted):
    """The path below src/ of the project header `name` names, or None for a header from
    elsewhere. Includes are by path from src/; a quoted name may also be relative to its
    file."""
    candidates = [os.path.join(src, name)]
    if quoted:
        candidates.insert(0, os.path.join(os.path.dirname(including_file), name))
    for candidate in candidates:
        candidate = os.path.normpath(candidate)
        if os.path.isfile(candidate) and not os.path.relpath(candidate, src).startswith(".."):
            return os.path.relpath(candidate, src).replace(os.sep, "/")
    # A header that does not exist (yet) still names the layer it reaches into.
    name = os.path.normpath(name).replace(os.sep, "/")
    return name if quoted and name.split("/")[0] in LAYERS else None


def ui_folder(rel):
    """The folder of the ui order a file below src/ belongs to, or None outside ui and app."""
    parts = rel.split("/")
    if parts[0] == "app":
        return "app"
    if parts[0] != "ui":
        return None
    return "ui" if len(parts) == 2 else "ui/" + parts[1]


def is_os_header(name):
    return name.startswith(OS_HEADER_FOLDERS) or name in OS_HEADERS


def qt_headers(qt_dirs):
    """Header names of the QtGui and QtWidgets folders: {name: module}."""
    names = {}
    for folder in qt_dirs:
        module = os.path.basename(os.path.normpath(folder))
        if module in FORBIDDEN_QT_MODULES and os.path.isdir(folder):
            for entry in os.listdir(folder):
                if os.path.isfile(os.path.join(folder, entry)):
                    names[entry] = module
    return names


def code_of(text):
    """The text with comments, string and character literals and include lines blanked,
    lines kept where they were, so that only code is searched for class names."""
    def blank(match):
        return re.sub(r"[^\n]", " ", match.group(0))
    text = re.sub(r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|'
                  r"'(?:\\.|[^'\\\n])*'", blank, text, flags=re.S)
    return re.sub(DIRECTIVE + r".*$", blank, text, flags=re.M)


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def check_gui_names(layer, shown, text, gui_headers):
    """A Qt GUI or Widgets class named in core or platform code, included or not: QObject's
    header declares QWidget, so a pointer to one compiles without any include."""
    broken = []
    code = code_of(text)
    declared = set()
    for match in FORWARD.finditer(code):
        group = 1 if match.group(1) else 2
        name = match.group(group)
        if name in gui_headers:
            declared.add(match.start(group))
            broken.append(f"src/{shown}:{line_of(code, match.start())}: {name}: "
                          f"{article(layer)} file forward-declares a {gui_headers[name]} class")
    for match in IDENTIFIER.finditer(code):
        name = match.group(0)
        if name in gui_headers and match.start() not in declared:
            broken.append(f"src/{shown}:{line_of(code, match.start())}: {name}: "
                          f"{article(layer)} file names a {gui_headers[name]} class")
    return broken


def check_includes(src, gui_headers):
    broken = []
    ui_edges = []  # (from folder, to folder, "file -> header", where)
    for root, dirs, files in os.walk(src):
        dirs.sort()
        for file in sorted(files):
            if not file.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(root, file)
            layer = layer_of(src, path)
            if layer is None:
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            shown = os.path.relpath(path, src).replace(os.sep, "/")
            if layer in ("platform", "core", "ui"):
                for match in MACRO_INCLUDE.finditer(text):
                    broken.append(f"src/{shown}:{line_of(text, match.start())}: "
                                  f"#include {match.group(1).strip()}: {article(layer)} file "
                                  f"includes through a macro, which cannot be checked")
            if layer in ("platform", "core"):
                broken += check_gui_names(layer, shown, text, gui_headers)
            for match in INCLUDE.finditer(text):
                quoted, name = match.group(1) == '"', match.group(2).strip()
                closing = '"' if quoted else ">"
                where = f"src/{shown}:{line_of(text, match.start())}: {match.group(1)}{name}{closing}"
                header = included_file(src, path, name, quoted)
                target = header.split("/")[0] if header else None
                if target in FORBIDDEN_LAYERS.get(layer, ()):
                    broken.append(f"{where}: {article(layer)} file includes {article(target)} header")
                elif header is None:
                    module = name.split("/")[0]
                    if layer in ("platform", "core") and module in FORBIDDEN_QT_MODULES:
                        broken.append(f"{where}: {article(layer)} file includes a {module} header")
                    elif layer in ("platform", "core") and name in gui_headers:
                        broken.append(f"{where}: {article(layer)} file includes a "
                                      f"{gui_headers[name]} header")
                    elif layer != "platform" and is_os_header(name):
                        broken.append(f"{where}: {article(layer)} file includes an OS header "
                                      f"(only src/platform calls the OS)")
                else:
                    source, dest = ui_folder(shown), ui_folder(header)
                    if source and dest and source != dest:
                        ui_edges.append((source, dest, f"{shown} -> {header}", where))
    return broken + check_ui_order(ui_edges)


def check_ui_order(edges):
    broken = []
    for source, dest, _, where in edges:
        if UI_RANK[dest] < UI_RANK[source]:
            broken.append(f"{where}: {source} includes {dest}, above it "
                          f"(app -> ui/shell -> ui/{{monitor,blocking,settings}} -> ui/chrome)")
    same_rank = {}
    for source, dest, _, where in edges:
        if UI_RANK[dest] == UI_RANK[source]:
            same_rank.setdefault((source, dest), []).append(where)
    for (source, dest), wheres in sorted(same_rank.items()):
        if source < dest and (dest, source) in same_rank:
            back = same_rank[(dest, source)]
            broken.append(f"{source} and {dest} include each other: {wheres[0]}; {back[0]}")
    return broken


def layer_libraries(src):
    """The libraries the CMake files of src/platform and src/core define."""
    libraries = []
    for layer in ("platform", "core"):
        for root, dirs, files in os.walk(os.path.join(src, layer)):
            dirs.sort()
            if "CMakeLists.txt" in files:
                with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as f:
                    for name in ADD_LIBRARY.findall(f.read()):
                        libraries.append((layer, name))
    return libraries


def link_graph(tree, cmake, generator):
    with tempfile.TemporaryDirectory(prefix="quillon-layers-") as build:
        dot = os.path.join(build, "targets.dot")
        run = subprocess.run(
            [cmake, "-S", tree, "-B", os.path.join(build, "b"), "-G", generator,
             "-DQUILLON_TESTS=OFF", "-DQUILLON_BENCH=OFF", "-DQUILLON_FUZZ=OFF",
             f"--graphviz={dot}"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if run.returncode != 0:
            sys.exit(f"configuring {tree} failed:\n{run.stdout}")
        with open(dot, encoding="utf-8") as f:
            text = f.read()
    labels = dict(DOT_NODE.findall(text))
    edges = {}
    for a, b in DOT_EDGE.findall(text):
        edges.setdefault(labels[a], []).append(labels[b])
    return edges


def check_links(src, edges):
    broken = []
    for layer, library in layer_libraries(src):
        if library not in edges and not any(library in deps for deps in edges.values()):
            broken.append(f"{library}: a {layer} library missing from the link graph")
            continue
        # Breadth first, so that the chain printed is a shortest one.
        chains = {library: [library]}
        queue = [library]
        while queue:
            node = queue.pop(0)
            for dep in edges.get(node, []):
                if dep not in chains:
                    chains[dep] = chains[node] + [dep]
                    queue.append(dep)
        for node, chain in chains.items():
            if FORBIDDEN_QT_TARGET.match(node):
                broken.append(f"{library}: a {layer} library links {node} ({' -> '.join(chain)})")
    return broken


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tree", help="the source tree (the folder holding src/)")
    parser.add_argument("--qt-dir", action="append", default=[],
                        help="a Qt include folder; the QtGui and QtWidgets ones are used")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--generator", default="Ninja")
    parser.add_argument("--no-links", action="store_true", help="check the includes only")
    args = parser.parse_args()

    src = os.path.join(os.path.abspath(args.tree), "src")
    gui_headers = qt_headers(args.qt_dir)
    if set(gui_headers.values()) != set(FORBIDDEN_QT_MODULES):
        sys.exit(f"no QtGui and QtWidgets header folders among {args.qt_dir}")
    broken = check_includes(src, gui_headers)
    if not args.no_links:
        broken += check_links(src, link_graph(os.path.abspath(args.tree), args.cmake,
                                              args.generator))
    for line in broken:
        print(line)
    if broken:
        print(f"{len(broken)} layering rule(s) broken")
        return 1
    print(f"layers kept apart ({len(gui_headers)} QtGui/QtWidgets header names checked)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
