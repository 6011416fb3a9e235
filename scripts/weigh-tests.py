#!/usr/bin/env python3
"""Weighs the tests against the code they test and fails when they are too heavy.

Counts the lines of C++, Python and shell files (shell scripts also by their #! line) that
are neither blank nor only a comment: tests/ and fuzz/ against src/ and sim/, tracked files
only. The suite is kept at about a third of the code; above --limit (default 35%) it fails.
"""
import argparse
import os
import subprocess
import sys

CXX = {'.cpp', '.h', '.cc', '.hpp', '.c'}
SCRIPT = {'.py', '.sh'}


def kind(path):
    ext = os.path.splitext(path)[1]
    if ext in CXX:
        return 'c++'
    if ext in SCRIPT:
        return 'script'
    if not ext:
        with open(path, 'rb') as f:
            if f.read(2) == b'#!':
                return 'script'
    return None


def counted(path, k):
    n = 0
    with open(path, errors='replace') as f:
        for line in f:
            t = line.strip()
            if not t:
                continue
            if k == 'c++' and t.startswith(('//', '/*', '*')):
                continue
            if k == 'script' and t.startswith('#') and not t.startswith('#!'):
                continue
            n += 1
    return n


def weigh(dirs):
    files = subprocess.run(['git', 'ls-files', '--', *dirs], capture_output=True, text=True,
                           check=True).stdout.split()
    return sum(counted(f, k) for f in files if os.path.isfile(f) and (k := kind(f)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--limit', type=float, default=35.0, help='largest share in percent (35)')
    args = ap.parse_args()
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
    tests, code = weigh(['tests', 'fuzz']), weigh(['src', 'sim'])
    share = 100.0 * tests / code
    print(f'tests {tests} lines, code {code} lines: {share:.1f}% (limit {args.limit:g}%)')
    if share <= args.limit:
        return 0
    print('the tests are over their budget: make them do more with fewer lines', file=sys.stderr)
    return 1


if __name__ == '__main__':
    sys.exit(main())
