#!/usr/bin/env bash
# Checks the monitoring bundle in monitoring/: promtool accepts both rule files and their unit
# tests pass; the dashboard is valid JSON whose panels all query the ${datasource} variable;
# and every metric the rules and the dashboard name is one the status API renders (a name in
# src/service/api) or a recording rule of the bundle, so renaming a metric fails here. Prints
# PASS/FAIL per check and a closing count; exit status 1 when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
rules=(monitoring/prometheus/vokelmng-rules.yml monitoring/prometheus/vokelmng-alerts.yml)
tests=(monitoring/prometheus/tests/*.yml)
dashboard=monitoring/grafana/vokelmng-dashboard.json
source scripts/check_lib.sh
promtool_present() {
  command -v promtool >/dev/null || { echo "promtool is missing (scripts/setup.sh --test installs it)"; return 1; }
}

check "promtool is installed" promtool_present
check "promtool check rules ${rules[*]}" promtool check rules "${rules[@]}"
check "promtool test rules ${tests[*]}" promtool test rules "${tests[@]}"
check "$dashboard is valid JSON" python3 -m json.tool "$dashboard"

dashboard_datasources() {
  python3 - "$dashboard" <<'PY'
import json, sys
dash = json.load(open(sys.argv[1]))
problems = []
variables = {v.get("name"): v for v in dash.get("templating", {}).get("list", [])}
if variables.get("datasource", {}).get("type") != "datasource":
    problems.append("no variable 'datasource' of type datasource")
if "instance" not in variables:
    problems.append("no variable 'instance'")
def panels(list_):
    for p in list_:
        yield p
        yield from panels(p.get("panels", []))
ids = []
for p in panels(dash.get("panels", [])):
    ids.append(p.get("id"))
    if p.get("type") == "row":
        continue
    title = p.get("title", p.get("id"))
    if (p.get("datasource") or {}).get("uid") != "${datasource}":
        problems.append(f"panel {title!r}: datasource is not ${{datasource}}")
    if not p.get("targets"):
        problems.append(f"panel {title!r}: no query")
    for t in p.get("targets", []):
        if (t.get("datasource") or {}).get("uid") != "${datasource}":
            problems.append(f"panel {title!r} query {t.get('refId')}: datasource is not ${{datasource}}")
        if not t.get("expr"):
            problems.append(f"panel {title!r} query {t.get('refId')}: no expression")
if len(ids) != len(set(ids)):
    problems.append(f"panel ids repeat: {sorted(ids)}")
print("\n".join(problems))
sys.exit(1 if problems else 0)
PY
}
check "dashboard: variables datasource and instance, every panel on \${datasource}" \
  dashboard_datasources

# A metric the API renders is a string in a non-test source of src/service/api; a recording
# rule (level:metric:operations) must be defined by a `record:` of the bundle.
metric_names() {
  python3 - "${rules[@]}" "${tests[@]}" "$dashboard" <<'PY'
import glob, re, sys
rendered = set()
for path in glob.glob("src/service/api/*.cc") + glob.glob("src/service/api/*.h"):
    if not path.endswith("_test.cc"):
        rendered |= set(re.findall(r"\bvokelmng_[a-z0-9_]+", open(path).read()))
files = {path: open(path).read() for path in sys.argv[1:]}
recorded = set()
for text in files.values():
    recorded |= set(re.findall(r"^\s*-?\s*record:\s*(\S+)\s*$", text, re.M))
problems = []
if not rendered:
    problems.append("no vokelmng_* metric found in src/service/api")
used_metrics = set()
for path, text in files.items():
    recording = r"(?<![\w:])[A-Za-z_]\w*(?::\w+)+"
    for name in set(re.findall(recording, text)):
        if "vokelmng" in name and name not in recorded:
            problems.append(f"{path}: {name} is no recording rule of the bundle")
    # vokelmng_cluster_* in a comment names a prefix of rendered metrics.
    for name in set(re.findall(r"(?<![\w:])vokelmng_\w+\*?", re.sub(recording, " ", text))):
        if name.endswith("*"):
            known = any(r.startswith(name[:-1]) for r in rendered)
        else:
            used_metrics.add(name)
            known = name in rendered
        if not known:
            problems.append(f"{path}: {name} is not rendered by src/service/api")
print("\n".join(sorted(problems)) if problems else
      f"{len(used_metrics)} metrics and {len(recorded)} recording rules, all known")
sys.exit(1 if problems else 0)
PY
}
check "every metric of the rules and the dashboard exists in src/service/api or the rules" \
  metric_names

echo "check_monitoring: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
