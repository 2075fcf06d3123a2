"""Fails the file-system calls underneath every command that writes, one at a time, and checks what
each failure leaves: a clear error, nothing that was there changed or lost, nothing incomplete
under a final name, the library still opening, and a rerun finishing the job as a clean run does.

The calls are failed by a preloaded library (fault_shim.c); a clean run of each command counts its
calls first. Prints a table of runs by command and failure kind, and each failure found.
"""
import argparse
import errno
import multiprocessing
import os
import shutil
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import protocols  # noqa: E402
import scenarios  # noqa: E402
import tree  # noqa: E402

KINDS = ["open", "write", "read", "fsync", "rename", "link", "unlink", "mkdir", "flock"]
# The call kinds each failure can come from; EINTR comes from any call that can wait.
APPLIES = {
    "EIO": KINDS,
    "ENOSPC": ["open", "write", "fsync", "rename", "link", "mkdir"],
    "EDQUOT": ["open", "write", "fsync", "rename", "link", "mkdir"],
    "EACCES": ["open", "rename", "link", "unlink", "mkdir"],
    "EROFS": ["open", "write", "fsync", "rename", "link", "unlink", "mkdir"],
    "EINTR": KINDS,
    "short": ["write", "read"],
}
ERRORS = list(APPLIES)
# Failures pinned to the call they hit, whatever the sampling picks: each once lost or stranded
# something. (command, KIND:N:ERROR among the calls on paths the pattern matches, pattern)
CAPTURE_FOLDER = "*/Masters/??/????????-????-????-????-????????????"
JOB_FOLDER = "*/Staging/FolderCopies/????????-????-????-????-????????????"
PINNED = [
    ("import", "open:11:ENOSPC", JOB_FOLDER),  # a copy made, its ledger entry not; a duplicate follows
    ("import", "fsync:4:EIO", CAPTURE_FOLDER),  # a copy published, its folder not flushed; a duplicate follows
    ("camera import", "fsync:3:EDQUOT", "*/DCIM/100CANON"),  # a download moved in, its old folder not flushed
    ("camera import", "open:3:EROFS", "*/.copied.jsonl"),  # a moved download, its ledger entry not written
    ("camera import", "unlink:1:EROFS", "*/.claiming.jsonl"),  # a finished job's folder not removed
    ("crash-reports keep", "open:1:EIO", "*/reports"),  # a report that cannot be written
    ("erase-copies", "open:1:EIO", "*/kept/Exports"),  # a kept folder that cannot be read
    ("relocate", "read:1:EIO", "*/moved/Exports/Sunset panorama.jpg"),  # a moved original that cannot be read
    ("restore", "fsync:3:EDQUOT", "*/Restored.oakenmere"),  # a whole library whose preview fails
    ("import", "open:1:EIO", "*/photos/DCIM/100CANON"),  # a source folder that cannot be read
]
CRASH_WORDS = ("terminate called", "Segmentation", "Assertion", "AddressSanitizer", "runtime error", "core dumped")


