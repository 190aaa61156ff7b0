#!/usr/bin/env python3
"""Writes the man page of one of our programs with help2man from the program's own --help, adding
a section for each subcommand from that subcommand's --help, and compresses it the way Debian
wants (gzip -9n: no file name, no time stamp, so one build always gives the same bytes)."""
import argparse
import gzip
import os
import re
import subprocess
import sys
import tempfile


def roff(text):
    text = text.replace("\\", "\\e")
    return re.sub(r"^([.'])", r"\\&\1", text, flags=re.M)


def subcommand_section(program, name):
    out = subprocess.run([program, name, "--help"], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    summary = lines[0].strip() if lines else ""
    body = [f".TP\n.B {name}\n{roff(summary)}", ".RS"]
    options = []
    for line in lines:
        m = re.match(r"^  (-\S.*?)(?:\s{2,}(\S.*))?$", line)
        if m:
            options.append([m.group(1).strip(), m.group(2) or ""])
        elif options and line.startswith("      ") and line.strip():
            options[-1][1] = (options[-1][1] + " " + line.strip()).strip()
    for flag, help_text in options:
        if flag.startswith("-h,--help"):
            continue
        body.append(f".TP\n\\fB{roff(flag)}\\fR\n{roff(help_text)}")
    body.append(".RE")
    return "\n".join(body)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--help2man", default="help2man")
    ap.add_argument("--program", required=True)
    ap.add_argument("--include", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--subcommand", action="append", default=[])
    ap.add_argument("--out", required=True, help="the .1.gz to write")
    args = ap.parse_args()

    with open(args.include, encoding="utf-8") as f:
        include = f.read()
    if args.subcommand:
        sections = [subcommand_section(args.program, s) for s in args.subcommand]
        include = include.replace("@SUBCOMMANDS@", "\n".join(sections))
    with tempfile.TemporaryDirectory() as tmp:
        h2m = os.path.join(tmp, "page.h2m")
        page = os.path.join(tmp, "page.1")
        with open(h2m, "w", encoding="utf-8") as f:
            f.write(include)
        env = dict(os.environ, COLUMNS="80")
        subprocess.run([args.help2man, "--no-info", "--no-discard-stderr", f"--include={h2m}",
                        f"--version-string={args.version}", f"--output={page}", args.program],
                       check=True, env=env)
        with open(page, "rb") as f:
            data = f.read()
    with open(args.out, "wb") as f:
        with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=f, mtime=0) as z:
            z.write(data)


if __name__ == "__main__":
    try:
        main()
    except subprocess.CalledProcessError as e:
        sys.exit(f"make-man-page: {e}")
