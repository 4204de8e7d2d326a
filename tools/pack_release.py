#!/usr/bin/env python3
# Packs a release: dist/brisvane-VERSION.zip, holding the shipped exes and the
# Chinese user guide, and dist/SHA256SUMS beside it. The same inputs give the
# same bytes: fixed times, order and attributes.
#
#   pack_release.py SOURCE_DIR EXE_DIR OUT_DIR
#
# The guide is README.zh-CN.md made into plain text for Notepad on every
# Windows from XP on: UTF-8 with a byte-order mark, CRLF, lines wrapped.
import hashlib
import re
import struct
import sys
import unicodedata
import zipfile
import zlib
from pathlib import Path

WIDTH = 72
GUIDE_NAME = "使用说明.txt"
EXES = ["brisvane.exe", "brisvane-backup.exe", "brisvane-path.exe"]
# Punctuation that may not start a line, and that may not end one.
NO_LINE_START = set("，。、；：！？）」』”’》〉…,.;:!?)")
NO_LINE_END = set("（「『“‘《〈(")


# Chinese fonts draw these punctuation marks two columns wide, as Notepad does.
def width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" or c in "“”‘’…→—" else 1 for c in text)


# What a line may not break: a code span (set apart by 「」 as by the spaces
# around it), a short quote such as a menu name, a number with the CJK words
# around it ("第 3 项", "64 位"), ASCII words with the spaces between them.
UNIT = re.compile(r" ?`[^`]+` ?|“[^“”]{1,16}”|(?:[^\x00-\x7f] )?\d[\d,.]* [^\x00-\x7f]|[!-~]+(?: [!-~]+)*| +|.")


def units(text):
    """The text cut into UNITs, CJK characters and runs of spaces, with
    punctuation kept on the side of the line it belongs to."""
    out = []
    for piece in UNIT.findall(text):
        piece = f"「{piece.strip()[1:-1]}」" if re.fullmatch(r" ?`.+` ?", piece) else piece
        if out and (piece[0] in NO_LINE_START or out[-1][-1] in NO_LINE_END) and not out[-1].isspace():
            out[-1] += piece
        else:
            out.append(piece)
    return out


def wrap(text, first, rest):
    lines, line = [], first
    for unit in units(text):
        if unit.isspace():
            if line.strip():
                line += " "
            continue
        # A key path too long for any line breaks after a backslash only, the
        # rest indented further, so that it reads as one path.
        pieces = re.findall(r"[^\\]*\\|[^\\]+", unit) if width(rest + unit) > WIDTH else [unit]
        for piece in pieces:
            if width(line.rstrip() + piece) > WIDTH and line.strip() and len(line) > len(rest):
                lines.append(line.rstrip())
                line = rest + "    " * (len(pieces) > 1)
            line += piece
    lines.append(line.rstrip())
    return lines


# Links reduced to their text; emphasis kept visible, as the warnings depend
# on it: **注意：** becomes 【注意】. Code spans stay marked until wrapped, as
# they must not break.
def plain(text):
    text = re.sub(r"\*\*(.+?)[：:]?\*\*", r"【\1】", text)
    return re.sub(r"\[([^\]]+)\]\([^)]*\)", r"\1", text)


def guide(readme, version, date):
    text = re.sub(r"<!-- web only -->.*?<!-- end web only -->\n", "", readme, flags=re.S)
    out = []
    for line in text.split("\n"):
        if line.startswith("# "):
            title = plain(line[2:]).replace("`", "")
            out += [title, "=" * width(title), "", f"版本 {version}（{date}）"]
        elif line.startswith("## "):
            title = plain(line[3:]).replace("`", "")
            out += [title, "-" * width(title)]
        elif line.startswith("    ") or not line.strip():
            if line.strip() or (out and out[-1]):
                out.append(line.rstrip())
        else:
            m = re.match(r"(> |- |\d+\. )?(.*)", line)
            marker = m.group(1) or ""
            # A quoted note stands out by its indent; list items hang theirs.
            indent = "" if not marker else " " * len(marker)
            out += wrap(plain(m.group(2)), "  " if marker == "> " else indent and marker, indent)
    return "\ufeff" + "\r\n".join(out).strip("\r\n") + "\r\n"


class Entry(zipfile.ZipInfo):
    """A member whose name Chinese Windows reads right: in code page 936, as
    Explorer's zip folders expect, with the UTF-8 spelling in an Info-ZIP
    Unicode Path field for tools that look for it."""

    def __init__(self, name, date):
        super().__init__(name, date)
        self.compress_type = zipfile.ZIP_DEFLATED
        self.create_system = 0
        self.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
        gbk = name.encode("gbk")
        if gbk != name.encode("ascii", "replace"):
            utf8 = name.encode("utf-8")
            self.extra = struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, zlib.crc32(gbk)) + utf8

    def _encodeFilenameFlags(self):
        return self.filename.encode("gbk"), self.flag_bits


def main(source, exes, out):
    source, out = Path(source), Path(out)
    version, date = (source / "VERSION").read_text(encoding="ascii").split()
    stamp = tuple(int(x) for x in date.split("-")) + (0, 0, 0)
    members = [(name, (Path(exes) / name).read_bytes()) for name in EXES] + [
        (GUIDE_NAME, guide((source / "README.zh-CN.md").read_text(encoding="utf-8"), version, date).encode("utf-8")),
    ]
    out.mkdir(parents=True, exist_ok=True)
    archive = out / f"brisvane-{version}.zip"
    with zipfile.ZipFile(archive, "w") as z:
        for name, data in members:
            z.writestr(Entry(name, stamp), data, compresslevel=9)
    sums = [(archive.name, archive.read_bytes())] + members[: len(EXES)]
    (out / "SHA256SUMS").write_text(
        "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in sums), encoding="ascii")
    print(archive)
    print(out / "SHA256SUMS")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: pack_release.py SOURCE_DIR EXE_DIR OUT_DIR")
    main(*sys.argv[1:])