class Sweep:
    def __init__(self, tools: scenarios.Tools, shim: Path, work: Path):
        self.tools, self.shim, self.work = tools, shim, work
        self.templates = {}
        # (worker, scenario name) -> (finished digest, shapes a run changes, known shapes, known contents)
        self.clean = {}

    def case(self) -> Path:
        return self.work / f"worker-{os.getpid()}" / "case"

    def template(self, scenario: scenarios.Scenario) -> Path:
        key = (os.getpid(), scenario.name)  # each worker makes its own, so paths inside stay true
        if key not in self.templates:
            case = self.case()
            scenarios.prepare(self.tools, scenario, case)
            template = case.parent / ("template-" + scenario.name.replace(" ", "-"))
            if template.exists():
                shutil.rmtree(template)
            shutil.copytree(case, template, symlinks=True)
            self.templates[key] = template
        return self.templates[key]

    def faulted(self, scenario, case: Path, fault: str | None, log: Path, trace: Path | None = None, match: str = ""):
        if log.exists():
            log.unlink()
        extra = {"LD_PRELOAD": str(self.shim), "OAKENMERE_FAULT_ROOT": str(case), "OAKENMERE_FAULT_LOG": str(log)}
        if fault:
            extra["OAKENMERE_FAULT"] = fault
        if match:
            extra["OAKENMERE_FAULT_MATCH"] = match
        if trace:
            extra["OAKENMERE_FAULT_TRACE"] = str(trace)
        done = self.tools.run(case, scenario.argv(case), extra)
        lines = log.read_text().splitlines() if log.exists() else []
        counts = {line.split()[1]: int(line.split()[2]) for line in lines if line.startswith("count ")}
        fired = [line for line in lines if line.startswith("fault ")]
        return done, counts, fired

    def learn(self, scenario, trace: Path | None = None) -> dict:
        """Counts the calls of a clean run (logging them to `trace`) and learns what a finished job
        looks like."""
        template = self.template(scenario)
        case = self.case()
        tree.reset(template, case)
        done, counts, _ = self.faulted(scenario, case, None, case.parent / "log", trace)
        if done.returncode != 0:
            raise RuntimeError(f"{scenario.name}: the clean run failed: {done.stderr.strip()}")
        first = tree.by_shape(tree.snapshot(case))
        tree.reset(template, case)
        if self.tools.run(case, scenario.argv(case)).returncode != 0:
            raise RuntimeError(f"{scenario.name}: the second clean run failed")
        second = tree.by_shape(tree.snapshot(case))
        volatile = {key for key in set(first) | set(second) if first.get(key) != second.get(key)}
        before = tree.snapshot(template)
        original = tree.by_shape(before)
        rewritten = {key for key in original if original[key] != first.get(key)}
        changing = volatile | rewritten | {key for key in set(original) | set(first) if tree.derived(key)}
        self.clean[(os.getpid(), scenario.name)] = (tree.digest(case, changing, scenario.repeats), changing,
                                                    set(first) | set(original), set(before.values()))
        return counts

    def check(self, scenario, fault: str, match: str = "") -> str:
        """Runs `scenario` with `fault`; answers what went wrong ('' when nothing did)."""
        if (os.getpid(), scenario.name) not in self.clean:
            self.learn(scenario)
        expected, changing, known_shapes, known_contents = self.clean[(os.getpid(), scenario.name)]
        case = self.case()
        tree.reset(self.template(scenario), case)
        before = tree.snapshot(case)
        done, _, fired = self.faulted(scenario, case, fault, case.parent / "log", match=match)
        if match and not fired:
            return f"the pinned fault never fired: {fault} on …{match}"
        errors = done.stderr
        if done.returncode < 0:
            return f"killed by signal {-done.returncode}: {errors.strip()[-300:]}"
        if any(word in errors for word in CRASH_WORDS):
            return f"crashed: {errors.strip()[-300:]}"
        # A command that goes on past a file's failure names it in its account: "could not", or
        # the failure itself.
        error_name = fault.split(":")[2].rstrip("+")
        reason = os.strerror(getattr(errno, error_name)) if hasattr(errno, error_name) else "could not"
        told = any(line.startswith("oakenmere: ") for line in errors.splitlines()) or any(
            text in done.stdout.lower() for text in ("could not", reason.lower()))
        if done.returncode != 0 and not told:
            return f"exit {done.returncode} without an error message: {errors.strip()[-300:]}"
        after = tree.snapshot(case)
        problem = self.unchanged(scenario, before, after, changing) or self.complete(case, before, after, known_contents)
        problem = problem or self.libraries_open(scenario, case)
        if problem:
            return problem
        # Succeeding despite the failure is fine only when the job was in fact done: then there is
        # nothing to run again, and what it left must be what a clean run leaves.
        try:
            finished = done.returncode == 0 or scenario.before_rerun(self.tools, case, errors)
        except AssertionError as error:
            return str(error)
        if not finished:
            rerun = self.tools.run(case, scenario.argv(case))
            if rerun.returncode != 0:
                return f"the rerun failed after [{errors.strip()}]: {rerun.stderr.strip()}"
        kept = self.kept_duplicates(case, fired)
        difference = tree.difference(expected, tree.digest(case, changing, scenario.repeats, kept))
        if difference and done.returncode == 0:
            return f"exit 0 but the job is not done: {difference}"
        if difference:
            return f"after the rerun: {difference} (first error: {errors.strip()})"
        left = self.left_over(case, known_shapes)
        if left and done.returncode == 0 and scenario.again:
            # What a failure its run got past left behind, a later run tidies.
            self.tools.run(case, scenario.argv(case))
            left = self.left_over(case, known_shapes)
        if left:
            return f"left over after the rerun: {', '.join(left[:3])} (first error: {errors.strip()})"
        return self.libraries_open(scenario, case)

    @staticmethod
    def kept_duplicates(case: Path, fired: list) -> set:
        """Copies in a library that it does not record but whose content it holds, where the
        failed call was on the copy or a folder holding it: a duplicate's copy left as it was.
        Asked of a finished job only (a failed run may leave the catalogue part way to its form)."""
        if not fired:
            return set()
        failed_on = Path(fired[0].split(" ", 4)[4])
        kept = set()
        for database in case.glob("*/Database/catalogue.sqlite"):
            library = database.parent.parent
            recorded = tree.recorded_originals(database)  # relative path -> SHA-256
            for path in (library / "Masters").rglob("*"):
                if (path.is_file() and str(path.relative_to(library)) not in recorded
                        and tree.checksum(path, case) in recorded.values()
                        and (failed_on == path or failed_on in path.parents) and failed_on.is_relative_to(library)):
                    kept.add(str(path.relative_to(case)))
        return kept

    @staticmethod
    def left_over(case: Path, known_shapes: set) -> list:
        return sorted(k for k in tree.by_shape(tree.snapshot(case)) if k not in known_shapes and not tree.derived(k))

    @staticmethod
    def unchanged(scenario, before: dict, after: dict, changing: set) -> str:
        """Nothing there before is changed or lost, but what a clean run changes too."""
        remaining = set(after.values())
        for relative, digest in before.items():
            if relative not in after and scenario.may_go(relative):
                if digest not in remaining:
                    return f"{relative} was removed and its content is nowhere else"
            elif tree.shape(relative) in changing:
                continue
            elif relative not in after:
                return f"{relative} was removed"
            elif after[relative] != digest:
                return f"{relative} was changed"
        return ""

    @staticmethod
    def complete(case: Path, before: dict, after: dict, known_contents: set) -> str:
        for relative, digest in after.items():
            if relative in before or Path(relative).name.startswith(".") or "/Staging/" in relative:
                continue
            if "/Masters/" in relative and digest not in known_contents:
                return f"{relative} is not a complete copy of any original"
            problem = tree.incomplete_record(case / relative)
            if problem:
                return f"{relative}: {problem}"
        return ""

    def libraries_open(self, scenario, case: Path) -> str:
        libraries = scenario.libraries(case)
        present = [library for library in libraries if library.exists()]
        if libraries and not present:
            return "the library is gone"
        for library in present:
            opened = self.tools.run(case, ["open", str(library)])
            if opened.returncode != 0:
                return f"{library.name} no longer opens: {opened.stderr.strip()}"
        return ""


