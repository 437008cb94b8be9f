#!/usr/bin/env python3
"""Fails when an #include reaches a layer its folder may not use.

Layers, lowest first: platform, then auth, transform and accessor (each on
platform alone), core (platform and the authentication interfaces), server
(platform), admin (platform and the message-key code it shares with the
server), console (platform), tools. Tests and benchmarks may also use the
layers below their own and testing/; testing/, fuzz/, and the end-to-end
tests and benchmarks above every layer (tests/, bench/) may use any layer.
"""
import pathlib
import re
import subprocess
import sys

root = pathlib.Path(__file__).resolve().parent.parent

# What code (not tests) of each top folder may include, besides itself.
ALLOWED = {
    'platform': {'platform'},
    'auth': {'platform'},
    'transform': {'platform'},
    'accessor': {'platform'},
    'core': {'platform', 'auth/iauth.h', 'auth/isession.h', 'auth/iaccountinfo.h', 'auth/ids.h'},
    'server': {'platform'},
    'admin': {'platform', 'auth/mac.h'},
    'console': {'platform'},
    'tools': {'platform', 'core/ConfigFile.h', 'core/StatusCodes.h'},
}
# Tests and benchmarks: their own layer and those before it here.
ORDER = ['platform', 'auth', 'transform', 'accessor', 'core', 'server', 'admin', 'console', 'tools']
ANYTHING = {'testing', 'fuzz', 'tests', 'bench'}

include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def allowed(path: str, target: str) -> bool:
    top = path.split('/')[0]
    if top in ANYTHING or top not in ALLOWED:
        return True
    ttop = target.split('/')[0]
    if ttop == top:
        return True
    parts = path.split('/')
    if 'tests' in parts or 'bench' in parts:
        if ttop == 'testing':
            return True
        if ttop in ORDER and ORDER.index(ttop) <= ORDER.index(top):
            return True
    rules = ALLOWED[top]
    return ttop in rules or target in rules


def main() -> int:
    files = subprocess.check_output(['git', 'ls-files', '*.cpp', '*.h'], cwd=root, text=True).split()
    bad = []
    for f in files:
        text = (root / f).read_text(errors='replace')
        for m in include.finditer(text):
            target = m.group(1)
            if '/' not in target or not (root / target).exists():
                continue  # a neighbour's header or a system one
            if not allowed(f, target):
                line = text.count('\n', 0, m.start()) + 1
                bad.append(f'{f}:{line}: includes "{target}", which its layer may not use')
    for b in bad:
        print(b)
    if bad:
        print(f'{len(bad)} include(s) against the layers (see scripts/check_layers.py)')
        return 1
    print(f'layers: {len(files)} files, every include within its layer')
    return 0


if __name__ == '__main__':
    sys.exit(main())
