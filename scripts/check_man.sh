#!/usr/bin/env bash
# Checks the man pages in man/: groff and man render each without a warning, and each has the
# sections an operator looks for. Prints PASS/FAIL per page and a closing count; exit status 1
# when any page fails.
set -uo pipefail
cd "$(dirname "$0")/.."
pages=(man/VoKelMng.8 man/VoPv.1 man/VoPvroute.1 man/VoPc.1 man/VoQuarantine.1 man/VoKel.1
       man/pvsim.1 man/vokelmng.ini.5)
passed=0
failed=0
for page in "${pages[@]}"; do
  problems=()
  if [ ! -f "$page" ]; then
    problems+=("missing")
  else
    out=$(groff -man -ww -z "$page" 2>&1) || problems+=("groff failed")
    [ -z "$out" ] || problems+=("groff: $out")
    out=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || problems+=("man failed")
    [ -z "$out" ] || problems+=("man: $out")
    for section in NAME SYNOPSIS DESCRIPTION FILES '"EXIT STATUS"' EXAMPLES '"SEE ALSO"'; do
      grep -q "^\.SH $section\$" "$page" || problems+=("no section $section")
    done
  fi
  if [ ${#problems[@]} -eq 0 ]; then
    echo "PASS $page"
    passed=$((passed + 1))
  else
    echo "FAIL $page: ${problems[*]}"
    failed=$((failed + 1))
  fi
done
echo "check_man: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
