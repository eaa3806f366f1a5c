#!/usr/bin/env python3
"""The INI reader against the Windows profile functions.

Writes a table of tricky INI files, asks the same questions of each through
the POSIX reader (a native ini-dump) and through GetPrivateProfileSectionA,
GetPrivateProfileIntA and GetPrivateProfileStringA (ini-dump.exe under Wine),
and requires the same answers. This is what shows that a policy file keeps
its meaning when it moves between the Windows DLL and the POSIX module.

A case listed in KNOWN_DIFFERENCES must differ, in exactly the queries
named there; each entry says which side follows Windows and why the other
does not.

Every int and string query is asked once more the way the policy loader
reads values: the section once, then the key from its lines
(from-section-int, from-section-string). Those answers must agree between
the two sides too, and on the POSIX side they must be the direct reader's
own answers: reading a section first changes no value.

usage: ini_compare.py WORKDIR NATIVE_DUMP -- WINE_COMMAND...
"""
import os
import subprocess
import sys

LONG = "v" * 70000

CASES = [
    # name, file bytes, queries (kind|section|key|default|size)
    ("comments", b"; top\n[S]\n;K=1\nK=2\n  ; indented\n\t;tab\nL=3 ; not a comment\n",
     ["section|S|4096", "int|S|K|7", "string|S|L|d|64"]),
    ("blanks around =", b"[S]\n  K  =  v w  \n\tT\t=\t9\t\n",
     ["section|S|4096", "string|S|K|d|64", "int|S|T|7", "string|S|  K  |d|64"]),
    ("duplicate sections", b"[S]\nA=1\n[T]\nB=0\n[S]\nA=2\nB=3\n",
     ["section|S|4096", "int|S|A|7", "int|S|B|7", "string|S|B|d|64"]),
    ("duplicate keys", b"[S]\nK=1\nK=2\nk=3\n",
     ["section|S|4096", "int|S|K|7", "string|S|k|d|64"]),
    ("letter case", b"[sEcTiOn]\nkEy=5\n",
     ["int|SECTION|KEY|7", "int|section|key|7", "section|Section|4096"]),
    ("CR LF and LF", b"[S]\r\nK=v \r\nL=1\nM = x\r\n\r\n[T]\r\nN=2",
     ["section|S|4096", "string|S|K|d|64", "int|S|L|7", "string|S|M|d|64", "int|T|N|7"]),
    ("NUL bytes", b"[S]\nab\0cd\nK=1\0 2\nZ=9\n",
     ["section|S|4096", "int|S|K|7", "string|S|K|d|64", "int|S|Z|7"]),
    ("very long line", ("[S]\nK=" + LONG + "\nL=2\n").encode(),
     ["string|S|K|d|80000", "string|S|K|d|255", "int|S|L|7", "section|S|80000"]),
    ("numbers", b"[S]\nhex=0x1F\nupper=0X1f\nneg=-5\ntrail=55zz\nzero=007\nwrap=4294967297\n"
     b"neghex=-0x10\nspaced=12 34\nword=abc\nbig=4294967295\n",
     ["int|S|hex|7", "int|S|HEX|7", "int|S|upper|7", "int|S|neg|7", "int|S|trail|7",
      "int|S|zero|7", "int|S|wrap|7", "int|S|neghex|7", "int|S|spaced|7", "int|S|word|7",
      "int|S|big|7"]),
    ("signs and prefixes", b"[S]\nplus=+5\nbin=0b101\noct=0o17\n",
     ["int|S|plus|7", "int|S|bin|7", "int|S|oct|7"]),
    ("empty values", b"[S]\nK=\nL=   \nM=x\n",
     ["int|S|K|7", "int|S|L|7", "string|S|K|d|64", "string|S|L|d|64", "section|S|4096"]),
    ("lines before the first section", b"K=1\nloose\n[S]\nA=2\n",
     ["int|S|K|7", "section|S|4096", "int|S|A|7"]),
    ("section header forms", b"[ S ] trailing\nK=1\n[T\nL=2\n",
     ["int|S|K|7", "int|T|L|7", "section|S|4096"]),
    ("lines without a key", b"[S]\nloose line\n=5\nK=1\n",
     ["section|S|4096", "int|S|K|7", "int|S||7"]),
    ("quotes", b"[S]\nQ=\"a b\"\nR='x'\nU=\"open\nM=\"a\" b\nN=\"5\"\nP=\"a\" b \"c\"\nE=\"\"\nL=\"\n",
     ["string|S|Q|d|64", "string|S|R|d|64", "string|S|U|d|64", "string|S|M|d|64",
      "section|S|4096", "int|S|N|7", "string|S|P|d|64", "string|S|E|d|64",
      "string|S|L|d|64"]),
    ("cut to the buffer", b"[S]\nK=abcdef\nGET\nPOST\nHEAD\n",
     ["string|S|K|d|4", "string|S|K|d|7", "string|S|none|dflt|3", "section|S|8",
      "section|S|12"]),
    ("missing section", b"[S]\nK=1\n", ["section|X|16", "int|X|K|7", "string|X|K|d|8"]),
]