def plan(counts: dict, limit: int, per_cell: int) -> list:
    """(fault, failure kind) pairs: each call in turn (a spread `limit` of them when there are
    more) with each failure kind it can have, or with `per_cell`, that many spread calls for each
    failure kind."""
    calls = [(kind, n) for kind in KINDS for n in range(1, counts.get(kind, 0) + 1)]
    chosen = []
    if per_cell:
        for index, error in enumerate(ERRORS):
            candidates = [call for call in calls if call[0] in APPLIES[error]]
            for j in range(min(per_cell, len(candidates))):
                # Offset by the failure kind, so each kind fails other calls than the last.
                position = int((j + (index + 1) / (len(ERRORS) + 1)) * len(candidates) / per_cell)
                chosen.append((candidates[min(position, len(candidates) - 1)], error))
    else:
        if limit and len(calls) > limit:
            calls = [calls[int(i * len(calls) / limit)] for i in range(limit)]
        chosen = [(call, error) for call in calls for error in ERRORS if call[0] in APPLIES[error]]
    faults = []
    for (kind, n), error in chosen:
        sticky = "+" if error in ("ENOSPC", "EDQUOT") and kind == "write" else ""
        faults.append((f"{kind}:{n}:{error}{sticky}", error))
    return faults


_sweep = None


