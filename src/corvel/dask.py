"""corvel on Dask: a directory of broken CSV files as one data frame, or
salvaged to Parquet by a cluster, with one report for the whole run.

Each file is a partition, salvaged by :func:`corvel.read` (or streamed by
:func:`corvel.iter_batches`) on whichever worker Dask picks. All files share
one dialect: the one given, or the one :func:`corvel.detect` finds in the
first file. A partition is a pure function of its file, so when a worker is
lost Dask runs its partitions again elsewhere and nothing is doubled or lost;
Parquet files appear whole, by rename, or not at all.

With ``blocksize``, a large plain file is cut into byte ranges, each a
partition of its own. The client first reads the file once, writing
nothing, and notes where each range's first row starts and what the salvage
holds there (the quote state, the line count, the rows held back to decide a
footer or a table's end); each partition takes up the salvage from that
state and reads only its own range. Joined, the ranges' rows, quarantine and
counts are exactly those of the file salvaged whole.

    >>> import corvel.dask
    >>> frame = corvel.dask.read("exports/*.csv")
    >>> report = corvel.dask.salvage_to_parquet("exports/*.csv", "lake/", quarantine_dir="rejects/")

Dask runs a task per core it was given, so a task's work stays on its own
thread: a frame's partition converts to pandas there, with pyarrow's pool
left out. The one exception is a Parquet task's salvage, on a thread of
its own that feeds the task's Parquet writer a batch at a time: memory
stays at a few batches whatever the block size, and when a core is free
the two overlap.

Importing ``corvel`` never imports Dask; importing this module does.
"""

from __future__ import annotations

import dataclasses
import glob
import inspect
import os
import shutil
import tempfile
import time
from collections.abc import Iterable, Sequence
from contextlib import ExitStack
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from . import _core
from ._detect import EnginePlan, detect
from ._dialect import Dialect
from ._encoding import EncodingPlan
from ._options import check_options
from ._read import BatchReader, iter_batches
from ._read import read as _read_table
from ._report import Report
from ._salvage import _report, engine_options, prepare
from ._table import Table, _Large, resolve_columns

if TYPE_CHECKING:
    import dask.dataframe  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

__all__ = ["FilesReport", "read", "salvage_to_parquet"]

type PathsArg = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]

# The options of corvel.read a partition takes; the others name per-run
# things (a quarantine or audit path, a progress bar) that a frame of many
# partitions has no one place for.
_READ_OPTIONS = frozenset({
    "delimiter", "quote_char", "escape_char", "skip_initial_space", "encoding", "header", "detect",
    "skip_blank_lines", "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes", "force",
    "columns", "batch_rows",
})
# Those of corvel.iter_batches a Parquet task takes; `progress` reaches each
# file's salvage on its worker, so it must pickle.
_PARQUET_OPTIONS = _READ_OPTIONS | {"progress"}

_SUMMED = tuple(
    f.name for f in dataclasses.fields(Report)
    if f.type in ("int", int) and f.name not in ("width", "tables_found")
)


@dataclass(frozen=True, slots=True, kw_only=True)
class FilesReport(Report):
    """The report of a run over many files: the counts of every file summed,
    and each file's own report.

    Attributes:
        files: Each input's :class:`Report`, by its path, in input order.
        (The rest are as in :class:`Report`: counts summed over the files;
        ``tables_found`` summed; ``width`` the first file's;
        ``header_written`` whether any file had a header; ``seconds`` the
        wall-clock time of the whole run.)
    """

    files: dict[str, Report] = field(default_factory=dict)


def _combine(reports: Sequence[tuple[str, Report]], dialect: Dialect, seconds: float) -> FilesReport:
    sums = {name: sum(getattr(r, name) for _, r in reports) for name in _SUMMED}
    return FilesReport(
        **sums,
        header_written=any(r.header_written for _, r in reports),
        tables_found=sum(r.tables_found for _, r in reports),
        width=reports[0][1].width if reports else 0,
        dialect=dialect,
        seconds=seconds,
        files=dict(reports),
    )


