#!/usr/bin/env python3
# header-man-pages.py HEADER OUTDIR - writes the section-3 manual pages of the C API from
# qel_zmq.h's own comments: qel_zmq.3, the overview, and one page per exported function,
# so that the header stays the one place where the interface is described.
import re
import sys


def roff(text):
    """One line of comment text as roff input: backslashes escaped, no control line."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def paragraphs(lines, params=()):
    """Comment lines as roff: blank lines part paragraphs, a parameter's line opens a tag."""
    out, fresh = [], True
    for line in lines:
        stripped = line.strip()
        if not stripped:
            fresh = True
            continue
        match = re.match(r"(\w+):\s+(.*)", stripped)
        if match and match.group(1) in params:
            out += [".TP", "\\fI%s\\fR" % match.group(1), roff(match.group(2))]
            fresh = False
            continue
        if fresh:
            out.append(".PP")
            fresh = False
        out.append(roff(stripped))
    return out


def comment_lines(body):
    return [re.sub(r"^ ?\* ?", "", line) for line in body.strip("\n").split("\n")]


def main(header, outdir):
    text = open(header, encoding="utf-8").read()
    version = ".".join(re.search(r"#define QEL_ZMQ_VERSION_%s (\d+)" % part, text).group(1)
                       for part in ("MAJOR", "MINOR", "PATCH"))
    # Each exported function is its comment block followed by its QEL_ZMQ_API line.
    functions = re.findall(r"/\*\n((?: \*.*\n)+?) \*/\n(QEL_ZMQ_API ([^;]*?(\w+)\(([^)]*)\)));",
                           text)
    if len(functions) != 5:
        sys.exit("%s: found %d exported functions, not 5" % (header, len(functions)))
    names = [f[3] for f in functions]
    summaries = {}
    th = '.TH %s 3 "" "QEL_ZMQ %s" "QEL_ZMQ Library Functions"'
    link = ["Link with \\fB\\-lqel_zmq\\fR (\\fBpkg\\-config \\-\\-libs qel_zmq\\fR)."]

    for body, _, proto, name, args in functions:
        lines = comment_lines(body)
        first = lines[0].split(" - ", 1)
        if first[0] != name:
            sys.exit("%s: the comment above %s names %s" % (header, name, first[0]))
        lines[0] = first[1]
        # The NAME line says what the call does in its comment's opening words.
        summary = re.split(r"[.:] ", " ".join(l.strip() for l in lines[:3]) + " ")[0]
        if len(summary) > 80:
            summary = summary.split(", ")[0]
        summaries[name] = summary
        params = re.findall(r"(\w+)\s*(?:,|$)", args)
        page = [th % (name.upper(), version), ".SH NAME",
                "%s \\- %s (qel_zmq)" % (name, roff(summary)), ".SH SYNOPSIS", ".nf",
                ".B #include <qel_zmq.h>", ".PP", ".B \"%s;\"" % roff(proto), ".fi", ".PP"]
        description = paragraphs(lines, params)
        description[1] = "\\fB%s\\fR \\- %s" % (name, description[1])
        page += link + [".SH DESCRIPTION"] + description
        page += [".SH SEE ALSO", ",\n".join(".BR %s (3)" % n for n in ["qel_zmq"] +
                                            [n for n in names if n != name])]
        write(outdir, name, page)

    # The overview: the header's opening comment, its general notes and the five calls.
    opening = comment_lines(re.match(r"/\* (.*?)\*/", text, re.S).group(1))
    opening[0] = opening[0].split(" - ", 1)[1]
    purpose = " ".join(opening).split(". ")[0].rstrip(".")
    general = re.search(r"/\*\n((?: \*.*\n)+?) \*/\n\n/\*\n \* %s - " % names[0], text)
    page = [th % ("QEL_ZMQ", version), ".SH NAME",
            "qel_zmq \\- %s" % roff(purpose), ".SH SYNOPSIS",
            ".nf", ".B #include <qel_zmq.h>", ".PP"]
    page += [".B \"%s;\"" % roff(f[2]) for f in functions] + [".fi", ".PP"] + link
    page += [".SH DESCRIPTION"] + paragraphs(opening)
    page += paragraphs(comment_lines(general.group(1)) if general else [])
    page += [".PP", "The calls, in the order a host makes them:"]
    for name in names:
        page += [".TP", ".BR %s (3)" % name, roff(summaries[name])]
    page += [".SH SEE ALSO", ",\n".join(".BR %s (3)" % n for n in names)]
    write(outdir, "qel_zmq", page)


def write(outdir, name, page):
    with open("%s/%s.3" % (outdir, name), "w", encoding="utf-8") as out:
        out.write(".\\\" %s.3 - generated from qel_zmq.h by header-man-pages.py.\n" % name)
        out.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
