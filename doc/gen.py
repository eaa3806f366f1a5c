#!/usr/bin/env python3
"""Builds the manual pages and the README's reference tables from doc/reference.md.

The reference is written once, in a small subset of Markdown, and this script
turns it into ravelgard(1) and Ravelgard.ini(5) (roff for man) and copies the
blocks marked for the README into README.md between its marker comments, so the
three can never disagree. It also holds the reference against the code: the
[Globals] table against the key table of the loader, the reason table against
the log's messages, the framing messages against the framer, and each option
table against the command's own --help text.

  gen.py --man OUTDIR          write ravelgard.1 and Ravelgard.ini.5 into OUTDIR
  gen.py --write-readme        rewrite README.md's generated blocks
  gen.py --check               exit 1 (and say why) when README.md is out of date
                               or the reference disagrees with the code

Reference syntax: '<!-- page: NAME SECTION "TITLE" -->' starts a manual page;
'# HEADING' is a section (.SH), '## HEADING' a subsection (.SS); paragraphs,
'- ' bullet lists (continuation lines indented), pipe tables and fenced code
blocks; `code`, **bold** and *italic* inline. '<!-- readme: NAME -->' and
'<!-- /readme -->' enclose what the README's block NAME holds verbatim, and
'<!-- check: KIND [FILE] -->' before a table asks for it to be held against
the code.
"""
import argparse
import datetime
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REFERENCE = os.path.join(ROOT, "doc", "reference.md")
README = os.path.join(ROOT, "README.md")

BEGIN_RE = re.compile(r"^<!-- BEGIN generated: ([a-z0-9-]+) -->$")
END_LINE = "<!-- END generated -->"


# ---------------------------------------------------------------- reading


class Page:
    def __init__(self, name, section, title):
        self.name, self.section, self.title = name, section, title
        self.lines = []


def read_reference(path):
    """Returns (pages, readme_blocks, checks): the pages with their lines, the
    README blocks by name, and (kind, argument, table rows) to hold against the code."""
    pages, blocks, checks = [], {}, []
    open_block, pending_check = None, None
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        m = re.match(r'^<!-- page: (\S+) (\d) "([^"]*)" -->$', line)
        if m:
            pages.append(Page(m.group(1), m.group(2), m.group(3)))
            i += 1
            continue
        m = re.match(r"^<!-- readme: ([a-z0-9-]+) -->$", line)
        if m:
            if open_block is not None:
                raise SystemExit(f"{path}:{i + 1}: readme block inside block {open_block}")
            open_block = m.group(1)
            if open_block in blocks:
                raise SystemExit(f"{path}:{i + 1}: readme block {open_block} given twice")
            blocks[open_block] = []
            i += 1
            continue
        if line == "<!-- /readme -->":
            if open_block is None:
                raise SystemExit(f"{path}:{i + 1}: end of a readme block that was not begun")
            open_block = None
            i += 1
            continue
        m = re.match(r"^<!-- check: ([a-z-]+)(?: (\S+))? -->$", line)
        if m:
            pending_check = (m.group(1), m.group(2), i + 1)
            i += 1
            continue
        if line.startswith("<!--"):
            raise SystemExit(f"{path}:{i + 1}: unknown directive {line}")
        if pending_check is not None and line.startswith("|"):
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                if not pages:
                    raise SystemExit(f"{path}:{i + 1}: text before the first page")
                pages[-1].lines.append(lines[i])
                if open_block is not None:
                    blocks[open_block].append(lines[i])
                i += 1
            checks.append((pending_check[0], pending_check[1], pending_check[2], parse_table(rows)))
            pending_check = None
            continue
        if not pages:
            if line.strip():
                raise SystemExit(f"{path}:{i + 1}: text before the first page")
            i += 1
            continue
        pages[-1].lines.append(line)
        if open_block is not None:
            blocks[open_block].append(line)
        i += 1
    if open_block is not None:
        raise SystemExit(f"{path}: readme block {open_block} is not closed")
    if pending_check is not None:
        raise SystemExit(f"{path}:{pending_check[2]}: check without a table after it")
    return pages, blocks, checks


def split_row(row):
    cells = []
    cell = ""
    in_code = False
    body = row.strip()
    if body.startswith("|"):
        body = body[1:]
    if body.endswith("|") and not body.endswith("\\|"):
        body = body[:-1]
    j = 0
    while j < len(body):
        c = body[j]
        if c == "\\" and j + 1 < len(body) and body[j + 1] == "|":
            cell += "|"
            j += 2
            continue
        if c == "`":
            in_code = not in_code
        if c == "|" and not in_code:
            cells.append(cell.strip())
            cell = ""
        else:
            cell += c
        j += 1
    cells.append(cell.strip())
    return cells


