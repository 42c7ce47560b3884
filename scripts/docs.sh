#!/usr/bin/env bash
# Builds the API reference (docs/, from the docstrings of the _nimbra stubs
# and the nimbra package) with warnings as errors into build/site, and runs
# every python block of README.md and of the pages as written. Installs its
# own tools, and the extension when it is not installed yet.
set -euo pipefail
cd "$(dirname "$0")/.."

# Pinned: a new release of the tools may add warnings, which fail the build.
python3 -m pip install -q "mkdocs==1.6.1" "mkdocstrings==1.0.8" "mkdocstrings-python==2.0.11" \
  "griffelib==2.4.1" numpy "torch==2.13.0"
python3 -c "import _nimbra" 2>/dev/null || python3 -m pip install -q .

python3 scripts/markdown_examples.py README.md docs/src/*.md
python3 -m mkdocs build --strict --quiet -f docs/mkdocs.yml
echo "API reference: build/site/index.html"
