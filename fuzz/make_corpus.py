#!/usr/bin/env python3
"""Builds the committed seed corpora in fuzz/corpus/<target>/.

Seeds come from what the tests and examples already hold: the request texts
of the scanner, check and filter tests and of examples/requests/, the INI
texts of the loader and platform tests and examples/Ravelgard.ini, and the
inputs of the canonicalizer tests. Run it again when those change; it
replaces the seed directories. Each seed is named by its SHA-1, as libFuzzer
names the inputs it keeps.

The HTTP targets read their knobs from the end of the input
(FuzzedDataProvider); encode() appends them so that a seed is the request
screened with the default policy, and for fuzz_filter also with the example
policy given as INI text.
"""
import glob
import hashlib
import os
import re
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Knob bytes that fuzz_support.cpp's NewFuzzPolicy reads: the switch flips
# (4), six limits, eight list masks, the banner. All zero = defaults.
POLICY_KNOBS = 4 + 6 + 8 + 1

ESCAPES = {'n': 10, 'r': 13, 't': 9, '0': 0, '\\': 92, '"': 34, "'": 39, 'a': 7, 'b': 8,
           'f': 12, 'v': 11, '?': 63}

LITERAL = re.compile(r'R"([^(\s]*)\((.*?)\)\1"|"((?:[^"\\\n]|\\.)*)"', re.S)
BETWEEN = re.compile(r'(?:\s|//[^\n]*\n|/\*.*?\*/)*\Z', re.S)


def decode(body):
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != '\\':
            out += c.encode('latin-1', 'replace') if ord(c) < 256 else c.encode()
            i += 1
            continue
        e = body[i + 1]
        if e == 'x':
            j = i + 2
            while j < len(body) and body[j] in '0123456789abcdefABCDEF':
                j += 1
            out.append(int(body[i + 2:j], 16) & 0xFF)
            i = j
        elif e in '01234567':
            j = i + 1
            while j < len(body) and j < i + 4 and body[j] in '01234567':
                j += 1
            out.append(int(body[i + 1:j], 8) & 0xFF)
            i = j
        else:
            out.append(ESCAPES.get(e, ord(e)))
            i += 2
    return bytes(out)


def literals(path):
    """The string literals of a C++ file, adjacent ones joined as the
    compiler joins them."""
    text = open(path, encoding='utf-8', errors='replace').read()
    result, current, last_end = [], None, None
    for m in LITERAL.finditer(text):
        value = m.group(2).encode() if m.group(2) is not None else decode(m.group(3))
        if current is not None and BETWEEN.match(text[last_end:m.start()]):
            current += value
        else:
            if current is not None:
                result.append(current)
            current = value
        last_end = m.end()
    if current is not None:
        result.append(current)
    return result


def is_request(b):
    return len(b) >= 8 and b'\r\n' in b and re.match(rb'(\r\n)?[A-Z]{1,10} ', b) is not None


def is_ini(b):
    return b'=' in b and b'\n' in b and len(b) >= 6


def as_ini(b):
    return b if re.search(rb'(^|\n)\[', b) else b'[Globals]\n' + b


def fdp_tail(values):
    """Bytes that FuzzedDataProvider hands back as the given integers, in the
    order they are consumed. Each value is (value, byte count); integers are
    read from the end of the input, most significant byte first."""
    consumed = bytearray()
    for value, count in values:
        for k in reversed(range(count)):
            consumed.append((value >> (8 * k)) & 0xFF)
    return bytes(reversed(consumed))


def filter_seed(request, ini=None):
    if ini is None:
        # mode 0, default policy, no failing allocation, no notifications
        return request + bytes(1 + POLICY_KNOBS + 2)
    # mode 1 (INI text), its length, no failing allocation, no notifications
    return ini + request + fdp_tail([(1, 1), (len(ini), 2), (0, 1), (0, 1)])


def chunking_seed(request):
    # default policy, no cuts: one byte per chunk
    return request + bytes(POLICY_KNOBS + 1)


def write(target, seeds):
    out = os.path.join(ROOT, 'fuzz', 'corpus', target)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for s in sorted(set(seeds)):
        with open(os.path.join(out, hashlib.sha1(s).hexdigest()), 'wb') as f:
            f.write(s)
    print(f'{target}: {len(set(seeds))} seeds, {sum(len(s) for s in set(seeds))} bytes')


def main():
    tests = os.path.join(ROOT, 'tests')
    requests, inis, canon = [], [], []
    for path in sorted(glob.glob(os.path.join(tests, '*.cpp')) + glob.glob(os.path.join(tests, '*.h'))):
        for b in literals(path):
            if is_request(b):
                requests.append(b)
            elif is_ini(b) and ('loader' in path or 'platform' in path or 'summary' in path):
                inis.append(as_ini(b))
            if os.path.basename(path) == 'canon_test.cpp' and 0 < len(b) <= 256:
                canon.append(b)
    for path in sorted(glob.glob(os.path.join(ROOT, 'examples', 'requests', '*.http'))):
        requests.append(open(path, 'rb').read())
    example_ini = os.path.join(ROOT, 'examples', 'Ravelgard.ini')
    if os.path.exists(example_ini):
        inis.append(open(example_ini, 'rb').read())

    requests = [r for r in dict.fromkeys(requests) if len(r) <= 4096]
    inis = [i for i in dict.fromkeys(inis) if len(i) <= 4096]
    canon += [r.split(b' ')[1] for r in requests if r.count(b' ') >= 2]

    write('fuzz_ini', inis)
    write('fuzz_canon', canon)
    filter_seeds = [filter_seed(r) for r in requests]
    if os.path.exists(example_ini):
        ini = open(example_ini, 'rb').read()
        filter_seeds += [filter_seed(r, ini) for r in requests[:: max(1, len(requests) // 16)]]
    write('fuzz_filter', filter_seeds)
    write('fuzz_chunking', [chunking_seed(r) for r in requests])
    return 0


if __name__ == '__main__':
    sys.exit(main())
