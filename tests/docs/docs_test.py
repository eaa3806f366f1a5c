#!/usr/bin/env python3
"""The manual pages, the README and the code tell the same story.

  docs_test.py MANDIR   MANDIR holds the built ravelgard.1 and Ravelgard.ini.5

Checks that README.md's generated blocks are those of doc/reference.md and the
reference agrees with the code (doc/gen.py --check), that both pages render
without a groff warning, and that the check really catches each kind of drift:
a README block edited by hand, a marker naming no block, and a reference that
disagrees with the loader's keys, the log's reasons, the framer's messages, the
proxy's own refusal messages or a command's options.
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GEN = os.path.join(ROOT, "doc", "gen.py")
failures = []


def run_check(reference=None, readme=None):
    args = [sys.executable, GEN, "--check"]
    if reference:
        args += ["--reference", reference]
    if readme:
        args += ["--readme", readme]
    return subprocess.run(args, capture_output=True, text=True)


def expect(ok, what, detail=""):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)
        if detail:
            print("      " + detail.replace("\n", "\n      "))


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def main():
    mandir = sys.argv[1] if len(sys.argv) > 1 else None

    r = run_check()
    expect(r.returncode == 0, "README.md is current and doc/reference.md agrees with the code",
           r.stderr)

    if mandir:
        for page in ("ravelgard.1", "Ravelgard.ini.5"):
            path = os.path.join(mandir, page)
            g = subprocess.run(["groff", "-ww", "-man", "-z", path], capture_output=True, text=True)
            expect(g.returncode == 0 and not g.stderr, f"groff -ww renders {page} without a warning",
                   g.stderr)

    reference = read(os.path.join(ROOT, "doc", "reference.md"))
    readme = read(os.path.join(ROOT, "README.md"))

    # Each drift, and what the check must say about it.
    readme_cases = [
        ("a README block edited by hand",
         readme.replace("| 9 | Dot found in Url before extension |",
                        "| 9 | Dot found in URL before extension |", 1),
         "README.md is out of date"),
        ("a README marker naming no block",
         readme + "\n<!-- BEGIN generated: no-such-block -->\n<!-- END generated -->\n",
         "no block 'no-such-block'"),
        ("a README block without its end marker",
         readme + "\n<!-- BEGIN generated: reasons -->\n",
         "is not closed"),
    ]
    reference_cases = [
        ("a wrong default in the [Globals] table",
         reference.replace("| `VerbAllow` | 1 |", "| `VerbAllow` | 0 |", 1),
         "VerbAllow: the default is 1"),
        ("a [Globals] key the loader does not have",
         reference.replace("| `Simulate` | 0 |", "| `Simulation` | 0 |", 1),
         "does not list the loader's keys"),
        ("a reason message that is not the log's",
         reference.replace("| 20 | Unallowed http version |", "| 20 | Unallowed HTTP version |", 1),
         "reason 20: the log says 'Unallowed http version'"),
        ("a reason missing from the table",
         reference.replace("| 39 | High bit character found in Payload |\n", "", 1),
         "reason 39"),
        ("a framing message missing",
         reference.replace("`[Ambiguous framing: LF without CR]`", "`[Ambiguous framing: LF alone]`", 1),
         "framing message 'Ambiguous framing: LF without CR' is missing"),
        ("a proxy refusal message that is not the proxy's",
         reference.replace("`[CONNECT refused]`", "`[CONNECT denied]`", 1),
         "proxy refusal message 'CONNECT refused' is missing"),
        ("an option of check's --help missing",
         reference.replace("| `--client-ip ADDR` |", "| `--client-address ADDR` |", 1),
         "option --client-ip of the --help text is missing"),
        ("an option config does not have",
         reference.replace("| `--strict` |", "| `--strict`, `--pedantic` |", 1),
         "option --pedantic is documented but not in the command's --help text"),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for what, text, message in readme_cases:
            path = os.path.join(tmp, "README.md")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            r = run_check(readme=path)
            expect(r.returncode != 0 and message in r.stderr, f"--check catches {what}",
                   f"status {r.returncode}, stderr: {r.stderr}")
        for what, text, message in reference_cases:
            if text == reference:
                expect(False, f"the case '{what}' still applies to doc/reference.md")
                continue
            path = os.path.join(tmp, "reference.md")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            r = run_check(reference=path)
            expect(r.returncode != 0 and message in r.stderr, f"--check catches {what}",
                   f"status {r.returncode}, stderr: {r.stderr}")

    print(f"docs: {len(failures) == 0 and 'all passed' or str(len(failures)) + ' failed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
