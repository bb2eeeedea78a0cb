"""ZIP archives: random ones from fixed seeds, as zipfile or a raw writer makes them (the raw one
writes what no tool writes on purpose), and forged ones for test rows."""
import bz2, io, pathlib, random, re, struct, warnings, zipfile, zlib

ASCII_NAMES = ['a', 'b.txt', 'dir/x', 'dir/sub/y', 'Z', 'a b', "it's", 'pct%20', '#hash', '-dash',
               'dots...', '.hidden', 'semi;x', 'install.d/run', 'x/y/z/deep', 'dir', 'a/.', 'b/..',
               'dir//double', 'trail/']
UTF8_NAMES = ['caf\u00e9', 'cafe\u0301', '\u65e5\u672c/\u8a9e', '\u00fc/\u00f6.txt']
FILE_MODES = [0o644, 0o755, 0o600, 0o444, 0o4755, 0o2755, 0o1777, 0o640, 0o700, 0]
DIR_MODES = [0o755, 0o700, 0o2775, 0o1777, 0o750, 0o555]
INSTALL = b'exit 0\n'

warnings.filterwarnings('ignore', 'Duplicate name')  # made on purpose


def pick_name(rng, unix, directory=False):
    pool = ASCII_NAMES + (UTF8_NAMES if unix else [])
    # A ".." on the way is refused where unzip drops it: not a case to compare.
    name = rng.choice([n for n in pool if not (directory and n.endswith('..'))])
    return './' + name if rng.random() < 0.1 else name


def random_data(rng):
    size = rng.choice([0, 1, 10, 100, 1000, 70000])
    if rng.random() < 0.5:
        return bytes(rng.getrandbits(8) for _ in range(min(size, 2000))) * (size // 2000 + 1)
    return (b'line %d\n' % rng.randrange(1000)) * (size // 8 + 1)


def random_when(rng):
    return (rng.randrange(1980, 2100), rng.randrange(1, 13), rng.randrange(1, 29),
            rng.randrange(24), rng.randrange(60), rng.randrange(0, 60, 2))


class RawMember:
    """One member of a raw archive, each field as given. `local` holds how its local header
    differs: 'flags' and 'crc' XORed in, 'method' replacing, 'size' added to the packed size."""

    def __init__(self, name, data=b'', method=0, host=3, external=0o100644 << 16, flags=0,
                 when=(2001, 2, 3, 4, 5, 6), extra=b'', descriptor=False, zip64=False, crc=None,
                 local_name=None):
        self.name = name if isinstance(name, bytes) else name.encode()
        self.local, self.local_name = {}, self.name if local_name is None else local_name
        self.data, self.method, self.host, self.external = data, method, host, external
        self.when, self.extra, self.descriptor, self.zip64 = when, extra, descriptor, zip64
        self.flags = flags | (8 if descriptor else 0)
        packers = {8: lambda data: zlib.compress(data, 6, -15), 12: bz2.compress}
        self.packed = packers.get(method, bytes)(data)
        self.crc = zlib.crc32(data) if crc is None else crc
        self.version = 46 if method == 12 else 45 if zip64 else 20


def zip64_records(count, size, start, record):
    """A ZIP64 end record at offset `record` and its locator."""
    return (struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, count, count, size, start)
            + struct.pack('<IIQI', 0x07064b50, 0, record, 1))


def raw_archive(members, prefix=b'', adjust=True, trailing=b'', count_delta=0, junk=b'',
                directory_at_zero=False, zip64_end=None):
    """The archive of `members` after `prefix`, its offsets counted from the file's start when
    `adjust`. The end record may count `count_delta` entries too many, `junk` may end the
    directory, whose offset may read 0 (zip 1.5's -go bug); a ZIP64 end record may come first:
    'proper' (the plain fields all ones), 'agreeing', or 'bogus' (readers must not believe it)."""
    out, directory = bytearray(prefix), bytearray()
    shift = 0 if adjust else len(prefix)
    for m in members:
        offset, local, sizes = len(out) - shift, m.local, (len(m.packed), len(m.data))
        stamp = (((m.when[3] << 11) | (m.when[4] << 5) | (m.when[5] // 2)) & 0xffff,
                 (((m.when[0] - 1980) << 9) | (m.when[1] << 5) | m.when[2]) & 0xffff)
        local_extra, central_extra, fields = m.extra, m.extra, sizes + (offset,)
        if m.zip64:
            local_extra = struct.pack('<HHQQ', 1, 16, sizes[1], sizes[0]) + m.extra
            central_extra = struct.pack('<HHQQQ', 1, 24, sizes[1], sizes[0], offset) + m.extra
            fields = (0xffffffff,) * 3
        local_sizes = (0, 0) if m.descriptor and not m.zip64 else fields[:2]
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, m.version, m.flags ^ local.get('flags', 0),
                           local.get('method', m.method), *stamp,
                           (0 if m.descriptor else m.crc) ^ local.get('crc', 0),
                           (local_sizes[0] + local.get('size', 0)) & 0xffffffff, local_sizes[1],
                           len(m.local_name), len(local_extra))
        out += m.local_name + local_extra + m.packed
        if m.descriptor:
            out += struct.pack('<IIQQ' if m.zip64 else '<IIII', 0x08074b50, m.crc, *sizes)
        directory += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, (m.host << 8) | 30, m.version,
                                 m.flags, m.method, *stamp, m.crc, *fields[:2], len(m.name),
                                 len(central_extra), 0, 0, 0, m.external & 0xffffffff, fields[2])
        directory += m.name + central_extra
    start, count = len(out) - shift, len(members) + count_delta
    out += directory + junk
    plain = (count & 0xffff, len(directory) + len(junk), 0 if directory_at_zero else start)
    if zip64_end:
        bogus = 1000 if zip64_end == 'bogus' else 0
        out += zip64_records(count, plain[1], start + bogus, len(out) - shift)
        plain = (0xffff, 0xffffffff, 0xffffffff) if zip64_end == 'proper' else plain
    return bytes(out + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, plain[0], *plain, 0) + trailing)


