#!/usr/bin/env python3
"""Writes a program's manual page from its own --help, so the two cannot disagree.

    man-page.py OUTPUT VERSION DATE PROGRAM [ARGUMENT...]

runs PROGRAM ARGUMENT... (its --help) and turns what it prints into roff:

    usage: NAME ...           the SYNOPSIS; NAME names the page
    a paragraph               the DESCRIPTION; its first sentence is the NAME line's summary
    section:                  a line at the left margin ending in ":" starts a section
    text at the left margin   a paragraph of the section
      term      description   two spaces, the term, two or more spaces, its description
                description   a line indented to the description column goes on with it
        more of the term      a line indented less goes on with the term
"""

import re
import subprocess
import sys

PLACEHOLDER = re.compile(r"^[A-Z][A-Z_]*(\.\.\.)?$")
OPTION = re.compile(r"^-{1,2}[A-Za-z0-9][A-Za-z0-9-]*$")
PAGE_REFERENCE = re.compile(r"([A-Za-z][A-Za-z0-9.-]*)\((\d)\)")


def escape(text):
    """Plain text as roff text: backslashes, minus signs and anything beyond ASCII."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    text = "".join(c if ord(c) < 128 else "\\[u%04X]" % ord(c) for c in text)
    return text


def line(text):
    """One line of roff text; a leading . or ' would make it a request."""
    return "\\&" + text if text[:1] in (".", "'") else text


def styled(term, first_bold=True):
    """A term: its first word and every option in bold, each placeholder in italics."""
    words = re.split(r"(\s+|[\[\]|,])", term)
    out = []
    first = first_bold
    for word in words:
        if not word or word.isspace() or word in "[]|,":
            out.append(escape(word))
            continue
        if first or OPTION.match(word):
            out.append("\\fB" + escape(word) + "\\fR")
        elif PLACEHOLDER.match(word):
            out.append("\\fI" + escape(word) + "\\fR")
        else:
            out.append(escape(word))
        first = False
    return "".join(out)


def references(text):
    """quelmo-cli(1) as the page names it: the name in bold."""
    return PAGE_REFERENCE.sub(lambda m: "\\fB" + m.group(1) + "\\fR(" + m.group(2) + ")", text)


def parse(help_text):
    lines = help_text.rstrip("\n").split("\n")
    match = re.match(r"usage: (\S+)(.*)$", lines[0])
    if not match:
        raise SystemExit("man-page.py: the help does not start with 'usage: NAME'")
    name, arguments = match.group(1), match.group(2).strip()
    # (title, blocks); a block is ("text", [lines]), ("entry", term, [lines]) or ("break",)
    sections = [("DESCRIPTION", [])]
    column = None  # of the section's descriptions, set by its first entry
    for raw in lines[1:]:
        blocks = sections[-1][1]
        if not raw.strip():
            blocks.append(("break",))
            continue
        indent = len(raw) - len(raw.lstrip(" "))
        text = raw.strip()
        heading = text.endswith(":") and len(text.split()) <= 3
        if indent == 0 and heading and text[:-1].replace(" ", "").isalpha():
            sections.append((text[:-1].upper(), []))
            column = None
        elif indent == 0:
            if blocks and blocks[-1][0] == "text":
                blocks[-1][1].append(text)
            else:
                blocks.append(("text", [text]))
        elif indent == 2:
            parts = re.split(r" {2,}", text, maxsplit=1)
            term = parts[0]
            if len(parts) == 2:
                column = len(raw) - len(parts[1])
            blocks.append(("entry", term, parts[1:]))
        elif blocks and blocks[-1][0] == "entry":
            entry = blocks[-1]
            if column is None:
                raise SystemExit("man-page.py: a section's first entry must have its description "
                                 "on the term's line: " + entry[1])
            if indent >= column:
                entry[2].append(text)
            elif entry[2]:
                raise SystemExit("man-page.py: the term goes on after its description: " + raw)
            else:
                blocks[-1] = ("entry", entry[1] + " " + text, entry[2])
        else:
            raise SystemExit("man-page.py: an indented line outside an entry: " + raw)
    return name, arguments, sections


def render(name, arguments, sections, version, date):
    description = sections[0][1]
    paragraphs = [b[1] for b in description if b[0] == "text"]
    if not paragraphs:
        raise SystemExit("man-page.py: the help has no description paragraph")
    first = " ".join(paragraphs[0])
    summary = re.split(r"(?<=\.)\s", first, maxsplit=1)[0].rstrip(".")
    summary = summary[:1].lower() + summary[1:]

    out = [
        '.TH "%s" 1 "%s" "Quelmo %s" "User Commands"' % (escape(name.upper()), date, version),
        # Left-aligned and unhyphenated: paths and setting names break badly.
        ".ad l",
        ".nh",
        ".SH NAME",
        escape(name) + " \\- " + escape(summary),
        ".SH SYNOPSIS",
        ".B " + escape(name),
        styled(arguments, first_bold=False),
    ]
    for title, blocks in sections:
        out.append(".SH " + escape(title))
        fresh = True
        for block in blocks:
            if block[0] == "break":
                fresh = True
            elif block[0] == "text":
                if not fresh:
                    out.append(".PP")
                out.extend(line(references(escape(t))) for t in block[1])
                fresh = False
            elif not block[2]:
                # A term alone (a list of pages to see) is a line of its own.
                if not fresh:
                    out.append(".PP")
                out.append(line(references(escape(block[1]))))
                fresh = False
            else:
                out.append(".TP")
                out.append(line(styled(block[1])))
                if len(block[1]) > 6:
                    # Wider than the indent: the description starts below the term, also when
                    # the term wraps and its last line is short.
                    out.append(".br")
                out.extend(line(references(escape(t))) for t in block[2])
                fresh = False
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) < 5:
        raise SystemExit(__doc__)
    output, version, date, command = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    help_text = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    name, arguments, sections = parse(help_text)
    with open(output, "w", encoding="ascii") as page:
        page.write(render(name, arguments, sections, version, date))


if __name__ == "__main__":
    main()
