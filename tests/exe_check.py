#!/usr/bin/python3
# exe_check.py SOURCE_DIR BUILD_DIR: the shipped exes as files, no Wine: PE
# headers, imports (each one on Windows XP), size, and every resource byte for
# byte against res/ and the dialog as the user sees it.
import os
import struct
import sys

import pefile

SOURCE, BUILD = sys.argv[1:3]
ICON, GROUP_ICON, DIALOG, MANIFEST, CHINESE = 3, 14, 5, 24, 2052
# Each exe the build must hold: manifest, dialog template id.
EXES = [
    ('brisvane.exe', 'res/brisvane.manifest', 101),
    ('brisvane-backup.exe', 'res/backup.manifest', None),
    ('brisvane-path.exe', 'res/path.manifest', None),
]
# The icon's images in the order Windows picks from: size, bits per pixel.
IMAGES = [(32, 8), (16, 8), (48, 32), (32, 24), (16, 32)]
COMMON_CONTROLS = b'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'
CAPTION = 'Brisvane' + ' ' * 37 + 'Built By Morvessa'
# The dialog's controls: style, x, y, width, height, id, class atom, text.
CONTROLS = [
    (0x50010001, 125, 41, 48, 15, 1004, 0x80, '开始清理'),
    (0x50020000, 7, 13, 289, 22, 0xFFFF, 0x82,
     '本程序会自动删除VC6.0在系统注册表内的遗留信息，使得之前用户设置全部重置，方便重新安装。'),
    (0x50A10103, 7, 88, 289, 45, 1005, 0x83, ''),
    (0x50020000, 7, 72, 48, 10, 0xFFFF, 0x82, '处理进度：'),
    (0x50020000, 161, 74, 135, 9, 0xFFFF, 0x82, '作者博客：'),
]
failures = []


def check(exe, what, actual, expected):
    if actual != expected:
        failures.append(f'{exe}: {what}: {actual!r}, expected {expected!r}'[:300])


def text(s):
    return s.encode('utf-16-le') + b'\0\0'


def dialog_template():
    out = struct.pack('<IIH4hHH', 0x80C808C0, 0, len(CONTROLS), 0, 0, 303, 140, 0, 0)
    out += text(CAPTION) + struct.pack('<H', 10) + text('宋体')
    for style, x, y, cx, cy, id, atom, label in CONTROLS:
        out += b'\0' * (-len(out) % 4)
        out += struct.pack('<II4hHHH', style, 0, x, y, cx, cy, id, 0xFFFF, atom) + text(label) + b'\0\0'
    return out


def icon_resources():
    ico = open(f'{SOURCE}/res/brisvane.ico', 'rb').read()
    group, images = ico[:6], {}
    for i in range(struct.unpack_from('<H', ico, 4)[0]):
        w, h, colours, _, planes, bits, size, offset = struct.unpack_from('<BBBBHHII', ico, 6 + 16 * i)
        group += struct.pack('<BBBBHHIH', w, h, colours, 0, planes, bits, size, i + 1)
        images[i + 1] = ico[offset:offset + size]
    return group, images


def check_exe(exe, manifest, dialog):
    pe = pefile.PE(f'{BUILD}/{exe}')
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    lines = [line.split() for line in open(f'{SOURCE}/tests/xp-imports.txt') if line.strip() and line[0] != '#']
    allowed = {(dll, f) for dll, *functions in lines for f in functions}
    imports = [(entry.dll.decode(), imp.name.decode() if imp.name else f'#{imp.ordinal}')
               for entry in pe.DIRECTORY_ENTRY_IMPORT for imp in entry.imports]
    found = {(kind.id, item.id, lang.id): pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
             for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries for item in kind.directory.entries
             for lang in item.directory.entries}
    group, images = icon_resources()
    expected = {(ICON, id, CHINESE): image for id, image in images.items()}
    expected[GROUP_ICON, 1, CHINESE] = group
    expected[MANIFEST, 1, CHINESE] = asks = open(f'{SOURCE}/{manifest}', 'rb').read()
    if dialog:
        expected[DIALOG, dialog, CHINESE] = dialog_template()
    # Besides, what Windows XP reads: icon images as BMPs, not PNGs; a manifest
    # that asks for the themed controls and for no elevation.
    for what, actual, wanted in [
        ('machine', fh.Machine, 0x14C), ('optional header magic', oh.Magic, 0x10B), ('subsystem (GUI)', oh.Subsystem, 2),
        ('subsystem version', (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion), (4, 0)),
        ('DYNAMIC_BASE', oh.DllCharacteristics & 0x40, 0x40), ('NX_COMPAT', oh.DllCharacteristics & 0x100, 0x100),
        ('time stamp (reproducible)', fh.TimeDateStamp, 0), ('executable, not a DLL', fh.Characteristics & 0x2002, 0x2),
        ('bytes over 64 KiB', max(len(pe.__data__) - 65536, 0), 0),
        ('delay imports', hasattr(pe, 'DIRECTORY_ENTRY_DELAY_IMPORT'), False),
        ('resources (type, id, language)', sorted(found), sorted(expected)),
        ('manifest: common controls 6, trustInfo', (asks.count(COMMON_CONTROLS), b'trustInfo' in asks), (1, False)),
    ] + [(f'{dll} {name} on Windows XP', (dll.upper(), name) in allowed, True) for dll, name in imports] + [
        (f'resource {key}', found[key], expected[key]) for key in sorted(found.keys() & expected.keys())] + [
        (f'icon image {i + 1}', struct.unpack_from('<IiiHH', images.get(i + 1, bytes(16))), (40, size, size * 2, 1, bits))
        for i, (size, bits) in enumerate(IMAGES)]:
        check(exe, what, actual, wanted)


for exe, manifest, dialog in EXES:
    if os.path.exists(f'{BUILD}/{exe}'):
        check_exe(exe, manifest, dialog)
    else:
        failures.append(f'{exe}: not in {BUILD}; build it first')
print(*failures, f'exe check: {len(EXES)} exes, {len(failures)} failures', sep='\n')
sys.exit(1 if failures else 0)
