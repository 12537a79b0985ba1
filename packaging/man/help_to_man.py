#!/usr/bin/python3
"""Writes a program's manual page from its --help, so that the page says
what the program says: the usage lines become the synopsis, each headed
block of the help a subsection, each option or term a tagged paragraph.
Hand-written sections (description, examples, files, see also) come from
a page file of roff, inserted around what the help gives.

usage: help_to_man.py PROGRAM NAME_LINE PAGE_FILE OUTPUT [HELP_ARGS...]

PAGE_FILE holds roff under markers "@DESCRIPTION" (after the synopsis) and
"@END" (after the options); lines before the first marker are ignored."""

import re
import subprocess
import sys

GAP = re.compile(r"\S( {2,})\S")
OPTION = re.compile(r"(?<![\w\\])(--?[A-Za-z][\w-]*)")


def ascii_roff(text):
    """Characters past ASCII as groff's \\[uXXXX], so the page is read alike in any locale."""
    return "".join(c if ord(c) < 128 else "\\[u%04X]" % ord(c) for c in text)


def escaped(text):
    """Roff text: backslashes and options' hyphens escaped, non-ASCII as \\[uXXXX]."""
    text = text.replace("\\", "\\e")
    text = OPTION.sub(lambda m: m.group(1).replace("-", "\\-"), text)
    text = ascii_roff(text)
    return "\\&" + text if text[:1] in (".", "'") else text


def tag(text):
    """A term in bold for options and literal words, italic for placeholders."""
    words = []
    for word in text.split(" "):
        if not word:
            continue
        font = "I" if re.fullmatch(r"[A-Z][A-Z_:,.\[\]]*", word) else "B"
        words.append("\\f%s%s\\fR" % (font, escaped(word)))
    return " ".join(words)


def indent(line):
    return len(line) - len(line.lstrip(" "))


def logical_blocks(lines):
    """Blocks of the help: a line at the margin (consecutive ones joined)
    with the indented lines under it; a blank line ends a block."""
    blocks, head, body = [], None, []
    for line in lines + [""]:
        if not line.strip():
            if head is not None or body:
                blocks.append((head or "", body))
            head, body = None, []
        elif indent(line) == 0 and not body:
            head = line if head is None else head + " " + line
        elif indent(line) == 0:
            blocks.append((head or "", body))
            head, body = line, []
        else:
            body.append(line)
    return blocks


def split_heading(head):
    """(heading, text after it): "poll: polls the unit" gives both; a line
    ending in a colon is a heading alone; a sentence is text alone."""
    if head.endswith(":"):
        return head[:-1], ""
    match = re.match(r"([a-z][^:]*?): (.*)", head)
    if match:
        return match.group(1), match.group(2)
    return "", head


def synopsis(program, blocks):
    """The usage lines of every usage block, each command on its own."""
    out = []
    for head, body in blocks:
        if not head.lower().startswith("usage:"):
            continue
        first = head[len("usage:"):].strip()
        commands = ([first] if first else []) + [line.strip() for line in body]
        for text in commands:
            if text.startswith(program + " ") or text == program:
                out.append(".ti -4n")
                out.append("\\fB%s\\fR %s" % (program, escaped(text[len(program):].strip())))
            elif out:
                out[-1] += " " + escaped(text)
    # Each command on its own line, its wrapped rest hanging under it.
    return [".nh", ".ad l", ".in +4n"] + out + [".in", ".ad", ".hy"] if out else []


def term_column(body):
    """The column where the descriptions of a block's terms start, as most
    of its aligned lines have it."""
    columns = [indent(line) + m.end(1) for line in body for m in [GAP.search(line.strip())] if m]
    return max(set(columns), key=columns.count) if columns else None


def split_term(line, column):
    """(term, description) of a term's line, or None for other lines. A term
    wider than its column is kept apart from its text by one space only."""
    text = line.strip()
    gap = GAP.search(text)
    if gap:
        return text[:gap.start(1)], text[gap.end(1):]
    if column and text.startswith("-") and len(line) > column and line[column - 1] == " " \
            and line[column] != " ":
        return line[:column].strip(), line[column:].strip()
    return None


def body_lines(body):
    """Tagged paragraphs for terms ("--opt ARG   what it does"), their
    continuations, aligned tables under them kept as they are, and prose."""
    out, item_indent, table_indent = [], None, None
    column = term_column(body)

    for line in body:
        text = line.strip()
        depth = indent(line)
        if item_indent is not None and depth > item_indent and not text.startswith("e.g. "):
            if table_indent is None and GAP.search(text):
                out.extend([".RS", ".nf"])
                table_indent = depth
            elif table_indent is not None and depth != table_indent:
                out.extend([".fi", ".RE", ".IP"])
                table_indent = None
            out.append(escaped(text))
            continue
        if table_indent is not None:
            out.extend([".fi", ".RE"])
            table_indent = None
        term = split_term(line, column) if item_indent in (None, depth) else None
        if text.startswith("e.g. "):
            out.extend([".PP", ".nf", escaped(text), ".fi"])
            item_indent = None
        elif term:
            out.extend([".TP", tag(term[0]), escaped(term[1])])
            item_indent = depth
        elif item_indent is not None:
            out.extend([".PP", escaped(text)])
            item_indent = None
        else:
            out.append(escaped(text))
    if table_indent is not None:
        out.extend([".fi", ".RE"])
    return out


def options_section(blocks):
    out = []
    for head, body in blocks:
        if head.lower().startswith("usage:"):
            continue
        heading, text = split_heading(head)
        if heading:
            out.append('.SS "%s"' % escaped(heading))
        else:
            out.append(".PP")
        if text:
            out.append(escaped(text))
        out.extend(body_lines(body))
    return out


def page_sections(page_file):
    sections, current = {}, None
    with open(page_file, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("@"):
                current = line[1:].strip()
                sections[current] = []
            elif current:
                sections[current].append(ascii_roff(line))
    return sections


def main():
    program_path, name_line, page_file, output = sys.argv[1:5]
    help_args = sys.argv[5:] or ["--help"]
    program = program_path.rsplit("/", 1)[-1]
    env = {"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"}
    run = lambda args: subprocess.run([program_path] + args, check=True, capture_output=True,
                                      text=True, encoding="utf-8", env=env, timeout=30).stdout
    version = run(["--version"]).strip()
    lines = []
    for args in help_args:
        lines += run(args.split()).splitlines() + [""]
    blocks = logical_blocks(lines)
    sections = page_sections(page_file)
    page = ['.\\" Written from "%s %s" by help_to_man.py; edit the help or %s.'
            % (program, " | ".join(help_args), page_file.rsplit("/", 1)[-1]),
            '.TH %s 1 "" "%s" "User Commands"' % (program.upper(), escaped(version)),
            ".SH NAME", "%s \\- %s" % (program, escaped(name_line)),
            ".SH SYNOPSIS"] + synopsis(program, blocks)
    page += [".SH DESCRIPTION"] + sections.get("DESCRIPTION", [])
    page += [".SH OPTIONS"] + options_section(blocks)
    page += sections.get("END", [])
    with open(output, "w", encoding="ascii") as f:
        f.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
