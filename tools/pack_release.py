#!/usr/bin/env python3
# pack_release.py SOURCE_DIR EXE_DIR OUT_DIR: brisvane-VERSION.zip, the
# shipped exes and README.zh-CN.md as plain text for Notepad from XP on (BOM,
# CRLF, wrapped), SHA256SUMS and the zip's SHA-256. Fixed times, order, attributes.
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
NO_LINE_START = set("，。、；：！？）」』”’》〉…,.;:!?)")
NO_LINE_END = set("（「『“‘《〈(")


# Notepad's columns, in a Chinese font.
def width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" or c in "“”‘’…→—" else 1 for c in text)


# Not broken: a code span, a short quote, a number with the CJK words around
# it ("第 3 项"), ASCII words with the spaces between them.
UNIT = re.compile(r" ?`[^`]+` ?|“[^“”]{1,16}”|(?:[^\x00-\x7f] )?\d[\d,.]* [^\x00-\x7f]|[!-~]+(?: [!-~]+)*| +|.")


def units(text):
    """UNITs, punctuation kept on the side of the line it belongs to."""
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
        # A key path too long for any line breaks after a backslash, indented further.
        pieces = re.findall(r"[^\\]*\\|[^\\]+", unit) if width(rest + unit) > WIDTH else [unit]
        for piece in pieces:
            if width(line.rstrip() + piece) > WIDTH and line.strip() and len(line) > len(rest):
                lines.append(line.rstrip())
                line = rest + "    " * (len(pieces) > 1)
            line += piece
    lines.append(line.rstrip())
    return lines


# Links reduced to their text; **注意：** becomes 【注意】, as the warnings
# depend on it.
def plain(text):
    text = re.sub(r"\*\*(.+?)[：:]?\*\*", r"【\1】", text)
    return re.sub(r"\[([^\]]+)\]\([^)]*\)", r"\1", text)


def guide(readme, version, date):
    text = re.sub(r"<!-- web only -->.*?<!-- end web only -->\n", "", readme, flags=re.S)
    out = []
    for line in text.split("\n"):
        head = re.match(r"(#{1,2}) (.*)", line)
        if head:
            title = plain(head.group(2)).replace("`", "")
            out += [title, "=-"[len(head.group(1)) - 1] * width(title)] + ["", f"版本 {version}（{date}）"] * (head.group(1) == "#")
        elif line.startswith("    ") or not line.strip():
            if line.strip() or (out and out[-1]):
                out.append(line.rstrip())
        else:
            m = re.match(r"(> |- |\d+\. )?(.*)", line)
            marker = m.group(1) or ""
            out += wrap(plain(m.group(2)), "  " if marker == "> " else marker, " " * len(marker))
    return "\ufeff" + "\r\n".join(out).strip("\r\n") + "\r\n"


# A name in code page 936, as Explorer expects, and in UTF-8 in an Info-ZIP Unicode Path field.
class Entry(zipfile.ZipInfo):
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
    members = [(name, (Path(exes) / name).read_bytes()) for name in EXES]
    members.append((GUIDE_NAME, guide((source / "README.zh-CN.md").read_text(encoding="utf-8"), version, date).encode()))
    out.mkdir(parents=True, exist_ok=True)
    archive = out / f"brisvane-{version}.zip"
    with zipfile.ZipFile(archive, "w") as z:
        for name, data in members:
            z.writestr(Entry(name, stamp), data, compresslevel=9)
    files = [(archive.name, archive.read_bytes())] + members[: len(EXES)]
    sums = [(hashlib.sha256(data).hexdigest(), name) for name, data in files]
    (out / "SHA256SUMS").write_text("".join(f"{sha}  {name}\n" for sha, name in sums), encoding="ascii")
    print(archive, out / "SHA256SUMS", f"SHA-256 {sums[0][0]}  {archive}", sep="\n")


if __name__ == "__main__":
    main(*sys.argv[1:]) if len(sys.argv) == 4 else sys.exit("usage: pack_release.py SOURCE_DIR EXE_DIR OUT_DIR")
