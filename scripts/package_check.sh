#!/usr/bin/env bash
# Builds the Debian package and checks it as an operator would get it (run as root):
#   it builds in a fresh Debian 12 chroot that holds only build-essential and what
#   debian/control's Build-Depends name, as an unprivileged user; apt installs it there and a
#   user's interactive bash finds the completion of the console programs; lintian reports no error;
#   the packaged unit passes `systemd-analyze verify` and rates at most 2.0 in
#   `systemd-analyze security`; the unit and registration match what -Service
#   writes; the monitoring bundle passes promtool where it is installed; and the installed
#   programs, unpacked into a scratch root, run in a private network
#   as the unit runs them (an unprivileged user with only CAP_NET_RAW, umask 077, the packaged
#   profile files): the service starts, the command port answers, "service save" and "pv save"
#   write into the folders the unit lets it write, MODE=dll loads the installed ping library,
#   and SIGTERM stops it with status 0 within 5 s.
# Usage: scripts/package_check.sh [--no-build | --build-only]
#   --no-build: check build/package as it is; --build-only: the chroot's build and install alone
#   (.ci/run runs that part beside the last tests, and the rest with --no-build at the end).
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD
source scripts/check_lib.sh
finish() {
  echo "package_check: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

bash scripts/setup.sh --test >/dev/null
scratch=$(mktemp -d /tmp/vokelpkg.XXXXXX)
chroot_dir=""
cleanup() {
  # The chroot's mounts lived in namespaces that are gone; --one-file-system guards the rest.
  [ -z "$chroot_dir" ] || rm -rf --one-file-system "$chroot_dir"
  [ -n "${KEEP_SCRATCH:-}" ] || rm -rf "$scratch"
}
trap cleanup EXIT

# The package is built once, in a chroot made fresh for this run by mmdebstrap: variant buildd
# (the Essential packages, apt, build-essential), no recommends, this host's Debian apt sources
# (VOKEL_CHROOT_SOURCES overrides), the host's downloaded .deb files linked in to save
# downloads. apt-get build-dep reads the copied tree's debian/control and installs its
# Build-Depends; dpkg-buildpackage then runs as uid 1000 without root (Rules-Requires-Root: no).
# The .debs land in build/package, the build's log in build/package/chroot-build.log.
log_end() {  # log_end LOG: the first error lines (a failed configure dumps CMake's logs after
             # them), then the last lines, long lines cut
  echo "the first errors in $1:"
  grep -n -m 6 -A 2 -E 'CMake Error|error:|not found|^E: ' "$1" | cut -c1-240
  echo "the end of $1:"
  tail -n 15 "$1" | cut -c1-240
}
chroot_build() {
  local out=$top/build/package root=$chroot_dir/root log t0 t1 t2
  log=$out/chroot-build.log
  local sources=${VOKEL_CHROOT_SOURCES:-/etc/apt/sources.list.d/debian.sources}
  [ -f "$sources" ] || sources=/etc/apt/sources.list
  rm -rf "$out"
  mkdir -p "$out"
  tar --exclude=./build --exclude=./.git --exclude='./obj-*' -cf "$chroot_dir/src.tar" . ||
    return 1
  t0=$(date +%s)
  if ! SRC_TAR=$chroot_dir/src.tar DEBIAN_FRONTEND=noninteractive \
    timeout -k 10 600 unshare --mount --pid --fork --kill-child \
      mmdebstrap --mode=root --variant=buildd --format=directory \
        --aptopt='APT::Install-Recommends "false"' \
        --setup-hook='mkdir -p "$1/var/cache/apt/archives"
                      cp -al /var/cache/apt/archives/*.deb "$1/var/cache/apt/archives/" || true' \
        --customize-hook='echo "builder:x:1000:1000::/build:/bin/sh" >>"$1/etc/passwd"
                          echo "builder:x:1000:" >>"$1/etc/group"
                          mkdir -p "$1/build/vokelmng"
                          tar -xf "$SRC_TAR" -C "$1/build/vokelmng"
                          chroot "$1" chown -R builder:builder /build' \
        --customize-hook='chroot "$1" apt-get build-dep -y /build/vokelmng' \
        bookworm "$root" "$sources" >"$log" 2>&1; then
    echo "chroot creation failed after $(($(date +%s) - t0)) s"
    log_end "$log"
    return 1
  fi
  t1=$(date +%s)
  if ! timeout -k 10 900 unshare --pid --fork --kill-child --mount-proc="$root/proc" \
    chroot "$root" setpriv --reuid=1000 --regid=1000 --clear-groups \
      env -i HOME=/build PATH=/usr/bin:/bin LANG=C.UTF-8 \
      sh -c 'cd /build/vokelmng && exec dpkg-buildpackage -us -uc -b -j"$(nproc)"' \
      >>"$log" 2>&1; then
    echo "the build in the chroot failed after $(($(date +%s) - t1)) s (chroot made in $((t1 - t0)) s)"
    log_end "$log"
    return 1
  fi
  t2=$(date +%s)
  cp "$root"/build/*.deb "$out/" || return 1
  echo "chroot $((t1 - t0)) s, build $((t2 - t1)) s" >"$chroot_dir/times"
}
# The package installed with apt in that Debian 12 chroot (with bash-completion, which a desktop
# or server install has), and a user's interactive bash there (Debian's skeleton .bashrc) finds
# the console programs' completion. bash-completion loads a command's file on first use, as a
# Tab would; __load_completion is that step.
chroot_install() {
  local root=$chroot_dir/root log=$top/build/package/chroot-install.log
  cp "$top"/build/package/vokelmng_*.deb "$root/tmp/" || return 1
  [ -s "$root/etc/resolv.conf" ] || cp /etc/resolv.conf "$root/etc/resolv.conf"
  if ! timeout -k 10 300 unshare --mount --pid --fork --kill-child --mount-proc="$root/proc" \
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
      sh -c 'apt-get update -q && apt-get install -y --no-install-recommends /tmp/vokelmng_*.deb bash-completion' \
      >"$log" 2>&1; then
    log_end "$log"
    return 1
  fi
  mkdir -p "$root/tmp/home" && cp "$root/etc/skel/.bashrc" "$root/tmp/home/" &&
    chown -R 1000:1000 "$root/tmp/home" || return 1
  local spec
  spec=$(chroot "$root" setpriv --reuid=1000 --regid=1000 --clear-groups \
    env -i HOME=/tmp/home PATH=/usr/bin:/bin TERM=dumb \
    bash -ic '__load_completion VoKel; complete -p VoKel' 2>&1 </dev/null)
  echo "$spec" | tee "$chroot_dir/completion"
  [[ $spec == *"complete -F "*" VoKel"* ]]
}
if [ "${1:-}" != "--no-build" ]; then
  chroot_dir=$(mktemp -d /tmp/vokelchroot.XXXXXX)
  chmod 0755 "$chroot_dir"  # apt downloads as _apt into the chroot's lists and cache
  check "package builds in a fresh bookworm chroot from its declared Build-Depends" chroot_build
  [ ! -f "$chroot_dir/times" ] || echo "    $(cat "$chroot_dir/times")"
  check "apt installs the package in that chroot; bash -ic 'complete -p VoKel' shows it" \
    chroot_install
  [ ! -f "$chroot_dir/completion" ] || echo "    $(tail -n 1 "$chroot_dir/completion")"
  rm -rf --one-file-system "$chroot_dir"
  chroot_dir=""
  [ "${1:-}" != "--build-only" ] || finish
fi
deb=$(ls "$top"/build/package/vokelmng_*_*.deb 2>/dev/null | grep -v dbgsym | head -n1)
[ -n "$deb" ] || { echo "FAIL no package in build/package"; failed=$((failed + 1)); finish; }

root=$scratch/root
dpkg-deb -x "$deb" "$root"
unit=$root/lib/systemd/system/VoKelMng.service

lintian_clean() {
  local out
  out=$(lintian --fail-on error --display-level ">=warning" "$deb" 2>&1)
  local status=$?
  grep -v 'running with root privileges' <<<"$out"
  return $status
}
check "lintian: no errors" lintian_clean
echo "    lintian tags:"
lintian --display-level ">=info" "$deb" 2>&1 | grep -v 'running with root' | sed 's/^/      /'

# verify resolves ExecStart, so it runs against a copy whose program path is the scratch root's.
verify_unit() {
  mkdir -p "$scratch/verify"
  sed -E "s|^(ExecStart(Pre)?)=\"/usr/sbin/|\1=\"$root/usr/sbin/|" "$unit" >"$scratch/verify/VoKelMng.service"
  systemd-analyze verify --man=no "$scratch/verify/VoKelMng.service"
}
check "systemd-analyze verify" verify_unit
security_score() {
  local out score
  out=$(systemd-analyze security --offline=true --threshold=20 "$unit" 2>&1)
  local status=$?
  score=$(grep -o 'Overall exposure level for VoKelMng.service: [0-9.]*' <<<"$out")
  echo "${score:-no score: $out}"
  [ $status -eq 0 ] && [ -n "$score" ]
}
check "systemd-analyze security at most 2.0 ($(security_score | tail -n1 | grep -o '[0-9.]*$'))" \
  security_score
unit_paths() {
  grep -qx 'ExecStart="/usr/sbin/VoKelMng"' "$unit" &&
    grep -qx 'Environment="VOKELMNG_CONFIG_DIR=/etc/vokelmng"' "$unit" &&
    grep -qx 'ReadWritePaths=-/etc/vokelmng' "$unit" &&
    grep -qx 'WorkingDirectory=/var/lib/vokelmng' "$unit" &&
    grep -qx 'StateDirectory=vokelmng' "$unit" &&
    grep -qx 'WantedBy=multi-user.target' "$unit" &&
    [ "$(grep -c '^CapabilityBoundingSet=' "$unit")" = 1 ] &&
    grep -qx 'CapabilityBoundingSet=CAP_NET_RAW' "$unit"
}
check "unit: installed paths, writable folders, CAP_NET_RAW only, WantedBy" unit_paths
# -Service fills in the same template: the two differ only in the paths and [Install].
same_as_service_switch() {
  local d=$scratch/switch
  mkdir -p "$d"
  VOKELMNG_CONFIG_DIR=$d VOKELMNG_UNIT_DIR=$d "$root/usr/sbin/VoKelMng" -Service || return 1
  cmp "$d/VoKelMng.reg" "$root/etc/vokelmng/VoKelMng.reg" || return 1
  diff <(sed "s|$root/usr/sbin|/usr/sbin|; s|$d|/etc/vokelmng|" "$d/VoKelMng.service") \
    <(sed '/^$/{N;/\n\[Install\]/Q}' "$unit")
}
check "unit and registration match what -Service writes" same_as_service_switch
conffiles() {
  local c
  c=$(dpkg-deb -f "$deb" Package >/dev/null && dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)
  for f in /etc/vokelmng/VoKelMng.ini /etc/vokelmng/syslog.ini /etc/vokelmng/VoKelMng.reg; do
    grep -qx "$f" <<<"$c" || { echo "not a conffile: $f"; return 1; }
  done
  ! ls "$root/etc/systemd/system" 2>/dev/null | grep -q .
}
check "conffiles in /etc/vokelmng, nothing in /etc/systemd/system" conffiles
# The monitoring bundle, where the README says: its rules pass promtool and their tests run in place.
monitoring_bundle() {
  local m=$root/usr/share/vokelmng/monitoring
  promtool check rules "$m/prometheus/vokelmng-rules.yml" "$m/prometheus/vokelmng-alerts.yml" &&
    promtool test rules "$m"/prometheus/tests/*.yml &&
    python3 -m json.tool "$m/grafana/vokelmng-dashboard.json" >/dev/null
}
check "monitoring bundle in /usr/share/vokelmng/monitoring (promtool check and test)" monitoring_bundle

# The run: a private network with lo up, a UDP syslog listener on 127.0.0.1:514, and the
# installed service as user nobody with CAP_NET_RAW only, in copies of the packaged folders.
run_installed() {  # run_installed MODE: writes $scratch/run-MODE.{log,syslog,replies}
  local mode=$1 cfg=$scratch/cfg-$1 work=$scratch/work-$1
  mkdir -p "$cfg" "$work"
  cp "$root"/etc/vokelmng/* "$cfg/"
  sed -i 's/^PRIORITYMASK=.*/PRIORITYMASK=debug/' "$cfg/syslog.ini"
  sed -i "s/^MODE=.*/MODE=$mode/" "$cfg/VoKelMng.ini"
  chown -R nobody:nogroup "$cfg" "$work"
  chmod 0750 "$cfg" "$work"
  chmod 0755 "$scratch"
  ROOT=$root CFG=$cfg WORK=$work OUT=$scratch/run-$mode timeout 60 unshare -n bash -c '
    ip link set lo up
    # Admit every group to the ICMP datagram socket, as Debian does outside a fresh namespace.
    sysctl -q -w net.ipv4.ping_group_range="0 2147483647"
    socat -u UDP-RECV:514,bind=127.0.0.1 OPEN:$OUT.syslog,creat,append &
    listener=$!
    sleep 0.3
    (cd "$WORK" && umask 077 && exec env -i VOKELMNG_CONFIG_DIR="$CFG" PATH=/usr/bin:/bin \
      setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all,+net_raw \
      --ambient-caps=-all,+net_raw --bounding-set=-all,+net_raw --no-new-privs \
      "$ROOT/usr/sbin/VoKelMng") >"$OUT.log" 2>&1 &
    service=$!
    for _ in $(seq 100); do
      (exec 3<>/dev/tcp/127.0.0.1/8000) 2>/dev/null && break
      sleep 0.1
    done
    {
      exec 3<>/dev/tcp/127.0.0.1/8000
      for line in "pv add 127.0.0.5" "pv save" "service set sport 8001" "service save" \
                  "pv show" "exit"; do
        sleep 0.3
        printf "%s\r\n" "$line" >&3
      done
      timeout 5 cat <&3
    } >"$OUT.replies" 2>&1
    {
      exec 4<>/dev/tcp/127.0.0.1/9100
      printf "GET /healthz HTTP/1.0\r\n\r\n" >&4
      timeout 5 cat <&4
    } >"$OUT.api" 2>&1
    sleep 2  # the keepalive probes the new router within its first round
    start=$(date +%s%N)
    kill -TERM $service
    wait $service
    echo "exit=$? ms=$(( ($(date +%s%N) - start) / 1000000 ))" >"$OUT.exit"
    kill $listener 2>/dev/null
    wait $listener 2>/dev/null
    true
  '
}
run_installed dll
run_installed raw
run=$scratch/run-dll
started() { grep -q 'Start processing was finished.' "$run.syslog" || { cat "$run.log"; return 1; }; }
check "installed service starts as an unprivileged user (MODE=dll)" started
prompt() {
  grep -q '^\$ ' "$run.replies" && grep -q $'^127.0.0.5\t880\tadmin\t' "$run.replies" ||
    { cat "$run.replies"; return 1; }
}
check "command port 127.0.0.1:8000 answers (prompt, pv show)" prompt
api_up() { grep -q '^HTTP/1.[01] 200' "$run.api" || { cat "$run.api"; return 1; }; }
check "the packaged operator API answers on 127.0.0.1:9100 (/healthz)" api_up
saved() {
  local cfg=$scratch/cfg-dll work=$scratch/work-dll
  grep -qx 'PORT=8001' "$cfg/VoKelMng.ini" || { echo "service save did not write PORT"; return 1; }
  grep -q '^; PORT: TCP port' "$cfg/VoKelMng.ini" || { echo "service save lost comments"; return 1; }
  [ "$(stat -c %a "$work/pv.csv" 2>/dev/null)" = 600 ] || { echo "no pv.csv (0600)"; return 1; }
  grep -q '127.0.0.5' "$work/pv.csv"
}
check "service save writes the profile folder, pv save the state folder (pv.csv 0600)" saved
audited() {
  grep -q 'Command from 127\.0\.0\.1:[0-9]*: pv add 127\.0\.0\.5 (accepted)\.' "$run.syslog" &&
    ! grep -q 'Command from [^:]*:[0-9]*: pv show' "$run.syslog" ||
    { tr '<' '\n' <"$run.syslog" | grep 'Command from'; return 1; }
}
check "the packaged [AUDIT] SYSLOG=enable logs changing commands, not pv show" audited
dll_loaded() {
  ! grep -q 'I failed in load of an ICMP.DLL library.' "$run.syslog" &&
    grep -q 'I received a PING reply of PV(127.0.0.5).' "$run.syslog" ||
    { tr '<' '\n' <"$run.syslog" | grep -i 'ping\|dll' | head; return 1; }
}
check "MODE=dll loads the installed ping library and pings" dll_loaded
raw_ping() { grep -q 'I received a PING reply of PV(127.0.0.5).' "$scratch/run-raw.syslog"; }
check "MODE=raw pings with CAP_NET_RAW only" raw_ping
stopped() {
  for m in dll raw; do
    grep -Eq '^exit=0 ms=([0-9]{1,3}|[0-4][0-9]{3})$' "$scratch/run-$m.exit" ||
      { echo "$m: $(cat "$scratch/run-$m.exit" 2>/dev/null)"; return 1; }
  done
}
check "SIGTERM stops it with status 0 within 5 s" stopped
finish