def raw_member(rng):
    host = rng.choice([3, 3, 3, 0, 0, 11, 6, 2, 5, 16, 13, 1, 18, 30, 7, 12, 17, 10, 14, 19])
    kind = rng.choice(['file', 'file', 'file', 'dir', 'link', 'device'])
    name, data = pick_name(rng, host == 3, kind == 'dir'), random_data(rng)
    mode = rng.choice(FILE_MODES)
    if kind == 'dir':
        name, data, mode = name.rstrip('/') + '/', b'', 0o40000 | rng.choice(DIR_MODES)
    elif kind == 'link':
        data = rng.choice([b'a', b'dir/x', b'../outside', b'/etc/hostname', b'no such'])
        mode = 0o120000 | rng.choice([0o777, 0o644])
    else:
        mode |= rng.choice([0o20000, 0o60000, 0o10000, 0o140000]) if kind == 'device' else 0o100000
    dos = rng.getrandbits(8) & 0x31
    upper = mode if rng.random() < 0.8 else 0
    external = (upper << 16) | (dos if host != 3 or rng.random() < 0.3 else 0)
    if rng.random() < 0.2 and '/' in name.rstrip('/'):  # a separator only on MS-DOS
        name = name.replace('/', '\\')
    when = random_when(rng)
    if rng.random() < 0.1:
        when = (rng.randrange(1980, 2100), rng.choice([0, 13, 14, 15]), rng.randrange(0, 32),
                rng.randrange(32), rng.randrange(64), rng.randrange(0, 62, 2))
    extra = b''
    if rng.random() < 0.4:
        mtime = rng.choice([5000, 1000000000, 1700000000, -100, -2000000000, 0x7fffffff])
        extra = rng.choice([  # a timestamp block, or an old Unix one (access, modification)
            struct.pack('<HHBi', 0x5455, 5, 1, mtime),
            struct.pack('<HHBii', 0x5455, 9, 3, mtime, rng.choice([mtime, 12345, -5])),
            struct.pack('<HHii', rng.choice([0x5855, 0x000d]), 8, 12345, mtime)])
    raw, wide = name.encode(), any(ord(c) > 127 for c in name)
    flags = 0x800 if host == 3 and wide and rng.random() < 0.7 else 0
    if host == 3 and rng.random() < 0.05:
        raw, flags = b'latin-\xe9t\xe9', 0x800  # not UTF-8, though flagged so, as bsdtar writes
    if host == 3 and not flags and wide and rng.random() < 0.5:
        raw, unicode = name.encode('ascii', 'replace'), name.encode() * (rng.random() < 0.9)
        extra += struct.pack('<HHBI', 0x7075, 5 + len(unicode), 1, zlib.crc32(raw)) + unicode
    if upper == 0 and rng.random() < 0.3:
        extra += struct.pack('<HHIHIHH', 0x756e, 14, 0, mode & 0xffff, 0, 0, 0)
    return RawMember(raw, data, rng.choice([0, 8, 8, 12]), host, external, flags, when, extra,
                     descriptor=rng.random() < 0.2, zip64=rng.random() < 0.1)