def _run_one(task):
    name, fault, error, match = task
    scenario = next(s for s in scenarios.SCENARIOS if s.name == name)
    try:
        problem = _sweep.check(scenario, fault, match)
    except Exception as failure:  # noqa: BLE001 - a sweep step that breaks is a finding too
        problem = f"the check itself failed: {failure!r}"
    return name, fault + (f" on …{match}" if match else ""), error, problem


def table(results: list, names: list) -> str:
    cells = defaultdict(lambda: [0, 0])
    for name, _, error, problem in results:
        cells[(name, error)][0] += 1
        cells[(name, error)][1] += bool(problem)
    lines = ["| command | " + " | ".join(ERRORS) + " | runs | failed |", "|---" * (len(ERRORS) + 3) + "|"]
    for name in names:
        row = [f"{cells[(name, e)][0] - cells[(name, e)][1]}/{cells[(name, e)][0]}" for e in ERRORS]
        runs = sum(cells[(name, e)][0] for e in ERRORS)
        failed = sum(cells[(name, e)][1] for e in ERRORS)
        lines.append(f"| `{name}` | " + " | ".join(row) + f" | {runs} | {failed} |")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--oakenmere", type=Path, required=True)
    parser.add_argument("--shim", type=Path, required=True)
    parser.add_argument("--samples", type=Path, default=Path(__file__).parents[2] / "examples/Sample Photos")
    parser.add_argument("--limit", type=int, default=0, help="calls failed per command at most (0: all)")
    parser.add_argument("--per-cell", type=int, default=0, help="instead: this many runs per command and failure kind")
    parser.add_argument("--commands", nargs="*", help="only these commands")
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--work", type=Path)
    parser.add_argument("--markdown", type=Path, help="also write the table here")
    args = parser.parse_args()

    global _sweep
    tools = scenarios.Tools(args.oakenmere.resolve(), args.samples.resolve())
    work = Path(tempfile.mkdtemp(prefix="fault-sweep-", dir=args.work))
    _sweep = Sweep(tools, args.shim.resolve(), work)
    chosen = [s for s in scenarios.SCENARIOS if not args.commands or s.name in args.commands]
    tasks = []
    traces = {}
    for scenario in chosen:
        traces[scenario.name] = work / f"trace-{len(traces)}"
        counts = _sweep.learn(scenario, traces[scenario.name])
        faults = plan(counts, args.limit, args.per_cell)
        print(f"{scenario.name}: {sum(counts.values())} calls ({', '.join(f'{k} {v}' for k, v in counts.items() if v)});"
              f" {len(faults)} runs", flush=True)
        tasks += [(scenario.name, fault, error, "") for fault, error in faults]
        tasks += [(name, fault, fault.split(":")[2], match) for name, fault, match in PINNED if name == scenario.name]

    results = []
    with multiprocessing.get_context("fork").Pool(args.jobs) as pool:
        for result in pool.imap_unordered(_run_one, tasks):
            results.append(result)
            if result[3]:
                print(f"FAILED {result[0]} [{result[1]}]: {result[3]}", flush=True)
    summary = table(results, [s.name for s in chosen])
    print("\n" + summary)
    consistency = protocols.table(traces)
    print("\n" + consistency)
    if args.markdown:
        args.markdown.write_text(summary + "\n\n" + consistency + "\n")
    failed = sum(bool(r[3]) for r in results) + consistency.count("| missing")
    shutil.rmtree(work, ignore_errors=True)
    print(f"\n{len(results)} runs, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
