"""What a scenario's folder holds, in forms that can be compared between runs.

File names that carry identifiers, dates or counters are compared by their shape (a UUID or a run of
digits stands for any), and the scenario folder's own path inside a file counts as "$CASE", so two
runs in different folders, or made at different times, compare equal when they did the same work.
"""
import hashlib
import os
import plistlib
import json
import re
import shutil
import sqlite3
import tempfile
from collections import defaultdict
from pathlib import Path

_IDENTIFIER = re.compile(r"[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}|[0-9A-Fa-f]{16,}|[0-9]+")


_SPREAD_FOLDER = re.compile(r"(^|/)[0-9A-F]{2}(?=/)")  # Masters/1E/1E43…: spread by the identifier's start


def shape(relative: str) -> str:
    return _IDENTIFIER.sub("#", _SPREAD_FOLDER.sub(r"\1#", relative))


def checksum(path: Path, case: Path) -> str:
    data = path.read_bytes()
    if len(data) < (1 << 20):
        data = data.replace(str(case).encode(), b"$CASE")
    return hashlib.sha256(data).hexdigest()


def snapshot(case: Path) -> dict:
    """Every file and link under `case` (relative path -> checksum, or "link:" and where it leads)."""
    found = {}
    for folder, folders, files in os.walk(case):
        for name in files + [f for f in folders if os.path.islink(os.path.join(folder, f))]:
            path = Path(folder) / name
            relative = str(path.relative_to(case))
            if path.is_symlink():
                found[relative] = "link:" + os.readlink(path).replace(str(case), "$CASE")
            elif path.is_file():
                found[relative] = checksum(path, case)
    return found


def by_shape(files: dict) -> dict:
    shapes = defaultdict(list)
    for relative, digest in files.items():
        shapes[shape(relative)].append(digest)
    return {key: sorted(value) for key, value in shapes.items()}


def _query(database: Path, table: str, sql: str) -> list:
    """The rows `sql` gives from a copy of the catalogue (opening the real one could fold its log
    in, changing what is checked); none when the catalogue has no `table` yet."""
    with tempfile.TemporaryDirectory() as scratch:
        for part in database.parent.iterdir():
            shutil.copy2(part, scratch)
        connection = sqlite3.connect(Path(scratch) / database.name)
        try:
            tables = {r[0] for r in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            return connection.execute(sql).fetchall() if table in tables else []
        finally:
            connection.close()


def catalogue_rows(case: Path) -> dict:
    """The originals (and camera sources) each catalogue under `case` records, by library."""
    rows = {}
    for database in sorted(case.glob("*/Database/catalogue.sqlite")):
        originals = _query(database, "originals",
                           "SELECT sha256, size, file_name, kind, coalesce(location, '') FROM originals ORDER BY 1, 2, 3, 5")
        sources = _query(database, "sources", "SELECT * FROM sources ORDER BY 1, 2, 3, 4")
        rows[str(database.relative_to(case).parts[0])] = ([_kept_where(row, case) for row in originals], sources)
    return rows


def recorded_originals(database: Path) -> dict:
    """The originals a catalogue records: package-relative path -> SHA-256."""
    return dict(_query(database, "originals", "SELECT relative_path, sha256 FROM originals"))


def _kept_where(row: tuple, case: Path) -> tuple:
    """An original kept outside its library, told by the folder it is kept in and whether the
    file there holds it (of two equal files, either one is as good)."""
    sha256, size, name, kind, location = row
    if not location:
        return row
    place = Path(location)
    held = place.is_file() and hashlib.sha256(place.read_bytes()).hexdigest() == sha256
    top = place.relative_to(case).parts[0] if place.is_relative_to(case) else str(place)
    return sha256, size, name, kind, f"$CASE/{top}/ ({'holds it' if held else 'does not hold it'})"


def derived(key: str) -> bool:
    """Files drawn again from others, compared through what they are drawn from: the catalogue (by
    its rows) and the preview."""
    return "/Database/" in key or key.endswith(("/Summary.json", "/Summary.jpg"))


def transient(key: str) -> bool:
    """Work in progress, which a later run takes up or tidies away."""
    return "/Staging/" in key or key.startswith("tmp/") or Path(key).name.startswith(".") and not key.endswith(".lock")


def digest(case: Path, volatile: set, repeats: bool = False, leaving_out: set = frozenset()) -> dict:
    """What a finished job left: files by shape (only their number where the content varies; with
    `repeats`, the same content twice counts once) and the catalogues' rows."""
    shapes = by_shape({k: v for k, v in snapshot(case).items() if k not in leaving_out})
    if repeats:  # by folder: a second copy's name differs from the first's
        folders = {}
        for key, value in shapes.items():
            folders.setdefault(str(Path(key).parent) + "/*", set()).update(value)
        shapes = {key: sorted(value) for key, value in folders.items()}
    return {"files": {key: (len(value) if key in volatile else value) for key, value in shapes.items()
                      if not derived(key) and not transient(key)},
            "catalogues": catalogue_rows(case)}


def difference(expected: dict, found: dict) -> str:
    """A short account of how two digests differ ('' when they do not)."""
    lines = []
    for key in sorted(set(expected["files"]) | set(found["files"])):
        if expected["files"].get(key) != found["files"].get(key):
            lines.append(f"{key}: expected {_short(expected['files'].get(key))}, found {_short(found['files'].get(key))}")
    if expected["catalogues"] != found["catalogues"]:
        lines.append(f"catalogue rows differ: expected {expected['catalogues']}, found {found['catalogues']}")
    return "; ".join(lines[:4])


def _short(value) -> str:
    if isinstance(value, list):
        return "[" + ", ".join(v[:10] for v in value) + "]"
    return str(value)


def incomplete_record(path: Path) -> str:
    """Why a record under its final name cannot be read ('' when it can)."""
    try:
        if path.suffix == ".json":
            json.loads(path.read_bytes())
        elif path.suffix == ".plist":
            plistlib.loads(path.read_bytes())
    except Exception as error:  # noqa: BLE001 - any way of failing to read is the finding
        return f"{path.name} cannot be read: {error}"
    return ""


def reset(template: Path, case: Path) -> None:
    if case.exists():
        shutil.rmtree(case)
    shutil.copytree(template, case, symlinks=True)
