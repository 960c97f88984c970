"""The labelled detection corpus: real-looking exports with known damage.

Every file starts as a clean table of realistic content (names, prices,
amounts, dates, e-mail addresses, free text with commas, quotes and the odd
line break), is written in some dialect and then polluted once or twice.
Pollutions come in four families:

- dialect:  delimiters , ; tab | : space and ", "; quotes " ' and none;
            backslash escapes; CR, LF and CR LF line ends;
- table:    a preamble of 1 to 5 lines; a footer; a header of 2 or 3 rows;
            no header; blank lines; two or three tables;
- row:      an extra quote in a field; fewer or more delimiters in a row; a
            changed delimiter in one row; short and long rows;
- encoding: latin-1, cp1252, UTF-16 with a BOM.

A file without a dialect pollution is a plain comma file with double quotes
and LF line ends; without a table pollution it has one header row and no
preamble, footer or blank lines; without an encoding pollution it is UTF-8.

Beside each `NNNN.csv` lies `NNNN.json`, the truth:

    seed, families, pollutions      what was done to the file
    encoding                        "utf-8", "latin-1", "cp1252" or "utf-16"
    dialect                         delimiter (one character), quote_char
                                    (None for no quoting), escape_char (None or
                                    "\\\\"), skip_initial_space, line_end,
                                    quote_used (whether any field opens with
                                    the quote)
    header                          the header rows (0 to 3 lists of cells)
    preamble_rows, footer_rows      non-blank lines above the header and below
                                    the main table
    tables                          how many tables the file holds (the first
                                    is the main one; only its rows are records)
    width                           the main table's number of columns
    records                         the main table's data rows, as written
    alternatives                    {row index: [other acceptable records]}
                                    for the rows a row pollution damaged

A damaged row's text no longer says what it held (two fields fused, a field
split, a row cut short or run long, a row in another delimiter). Its clean
record stays the truth, and so does what a salvager that knows the true dialect
makes of the damaged text: the text parsed, short rows padded with empty cells
at the end, the surplus of long rows joined into the last cell with the
delimiter. The scorer accepts either.

Generation is deterministic: file i of seed s depends on (s, i) alone, so the
same seed gives the same bytes.

    python bench/detect/corpus.py [--out DIR] [--count 1200] [--seed 18] [--force]
"""

import argparse
import csv
import json
import os
import random
import re
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "out", "detect")
COUNT = 1200
SEED = 18
FORMAT = 2  # bump when the generator changes what it writes

FAMILIES = {
    "dialect": ["delimiter", "quote", "escape", "line_end"],
    "table": ["preamble", "footer", "multi_header", "no_header", "blank_lines", "tables"],
    "row": ["extra_quote", "fewer_delimiters", "more_delimiters", "changed_delimiter", "short_rows", "long_rows"],
    "encoding": ["latin-1", "cp1252", "utf-16"],
}
DELIMITERS = [";", "\t", "|", ":", " ", ", "]

# --- content --------------------------------------------------------------

FIRST = ["John", "Mary", "José", "Zoë", "François", "Ana", "Jürgen", "Søren", "Aoife", "Wei", "Fatima",
         "Olivia", "Noah", "Léa", "Mateo", "Ingrid", "Ahmed", "Chloé", "Björn", "Priya", "Tomás", "Emma",
         "Łukasz", "Dmitri", "Hana", "Grace", "Renée", "Paul", "Nuno", "Yuki"]
LAST = ["Smith", "García", "Müller", "O'Brien", "Lefèvre", "Nguyen", "Kowalski", "Ødegaard", "Rossi",
        "Johnson", "Dubois", "Fernández", "Schmidt", "Brown", "Martín", "Novák", "Jensen", "Wójcik",
        "Silva", "Taylor", "D'Angelo", "Yamamoto", "Costa", "Ivanova", "Walsh", "Çelik", "Berg", "Lee"]
CITIES = ["Paris", "Zürich", "São Paulo", "New York", "Köln", "Montréal", "Oslo", "Kraków", "Lisbon",
          "Austin", "Málaga", "Dublin", "Tokyo", "Reykjavík", "Cape Town", "Gdańsk", "Lyon", "Porto"]
