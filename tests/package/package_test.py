#!/usr/bin/env python3
"""The Debian package that scripts/package builds: its files and fields, the
desktop entry, the AppStream metadata, lintian, and the installed copy started
from an unpacked root.

Usage: package_test.py PACKAGE_FOLDER VERSION [unittest arguments]

A missing package skips (exit 77), unless PERSTANDO_PACKAGE_REQUIRED=1 (set by
scripts/test, which builds it first): then it fails."""
import ctypes
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

PROGRAM_DIR = "usr/lib/perstando"
METAINFO = "usr/share/metainfo/org.perstando.Perstando.metainfo.xml"
DESKTOP_ENTRY = "usr/share/applications/perstando.desktop"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
DEADLINE = 30  # seconds for anything the started program should do

DEB = None  # set in main()
VERSION = None


def run(*command, check=True):
    return subprocess.run(command, check=check, capture_output=True, text=True, timeout=300)


def expected_entries():
    """Path -> (type, mode) of everything the package must hold, and nothing else."""
    entries = {
        "usr/bin/perstando": ("l", None),
        f"{PROGRAM_DIR}/perstando": ("-", 0o755),
        f"{PROGRAM_DIR}/perstando-gui.so": ("-", 0o644),
        f"{PROGRAM_DIR}/linkmind": ("-", 0o755),
        f"{PROGRAM_DIR}/outputlog": ("-", 0o755),
        "usr/share/doc/perstando/manual.md": ("l", None),
        "usr/share/man/man1/perstando.1.gz": ("-", 0o644),
        "usr/share/icons/hicolor/scalable/apps/perstando.svg": ("-", 0o644),
        DESKTOP_ENTRY: ("-", 0o644),
        METAINFO: ("-", 0o644),
    }
    for name in ("ringin.wav", "warning_4.gif", "perstando.hlp"):
        entries[f"{PROGRAM_DIR}/{name}"] = ("-", 0o644)
    for name in ("copyright", "changelog.gz"):
        entries[f"usr/share/doc/perstando/{name}"] = ("-", 0o644)
    for name in ("prometheus.yml", "perstando-alerts.yml"):
        entries[f"usr/share/doc/perstando/examples/prometheus/{name}"] = ("-", 0o644)
    for size in ICON_SIZES:
        entries[f"usr/share/icons/hicolor/{size}x{size}/apps/perstando.png"] = ("-", 0o644)
    for path in list(entries):
        parent = Path(path).parent
        while str(parent) != ".":
            entries[str(parent)] = ("d", 0o755)
            parent = parent.parent
    return entries


def mode_bits(text):
    bits = 0
    for i, char in enumerate(text[1:]):
        if char != "-":
            bits |= 1 << (8 - i)
    return bits


class Unpacked(unittest.TestCase):
    """The package unpacked into a temporary root."""

    def setUp(self):
        self.temp = Path(tempfile.mkdtemp(prefix="perstando-package-"))
        self.addCleanup(shutil.rmtree, self.temp, ignore_errors=True)
        self.root = self.temp / "root"
        run("dpkg-deb", "-x", str(DEB), str(self.root))


