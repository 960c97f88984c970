"""Shows what corvel makes of a damaged CSV export."""

import json
import os
import subprocess
import sys

import corvel


def show(title: str, path: str) -> None:
    print(f"\n--- {title}: {path}")
    with open(path, encoding="utf-8") as f:
        sys.stdout.write(f.read())


def main(path: str, out_dir: str) -> None:
    os.makedirs(out_dir, exist_ok=True)
    clean = os.path.join(out_dir, "clean.csv")
    quarantine = os.path.join(out_dir, "quarantine.csv")
    audit = os.path.join(out_dir, "audit.jsonl")
    print(f"corvel {corvel.__version__}: salvaging {path} ({os.path.getsize(path)} bytes)")
    print("damage in this sample: byte-order mark, stray quotes, short and long rows,")
    print("a row in cp1252, LF / CRLF / CR line ends, an unclosed quote")

    # Strict about width: short rows go to the quarantine instead of being padded.
    report = corvel.salvage(path, clean, quarantine=quarantine, audit=audit, fill_ragged_rows=False)
    print()
    print(report)
    show("clean file, comma-separated whatever the input used", clean)
    show("quarantine: line, end line, byte offset, reason, raw text", quarantine)
    print(f"\n--- audit: every row changed, set aside or skipped: {audit}")
    with open(audit, encoding="utf-8") as f:
        for line in f:
            entry = json.loads(line)
            print(f"line {entry['line']}: {', '.join(entry['actions'])}: {entry['raw']!r}")

    # The same rescue from the shell, as a pipeline would run it.
    script = os.path.join(os.path.dirname(sys.executable), "corvel")
    corvel_cmd = [script] if os.path.exists(script) else [sys.executable, "-m", "corvel"]
    cli_clean = os.path.join(out_dir, "cli-clean.csv")
    cli_quarantine = os.path.join(out_dir, "cli-quarantine.csv")
    for title, args in [
        ("the command line: the same rescue, summary on stderr",
         ["salvage", path, "-o", cli_clean, "-q", cli_quarantine, "--no-fill-ragged-rows"]),
        ("the command line: check gates a pipeline (exit 1: rows would be repaired)", ["check", path]),
    ]:
        print(f"\n--- {title}\n$ corvel {' '.join(args)}", flush=True)
        done = subprocess.run([*corvel_cmd, *args], stderr=subprocess.STDOUT)
        print(f"exit status {done.returncode}")
    with open(clean, "rb") as a, open(cli_clean, "rb") as b:
        print("the command's clean file is the same as corvel.salvage's:", a.read() == b.read())

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/broken.csv",
         sys.argv[2] if len(sys.argv) > 2 else "build/demo")
