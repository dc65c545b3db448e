#!/usr/bin/env python3
"""Writes CHANGELOG.md as the Debian package's changelog.gz: one Debian
changelog entry per `## VERSION (YYYY-MM-DD)` section, each paragraph or
list item of the section one `*` item, wrapped to 80 columns, signed by the
package's maintainer on the section's date; compressed as dpkg expects
(gzip at its best compression, no name or time stamp in the header).

usage: debian_changelog.py CHANGELOG.md PACKAGE "MAINTAINER <MAIL>" OUT.gz
"""
import datetime
import email.utils
import gzip
import re
import sys
import textwrap

HEADING = re.compile(r"^## (\S+) \((\d{4})-(\d{2})-(\d{2})\)$")


def sections(markdown):
    """(version, date, [item text...]) for each version section, in order."""
    found = []
    item = None
    for line in markdown.splitlines():
        heading = HEADING.match(line)
        if heading:
            date = datetime.datetime(*map(int, heading.group(2, 3, 4)),
                                     tzinfo=datetime.timezone.utc)
            found.append((heading.group(1), date, []))
            item = None
        elif line.startswith("#"):
            if found:
                raise ValueError(f"heading {line!r} is not '## VERSION (YYYY-MM-DD)'")
        elif not found:
            continue
        elif not line.strip():
            item = None
        elif item is None or line.startswith("- "):
            item = [line[2:] if line.startswith("- ") else line.strip()]
            found[-1][2].append(item)
        else:
            item.append(line.strip())
    return [(version, date, [" ".join(words) for words in items])
            for version, date, items in found]


def debian_changelog(markdown, package, maintainer):
    entries = []
    for version, date, items in sections(markdown):
        if not items:
            raise ValueError(f"version {version} has no entries")
        lines = [f"{package} ({version}) stable; urgency=medium", ""]
        for text in items:
            lines += textwrap.wrap(text, width=80, initial_indent="  * ",
                                   subsequent_indent="    ", break_on_hyphens=False)
        lines += ["", f" -- {maintainer}  {email.utils.format_datetime(date)}"]
        entries.append("\n".join(lines) + "\n")
    if not entries:
        raise ValueError("no '## VERSION (YYYY-MM-DD)' section")
    return "\n".join(entries)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.strip().splitlines()[-1])
    source, package, maintainer, out = sys.argv[1:]
    with open(source, encoding="utf-8") as f:
        text = debian_changelog(f.read(), package, maintainer)
    with open(out, "wb") as f, gzip.GzipFile(filename="", mode="wb", fileobj=f,
                                             compresslevel=9, mtime=0) as packed:
        packed.write(text.encode("utf-8"))


if __name__ == "__main__":
    main()
