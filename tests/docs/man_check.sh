#!/usr/bin/env bash
# Checks the manual pages in man/ against the programs as built: each page
# holds every paragraph and every argument and option line of the program's
# --help word for word (blanks and line breaks aside), its SYNOPSIS the usage
# line, its title line the version the program prints, -h beside --help, and
# the sections a manual page is expected to have. Where man-db is installed,
# the page must also format without a warning (what lintian checks).
# Usage: man_check.sh MAN_DIR "EMULATOR" PROGRAM...
#   EMULATOR: the command that runs a cross-built program, or empty.
set -euo pipefail
man_dir=$1 emulator=$2
shift 2
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

# roff_text PAGE: the page's text without roff requests and escapes, as the
# pages in man/ use them: font macros give their arguments (.BR and the like
# without the blanks between them), every other request line is dropped.
roff_text() {
  awk '
    function args(line, joiner,   out, word, n) {
      out = ""; n = 0
      while (line != "") {
        sub(/^[ \t]+/, "", line)
        if (line == "") break
        if (substr(line, 1, 1) == "\"") {
          line = substr(line, 2)
          word = index(line, "\"") ? substr(line, 1, index(line, "\"") - 1) : line
          line = index(line, "\"") ? substr(line, index(line, "\"") + 1) : ""
        } else {
          word = line; sub(/[ \t].*/, "", word); sub(/^[^ \t]+/, "", line)
        }
        out = out (n++ ? joiner : "") word
      }
      return out
    }
    /^[.\x27]\\"/ { next }
    /^\.(B|I|SM|SH|SS)([ \t]|$)/ { sub(/^\.[A-Z]+/, ""); print args($0, " "); next }
    /^\.(BR|RB|IR|RI|BI|IB)([ \t]|$)/ { sub(/^\.[A-Z]+/, ""); print args($0, ""); next }
    /^\./ { next }
    { print }' "$1" |
    sed -e 's/\\f[BIRP]//g' -e 's/\\(aq/'"'"'/g' -e 's/\\e/\\/g' -e 's/\\-/-/g' -e 's/\\&//g'
}

# normalized: standard input with every run of blanks and newlines as one blank.
normalized() { tr -s ' \t\n' '   ' | sed -e 's/^ //' -e 's/ $//'; }

# section PAGE NAME: the text of section NAME of PAGE.
section() {
  awk -v want="$2" '
    /^\.SH/ { name = $0; sub(/^\.SH[ \t]+/, "", name); gsub(/"/, "", name); inside = (name == want); next }
    inside' "$1"
}

for program in "$@"; do
  name=$(basename "$program")
  page=$man_dir/$name.1
  [ -f "$page" ] || { fail "$name: no manual page $page"; continue; }
  # shellcheck disable=SC2086 # the emulator may be several words
  help=$($emulator "$program" --help) || { fail "$name --help exited with status $?"; continue; }
  # shellcheck disable=SC2086
  version=$($emulator "$program" --version | awk '{print $NF}')
  text=$(roff_text "$page" | normalized)
  [[ "$text" == *"-h, --help print this text and exit"* ]] || fail "$page: -h is not named beside --help"

  # .TH NAME 1 DATE SOURCE: the source names this version.
  th=$(grep -m 1 '^\.TH ' "$page" || true)
  upper=$(tr '[:lower:]' '[:upper:]' <<<"$name")
  [[ "$th" == ".TH $upper 1 "*"\"Parallel labs $version\""* ]] ||
    fail "$page: the title line '$th' does not read .TH $upper 1 \"\" \"Parallel labs $version\""
  for want in NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -qE "^\.SH \"?$want\"?$" "$page" || fail "$page: no section $want"
  done
  grep -qE "^$name \\\\- " <(section "$page" NAME) || fail "$page: NAME does not read '$name \\- ...'"

  usage=$(head -n 1 <<<"$help" | sed 's/^usage: //' | normalized)
  synopsis=$(roff_text <(section "$page" SYNOPSIS) | normalized)
  [[ " $synopsis " == *" $usage "* ]] || fail "$page: SYNOPSIS '$synopsis' does not hold the usage '$usage'"

  # The paragraphs after the usage line; in an indented paragraph each line
  # that starts two blanks in begins an item (argument or option and its
  # text), the lines indented further continue it.
  pieces=$(tail -n +2 <<<"$help" | awk '
    function flush() { if (piece != "") print piece; piece = "" }
    /^$/ { flush(); next }
    /^  [^ ]/ { flush(); piece = $0; next }
    /^   / { piece = piece " " $0; next }
    { piece = (piece == "" ? $0 : piece " " $0) }
    END { flush() }')
  while IFS= read -r piece; do
    piece=$(normalized <<<"$piece")
    [[ "$text" == *"$piece"* ]] || fail "$page lacks this text of '$name --help': $piece"
  done <<<"$pieces"

  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
      fail "$page: man could not format it: $warnings"
    [ -z "$warnings" ] || fail "$page: man warns: $warnings"
  fi
done
[ "$status" -ne 0 ] || echo "manual pages of $# programs hold their --help text and version"
exit "$status"
