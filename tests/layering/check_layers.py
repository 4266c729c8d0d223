#!/usr/bin/env python3
"""Checks that the source tree keeps its layers apart.

    platform  includes nothing of the project outside src/platform/
    core      includes no header of src/ui/ or src/app/ and no QtGui or QtWidgets header
    ui        includes no header of src/app/
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
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
ADD_LIBRARY = re.compile(r"\badd_library\s*\(\s*([A-Za-z0-9_.+-]+)")
DOT_NODE = re.compile(r'^\s*"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"', re.M)
DOT_EDGE = re.compile(r'^\s*"(node\d+)"\s*->\s*"(node\d+)"', re.M)
FORBIDDEN_QT_MODULES = ("QtGui", "QtWidgets")
FORBIDDEN_QT_TARGET = re.compile(r"^Qt\d*::(Gui|Widgets)$")

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


def included_layer(src, including_file, name, quoted):
    """The layer of the project header `name` names, or None for a header from elsewhere.
    Includes are by path from src/; a quoted name may also be relative to its file."""
    candidates = [os.path.join(src, name)]
    if quoted:
        candidates.insert(0, os.path.join(os.path.dirname(including_file), name))
    for candidate in candidates:
        candidate = os.path.normpath(candidate)
        if os.path.isfile(candidate) and not os.path.relpath(candidate, src).startswith(".."):
            return layer_of(src, candidate)
    # A header that does not exist (yet) still names the layer it reaches into.
    first = os.path.normpath(name).split(os.sep)[0]
    return first if quoted and first in LAYERS else None


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


def check_includes(src, gui_headers):
    broken = []
    for root, dirs, files in os.walk(src):
        dirs.sort()
        for file in sorted(files):
            if not file.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(root, file)
            layer = layer_of(src, path)
            if layer not in FORBIDDEN_LAYERS:
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            shown = os.path.relpath(path, src)
            for match in INCLUDE.finditer(text):
                quoted, name = match.group(1) == '"', match.group(2).strip()
                line = text.count("\n", 0, match.start()) + 1
                closing = '"' if quoted else ">"
                where = f"src/{shown}:{line}: {match.group(1)}{name}{closing}"
                target = included_layer(src, path, name, quoted)
                if target in FORBIDDEN_LAYERS[layer]:
                    broken.append(f"{where}: {article(layer)} file includes {article(target)} header")
                elif layer == "core" and target is None:
                    module = name.split("/")[0]
                    if module in FORBIDDEN_QT_MODULES:
                        broken.append(f"{where}: a core file includes a {module} header")
                    elif name in gui_headers:
                        broken.append(f"{where}: a core file includes a {gui_headers[name]} header")
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
