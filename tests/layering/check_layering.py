#!/usr/bin/env python3
"""Fails when core/ includes Qt, engine/ includes QtGui or QtWidgets or calls the
system itself (POSIX headers, ::open and the like: that is core/'s job), or a
folder includes from a folder above it. With --self-test it checks that a tree
breaking each rule fails."""
import re
import sys
import tempfile
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
# The engine reaches the system through core/ only.
POSIX_HEADERS = {
    "unistd.h", "fcntl.h", "signal.h", "poll.h", "dirent.h", "termios.h", "pwd.h", "grp.h",
    "spawn.h", "dlfcn.h", "netdb.h", "csignal",
}
POSIX_HEADER_FOLDERS = ("sys/", "linux/", "netinet/", "arpa/")
POSIX_CALLS = (
    "open openat creat read pread readv write pwrite writev close dup dup2 dup3 fcntl ioctl "
    "lseek fsync fdatasync ftruncate truncate unlink unlinkat rename renameat link symlink "
    "readlink readlinkat mkdir rmdir chmod fchmod chown fchown stat fstat lstat fstatat statfs "
    "fstatfs access faccessat opendir readdir closedir mkstemp pipe pipe2 poll ppoll select "
    "epoll_create1 epoll_ctl epoll_wait socket socketpair connect bind listen accept accept4 "
    "send sendto sendmsg recv recvfrom recvmsg shutdown getsockopt setsockopt kill killpg "
    "raise sigaction signal sigprocmask syscall fork vfork execv execve execvp waitpid wait "
    "setsid getpid getppid getuid geteuid getgid getegid prctl mmap munmap flock"
).split()
# "::name(" standing alone: qualified names (Stored::read, QObject::connect) are not it.
POSIX_CALL = re.compile(r"(?<![\w:])::(" + "|".join(POSIX_CALLS) + r")\s*\(")


def check(root: Path) -> list[str]:
    problems = []
    for rank, folder in enumerate(LAYERS):
        allowed_below = set(LAYERS[rank:])
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in {".h", ".hpp", ".cpp", ".cc"}:
                continue
            for number, line in enumerate(source.read_text(errors="replace").splitlines(), 1):
                where = f"{source.relative_to(root)}:{number}"
                code = line.split("//", 1)[0]
                if folder == "engine" and (call := POSIX_CALL.search(code)):
                    problems.append(f"{where}: engine/ calls ::{call.group(1)}; system calls "
                                    "belong in core/")
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                top = target.split("/", 1)[0]
                if folder == "core" and (target.startswith("Q") or top.startswith("Qt")):
                    problems.append(f"{where}: core/ includes Qt header {target}")
                if folder == "engine" and (top in {"QtGui", "QtWidgets"} or target in WIDGET_HEADERS):
                    problems.append(f"{where}: engine/ includes {target}, a QtGui or QtWidgets header")
                if folder == "engine" and (target in POSIX_HEADERS or
                                           target.startswith(POSIX_HEADER_FOLDERS)):
                    problems.append(f"{where}: engine/ includes {target}; system calls belong in core/")
                if top in LAYERS and top not in allowed_below:
                    problems.append(f"{where}: {folder}/ includes {target} from a folder above it")
    return problems


def self_test() -> int:
    """Each rule, broken alone in a small tree, must be found; the clean tree passes."""
    clean = {"engine/a.cpp": "#include <QObject>\nStored Stored::read() { QObject::connect(); }\n"
                             "// ::close(fd) in a comment\n"}
    broken = {
        "core/a.cpp": "#include <QString>\n",
        "engine/b.cpp": "#include <QWidget>\n",
        "engine/c.cpp": "#include <unistd.h>\n",
        "engine/d.cpp": "#include <sys/stat.h>\n",
        "engine/e.cpp": "void f() { ::kill(1, 9); }\n",
        "engine/f.cpp": "int n = ::read (fd, b, 1);\n",
        "core/g.cpp": '#include "engine/watchdog.h"\n',
    }
    failures = 0
    for name, text in [("clean", None)] + list(broken.items()):
        with tempfile.TemporaryDirectory() as folder:
            tree = dict(clean)
            if text is not None:
                tree[name] = text
            for path, content in tree.items():
                (Path(folder) / path).parent.mkdir(parents=True, exist_ok=True)
                (Path(folder) / path).write_text(content)
            found = check(Path(folder))
            if bool(found) != (text is not None):
                print(f"self-test: {name}: {found or 'not found'}")
                failures += 1
    print(f"layering self-test: {failures} failure(s)")
    return 1 if failures else 0


def main() -> int:
    if sys.argv[1] == "--self-test":
        return self_test()
    problems = check(Path(sys.argv[1]))
    for p in problems:
        print(p)
    print(f"layering: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