def _expand(paths_or_glob: PathsArg) -> list[str]:
    """The input paths: a glob pattern's matches, sorted, or the paths given, in order."""
    if isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fsdecode(paths_or_glob)
        if glob.has_magic(pattern):
            paths = sorted(glob.glob(pattern))
            if not paths:
                raise FileNotFoundError(f"no file matches {pattern!r}")
            return paths
        return [pattern]
    if isinstance(paths_or_glob, bytes) or not isinstance(paths_or_glob, Iterable):
        raise TypeError(f"paths_or_glob must be a path, a glob pattern or a list of paths, "
                        f"not {type(paths_or_glob).__name__}")
    paths = []
    for p in paths_or_glob:
        if not isinstance(p, (str, os.PathLike)):
            raise TypeError(f"paths_or_glob must hold paths, not {p!r}")
        paths.append(os.fsdecode(p))
    if not paths:
        raise ValueError("paths_or_glob names no file")
    return paths


def _check(options: dict[str, Any], allowed: frozenset[str], function: str) -> None:
    if unknown := sorted(options.keys() - allowed):
        raise TypeError(f"{function}() got an unexpected keyword argument {unknown[0]!r}")


def _shared_dialect(paths: list[str], dialect: Dialect | None, options: dict[str, Any]) -> Dialect:
    if dialect is not None:
        if not isinstance(dialect, Dialect):
            raise TypeError(f"dialect must be a corvel.Dialect or None, not {type(dialect).__name__}")
        return dialect
    return detect(paths[0], encoding=options.get("encoding", "auto"))


def _check_blocksize(blocksize: object) -> int | None:
    if blocksize is None:
        return None
    if isinstance(blocksize, bool) or not isinstance(blocksize, int):
        raise TypeError(f"blocksize must be None or a positive int, not {type(blocksize).__name__}")
    if blocksize < 1:
        raise ValueError(f"blocksize must be at least 1, not {blocksize}")
    return blocksize


# The options of corvel.read that say how a file is salvaged (not which
# columns are kept, nor how rows are batched), with corvel.read's defaults.
_SALVAGE_DEFAULTS = {
    name: p.default for name, p in inspect.signature(_read_table).parameters.items()
    if name in _READ_OPTIONS - {"columns", "batch_rows"}
}
# Rows per batch of a range's table, and its batches' bytes: in memory
# whole for a frame; streamed to Parquet, a few at a time, for a part.
_RANGE_BATCH_ROWS = 1 << 16
_RANGE_BUDGET = 32 << 20
_PART_BUDGET = 4 << 20


@dataclass(frozen=True, slots=True)
class _Ranges:
    """A file planned in byte ranges: a state per range, the names of all
    its columns, and what its report is made from."""

    states: list[bytes]
    names: list[str]
    plan: EnginePlan
    encoding: EncodingPlan


def _checked(dialect: Dialect, options: dict[str, Any]) -> Any:
    given = {k: v for k, v in options.items() if k in _SALVAGE_DEFAULTS}
    return check_options(**{**_SALVAGE_DEFAULTS, **given, "dialect": dialect, "output_delimiter": ",",
                            "progress": None})


def _plan_ranges(path: str, dialect: Dialect, options: dict[str, Any], blocksize: int) -> _Ranges | None:
    """The byte ranges of a file, or ``None`` for a file that is salvaged
    whole: one smaller than two blocks, compressed, or read through a codec
    (such as UTF-16), where no byte offset is a place to start from."""
    checked = _checked(dialect, options)
    with prepare(path, checked) as prepared:
        size = prepared.src.size
        if not isinstance(prepared.reader, int) or size is None or size < 2 * blocksize:
            return None
        model = _core.Batches(1, 1, None)  # the kind of output the ranges go to; left untouched
        states = _core.plan_ranges(prepared.reader, prepared.sample, prepared.src.name, model,
                                   **engine_options(prepared, checked), total=size, range_bytes=blocksize)
        plan, encoding = prepared.plan, prepared.encoding
    names = _first_schema(path, dialect, {k: v for k, v in options.items() if k not in ("columns", "progress")}).names
    return _Ranges(states, list(names), plan, encoding)


