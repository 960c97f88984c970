"""Shows what corvel makes of a damaged CSV export."""

import sys

import _corvel_backend as corvel


def main(path: str) -> None:
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-8", errors="replace")
    print(f"corvel {corvel.__version__}: {path} ({len(raw)} bytes)")
    print("damage in this sample: byte-order mark, stray quotes, short and long rows,")
    print("a byte that is not UTF-8, LF / CRLF / CR line ends, an unclosed quote")
    print(f"detected delimiter: {corvel.sniff(text)!r}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/broken.csv")
