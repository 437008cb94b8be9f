#!/usr/bin/env python3
"""Fails when an #include reaches a layer its folder may not use.

Layers, lowest first: platform, then auth, transform and accessor (each on
platform alone), core (platform and the authentication interfaces), server
(platform), admin (platform and the message-key code it shares with the
server), console (platform), tools. Tests and benchmarks may also use the
layers below their own and testing/; testing/, fuzz/, and the end-to-end
tests and benchmarks above every layer (tests/, bench/) may use any layer.

Inside core, the stores (core/store) and the query engine (core/query) sit
below the request frame: their code (not their tests) may not include the
frame's headers (QuorServiceUtils*.h, QuorServiceCore*.h, ServiceModule.h,
ServiceFrame.h, ResponseStream.h, AuthAccessor.h); what they share with the
frame is in core/ServiceHelpers.h. Each is a CMake target of its own that
does not see those headers either.
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

# The request frame's headers, which the stores and the query engine stay off.
FRAME = re.compile(r'^core/(QuorServiceUtils[^/]*|QuorServiceCore[^/]*|ServiceModule|ServiceFrame|ResponseStream|AuthAccessor)\.h$')
BELOW_FRAME = ('core/store/', 'core/query/')

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


def below_frame(path: str, target: str) -> bool:
    """Whether `path` is store or query code reaching up into the frame."""
    parts = path.split('/')
    if 'tests' in parts or 'bench' in parts:
        return False
    return path.startswith(BELOW_FRAME) and FRAME.match(target) is not None


def main() -> int:
    files = subprocess.check_output(['git', 'ls-files', '*.cpp', '*.h'], cwd=root, text=True).split()
    bad = []
    for f in files:
        text = (root / f).read_text(errors='replace')
        for m in include.finditer(text):
            target = m.group(1)
            if '/' not in target or not (root / target).exists():
                continue  # a neighbour's header or a system one
            line = text.count('\n', 0, m.start()) + 1
            if not allowed(f, target):
                bad.append(f'{f}:{line}: includes "{target}", which its layer may not use')
            elif below_frame(f, target):
                bad.append(f'{f}:{line}: includes "{target}", a header of the request frame; the stores and the '
                           'query engine sit below it (use core/ServiceHelpers.h, or hand the object in)')
    for b in bad:
        print(b)
    if bad:
        print(f'{len(bad)} include(s) against the layers (see scripts/check_layers.py)')
        return 1
    print(f'layers: {len(files)} files, every include within its layer')
    return 0


if __name__ == '__main__':
    sys.exit(main())
