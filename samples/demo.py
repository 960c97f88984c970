"""Shows what corvel makes of a damaged CSV export."""

import os
import sys

import _corvel_backend as corvel


def main(path: str, out_dir: str) -> None:
    os.makedirs(out_dir, exist_ok=True)
    clean = os.path.join(out_dir, "clean.csv")
    quarantine = os.path.join(out_dir, "quarantine.csv")
    print(f"corvel {corvel.__version__}: salvaging {path} ({os.path.getsize(path)} bytes)")
    print("damage in this sample: byte-order mark, stray quotes, short and long rows,")
    print("a byte that is not UTF-8, LF / CRLF / CR line ends, an unclosed quote")
    print()

    # Strict about width: short rows go to quarantine instead of being padded.
    summary = corvel.salvage_file(path, clean, quarantine, fill_ragged_rows=False)
    print(summary)
    for name, target in (("clean file", clean), ("quarantine file", quarantine)):
        print(f"\n--- {name}: {target}")
        with open(target, encoding="utf-8") as f:
            sys.stdout.write(f.read())

    print("\n--- the same file row by row, short rows padded")
    with corvel.open(path) as reader:
        for row in reader:
            print(row)
        print(reader.summary.to_dict())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/broken.csv",
         sys.argv[2] if len(sys.argv) > 2 else "build/demo")
