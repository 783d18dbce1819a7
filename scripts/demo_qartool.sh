#!/usr/bin/env bash
# Packs copies of the bundled sample files into an archive with a password,
# lists it, unpacks it into an empty folder and shows that every file came
# back byte for byte.
# Usage: scripts/demo_qartool.sh BIN_DIR SCRATCH_DIR
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 BIN_DIR SCRATCH_DIR" >&2
  exit 2
fi
bin="$(cd "$1" && pwd)"
samples="$(cd "$(dirname "$0")/../samples/files" && pwd)"
mkdir -p "$2"
cd "$2"
rm -rf data out demo.qar
cp -R "$samples" data
# A fixed time stamp, so that the listing and the restored times are easy to check.
find data -type f -exec touch -d '2014-07-15 10:30:00 UTC' {} +
mkdir out

# Prints a command line, then runs it (qartool from BIN_DIR).
run() {
  echo "\$ $*"
  if [ "$1" = qartool ]; then
    shift
    "$bin/qartool" "$@"
  else
    "$@"
  fi
  echo
}

run qartool -p swordfish a demo.qar data
run qartool -p swordfish l demo.qar
# The archive's directory is flat: files from data/levels come back beside the others.
(cd out && run qartool -p swordfish x ../demo.qar)

echo "Comparing each extracted file and its time with the original:"
status=0
while IFS= read -r original; do
  name="$(basename "$original")"
  echo "\$ cmp $original out/$name"
  if cmp "$original" "out/$name" &&
     [ "$(stat -c %Y "$original")" = "$(stat -c %Y "out/$name")" ]; then
    echo "  identical, last written $(date -u -r "out/$name" '+%Y-%m-%d %H:%M:%S UTC')"
  else
    status=1
  fi
done < <(find data -type f | sort)
if [ "$status" -eq 0 ]; then
  echo "All files came back identical."
else
  echo "Some files differ." >&2
fi
exit "$status"
