"""Scores every loader on the labelled detection corpus (bench/detect/corpus.py).

Each file is loaded by each loader (bench/detect/loaders.py) and compared with
its truth. A loader that raises on a file scores zero on it (no records, no
header, a wrong dialect) and the failure is counted.

Records. A truth row is acceptable as its clean record, or, for a row that a
row pollution damaged, as one of its `alternatives` (what a salvager that knows
the true dialect makes of the damaged text: short rows padded at the end, the
surplus of long rows joined into the last cell). Records are matched as
multisets, order ignored: the loaded rows are counted by their exact cells
(list of strings, same length, same text); each truth row without
alternatives then takes one loaded row equal to it if any is left, and after
that each damaged row takes one loaded row equal to its clean record or, failing
that, to its first alternative still left. (Greedy, clean rows first; it is
optimal unless an alternative equals another row's record.) Rows a loader took
as header are not records.

    record precision = matched / loaded rows, recall = matched / truth rows,
    record F1 of a file = 2PR / (P + R) (0 when nothing matched).

Cells. Whole matches count all their cells. Each loaded row left unmatched is
then paired, in file order, with the unmatched truth row that shares the most
cells with it (the same text at the same column index, compared with the
clean record and every alternative, the best counting), ties going to the
earliest truth row, each truth row paired at most once; a row sharing no cell
stays unpaired.

    cell precision = shared cells / cells loaded, recall = shared cells /
    cells of the truth records, cell F1 of a file as above.

Record F1 and cell F1 of a group of files are the means of the files' F1
(a failed file counts 0).

Header. A loader "finds a header" when it returns one or more header rows; the
header is right when those rows equal the truth's header rows exactly (all
rows of a 2- or 3-row header, every cell).

    header precision = right headers / headers found,
    header recall = right headers / files whose truth has a header.

Dialect. Right when the delimiter is the true one, and so are the quote, the
escape character and skip_initial_space, as far as the file shows them:
- the quote is right when it is the true one; when no field of the file is
  quoted (truth `quote_used`), also when it is None, or a character that never
  occurs in the text;
- the escape is right when it is the true one or the text holds no backslash;
- skip_initial_space is right when it is the true one; it is only shown by
  ", " files (elsewhere no field starts with a blank), so elsewhere any answer
  is right.
Loaders that can't say their dialect show "n/a".

Families. A file counts in the family of each of its pollutions (one or two),
and in "overall".

Timing. Loaders with a detect step run it on 64 KiB samples (longer corpus
files cut at a line end) once per sample, best of --repeat runs, in this
process; the median and 99th percentile per sample are reported.

    python bench/detect/score.py [--loaders a,b] [--limit N] [--write] [--show LOADER]
"""

import argparse
import collections
import os
import re
import statistics
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402
import loaders  # noqa: E402

RESULTS = os.path.normpath(os.path.join(HERE, "..", "RESULTS.md"))
BEGIN, END = "<!-- detect/score.py --write: begin -->", "<!-- detect/score.py --write: end -->"
FAMILY_ORDER = ["dialect", "table", "row", "encoding", "overall"]


def f1(tp, n_pred, n_true):
    if tp == 0:
        return 0.0
    p, r = tp / n_pred, tp / n_true
    return 2 * p * r / (p + r)


def match_records(loaded, records, alternatives):
    """(matched count, unmatched loaded indices, unmatched truth indices).
    `alternatives` maps a truth row index to its other acceptable records."""
    left = collections.Counter(map(tuple, loaded))
    taken = [False] * len(records)
    order = [i for i in range(len(records)) if i not in alternatives] + sorted(alternatives)
    matched_rows = collections.Counter()
    for i in order:
        for option in [records[i]] + alternatives.get(i, []):
            key = tuple(option)
            if left[key] > 0:
                left[key] -= 1
                matched_rows[key] += 1
                taken[i] = True
                break
    loose_loaded = []
    for j, row in enumerate(loaded):
        key = tuple(row)
        if matched_rows[key] > 0:
            matched_rows[key] -= 1
        else:
            loose_loaded.append(j)
    return sum(taken), loose_loaded, [i for i, t in enumerate(taken) if not t]


