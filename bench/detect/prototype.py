"""A prototype of corvel's detection, in plain Python, to learn which signals
reach the targets before the native one is written.

detect(sample bytes) -> Detection, in four steps:

1. Encoding: a BOM decides (UTF-8, UTF-16); otherwise valid UTF-8 stays UTF-8;
   otherwise cp1252 (latin-1 where cp1252 leaves a byte undefined).
2. Dialect. Candidates: each delimiter of , ; tab | : space that occurs in
   the sample. For each, the quote is the one of " and ' that the rows
   plainly use (fields that open and close with it at field boundaries), or
   none; the backslash is the escape when it stands before that quote; the
   blanks after the delimiter are skipped (", ") when most fields after a
   row's first start with one. Each candidate tokenizes the first rows and
   is scored as consistency × plausibility:
   - consistency: the share of non-blank rows of the dominant width (>= 2);
     no factor for wider tables (with 1 - 1/w, wrong splits of times, dates
     and phone numbers into more columns won);
   - plausibility: the mean over cells of a type score: 1 for a known type
     (number, date, time, percentage, money, e-mail, URL, yes/no, codes,
     empty), 0.7 for clean text, 0.5 for text with a quote at an edge, 0
     for text with blanks at its ends, a delimiter-like character at an
     edge, or another candidate delimiter inside (a row the candidate did
     not split).
   Ties go to the earlier candidate.
3. Table: rows are grouped in blocks; a blank gap followed by two rows of a
   new width starts a new block (a second table). The main table is the first
   block holding two rows of one width >= 2; its width is the dominant one.
   Rows above its first row of that width with two or more filled cells are
   preamble (so is a title that a spreadsheet padded to the width).
4. Header: the first table rows (up to 3) whose cells in typed columns
   (number, date, ... in 70% of the cells below) are text or empty, at least
   one of them filled; several rows only when partly filled group rows stand
   above one full row of labels. When no column is typed, a first row of
   distinct, non-empty, short labels that never recur below and hold no
   digits-only cell.

load(path) applies it to the whole file: the rows after the header up to the
main table's end; trailing rows of another width that don't fit the column
types and hold no other candidate delimiter, or that open with "Total", are
footer (at most 3, among the last 16);
blank lines are skipped; short rows padded, long rows merged into the last
cell with the delimiter.
"""

import dataclasses
import re

from loaders import Load, dialect as dialect_dict

SAMPLE = 64 << 10
SCORE_ROWS = 120  # rows tokenized per candidate dialect
DELIMITERS = [",", ";", "\t", "|", ":", " "]
QUOTES = ['"', "'"]


@dataclasses.dataclass
class Detection:
    encoding: str
    delimiter: str
    quote_char: str | None
    escape_char: str | None
    skip_initial_space: bool
    width: int = 0
    preamble_rows: int = 0  # non-blank rows above the header
    header_rows: int = 0
    score: float = 0.0


# --- encoding -------------------------------------------------------------

def detect_encoding(data):
    if data.startswith(b"\xef\xbb\xbf"):
        return "utf-8-sig"
    if data.startswith(b"\xff\xfe") or data.startswith(b"\xfe\xff"):
        return "utf-16"
    try:
        data.decode("utf-8")
        return "utf-8"
    except UnicodeDecodeError as e:
        if e.start >= len(data) - 3 and e.reason == "unexpected end of data":
            return "utf-8"  # a character cut by the end of the sample
    try:
        data.decode("cp1252")
        return "cp1252"
    except UnicodeDecodeError:
        return "latin-1"


def decode(data, encoding):
    return data.decode(encoding, "replace")


# --- tokenizer ------------------------------------------------------------