class PackageFiles(Unpacked):
    def test_holds_exactly_its_files_owned_by_root_with_plain_modes(self):
        listed = {}
        for line in run("dpkg-deb", "-c", str(DEB)).stdout.splitlines():
            fields = line.split(None, 5)
            perms, owner, name = fields[0], fields[1], fields[5]
            target = None
            if " -> " in name:
                name, target = name.split(" -> ", 1)
            name = name.removeprefix("./").rstrip("/")
            if name:
                listed[name] = (perms, owner, target)
                self.assertEqual(owner, "root/root", name)
        expected = expected_entries()
        self.assertEqual(sorted(listed), sorted(expected))
        for name, (kind, mode) in expected.items():
            perms = listed[name][0]
            self.assertEqual(perms[0], kind, name)
            if mode is not None:
                self.assertEqual(oct(mode_bits(perms)), oct(mode), name)
        self.assertEqual(listed["usr/bin/perstando"][2], "../lib/perstando/perstando")
        # The links lead to the files they name inside the package.
        for link in ("usr/bin/perstando", "usr/share/doc/perstando/manual.md"):
            self.assertTrue((self.root / link).resolve().is_relative_to(self.root / PROGRAM_DIR),
                            link)
            self.assertTrue((self.root / link).resolve().is_file(), link)

    def test_fields_name_version_architecture_and_libraries(self):
        fields = {}
        for field in ("Package", "Version", "Architecture", "Maintainer", "Depends", "Section",
                      "Priority", "Description"):
            fields[field] = run("dpkg-deb", "-f", str(DEB), field).stdout.strip()
            self.assertTrue(fields[field], field)
        self.assertEqual(fields["Package"], "perstando")
        self.assertEqual(fields["Version"], VERSION)
        self.assertEqual(fields["Architecture"], run("dpkg", "--print-architecture").stdout.strip())
        depends = [d.strip().split()[0] for d in fields["Depends"].split(",")]
        for library in ("libc6", "libqt6widgets6", "libqt6multimedia6", "libqt6network6"):
            self.assertIn(library, depends)
        synopsis, _, long_text = fields["Description"].partition("\n")
        self.assertTrue(synopsis and long_text.strip(), "short and long description")

    def test_icons_are_pictures_of_their_folder_size(self):
        for size in ICON_SIZES:
            png = (self.root / f"usr/share/icons/hicolor/{size}x{size}/apps/perstando.png")
            header = png.read_bytes()[:24]
            self.assertEqual(header[:8], b"\x89PNG\r\n\x1a\n", png)
            self.assertEqual(struct.unpack(">II", header[16:24]), (size, size), png)
        svg = ElementTree.parse(self.root / "usr/share/icons/hicolor/scalable/apps/perstando.svg")
        self.assertEqual(svg.getroot().tag, "{http://www.w3.org/2000/svg}svg")


class DesktopIntegration(Unpacked):
    def test_desktop_entry_is_valid_and_names_the_command_and_icon(self):
        entry = self.root / DESKTOP_ENTRY
        result = run("desktop-file-validate", str(entry), check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        keys = dict(line.split("=", 1) for line in entry.read_text().splitlines() if "=" in line)
        self.assertTrue((self.root / "usr/bin" / keys["Exec"].split()[0]).exists())
        self.assertTrue(
            (self.root / f"usr/share/icons/hicolor/48x48/apps/{keys['Icon']}.png").is_file())

    def test_metainfo_is_valid_and_launches_the_desktop_entry(self):
        metainfo = self.root / METAINFO
        result = run("appstreamcli", "validate", "--no-net", str(metainfo), check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        component = ElementTree.parse(metainfo).getroot()
        self.assertEqual(component.findtext("id") + ".metainfo.xml", metainfo.name)
        self.assertEqual(component.findtext("launchable[@type='desktop-id']"),
                         Path(DESKTOP_ENTRY).name)


class Lintian(unittest.TestCase):
    def test_reports_no_errors(self):
        result = run("lintian", "--allow-root", "--display-info", str(DEB), check=False)
        errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], result.stdout + result.stderr)
        # Exit status 2 means lintian itself failed, not the package.
        self.assertNotEqual(result.returncode, 2, result.stderr)


IN_OPEN = 0x20


class OpenWatch:
    """The names of files opened in one folder, by inotify."""

    def __init__(self, folder):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, os.fsencode(folder), IN_OPEN) < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        self.opened = set()

    def take(self, timeout):
        if not select.select([self.fd], [], [], timeout)[0]:
            return
        data = os.read(self.fd, 65536)
        offset = 0
        while offset < len(data):
            _, _, _, length = struct.unpack_from("iIII", data, offset)
            name = data[offset + 16:offset + 16 + length].rstrip(b"\0")
            self.opened.add(os.fsdecode(name))
            offset += 16 + length

    def close(self):
        os.close(self.fd)


