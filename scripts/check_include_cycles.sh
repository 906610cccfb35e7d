#!/usr/bin/env bash
# Fails when the includes of src/ and tools/ go round in a circle. A .cc and the .h of the same
# name are one component: a.cc including b.h while b.cc includes a.h is a circle a -> b -> a.
# "dir/x.h" is looked up under src/, a bare "x.h" beside the including file; system headers and
# headers found nowhere (test helpers, generated files) play no part. One circle is named for
# each knot (each set of components that all reach one another).
# Usage: scripts/check_include_cycles.sh [ROOT]   (default: the repository)
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

git ls-files --cached --others --exclude-standard -- src tools | grep -E '\.(cc|h)$' |
  python3 -c '
import os, re, sys

include = re.compile(r"^\s*#\s*include\s*\"([^\"]+)\"")
files = [line.strip() for line in sys.stdin if line.strip()]
present = set(files)

def component(path):
    return os.path.splitext(path)[0]

edges = {}
for path in files:
    here = component(path)
    edges.setdefault(here, set())
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = include.match(line)
            if not m:
                continue
            name = m.group(1)
            if "/" in name:
                target = os.path.normpath(os.path.join("src", name))
            else:
                target = os.path.normpath(os.path.join(os.path.dirname(path), name))
            if target not in present:
                continue
            other = component(target)
            if other != here:
                edges[here].add(other)

# Tarjan, without recursion: the strongly connected components of more than one member.
index, low, on_stack, stack, knots = {}, {}, set(), [], []
counter = 0
for start in sorted(edges):
    if start in index:
        continue
    work = [(start, iter(sorted(edges[start])))]
    index[start] = low[start] = counter
    counter += 1
    stack.append(start)
    on_stack.add(start)
    while work:
        node, children = work[-1]
        advanced = False
        for child in children:
            if child not in index:
                index[child] = low[child] = counter
                counter += 1
                stack.append(child)
                on_stack.add(child)
                work.append((child, iter(sorted(edges.get(child, ())))))
                advanced = True
                break
            if child in on_stack:
                low[node] = min(low[node], index[child])
        if advanced:
            continue
        work.pop()
        if work:
            parent = work[-1][0]
            low[parent] = min(low[parent], low[node])
        if low[node] == index[node]:
            members = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                members.append(member)
                if member == node:
                    break
            if len(members) > 1:
                knots.append(sorted(members))

def circle(members):
    # The shortest way back to the first member, found breadth first inside the knot.
    inside = set(members)
    first = members[0]
    came = {first: None}
    queue = [first]
    while queue:
        node = queue.pop(0)
        for child in sorted(edges[node]):
            if child not in inside:
                continue
            if child == first:
                path = [node]
                while came[path[-1]] is not None:
                    path.append(came[path[-1]])
                path.reverse()
                return path + [first]
            if child not in came:
                came[child] = node
                queue.append(child)
    return members

def short(name):
    return name[4:] if name.startswith("src/") else name

for members in sorted(knots):
    print("include circle: " + " -> ".join(short(m) for m in circle(members)), file=sys.stderr)
if knots:
    sys.exit(1)
print("include circles: none")
'
