#!/bin/sh
# The shipped sample photos are exactly what their generator makes: the same files, byte for byte.
#   sample_photos_test.sh MAKE_SAMPLE_PHOTOS SHIPPED_FOLDER
set -eu
make=$1 shipped=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$make" "$scratch/Sample Photos" > /dev/null
diff -r "$scratch/Sample Photos" "$shipped" >&2 || { echo "FAILED: the shipped sample photos differ from what the generator makes" >&2; exit 1; }
# A folder that is there already is never written into.
if "$make" "$scratch/Sample Photos" 2> /dev/null; then echo "FAILED: the generator wrote into an existing folder" >&2; exit 1; fi
echo "sample photos: generator and shipped copy agree"
