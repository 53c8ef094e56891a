"""Writes the README's fenced ```python blocks into a folder, one file each.

usage: readme_examples.py README OUTDIR

Prints the paths written. A README without a single python block is an
error, so a type check over the examples cannot pass by having nothing to
check.
"""

import re
import sys
from pathlib import Path

# A fence of three or more backticks with the info string "python" (or
# "py"), up to the next fence of the same length; the block may be indented
# as a whole (inside a list item), and that indentation is removed.
FENCE = re.compile(
    r"^(?P<indent>[ \t]*)(?P<fence>`{3,})[ \t]*(?:python|py)[ \t]*\n"
    r"(?P<body>.*?)"
    r"^(?P=indent)(?P=fence)[ \t]*$",
    re.MULTILINE | re.DOTALL,
)


def blocks(text: str) -> list[tuple[int, str]]:
    """The python blocks of `text` with the line number of their first line."""
    found = []
    for match in FENCE.finditer(text):
        indent = match["indent"]
        lines = [line[len(indent):] if line.startswith(indent) else line
                 for line in match["body"].splitlines()]
        first_line = text.count("\n", 0, match.start("body")) + 1
        found.append((first_line, "\n".join(lines) + "\n"))
    return found


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: readme_examples.py README OUTDIR", file=sys.stderr)
        return 2
    readme, outdir = Path(sys.argv[1]), Path(sys.argv[2])
    found = blocks(readme.read_text(encoding="utf-8"))
    if not found:
        print(f"{readme}: no ```python block to check", file=sys.stderr)
        return 1
    outdir.mkdir(parents=True, exist_ok=True)
    for first_line, code in found:
        # The file name carries the README line, so a mypy finding points at
        # its block.
        path = outdir / f"readme_line_{first_line}.py"
        path.write_text(code, encoding="utf-8")
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
