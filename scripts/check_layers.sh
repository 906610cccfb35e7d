#!/usr/bin/env bash
# Fails when a file includes a header of a folder above its own. Folders from the bottom:
# platform, common, the message-thread base, registry, transport, keepalive, acl, cluster
# (the etcd client), command, api, control, host (the program's main). The console programs
# stand on common; pvsim on the platform layer and common's TLS channel; test helpers (tests/support) on common. Test files may also include the
# test helpers, by bare name; benchmarks also the end-to-end harness of tests/e2e (the real
# programs, pvsim routers, the chaos site), by bare name. No include may climb with "..".
# Usage: scripts/check_layers.sh [ROOT]   (default: the repository)
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

order=(platform common service/base service/registry service/transport service/keepalive
       service/acl service/cluster service/command service/api service/control service/host)
declare -A rank
for i in "${!order[@]}"; do rank[${order[$i]}]=$i; done

# The folder an include path names ("service/acl/x.h" -> service/acl), or "" for a bare name.
folder_of() {
  case "$1" in
    service/*/*) echo "$1" | cut -d/ -f1-2 ;;
    */*) echo "${1%%/*}" ;;
    *) echo "" ;;
  esac
}

# May a file of folder $1 (test file: $2 = 1) include a header of folder $3?
allowed() {
  local own=$1 test=$2 target=$3
  case "$own" in
    clients) [[ $target == platform || $target == common || $target == clients ]]; return ;;
    tools/pvsim) [[ $target == platform || $4 == common/tls_channel.h ]]; return ;;
    tests/support) [[ $target == platform || $target == common ]]; return ;;
    tests/e2e | bench/*) [[ -n ${rank[$target]+x} || $target == clients ]]; return ;;
  esac
  [[ -n ${rank[$own]+x} && -n ${rank[$target]+x} ]] || return 1
  ((rank[$target] <= rank[$own]))
}

status=0
fail() {
  echo "layering: $1" >&2
  status=1
}

while IFS= read -r file; do
  dir=$(dirname "$file")
  own=${dir#src/}
  case "$own" in service/keepalive/icmplib) own=service/keepalive ;; esac
  case "$dir" in bench/*) own=bench/x ;; esac
  test=0
  [[ $file == *_test.cc || $file == *testutil* || $file == *test_util* || $dir == tests/* || $dir == bench/* ]] && test=1
  while IFS= read -r inc; do
    [[ -n $inc ]] || continue
    if [[ $inc == *..* ]]; then
      fail "$file includes \"$inc\": no climbing with .."
      continue
    fi
    target=$(folder_of "$inc")
    if [[ -z $target ]]; then
      [[ -f $dir/$inc ]] && continue
      if [[ $test == 1 && -f tests/support/$inc ]]; then continue; fi
      if [[ $dir == bench/* && -f tests/e2e/$inc ]]; then continue; fi
      fail "$file includes \"$inc\", which is neither beside it nor a test helper it may use"
      continue
    fi
    allowed "$own" "$test" "$target" "$inc" || fail "$file ($own) includes \"$inc\" of a higher or foreign folder ($target)"
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files --cached --others --exclude-standard -- src tools tests bench |
         grep -E '\.(cc|h)$')

if [[ $status == 0 ]]; then echo "layering: every include points down"; fi
exit $status
