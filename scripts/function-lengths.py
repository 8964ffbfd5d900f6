#!/usr/bin/env python3
"""Lists the functions longer than a limit in C++ sources.

Usage: scripts/function-lengths.py [--max N] [--warn-only] PATH...

A function is a brace group opened at namespace or class level after a head
that holds a parameter list; its length runs from the head's first line to the
closing brace. Lambdas and local classes count towards the function that holds
them. The reading is a heuristic on braces, good enough for this code base's
formatting (clang-format), not a parser. Exits 1 when a function is too long,
unless --warn-only.
"""

import argparse
import pathlib
import re
import sys

SCOPE_HEAD = re.compile(r'^(template\s*<.*>\s*)?(inline\s+)?(namespace|class|struct|union|enum)\b'
                        r'|^extern\s+"C"', re.S)


def strip_code(text):
    """Blanks out comments, string and character literals and preprocessor
    lines, keeping the line breaks so that line numbers stay right."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == '#':
            # A directive, with its continuation lines.
            while i < n and not (text[i] == '\n' and text[i - 1] != '\\'):
                i += 1
            continue
        if c == '\n':
            out.append(c)
            line_start = True
            i += 1
            continue
        if c not in ' \t':
            line_start = False
        if text.startswith('//', i):
            while i < n and text[i] != '\n':
                i += 1
            continue
        if text.startswith('/*', i):
            end = text.find('*/', i + 2)
            end = n if end < 0 else end + 2
            out.append('\n' * text.count('\n', i, end))
            i = end
            continue
        raw = re.match(r'R"([^(\s]*)\(', text[i:i + 20])
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            close = ')' + raw.group(1) + '"'
            end = text.find(close, i + raw.end())
            end = n if end < 0 else end + len(close)
            out.append('""' + '\n' * text.count('\n', i, end))
            i = end
            continue
        if c in '"\'':
            if c == '\'' and i > 0 and text[i - 1].isalnum():
                out.append(c)  # a digit separator
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            out.append(c + c)
            i = j + 1
            continue
        out.append(c)
        i += 1
    return ''.join(out)


def is_function_head(head):
    if '(' not in head:
        return False
    depth = 0
    for k, c in enumerate(head):
        if c in '(<[':
            depth += 1
        elif c in ')>]':
            depth -= 1
        elif c == '=' and depth <= 0:
            before, after = head[k - 1:k], head[k + 1:k + 2]
            if before not in '=!<>' and after != '=' and not head[:k].rstrip().endswith('operator'):
                return False  # an initialised variable
    return True


def function_name(head):
    names = re.findall(r'([~\w:]+(?:operator\s*\S+?)?)\s*\(', head)
    return names[0] if names else head.strip()[:40]


def long_functions(path, limit):
    code = strip_code(path.read_text(encoding='utf-8', errors='replace'))
    found = []
    stack = []  # 'scope', 'function' or 'block' for each open brace
    head_start = 0
    function = None  # [name, first line] of the function whose body is open
    last_closed = None  # the function that just closed, for initialiser braces
    line = 1
    for i, c in enumerate(code):
        if c == '\n':
            line += 1
        if c not in '{};':
            continue
        at_scope_level = all(kind == 'scope' for kind in stack)
        if c == ';':
            if at_scope_level:
                head_start, last_closed = i + 1, None
            continue
        if c == '{':
            if not at_scope_level:
                stack.append('block')
                continue
            head = code[head_start:i]
            stripped = ' '.join(head.split())
            if last_closed and re.fullmatch(r'(,.*)?', stripped):
                function, last_closed = last_closed, None  # after an initialiser's braces
                stack.append('function')
            elif SCOPE_HEAD.search(stripped) and '(' not in stripped.split('{')[0].split(':')[0]:
                stack.append('scope')
                head_start = i + 1
            elif stripped.count('(') > stripped.count(')'):
                stack.append('block')  # braces inside a call's arguments
            elif is_function_head(stripped):
                first = line - head[len(head.rstrip()):].count('\n') - code[head_start:i].strip().count('\n')
                function = [function_name(stripped), first]
                stack.append('function')
            else:
                stack.append('block')  # an initialiser or an enum
            continue
        kind = stack.pop() if stack else 'scope'
        if kind == 'function':
            name, first = function
            length = line - first + 1
            if length > limit:
                found.append((first, name, length))
            last_closed = function
        elif kind == 'block' and all(k == 'scope' for k in stack):
            last_closed = None
        if all(k == 'scope' for k in stack):
            head_start = i + 1
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--max', type=int, default=80)
    parser.add_argument('--warn-only', action='store_true')
    parser.add_argument('paths', nargs='+')
    args = parser.parse_args()
    files = []
    for p in map(pathlib.Path, args.paths):
        files += sorted(f for f in p.rglob('*') if f.suffix in ('.cpp', '.h')) if p.is_dir() else [p]
    too_long = 0
    for f in files:
        for first, name, length in long_functions(f, args.max):
            too_long += 1
            kind = 'warning' if args.warn_only else 'error'
            print(f'{f}:{first}: {kind}: {name} has {length} lines (at most {args.max})')
    return 1 if too_long and not args.warn_only else 0


if __name__ == '__main__':
    sys.exit(main())