def _salvage_range(path: str, state: bytes, dialect: Dialect, options: dict[str, Any],
                   names: list[str]) -> tuple[Table | None, list[str]]:
    """One planned byte range of `path` salvaged into a table of the
    `columns` asked for (``None`` when it has no data row), and their names
    in the whole file (`names` are all of them: a range after the first has
    no header)."""
    checked = _checked(dialect, options)
    with prepare(path, checked) as prepared:
        if not isinstance(prepared.reader, int):
            raise ValueError(f"{path} can no longer be salvaged in byte ranges: it is not the file planned")
        batches = _core.Batches(_RANGE_BATCH_ROWS, _RANGE_BUDGET, None)
        counts = _core.salvage(prepared.reader, b"", prepared.src.name, batches,
                               **engine_options(prepared, checked), resume=state)
        batches.finish()
    kept = resolve_columns(options.get("columns"), names)
    own = names if kept is None else [names[i] for i in kept]
    if batches.num_rows == 0:
        return None, own
    if batches.width != len(names):
        raise ValueError(f"{path} has {batches.width} columns in a byte range where it has {len(names)}")
    report = _report(counts, prepared.plan, prepared.encoding, 0.0)
    return Table(batches, names, kept, report, [], None, _RANGE_BATCH_ROWS), own


def _read_range(path: str, state: bytes, dialect: Dialect, names: list[str], file_names: list[str],
                options: dict[str, Any]) -> pandas.DataFrame:
    table, own = _salvage_range(path, state, dialect, options, file_names)
    if table is None:
        import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

        frame = pandas.DataFrame({n: pandas.Series([], dtype=object) for n in own})
    else:
        frame = _to_pandas(table)
        frame.columns = own
    return _named_as_first(frame, path, names)


def _summed_counts(counts: Sequence[dict[str, int]]) -> dict[str, int]:
    """The counts of a file from those of its ranges: each range counts its
    own rows; the width and the delimiter are the file's."""
    total = {k: sum(c[k] for c in counts) for k in counts[0]}
    total["width"] = counts[0]["width"]
    total["delimiter"] = counts[0]["delimiter"]
    return total


def _read_partition(path: str, dialect: Dialect, names: list[str], options: dict[str, Any]) -> pandas.DataFrame:
    return _named_as_first(_to_pandas(_read_table(path, dialect=dialect, **options)), path, names)


def _to_pandas(table: Table) -> pandas.DataFrame:
    """A partition's table as pandas, converted on the task's own thread.

    Dask already runs a task on every core it was given, so a task's
    pyarrow work must not fan out over pyarrow's pool as well. Worker
    processes get a pool of one thread from their nanny (OMP_NUM_THREADS=1);
    Dask's threaded scheduler runs tasks in one process, where the pool has
    a thread per core.
    """
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

    return pyarrow.table(_Large(table)).to_pandas(use_threads=False)


def _named_as_first(frame: pandas.DataFrame, path: str, names: list[str]) -> pandas.DataFrame:
    if list(frame.columns) != names:
        # Another header, or a header found where the first file has none:
        # the rows are the same table's if the width is.
        if len(frame.columns) != len(names):
            raise ValueError(f"{path} has {len(frame.columns)} columns where the first file has {len(names)}: "
                             "the files hold different tables")
        frame.columns = names
    return frame


def _names_schema(batches: BatchReader) -> Any:
    """A schema of string columns named as the salvage names them, for a
    file that gave no batch to take one from."""
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

    return pyarrow.schema([(n, pyarrow.string()) for n in batches._batches.column_names()])


def _first_schema(path: str, dialect: Dialect, options: dict[str, Any]) -> Any:
    """The Arrow schema of a file's table, from its first batch alone."""
    with iter_batches(path, dialect=dialect, **options) as batches:
        first = next(batches, None)
        return first.schema if first is not None else _names_schema(batches)