PRODUCTS = ["Desk lamp", "USB-C cable, 2 m", "Coffee beans 1kg", 'Monitor 27"', "Chair (black)",
            "Notebook A5", "Screwdriver set", "Tea, green", "Backpack", "Headphones", "Crème brûlée mix",
            "Garden hose 25 m", "Paper, A4, 500 sheets", "Water bottle", "Pen; blue", "Plant pot | large"]
STATUS = ["shipped", "pending", "cancelled", "delivered", "returned", "on hold"]
WORDS = ["great", "product", "arrived", "late", "box", "damaged", "would", "buy", "again", "quality",
         "price", "fair", "service", "slow", "fast", "colour", "size", "fits", "perfect", "refund",
         "customer", "called", "twice", "delivery", "friday", "café", "naïve", "déjà", "vu", "ok"]
DOMAINS = ["example.com", "mail.example.org", "corp.example.net", "example.co.uk"]
TITLES = ["Sales report", "Quarterly orders export", "Customer list", "Inventory snapshot",
          "Monthly statement", "Shipment log", "Export from ERP", "Survey responses"]


def person(rng):
    first, last = rng.choice(FIRST), rng.choice(LAST)
    return f"{last}, {first}" if rng.random() < 0.4 else f"{first} {last}"


def text(rng):
    n = rng.randint(2, 12)
    words = [rng.choice(WORDS) for _ in range(n)]
    words[0] = words[0].capitalize()
    s = " ".join(words)
    r = rng.random()
    if r < 0.3:
        cut = rng.randint(1, n - 1)
        s = " ".join(words[:cut]) + ", " + " ".join(words[cut:])
    elif r < 0.45:
        cut = rng.randint(0, n - 1)
        words[cut] = f'"{words[cut]}"'
        s = " ".join(words)
    elif r < 0.5:
        s = s + "\n" + rng.choice(WORDS)  # a line break inside the field
    elif r < 0.55:
        s = s + "; " + rng.choice(WORDS)
    return s + rng.choice(["", "", ".", "!", "..."])


def next_id(rng, st):
    st["n"] = st["n"] + rng.choice([1, 1, 1, 2]) if "n" in st else rng.randint(1, 90000)
    return str(st["n"])


def date(rng, fmt):
    y, m, d = rng.randint(2015, 2026), rng.randint(1, 12), rng.randint(1, 28)
    return fmt.format(y=y, m=m, d=d, mon=["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep",
                                          "Oct", "Nov", "Dec"][m - 1])


DATE_FORMATS = ["{y}-{m:02d}-{d:02d}", "{d:02d}/{m:02d}/{y}", "{m}/{d}/{y}", "{d} {mon} {y}", "{d:02d}.{m:02d}.{y}"]

# Each column kind: (header labels, a maker taking (rng, column state)).
COLUMN_KINDS = {
    "id": (["id", "ID", "Order ID", "order_id", "No."], lambda rng, st: next_id(rng, st)),
    "name": (["name", "Name", "Customer", "customer_name", "Full name"], lambda rng, st: person(rng)),
    "email": (["email", "E-mail", "Email address"], lambda rng, st: f"{rng.choice(FIRST).lower()}.{rng.randint(1, 99)}@{rng.choice(DOMAINS)}".encode("ascii", "ignore").decode()),
    "city": (["city", "City", "Town"], lambda rng, st: rng.choice(CITIES)),
    "product": (["product", "Product", "Item", "Description"], lambda rng, st: rng.choice(PRODUCTS)),
    "qty": (["qty", "Quantity", "Units"], lambda rng, st: str(rng.choice([1, 1, 2, 3, 5, 10, 12, 24, 100]))),
    "price": (["price", "Price", "Unit price", "price_eur"], lambda rng, st: st["price"](rng)),
    "amount": (["amount", "Amount", "Total (EUR)", "Balance"], lambda rng, st: st["amount"](rng)),
    "date": (["date", "Date", "Order date", "created_at"], lambda rng, st: date(rng, st["date"])),
    "time": (["time", "Time"], lambda rng, st: f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}"),
    "pct": (["discount", "Discount", "rate"], lambda rng, st: rng.choice(["0%", "5%", "10%", "12.5%", "", "20%"])),
    "status": (["status", "Status", "State"], lambda rng, st: rng.choice(STATUS)),
    "flag": (["paid", "Paid", "active"], lambda rng, st: rng.choice(st["flags"])),
    "comment": (["comment", "Comment", "Notes", "feedback"], lambda rng, st: text(rng) if rng.random() < 0.8 else ""),
    "phone": (["phone", "Phone"], lambda rng, st: f"+{rng.randint(1, 49)} {rng.randint(100, 999)} {rng.randint(1000, 9999)}"),
    "code": (["sku", "SKU", "Code"], lambda rng, st: f"{rng.choice('ABCDEFXYZ')}{rng.choice('ABCKLMT')}-{rng.randint(100, 99999)}"),
}