def shared_cells(a, b):
    return sum(1 for x, y in zip(a, b) if x == y)


def pair_cells(loaded, records, alternatives, loose_loaded, loose_truth):
    """The cells shared by the greedy pairs of unmatched rows (see above)."""
    index = collections.defaultdict(set)  # (column, text) -> truth rows holding it
    for i in loose_truth:
        for option in [records[i]] + alternatives.get(i, []):
            for col, text in enumerate(option):
                index[(col, text)].add(i)
    free = set(loose_truth)
    total = 0
    for j in loose_loaded:
        row = loaded[j]
        candidates = set()
        for col, text in enumerate(row):
            candidates |= index.get((col, text), set()) & free
        best, best_i = 0, None
        for i in sorted(candidates):
            s = max(shared_cells(row, option) for option in [records[i]] + alternatives.get(i, []))
            if s > best:
                best, best_i = s, i
        if best_i is not None:
            free.discard(best_i)
            total += best
    return total


def score_file(load, truth, text):
    """The scores of one file: `load` is a Load, or None when the loader failed;
    `text` is the file decoded with its true encoding."""
    records = truth["records"]
    alternatives = {int(k): v for k, v in truth["alternatives"].items()}
    true_cells = sum(map(len, records))
    has_header = bool(truth["header"])
    if load is None:
        return {"failed": 1, "record_f1": 0.0, "cell_f1": 0.0, "dialect": False, "header_found": 0,
                "header_right": 0, "has_header": has_header}
    loaded = [list(r) for r in load.records]
    matched, loose_loaded, loose_truth = match_records(loaded, records, alternatives)
    unmatched = set(loose_truth)
    cells_tp = sum(len(r) for i, r in enumerate(records) if i not in unmatched)
    # a damaged row matched by an alternative still counts its own width
    cells_tp += pair_cells(loaded, records, alternatives, loose_loaded, loose_truth)
    header_found = bool(load.header)
    return {
        "failed": 0,
        "record_f1": f1(matched, len(loaded), len(records)),
        "cell_f1": f1(cells_tp, sum(map(len, loaded)), true_cells),
        "dialect": None if load.dialect is None else dialect_right(load.dialect, truth["dialect"], text),
        "header_found": int(header_found),
        "header_right": int(header_found and [list(h) for h in load.header] == truth["header"]),
        "has_header": has_header,
    }


def dialect_right(got, true, text):
    if got["delimiter"] != true["delimiter"]:
        return False
    q, tq = got["quote_char"], true["quote_char"]
    if q != tq and (true["quote_used"] or (q is not None and q in text)):
        return False
    if got["escape_char"] != true["escape_char"] and "\\" in text:
        return False
    if got["skip_initial_space"] != true["skip_initial_space"] and true["skip_initial_space"]:
        return False
    return True


def true_text(path, truth):
    with open(path, "rb") as f:
        return f.read().decode(truth["encoding"])


# --- aggregation ------------------------------------------------------------

def aggregate(scores):
    """{metric: value} over a list of file scores."""
    n = len(scores)
    found = sum(s["header_found"] for s in scores)
    right = sum(s["header_right"] for s in scores)
    with_header = sum(s["has_header"] for s in scores)
    dialects = [s["dialect"] for s in scores if s["dialect"] is not None or s["failed"]]
    return {
        "files": n,
        "record_f1": sum(s["record_f1"] for s in scores) / n,
        "cell_f1": sum(s["cell_f1"] for s in scores) / n,
        "dialect": (sum(1 for d in dialects if d) / n) if len(dialects) == n else None,
        "header_p": right / found if found else None,
        "header_r": right / with_header if with_header else None,
        "failed": sum(s["failed"] for s in scores),
    }