def parse_table(rows):
    """The header and body rows of a pipe table, each a list of cell texts."""
    header = split_row(rows[0])
    body = [split_row(r) for r in rows[2:]]
    return header, body


# ---------------------------------------------------------------- roff

SPECIAL = {
    "\u2013": "\\(en", "\u2014": "\\(em", "\u2018": "\\(oq", "\u2019": "\\(cq",
    "\u201c": "\\(lq", "\u201d": "\\(rq", "\u00a0": "\\~", "\u2026": "\\&...",
    "\u00d7": "\\(mu", "\u2192": "\\(->", "\u00b5": "\\(mc",
}


def escape_text(text, literal=False):
    out = []
    for c in text:
        if c == "\\":
            out.append("\\e")
        elif c == "-" and literal:
            out.append("\\-")
        elif c == "'" and literal:
            out.append("\\(aq")
        elif c in SPECIAL:
            out.append(SPECIAL[c])
        elif ord(c) > 126:
            out.append("\\[u%04X]" % ord(c))
        else:
            out.append(c)
    return "".join(out)


INLINE_RE = re.compile(r"`([^`]+)`|\*\*([^*]+)\*\*|\*([^*\s][^*]*)\*")


def inline(text, base="R"):
    """Markdown inline markup to roff font changes; base is the font to return to."""
    out = []
    pos = 0
    for m in INLINE_RE.finditer(text):
        out.append(escape_text(text[pos:m.start()]))
        if m.group(1) is not None:
            out.append("\\fB" + escape_text(m.group(1), literal=True) + "\\f" + base)
        elif m.group(2) is not None:
            out.append("\\fB" + escape_text(m.group(2), literal=True) + "\\f" + base)
        else:
            out.append("\\fI" + escape_text(m.group(3)) + "\\f" + base)
        pos = m.end()
    out.append(escape_text(text[pos:]))
    return "".join(out)


def roff_line(text):
    """One line of running text: a leading '.' or apostrophe would be read as a request."""
    text = text.strip()
    if text.startswith(".") or text.startswith("'"):
        return "\\&" + text
    return text


def fill(text):
    """Running text with one sentence per output line where convenient."""
    return roff_line(text)


def render_table(header, body, out):
    """A table as a tagged list: the first column is the tag, middle columns go
    into the tag in parentheses, the last column is the paragraph."""
    for row in body:
        row = row + [""] * (len(header) - len(row))
        tag = inline(row[0])
        extras = []
        for name, value in zip(header[1:-1], row[1:-1]):
            if value:
                extras.append(escape_text(name.lower()) + ": " + inline(value))
        if extras:
            tag += " (" + "; ".join(extras) + ")"
        out.append(".TP")
        out.append(roff_line(tag))
        out.append(fill(inline(row[-1])) if len(row) > 1 else "")


def render_page(page, version, date):
    out = [
        ".\\\" generated by doc/gen.py from doc/reference.md: edit that, not this",
        '.TH "%s" "%s" "%s" "Ravelgard %s" "%s"'
        % (page.name.upper() if page.section == "1" else page.name, page.section, date,
           version, page.title),
    ]
    lines = page.lines
    i = 0
    para = []
    list_open = False

    def flush_para():
        nonlocal para
        if para:
            out.append(".PP" if not list_open else ".IP")
            out.extend(fill(inline(p)) for p in para)
            para = []

    while i < len(lines):
        line = lines[i]
        if not line.strip():
            flush_para()
            i += 1
            continue
        if line.startswith("# "):
            flush_para()
            list_open = False
            out.append('.SH "%s"' % escape_text(line[2:].strip().upper()))
            i += 1
            continue
        if line.startswith("## "):
            flush_para()
            list_open = False
            out.append('.SS "%s"' % inline(line[3:].strip()))
            i += 1
            continue
        if line.startswith("```"):
            flush_para()
            i += 1
            out.append(".PP")
            out.append(".RS 4")
            out.append(".nf")
            while i < len(lines) and not lines[i].startswith("```"):
                code = escape_text(lines[i], literal=True)
                out.append("\\&" + code if code else "")
                i += 1
            out.append(".fi")
            out.append(".RE")
            i += 1
            continue
        if line.startswith("|"):
            flush_para()
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                i += 1
            header, body = parse_table(rows)
            render_table(header, body, out)
            continue
        if re.match(r"^(- |\d+\. )", line):
            flush_para()
            m = re.match(r"^(- |(\d+)\. )", line)
            marker = "\\(bu" if m.group(1) == "- " else m.group(2) + "."
            item = [line[len(m.group(1)):]]
            i += 1
            while i < len(lines) and lines[i].startswith("   ") and lines[i].strip() and \
                    not lines[i].lstrip().startswith("```"):
                item.append(lines[i].strip())
                i += 1
            while i < len(lines) and lines[i].startswith("  ") and lines[i].strip() and \
                    not lines[i].lstrip().startswith("```"):
                item.append(lines[i].strip())
                i += 1
            out.append(".IP %s 4" % marker)
            out.extend(fill(inline(p)) for p in item)
            list_open = True
            # An indented code block belongs to the item.
            if i < len(lines) and lines[i].lstrip().startswith("```"):
                indent = len(lines[i]) - len(lines[i].lstrip())
                i += 1
                out.append(".RS 4")
                out.append(".nf")
                while i < len(lines) and not lines[i].lstrip().startswith("```"):
                    code = escape_text(lines[i][indent:], literal=True)
                    out.append("\\&" + code if code else "")
                    i += 1
                out.append(".fi")
                out.append(".RE")
                i += 1
            continue
        if list_open and not line.startswith(" "):
            list_open = False
        if out[-1] == '.SH "NAME"':
            # whatis and lexgrog read "name \- summary"
            line = line.replace(" - ", " \\- ", 1)
            out.append(".PP")
            out.append(line)
            i += 1
            continue
        para.append(line)
        i += 1
    flush_para()
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------- README