class Tokenizer:
    """Rows of a text in one dialect, never failing. A quote opens a quoted
    field only at the field's start; inside, it closes the field only when a
    delimiter or a line end follows (after blanks), is doubled, or (with an
    escape) is escaped; any other quote is kept as text. An unclosed quote is
    taken as text, and the field read as unquoted."""

    def __init__(self, delimiter, quote, escape, skip_space):
        self.d, self.q, self.e, self.skip = delimiter, quote, escape, skip_space
        stop = re.escape(delimiter) + r"\r\n"
        self.unquoted = re.compile(f"[^{stop}]*")
        self.blanks = re.compile("[" + " \t".replace(delimiter, "") + "]*")  # never the delimiter

    def rows(self, text, limit=None):
        """[(first line number, fields)] with blank lines as empty lists."""
        out, pos, n, line = [], 0, len(text), 1
        while pos < n and (limit is None or len(out) < limit):
            start_line = line
            fields = []
            if text[pos] in "\r\n":  # a blank line
                pos += 2 if text.startswith("\r\n", pos) else 1
                out.append((start_line, []))
                line += 1
                continue
            while True:
                if self.skip:
                    pos = self.blanks.match(text, pos).end()
                field, pos, newlines = self.field(text, pos)
                line += newlines
                fields.append(field)
                if pos < n and text[pos] == self.d:
                    pos += 1
                    continue
                break
            if pos < n:
                pos += 2 if text.startswith("\r\n", pos) else 1
                line += 1
            out.append((start_line, fields))
        return out

    def field(self, text, pos):
        q = self.q
        if q and pos < len(text) and text[pos] == q:
            got = self.quoted(text, pos + 1)
            if got is not None:
                return got
        end = self.unquoted.match(text, pos).end()
        return text[pos:end], end, 0

    def quoted(self, text, pos):
        q, e, d, n = self.q, self.e, self.d, len(text)
        parts, i = [], pos
        while True:
            j = text.find(q, i)
            if e:
                k = text.find(e, i)
                if k != -1 and (j == -1 or k < j):
                    parts.append(text[i:k])
                    parts.append(text[k + 1:k + 2])
                    i = k + 2
                    continue
            if j == -1:
                return None
            parts.append(text[i:j])
            if not e and text.startswith(q, j + 1):  # a doubled quote
                parts.append(q)
                i = j + 2
                continue
            after = self.blanks.match(text, j + 1).end()
            if after >= n or text[after] in "\r\n" or text[after] == d:
                value = "".join(parts)
                return value, after, value.count("\n") + value.count("\r") - value.count("\r\n")
            parts.append(q)  # a stray quote inside the field
            i = j + 1


# --- types ------------------------------------------------------------------

NUM = r"[+-]?(?:\d{1,3}(?:[,.' ]\d{3})+|\d+)(?:[.,]\d+)?"
TYPES = [
    ("number", re.compile(rf"{NUM}|[+-]?\.\d+")),
    ("money", re.compile(rf"[€$£¥]\s?{NUM}|{NUM}\s?(?:[€$£¥]|EUR|USD|GBP)")),
    ("percent", re.compile(rf"{NUM}\s?%")),
    ("date", re.compile(r"\d{4}[-/.]\d{1,2}[-/.]\d{1,2}|\d{1,2}[-/.]\d{1,2}[-/.]\d{2,4}"
                        r"|\d{1,2} [A-Za-z]{3,9}\.? \d{2,4}|[A-Za-z]{3,9}\.? \d{1,2},? \d{4}")),
    ("time", re.compile(r"\d{1,2}:\d{2}(?::\d{2}(?:\.\d+)?)?(?: ?[AaPp][Mm])?")),
    ("datetime", re.compile(r"\d{4}-\d{1,2}-\d{1,2}[T ]\d{1,2}:\d{2}(?::\d{2}(?:\.\d+)?)?(?:Z|[+-]\d{2}:?\d{2})?")),
    ("bool", re.compile(r"(?i:true|false|yes|no|y|n|t|f)")),
    ("email", re.compile(r"[\w.+-]+@[\w-]+(?:\.[\w-]+)+")),
    ("url", re.compile(r"(?i:https?://|www\.)\S+")),
    ("phone", re.compile(r"\+?\d[\d ()-]{6,}\d")),
    ("code", re.compile(r"[A-Z]{1,4}[-_]?\d{2,}|[A-Z0-9]{2,}-[A-Z0-9-]+")),
    ("na", re.compile(r"(?i:n/?a|null|none|-|--|nan)")),
]
EDGE_JUNK = set(",;|:\t")


def cell_type(cell):
    s = cell.strip()
    if not s:
        return "empty"
    for name, rx in TYPES:
        if rx.fullmatch(s):
            return name
    return "text"


def plausibility(cell, delimiter):
    if not cell:
        return 1.0
    if cell != cell.strip():
        return 0.0
    if cell_type(cell) != "text":
        return 1.0
    if cell[0] in EDGE_JUNK or cell[-1] in EDGE_JUNK:
        return 0.0
    if any(c in cell for c in EDGE_JUNK if c != delimiter):
        return 0.0  # text holding another candidate delimiter: perhaps a row not split
    if cell[0] in "\"'" or cell[-1] in "\"'":
        return 0.5
    return 0.7


# --- dialect ----------------------------------------------------------------

