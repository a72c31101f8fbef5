#!/usr/bin/env python3
"""Fails when a README names a file or folder of the repository that does not exist.

A name counts when it is written in backticks and looks like a path of ours: it holds a "/" or
ends in a source extension. It is looked up beside the README, at the repository's root, and in
the rooms the README's folder sits in. Absolute paths, URLs, MIME types, globs and placeholders
(`<version>`, `…`, `corpus/TARGET/`), installed paths (`libexec/…`) and what the build makes are
not paths of the tree.
Usage: readme_paths.py [repository root]
"""
import os
import re
import subprocess
import sys

TICKED = re.compile(r'`([^`\n]+)`')
EXTENSIONS = ('.h', '.cpp', '.py', '.sh', '.md', '.json', '.txt', '.mjs', '.ts', '.cmake', '.supp', '.js')
INSTALLED = {'libexec', 'share', 'usr', 'etc', 'bin', 'lib'}
NOT_OURS = re.compile(r'^(/|~|\$|https?:|file:|[a-z]+://)|[<>…*{}|;=\s]|^(image|text|application|audio|video)/')


def candidates(token):
    token = token.strip().rstrip('.,:')
    if token.startswith('./'):
        token = token[2:]
    if NOT_OURS.search(token):
        return None
    path = token.split(':')[0].split('#')[0]
    if not re.fullmatch(r'[A-Za-z0-9_.\-/]+', path) or '..' in path.split('/')[0:1] and len(path) < 4:
        return None
    if '/' not in path and (not path.endswith(EXTENSIONS) or path in EXTENSIONS):
        return None  # not a path, or an extension alone (`.cpp`)
    segments = [s for s in path.split('/') if s]
    if path.startswith('-') or not segments:
        return None
    if any(s.isupper() for s in segments) or segments[-1].isdigit():
        return None  # a placeholder (`corpus/TARGET/`) or a benchmark's argument (`Embed/1`)
    if segments[0] in INSTALLED or '.' in segments[0] and any(c.isupper() for c in segments[0]):
        return None  # an installed path, or an expression (`process.resourcesPath/bin/`)
    return path


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', '..')
    os.chdir(root)
    listed = subprocess.check_output(['git', 'ls-files', '-co', '--exclude-standard'], text=True).split()
    files = {f for f in listed if os.path.exists(f)}
    folders = {os.path.dirname(f) for f in files}
    while True:
        parents = {os.path.dirname(d) for d in folders} - folders
        if not parents:
            break
        folders |= parents
    everything = files | folders
    basenames = {os.path.basename(f) for f in files}
    faults = []
    for readme in sorted(f for f in files if os.path.basename(f) == 'README.md' and 'node_modules' not in f):
        here = os.path.dirname(readme)
        rooms = [here]
        while rooms[-1]:
            rooms.append(os.path.dirname(rooms[-1]))
        with open(readme, encoding='utf-8') as f:
            text = f.read()
        for match in TICKED.finditer(text):
            path = candidates(match.group(1))
            if path is None:
                continue
            stripped = path.rstrip('/')
            found = any(os.path.normpath(os.path.join(base, stripped)) in everything for base in rooms)
            if not found and '/' not in stripped:
                found = stripped in basenames  # a file named by itself, in a room below
            if not found and any(s.startswith(('build', 'dist', 'node_modules')) for s in stripped.split('/')):
                found = True  # made by the build
            if not found:
                line = text.count('\n', 0, match.start()) + 1
                faults.append(f'{readme}:{line}: `{match.group(1)}` names nothing in the tree')
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