def price_maker(rng):
    style = rng.choice(["plain", "plain", "plain", "euro", "dollar", "comma", "thousands"])

    def make(r):
        v = r.choice([r.randint(1, 99), r.randint(1, 999), r.randint(1000, 99999)]) + r.randint(0, 99) / 100
        return {"plain": f"{v:.2f}", "euro": f"€{v:.2f}", "dollar": f"${v:.2f}",
                "comma": f"{v:.2f}".replace(".", ","), "thousands": f"{v:,.2f}"}[style]
    return make


def amount_maker(rng):
    neg = rng.random() < 0.5

    def make(r):
        v = r.randint(-99999 if neg else 0, 99999) / 100
        return f"{v:.2f}"
    return make


def clean_table(rng):
    width = rng.randint(2, 9)
    kinds = ["id"] * (rng.random() < 0.6) + rng.sample(sorted(COLUMN_KINDS), width)
    kinds = list(dict.fromkeys(kinds))[:width]
    state = {"price": price_maker(rng), "amount": amount_maker(rng), "date": rng.choice(DATE_FORMATS),
             "flags": rng.choice([["yes", "no"], ["true", "false"], ["Y", "N"], ["1", "0"]])}
    st = {k: dict(state) for k in kinds}
    label_case = rng.choice([str, str.lower, str.upper, lambda s: s.replace(" ", "_").lower()])
    header = [label_case(rng.choice(COLUMN_KINDS[k][0])) for k in kinds]
    for i, h in enumerate(header):  # distinct labels
        if header.index(h) != i:
            header[i] = f"{h}_{i}"
    nrows = rng.choice([rng.randint(3, 20), rng.randint(20, 80), rng.randint(80, 200)])
    rows = [[COLUMN_KINDS[k][1](rng, st[k]) for k in kinds] for _ in range(nrows)]
    return kinds, header, rows


# --- writing --------------------------------------------------------------

class Dialect:
    def __init__(self, delimiter=",", quote='"', escape=None, eol="\n", style="minimal"):
        self.delimiter, self.quote, self.escape, self.eol, self.style = delimiter, quote, escape, eol, style

    @property
    def char(self):
        return self.delimiter[0]

    def sanitize(self, cell):
        """The cell as it can live in this dialect (without quoting, no delimiter or line break)."""
        if self.quote is None:
            cell = cell.replace("\r", " ").replace("\n", " ")
            cell = cell.replace(self.char, "/" if self.char != "/" else "-")
            if self.char == " ":
                cell = cell.replace(" ", "_")
            if self.escape:
                cell = cell.replace(self.escape, "/")
        return cell

    def field(self, cell):
        q = self.quote
        if q is None:
            return cell
        needs = (self.char in cell or q in cell or "\n" in cell or "\r" in cell
                 or (self.escape is not None and self.escape in cell)
                 or cell != cell.strip(" ") and self.char == " ")
        if self.style == "all" or (self.style == "nonnumeric" and not is_number(cell)) or needs:
            if self.escape:
                cell = cell.replace(self.escape, self.escape * 2).replace(q, self.escape + q)
            else:
                cell = cell.replace(q, q + q)
            return q + cell + q
        return cell

    def line(self, cells):
        return self.delimiter.join(self.field(c) for c in cells)

    def parse(self, text):
        """One row of text as a reader that knows this dialect reads it."""
        kw = {"delimiter": self.char, "skipinitialspace": self.delimiter == ", ", "strict": False}
        if self.quote is None:
            kw["quoting"] = csv.QUOTE_NONE
        else:
            kw["quotechar"] = self.quote
        if self.escape:
            kw.update(escapechar=self.escape, doublequote=False)
        return next(csv.reader([text], **kw), [""])


