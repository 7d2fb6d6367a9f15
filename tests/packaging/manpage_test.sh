#!/usr/bin/env bash
# The manual page of updater quotes the program's usage text (under USAGE TEXT)
# and its samples (under EXAMPLES): rendered, they must read exactly as the
# program prints them. Also: the page formats without warnings.
#
# manpage_test.sh UPDATER_PROGRAM PAGE.1 [OTHER_PAGE.1 ...]
set -euo pipefail
updater=$1
page=$2
shift 2

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for p in "$page" "$@"; do
  warnings=$(groff -man -ww -z "$p" 2>&1) || fail "$p does not format"
  [[ -z $warnings ]] || fail "$p: $warnings"
done

# What the program prints (usage on standard error), and the page as a reader
# sees it, without the page's indentation. Trailing blanks are dropped on both
# sides: a page cannot show them.
printed=$("$updater" -X 1 -h 2>&1 >/dev/null | sed -e 's/[[:space:]]*$//')
rendered=$(groff -man -Tutf8 -P-cbou "$page" | sed -e 's/^       //' -e 's/[[:space:]]*$//')

usage=$(sed -n '/^ Sample usage:$/q;p' <<<"$printed")
samples=$(sed -n '/^ Sample usage:$/,$p' <<<"$printed")
[[ $(wc -l <<<"$usage") -gt 80 && $(wc -l <<<"$samples") -gt 30 ]] ||
  fail "unexpected usage text from $updater -X 1 -h"

check_block() {
  local name=$1 block=$2 section=$3
  if [[ $rendered != *"$block"* ]]; then
    fail "the page's $section does not quote the program's $name text"
    diff <(echo "$block") <(sed -n "/^$section\$/,/^SEE ALSO\$/p" <<<"$rendered") >&2 || true
  fi
}
check_block usage "$usage" "USAGE TEXT"
check_block samples "$samples" "EXAMPLES"

if ((failures > 0)); then
  exit 1
fi
echo "manual pages pass"
