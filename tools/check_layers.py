#!/usr/bin/env python3
"""Checks that every product folder includes only from itself and the layers it
links, and that the files of one folder do not include each other in a circle:
the build runs it, so an include that goes the wrong way fails the build even
where it needs no symbol from the other folder.

Within a folder, a unit is the files that share a stem (foo.h and foo.cpp).
Unit A depends on unit B when a file of A includes a file of B; a loop of such
dependencies is reported as a file cycle, named from its first unit in name
order. Includes between folders are left to the layer rule.

Usage: check_layers.py ROOT STAMP LAYER...
  LAYER is FOLDER=USED,USED,... (the folders whose targets it links, directly
  or through another); FOLDER may be nested (device/libusb), and a file belongs
  to the deepest layer folder that holds it.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCE_ENDINGS = ('.h', '.hpp', '.cpp', '.cc')


def parse_layers(arguments):
    layers = {}
    for argument in arguments:
        folder, _, used = argument.partition('=')
        layers[folder] = {name for name in used.split(',') if name}
    return layers


def reachable(layers, folder):
    """The folder's own layer and every layer below it, through what it links."""
    seen, pending = set(), [folder]
    while pending:
        current = pending.pop()
        if current in seen:
            continue
        seen.add(current)
        pending.extend(layers.get(current, ()))
    return seen


def owning_layer(layers, path):
    """The deepest layer folder that holds path, or None."""
    best = None
    for folder in layers:
        if path == folder or path.startswith(folder + '/'):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def layer_sources(root, layers, folder):
    """The source files the layer owns, each with the quoted includes it makes,
    as (path, includes) in path order; paths are relative to root."""
    sources = []
    for here, _, names in os.walk(os.path.join(root, folder)):
        for name in names:
            if not name.endswith(SOURCE_ENDINGS):
                continue
            path = os.path.relpath(os.path.join(here, name), root).replace(os.sep, '/')
            if owning_layer(layers, path) != folder:
                continue
            with open(os.path.join(root, path), errors='replace') as source:
                sources.append((path, INCLUDE.findall(source.read())))
    return sorted(sources)


def wrong_way_includes(root, layers):
    for folder in sorted(layers):
        allowed = reachable(layers, folder)
        for path, includes in layer_sources(root, layers, folder):
            for target in includes:
                used = owning_layer(layers, target)
                if used is not None and used not in allowed:
                    yield f"{path}: includes {target}, but {folder} does not link {used}"


def unit_of(folder, path):
    """The unit a file of the folder belongs to: its path inside the folder,
    without the ending."""
    return os.path.splitext(path[len(folder) + 1:])[0]


def unit_dependencies(folder, sources):
    """Each unit of the folder and the other units of the folder it includes."""
    units = {path: unit_of(folder, path) for path, _ in sources}
    depends = {unit: set() for unit in units.values()}
    for path, includes in sources:
        for target in includes:
            if target in units and units[target] != units[path]:
                depends[units[path]].add(units[target])
    return depends


def closed_from_first_unit(loop):
    """The loop turned to start at its first unit in name order, and closed."""
    first = loop.index(min(loop))
    turned = loop[first:] + loop[:first]
    return turned + [turned[0]]


def cycles(depends):
    """The cycles a depth-first walk in name order closes, each as the list of
    its units from its first in name order back to that unit."""
    found = []
    finished = set()
    walking = []

    def walk(unit):
        walking.append(unit)
        for used in sorted(depends[unit]):
            if used in walking:
                found.append(closed_from_first_unit(walking[walking.index(used):]))
            elif used not in finished:
                walk(used)
        walking.pop()
        finished.add(unit)

    for unit in sorted(depends):
        if unit not in finished:
            walk(unit)
    return sorted(found)


def file_cycles(root, layers):
    for folder in sorted(layers):
        depends = unit_dependencies(folder, layer_sources(root, layers, folder))
        for loop in cycles(depends):
            yield f"file cycle in {folder}: {' -> '.join(loop)}"


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    root, stamp = sys.argv[1], sys.argv[2]
    layers = parse_layers(sys.argv[3:])
    problems = list(wrong_way_includes(root, layers)) + list(file_cycles(root, layers))
    for problem in problems:
        print(f"layer check: {problem}", file=sys.stderr)
    if problems:
        return 1
    with open(stamp, 'w') as done:
        done.write('checked\n')
    return 0


if __name__ == '__main__':
    sys.exit(main())
