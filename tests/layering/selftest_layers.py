#!/usr/bin/env python3
"""Plants each kind of layering fault in a copy of the tree and checks that check_layers.py
reports it, after passing on the copy as it is; a few harmless additions must pass. Arguments
after the tree are passed on to the checker."""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# (file changed, text appended or (text, replacement), what the checker must say or None
# when it must pass, whether links are checked)
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
    ("src/platform/Inet.h", "#include <QtGui/QColor>\n",
     "src/platform/Inet.h:{line}: <QtGui/QColor>: a platform file includes a QtGui header", False),
    ("src/platform/CodePage.cpp", "#include <QPixmap>\n",
     "<QPixmap>: a platform file includes a QtGui header", False),
    ("src/platform/ExeDir.cpp", "#include <QApplication>\n",
     "<QApplication>: a platform file includes a QtWidgets header", False),
    ("src/core/monitor/Guard.h", "class QWidget;\n",
     "src/core/monitor/Guard.h:{line}: QWidget: a core file forward-declares a QtWidgets class",
     False),
    # QObject's header declares QWidget already: the pointer compiles with no declaration.
    ("src/core/monitor/Guard.h", "struct Held { QWidget* window; QColor colour; };\n",
     "QColor: a core file names a QtGui class", False),
    ("src/core/monitor/modNetstat.cpp", "#include <sys/socket.h>\n",
     "src/core/monitor/modNetstat.cpp:{line}: <sys/socket.h>: a core file includes an OS header",
     False),
    ("src/core/settings/EventLog.cpp", "#include <unistd.h>\n",
     "<unistd.h>: a core file includes an OS header", False),
    ("src/ui/shell/ShellHelpers.cpp", "#include <arpa/inet.h>\n",
     "<arpa/inet.h>: a ui file includes an OS header", False),
    ("src/app/main.cpp", '#include "linux/netlink.h"\n',
     '"linux/netlink.h": an app file includes an OS header', False),
    ("src/core/settings/EventLog.cpp", "#include <csignal>\n#include <cstdlib>\n#include <cerrno>\n",
     None, False),
    ("src/core/settings/modReg.cpp", "#include SOME_MACRO\n",
     "src/core/settings/modReg.cpp:{line}: #include SOME_MACRO: a core file includes through a macro",
     False),
    ("src/platform/Inet.cpp", '#define HEADER "ui/shell/Program.h"\n#include HEADER\n',
     "#include HEADER: a platform file includes through a macro", False),
    ("src/ui/chrome/SkinImage.cpp", '#include "ui/shell/Program.h"\n',
     'src/ui/chrome/SkinImage.cpp:{line}: "ui/shell/Program.h": ui/chrome includes ui/shell, above it',
     False),
    ("src/ui/Resources.cpp", '#include "ui/chrome/Twips.h"\n', "ui includes ui/chrome, above it",
     False),
    ("src/ui/blocking/frmAlert.cpp", '#include "ui/shell/TrayIcon.h"\n',
     "ui/blocking includes ui/shell, above it", False),
    # Two feature folders that include each other: each way planted, one of them the
    # main window's own.
    ([("src/ui/monitor/frmMain.cpp", '#include "ui/settings/frmOptions.h"\n'),
      ("src/ui/settings/frmOptions.cpp", '#include "ui/monitor/frmMain.h"\n')], None,
     "ui/monitor and ui/settings include each other", False),
    ([("src/ui/monitor/frmMain.cpp", '#include "ui/blocking/frmMenu.h"\n'),
      ("src/ui/blocking/frmAlert.cpp", '#include "../monitor/frmMain.h"\n')], None,
     "ui/blocking and ui/monitor include each other", False),
    # The main window may open the menu however it likes: that way is the order's own.
    ("src/ui/monitor/frmMain.h", '#include "ui/blocking/frmMenu.h"\n', None, False),
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
            plants = path if isinstance(path, list) else [(path, planted)]
            originals, shown = {}, []
            for one, text in plants:
                full = os.path.join(tree, one)
                with open(full, encoding="utf-8") as f:
                    original = originals[full] = f.read()
                if isinstance(text, tuple):
                    assert text[0] in original, f"{one} no longer holds {text[0]!r}"
                    changed, said = original.replace(text[0], text[1], 1), f"- {text[0]}"
                else:
                    changed, said = original + text, f"+ {text}"
                with open(full, "w", encoding="utf-8") as f:
                    f.write(changed)
                shown.append(f"{one} {said.strip()}")
            status, output = check(tree, extra, links)
            for full, original in originals.items():
                with open(full, "w", encoding="utf-8") as f:
                    f.write(original)
            original = next(iter(originals.values()))
            shown = "; ".join(shown).replace("\n", " | ")
            if expected is None:
                passed = status == 0
                print(f"== {shown}: exit {status}, {'passed' if passed else 'NOT PASSED'}\n{output}")
                failures += not passed
                continue
            expected = expected.format(line=original.count("\n") + 1)
            caught = status == 1 and expected in output
            print(f"== {shown}: exit {status}, "
                  f"{'caught' if caught else 'NOT CAUGHT, wanted: ' + expected}\n{output}")
            failures += not caught
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