def make_raw(rng):
    members = [RawMember('install', INSTALL)]
    members += [raw_member(rng) for _ in range(rng.randrange(1, 9))]
    if rng.random() < 0.1:
        members.append(RawMember('./', external=0o40777 << 16))
    rng.shuffle(members)
    prefix = b'MZ' * rng.randrange(50) if rng.random() < 0.2 else b''
    trailing = b'\0' * rng.randrange(100) if rng.random() < 0.1 else b''
    variant = rng.choice(['plain'] * 6 + ['count', 'junk', 'zero', 'zip64', 'local'])
    options = {'count': ('count_delta', [-1, 1]), 'junk': ('junk', [b'PK\x05\x05\0\0', b'\0' * 8]),
               'zip64': ('zip64_end', ['proper', 'agreeing', 'bogus'])}.get(variant)
    options = {options[0]: rng.choice(options[1])} if options else {}
    if variant == 'zero':
        prefix, options['directory_at_zero'] = b'MZ' * 20, True
    elif variant == 'local':
        local = rng.choice(members).local
        local.update([rng.choice([('flags', rng.choice([1, 8, 0x800])), ('crc', 1),
                                  ('method', rng.choice([0, 8, 12])), ('size', 1)])])
    adjust = rng.random() < 0.7 or variant == 'zero'
    data = raw_archive(members, prefix, adjust, trailing, **options)
    shown = ' %r' % (options or local) if variant != 'plain' else ''
    description = 'raw (%s%s): %s' % (variant, shown, ', '.join(repr(m.name) for m in members))
    # A local header unlike its entry: the launcher refuses where unzip may take either.
    return description, data, variant == 'local'


class Unseekable(io.BytesIO):
    """A stream that cannot seek, so that zipfile writes data descriptors."""

    def seek(self, *args):
        raise OSError('not seekable')


def make_python(rng):
    streaming = rng.random() < 0.25
    target = Unseekable() if streaming else io.BytesIO()
    method = rng.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2])
    with zipfile.ZipFile(target, 'w', method) as archive:
        for index in range(rng.randrange(1, 9) + 1):
            host = rng.choice([3, 3, 3, 0, 11])
            kind = 'file' if index == 0 else rng.choice(['file', 'file', 'dir', 'link'])
            name = 'install' if index == 0 else pick_name(rng, host == 3, kind == 'dir')
            info = zipfile.ZipInfo(name.rstrip('/') + '/' if kind == 'dir' else name,
                                   random_when(rng))
            info.create_system = host
            modes = {'file': 0o100000 | rng.choice(FILE_MODES),
                     'dir': 0o40000 | rng.choice(DIR_MODES),
                     'link': rng.choice([0o120777, 0o120644])}
            info.external_attr = (modes[kind] << 16) | (0x10 if kind == 'dir' else 0)
            if host != 3 and rng.random() < 0.5:
                info.external_attr = rng.choice([0, 1, 0x20, 0x10 if kind == 'dir' else 0x21])
            data = (INSTALL if index == 0 else b'dir/x' if kind == 'link' else
                    b'' if kind == 'dir' else random_data(rng))
            info.compress_type = rng.choice([method, zipfile.ZIP_STORED])
            with archive.open(info, 'w', force_zip64=rng.random() < 0.1) as member:
                member.write(data)
    description = 'zipfile%s: %r' % (' (streamed)' if streaming else '', archive.namelist())
    return description, target.getvalue()


MAKERS = {'raw': make_raw, 'zipfile': make_python}


def make_archive(seed):
    """The archive of `seed`, its maker chosen by the seed too, and whether it is damaged, so
    that the launcher may refuse what unzip takes: (description, bytes, damaged)."""
    rng = random.Random(seed)
    description, data, *damaged = MAKERS[rng.choice(sorted(MAKERS))](rng)
    if rng.random() < 0.15 and data:
        at = rng.randrange(len(data))
        data = data[:at] + bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1:]
        return '%s, one bit flipped at %d' % (description, at), data, True
    return description, data, any(damaged)


