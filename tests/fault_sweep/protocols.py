"""How the small records reach their final names, from the file-system calls of clean runs.

A record replaced through a rename is safe across a power cut only when its new file was flushed
before the rename (or the rename can land before the data, leaving an empty record) and its folder
after it (or the rename itself can be lost). A record written in place under its final name needs
the same two flushes. Reports each record each command writes, and what it misses.
"""
import os
from pathlib import Path

RECORDS = {"Summary.json": "summary", "Summary.jpg": "contact sheet", "Info.plist": "identity record",
           "job.json": "import job", "defaults.json": "defaults", "backup.json": "backup manifest"}


def record_of(path: str) -> str:
    """What small record a path names ('' for none)."""
    name = Path(path).name
    if name.endswith(".oakenmerepreset") and "/packages/" not in path:
        return "preset"
    if name.startswith("Crash report ") and name.endswith(".json"):
        return "crash report"
    return RECORDS.get(name, "")


# Records the design leaves unflushed on purpose, and why; reported, not counted as misses.
AS_DESIGNED = {("identity record (Info.plist)", "create"): "a new library's record is written without a flush"}


def _events(trace: Path) -> list:
    if not trace.exists():
        return []
    return [tuple((line.split("\t") + ["", "", "", ""])[:4]) for line in trace.read_text().splitlines()]


def _flushed(events: list, path: str, start: int, end: int) -> bool:
    return any(kind == "fsync" and (call == "syncfs" or target == path)
               for kind, call, target, _ in events[start:end])


def findings(events: list) -> list:
    """(record's path, flushed before, folder flushed after) for each record that lands."""
    found = []
    landed = set()
    for index, (kind, _, source, destination) in enumerate(events):
        if kind not in ("rename", "link") or not record_of(destination):
            continue
        if source.startswith("/proc/self/fd/"):
            # An unnamed file (O_TMPFILE) given its name: it shows as "FOLDER/#INODE (deleted)".
            unnamed = [e[2] for e in events[:index] if e[0] == "write" and e[2].endswith(" (deleted)")
                       and os.path.dirname(e[2]) == os.path.dirname(destination)]
            source = unnamed[-1] if unnamed else source
        writes = [i for i in range(index) if events[i][0] == "write" and events[i][2] == source]
        file_flushed = bool(writes) and _flushed(events, source, writes[-1] + 1, index)
        found.append((destination, file_flushed,
                      _flushed(events, os.path.dirname(destination), index + 1, len(events))))
        landed.add(destination)
    written_in_place = {}
    for index, (kind, _, path, _) in enumerate(events):
        if kind == "write" and record_of(path) and path not in landed:
            written_in_place[path] = index
    for path, last_write in written_in_place.items():
        created = next(i for i, e in enumerate(events) if e[0] == "open" and e[2] == path)
        found.append((path, _flushed(events, path, last_write + 1, len(events)),
                      _flushed(events, os.path.dirname(path), created + 1, len(events))))
    return found


def table(traces: dict) -> str:
    """The flush table from the traces of clean runs, by command."""
    rows = {}
    for command, trace in traces.items():
        for path, file_flushed, folder_flushed in findings(_events(trace)):
            name = Path(path).name if record_of(path) in RECORDS.values() else "…"
            key = (f"{record_of(path)} ({name})", command)
            previous = rows.get(key, (True, True))
            rows[key] = (previous[0] and file_flushed, previous[1] and folder_flushed)
    lines = ["| record | command | file flushed before it lands | folder flushed after |", "|---|---|---|---|"]
    for (record, command), (file_flushed, folder_flushed) in sorted(rows.items()):
        missing = "missing" if (record, command) not in AS_DESIGNED else f"none ({AS_DESIGNED[(record, command)]})"
        lines.append(f"| {record} | `{command}` | {'yes' if file_flushed else missing} | "
                     f"{'yes' if folder_flushed else missing} |")
    return "\n".join(lines)
