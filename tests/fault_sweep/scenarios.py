"""The commands that write, each with the folder it starts from and what finishing its job means.

Every scenario works inside one folder, `case`, which holds everything the command touches: the
libraries, the files it reads, the user's home and settings folders and a folder for temporary
files. A fixture is made once in `case` and copied back for every run, so absolute paths recorded
inside it (originals kept outside a library) stay true.
"""
import json
import os
import shutil
import subprocess
import tree
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

SAMPLE_PHOTOS = [
    "DCIM/100CANON/IMG_0001.JPG",
    "DCIM/100CANON/IMG_0002.JPG",
    "Fujifilm/2023/DSCF3012.JPG",
    "Holiday 2023/DSCF3012.JPG",  # the same picture again: found as already in the library
    "Exports/Sunset panorama.jpg",
]


@dataclass
class Scenario:
    name: str
    argv: Callable[[Path], list]
    prepare: Callable[["Tools", Path], None]
    libraries: Callable[[Path], list] = lambda case: [case / "Trip.oakenmere"]
    # Before the rerun: whatever the failed run's error asks the user to do (remove an unfinished
    # folder it names), or True when the failed run had in fact finished the job.
    before_rerun: Callable[["Tools", Path, str], bool] = lambda tools, case, errors: False
    # Pre-existing files the command exists to move or take away (their content must survive
    # elsewhere), as paths relative to `case`.
    may_go: Callable[[str], bool] = lambda relative: False
    # Whether running it again after a partial failure may keep the same thing twice.
    repeats: bool = False
    # Whether running it again once it has succeeded is a run that finds nothing to do (and so
    # may tidy what a failure left), rather than a mistake it refuses.
    again: bool = True


class Tools:
    """The program under test and the sample pictures, for fixtures and checks."""

    def __init__(self, oakenmere: Path, samples: Path):
        self.oakenmere = oakenmere
        self.samples = samples

    def environment(self, case: Path) -> dict:
        env = {k: v for k, v in os.environ.items() if not k.startswith(("OAKENMERE_FAULT", "LD_PRELOAD", "XDG_", "BRIGHTLOFT"))}
        env.update(HOME=str(case / "home"), XDG_CONFIG_HOME=str(case / "home/.config"),
                   XDG_DATA_HOME=str(case / "home/.local/share"), TMPDIR=str(case / "tmp"),
                   BRIGHTLOFT_SHARED_PRESETS=str(case / "presets"), LC_ALL="C.UTF-8", NO_COLOR="1")
        return env

    def run(self, case: Path, argv: list, extra_env: dict | None = None) -> subprocess.CompletedProcess:
        env = self.environment(case)
        env.update(extra_env or {})
        return subprocess.run([str(self.oakenmere), *argv], env=env, capture_output=True, text=True,
                              errors="replace", timeout=300, cwd=case)

    def must(self, case: Path, argv: list) -> str:
        done = self.run(case, argv)
        if done.returncode != 0:
            raise RuntimeError(f"fixture step {argv} failed: {done.stderr.strip()}")
        return done.stdout

    def opens(self, case: Path, library: Path) -> bool:
        return self.run(case, ["open", str(library)]).returncode == 0

    def photos(self, folder: Path) -> None:
        for relative in SAMPLE_PHOTOS:
            target = folder / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(self.samples / relative, target)

    def library(self, case: Path, imported: bool = True) -> Path:
        library = case / "Trip.oakenmere"
        self.must(case, ["create", str(library)])
        if imported:
            self.photos(case / "photos")
            self.must(case, ["import", str(case / "photos"), str(library)])
        return library


def _remove_if(path: Path, unfinished: Callable[[Path], bool], errors: str) -> bool:
    """Removes an unfinished result the failed run left, once its error has named it."""
    if path.exists() and unfinished(path):
        if str(path) not in errors:
            raise AssertionError(f"the error does not name the unfinished {path}")
        shutil.rmtree(path)
    return False


def _payloads(tools: Tools, case: Path) -> None:
    corpus = tools.samples.parent.parent / "fuzz/corpus/crash_payload"
    (case / "payloads").mkdir()
    for name in ("crash.json", "hang.json"):
        shutil.copy2(corpus / name, case / "payloads" / name)


def _exchange_packages(tools: Tools, case: Path) -> None:
    lut = "a" * 64 + ".cube"
    for name, preset in (("Warm", {"exposure": 0.5, "temperature": 800}), ("Cool", {"exposure": -0.3})):
        folder = case / "packages" / f"{name}.oakenmerepreset"
        folder.mkdir(parents=True)
        (folder / "preset.json").write_text(json.dumps(preset))
        if name == "Warm":
            (folder / lut).write_text("LUT_3D_SIZE 2\n" + "0 0 0\n" * 8)


def _kept_elsewhere(tools: Tools, case: Path) -> None:
    tools.library(case)
    shutil.copytree(case / "photos", case / "kept")


def _relocatable(tools: Tools, case: Path) -> None:
    _kept_elsewhere(tools, case)
    tools.must(case, ["erase-copies", str(case / "Trip.oakenmere"), "--kept-in", str(case / "kept"), "--apply"])
    (case / "kept").rename(case / "moved")


def _earlier_library(tools: Tools, case: Path) -> None:
    tools.library(case)
    (case / "Trip.oakenmere").rename(case / "Trip.brightloft")


def _earlier_identity(tools: Tools, case: Path) -> None:
    earlier = case / "earlier"
    (earlier / ".config").mkdir(parents=True)
    (earlier / ".config/com.brightloft.Brightloft.json").write_text(json.dumps({"theme": "dark", "lastLibrary": "/x"}))
    support = earlier / ".local/share/Brightloft"
    (support / "Presets").mkdir(parents=True)
    (support / "Presets/Warm.brightloftpreset").write_text('{"exposure": 0.5}')
    (support / "Presets/Cool.brightloftpreset").write_text('{"exposure": -0.5}')
    shutil.copy2(tools.samples / SAMPLE_PHOTOS[0], support / "Thumbnail.jpg")


