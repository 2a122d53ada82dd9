#!/usr/bin/env python3
"""Checks that every product folder includes only from itself and the layers it
links: the build runs it, so an include that goes the wrong way fails the build
even where it needs no symbol from the other folder.

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


def wrong_way_includes(root, layers):
    for folder in sorted(layers):
        allowed = reachable(layers, folder)
        for here, _, names in os.walk(os.path.join(root, folder)):
            for name in sorted(names):
                if not name.endswith(SOURCE_ENDINGS):
                    continue
                path = os.path.relpath(os.path.join(here, name), root).replace(os.sep, '/')
                if owning_layer(layers, path) != folder:
                    continue
                with open(os.path.join(root, path), errors='replace') as source:
                    text = source.read()
                for target in INCLUDE.findall(text):
                    used = owning_layer(layers, target)
                    if used is not None and used not in allowed:
                        yield f"{path}: includes {target}, but {folder} does not link {used}"


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    root, stamp = sys.argv[1], sys.argv[2]
    layers = parse_layers(sys.argv[3:])
    problems = list(wrong_way_includes(root, layers))
    for problem in problems:
        print(f"layer check: {problem}", file=sys.stderr)
    if problems:
        return 1
    with open(stamp, 'w') as done:
        done.write('checked\n')
    return 0


if __name__ == '__main__':
    sys.exit(main())