def forge(kind):
    """An agent archive, its start script from ./install, with one thing wrong or unusual, as an
    attacker or an odd tool makes it."""
    install = RawMember('install', pathlib.Path('install').read_bytes(), external=0o100755 << 16)
    if kind == 'bomb':  # deflated data of 8 MiB under headers that say 10 bytes
        bomb = RawMember('bomb', bytes(8 << 20), method=8)
        bomb.data = bomb.data[:10]
        return raw_archive([install, bomb])
    members = [install] + {
        'overlap': [install],  # its central entry then points at the first local header
        'overlap-by-one': [RawMember('a', b'xP')],  # its "P" is to be the directory's first byte
        'link-crc': [RawMember('l', b'install', external=0o120777 << 16, crc=1234)],
        'empty-crc': [RawMember('e', b'', crc=1234)],
        'names-differ': [RawMember('a', b'x', local_name=b'b')],
        'latin1': [RawMember(b'latin-\xe9t\xe9', b'x', flags=0x800)],
        'nfd': [RawMember('cafe\u0301', b'x', flags=0x800)],
        'devices': [RawMember('dev', b'device data', external=0o20644 << 16),
                    RawMember('fifo', b'fifo data', external=0o10644 << 16)],
        # A Unicode path field whose CRC-32 is of another name than its header's: stale, ignored.
        'stale-unicode': [RawMember('plain', b'x', extra=struct.pack(
            '<HHBI', 0x7075, 10, 1, zlib.crc32(b'other')) + 'caf\u00e9'.encode())],
        'many': [RawMember('dup', b'')] * 65536,  # the end record's count wraps to 1
        'end-claim': [], 'prefixed': [], 'directory-at-zero': [], 'other-disk': [],
    }[kind]
    # Bytes before an archive whose offsets do not count them; in one, the end record also puts
    # the directory at offset zero.
    prefix = b'junk' if kind in ('prefixed', 'directory-at-zero') else b''
    data = raw_archive(members, prefix, not prefix, directory_at_zero=kind == 'directory-at-zero')
    if kind == 'overlap':
        second = data.rfind(b'PK\x01\x02')
        return data[:second + 42] + bytes(4) + data[second + 46:]
    if kind == 'overlap-by-one':
        start = struct.unpack('<I', data[-6:-2])[0]
        return data[:start - 1] + data[start:-6] + struct.pack('<I', start - 1) + data[-2:]
    if kind == 'end-claim':  # the end record claims 0xfffffff0 bytes of central directory
        return data[:-10] + struct.pack('<I', 0xfffffff0) + data[-6:]
    if kind == 'other-disk':  # the end record puts the directory's start on a second disk
        return data[:-16] + struct.pack('<H', 1) + data[-14:]
    return data


def edit_installer(kind, data):
    """An installer with its archive forged: `zip64-claim`, an end record sending readers to a ZIP64
    record claiming 2^62 bytes of directory; `whole-claim`, one whose directory is all before it;
    `agent-name` and `bundle-crc`, a bit flipped in the packed agent's local name or the bundle's
    first byte; `no-bundle`, the bundle renamed bundle.zap in its local header and central entry."""
    *_, entries, _, start, _ = struct.unpack('<IHHHHIIH', data[-22:])
    if kind == 'whole-claim':
        return data[:-10] + struct.pack('<II', len(data) - 22, 0) + data[-2:]
    if kind == 'zip64-claim':
        return (data[:-22] + zip64_records(entries, 1 << 62, start, len(data) - 22)
                + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, *[0xffff] * 2, *[0xffffffff] * 2, 0))
    name = b'InstallAgent.zip' if kind == 'agent-name' else b'bundle.zip'
    at = re.search(rb'PK\x03\x04.{26}' + re.escape(name), data, re.S).start() + 30
    if kind == 'no-bundle':
        return (data[:at] + b'bundle.zap' + data[at + 10:start]
                + data[start:].replace(b'bundle.zip', b'bundle.zap', 1))
    at += 0 if kind == 'agent-name' else sum(struct.unpack('<HH', data[at - 4:at]))
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


def craft(triples):
    """Stored members from NAME MODE DATA triples: MODE in octal, or "-" for a member made on
    MS-DOS without attributes; DATA "@FILE" for a file's bytes."""
    members = []
    for name, mode, data in zip(triples[0::3], triples[1::3], triples[2::3]):
        data = pathlib.Path(data[1:]).read_bytes() if data.startswith('@') else data.encode()
        host, external = (0, 0) if mode == '-' else (3, int(mode, 8) << 16)
        members.append(RawMember(name, data, host=host, external=external))
    return raw_archive(members)


if __name__ == '__main__':
    # zip_maker.py craft OUT NAME MODE DATA...: craft()'s archive; zip_maker.py forge KIND OUT:
    # one of forge()'s archives; zip_maker.py edit KIND FILE: the installer FILE forged in place.
    import sys
    out = pathlib.Path(sys.argv[2 if sys.argv[1] == 'craft' else 3])
    if sys.argv[1] == 'craft':
        out.write_bytes(craft(sys.argv[3:]))
    elif sys.argv[1] == 'forge':
        out.write_bytes(forge(sys.argv[2]))
    else:
        out.write_bytes(edit_installer(sys.argv[2], out.read_bytes()))
