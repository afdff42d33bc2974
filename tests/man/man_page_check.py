#!/usr/bin/env python3
"""Keeps the manual pages true to the programs.

  man_page_check.py diagnostics PAGE SOURCE_DIR... [--extra FILE]
      Every message tarnload's code can print must have an entry among the
      tagged paragraphs of PAGE's DIAGNOSTICS section.
  man_page_check.py options PAGE TARNSIM
      Every option and command that `TARNSIM --help` lists must appear in PAGE.

Messages are taken from the string literals given to the printing calls
below; an identifier given instead is followed to the literal it was
declared with or snprintf'd from, in the same file. printf conversions
match the page's italic placeholders, or nothing (a "%s" that is only a
line break before the text).
"""
import re
import subprocess
import sys
from pathlib import Path

# (call, index of the argument holding the text)
PRINT_CALLS = [
    (r"con_Print", 0),
    (r"com_ReportLost", 0),
    (r"trace_OsComplain", 0),
    (r"Complain", 0),
    (r"(?:std::)?printf", 0),
    (r"(?:std::)?puts", 0),
    (r"(?:std::)?fputs", 0),
    (r"(?:std::)?fprintf\s*\(\s*(?:stdout|stderr)\s*,", None),
    (r"write\s*\(\s*(?:STDOUT_FILENO|STDERR_FILENO)\s*,", None),
    (r"WriteFile\s*\(\s*GetStdHandle\s*\(\s*STD_(?:OUTPUT|ERROR)_HANDLE\s*\)\s*,", None),
]
CONVERSION = re.compile(r"%[-+ #0]*(?:\*|\d+)?(?:\.(?:\*|\d+))?(?:hh|h|ll|l|j|z|t|L)?[diouxXeEfFgGaAcsp]")
PLACEHOLDER = "\x01"
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", '"': '"', "'": "'", "\\": "\\", "0": "\0"}


