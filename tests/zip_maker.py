"""Random ZIP archives from fixed seeds, as the usual tools make them.

Each maker takes a random.Random and returns (description, archive bytes):
Python's zipfile, Info-ZIP's zip and bsdtar pack a random tree; `raw` writes
every field itself, for what no tool writes on purpose (other systems'
attributes, odd MS-DOS dates, Unix time blocks, Unicode path blocks, bytes
before or after the archive, names made on MS-DOS with backslashes).
"""
import bz2, io, os, random, struct, subprocess, tempfile, warnings, zipfile, zlib

ASCII_NAMES = ['a', 'b.txt', 'dir/x', 'dir/sub/y', 'Z', 'a b', "it's", 'pct%20', '#hash', '-dash',
               'dots...', '.hidden', 'semi;x', 'install.d/run', 'x/y/z/deep', 'dir', 'a/.', 'b/..',
               'dir//double', 'trail/']
UTF8_NAMES = ['caf\u00e9', 'cafe\u0301', '\u65e5\u672c/\u8a9e', '\u00fc/\u00f6.txt']
FILE_MODES = [0o644, 0o755, 0o600, 0o444, 0o4755, 0o2755, 0o1777, 0o640, 0o700, 0]
DIR_MODES = [0o755, 0o700, 0o2775, 0o1777, 0o750, 0o555]
INSTALL = b'exit 0\n'

# Duplicate names are made on purpose.
warnings.filterwarnings('ignore', 'Duplicate name')


def pick_name(rng, unix, directory=False):
    pool = ASCII_NAMES + (UTF8_NAMES if unix else [])
    # A ".." on the way is refused where unzip drops it: not a case to compare.
    name = rng.choice([n for n in pool if not (directory and n.endswith('..'))])
    if rng.random() < 0.1:
        name = './' + name
    return name


def random_data(rng):
    size = rng.choice([0, 1, 10, 100, 1000, 70000])
    if rng.random() < 0.5:
        return bytes(rng.getrandbits(8) for _ in range(min(size, 2000))) * (size // 2000 + 1)
    return (b'line %d\n' % rng.randrange(1000)) * (size // 8 + 1)


def dos_fields(year, month, day, hour, minute, second):
    return ((hour << 11) | (minute << 5) | (second // 2)) & 0xffff, (((year - 1980) << 9) | (month << 5) | day) & 0xffff


class RawMember:
    """One member of a raw archive, each field as given."""

    def __init__(self, name, data=b'', method=0, host=3, external=0o100644 << 16, flags=0,
                 when=(2001, 2, 3, 4, 5, 6), extra=b'', central_extra=None, descriptor=False,
                 zip64=False, crc=None, local_name=None, local=None):
        self.name = name if isinstance(name, bytes) else name.encode()
        # Local header fields that differ from the central entry: 'flags' and
        # 'crc' are XORed in, 'method' replaces it, 'size' is added to the
        # compressed size.
        self.local = local or {}
        self.local_name = self.name if local_name is None else local_name
        self.data, self.method, self.host, self.external = data, method, host, external
        self.flags = flags | (8 if descriptor else 0)
        self.when, self.extra, self.descriptor, self.zip64 = when, extra, descriptor, zip64
        self.central_extra = extra if central_extra is None else central_extra
        if method == 8:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            self.packed = packer.compress(data) + packer.flush()
        elif method == 12:
            self.packed = bz2.compress(data)
        else:
            self.packed = data
        self.crc = zlib.crc32(data) if crc is None else crc
        self.version = 46 if method == 12 else 45 if zip64 else 20


def raw_archive(members, prefix=b'', adjust=True, trailing=b'', count_delta=0, junk=b'',
                directory_at_zero=False, zip64_end=None):
    """The archive of `members` after `prefix`, its offsets counted from the
    file's start when `adjust`, else from the archive's own. The end record
    may count `count_delta` entries too many, `junk` may follow the entries
    inside the directory's size, the directory's offset may read 0 (zip
    1.5's -go bug), and ZIP64 end records may precede the end record:
    'proper' (the plain fields all ones), 'agreeing' (the plain fields
    filled in too) or 'bogus' (disagreeing with the plain record, which
    readers must then believe)."""
    out = bytearray(prefix)
    shift = 0 if adjust else len(prefix)
    directory = bytearray()
    for m in members:
        offset = len(out) - shift
        time, date = dos_fields(*m.when)
        if m.zip64:
            local_extra = struct.pack('<HHQQ', 1, 16, len(m.data), len(m.packed)) + m.extra
            sizes = (0xffffffff, 0xffffffff)
        else:
            local_extra, sizes = m.extra, (len(m.packed), len(m.data))
        crc = 0 if m.descriptor else m.crc
        if m.descriptor and not m.zip64:
            sizes = (0, 0)
        local = m.local
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, m.version, m.flags ^ local.get('flags', 0),
                           local.get('method', m.method), time, date, crc ^ local.get('crc', 0),
                           (sizes[0] + local.get('size', 0)) & 0xffffffff, sizes[1], len(m.local_name),
                           len(local_extra)) + m.local_name + local_extra
        out += m.packed
        if m.descriptor:
            wide = m.zip64
            out += struct.pack('<IIQQ' if wide else '<IIII', 0x08074b50, m.crc, len(m.packed), len(m.data))
        if m.zip64:
            central_extra = struct.pack('<HHQQQ', 1, 24, len(m.data), len(m.packed), offset) + m.central_extra
            fields = (0xffffffff, 0xffffffff, 0xffffffff)
        else:
            central_extra, fields = m.central_extra, (len(m.packed), len(m.data), offset)
        directory += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, (m.host << 8) | 30, m.version, m.flags,
                                 m.method, time, date, m.crc, fields[0], fields[1], len(m.name),
                                 len(central_extra), 0, 0, 0, m.external & 0xffffffff, fields[2])
        directory += m.name + central_extra
    start = len(out) - shift
    directory += junk
    out += directory
    count = len(members) + count_delta
    plain = (count & 0xffff, len(directory), 0 if directory_at_zero else start)
    if zip64_end:
        record = len(out) - shift
        wide = (count, len(directory), start + (1000 if zip64_end == 'bogus' else 0))
        out += struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, wide[0], wide[0], wide[1], wide[2])
        out += struct.pack('<IIQI', 0x07064b50, 0, record, 1)
        if zip64_end == 'proper':
            plain = (0xffff, 0xffffffff, 0xffffffff)
    out += struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, plain[0], plain[0], plain[1], plain[2], 0)
    return bytes(out + trailing)