def read(
    paths_or_glob: PathsArg,
    *,
    dialect: Dialect | None = None,
    blocksize: int | None = None,
    **options: Any,
) -> dask.dataframe.DataFrame:
    """Salvages many broken CSV files into one Dask data frame of strings,
    one partition per file, or per block of a large one.

    The frame is lazy: each partition runs :func:`corvel.read` on its file
    when it is computed, with the shared dialect and `options`. Its columns
    are the first file's: a file whose header names others (or that has a
    header where the first file has none) keeps its rows under the first
    file's names, by position; a file of another width fails its partition
    with ``ValueError``.

    Args:
        paths_or_glob: A path, a glob pattern (``"exports/*.csv"``, matches
            sorted), or a list of paths.
        dialect: The dialect of every file, or ``None`` to detect it on the
            first file with :func:`corvel.detect`.
        blocksize: ``None``: each file is one partition. A size in bytes:
            each plain file of at least two blocks is read once here, to
            plan its byte ranges, and is then one partition per block, with
            the rows of the file read whole. Compressed or transcoded
            files, and smaller ones, are one partition each.
        **options: The options of :func:`corvel.read` (`delimiter`,
            `header`, `columns`, `repair_quotes`...), except `quarantine`,
            `audit` and `progress`.

    Returns:
        A ``dask.dataframe.DataFrame``.

    Raises:
        FileNotFoundError: A glob pattern matches no file.
        TypeError: An argument or option is not one of those above.
        ValueError: `blocksize` is less than 1.
    """
    import dask.dataframe as dd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    _check(options, _READ_OPTIONS, "read")
    block = _check_blocksize(blocksize)
    paths = _expand(paths_or_glob)
    shared = _shared_dialect(paths, dialect, options)
    meta = _first_schema(paths[0], shared, options).empty_table().to_pandas()
    names = list(meta.columns)
    parts: list[tuple[str, bytes | None, list[str] | None]] = []
    for path in paths:
        ranges = _plan_ranges(path, shared, options, block) if block is not None else None
        if ranges is None:
            parts.append((path, None, None))
        else:
            parts.extend((path, state, ranges.names) for state in ranges.states)
    from_map: Any = dd.from_map  # untyped
    frame: dask.dataframe.DataFrame = from_map(
        _read_part, parts, dialect=shared, names=names, options=options, meta=meta,
        label="corvel-read", enforce_metadata=False)
    return frame


def _read_part(part: tuple[str, bytes | None, list[str] | None], dialect: Dialect, names: list[str],
               options: dict[str, Any]) -> pandas.DataFrame:
    path, state, file_names = part
    if state is None or file_names is None:
        return _read_partition(path, dialect, names, options)
    return _read_range(path, state, dialect, names, file_names, options)


def _parquet_names(paths: list[str], out_dir: str, suffix: str) -> list[str]:
    names = [os.path.join(out_dir, os.path.basename(p) + suffix) for p in paths]
    seen: dict[str, str] = {}
    for path, name in zip(paths, names, strict=True):
        if name in seen:
            raise ValueError(f"{seen[name]!r} and {path!r} would both be written to {name!r}")
        seen[name] = path
    return names


def _scratch_prefix(target: str) -> str:
    return f".{os.path.basename(target)}.corvel-"


def _remove_scratch(targets: Iterable[str | None]) -> None:
    """Removes what the tasks of a lost worker had begun to write: a task run
    again writes into a scratch directory of its own."""
    for target in targets:
        if target is None:
            continue
        pattern = os.path.join(glob.escape(os.path.dirname(target)), glob.escape(_scratch_prefix(target)) + "*")
        for leftover in glob.glob(pattern):
            shutil.rmtree(leftover, ignore_errors=True)


def _salvage_file(path: str, target: str, quarantine: str | None, dialect: Dialect,
                  options: dict[str, Any]) -> Report:
    """Salvages one file to Parquet at `target`, whole or not at all: the
    batches (and the quarantine) go to a scratch directory beside the
    target, and are renamed into place when they are all in."""
    import pyarrow.parquet as pq  # type: ignore[import-untyped, import-not-found, unused-ignore]

    scratch_dirs = [tempfile.mkdtemp(dir=os.path.dirname(target), prefix=_scratch_prefix(target))]
    scratch = os.path.join(scratch_dirs[0], "data.parquet")
    q_scratch = None
    try:
        if quarantine is not None:
            scratch_dirs.append(tempfile.mkdtemp(dir=os.path.dirname(quarantine), prefix=_scratch_prefix(quarantine)))
            q_scratch = os.path.join(scratch_dirs[-1], "quarantine.csv")
        with iter_batches(path, quarantine=q_scratch, dialect=dialect, **options) as batches:
            writer = None
            try:
                for batch in batches:
                    if writer is None:
                        writer = pq.ParquetWriter(scratch, batch.schema)
                    writer.write_batch(batch)
                if writer is None:  # no data row: the columns, if any, from the salvage
                    writer = pq.ParquetWriter(scratch, _names_schema(batches))
            finally:
                if writer is not None:
                    writer.close()
            report = batches.report
        assert report is not None
        if q_scratch is not None and quarantine is not None:
            os.replace(q_scratch, quarantine)
        os.replace(scratch, target)
        return report
    finally:
        for leftover in scratch_dirs:
            shutil.rmtree(leftover, ignore_errors=True)


