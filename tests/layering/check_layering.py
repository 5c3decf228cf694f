#!/usr/bin/env python3
"""Fails when core/ includes Qt, engine/ includes QtGui or QtWidgets, or a folder
includes from a folder above it."""
import re
import sys
from pathlib import Path

# Highest first: a folder may include from itself and from folders below it.
LAYERS = ["app", "monitor", "dialogs", "viewers", "ui", "engine", "core"]
# The engine runs under QCoreApplication: nothing that needs a display.
WIDGET_HEADERS = {
    "QApplication", "QGuiApplication", "QWidget", "QMainWindow", "QDialog", "QMessageBox",
    "QLabel", "QLineEdit", "QPushButton", "QCheckBox", "QComboBox", "QIcon", "QPixmap",
    "QImage", "QMovie", "QSystemTrayIcon", "QAction", "QMenu", "QWindow", "QScreen",
    "QSoundEffect", "QMediaPlayer", "QFileDialog", "QGroupBox", "QStatusBar",
}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def main() -> int:
    root = Path(sys.argv[1])
    problems = []
    for rank, folder in enumerate(LAYERS):
        allowed_below = set(LAYERS[rank:])
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in {".h", ".hpp", ".cpp", ".cc"}:
                continue
            for number, line in enumerate(source.read_text(errors="replace").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                where = f"{source.relative_to(root)}:{number}"
                top = target.split("/", 1)[0]
                if folder == "core" and (target.startswith("Q") or top.startswith("Qt")):
                    problems.append(f"{where}: core/ includes Qt header {target}")
                if folder == "engine" and (top in {"QtGui", "QtWidgets"} or target in WIDGET_HEADERS):
                    problems.append(f"{where}: engine/ includes {target}, a QtGui or QtWidgets header")
                if top in LAYERS and top not in allowed_below:
                    problems.append(f"{where}: {folder}/ includes {target} from a folder above it")
    for p in problems:
        print(p)
    print(f"layering: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