def quote_evidence(text, delimiter, quote):
    """How many fields open and close with `quote` at field boundaries."""
    d = re.escape(delimiter)
    q = re.escape(quote)
    rx = re.compile(rf"(?:^|(?<=[\r\n])|{d})[ \t]*{q}(?:[^{q}\\]|{q}{q}|\\.)*{q}[ \t]*(?={d}|\r|\n|\Z)", re.S)
    return len(rx.findall(text))


def candidates(text):
    for d in DELIMITERS:
        if d not in text:
            continue
        evidence = {q: quote_evidence(text, d, q) for q in QUOTES if q in text}
        quote = max(evidence, key=lambda q: (evidence[q], q == '"'), default=None)
        if quote is not None and evidence[quote] == 0:
            quote = None
        escape = "\\" if quote and ("\\" + quote) in text else None
        yield d, quote, escape, d != " " and blanks_after(text, d, quote, escape)


def blanks_after(text, d, quote, escape):
    """Whether most fields after the first of a row start with a blank: the
    delimiter is then d followed by blanks (", ")."""
    rows = Tokenizer(d, quote, escape, False).rows(text, SCORE_ROWS)
    later = [c for _, f in rows for c in f[1:] if c]
    return bool(later) and sum(1 for c in later if c[0] in " \t") > 0.5 * len(later)


def score_rows(rows, delimiter):
    rows = [f for _, f in rows if f and not (len(f) == 1 and not f[0].strip())]
    if len(rows) < 1:
        return 0.0, 1
    widths = {}
    for f in rows:
        widths[len(f)] = widths.get(len(f), 0) + 1
    wide = {w: c for w, c in widths.items() if w >= 2}
    if not wide:
        return 0.0, 1
    w = max(wide, key=lambda k: (wide[k], k))
    consistency = wide[w] / len(rows)
    cells = [c for f in rows for c in f]
    plaus = sum(plausibility(c, delimiter) for c in cells) / len(cells)
    return consistency * plaus, w


def detect_dialect(text):
    best = None
    for d, q, e, skip in candidates(text):
        rows = Tokenizer(d, q, e, skip).rows(text, SCORE_ROWS)
        s, w = score_rows(rows, d)
        if best is None or s > best[0] + 1e-9:
            best = (s, d, q, e, skip)
    if best is None:
        return 0.0, ",", '"', None, False
    return best


# --- table shape and header -------------------------------------------------

def blocks(rows):
    """Split [(line, fields)] (blank rows included) into tables: a blank gap
    followed by two rows of one new width starts a new one."""
    out, cur, gap, width = [], [], False, None
    for k, (line, f) in enumerate(rows):
        if not f or (len(f) == 1 and not f[0].strip()):
            gap = True
            continue
        if gap and cur and width and len(f) != width and len(f) >= 2:
            nxt = next((g for _, g in rows[k + 1:] if g and not (len(g) == 1 and not g[0].strip())), None)
            if nxt is not None and len(nxt) == len(f):
                out.append(cur)
                cur, width = [], None
        gap = False
        cur.append((line, f))
        if width is None or len(cur) <= 40:  # the width is settled by the first rows
            width = dominant_width([g for _, g in cur])
    if cur:
        out.append(cur)
    return out


def dominant_width(rows):
    counts = {}
    for f in rows:
        if len(f) >= 2:
            counts[len(f)] = counts.get(len(f), 0) + 1
    if not counts:
        return None
    return max(counts, key=lambda k: (counts[k], k))


def main_block(bl):
    for b in bl:
        w = dominant_width([f for _, f in b])
        if w and sum(1 for _, f in b if len(f) == w) >= 2:
            return b, w
    b = bl[0] if bl else []
    return b, max((len(f) for _, f in b), default=1)


def filled(f):
    return sum(1 for c in f if c.strip())


def column_types(rows, width):
    """The dominant type of each column (None when no type has 70%)."""
    out = []
    for j in range(width):
        counts = {}
        n = 0
        for f in rows:
            if j < len(f) and f[j].strip():
                t = cell_type(f[j])
                t = "number" if t in ("number", "money", "percent") else t
                counts[t] = counts.get(t, 0) + 1
                n += 1
        t = max(counts, key=counts.get) if counts else None
        out.append(t if t and t != "text" and counts[t] >= 0.7 * n and n >= 2 else None)
    return out


def fits(cell, t):
    if not cell.strip():
        return True
    ct = cell_type(cell)
    ct = "number" if ct in ("number", "money", "percent") else ct
    return ct == t