def _salvage_part(path: str, k: int, state: bytes, scratch: str, quarantined: bool, dialect: Dialect,
                  options: dict[str, Any], names: list[str]) -> dict[str, int]:
    """Salvages byte range `k` of `path` to ``scratch/data/part-k.parquet``
    (and its quarantine to ``scratch/quarantine/k.csv``), each written
    whole by rename, so that a run again after a lost worker overwrites it."""
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pyarrow.parquet as pq  # type: ignore[import-untyped, import-not-found, unused-ignore]

    data = os.path.join(scratch, "data", f"part-{k:06d}.parquet")
    quarantine = os.path.join(scratch, "quarantine", f"{k:06d}.csv")
    # Written beside the directories, never in them: what a killed task
    # leaves behind must not become a part of the table.
    data_tmp = os.path.join(scratch, f"part-{k:06d}.{os.getpid()}.tmp")
    quarantine_tmp = os.path.join(scratch, f"quarantine-{k:06d}.{os.getpid()}.tmp")
    kept = resolve_columns(options.get("columns"), names)
    schema = pyarrow.schema([(names[i], pyarrow.string_view()) for i in (kept or range(len(names)))])
    counts: dict[str, int] = {}
    checked = _checked(dialect, options)
    opened = ExitStack()
    prepared = opened.enter_context(prepare(path, checked))
    try:
        def run(into: _core.Batches) -> Report:
            # On the reader's thread: the salvage goes on while batches are written.
            with opened:
                counts.update(_core.salvage(prepared.reader, b"", prepared.src.name, into,
                                            quarantine=quarantine_tmp if quarantined else None,
                                            **engine_options(prepared, checked), resume=state))
                into.finish()
                return _report(counts, prepared.plan, prepared.encoding, 0.0)

        reader = BatchReader(run, _core.Batches(_RANGE_BATCH_ROWS, _PART_BUDGET, 2), None)
    except BaseException:
        opened.close()
        raise
    with reader, pq.ParquetWriter(data_tmp, schema) as out:
        for batch in reader:
            if batch.num_columns != len(names):
                raise ValueError(f"{path} has {batch.num_columns} columns in a byte range where it has "
                                 f"{len(names)}")
            if kept is not None:
                batch = batch.select(kept)
            out.write_batch(pyarrow.RecordBatch.from_arrays(batch.columns, schema=schema))
    os.replace(data_tmp, data)
    if quarantined:
        os.replace(quarantine_tmp, quarantine)
    return counts


def _ranges_scratch(target: str) -> str:
    """A scratch directory beside `target` for the parts of a file salvaged
    in byte ranges."""
    scratch = tempfile.mkdtemp(dir=os.path.dirname(target), prefix=_scratch_prefix(target))
    os.mkdir(os.path.join(scratch, "data"))
    os.mkdir(os.path.join(scratch, "quarantine"))
    return scratch


def _put_ranges(scratch: str, parts: int, target: str, quarantine: str | None) -> None:
    """Moves a file's salvaged ranges into place: the quarantine joined into
    one file (one header), then the Parquet parts as the directory `target`."""
    if quarantine is not None:
        # Beside the quarantine, which may be on another file system.
        fd, joined = tempfile.mkstemp(dir=os.path.dirname(quarantine), prefix=_scratch_prefix(quarantine))
        with open(fd, "wb") as out:
            for k in range(parts):
                with open(os.path.join(scratch, "quarantine", f"{k:06d}.csv"), "rb") as part:
                    header = part.readline()
                    if k == 0:
                        out.write(header)
                    shutil.copyfileobj(part, out)
        os.replace(joined, quarantine)
    if os.path.isdir(target) and not os.path.islink(target):
        shutil.rmtree(target)
    elif os.path.lexists(target):
        os.remove(target)
    os.replace(os.path.join(scratch, "data"), target)


