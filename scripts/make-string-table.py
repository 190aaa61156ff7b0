#!/usr/bin/env python3
"""Writes the Windows string table of PX550Updater.exe from engine/strings.inc, the one list of
the updater's message texts, so that the dialog program and the engine cannot disagree."""
import argparse
import re
import sys

ENTRY = re.compile(r'^PX_TEXT\((IDS_[A-Z0-9_]+), ([0-9]+), "([^"\\]*)"\)$')


def read_entries(path):
    entries = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("//"):
                continue
            m = ENTRY.match(line)
            if not m:
                sys.exit(f"{path}:{number}: not a PX_TEXT(IDS_NAME, id, \"plain text\") entry: {line}")
            entries.append((m.group(1), int(m.group(2)), m.group(3)))
    ids = [e[1] for e in entries]
    if len(set(ids)) != len(ids) or ids != sorted(ids):
        sys.exit(f"{path}: the ids must be unique and in ascending order")
    return entries


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("strings_inc")
    ap.add_argument("out_rc")
    args = ap.parse_args()
    lines = ["// Written by the build from engine/strings.inc; edit that file instead.",
             "STRINGTABLE", "BEGIN"]
    lines += [f'    {id_} "{text}"  // {name}' for name, id_, text in read_entries(args.strings_inc)]
    lines += ["END", ""]
    text = "\n".join(lines)
    try:
        with open(args.out_rc, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(args.out_rc, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