def readme_with_blocks(text, blocks):
    """README text with every generated block filled in; raises on an unknown
    or unterminated marker."""
    lines = text.split("\n")
    out = []
    i = 0
    while i < len(lines):
        m = BEGIN_RE.match(lines[i])
        if not m:
            out.append(lines[i])
            i += 1
            continue
        name = m.group(1)
        if name not in blocks:
            raise SystemExit(f"README.md:{i + 1}: no block '{name}' in doc/reference.md")
        out.append(lines[i])
        i += 1
        while i < len(lines) and lines[i] != END_LINE:
            if BEGIN_RE.match(lines[i]):
                raise SystemExit(f"README.md:{i + 1}: generated block '{name}' is not closed")
            i += 1
        if i == len(lines):
            raise SystemExit(f"README.md: generated block '{name}' is not closed")
        content = blocks[name]
        while content and not content[0].strip():
            content = content[1:]
        while content and not content[-1].strip():
            content = content[:-1]
        out.extend(content)
        out.append(END_LINE)
        i += 1
    return "\n".join(out)


# ---------------------------------------------------------------- checks against the code


def read(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def c_strings(text):
    """The C string literals of a piece of source, adjacent ones joined."""
    return re.findall(r'"((?:[^"\\]|\\.)*)"', text)


def unquote(cell):
    cell = cell.strip()
    if cell.startswith("`") and cell.endswith("`"):
        return cell[1:-1]
    return cell


def check_globals(rows, problems):
    src = read("src/policy/globals.cpp")
    table = src[src.index("kGlobalKeys[kGlobalKeyCount]"):]
    table = table[:table.index("};")]
    keys = []
    for m in re.finditer(r'(Length|Integer|ListSwitch|Text)\("(\w+)"(?:,\s*(-?\d+))?', table):
        kind, name, default = m.groups()
        keys.append((name, kind, default))
    documented = [(unquote(r[0]), r[1]) for r in rows]
    if [k[0] for k in keys] != [d[0] for d in documented]:
        problems.append("the [Globals] table does not list the loader's keys in its order:\n  code: "
                        + " ".join(k[0] for k in keys) + "\n  doc:  "
                        + " ".join(d[0] for d in documented))
        return
    for (name, kind, default), (_, doc_default) in zip(keys, documented):
        if kind == "Length":
            want = "no limit"
        elif kind == "Text":
            continue  # their defaults are described in words
        else:
            want = default
        if doc_default != want:
            problems.append(f"[Globals] {name}: the default is {want}, the reference says {doc_default}")


def check_reasons(rows, problems):
    src = read("src/log/reasons.cpp")
    messages = c_strings(src[src.index("kReasonMessages"):])
    logged = {}
    for code, message in enumerate(messages):
        logged[code] = message.strip()[1:-1].replace("%s", "...").replace("%d", "N")
    framer = max(logged)  # the last code is the framer's: its message is the framer's own
    seen = set()
    for row in rows:
        code = int(row[0])
        seen.add(code)
        if code not in logged:
            problems.append(f"reason {code} is documented but the log has no such code")
        elif code != framer and row[1] != logged[code]:
            problems.append(f"reason {code}: the log says '{logged[code]}', the reference '{row[1]}'")
    for code in logged:
        if code not in seen and code not in (0, 32, 33):
            problems.append(f"reason {code} ('{logged[code]}') is missing from the reason table")


def check_framing(rows, problems):
    src = read("src/frame/framer.cpp")
    body = src[src.index("const char* FrameErrorMessage"):]
    body = body[:body.index("\n}\n")]
    messages = {m.strip()[1:-1] for m in c_strings(body)}
    messages -= {"No Error", "Malformed status line"}  # no request is refused with these
    documented = {r[0] for r in rows}
    for m in sorted(messages - documented):
        problems.append(f"framing message '{m}' is missing from the reference")
    for m in sorted(documented - messages):
        problems.append(f"framing message '{m}' is documented but the framer has no such message")


def check_proxy_refusals(path, rows, problems):
    src = read(path)
    # Only the messages a refusal returns: the fallback after the switch names no refusal.
    messages = {m.strip()[1:-1] for m in
                re.findall(r'case\s+ProxyRefusal::k\w+:\s*return\s+"((?:[^"\\]|\\.)*)"', src)}
    if not messages:
        problems.append(f"{path}: no refusal message found (has ProxyRefusalMessage changed shape?)")
        return
    documented = {r[0] for r in rows}
    for m in sorted(messages - documented):
        problems.append(f"proxy refusal message '{m}' is missing from the reference")
    for m in sorted(documented - messages):
        problems.append(f"proxy refusal message '{m}' is documented but {path} has no such message")


def check_options(path, rows, problems):
    if not os.path.exists(os.path.join(ROOT, path)):
        return  # that host is not part of this tree yet
    src = read(path)
    m = re.search(r'((?:\s*"(?:[^"\\]|\\.)*")+)', src[src.rindex('"', 0, src.index("Usage:")):])
    usage = "".join(c_strings(m.group(1)))
    in_usage = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*|-[a-zA-Z])\b", usage))
    documented = set()
    for row in rows:
        documented.update(re.findall(r"(?<![\w-])(--[a-z][a-z-]*|-[a-zA-Z])\b", row[0]))
    for o in sorted(in_usage - documented):
        problems.append(f"{path}: option {o} of the --help text is missing from the reference")
    for o in sorted(documented - in_usage):
        problems.append(f"{path}: option {o} is documented but not in the command's --help text")


