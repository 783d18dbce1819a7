#!/usr/bin/env bash
# Packs copies of the bundled sample files into an archive with a password,
# lists it, unpacks it into an empty folder and shows that every file came
# back byte for byte.
# Usage: scripts/demo_qartool.sh BIN_DIR SCRATCH_DIR
set -euo pipefail
source "$(dirname "$0")/demo_common.sh"
samples="$(cd "$(dirname "$0")/../samples/files" && pwd)"
cd "$2"
rm -rf data out demo.qar
cp -R "$samples" data
# A fixed time stamp, so that the listing and the restored times are easy to check.
find data -type f -exec touch -d '2014-07-15 10:30:00 UTC' {} +
mkdir out


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
