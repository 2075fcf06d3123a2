#!/bin/sh
# The desktop side of the preview, with real tools: the file-manager action renders the page
# into the user's cache and hands it to xdg-open, and the folder icon is kept in GIO's metadata
# store (in a private D-Bus session) without anything in the package changing.
#   desktop_test.sh OAKENMERE_BINARY DESKTOP_FOLDER SAMPLE_LIBRARY
set -eu
oakenmere=$1 desktop=$2 sample=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

export HOME="$scratch/home" XDG_CACHE_HOME="$scratch/cache" XDG_DATA_HOME="$scratch/data"
mkdir -p "$HOME" "$scratch/bin"
ln -s "$(cd "$(dirname "$oakenmere")" && pwd)/oakenmere" "$scratch/bin/oakenmere"
# xdg-open only records what it was asked to open.
printf '#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s/opened"\n' "$scratch" > "$scratch/bin/xdg-open"
chmod +x "$scratch/bin/xdg-open"
export PATH="$scratch/bin:$PATH"
cp -R "$sample" "$scratch/Coast line.oakenmere"
library="$scratch/Coast line.oakenmere"
fingerprint() { (cd "$library" && find . -exec ls -ld --time-style=full-iso {} + | sort && find . -type f -exec sha256sum {} + | sort); }
before=$(fingerprint)

# The action, as a file manager runs it.
"$desktop/oakenmere-preview-open" "$library"
# xdg-open is started in the background: wait for what it recorded, for ten seconds at most.
for _ in $(seq 100); do [ -s "$scratch/opened" ] && break; sleep 0.1; done
page=$(cat "$scratch/opened")
case "$page" in "$XDG_CACHE_HOME/oakenmere/previews/"*.html) ;; *) fail "opened $page" ;; esac
grep -q 'id="preview.libraryName"' "$page" || fail "the page has no library name"
grep -q 'data:image/jpeg;base64,' "$page" || fail "the page has no contact sheet"

# A folder that is not a library: a one-line reason, non-zero exit, nothing opened.
rm -f "$scratch/opened"
mkdir "$scratch/Holiday"
if "$desktop/oakenmere-preview-open" "$scratch/Holiday" 2> "$scratch/error"; then fail "a plain folder was previewed"; fi
grep -q 'This folder is not a library Oakenmere can open.' "$scratch/error" || fail "unexpected message: $(cat "$scratch/error")"
[ ! -e "$scratch/opened" ] || fail "xdg-open was called for a plain folder"

# The folder icon.
dbus-run-session -- sh -c '
  "$1" icon "$2" >/dev/null || exit 1
  gio info -a metadata::custom-icon "$2" | grep -q "metadata::custom-icon: file://$XDG_CACHE_HOME/oakenmere/icons/" || exit 2
' sh "$oakenmere" "$library" || fail "the folder icon was not set ($?)"
[ "$(fingerprint)" = "$before" ] || fail "the package changed"
echo "desktop: 3 checks passed"