def run_checks(checks):
    problems = []
    for kind, arg, line, (header, rows) in checks:
        if kind == "globals":
            check_globals(rows, problems)
        elif kind == "reasons":
            check_reasons(rows, problems)
        elif kind == "framing":
            check_framing([[r[-1].strip("`").strip("[]")] for r in rows], problems)
        elif kind == "proxy-refusals":
            check_proxy_refusals(arg, [[r[-1].strip("`").strip("[]")] for r in rows], problems)
        elif kind == "options":
            check_options(arg, rows, problems)
        else:
            problems.append(f"doc/reference.md:{line}: unknown check '{kind}'")
    return problems


# ---------------------------------------------------------------- main


def project_version():
    text = read("CMakeLists.txt")
    m = re.search(r"project\(\s*Ravelgard\s+VERSION\s+([0-9.]+)", text)
    return m.group(1) if m else "0"


def page_date():
    """The date of the last commit (or SOURCE_DATE_EPOCH), so builds are reproducible."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        try:
            epoch = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"],
                                   capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            epoch = ""
    if not epoch:
        return "2026-01-01"
    return datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).strftime("%Y-%m-%d")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--man", metavar="OUTDIR", help="write the manual pages into OUTDIR")
    ap.add_argument("--write-readme", action="store_true", help="update README.md")
    ap.add_argument("--check", action="store_true",
                    help="fail when README.md is out of date or the reference disagrees with the code")
    ap.add_argument("--reference", default=REFERENCE)
    ap.add_argument("--readme", default=README)
    args = ap.parse_args()
    pages, blocks, checks = read_reference(args.reference)

    if args.man:
        os.makedirs(args.man, exist_ok=True)
        version, date = project_version(), page_date()
        for page in pages:
            path = os.path.join(args.man, f"{page.name}.{page.section}")
            text = render_page(page, version, date)
            old = None
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    old = f.read()
            if old != text:  # leave an unchanged page alone, so make has nothing to redo
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)

    status = 0
    if args.write_readme or args.check:
        with open(args.readme, encoding="utf-8") as f:
            current = f.read()
        wanted = readme_with_blocks(current, blocks)
        if args.write_readme and wanted != current:
            with open(args.readme, "w", encoding="utf-8") as f:
                f.write(wanted)
        elif args.check and wanted != current:
            print("README.md is out of date with doc/reference.md: run python3 doc/gen.py "
                  "--write-readme", file=sys.stderr)
            status = 1
    if args.check:
        for problem in run_checks(checks):
            print("doc/reference.md: " + problem, file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