def by_family(files, scores):
    groups = collections.defaultdict(list)
    for (_, truth), s in zip(files, scores):
        for fam in truth["families"]:
            groups[fam].append(s)
        groups["overall"].append(s)
    return {fam: aggregate(groups[fam]) for fam in FAMILY_ORDER if groups[fam]}


def by_pollution(files, scores):
    groups = collections.defaultdict(list)
    for (_, truth), s in zip(files, scores):
        for p in truth["pollutions"]:
            groups[p].append(s)
    return {p: aggregate(groups[p]) for p in sorted(groups)}


# --- running ------------------------------------------------------------------

def run_loader(load, files, texts, errors):
    scores = []
    for (path, truth), text in zip(files, texts):
        try:
            result = load(path)
        except Exception as e:  # noqa: BLE001  (any failure scores zero)
            first = (str(e).splitlines() or [""])[0].replace(path, "FILE")
            first = re.sub(r"0x[0-9a-f]{2}|(?<![\w-])\d+", "N", first)  # one entry per kind of error
            errors[f"{type(e).__name__}: {first[:100]}"] += 1
            result = None
        scores.append(score_file(result, truth, text))
    return scores


def time_detect(detect, samples, repeat, takes_path, tmpdir):
    times = []
    paths = []
    if takes_path:
        for i, (data, _) in enumerate(samples):
            p = os.path.join(tmpdir, f"{i:04d}.csv")
            with open(p, "wb") as f:
                f.write(data)
            paths.append(p)
    for i, (data, _) in enumerate(samples):
        arg = paths[i] if takes_path else data
        best = None
        for _ in range(repeat):
            t = time.perf_counter()
            try:
                detect(arg)
            except Exception:  # noqa: BLE001  (timed all the same)
                pass
            dt = time.perf_counter() - t
            best = dt if best is None else min(best, dt)
        times.append(best)
    times.sort()
    return statistics.median(times), times[min(len(times) - 1, int(0.99 * len(times)))]


# --- reporting ----------------------------------------------------------------

def fmt(v, kind):
    if v is None:
        return "n/a"
    if kind == "pct":
        return f"{100 * v:.1f}%"
    if kind == "int":
        return str(v)
    return f"{v:.3f}"


METRICS = [("record_f1", "Record F1", "f"), ("cell_f1", "Cell F1", "f"), ("dialect", "Dialect accuracy", "pct"),
           ("header_p", "Header precision", "f"), ("header_r", "Header recall", "f"), ("failed", "Files failed", "int")]


def report(results, pollutions, errors, timing, n_files, missing, seed):
    out = []
    names = list(results)
    fams = [f for f in FAMILY_ORDER if f in next(iter(results.values()))]
    counts = next(iter(results.values()))
    out.append(f"{n_files} files (seed {seed}); files per family: "
               + ", ".join(f"{f} {counts[f]['files']}" for f in fams) + ".\n")
    for key, title, kind in METRICS:
        out.append(f"**{title}**\n")
        out.append("| loader | " + " | ".join(fams) + " |")
        out.append("|---|" + "---:|" * len(fams))
        for n in names:
            out.append(f"| {n} | " + " | ".join(fmt(results[n][f][key], kind) for f in fams) + " |")
        out.append("")
    out.append("**Record F1 by pollution**\n")
    out.append("| pollution | files | " + " | ".join(names) + " |")
    out.append("|---|---:|" + "---:|" * len(names))
    for p in next(iter(pollutions.values())):
        row = [fmt(pollutions[n][p]["record_f1"], "f") for n in names]
        out.append(f"| {p} | {pollutions[names[0]][p]['files']} | " + " | ".join(row) + " |")
    out.append("")
    out.append("**Failures** (files on which the loader raised, by error)\n")
    for n in names:
        if errors[n]:
            parts = "; ".join(f"{c} × {e}" for e, c in errors[n].most_common(4))
            out.append(f"- {n}: {sum(errors[n].values())}: {parts}")
        else:
            out.append(f"- {n}: none")
    out.append("")
    if timing:
        out.append("**Detection time per 64 KiB sample** (best of the repeats, per sample)\n")
        out.append("| loader | detect step | median ms | p99 ms |")
        out.append("|---|---|---:|---:|")
        for n, (step, med, p99) in timing.items():
            out.append(f"| {n} | {step} | {1000 * med:.2f} | {1000 * p99:.2f} |")
        out.append("")
    if missing:
        out.append("Not importable here, left out: " + ", ".join(missing) + ".\n")
    return "\n".join(out)