def is_number(s):
    try:
        float(s)
        return True
    except ValueError:
        return False


def salvage_rendition(cells, width, delimiter):
    if len(cells) < width:
        return cells + [""] * (width - len(cells))
    if len(cells) > width:
        return cells[:width - 1] + [delimiter.join(cells[width - 1:])]
    return cells


# --- one file -------------------------------------------------------------

def choose_pollutions(rng):
    fam = rng.choice(sorted(FAMILIES))
    chosen = [(fam, rng.choice(FAMILIES[fam]))]
    if rng.random() < 0.5:
        fam2 = rng.choice(sorted(FAMILIES))
        name2 = rng.choice(FAMILIES[fam2])
        if (fam2, name2) != chosen[0] and not (fam2 == fam == "encoding"):
            chosen.append((fam2, name2))
    # no header and a multi-row header contradict each other
    names = [n for _, n in chosen]
    if "no_header" in names and "multi_header" in names:
        chosen.pop()
    return chosen


def make_file(seed, index, min_rows=None):
    """(bytes, truth) of file `index` of corpus `seed`; `min_rows` makes the
    main table at least that long (for timing samples)."""
    rng = random.Random(f"detect-{seed}-{index}")
    pollutions = choose_pollutions(rng)
    names = {n for _, n in pollutions}
    kinds, header, rows = clean_table(rng)
    if min_rows:
        while len(rows) < min_rows:
            rows += clean_table_rows_like(rng, kinds, rows)
    width = len(header)

    # The dialect.
    d = Dialect(style=rng.choice(["minimal"] * 6 + ["all", "nonnumeric"]))
    if names & set(FAMILIES["row"]):
        d.style = "minimal"  # the row damage works on unquoted fields
    if "delimiter" in names:
        d.delimiter = rng.choice(DELIMITERS)
    if "quote" in names:
        d.quote = rng.choice(["'", None])
        if d.quote is None and d.delimiter == ",":
            d.delimiter = rng.choice([",", ";", "\t", "|"])
    if "escape" in names:
        d.escape = "\\"
        if d.quote is None:
            d.quote = '"'
    if "line_end" in names:
        d.eol = rng.choice(["\r\n", "\r"])
    if d.delimiter in (" ", ":", ", ") and d.quote is None:
        d.quote = '"'
    encoding = next((n for n in names if n in FAMILIES["encoding"]), "utf-8")
    if encoding == "utf-16" and "delimiter" not in names and rng.random() < 0.5:
        d.delimiter = "\t"  # the spreadsheet "Unicode text" export

    def fit(cell):
        cell = d.sanitize(cell)
        if encoding != "utf-8" and encoding != "utf-16":
            cell = cell.encode(encoding, "replace").decode(encoding)
        return cell

    header = [fit(c) for c in header]
    rows = [[fit(c) for c in r] for r in rows]
    header_rows = [header]
    if "no_header" in names:
        header_rows = []
    elif "multi_header" in names:
        groups = []
        for i in range(width):
            groups.append(rng.choice(["Customer", "Order", "Details", "Billing", "Shipping"]) if i % 2 == 0 else "")
        header_rows = [[fit(g) for g in groups], header]
        if rng.random() < 0.5:
            units = [rng.choice(["", "EUR", "units", "text", "yyyy-mm-dd", "%"]) for _ in range(width)]
            header_rows.append([fit(u) for u in units])

    lines = []  # (kind, text): kind in preamble, header, record, blank, footer, other
    preamble = []
    if "preamble" in names:
        n = rng.randint(1, 5)
        for i in range(n):
            line = rng.choice([
                lambda: rng.choice(TITLES),
                lambda: f"Generated: {date(rng, '{y}-{m:02d}-{d:02d}')} {rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}",
                lambda: f"Exported by {rng.choice(FIRST)} {rng.choice(LAST)}",
                lambda: f"Period {date(rng, '{d:02d}/{m:02d}/{y}')} to {date(rng, '{d:02d}/{m:02d}/{y}')}",
                lambda: "Confidential - internal use only",
                lambda: f"Region: {rng.choice(CITIES)}",
            ])()
            line = fit(line)
            if rng.random() < 0.25:  # a spreadsheet pads the title row to the table's width
                preamble.append(("preamble", d.line([line] + [""] * (width - 1))))
            else:
                preamble.append(("preamble", d.field(line)))
        if rng.random() < 0.6:
            preamble.append(("blank", ""))
    lines += preamble
    lines += [("header", d.line(h)) for h in header_rows]

    records = [list(r) for r in rows]
    alternatives = {}
    body = [("record", d.line(r)) for r in rows]

    row_pollutions = sorted(names & set(FAMILIES["row"]))
    applied = set()
    if row_pollutions:
        want, done = rng.randint(1, max(1, min(3, len(rows) // 5))), 0
        for i in rng.sample(range(len(rows)), len(rows)):
            if done == want:
                break
            name = rng.choice(row_pollutions)
            damaged = pollute_row(rng, name, rows[i], d)
            if damaged is None:
                continue
            applied.add(name)
            done += 1
            kind, line, cells = damaged
            body[i] = ("record", line)
            if kind == "content":
                records[i] = cells
            else:
                rend = salvage_rendition(d.parse(line), width, d.char)
                alts = [rend]
                if d.delimiter != d.char and len(d.parse(line)) > width:
                    alts.append(salvage_rendition(d.parse(line), width, d.delimiter))
                alts = [a for a in alts if a != records[i]]
                if alts:
                    alternatives[i] = alts

    if "blank_lines" in names:
        for _ in range(rng.randint(1, 4)):
            body.insert(rng.randint(0, len(body)), ("blank", ""))
    lines += body
    pollutions = [(f, n) for f, n in pollutions if f != "row" or n in applied]

    footer = 0
    if "footer" in names:
        if rng.random() < 0.4:
            lines.append(("blank", ""))
        choice = rng.randrange(4)
        if choice == 0:
            total = [fit("Total")] + [""] * (width - 1)
            if width > 1:
                total[rng.randrange(1, width)] = f"{rng.randint(100, 99999)}.{rng.randint(0, 99):02d}"
            lines.append(("footer", d.line(total)))
        elif choice == 1:
            lines.append(("footer", d.field(fit(f"{len(rows)} rows"))))
        elif choice == 2:
            lines.append(("footer", d.field(fit("End of report"))))
        else:
            lines.append(("footer", d.field(fit(f"Total: {rng.randint(100, 99999)}.{rng.randint(0, 99):02d}"))))
        footer = 1
        if rng.random() < 0.3:
            lines.append(("footer", d.field(fit(f"Printed {date(rng, '{y}-{m:02d}-{d:02d}')}"))))
            footer = 2

    tables = 1
    if "tables" in names:
        tables = rng.randint(2, 3)
        for _ in range(tables - 1):
            _, h2, r2 = clean_table(rng)
            while len(h2) == width:
                _, h2, r2 = clean_table(rng)
            lines += [("blank", "")] * rng.randint(1, 2)
            lines.append(("other", d.line([fit(c) for c in h2])))
            lines += [("other", d.line([fit(c) for c in r])) for r in r2[: rng.randint(3, 30)]]

    text = d.eol.join(t for _, t in lines) + (d.eol if rng.random() < 0.9 else "")
    data = text.encode(encoding)
    opens = d.quote is not None and re.search(
        "(?:^|[\r\n]|" + re.escape(d.delimiter) + ")" + re.escape(d.quote), text) is not None
    truth = {
        "format": FORMAT,
        "seed": seed,
        "index": index,
        "families": sorted({f for f, _ in pollutions}),
        "pollutions": [f"{f}:{n}" for f, n in pollutions],
        "encoding": encoding,
        "dialect": {"delimiter": d.char, "quote_char": d.quote, "escape_char": d.escape,
                    "skip_initial_space": d.delimiter == ", ", "line_end": d.eol, "quote_used": opens},
        "header": header_rows,
        "preamble_rows": sum(k == "preamble" for k, _ in lines),
        "footer_rows": footer,
        "tables": tables,
        "width": width,
        "records": records,
        "alternatives": {str(k): v for k, v in sorted(alternatives.items())},
    }
    return data, truth


def clean_table_rows_like(rng, kinds, rows):
    """More rows of the same table: the existing ones, reshuffled."""
    extra = [list(r) for r in rows]
    rng.shuffle(extra)
    return extra


def pollute_row(rng, name, cells, d):
    """(kind, line, cells): "content" when the row's true content changed but
    stays readable (its new cells returned), "damaged" when the text no longer
    holds the row. None when this row can't take the pollution."""
    w = len(cells)
    if name != "extra_quote" and any("\n" in c or "\r" in c for c in cells):
        return None  # a damaged row that spans lines has no one reading
    plain = [i for i, c in enumerate(cells) if d.field(c) == c and c]
    if name == "extra_quote":
        # A quote in the data that the writer didn't escape: in an unquoted
        # field (5" disk), or left single inside a quoted one ("say "hi" now").
        q = d.quote or '"'
        i = rng.randrange(w)
        c = cells[i]
        spots = [p for p in range(1, len(c)) if c[p].isalnum()]
        if not spots or q in c or (d.escape and d.field(c) != c):
            return None
        pos = rng.choice(spots)
        new = c[:pos] + q + c[pos:]
        out = [d.field(x) for x in cells]
        out[i] = new if d.field(c) == c else q + new + q
        cells = list(cells)
        cells[i] = new
        return "content", d.delimiter.join(out), cells
    if name == "fewer_delimiters":
        pairs = [i for i in plain if i + 1 in plain]
        if not pairs:
            return None
        i = rng.choice(pairs)
        out = [d.field(x) for x in cells]
        out[i:i + 2] = [out[i] + out[i + 1]]
        return "damaged", d.delimiter.join(out), None
    if name == "more_delimiters":
        splittable = [i for i in plain if len(cells[i]) > 1]
        if not splittable:
            return None
        i = rng.choice(splittable)
        c = cells[i]
        pos = c.find(" ") if " " in c and d.char != " " else rng.randint(1, len(c) - 1)
        out = [d.field(x) for x in cells]
        out[i] = c[:pos] + d.delimiter + c[pos:].lstrip(" ")
        return "damaged", d.delimiter.join(out), None
    if name == "changed_delimiter":
        other = ";" if d.char != ";" else ","
        return "damaged", other.join(d.field(x) for x in cells), None
    if name == "short_rows":
        if w < 2:
            return None
        k = rng.randint(1, min(2, w - 1))
        return "damaged", d.line(cells[: w - k]), None
    if name == "long_rows":
        extra = [rng.choice(["", "x", "see note", "N/A", "0"]) for _ in range(rng.randint(1, 2))]
        return "damaged", d.line(cells + extra), None
    raise ValueError(name)


# --- the corpus -----------------------------------------------------------

def ensure(out=OUT, count=COUNT, seed=SEED, force=False):
    """The corpus directory, made unless it holds this count, seed and format."""
    stamp = os.path.join(out, "corpus.json")
    want = {"count": count, "seed": seed, "format": FORMAT}
    if not force and os.path.exists(stamp):
        with open(stamp) as f:
            if json.load(f) == want:
                return out
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for i in range(count):
        data, truth = make_file(seed, i)
        base = os.path.join(out, f"{i:04d}")
        with open(base + ".csv", "wb") as f:
            f.write(data)
        with open(base + ".json", "w") as f:
            json.dump(truth, f, ensure_ascii=False)
    with open(stamp, "w") as f:
        json.dump(want, f)
    return out


def files(out=OUT):
    """[(csv path, truth)] of a made corpus, in order."""
    names = sorted(n for n in os.listdir(out) if n.endswith(".csv"))
    result = []
    for n in names:
        with open(os.path.join(out, n[:-4] + ".json")) as f:
            result.append((os.path.join(out, n), json.load(f)))
    return result


def timing_samples(count=200, seed=SEED, size=64 << 10):
    """`count` samples of `size` bytes: corpus files made long enough and cut
    at their last line end before `size`."""
    samples = []
    for i in range(count):
        data, truth = make_file(seed + 1, i, min_rows=1200)
        cut = data[:size]
        eol = truth["dialect"]["line_end"].encode(truth["encoding"] if truth["encoding"] != "utf-16" else "utf-16-le")
        end = cut.rfind(eol)
        samples.append((cut[: end + len(eol)] if end > 0 else cut, truth))
    return samples


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default=OUT)
    ap.add_argument("--count", type=int, default=COUNT)
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--force", action="store_true")
    args = ap.parse_args()
    print(ensure(args.out, args.count, args.seed, args.force))


if __name__ == "__main__":
    main()
