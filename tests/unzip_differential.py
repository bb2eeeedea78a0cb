#!/usr/bin/python3
"""The launcher's unzip against Info-ZIP's, on random agent archives.

For each seed, an archive from tests/zip_maker.py is served as the install
agent to a cold run of a real installer, under umask 022 and 077, and
unpacked by Info-ZIP's `unzip -qq -o` under the same umask. Where unzip
exits 0, the agent directory in the cache must be its tree (names, types,
modes, contents, link targets, times; a link's own time is the one thing
unzip leaves unset); where unzip fails, the run must fail to unpack it too.
An archive with a bit flipped may be refused where unzip takes it (the
launcher also holds each local header to its central entry), but what it
unpacks must still be unzip's tree.
Stops at the first difference, printing its seed and the archive's members.

  unzip_differential.py LAUNCHER PACKER [--seeds N] [--first SEED] [--keep DIR]
"""
import argparse, hashlib, http.server, io, os, shutil, stat, subprocess, sys, tempfile, threading, time, zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zip_maker  # noqa: E402

CACHE = '.orvane/installagent/T19q7c/hostk64/installagent'
REFUSED = b'Failed to unzip the install agent'


class AgentServer(http.server.ThreadingHTTPServer):
    """Serves `agent` at /agent with an ETag of its digest."""
    agent = b''


class AgentHandler(http.server.BaseHTTPRequestHandler):
    def answer(self, body):
        agent = self.server.agent
        self.send_response(200)
        self.send_header('ETag', '"%s"' % hashlib.sha1(agent).hexdigest())
        self.send_header('Content-Length', str(len(agent)))
        self.end_headers()
        if body:
            self.wfile.write(agent)

    def do_HEAD(self):
        self.answer(False)

    def do_GET(self):
        self.answer(True)

    def log_message(self, *args):
        pass


def describe(root):
    """Every entry under `root`: (path, type, permission bits, content or
    link target, modification time), links without their time, directories
    made now without theirs."""
    entries = []
    for current, directories, files in os.walk(root):
        for name in sorted(directories + files):
            path = os.path.join(current, name)
            info = os.lstat(path)
            relative = os.fsencode(os.path.relpath(path, root))
            mode = stat.S_IMODE(info.st_mode)
            if stat.S_ISLNK(info.st_mode):
                entries.append((relative, 'link', os.fsencode(os.readlink(path))))
            elif stat.S_ISDIR(info.st_mode):
                # A directory made on the way to a member has no time of the archive's.
                recent = abs(info.st_mtime - time.time()) < 600
                entries.append((relative, 'dir', oct(mode), None if recent else info.st_mtime_ns // 10**9))
            else:
                with open(path, 'rb') as f:
                    digest = hashlib.sha1(f.read()).hexdigest()
                entries.append((relative, 'file' if stat.S_ISREG(info.st_mode) else 'other', oct(mode),
                                digest, info.st_mtime_ns // 10**9))
    return sorted(entries)


def unzip_misreads(archive):
    """Whether unzip wrongly finds parts of `archive` overlapping: a member
    with a Unicode path block and a data descriptor derails its count."""
    try:
        members = zipfile.ZipFile(io.BytesIO(archive)).infolist()
    except (zipfile.BadZipFile, ValueError, EOFError):
        return False
    return any(m.flag_bits & 8 and b'up' in m.extra for m in members)


def unzip_reference(archive, target, mask):
    """unzip's exit status; a run that never ends (some damaged archives
    make it loop) counts as a failure."""
    try:
        result = subprocess.run(['/usr/bin/unzip', '-qq', '-o', archive, '-d', target],
                                env={'PATH': '/usr/bin:/bin', 'LC_ALL': 'C.UTF-8'}, stdin=subprocess.DEVNULL,
                                capture_output=True, preexec_fn=lambda: os.umask(mask), timeout=20)
    except subprocess.TimeoutExpired:
        return -1
    return result.returncode


def run_launcher(installer, home, url, mask):
    os.makedirs(home, mode=0o700)
    result = subprocess.run([installer], env={'PATH': '/usr/bin:/bin', 'HOME': home,
                                              'QZ_INTERNAL_INSTALL_AGENT_URL': url},
                            stdin=subprocess.DEVNULL, capture_output=True, preexec_fn=lambda: os.umask(mask),
                            timeout=120)
    return result.returncode, result.stderr


def make_writable(root):
    """Opens up directories an archive made read-only, so they can go."""
    for current, directories, _ in os.walk(root):
        for name in directories:
            path = os.path.join(current, name)
            if not os.path.islink(path):
                os.chmod(path, 0o700)


def compare(seed, work, installer, url, server):
    description, archive, damaged = zip_maker.make_archive(seed)
    server.agent = archive
    path = os.path.join(work, 'agent.zip')
    with open(path, 'wb') as f:
        f.write(archive)
    for mask in (0o022, 0o077):
        reference = os.path.join(work, 'reference')
        home = os.path.join(work, 'home')
        status = unzip_reference(path, reference, mask)
        code, errors = run_launcher(installer, home, url, mask)
        ours = os.path.join(home, CACHE)
        problem = None
        if status == 0 and not os.path.isdir(ours) and not damaged:
            problem = 'unzip exits 0, the launcher did not unpack it (%d): %r' % (code, errors)
        elif status == 12 and unzip_misreads(archive):
            pass
        elif status != 0 and (os.path.isdir(ours) or REFUSED not in errors):
            problem = 'unzip exits %d, the launcher unpacked it (%d): %r' % (status, code, errors)
        elif status == 0 and os.path.isdir(ours) and describe(ours) != describe(reference):
            theirs, mine = describe(reference), describe(ours)
            problem = 'trees differ:\n  unzip only:    %r\n  launcher only: %r' % (
                [e for e in theirs if e not in mine], [e for e in mine if e not in theirs])
        for tree in (reference, home):
            if os.path.exists(tree):
                make_writable(tree)
                shutil.rmtree(tree)
        if problem:
            return 'seed %d, umask %03o, %s\n%s' % (seed, mask, description, problem)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('launcher')
    parser.add_argument('packer')
    parser.add_argument('--seeds', type=int, default=300)
    parser.add_argument('--first', type=int, default=1)
    parser.add_argument('--keep', help='write the archive of --first here and stop')
    options = parser.parse_args()
    if options.keep:
        with open(options.keep, 'wb') as f:
            f.write(zip_maker.make_archive(options.first)[1])
        return 0
    server = AgentServer(('127.0.0.1', 0), AgentHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = 'http://127.0.0.1:%d/agent' % server.server_address[1]
    with tempfile.TemporaryDirectory(prefix='qztest-differential-') as work:
        bundle = os.path.join(work, 'bundle.zip')
        subprocess.run(['/usr/bin/zip', '-q', bundle, '-'], input=b'the product', check=True)
        installer = os.path.join(work, 'setup.run')
        subprocess.run([options.packer, options.launcher, bundle, installer], check=True)
        for seed in range(options.first, options.first + options.seeds):
            difference = compare(seed, work, installer, url, server)
            if difference:
                print(difference)
                print('to look at it: %s %s %s --first %d --keep FILE' % (sys.argv[0], options.launcher,
                                                                        options.packer, seed))
                return 1
    server.shutdown()
    print('%d archives unpacked as Info-ZIP unpacks them' % options.seeds)
    return 0


if __name__ == '__main__':
    sys.exit(main())