def timestamp_block(rng, when):
    mtime = rng.choice([5000, 1000000000, 1700000000, -100, -2000000000, 0x7fffffff])
    if rng.random() < 0.5:
        return struct.pack('<HHBi', 0x5455, 5, 1, mtime)
    return struct.pack('<HHBii', 0x5455, 9, 3, mtime, rng.choice([mtime, 12345, -5]))


def unicode_block(name, unicode_name):
    return struct.pack('<HHBI', 0x7075, 5 + len(unicode_name), 1, zlib.crc32(name)) + unicode_name


def raw_member(rng):
    host = rng.choice([3, 3, 3, 0, 0, 11, 6, 2, 5, 16, 13, 1, 18, 30, 7, 12])
    kind = rng.choice(['file', 'file', 'file', 'dir', 'link', 'device'])
    name = pick_name(rng, host == 3, kind == 'dir')
    data = random_data(rng)
    mode = rng.choice(FILE_MODES)
    if kind == 'dir':
        name, data, mode = name.rstrip('/') + '/', b'', 0o40000 | rng.choice(DIR_MODES)
    elif kind == 'link':
        data, mode = rng.choice([b'a', b'dir/x', b'../outside', b'/etc/hostname', b'no such']), 0o120000 | rng.choice([0o777, 0o644])
    elif kind == 'device':
        mode |= rng.choice([0o20000, 0o60000, 0o10000, 0o140000])
    else:
        mode |= 0o100000
    dos = rng.getrandbits(8) & 0x31
    upper = mode if rng.random() < 0.8 else 0
    external = (upper << 16) | (dos if host != 3 or rng.random() < 0.3 else 0)
    if host == 0 and rng.random() < 0.3 and '/' in name.rstrip('/'):
        name = name.replace('/', '\\')
    when = (rng.randrange(1980, 2100), rng.randrange(1, 13), rng.randrange(1, 29),
            rng.randrange(24), rng.randrange(60), rng.randrange(0, 60, 2))
    if rng.random() < 0.1:
        when = (rng.randrange(1980, 2100), rng.choice([0, 13, 14, 15]), rng.randrange(0, 32),
                rng.randrange(32), rng.randrange(64), rng.randrange(0, 62, 2))
    extra = b''
    if rng.random() < 0.4:
        extra += timestamp_block(rng, when)
    raw = name.encode()
    flags = 0x800 if host == 3 and any(ord(c) > 127 for c in name) and rng.random() < 0.7 else 0
    if host == 3 and rng.random() < 0.05:
        raw, flags = b'latin-\xe9t\xe9', 0x800  # not UTF-8, though flagged so, as bsdtar writes
    if host == 3 and not flags and any(ord(c) > 127 for c in name) and rng.random() < 0.5:
        raw = name.encode('ascii', 'replace')
        extra += unicode_block(raw, name.encode())
    if upper == 0 and rng.random() < 0.3:
        extra += struct.pack('<HHIHIHH', 0x756e, 14, 0, mode & 0xffff, 0, 0, 0)
    method = rng.choice([0, 8, 8, 12])
    return RawMember(raw, data, method=method, host=host, external=external, flags=flags, when=when,
                     extra=extra, descriptor=rng.random() < 0.2, zip64=rng.random() < 0.1)


