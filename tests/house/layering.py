#!/usr/bin/env python3
"""Fails on an #include that points up or sideways between the rooms of the two programs.

MireloServices runs one way: common → protocol → platform → images → {roomcard, network,
notifications} → module → bridge → main.cpp. A room includes only rooms below it (and itself);
rooms on one floor do not include each other. SolvaNearby stands on common alone.
Usage: layering.py [repository root]
"""
import os
import re
import subprocess
import sys

FLOORS = {
    'common': 0,
    'services/protocol': 1,
    'services/platform': 2,
    'services/images': 3,
    'services/roomcard': 4,
    'services/network': 4,
    'services/notifications': 4,
    'services/module': 5,
    'services/bridge': 6,
    'services': 7,  # main.cpp
    'nearby': 1,
}
STACKS = {'nearby': 'nearby', 'common': None}  # None: below every stack
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def room_of(path):
    parts = path.split('/')
    if parts[0] == 'services' and len(parts) > 2:
        return '/'.join(parts[:2])
    return parts[0]


def stack_of(room):
    return STACKS.get(room, 'services')


def resolve(including, name, tracked):
    # As the compiler looks: beside the includer, then the include directories the build adds.
    for base in (os.path.dirname(including), 'services', 'common', 'services/platform', 'nearby'):
        candidate = os.path.normpath(os.path.join(base, name))
        if candidate in tracked:
            return candidate
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', '..')
    os.chdir(root)
    listed = subprocess.check_output(['git', 'ls-files', '-co', '--exclude-standard', 'common', 'services', 'nearby'],
                                     text=True).split()
    tracked = {f for f in listed if f.endswith(('.h', '.hpp', '.cpp')) and os.path.exists(f)}
    faults = []
    for path in sorted(tracked):
        source = room_of(path)
        if source not in FLOORS:
            faults.append(f'{path}: room {source} has no floor; add it to {os.path.basename(__file__)}')
            continue
        with open(path, encoding='utf-8') as f:
            text = f.read()
        for match in INCLUDE.finditer(text):
            target_path = resolve(path, match.group(1), tracked)
            if target_path is None:
                continue  # a library's header
            target = room_of(target_path)
            if target == source:
                continue
            line = text.count('\n', 0, match.start()) + 1
            down = FLOORS[target] < FLOORS[source]
            same_stack = stack_of(target) in (None, stack_of(source))
            if not (down and same_stack):
                faults.append(f'{path}:{line}: {source} includes {target_path} ({target} is not below it)')
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
