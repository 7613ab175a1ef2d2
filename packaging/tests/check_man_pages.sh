#!/usr/bin/env bash
# Renders the man pages with every groff warning on and through man(1), and
# fails on any warning; checks that their NAME sections parse for whatis, and
# that every option the programs' own usage texts show is documented.
#
#   check_man_pages.sh REPORT_SERVER_BINARY REPORT_SEND_BINARY
set -euo pipefail

report_server=$1
report_send=$2
pages=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/report-man.XXXXXX)
trap 'rm -rf "$work"' EXIT

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

for page in "$pages/report_server.8" "$pages/report_send.1"; do
  name=$(basename "$page")
  if ! groff -man -ww -z "$page" 2>"$work/groff.err" || [ -s "$work/groff.err" ]; then
    fail "$name: groff warnings:"; cat "$work/groff.err" >&2
  fi
  if ! LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$work/$name.txt" 2>"$work/man.err" ||
     [ -s "$work/man.err" ]; then
    fail "$name: man warnings:"; cat "$work/man.err" >&2
  fi
  # whatis and apropos read "NAME - description" from the NAME section.
  whatis_line=$(lexgrog "$page" 2>&1) || fail "$name: NAME section does not parse: $whatis_line"
  program=${name%.*}
  case $whatis_line in
    *"\"$program - "*) ;;
    *) fail "$name: NAME section gives '$whatis_line'" ;;
  esac
done

# Options in the usage texts: "-l NAME, --logdir=NAME", "-H host", ...
options_of() { grep -oE '(^|[[:space:],[])--?[a-zA-Z][a-zA-Z-]*' | sed 's/^[^-]*//' | sort -u; }
# report_server prints its usage to standard error, each line stamped.
"$report_server" --help 2>&1 >/dev/null | options_of >"$work/report_server.options"
"$report_send" --help | options_of >"$work/report_send.options"
for program in report_server report_send; do
  [ -s "$work/$program.options" ] || fail "$program: no options found in its usage text"
  rendered=$(ls "$work/$program".[0-9].txt)
  while IFS= read -r option; do
    # Rendered pages hyphenate with U+2010 only inside words; options keep
    # the ASCII hyphen-minus because the source writes them as \-.
    grep -qE -- "(^|[^[:alnum:]-])$option([^[:alnum:]-]|\$)" "$rendered" ||
      fail "$program: option $option of the usage text is not in the man page"
  done <"$work/$program.options"
done

[ "$failed" = 0 ] && echo "man pages: ok"
exit "$failed"