def make_raw(rng):
    members = [RawMember('install', INSTALL)] + [raw_member(rng) for _ in range(rng.randrange(1, 9))]
    if rng.random() < 0.1:
        members.append(RawMember('./', host=3, external=(0o40777 << 16)))
    rng.shuffle(members)
    prefix = b'MZ' * rng.randrange(50) if rng.random() < 0.2 else b''
    trailing = b'\0' * rng.randrange(100) if rng.random() < 0.1 else b''
    options = {}
    variant = rng.choice(['plain'] * 6 + ['count', 'junk', 'zero', 'zip64', 'local'])
    if variant == 'count':
        options['count_delta'] = rng.choice([-1, 1])
    elif variant == 'junk':
        options['junk'] = rng.choice([b'PK\x05\x05\0\0', b'\0' * 8])
    elif variant == 'zero':
        prefix, options['directory_at_zero'] = b'MZ' * 20, True
    elif variant == 'zip64':
        options['zip64_end'] = rng.choice(['proper', 'agreeing', 'bogus'])
    elif variant == 'local':
        victim = rng.choice(members)
        change = rng.choice([('flags', rng.choice([1, 8, 0x800])), ('crc', 1), ('method', rng.choice([0, 8, 12])),
                             ('size', 1)])
        victim.local[change[0]] = change[1]
    data = raw_archive(members, prefix, adjust=rng.random() < 0.7 or variant == 'zero', trailing=trailing, **options)
    description = 'raw (%s%s): %s' % (variant, ' ' + repr(options or victim.local) if variant != 'plain' else '',
                                     ', '.join(repr(m.name) for m in members))
    # A local header that disagrees with its entry: the launcher refuses
    # where unzip may take one of the two.
    return description, data, variant == 'local'