MISSING = ["section|S|16", "int|S|K|7", "string|S|K|dflt|8"]

# case name -> {query: reason}.
KNOWN_DIFFERENCES = {
    "numbers": {
        "int|S|upper|7": "Wine's base-0 conversion takes the 0x prefix in small letters only and "
                         "reads 0X1f as 0; the POSIX reader takes 0X too. Which Windows does is "
                         "not established",
    },
    "signs and prefixes": {
        "int|S|bin|7": "Wine converts the value with RtlUnicodeStringToInteger in base 0, which "
                       "takes a 0b (binary) prefix; that the Windows reader does so is not "
                       "established, and the POSIX reader reads the leading 0 only",
        "int|S|oct|7": "as 0b: Wine's base-0 conversion takes a 0o (octal) prefix",
    },
    "section header forms": {
        "int|T|L|7": "a line that opens with '[' but has no ']': Wine keeps it as a line of the "
                     "section before; the POSIX reader opens a section named by the rest of "
                     "the line. Which Windows does is not established; no policy file relies "
                     "on it",
        "section|S|4096": "the same line seen from the section before",
        "from-section-int|T|L|7": "as int|T|L|7: the sections differ",
    },
    "quotes": {
        "int|S|N|7": "Wine reads the number from the string value with its enclosing quotes "
                     "dropped; the POSIX reader reads the number from the raw value, as "
                     "integer keys are not documented to lose quotes on Windows",
    },
}


def run(command, batches, cwd):
    """One process answers every case: Wine starts slowly."""
    args = []
    for path, queries in batches:
        args += ["file|" + path] + queries
    result = subprocess.run(command + ["none.ini"] + args, cwd=cwd, capture_output=True)
    if result.returncode != 0:
        raise SystemExit("%s failed: %s" % (command, result.stderr.decode(errors="replace")))
    lines = result.stdout.decode("latin-1").splitlines()
    answers = []
    for _, queries in batches:
        answers.append(lines[:len(queries)])
        lines = lines[len(queries):]
    return answers


def main():
    argv = sys.argv[1:]
    split = argv.index("--")
    workdir, native = argv[0], argv[1:split]
    wine = argv[split + 1:]
    failures = 0
    checked = 0
    cases = [(name, data, queries) for name, data, queries in CASES]
    cases.append(("missing file", None, MISSING))
    # The same values read the loader's way.
    cases = [(name, data, queries + ["from-section-" + q for q in queries
                                     if q.split("|")[0] in ("int", "string")])
             for name, data, queries in cases]
    batches = []
    for index, (name, data, queries) in enumerate(cases):
        path = "case%02d.ini" % index
        if data is not None:
            with open(os.path.join(workdir, path), "wb") as f:
                f.write(data)
        batches.append((path, queries))
    all_ours = run(native, batches, workdir)
    all_theirs = run(wine, batches, workdir)
    for (name, _, queries), ours, theirs in zip(cases, all_ours, all_theirs):
        expected = KNOWN_DIFFERENCES.get(name, {})
        for query, a, b in zip(queries, ours, theirs):
            checked += 1
            if query in expected:
                if a == b:
                    print("FAIL %s: %s: expected to differ (%s), both give %s"
                          % (name, query, expected[query], a))
                    failures += 1
                else:
                    print("known difference %s: %s\n  POSIX:   %s\n  Windows: %s\n  why: %s"
                          % (name, query, a, b, expected[query]))
            elif a != b:
                print("FAIL %s:\n  POSIX:   %s\n  Windows: %s" % (name, a, b))
                failures += 1
        # On the POSIX side the loader's way gives the direct reader's answers.
        answers = {line.split(" -> ", 1)[0]: line.split(" -> ", 1)[-1] for line in ours}
        for query in queries:
            if not query.startswith("from-section-"):
                continue
            checked += 1
            direct = query[len("from-section-"):]
            if answers.get(query) != answers.get(direct):
                print("FAIL %s: POSIX %s gives %s, %s gives %s"
                      % (name, query, answers.get(query), direct, answers.get(direct)))
                failures += 1
    print("INI reader against the Windows profile functions: %d queries, %d passed, %d failed"
          % (checked, checked - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
