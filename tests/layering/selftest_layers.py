#!/usr/bin/env python3
"""Plants each kind of layering fault in a copy of the tree and checks that check_layers.py
reports it, after passing on the copy as it is. Arguments after the tree are passed on to
the checker."""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# (file to append to, text appended, what the checker must say, whether links are checked)
CASES = [
    ("src/platform/Inet.cpp", '#include "core/settings/modReg.h"\n',
     'src/platform/Inet.cpp:{line}: "core/settings/modReg.h": a platform file includes a core header', False),
    ("src/platform/Inet.h", '#include "../ui/shell/Program.h"\n',
     "a platform file includes a ui header", False),
    ("src/core/monitor/modNetstat.cpp", '#include "ui/monitor/frmMain.h"\n',
     "a core file includes a ui header", False),
    ("src/core/settings/modReg.cpp", '#include "app/CommandLine.h"\n',
     "a core file includes an app header", False),
    ("src/core/settings/EventLog.cpp", "#include <QMessageBox>\n",
     "<QMessageBox>: a core file includes a QtWidgets header", False),
    ("src/core/blocking/TrojanTable.cpp", "#include <QColor>\n",
     "<QColor>: a core file includes a QtGui header", False),
    ("src/core/monitor/ListRefresh.h", "#include <QtWidgets/QWidget>\n",
     "<QtWidgets/QWidget>: a core file includes a QtWidgets header", False),
    ("src/ui/shell/ShellHelpers.cpp", '#include "app/CommandLine.h"\n',
     "a ui file includes an app header", False),
    ("src/core/CMakeLists.txt", "target_link_libraries(quillon_core PRIVATE Qt6::Widgets)\n",
     "quillon_core: a core library links Qt6::Widgets (quillon_core -> Qt6::Widgets)", True),
    ("src/platform/CMakeLists.txt", "target_link_libraries(quillon_cutproto PUBLIC Qt6::Gui)\n",
     "quillon_platform: a platform library links Qt6::Gui (quillon_platform -> quillon_cutproto -> Qt6::Gui)",
     True),
]


def check(tree, extra, links):
    command = [sys.executable, os.path.join(HERE, "check_layers.py"), tree] + extra
    if not links:
        command.append("--no-links")
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return run.returncode, run.stdout


def main():
    source, extra = sys.argv[1], sys.argv[2:]
    failures = 0
    with tempfile.TemporaryDirectory(prefix="quillon-layers-tree-") as tree:
        tree = os.path.join(tree, "tree")
        shutil.copytree(source, tree, ignore=shutil.ignore_patterns("build", ".git", "tests", "bench"))
        status, output = check(tree, extra, True)
        print(f"== the tree as it is: exit {status}\n{output}")
        failures += status != 0
        for path, planted, expected, links in CASES:
            full = os.path.join(tree, path)
            with open(full, encoding="utf-8") as f:
                original = f.read()
            with open(full, "w", encoding="utf-8") as f:
                f.write(original + planted)
            expected = expected.format(line=original.count("\n") + 1)
            status, output = check(tree, extra, links)
            with open(full, "w", encoding="utf-8") as f:
                f.write(original)
            caught = status == 1 and expected in output
            print(f"== {path} + {planted.strip()}: exit {status}, "
                  f"{'caught' if caught else 'NOT CAUGHT, wanted: ' + expected}\n{output}")
            failures += not caught
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