class Unseekable(io.RawIOBase):
    """A write-only stream without tell(), so that zipfile writes data descriptors."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def make_python(rng):
    streaming = rng.random() < 0.25
    target = Unseekable() if streaming else io.BytesIO()
    method = rng.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2])
    names = []
    with zipfile.ZipFile(target, 'w', method) as archive:
        for index in range(rng.randrange(1, 9) + 1):
            host = rng.choice([3, 3, 3, 0, 11])
            kind = 'file' if index == 0 else rng.choice(['file', 'file', 'dir', 'link'])
            name = 'install' if index == 0 else pick_name(rng, host == 3, kind == 'dir')
            when = (rng.randrange(1980, 2100), rng.randrange(1, 13), rng.randrange(1, 29),
                    rng.randrange(24), rng.randrange(60), rng.randrange(0, 60, 2))
            if kind == 'dir':
                name = name.rstrip('/') + '/'
            info = zipfile.ZipInfo(name, when)
            info.create_system = host
            mode = {'file': 0o100000 | rng.choice(FILE_MODES), 'dir': 0o40000 | rng.choice(DIR_MODES),
                    'link': 0o120777}[kind]
            info.external_attr = (mode << 16) | (0x10 if kind == 'dir' else 0)
            if host != 3 and rng.random() < 0.5:
                info.external_attr = rng.choice([0, 1, 0x20, 0x10 if kind == 'dir' else 0x21])
            data = INSTALL if index == 0 else b'dir/x' if kind == 'link' else b'' if kind == 'dir' else random_data(rng)
            info.compress_type = rng.choice([method, zipfile.ZIP_STORED])
            with archive.open(info, 'w', force_zip64=rng.random() < 0.1) as member:
                member.write(data)
            names.append(name)
    data = bytes(target.data) if streaming else target.getvalue()
    return 'zipfile%s: %r' % (' (streamed)' if streaming else '', names), data


def make_tree(rng, root, allow_utf8):
    """A random directory tree under `root`, with modes, links and times."""
    made = ['install']
    with open(os.path.join(root, 'install'), 'wb') as f:
        f.write(INSTALL)
    for _ in range(rng.randrange(1, 10)):
        name = os.path.normpath(pick_name(rng, allow_utf8)).lstrip('./')
        if not name or name.startswith('.') or '..' in name.split('/'):
            continue
        path = os.path.join(root, name)
        parents = [os.path.join(root, *name.split('/')[:i]) for i in range(1, name.count('/') + 1)]
        if os.path.lexists(path) or any(os.path.islink(p) or os.path.isfile(p) for p in parents):
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        kind = rng.choice(['file', 'file', 'dir', 'link'])
        if kind == 'file':
            with open(path, 'wb') as f:
                f.write(random_data(rng))
            os.chmod(path, rng.choice([0o644, 0o755, 0o600, 0o444, 0o640]))
        elif kind == 'dir':
            os.mkdir(path)
        else:
            os.symlink(rng.choice(['install', 'dir/x', 'missing']), path)
        made.append(name)
    for current, directories, files in os.walk(root, topdown=False):
        for name in files + directories:
            path = os.path.join(current, name)
            stamp = rng.randrange(315532800, 4000000000)
            os.utime(path, (stamp, stamp), follow_symlinks=False)
        if current != root and rng.random() < 0.3:
            os.chmod(current, rng.choice([0o700, 0o750, 0o2755]))
    return made


def make_with_tool(rng, tool):
    with tempfile.TemporaryDirectory(prefix='qztest-maker-') as work:
        root = os.path.join(work, 'tree')
        os.mkdir(root)
        names = make_tree(rng, root, True)
        out = os.path.join(work, 'out.zip')
        env = {'PATH': '/usr/bin:/bin', 'LC_ALL': 'C.UTF-8'}
        if tool == 'zip':
            options = ['-q', '-r', rng.choice(['-0', '-6', '-9', '-Zbzip2'])]
            options += [o for o, p in (('-y', 0.7), ('-X', 0.3), ('-fz', 0.1)) if rng.random() < p]
            if rng.random() < 0.2 and '-0' not in options:
                # Written to a pipe, the archive gets data descriptors.
                piped = subprocess.run(['zip'] + options + ['-', '.'], cwd=root, env=env,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                if piped.returncode == 0:
                    return 'zip %s - (piped): %r' % (' '.join(options), names), piped.stdout
            command = ['zip'] + options + [out, '.']
        else:
            compression = rng.choice(['store', 'deflate'])
            command = ['bsdtar', '--format', 'zip', '--options', 'zip:compression=' + compression, '-cf', out, '.']
        subprocess.run(command, cwd=root, env=env, check=True)
        with open(out, 'rb') as f:
            return '%s %s: %r' % (tool, ' '.join(command[1:-2]), names), f.read()


MAKERS = {
    'raw': make_raw,
    'zipfile': make_python,
    'zip': lambda rng: make_with_tool(rng, 'zip'),
    'bsdtar': lambda rng: make_with_tool(rng, 'bsdtar'),
}


def damage(rng, data):
    """`data` with one bit flipped, where it lands."""
    at = rng.randrange(len(data))
    return at, data[:at] + bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1:]


def forge(kind):
    """An agent archive, its start script from ./install, with one thing
    wrong or unusual, as an attacker or an odd tool makes it."""
    with open('install', 'rb') as f:
        install = RawMember('install', f.read(), external=0o100755 << 16)
    others = {
        'link-crc': [RawMember('l', b'install', external=0o120777 << 16, crc=1234)],
        'empty-crc': [RawMember('e', b'', crc=1234)],
        'names-differ': [RawMember('a', b'x', local_name=b'b')],
        'latin1': [RawMember(b'latin-\xe9t\xe9', b'x', flags=0x800)],
        'nfd': [RawMember('cafe\u0301', b'x', flags=0x800)],
        'devices': [RawMember('dev', b'device data', external=0o20644 << 16),
                    RawMember('fifo', b'fifo data', external=0o10644 << 16)],
    }
    if kind == 'overlap':
        # A second central entry that points at the first member's header.
        data = raw_archive([install, RawMember('install', install.data, external=0o100755 << 16)])
        second = data.rfind(b'PK\x01\x02')
        return data[:second + 42] + struct.pack('<I', 0) + data[second + 46:]
    if kind == 'bomb':
        # Deflated data of 8 MiB under headers that say 10 bytes.
        bomb = RawMember('bomb', bytes(8 << 20), method=8)
        bomb.data = bomb.data[:10]
        return raw_archive([install, bomb])
    if kind in ('prefixed', 'directory-at-zero'):
        # Bytes before an archive whose offsets do not count them, and one
        # whose end record also puts its directory at offset zero.
        return raw_archive([install], prefix=b'junk', adjust=False,
                           directory_at_zero=kind == 'directory-at-zero')
    if kind == 'end-claim':
        # The end record claims 0xfffffff0 bytes of central directory.
        data = raw_archive([install])
        return data[:-10] + struct.pack('<I', 0xfffffff0) + data[-6:]
    return raw_archive([install] + others[kind])


def make_archive(seed):
    """The archive of `seed`, its maker chosen by the seed too, and whether
    it is damaged, so that the launcher may refuse what unzip takes:
    (description, bytes, damaged)."""
    rng = random.Random(seed)
    maker = rng.choice(sorted(MAKERS))
    description, data, *damaged = MAKERS[maker](rng)
    if rng.random() < 0.15 and data:
        at, data = damage(rng, data)
        return '%s, one bit flipped at %d' % (description, at), data, True
    return description, data, bool(damaged and damaged[0])


def local_header(data, name):
    """The offset of the local header of member `name` in an installer."""
    at = data.find(b'PK\x03\x04')
    while data[at + 30:at + 30 + len(name)] != name:
        at = data.find(b'PK\x03\x04', at + 1)
    return at


def edit_installer(kind, data):
    """An installer with its archive forged: `zip64-claim`, an end record
    that sends readers to a ZIP64 record claiming 2^62 bytes of central
    directory; `whole-claim`, an end record whose directory is everything
    before it; `agent-name`, one bit of the packed agent's local name flipped;
    `bundle-crc`, one bit of the bundle's first byte flipped; `no-bundle`, the
    bundle renamed bundle.zap in its local header and central entry."""
    if kind in ('agent-name', 'bundle-crc'):
        at = local_header(data, b'InstallAgent.zip' if kind == 'agent-name' else b'bundle.zip') + 30
        at += 0 if kind == 'agent-name' else sum(struct.unpack('<HH', data[at - 4:at]))
        return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]
    if kind == 'no-bundle':
        at, start = local_header(data, b'bundle.zip') + 30, struct.unpack('<I', data[-6:-2])[0]
        return data[:at] + b'bundle.zap' + data[at + 10:start] + data[start:].replace(b'bundle.zip', b'bundle.zap', 1)
    record = len(data) - 22
    if kind == 'whole-claim':
        return data[:-10] + struct.pack('<II', record, 0) + data[-2:]
    entries, size, offset = struct.unpack('<HIH', data[-12:-4])[0], *struct.unpack('<II', data[-10:-2])
    return (data[:-22] + struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, entries, entries, 1 << 62, offset)
            + struct.pack('<IIQI', 0x07064b50, 0, record, 1)
            + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 0xffff, 0xffff, 0xffffffff, 0xffffffff, 0))


def craft(triples):
    """Stored members from NAME MODE DATA triples: MODE in octal, or "-" for
    a member made on MS-DOS without attributes; DATA "@FILE" for a file's bytes."""
    members = []
    for name, mode, data in zip(triples[0::3], triples[1::3], triples[2::3]):
        if data.startswith('@'):
            with open(data[1:], 'rb') as f:
                data = f.read()
        else:
            data = data.encode()
        host, external = (0, 0) if mode == '-' else (3, int(mode, 8) << 16)
        members.append(RawMember(name, data, host=host, external=external))
    return raw_archive(members)


if __name__ == '__main__':
    # For test rows: zip_maker.py craft OUT NAME MODE DATA...: craft()'s
    # archive; zip_maker.py forge KIND OUT: one of forge()'s archives;
    # zip_maker.py edit KIND FILE: the installer FILE forged in place.
    import sys
    if sys.argv[1] == 'craft':
        result, sys.argv[3] = craft(sys.argv[3:]), sys.argv[2]
    elif sys.argv[1] == 'forge':
        result = forge(sys.argv[2])
    else:
        with open(sys.argv[3], 'rb') as f:
            result = edit_installer(sys.argv[2], f.read())
    with open(sys.argv[3], 'wb') as out:
        out.write(result)