def strip_comments(code):
    """The code with comments blanked out; string and char literals kept."""
    out, i, n = [], 0, len(code)
    while i < n:
        c = code[i]
        if code.startswith("//", i):
            while i < n and code[i] != "\n":
                i += 1
        elif code.startswith("/*", i):
            end = code.find("*/", i + 2)
            i = n if end < 0 else end + 2
            out.append(" ")
        elif c in "\"'":
            j = i + 1
            while j < n and code[j] != c:
                j += 2 if code[j] == "\\" else 1
            out.append(code[i : j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def literals_at(code, i):
    """Adjacent string literals starting at code[i] (after blanks): their text, or None."""
    parts = []
    literal = re.compile(r'\s*"((?:[^"\\]|\\.)*)"', re.S)
    while (m := literal.match(code, i)) is not None:
        parts.append(re.sub(r"\\x([0-9A-Fa-f]{2})|\\(.)",
                            lambda e: chr(int(e.group(1), 16)) if e.group(1) else ESCAPES.get(e.group(2), e.group(2)),
                            m.group(1)))
        i = m.end()
    return "".join(parts) if parts else None


def texts_of_identifier(code, name):
    """Literals `name` is declared with or formatted from in this file."""
    found = []
    for pattern in (rf"\b{name}\s*\[\s*\]\s*=", rf"snprintf\s*\(\s*{name}\s*,[^,]*,"):
        for m in re.finditer(pattern, code):
            text = literals_at(code, m.end())
            if text is not None:
                found.append(text)
    return found


def argument_at(code, i):
    """The text of the call argument starting at code[i], up to its ',' or ')'."""
    depth, j = 0, i
    while j < len(code):
        c = code[j]
        if c in "\"'":
            k = j + 1
            while k < len(code) and code[k] != c:
                k += 2 if code[k] == "\\" else 1
            j = k
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                break
            depth -= 1
        elif c == "," and depth == 0:
            break
        j += 1
    return code[i:j]


def messages_of(path):
    code = strip_comments(path.read_text(encoding="utf-8", errors="replace"))
    found = []
    for call, index in PRINT_CALLS:
        opener = rf"\b{call}" if index is None else rf"(?<![\w:]){call}\s*\("
        for m in re.finditer(opener, code):
            # Every literal of the argument (a choice between texts has
            # several), and every name in it that holds a text.
            argument = argument_at(code, m.end())
            at = 0
            while (literal := re.search(r'"', argument[at:])) is not None:
                start = at + literal.start()
                text = literals_at(argument, start)
                found.append(text)
                end = re.match(r'(?:\s*"(?:[^"\\]|\\.)*")+', argument[start:]).end()
                at = start + end
            for name in set(re.findall(r"\b[A-Za-z_]\w*\b", re.sub(r'"(?:[^"\\]|\\.)*"', "", argument))):
                found.extend(texts_of_identifier(code, name))
    lines = []
    for text in found:
        for line in text.split("\n"):
            line = " ".join(line.split())
            if line:
                lines.append((path, line))
    return lines


def code_pattern(line):
    """A message line as a regex over the page's form: conversions match a placeholder or nothing."""
    parts = CONVERSION.split(line.replace("%%", "%"))
    return re.compile(f"(?:{PLACEHOLDER})?".join(re.escape(p) for p in parts))


def roff_text(line):
    """A roff text line as plain text, italic spans as one placeholder each."""
    line = re.sub(r"\\fI.*?(?=\\f[BRP]|$)", PLACEHOLDER, line)
    line = re.sub(r"\\f[BIRP]", "", line)
    for escape, text in (("\\-", "-"), ("\\&", ""), ("\\(dq", '"'), ("\\(aq", "'"), ("\\e", "\\"), ("\\ ", " ")):
        line = line.replace(escape, text)
    return " ".join(line.split())


def diagnostics_entries(page):
    """The tag lines of DIAGNOSTICS' tagged paragraphs (.TP and .TQ)."""
    lines = page.read_text(encoding="utf-8").splitlines()
    entries, inside = [], False
    for i, line in enumerate(lines):
        if line.startswith(".SH"):
            inside = line.split(None, 1)[1:] == ["DIAGNOSTICS"]
        elif inside and line in (".TP", ".TQ") and i + 1 < len(lines):
            entries.append(roff_text(lines[i + 1]))
    return entries


def check_diagnostics(page, sources, extra):
    files = [f for d in sources for f in sorted(Path(d).rglob("*")) if f.suffix in (".cpp", ".h")]
    messages = [m for f in files + extra for m in messages_of(f)]
    entries = diagnostics_entries(page)
    if not messages or not entries:
        print(f"found {len(messages)} messages in the code and {len(entries)} entries in the page")
        return 1
    missing = [(f, line) for f, line in messages if not any(code_pattern(line).fullmatch(e) for e in entries)]
    for f, line in missing:
        print(f"missing from DIAGNOSTICS: {line}  ({f})")
    print(f"{len(messages)} message lines, {len(entries)} entries, {len(missing)} missing")
    return 1 if missing else 0


def check_options(page, tarnsim):
    help_text = subprocess.run([tarnsim, "--help"], capture_output=True, text=True, check=True).stdout
    wanted = set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", help_text))
    wanted |= set(re.findall(r"^\s*(?:Usage:)?\s*tarnsim ([a-z][a-z-]*)", help_text, re.M))
    text = roff_text(page.read_text(encoding="utf-8").replace("\n", " ")).replace(PLACEHOLDER, " ")
    missing = sorted(w for w in wanted if not re.search(rf"(?<![\w-]){re.escape(w)}(?![\w-])", text))
    for w in missing:
        print(f"missing from the page: {w}")
    print(f"{len(wanted)} options and commands in --help, {len(missing)} missing")
    return 1 if missing or not wanted else 0


def main(argv):
    if len(argv) >= 4 and argv[1] == "diagnostics":
        args, extra = argv[3:], []
        if "--extra" in args:
            at = args.index("--extra")
            extra, args = [Path(a) for a in args[at + 1 :]], args[:at]
        return check_diagnostics(Path(argv[2]), args, extra)
    if len(argv) == 4 and argv[1] == "options":
        return check_options(Path(argv[2]), argv[3])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
