# Sourced by the check scripts: `check NAME COMMAND...` runs the command and prints PASS or FAIL
# (with the command's output indented) under NAME, counting both in $passed and $failed.
passed=0
failed=0
check() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    [ -z "$out" ] || sed 's/^/    /' <<<"$out"
    failed=$((failed + 1))
  fi
}
