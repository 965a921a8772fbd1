#!/usr/bin/env python3
"""Reads the resources out of the built FWUpdate_KLV_R20P.exe and checks what the resource
compiler made of updater.rc: the dialog template byte for byte in its fields, the
string table with real CR LF pairs, the icon group, the manifest, the version and the
embedded package."""
import struct
import sys

RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24


def resources(path):
    data = open(path, 'rb').read()
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    sections = struct.unpack_from('<H', data, pe + 6)[0]
    optional = struct.unpack_from('<H', data, pe + 20)[0]
    table = pe + 24 + optional
    for i in range(sections):
        name, vsize, va, rsize, raw = struct.unpack_from('<8sIIII', data, table + 40 * i)
        if name.rstrip(b'\0') == b'.rsrc':
            break
    else:
        raise SystemExit('no .rsrc section')

    def name_of(entry, base):
        if entry & 0x80000000:
            off = base + (entry & 0x7FFFFFFF)
            n = struct.unpack_from('<H', data, off)[0]
            return data[off + 2:off + 2 + 2 * n].decode('utf-16-le')
        return entry

    found = {}

    def walk(off, path):
        named, ids = struct.unpack_from('<HH', data, raw + off + 12)
        for k in range(named + ids):
            entry, target = struct.unpack_from('<II', data, raw + off + 16 + 8 * k)
            key = path + (name_of(entry, raw),)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, key)
            else:
                rva, size = struct.unpack_from('<II', data, raw + target)
                found[key] = data[raw + rva - va:raw + rva - va + size]

    walk(0, ())
    return found


def read_sz_or_ord(blob, off):
    if struct.unpack_from('<H', blob, off)[0] == 0xFFFF:
        return struct.unpack_from('<H', blob, off + 2)[0], off + 4
    end = off
    while struct.unpack_from('<H', blob, end)[0] != 0:
        end += 2
    return blob[off:end].decode('utf-16-le'), end + 2


def dialog(blob):
    ver, sig, _help, exstyle, style, count, x, y, cx, cy = struct.unpack_from('<HHIIIHhhhh', blob, 0)
    assert (ver, sig) == (1, 0xFFFF), 'not an extended template'
    off = 26
    menu, off = read_sz_or_ord(blob, off)
    cls, off = read_sz_or_ord(blob, off)
    caption, off = read_sz_or_ord(blob, off)
    points, weight, italic, charset = struct.unpack_from('<HHBB', blob, off)
    face, off = read_sz_or_ord(blob, off + 6)
    items = []
    for _ in range(count):
        off = (off + 3) & ~3
        _help, iex, istyle, ix, iy, icx, icy, iid = struct.unpack_from('<IIIhhhhI', blob, off)
        icls, off = read_sz_or_ord(blob, off + 24)
        text, off = read_sz_or_ord(blob, off)
        extra = struct.unpack_from('<H', blob, off)[0]
        off += 2 + extra
        items.append((iid, {0x80: 'BUTTON', 0x82: 'STATIC'}.get(icls, icls), text, (ix, iy),
                      (icx, icy), hex(istyle), hex(iex)))
    return dict(exstyle=hex(exstyle), style=hex(style), rect=(x, y, cx, cy), menu=menu,
                cls=cls, caption=caption, font=(points, weight, italic, charset, face),
                items=items)


def strings(found, lang):
    table = {}
    for (kind, block, language), blob in found.items():
        if kind != RT_STRING or language != lang:
            continue
        off = 0
        for k in range(16):
            n = struct.unpack_from('<H', blob, off)[0]
            if n:
                table[(block - 1) * 16 + k] = blob[off + 2:off + 2 + 2 * n].decode('utf-16-le')
            off += 2 + 2 * n
    return table


def main():
    found = resources(sys.argv[1])
    failures = []

    def check(what, got, want):
        if got != want:
            failures.append(f'{what}: got {got!r}, want {want!r}')

    dialogs = {k: v for k, v in found.items() if k[0] == RT_DIALOG}
    check('dialogs', list(dialogs), [(RT_DIALOG, 102, 0x411)])
    d = dialog(dialogs.get((RT_DIALOG, 102, 0x411), b'\1\0\xff\xff' + bytes(40)))
    check('style', d['style'], '0x90c808c0')
    check('extended style', d['exstyle'], '0x40200')
    check('position and size', d['rect'], (0, 0, 225, 65))
    check('menu and class', (d['menu'], d['cls']), ('', ''))
    check('caption', d['caption'], 'FW Updater')
    check('font', d['font'], (9, 0, 0, 1, 'MS UI Gothic'))
    check('controls', d['items'], [
        (1005, 'BUTTON', 'Button1', (218, 9), (7, 14), '0x40010001', '0x0'),
        (1004, 'BUTTON', 'OK', (87, 44), (50, 14), '0x50010000', '0x0'),
        (2, 'BUTTON', 'NO', (140, 44), (78, 14), '0x50010000', '0x0'),
        (1000, 'BUTTON', 'YES', (7, 44), (77, 14), '0x50010000', '0x0'),
        (1002, 'STATIC', 'PROGRAM UPDATE', (7, 4), (211, 38), '0x50020001', '0x0'),
        (1003, 'STATIC', 'Ver. 00.0000', (7, 25), (211, 8), '0x40020001', '0x0'),
    ])

    check('strings', strings(found, 0x411), {
        135: 'YES', 136: 'NO', 137: 'PROGRAM UPDATE', 138: '\r\nNOW LOADING',
        139: 'Please disconnect the\r\ncable after the LED\r\nflashing ends.', 140: 'ERROR!',
        141: 'VER. ', 142: '\r\nWAITING...', 143: 'KLV-Series FW Updater',
        144: '\r\nUNABLE TO UPDATE'})

    groups = [k for k in found if k[0] == RT_GROUP_ICON]
    check('icon groups', [k[1] for k in groups], [128])
    if groups:
        blob = found[groups[0]]
        n = struct.unpack_from('<H', blob, 4)[0]
        images = []
        for k in range(n):
            w, h, _colours, _r, _planes, bits, _size, icon_id = struct.unpack_from(
                '<BBBBHHIH', blob, 6 + 14 * k)
            images.append((w or 256, bits))
            icon = next((v for key, v in found.items() if key[:2] == (RT_ICON, icon_id)), b'')
            is_png = icon.startswith(b'\x89PNG')
            check(f'icon image {k} format', is_png, w == 0)
        check('icon images', images, [(48, 4), (32, 4), (24, 4), (16, 4), (48, 8), (32, 8),
                                      (24, 8), (16, 8), (256, 32), (48, 32), (32, 32), (24, 32),
                                      (16, 32)])

    manifests = [k for k in found if k[0] == RT_MANIFEST]
    check('manifests', [k[1] for k in manifests], [1])
    if manifests:
        text = found[manifests[0]].decode('utf-8')
        check('asInvoker', 'level="asInvoker"' in text, True)
        check('common controls 6', 'Microsoft.Windows.Common-Controls' in text and
              'version="6.0.0.0"' in text, True)

    versions = [v for k, v in found.items() if k[0] == RT_VERSION]
    check('version resources', len(versions), 1)
    if versions:
        text = versions[0].decode('utf-16-le', errors='replace')
        check('product name', 'KLV-Series FW Updater' in text, True)
        check('product version', '1.0.0' in text, True)

    packages = [v for k, v in found.items() if k[:2] == ('FWRES', 134)]
    check('packages', len(packages), 1)
    if packages:
        check('package framing', (packages[0][:2], packages[0][-2:]), (b'KL', b'LV'))

    for failure in failures:
        print(failure)
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
