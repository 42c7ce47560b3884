"""Runs every ```python block of the given Markdown files as written, each in
a fresh interpreter, and fails when one raises.

    python3 scripts/markdown_examples.py README.md docs/src/*.md
"""

import pathlib
import re
import subprocess
import sys

BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)

blocks = []
for name in sys.argv[1:]:
    text = pathlib.Path(name).read_text()
    blocks += [(f"{name}:{text.count(chr(10), 0, m.start()) + 2}", m.group(1)) for m in BLOCK.finditer(text)]
if not blocks:
    sys.exit("no python blocks found")
failed = 0
for where, code in blocks:
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        failed += 1
        print(f"{where}: the block fails\n{run.stdout}{run.stderr}", file=sys.stderr)
print(f"{len(blocks) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