def processes_running_from(folder):
    """PIDs of processes whose executable lies in `folder`."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            exe = Path(os.readlink(entry / "exe"))
        except OSError:
            continue
        if exe.is_relative_to(folder):
            found.append(int(entry.name))
    return found


class StartedCopy(Unpacked):
    """The command /usr/bin/perstando of the unpacked package, started with a
    home of its own on the offscreen platform."""

    def setUp(self):
        super().setUp()
        self.program_dir = self.root / PROGRAM_DIR
        self.home = self.temp / "home"
        self.runtime = self.temp / "runtime"
        self.home.mkdir()
        self.runtime.mkdir(mode=0o700)
        self.log = self.temp / "watch.log"
        self.addCleanup(self.end_everything_started_from_the_root)

    def settings_text(self):
        # A slot whose program is never found running keeps the alarms going;
        # the companion starts a few seconds after the program.
        return (f"[log]\npath={self.log}\n"
                "[Alerts]\nvisual=On\naudio=On\n"
                "[Internet]\nalive=On\n"
                "[exe1]\nname=Probe\npath=/bin/true\ntimer=500\n")

    def start(self, extra_env=None, wrapper=()):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": str(self.home),
            "XDG_RUNTIME_DIR": str(self.runtime),
            "QT_QPA_PLATFORM": "offscreen",
        }
        env.update(extra_env or {})
        output = open(self.temp / "output.txt", "wb")
        self.addCleanup(output.close)
        perstando = subprocess.Popen([*wrapper, str(self.root / "usr/bin/perstando")], env=env,
                                     cwd=self.home, stdout=output, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.addCleanup(perstando.wait)
        self.addCleanup(perstando.kill)
        return perstando

    def start_with_read_only_program_folder(self, extra_env=None):
        # Read-only even for root: the program folder mounted read-only in a
        # mount namespace of the program's own.
        folder = self.program_dir
        return self.start(extra_env, ("unshare", "--mount", "--propagation", "private", "sh", "-c",
                                      f'mount --bind -o ro "{folder}" "{folder}" && exec "$0"'))

    def end_everything_started_from_the_root(self):
        for pid in processes_running_from(self.root):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + DEADLINE
        while processes_running_from(self.root) and time.monotonic() < deadline:
            time.sleep(0.05)

    def wait_for(self, condition, what, on_the_way=None):
        deadline = time.monotonic() + DEADLINE
        while not condition():
            remaining = deadline - time.monotonic()
            self.assertGreater(remaining, 0, f"{what}; output: {self.output()}")
            if on_the_way:
                on_the_way(min(remaining, 0.1))
            else:
                time.sleep(min(remaining, 0.05))

    def output(self):
        return (self.temp / "output.txt").read_text(errors="replace")

    def logged_start(self):
        return self.log.exists() and "has been started" in self.log.read_text(errors="replace")

    def companion_running(self):
        companion = self.program_dir / "linkmind"
        return any(Path(os.readlink(f"/proc/{pid}/exe")) == companion
                   for pid in processes_running_from(self.program_dir))


class InstalledCopy(StartedCopy):
    def test_starts_through_the_command_link_and_finds_its_files(self):
        (self.program_dir / "settings.ini").write_text(self.settings_text())
        watch = OpenWatch(self.program_dir)
        self.addCleanup(watch.close)
        perstando = self.start()
        # The settings are read beside the program, not beside the link.
        self.wait_for(self.logged_start, "no start line in the log")
        self.wait_for(self.companion_running, "the companion was not started")
        self.wait_for(lambda: {"ringin.wav", "warning_4.gif"} <= watch.opened,
                      f"the alarm files were not opened (opened: {watch.opened})", watch.take)
        self.assertIsNone(perstando.poll(), self.output())


class InstalledCopySettings(StartedCopy):
    """Where an installed copy whose program folder cannot be written keeps its
    settings: $XDG_CONFIG_HOME/perstando, by default ~/.config/perstando."""

    def test_reads_settings_from_xdg_config_home(self):
        config = self.temp / "config"
        (config / "perstando").mkdir(parents=True)
        (config / "perstando/settings.ini").write_text(self.settings_text())
        self.start_with_read_only_program_folder({"XDG_CONFIG_HOME": str(config)})
        self.wait_for(self.logged_start, "no start line in the log")
        self.assertFalse((self.program_dir / "settings.ini").exists())

    def test_reads_settings_from_dot_config_without_xdg_config_home(self):
        (self.home / ".config/perstando").mkdir(parents=True)
        (self.home / ".config/perstando/settings.ini").write_text(self.settings_text())
        self.start_with_read_only_program_folder()
        self.wait_for(self.logged_start, "no start line in the log")


def main():
    global DEB, VERSION
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    folder, VERSION = Path(sys.argv[1]), sys.argv[2]
    arch = run("dpkg", "--print-architecture").stdout.strip()
    DEB = folder / f"perstando_{VERSION}_{arch}.deb"
    if not DEB.is_file():
        print(f"{DEB} is missing: scripts/package builds it", file=sys.stderr)
        return 1 if os.environ.get("PERSTANDO_PACKAGE_REQUIRED") == "1" else 77
    program = unittest.main(argv=[sys.argv[0], *sys.argv[3:]], exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
