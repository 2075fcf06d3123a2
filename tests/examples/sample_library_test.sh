#!/bin/sh
# The shipped sample library is exactly what its generator makes, and the store reads it back.
#   sample_library_test.sh MAKE_SAMPLE_LIBRARY OAKENMERE SHIPPED_SAMPLE
set -eu
make=$1 oakenmere=$2 shipped=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$make" "$scratch/Coastline.oakenmere" > /dev/null
for file in Info.plist Summary.json Summary.jpg; do
  cmp -s "$scratch/Coastline.oakenmere/$file" "$shipped/$file" || { echo "FAILED: $file differs from what the generator makes" >&2; exit 1; }
done
"$oakenmere" preview --json "$shipped" | grep -q '"name": "Coastline"' || { echo "FAILED: the sample does not read back" >&2; exit 1; }
# Written by a bare version, as the program writes its own libraries.
"$oakenmere" info --json "$shipped" | grep -Eq '"formatWrittenBy": "[0-9]+\.[0-9]+\.[0-9]+"' || { echo "FAILED: the sample's writer is not a version" >&2; exit 1; }
echo "sample library: generator and shipped copy agree"