DETECT_STEPS = {
    "csv.Sniffer": "sniff + has_header",
    "duckdb": "sniff_csv (from a file)",
    "clevercsv": "Detector.detect + has_header",
    "corvel backend": "sniff",
    "corvel auto": "corvel.detect",
    "corvel engine": "_core.detect (corvel.detect's native step)",
    "prototype": "detect",
}


def write_results(text):
    with open(RESULTS) as f:
        content = f.read()
    if BEGIN in content:
        head, rest = content.split(BEGIN, 1)
        tail = rest.split(END, 1)[1]
    else:
        head, tail = content.rstrip() + "\n\n## Detection corpus\n\n", "\n"
    with open(RESULTS, "w") as f:
        f.write(f"{head}{BEGIN}\n{text}\n{END}{tail}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", default=corpus.OUT)
    ap.add_argument("--count", type=int, default=corpus.COUNT)
    ap.add_argument("--seed", type=int, default=corpus.SEED, help="another seed gives a held-out corpus (use another --corpus)")
    ap.add_argument("--loaders", help="comma-separated names (default: all that import)")
    ap.add_argument("--limit", type=int, help="score only the first N files")
    ap.add_argument("--samples", type=int, default=200, help="64 KiB samples to time detection on (0: no timing)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--show", help="list this loader's files with record F1 < 1")
    ap.add_argument("--write", action="store_true", help=f"write the tables into {os.path.relpath(RESULTS)}")
    args = ap.parse_args()

    corpus.ensure(args.corpus, args.count, args.seed)
    files = corpus.files(args.corpus)[: args.limit]
    texts = [true_text(p, t) for p, t in files]
    avail = loaders.available()
    chosen = args.loaders.split(",") if args.loaders else list(avail)
    unknown = [n for n in chosen if n not in avail]
    if unknown:
        sys.exit(f"not available here: {', '.join(unknown)} (available: {', '.join(avail)})")

    results, pollutions, errors, timing = {}, {}, {}, {}
    for name in chosen:
        t = time.perf_counter()
        errors[name] = collections.Counter()
        scores = run_loader(avail[name][0], files, texts, errors[name])
        results[name] = by_family(files, scores)
        pollutions[name] = by_pollution(files, scores)
        print(f"  {name}: {time.perf_counter() - t:.1f} s, record F1 {results[name]['overall']['record_f1']:.3f}",
              file=sys.stderr)
        if args.show == name:
            for (path, truth), s in zip(files, scores):
                if s["record_f1"] < 1:
                    print(f"{os.path.basename(path)} F1 {s['record_f1']:.3f} dialect {s['dialect']} "
                          f"{' '.join(truth['pollutions'])}", file=sys.stderr)
    if args.samples:
        samples = corpus.timing_samples(args.samples)
        with tempfile.TemporaryDirectory() as tmp:
            for name in chosen:
                detect = avail[name][1]
                if detect is None:
                    continue
                med, p99 = time_detect(detect, samples, args.repeat, name in loaders.DETECT_TAKES_PATH, tmp)
                timing[name] = (DETECT_STEPS.get(name, "detect"), med, p99)
            for name, (detect, prepare, parent) in loaders.DETECT_ONLY.items():
                if parent in chosen:
                    prepared = [(prepare(data), t) for data, t in samples]
                    med, p99 = time_detect(detect, prepared, args.repeat, False, tmp)
                    timing[name] = (DETECT_STEPS[name], med, p99)
    text = report(results, pollutions, errors, timing, len(files), loaders.missing(), args.seed)
    print(text)
    if args.write:
        write_results(text)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        traceback.print_exc(limit=1)
        sys.exit(130)
