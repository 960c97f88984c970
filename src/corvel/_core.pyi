"""corvel's native core: the engine's streaming salvage, for the corvel package."""

from collections.abc import Callable, Sequence
from typing import Any, Protocol, final, type_check_only

@type_check_only
class _Reader(Protocol):
    def read(self, size: int, /) -> bytes | bytearray | memoryview | None: ...

@type_check_only
class _Writer(Protocol):
    def write(self, data: bytes, /) -> object: ...

def salvage(
    reader: int | _Reader,
    head: bytes,
    source_name: str | None,
    output: str | _Writer | Batches,
    header: bool,
    skip_initial_space: bool,
    quarantine: str | None = None,
    audit: str | None = None,
    total: int | None = None,
    progress: Callable[[int, int | None], object] | None = None,
    delimiter: str | None = None,
    quote_char: str | None = "\"",
    skip_blank_lines: bool = True,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    output_delimiter: str | None = None,
    legacy: Sequence[bytes] | None = None,
    shape: tuple[int, int, bool, bool, Sequence[str]] | None = None,
    escape_char: str | None = None,
    threads: int | None = None,
    range_bytes: int | None = None,
    resume: bytes | None = None,
) -> dict[str, int]:
    """Salvages bytes from `reader` into `output`, returning the counts as a dict."""

def plan_ranges(
    reader: int | _Reader,
    head: bytes,
    source_name: str | None,
    output: str | _Writer | Batches,
    header: bool,
    skip_initial_space: bool,
    quarantine: str | None = None,
    audit: str | None = None,
    total: int | None = None,
    progress: Callable[[int, int | None], object] | None = None,
    delimiter: str | None = None,
    quote_char: str | None = "\"",
    skip_blank_lines: bool = True,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    output_delimiter: str | None = None,
    legacy: Sequence[bytes] | None = None,
    shape: tuple[int, int, bool, bool, Sequence[str]] | None = None,
    escape_char: str | None = None,
    threads: int | None = None,
    range_bytes: int | None = None,
    resume: bytes | None = None,
) -> list[bytes]:
    """Plans the salvage of a file's byte ranges, each to be salvaged on its own."""

def detect(sample: bytes, complete: bool) -> dict[str, Any]:
    """Detects the dialect and table shape of `sample`, UTF-8 text from the start"""

@final
class Batches:
    """The rows of a salvage that is given it as output, gathered into Arrow batches."""

    def __new__(cls, batch_rows: int | None, budget: int | None, bound: int | None) -> Batches: ...
    def finish(self) -> None: ...
    def cancel(self) -> None: ...
    def next_batch(self, columns: list[int] | None = None, layout: object = None) -> tuple[object, object] | None: ...
    def stream(self, columns: list[int] | None = None, layout: object = None, batch_rows: int | None = None) -> object: ...
    def schema(self, columns: list[int] | None = None, layout: object = None) -> object: ...
    def column_names(self) -> list[str]: ...
    def infer_types(self) -> list[str | None]: ...
    def rows(self, start: int, stop: int) -> list[list[str]]: ...
    @property
    def num_rows(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def has_header(self) -> bool: ...
