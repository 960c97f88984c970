"""Choosing how a source's bytes become text.

corvel parses bytes. For every encoding in which ASCII bytes stand for
themselves (UTF-8 and the single-byte code pages), it reads the raw bytes
and decodes each line on its own: a line that is valid UTF-8 is taken as
UTF-8, and any other line is decoded with the file's legacy code page, from a
table of 128 entries (bytes 0x80-0xFF). That needs no second pass, and a file
that joins UTF-8 and cp1252 exports comes out right; the report counts the
rows that held a decoded line. Other encodings (UTF-16, UTF-32, the
multi-byte East Asian ones, EBCDIC) are decoded to UTF-8 before parsing.
"""

from __future__ import annotations

import codecs
import functools
from dataclasses import dataclass
from typing import Final, Literal

__all__ = ["EncodingPlan", "binary_reason", "not_text", "plan_encoding", "single_byte_table"]

# Byte-order marks, longest first: UTF-32 LE starts with UTF-16 LE's mark.
_BOMS: Final = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)
# Bytes that cp1252 leaves undefined; a file that has them in text that is
# not UTF-8 is taken as latin-1, which maps every byte.
_CP1252_HOLES: Final = frozenset(b"\x81\x8d\x8f\x90\x9d")
# How much of the input the checks below look at.
SAMPLE_BYTES: Final = 64 << 10
# Above this share of NUL bytes in the sample, the input is not text.
_NUL_SHARE: Final = 0.01

type Mode = Literal["utf-8", "per-row", "decode"]


@dataclass(frozen=True, slots=True)
class EncodingPlan:
    """How to turn a source's bytes into text.

    Attributes:
        name: The encoding reported to the user: a codec name as Python
            spells it (``"utf-8"``, ``"cp1252"``, ``"utf-16-le"``).
        mode: ``"utf-8"``: parse the bytes as UTF-8, replacing invalid
            sequences by U+FFFD; ``"per-row"``: UTF-8 rows stay UTF-8 and
            other rows are decoded through `table`; ``"decode"``: decode the
            whole input with `codec` to UTF-8 before parsing.
        legacy: The code page of ``"per-row"`` mode, else ``None``.
        table: For ``"per-row"``, the UTF-8 text of each byte 0x80-0xFF in
            `legacy`, 128 entries.
        codec: For ``"decode"``, the Python codec to decode with.
        bom: Bytes of byte-order mark at the start of the input, to skip.
    """

    name: str
    mode: Mode
    legacy: str | None = None
    table: tuple[bytes, ...] | None = None
    codec: str | None = None
    bom: int = 0


def _canonical(encoding: str) -> str:
    return codecs.lookup(encoding).name


# Built once per code page: its 128 decoders took a fifth of a small file's salvage.
@functools.cache
def single_byte_table(encoding: str) -> tuple[bytes, ...] | None:
    """The UTF-8 text of bytes 0x80-0xFF in `encoding`, when it can serve per row.

    Args:
        encoding: A Python codec name.

    Returns:
        128 UTF-8 strings, one per byte from 0x80 on (U+FFFD for bytes the
        code page leaves undefined), when `encoding` maps every byte to one
        character and the ASCII bytes to themselves; ``None`` otherwise.

    Raises:
        LookupError: `encoding` is not a codec Python knows.
    """
    info = codecs.lookup(encoding)
    if info.name in ("utf-8", "utf-8-sig"):
        return None
    try:
        ascii_part = bytes(range(128)).decode(info.name)
    except UnicodeDecodeError:
        return None
    if ascii_part != "".join(map(chr, range(128))):
        return None
    table: list[bytes] = []
    for b in range(0x80, 0x100):
        # An incremental decoder fed one byte gives nothing for the lead byte
        # of a longer sequence: such a codec is not single-byte.
        out = codecs.getincrementaldecoder(info.name)(errors="replace").decode(bytes([b]), final=False)
        if len(out) != 1:
            return None
        table.append(out.encode("utf-8"))
    return tuple(table)