def header_rows(rows, width):
    """How many of `rows` (the table from its first row) are header rows:
    3, 2 or 1 rows of the table's width, none empty, whose cells in the typed
    columns of the rows below are all text or empty (at least one filled);
    without typed columns, one row of labels."""
    for n in (3, 2, 1):
        head, body = rows[:n], rows[n:n + 60]
        if not body or any(len(f) != width or not filled(f) for f in head):
            continue
        if n > 1 and not multi_header_like(head, width):
            continue
        types = column_types(body, width)
        typed = [j for j, t in enumerate(types) if t]
        if not typed:
            if n == 1 and labels_like(head[0], body):
                return 1
            continue
        cells = [(f[j], types[j]) for f in head for j in typed if f[j].strip()]
        if cells and not any(fits(c, t) for c, t in cells):
            return n
    return 0


def multi_header_like(rows, width):
    """A header of several rows: a row of full labels, with only partly
    filled rows (groups) above it; units may follow it."""
    full = [filled(f) == width for f in rows]
    return True in full and not any(full[:full.index(True)])


def labels_like(first, body):
    cells = [c.strip() for c in first]
    if not all(cells) or len(set(cells)) != len(cells):
        return False
    if any(c.isdigit() or len(c) > 40 for c in cells):
        return False
    below = {c.strip() for f in body for c in f}
    if any(c in below for c in cells):
        return False
    lengths = [len(c) for f in body for c in f if c.strip()]
    mean = sum(lengths) / len(lengths) if lengths else 0
    return sum(len(c) for c in cells) / len(cells) <= max(mean, 8) * 1.2


def preamble_rows(block, width):
    """Non-blank rows at the top of the block that are not the table."""
    k = 0
    while k < len(block) - 1:
        f = block[k][1]
        if len(f) == width and (filled(f) > 1 or width == 1):
            break
        k += 1
    return k


TOTAL = re.compile(r"(?i)\s*(?:grand\s+)?(?:total|totals|sum|subtotal|end of|count|rows?\b|\d+\s+rows?\b|printed|generated|page\b)")


def footer_rows(rows, width, types, delimiter):
    """How many trailing rows of the table are footer (at most 3 of the last
    16). A short row whose text holds another candidate delimiter is a data
    row that was not split (a changed or lost delimiter), not a footer."""
    n = 0
    for f in reversed(rows[-16:]):
        if n >= 3:
            break
        first = next((c for c in f if c.strip()), "")
        if TOTAL.match(first):
            n += 1
            continue
        if len(f) != width and filled(f) <= 2 and not fits_row(f, types) and not unsplit(f, delimiter):
            n += 1
            continue
        break
    return n


def unsplit(f, delimiter):
    return any(c in cell for cell in f for c in EDGE_JUNK if c != delimiter)


def fits_row(f, types):
    typed = [j for j, t in enumerate(types) if t and j < len(f) and f[j].strip()]
    if not typed:
        return False
    return sum(1 for j in typed if fits(f[j], types[j])) >= 0.5 * len(typed)


# --- the whole ----------------------------------------------------------------

def detect(sample):
    """The Detection of a sample's bytes."""
    enc = detect_encoding(sample)
    text = decode(sample, enc)
    score, d, q, e, skip = detect_dialect(text)
    rows = Tokenizer(d, q, e, skip).rows(text)
    block, width = main_block(blocks(rows))
    pre = preamble_rows(block, width)
    table = [f for _, f in block[pre:]]
    head = header_rows(table, width)
    return Detection(enc, d, q, e, skip, width, pre, head, score)


def load(path):
    with open(path, "rb") as f:
        data = f.read()
    det = detect(data[:SAMPLE])
    text = decode(data, det.encoding)
    rows = Tokenizer(det.delimiter, det.quote_char, det.escape_char, det.skip_initial_space).rows(text)
    block, width = main_block(blocks(rows))
    pre = preamble_rows(block, width)
    table = [f for _, f in block[pre:]]
    head = det.header_rows if width == det.width else header_rows(table, width)
    body = table[head:]
    types = column_types(body[:200], width)
    foot = footer_rows(body, width, types, det.delimiter)
    if foot:
        body = body[:-foot]
    records = [salvage(f, width, det.delimiter) for f in body]
    return Load(table[:head], records, dialect_dict(det.delimiter, det.quote_char, det.escape_char,
                                                    det.skip_initial_space))


def salvage(f, width, delimiter):
    if len(f) < width:
        return f + [""] * (width - len(f))
    if len(f) > width:
        return f[:width - 1] + [delimiter.join(f[width - 1:])]
    return f