def _relocated_done(tools: Tools, case: Path, errors: str) -> bool:
    """The new places are recorded (what failed came after, such as the preview)."""
    rows = tree.catalogue_rows(case).get("Trip.oakenmere", ([], []))[0]
    return bool(rows) and all(row[4].startswith("$CASE/moved/") for row in rows)


def _renamed_done(tools: Tools, case: Path, errors: str) -> bool:
    return not (case / "Trip.brightloft").exists() and tools.opens(case, case / "Trip.oakenmere")


def _created_done(tools: Tools, case: Path, errors: str) -> bool:
    library = case / "New.oakenmere"
    if not library.exists():
        return False
    if not tools.opens(case, library):
        raise AssertionError("a library that does not open was left under its final name")
    return True


def _restored_done(tools: Tools, case: Path, errors: str) -> bool:
    """A restore that made its library says so when it fails: whole, or to be deleted."""
    library = case / "Restored.oakenmere"
    if library.exists() and str(library) not in errors:
        raise AssertionError(f"the error does not name the library it made: {errors.strip()}")
    return library.exists() and tools.opens(case, library) or _remove_if(library, lambda p: True, errors)


def _copy_argv(case: Path) -> list:
    digest = (case / "big.sha256").read_text().strip()
    return ["copy", str(case / "big.raw"), str(case / "out/big.raw"), "--sha256", digest]


def _big_file(tools: Tools, case: Path) -> None:
    import hashlib
    data = os.urandom(3 * 1024 * 1024 + 123)
    (case / "big.raw").write_bytes(data)
    (case / "big.sha256").write_text(hashlib.sha256(data).hexdigest())
    (case / "out").mkdir()


def _in_masters(relative: str) -> bool:
    return relative.startswith("Trip.oakenmere/Masters/")


SCENARIOS = [
    Scenario("create", lambda c: ["create", str(c / "New.oakenmere")], lambda t, c: None,
             libraries=lambda c: [], before_rerun=_created_done, again=False),
    Scenario("import", lambda c: ["import", str(c / "photos"), str(c / "Trip.oakenmere")],
             lambda t, c: (t.library(c, imported=False), t.photos(c / "photos"))),
    Scenario("camera import", lambda c: ["camera", "import", str(c / "Trip.oakenmere"), "--port", f"disk:{c / 'card'}"],
             lambda t, c: (t.library(c, imported=False), t.photos(c / "card"))),
    # The card's files go only once the library is proven to hold them: their content must survive.
    Scenario("camera import --delete-from-camera",
             lambda c: ["camera", "import", str(c / "Trip.oakenmere"), "--port", f"disk:{c / 'card'}", "--delete-from-camera"],
             lambda t, c: (t.library(c, imported=False), t.photos(c / "card")), may_go=lambda relative: relative.startswith("card/")),
    Scenario("copy", _copy_argv, _big_file, libraries=lambda c: []),
    Scenario("refresh", lambda c: ["refresh", str(c / "Trip.oakenmere")], lambda t, c: t.library(c)),
    Scenario("backup", lambda c: ["backup", str(c / "Trip.oakenmere"), str(c / "Backup")], lambda t, c: t.library(c),
             before_rerun=lambda t, c, e: (c / "Backup/backup.json").exists() or
             _remove_if(c / "Backup", lambda p: not (p / "backup.json").exists(), e), again=False),
    Scenario("restore", lambda c: ["restore", str(c / "Backup"), str(c / "Restored.oakenmere")],
             lambda t, c: (t.library(c), t.must(c, ["backup", str(c / "Trip.oakenmere"), str(c / "Backup")])),
             before_rerun=_restored_done, again=False),
    Scenario("presets import", lambda c: ["presets", "import", str(c / "packages/Warm.oakenmerepreset"),
                                          str(c / "packages/Cool.oakenmerepreset")],
             _exchange_packages, libraries=lambda c: []),
    Scenario("crash-reports keep", lambda c: ["crash-reports", "keep", str(c / "payloads/crash.json"),
                                              str(c / "payloads/hang.json"), "--folder", str(c / "reports")],
             _payloads, libraries=lambda c: [], repeats=True),
    Scenario("erase-copies", lambda c: ["erase-copies", str(c / "Trip.oakenmere"), "--kept-in", str(c / "kept"), "--apply"],
             _kept_elsewhere, may_go=_in_masters),
    Scenario("relocate", lambda c: ["relocate", str(c / "Trip.oakenmere"), "--from", str(c / "kept"), "--to",
                                    str(c / "moved"), "--apply"], _relocatable, before_rerun=_relocated_done, again=False),
    Scenario("rename", lambda c: ["rename", str(c / "Trip.brightloft"), "--apply"], _earlier_library,
             libraries=lambda c: [c / "Trip.brightloft", c / "Trip.oakenmere"], before_rerun=_renamed_done,
             may_go=lambda relative: relative.startswith("Trip.brightloft/"), again=False),
    Scenario("migrate", lambda c: ["migrate", "--from", str(c / "earlier")], _earlier_identity, libraries=lambda c: []),
]


def prepare(tools: Tools, scenario: Scenario, case: Path) -> None:
    """Makes the scenario's fixture in `case` (emptied first)."""
    if case.exists():
        shutil.rmtree(case)
    for folder in ("home/.config", "home/.local/share", "tmp"):
        (case / folder).mkdir(parents=True)
    scenario.prepare(tools, case)
