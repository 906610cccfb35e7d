#!/usr/bin/env bash
# Runs the completion functions in bash against the built programs (first argument: their
# folder) and checks what they offer at typical points of a command line.
set -uo pipefail
bin=${1:?usage: completion_test.sh BIN_DIR}
here=$(cd "$(dirname "$0")" && pwd)
export PATH="$bin:$PATH"
# shellcheck source=vokelmng
source "$here/vokelmng"
failed=0

# offers "WORDS TYPED SO FAR" -> the sorted offer, one line
offers() {
  read -r -a COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  local function
  function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
  "$function"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {  # expect "TYPED" "OFFER"
  local got
  got=$(offers "$1")
  if [[ $got == "$2" ]]; then
    echo "PASS '$1'"
  else
    echo "FAIL '$1': offered '$got', expected '$2'"
    failed=1
  fi
}

expect "VoKel " "--cacert --cert --dport --dst --key --tls accept add del drop show source source-mac"
expect "VoKel add " "--cacert --cert --dport --dst --key --tls accept drop source source-mac"
expect "VoKel add accept source 192.168.0.1 s" "source-mac"
expect "VoKel add source " ""                       # an address: nothing to guess
expect "VoQuarantine add protocol " "tcp udp"
expect "VoQuarantine add protocol u" "udp"
expect "VoPv a" "add"
expect "VoPv add " ""                               # the router's address comes next
expect "VoPv add 172.16.0.1 " "--cacert --cert --dport --dst --key --tls pass sport user"
expect "VoPvroute show --tls --d" "--dport --dst"
for program in VoPc VoPvroute VoPv VoQuarantine; do
  offered=$(offers "$program ")
  [[ " $offered " == *" show "* && " $offered " == *" --dst "* ]] ||
    { echo "FAIL '$program ': '$offered'"; failed=1; }
done
expect "VoKelMng " "-RegServer -Service -UnregServer -t"
expect "VoKelMng -R" "-RegServer"
expect "VoKelMng -t " ""                            # a switch is the whole command line
expect "pvsim --listen 127.0.0.1:880 --t" "--table --times --tls-cert --tls-key"
expect "pvsim --delay " ""                          # a number
scratch=$(mktemp -d)
touch "$scratch/alice.pem" "$scratch/alice.key"
expect "VoKel show --tls --cert $scratch/alice.p" "$scratch/alice.pem"
expect "pvsim --tls-key $scratch/alice.k" "$scratch/alice.key"
rm -rf "$scratch"
exit $failed
