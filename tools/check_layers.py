#!/usr/bin/env python3
"""Checks that every product folder includes only from itself and the layers it
links, and that the files of one folder do not depend on each other in a
circle: the build runs it, so an include that goes the wrong way fails the
build even where it needs no symbol from the other folder.

Within a folder, a unit is the files that share a stem (foo.h and foo.cpp).
A source file without a header of its own (phase.cpp with no phase.h) joins
the unit of the folder's header that declares what it defines, as an extra
file of that unit:
  - what it defines are the functions it defines at file scope or inside a
    named namespace; anything inside an anonymous namespace, a class or a
    function body is its own business;
  - a free function f is declared by a header that declares or defines f at
    file scope or in a named namespace; a member definition Foo::bar belongs to the header that
    defines class Foo or struct Foo (a bare "class Foo;" declares nothing);
  - the header that declares the most of its definitions wins, the first in
    name order on a tie; when no header declares any of them, the source
    stays a unit of its own.
Unit A depends on unit B when a file of A includes a header of B; a file
including a header of its own unit makes no dependency. A loop of such
dependencies is reported as a file cycle, named from its first unit in name
order. Includes between folders are left to the layer rule.

The reading is plain: comments, literals and preprocessor lines are blanked,
and braces are counted to know the scope; operators and macros are not
recognised as definitions.

Usage: check_layers.py ROOT STAMP LAYER...
  LAYER is FOLDER=USED,USED,... (the folders whose targets it links, directly
  or through another); FOLDER may be nested (device/libusb), and a file belongs
  to the deepest layer folder that holds it.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
HEADER_ENDINGS = ('.h', '.hpp')
SOURCE_ENDINGS = HEADER_ENDINGS + ('.cpp', '.cc')

# A head that opens a scope whose contents are still at file scope.
NAMED_NAMESPACE = re.compile(r'^(?:inline )?namespace \w+(?: ?:: ?\w+)*$|^extern$')
# A name, qualified or not, followed by an opening parenthesis.
CALLED_NAME = re.compile(r'(~?[A-Za-z_]\w*(?: ?:: ?~?[A-Za-z_]\w*)*) ?\(')
# What comes before "(" without naming a function.
NOT_FUNCTIONS = {'alignas', 'alignof', 'decltype', 'noexcept', 'sizeof', 'static_assert'}
CLASS_HEAD = re.compile(r'^(?:class|struct) (?:\[\[[^\]]*\]\] )?(\w+)')


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


class SourceFile:
    """One file of a layer: its path relative to the root, the quoted includes
    it makes and its text."""

    def __init__(self, path, text):
        self.path = path
        self.text = text
        self.includes = INCLUDE.findall(text)

    def is_header(self):
        return self.path.endswith(HEADER_ENDINGS)


def layer_sources(root, layers, folder):
    """The source files the layer owns, in path order."""
    sources = []
    for here, _, names in os.walk(os.path.join(root, folder)):
        for name in names:
            if not name.endswith(SOURCE_ENDINGS):
                continue
            path = os.path.relpath(os.path.join(here, name), root).replace(os.sep, '/')
            if owning_layer(layers, path) != folder:
                continue
            with open(os.path.join(root, path), errors='replace') as source:
                sources.append(SourceFile(path, source.read()))
    return sorted(sources, key=lambda source: source.path)


def wrong_way_includes(root, layers):
    for folder in sorted(layers):
        allowed = reachable(layers, folder)
        for source in layer_sources(root, layers, folder):
            for target in source.includes:
                used = owning_layer(layers, target)
                if used is not None and used not in allowed:
                    yield f"{source.path}: includes {target}, but {folder} does not link {used}"


def blanked(piece):
    """The piece with every character but its line breaks turned to a space."""
    return re.sub(r'[^\n]', ' ', piece)


def is_digit_separator(text, at):
    """Whether the quote at text[at] separates digits (1'000) rather than
    opening a character literal."""
    start = at
    while start > 0 and (text[start - 1].isalnum() or text[start - 1] in "_'."):
        start -= 1
    return start < at and text[start].isdigit()


def literal_end(text, at):
    """Where the string or character literal that opens at text[at] ends."""
    quote = text[at]
    opening = text.find('(', at)
    if quote == '"' and at > 0 and text[at - 1] == 'R' and opening > 0:
        delimiter = text[at + 1:opening]
        close = text.find(')' + delimiter + '"', opening)
        return len(text) if close < 0 else close + len(delimiter) + 2
    at += 1
    while at < len(text) and text[at] not in (quote, '\n'):
        at += 2 if text[at] == '\\' else 1
    return min(at + 1, len(text))


def preprocessor_end(text, at):
    """Where the preprocessor line that starts at text[at] ends, continuation
    lines included (its line break stays)."""
    while True:
        end = text.find('\n', at)
        if end < 0:
            return len(text)
        if not text[at:end].rstrip(' \t\r').endswith('\\'):
            return end
        at = end + 1


def code_only(text):
    """The text with its comments, string and character literals and
    preprocessor lines turned to spaces; line breaks stay where they were."""
    out = []
    at = 0
    line_blank = True
    while at < len(text):
        char = text[at]
        if text.startswith('//', at):
            end = text.find('\n', at)
            end = len(text) if end < 0 else end
        elif text.startswith('/*', at):
            end = text.find('*/', at + 2)
            end = len(text) if end < 0 else end + 2
        elif char == '#' and line_blank:
            end = preprocessor_end(text, at)
        elif char == '"' or (char == "'" and not is_digit_separator(text, at)):
            end = literal_end(text, at)
        else:
            out.append(char)
            if char == '\n':
                line_blank = True
            elif not char.isspace():
                line_blank = False
            at += 1
            continue
        out.append(blanked(text[at:end]))
        at = end
    return ''.join(out)


def file_scope_heads(code):
    """Each head at file scope (or inside a named namespace) with the
    character that ends it: '{' when a body follows, ';' when none does. A
    head is the text since the last brace or semicolon, spaces folded."""
    scopes = []  # for each open brace: whether its contents are at file scope
    head_start = 0
    for at, char in enumerate(code):
        if char not in '{};':
            continue
        head = ' '.join(code[head_start:at].split())
        head_start = at + 1
        at_file_scope = all(scopes)
        if char == '}':
            if scopes:
                scopes.pop()
            continue
        if char == '{':
            scopes.append(at_file_scope and NAMED_NAMESPACE.match(head) is not None)
        if at_file_scope and head:
            yield head, char


def without_template_prefix(head):
    """The head without a leading template <...>."""
    if not head.startswith('template'):
        return head
    depth = 0
    for at, char in enumerate(head):
        if char == '<':
            depth += 1
        elif char == '>':
            depth -= 1
            if depth == 0:
                return head[at + 1:].lstrip()
    return head


def function_name(head):
    """The name, qualified as written (Foo::bar), of the function a head
    declares or defines, or None when it is no function."""
    head = without_template_prefix(head)
    # A head after a comma continues a constructor's member initializers.
    if head.startswith((',', ':', 'typedef', 'using', 'enum')):
        return None
    for match in CALLED_NAME.finditer(head):
        before = head[:match.start()]
        if '=' in before:
            return None  # a variable with an initializer
        if before.count('<') > before.count('>'):
            continue  # a function type inside template arguments
        name = match.group(1).replace(' ', '')
        if name.split('::')[-1] in NOT_FUNCTIONS:
            return None
        return name
    return None


def class_name(head):
    """The class or struct a head opens the body of, or None."""
    match = CLASS_HEAD.match(without_template_prefix(head))
    return match.group(1) if match else None


def defined_functions(source):
    """The functions a source file defines at file scope, qualified as written."""
    names = (function_name(head) for head, end in file_scope_heads(code_only(source.text))
             if end == '{')
    return [name for name in names if name]


def declarations(header):
    """The functions a header declares or defines at file scope, and the
    classes and structs it defines there."""
    functions, classes = set(), set()
    for head, end in file_scope_heads(code_only(header.text)):
        name = function_name(head)
        if name:
            functions.add(name.split('::')[-1])
        elif end == '{' and class_name(head):
            classes.add(class_name(head))
    return functions, classes


def declaring_headers(definition, headers):
    """The headers (path, (functions, classes)) that declare a definition:
    those defining the class of a member, else those declaring the function."""
    parts = definition.split('::')
    if len(parts) > 1:
        owners = [path for path, (_, classes) in headers if parts[-2] in classes]
        if owners:
            return owners
    return [path for path, (functions, _) in headers if parts[-1] in functions]


def has_own_header(source, paths):
    stem = os.path.splitext(source.path)[0]
    return any(stem + ending in paths for ending in HEADER_ENDINGS)


def adopting_headers(sources):
    """For each source file without a header of its own, the header of the
    folder that declares the most of what it defines (the first in name
    order on a tie), when one declares any of it."""
    paths = {source.path for source in sources}
    headers = [(source.path, declarations(source)) for source in sources if source.is_header()]
    adopted = {}
    for source in sources:
        if source.is_header() or has_own_header(source, paths):
            continue
        votes = {}
        for definition in defined_functions(source):
            for path in declaring_headers(definition, headers):
                votes[path] = votes.get(path, 0) + 1
        if votes:
            adopted[source.path] = min(votes, key=lambda path: (-votes[path], path))
    return adopted


def unit_of(folder, path):
    """The unit a file of the folder is named by: its path inside the folder,
    without the ending."""
    return os.path.splitext(path[len(folder) + 1:])[0]


def units_of_files(folder, sources):
    """Each file's unit: its own, or that of the header that adopts it."""
    adopted = adopting_headers(sources)
    return {source.path: unit_of(folder, adopted.get(source.path, source.path))
            for source in sources}


def unit_dependencies(folder, sources):
    """Each unit of the folder and the other units of the folder it includes."""
    units = units_of_files(folder, sources)
    depends = {unit: set() for unit in units.values()}
    for source in sources:
        for target in source.includes:
            if target in units and units[target] != units[source.path]:
                depends[units[source.path]].add(units[target])
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