def salvage_to_parquet(
    paths_or_glob: PathsArg,
    out_dir: str | os.PathLike[str],
    *,
    quarantine_dir: str | os.PathLike[str] | None = None,
    dialect: Dialect | None = None,
    blocksize: int | None = None,
    **options: Any,
) -> FilesReport:
    """Salvages many broken CSV files to Parquet, one Dask task per file, on
    the scheduler in use (a ``distributed.Client``'s cluster when there is
    one).

    Each input ``name`` becomes ``out_dir/name.parquet``, with string
    columns, salvaged as :func:`corvel.salvage` would with the shared
    dialect. Its rows set aside go to ``quarantine_dir/name.quarantine.csv``
    (as in :func:`corvel.salvage`). Each file appears whole, or not at all.

    Args:
        paths_or_glob: A path, a glob pattern (matches sorted), or a list of
            paths. No two may have the same file name.
        out_dir: The directory for the Parquet files; it is created if need be.
        quarantine_dir: The directory for the quarantine files, or ``None``
            to only count the rows set aside.
        dialect: The dialect of every file, or ``None`` to detect it on the
            first file.
        blocksize: ``None``: each file is one task. A size in bytes: each
            plain file of at least two blocks is read once on the client to
            plan its byte ranges, then salvaged as one task per block, and
            ``out_dir/name.parquet`` is a directory of one Parquet file per
            block, in order (``pyarrow.parquet.read_table`` reads it as one
            table). Compressed or transcoded files, and smaller ones, are
            one task each. The rows, quarantine and report are those of the
            file salvaged whole. A `progress` callable is not called for
            the blocks.
        **options: The options of :func:`corvel.iter_batches` (`header`,
            `columns`, `repair_quotes`, `progress`...), except `quarantine`
            and `audit`. A `progress` callable runs on the workers, once per
            file, so it has to pickle.

    Returns:
        A :class:`FilesReport`: the counts summed, and each file's report.

    Raises:
        FileNotFoundError: A glob pattern matches no file.
        TypeError: An argument or option is not one of those above.
        ValueError: Two inputs have the same file name.
        OSError: A file can't be read or written (from the first task that
            fails).
    """
    import dask  # type: ignore[import-untyped, import-not-found, unused-ignore]

    delayed: Any = getattr(dask, "delayed")  # untyped, and not in the package's exports
    compute: Any = getattr(dask, "compute")
    started = time.perf_counter()
    _check(options, _PARQUET_OPTIONS, "salvage_to_parquet")
    block = _check_blocksize(blocksize)
    paths = _expand(paths_or_glob)
    out = os.fsdecode(out_dir)
    os.makedirs(out, exist_ok=True)
    targets = _parquet_names(paths, out, ".parquet")
    quarantines: list[str | None] = [None] * len(paths)
    if quarantine_dir is not None:
        qdir = os.fsdecode(quarantine_dir)
        os.makedirs(qdir, exist_ok=True)
        quarantines = list(_parquet_names(paths, qdir, ".quarantine.csv"))
    shared = _shared_dialect(paths, dialect, options)
    # Not pure: a file may change between two runs, so no result is reused.
    salvage_one = delayed(_salvage_file, pure=False)
    salvage_part = delayed(_salvage_part, pure=False)
    # Each file's task, or its ranges' tasks with their plan and scratch directory.
    tasks: list[Any] = []
    split: list[tuple[_Ranges, str] | None] = []
    try:
        for p, t, q in zip(paths, targets, quarantines, strict=True):
            ranges = _plan_ranges(p, shared, options, block) if block is not None else None
            if ranges is None:
                tasks.append(salvage_one(p, t, q, shared, options))
                split.append(None)
                continue
            scratch = _ranges_scratch(t)
            # A progress callable is for whole files: a range's salvage has none.
            part_options = {k: v for k, v in options.items() if k != "progress"}
            tasks.append([salvage_part(p, k, state, scratch, q is not None, shared, part_options, ranges.names)
                          for k, state in enumerate(ranges.states)])
            split.append((ranges, scratch))
        results = compute(*tasks)
        reports: list[Report] = []
        for result, planned, t, q in zip(results, split, targets, quarantines, strict=True):
            if planned is None:
                reports.append(result)
                continue
            ranges, scratch = planned
            _put_ranges(scratch, len(ranges.states), t, q)
            reports.append(_report(_summed_counts(result), ranges.plan, ranges.encoding,
                                   time.perf_counter() - started))
    finally:
        _remove_scratch([*targets, *quarantines])
    return _combine(list(zip(paths, reports, strict=True)), shared, time.perf_counter() - started)
