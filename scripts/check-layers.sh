#!/usr/bin/env bash
# Checks that dependencies between the library folders point down only.
#   scripts/check-layers.sh SOURCE_DIR [LINKS_FILE]
# - Every #include "a/b.h" in a source file of a folder below must name a
#   header of the same folder or of a folder that folder may use (the table).
# - With LINKS_FILE (written by the top CMakeLists.txt at configure time: one
#   line "folder<TAB>target<TAB>linked;targets" per target), every project
#   target a target links must come from a folder it may use.
# - Every folder that holds sources, apart from tests/, bench/ and build
#   trees, must be in the table, so a new folder is placed on purpose.
# Prints one line per fault (file:line: ...) and fails when there is any.
# Registered with CTest as layers_check (label unit); CONTRIBUTING.md explains
# the layers.
set -euo pipefail
src="${1:?usage: check-layers.sh SOURCE_DIR [LINKS_FILE]}"
links="${2:-}"
cd "$src"

# The layers from the bottom up: a folder, then the folders it may include
# and link besides itself. Keep it in step with CONTRIBUTING.md.
layers='
rtl
platform/sha2
platform/crypt32
platform/sspi   platform/crypt32
base            rtl
transport       base rtl
tls             transport base platform/sspi platform/crypt32 platform/sha2 rtl
tcp             tls transport base rtl
jwt             tls base rtl
http2/core      base rtl
http2/client    http2/core jwt tcp tls transport base platform/sspi platform/crypt32 platform/sha2 rtl
apns            http2/client http2/core jwt tcp tls transport base platform/sspi platform/crypt32 platform/sha2 rtl
app             apns http2/client http2/core jwt tcp tls transport base platform/sspi platform/crypt32 platform/sha2 rtl
tools           apns http2/client http2/core jwt tcp tls transport base platform/sspi platform/crypt32 platform/sha2 rtl
'

sources=$(find . \( -path ./tests -o -path ./bench -o -path './build*' -o -path ./.git \) -prune -o \
  -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.cc' -o -name '*.c' \) -print |
  sed 's#^\./##' | sort)

{
  printf '%s\n' "$layers" | sed '/^$/d; s/^/L /'
  # The includes by project path; a plain "name.h" is the file's own folder
  # or a generated header and cannot point up.
  # shellcheck disable=SC2086
  grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/[^"]*"' $sources /dev/null |
    sed -E 's/^([^:]*):([0-9]+):.*"([^"]*)".*/I \1 \2 \3/'
  printf '%s\n' "$sources" | sed 's/^/F /'
  if [ -n "$links" ]; then
    [ -f "$links" ] || { echo "$links: no such file (configure the build first)"; exit 1; }
    sed 's/^/K /' "$links"
  fi
} | awk -v links_file="$links" '
  # The layer of a path: the longest table folder that is a prefix of it.
  function layer(path,   best, f) {
    best = ""
    for (f in allowed) if (index(path, f "/") == 1 && length(f) > length(best)) best = f
    return best
  }
  function may_use(from, to) { return from == to || index(" " allowed[from] " ", " " to " ") > 0 }
  # "dir/CMakeLists.txt:line" of the target_link_libraries call of aTarget that
  # names aLinked, or the file alone when it is not found there.
  function where(dir, aTarget, aLinked,   file, line, no, inside, found) {
    file = dir "/CMakeLists.txt"; no = 0; inside = 0; found = ""
    while (found == "" && (getline line < file) > 0) {
      no++
      if (line ~ ("target_link_libraries\\([ \t]*" aTarget "([ \t)]|$)")) inside = 1
      if (inside && (" " line " ") ~ ("[ \t(]" aLinked "[ \t)]")) found = file ":" no
      if (inside && line ~ /\)/) inside = 0
    }
    close(file)
    return found == "" ? file : found
  }
  $1 == "L" { f = $2; $1 = ""; $2 = ""; allowed[f] = $0; gsub(/^ +| +$/, "", allowed[f]); next }
  $1 == "I" {
    from = layer($2); to = layer($4)
    if (from == "") next  # reported below with the folder
    if (to == "" && $4 !~ /^(tests|bench)\//) next  # a system or generated header
    if (to == "" || !may_use(from, to)) {
      printf "%s:%s: includes \"%s\" (%s), which %s may not use\n", $2, $3, $4,
             to == "" ? "not a library folder" : "layer " to, from
      bad++
    }
    next
  }
  $1 == "F" {
    if (layer($2) == "") {
      d = $2; sub(/\/[^\/]*$/, "", d)
      if (!(d in unplaced)) { printf "%s: folder %s is in no layer of scripts/check-layers.sh\n", $2, d; bad++ }
      unplaced[d] = 1
    }
    next
  }
  $1 == "K" {
    split($0, part, "\t"); dir = part[1]; sub(/^K /, "", dir)
    n++; kdir[n] = dir; ktarget[n] = part[2]; klinks[n] = part[3]
    folder_of[part[2]] = dir
    next
  }
  END {
    for (i = 1; i <= n; i++) {
      from = layer(kdir[i] "/")
      if (from == "") continue  # tests, bench, dist
      m = split(klinks[i], linked, ";")
      for (j = 1; j <= m; j++) {
        t = linked[j]; gsub(/^\$<LINK_ONLY:|>$/, "", t)
        if (!(t in folder_of) || folder_of[t] == "") continue  # foreign, or the version header
        to = layer(folder_of[t] "/")
        if (to == "") {
          printf "%s: %s links %s of %s, which is not a library folder\n", where(kdir[i], ktarget[i], t), ktarget[i], t, folder_of[t]
          bad++
        } else if (!may_use(from, to)) {
          printf "%s: %s links %s (layer %s), which %s may not use\n", where(kdir[i], ktarget[i], t), ktarget[i], t, to, from
          bad++
        }
      }
    }
    if (bad) { printf "%d layer fault(s); see CONTRIBUTING.md, Folders and layers\n", bad; exit 1 }
    printf "layers: includes%s point down\n", links_file == "" ? "" : " and links"
  }'