def _legacy_for(sample: bytes) -> str:
    """cp1252, unless the sample's bytes outside UTF-8 include one it leaves undefined."""
    # Most samples hold none of those bytes at all; the rest are decoded once.
    if not any(bytes((b,)) in sample for b in _CP1252_HOLES):
        return "cp1252"
    # surrogateescape turns exactly the bytes that are not part of valid
    # UTF-8 into U+DC80..U+DCFF.
    text = sample.decode("utf-8", errors="surrogateescape")
    return "latin-1" if any(chr(0xDC00 + b) in text for b in _CP1252_HOLES) else "cp1252"


def binary_reason(sample: bytes) -> str | None:
    """Why `sample` does not look like text, or ``None`` when it does.

    Args:
        sample: The first bytes of the (decompressed) input, after any BOM.

    Returns:
        A sentence for the error message, or ``None``.
    """
    if not sample:
        return None
    nul = sample.count(0)
    if nul / len(sample) > _NUL_SHARE:
        return (f"{nul * 100 / len(sample):.0f}% of its first {len(sample)} bytes are NUL bytes, "
                "which text never has")
    return None


def not_text(name: str | None, sample: bytes, plan: EncodingPlan) -> str | None:
    """The refusal of an input that does not look like text, naming it; ``None``
    when it does, or when it is decoded whole (NUL bytes are text in UTF-16).

    Args:
        name: The source's name, or ``None``.
        sample: The first bytes of the (decompressed) input.
        plan: How the input is decoded.

    Returns:
        The message's first sentence, or ``None``.
    """
    if plan.mode == "decode":
        return None
    reason = binary_reason(sample[plan.bom:])
    return None if reason is None else f"{name or 'the source'} does not look like CSV text: {reason}"


def _utf16_without_bom(sample: bytes) -> str | None:
    """UTF-16 text without a BOM shows as NUL bytes in every other place."""
    if len(sample) < 16:
        return None
    even, odd = sample[0::2], sample[1::2]
    if odd.count(0) > 0.9 * len(odd) and even.count(0) < 0.1 * len(even):
        return "utf-16-le"
    if even.count(0) > 0.9 * len(even) and odd.count(0) < 0.1 * len(odd):
        return "utf-16-be"
    return None


def plan_encoding(encoding: str, sample: bytes) -> EncodingPlan:
    """Decides how to decode an input, from the caller's wish and its first bytes.

    Args:
        encoding: ``"auto"``, or a Python codec name.
        sample: Up to ``SAMPLE_BYTES`` from the start of the input.

    Returns:
        The plan. Under ``"auto"``: a BOM decides; UTF-16 without a BOM is
        recognised by its NUL bytes; anything else is parsed per row, UTF-8
        where it is valid and cp1252 (or latin-1) elsewhere.

    Raises:
        LookupError: `encoding` is not a codec Python knows.
    """
    if encoding != "auto":
        name = _canonical(encoding)
        bom = 0
        if name in ("utf-8", "utf-8-sig"):
            bom = 3 if sample.startswith(codecs.BOM_UTF8) else 0
            return EncodingPlan("utf-8", "utf-8", bom=bom)
        table = single_byte_table(name)
        if table is not None:
            return EncodingPlan(name, "per-row", legacy=name, table=table)
        # "utf-16" and "utf-32" read their BOM themselves; the variants that
        # name a byte order would keep it as U+FEFF.
        for mark, bom_name in _BOMS:
            if name == bom_name and sample.startswith(mark):
                return EncodingPlan(name, "decode", codec=name, bom=len(mark))
        return EncodingPlan(name, "decode", codec=name)

    for mark, name in _BOMS:
        if sample.startswith(mark):
            if name == "utf-8":
                return _per_row(sample[len(mark):], bom=len(mark))
            return EncodingPlan(name, "decode", codec=name, bom=len(mark))
    if (wide := _utf16_without_bom(sample)) is not None:
        return EncodingPlan(wide, "decode", codec=wide)
    return _per_row(sample, bom=0)


def _per_row(sample: bytes, *, bom: int) -> EncodingPlan:
    legacy = _legacy_for(sample)
    table = single_byte_table(legacy)
    assert table is not None
    return EncodingPlan("utf-8", "per-row", legacy=legacy, table=table, bom=bom)
