#!/usr/bin/env python3
"""Checks a manual page against its program, so that the page can't fall
behind it:

- the page's title names the program, section 1, and the version that
  `PROGRAM --version` prints, which is the program's name and the version;
- every word of the usage lines of `PROGRAM --help` (commands, options,
  their arguments and choices) is in the page, and every command and option
  is described in its body, not only in the synopsis;
- every option of the page's synopsis is one that --help names;
- every environment variable that --help names has its entry in the
  ENVIRONMENT section, and every exit status in EXIT STATUS;
- the page has the sections a manual page needs, and groff renders it
  without a warning.

usage: check_manpage.py PAGE PROGRAM
"""
import os
import re
import subprocess
import sys

REQUIRED_SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES", "SEE ALSO"]
OPTION = re.compile(r"(?<![\w.$/-])--?[A-Za-z][\w-]*")
ENV_VAR = re.compile(r"\b[A-Z][A-Z0-9]*_[A-Z0-9_]+\b")
VERSION = re.compile(r"\d+(?:\.\d+)+")


def plain_text(roff):
    """The words of roff source: comments, macro names and font escapes
    removed, character escapes turned into their characters."""
    lines = []
    for line in roff.splitlines():
        if line.startswith('.\\"') or line.startswith("'\\\""):
            continue
        line = re.sub(r"^\.[A-Za-z]+\s*", "", line)
        line = re.sub(r"\\f(?:\[[^]]*\]|\(..|.)", "", line)
        line = line.replace("\\-", "-").replace("\\e", "\\").replace("\\(aq", "'")
        line = re.sub(r"\\[&%|^]", "", line).replace('"', " ")
        lines.append(line)
    return "\n".join(lines)


def sections(roff):
    """Section name -> plain text of that section."""
    found, name, body = {}, None, []
    for line in roff.splitlines():
        m = re.match(r'^\.SH\s+"?([^"]*)"?\s*$', line)
        if m:
            if name is not None:
                found[name] = plain_text("\n".join(body))
            name, body = m.group(1).strip(), []
        elif name is not None:
            body.append(line)
    if name is not None:
        found[name] = plain_text("\n".join(body))
    return found


def has_word(text, word):
    return re.search(r"(?<![\w.-])" + re.escape(word) + r"(?![\w-])", text) is not None


def usage_lines(help_text):
    """The synopsis lines of a --help text: the line starting "usage:" and
    the indented lines that follow it."""
    lines, inside = [], False
    for line in help_text.splitlines():
        if line.lower().startswith("usage:"):
            inside = True
            lines.append(line[len("usage:"):])
        elif inside and line.startswith(" "):
            lines.append(line)
        else:
            inside = False
    return lines


def synopsis_words(lines, program):
    """(commands, every word) of the usage lines: a command is the first word
    after the program's name when it is a plain lower-case word."""
    commands, words = set(), set()
    for line in lines:
        tokens = [t.rstrip(".,") for t in re.split(r"[\s\[\]|{}()]+", line) if t.rstrip(".,")]
        if tokens and tokens[0] == program:
            tokens = tokens[1:]
            if tokens and re.fullmatch(r"[a-z][a-z0-9-]*", tokens[0]):
                commands.add(tokens[0])
        words.update(tokens)
    return commands, words


def run(program, arg):
    result = subprocess.run([program, arg], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, timeout=30)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def check(page, program):
    name = os.path.basename(program)
    if not os.path.exists(page):
        return [f"{name} has no manual page (docs/man/{name}.1.in)"]
    roff = open(page, encoding="utf-8").read()
    problems = []

    rc, version_out = run(program, "--version")
    versions = VERSION.findall(version_out.splitlines()[0]) if version_out else []
    if rc != 0 or not versions:
        problems.append(f"{name} --version exits {rc} and prints {version_out!r}")
    elif version_out != f"{name} {versions[-1]}\n":
        # Every program answers in one form: its name and the version.
        problems.append(f"{name} --version prints {version_out!r}, not '{name} {versions[-1]}'")
    th = re.search(r'^\.TH\s+(\S+)\s+(\S+)\s+\S+\s+"([^"]*)"', roff, re.M)
    if th is None:
        problems.append("the page has no .TH line with a quoted source")
    else:
        if th.group(1) != name.upper() or th.group(2) != "1":
            problems.append(f".TH names {th.group(1)}({th.group(2)}), expected {name.upper()}(1)")
        page_versions = VERSION.findall(th.group(3))
        if versions and page_versions != versions[-1:]:
            problems.append(f"the page is of version {th.group(3)!r}, the program of {versions[-1]}")

    parts = sections(roff)
    for section in REQUIRED_SECTIONS:
        if section not in parts:
            problems.append(f"no {section} section")
    body = "\n".join(text for s, text in parts.items() if s not in ("NAME", "SYNOPSIS"))
    whole = plain_text(roff)

    rc, help_text = run(program, "--help")
    if rc != 0 or not help_text:
        return problems + [f"{name} --help exits {rc} and prints {help_text!r}"]
    lines = usage_lines(help_text)
    if not lines:
        problems.append(f"{name} --help has no usage line")
    commands, words = synopsis_words(lines, name)
    options = set(OPTION.findall(help_text))
    for word in sorted(words - {name}):
        if not has_word(whole, word):
            problems.append(f"the page lacks {word!r} of the usage")
    for word in sorted(commands | options):
        if not has_word(body, word):
            problems.append(f"the page does not describe {word!r}")
    for option in sorted(set(OPTION.findall(parts.get("SYNOPSIS", ""))) - options):
        problems.append(f"the page's synopsis has {option!r}, which --help does not name")

    variables = set(ENV_VAR.findall(help_text))
    environment = parts.get("ENVIRONMENT", "")
    for variable in sorted(variables):
        if not has_word(environment, variable):
            problems.append(f"the ENVIRONMENT section lacks {variable}")
    # The exit statuses: the paragraph from "exit status" to the next line
    # that starts a heading ("word...:") or the end.
    status = re.search(r"exit status(.*?)(?=\n[^\s:][^\n]*:\s*\n|\Z)", help_text, re.S | re.I)
    statuses = set(re.findall(r"(?<![\w.])\d+(?![\w.])", status.group(1))) if status else set()
    for code in sorted(statuses, key=int):
        if not has_word(parts.get("EXIT STATUS", ""), code):
            problems.append(f"the EXIT STATUS section lacks {code}")

    render = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", page],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if render.returncode != 0 or render.stderr:
        problems.append("groff: " + render.stderr.decode("utf-8", "replace").strip())
    print(f"{name}: {len(words)} usage words, {len(commands)} commands, {len(options)} options, "
          f"{len(variables)} environment variables, {len(statuses)} exit statuses checked")
    return problems


def main():
    page, program = sys.argv[1], sys.argv[2]
    problems = check(page, program)
    for p in problems:
        print("FAIL", p)
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
