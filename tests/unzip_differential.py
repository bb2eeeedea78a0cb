#!/usr/bin/python3
"""The launcher's unzip against Info-ZIP's `unzip -qq -o` on random archives of zip_maker.py.

Each is the agent of cold runs under umask 022 and 077: where unzip exits 0, the cached agent is
its tree (names, types, modes, contents, link targets, times but a link's own); where unzip fails,
the run fails to unpack it too; a damaged archive may be refused where unzip takes it. Stops at
the first difference.

  unzip_differential.py LAUNCHER PACKER [--seeds N] [--first SEED] [--keep FILE]
"""
import argparse, hashlib, http.server, io, os, pathlib, stat, subprocess, sys, tempfile
import threading, time, zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import zip_maker  # noqa: E402

CACHE = '.orvane/installagent/T19q7c/hostk64/installagent'
REFUSED = b'Failed to unzip the install agent'


class AgentHandler(http.server.BaseHTTPRequestHandler):
    """Serves the server's `agent` with an ETag of its digest."""

    def do_GET(self):
        self.send_response(200)
        self.send_header('ETag', '"%s"' % hashlib.sha1(self.server.agent).hexdigest())
        self.send_header('Content-Length', str(len(self.server.agent)))
        self.end_headers()
        if self.command == 'GET':
            self.wfile.write(self.server.agent)

    do_HEAD = do_GET

    def log_message(self, *args):
        pass


def describe(root):
    """Every entry under `root`, sorted: (path, type, mode, content digest or link target, time),
    links without their time, directories made now without theirs."""
    entries = []
    for current, directories, files in os.walk(root):
        for path in (os.path.join(current, name) for name in directories + files):
            info, relative = os.lstat(path), os.fsencode(os.path.relpath(path, root))
            mode, when = oct(stat.S_IMODE(info.st_mode)), info.st_mtime_ns // 10**9
            if stat.S_ISLNK(info.st_mode):
                entries.append((relative, 'link', os.fsencode(os.readlink(path))))
            elif stat.S_ISDIR(info.st_mode):  # a parent made on the way has no archive time
                recent = abs(info.st_mtime - time.time()) < 600
                entries.append((relative, 'dir', mode, None if recent else when))
            else:
                kind = 'file' if stat.S_ISREG(info.st_mode) else 'other'
                digest = hashlib.sha1(pathlib.Path(path).read_bytes()).hexdigest()
                entries.append((relative, kind, mode, digest, when))
    return sorted(entries)


def unzip_misreads(archive):
    """Whether unzip wrongly finds parts of `archive` overlapping: a member with a Unicode path
    block and a data descriptor derails its count."""
    try:
        members = zipfile.ZipFile(io.BytesIO(archive)).infolist()
    except (zipfile.BadZipFile, ValueError, EOFError):
        return False
    return any(m.flag_bits & 8 and b'up' in m.extra for m in members)


def run(command, mask, timeout, **env):
    return subprocess.run(command, env=dict(PATH='/usr/bin:/bin', **env), stdin=subprocess.DEVNULL,
                          capture_output=True, preexec_fn=lambda: os.umask(mask), timeout=timeout)


def compare(archive, damaged, mask, work, installer, url):
    """What differs where unzip and the launcher unpack `archive` under umask `mask`, if aught."""
    path, reference, home = (os.path.join(work, n) for n in ('agent.zip', 'reference', 'home'))
    pathlib.Path(path).write_bytes(archive)
    try:  # some damaged archives make unzip loop: a run that never ends is a failure
        unzip = ['/usr/bin/unzip', '-qq', '-o', path, '-d', reference]
        status = run(unzip, mask, 20, LC_ALL='C.UTF-8').returncode
    except subprocess.TimeoutExpired:
        status = -1
    os.mkdir(home, 0o700)
    launched = run([installer], mask, 120, HOME=home, QZ_INTERNAL_INSTALL_AGENT_URL=url)
    code, errors, ours = launched.returncode, launched.stderr, os.path.join(home, CACHE)
    unpacked = os.path.isdir(ours)
    if status == 0 and not unpacked and not damaged:
        return 'unzip exits 0, the launcher did not unpack it (%d): %r' % (code, errors)
    if status == 12 and unzip_misreads(archive):
        return None
    if status != 0 and (unpacked or REFUSED not in errors):
        return 'unzip exits %d, the launcher unpacked it (%d): %r' % (status, code, errors)
    theirs, mine = (describe(reference), describe(ours)) if status == 0 and unpacked else ([], [])
    if theirs != mine:
        return 'trees differ:\n  unzip only:    %r\n  launcher only: %r' % (
            [e for e in theirs if e not in mine], [e for e in mine if e not in theirs])
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
        pathlib.Path(options.keep).write_bytes(zip_maker.make_archive(options.first)[1])
        return 0
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), AgentHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = 'http://127.0.0.1:%d/agent' % server.server_address[1]
    with tempfile.TemporaryDirectory(prefix='qztest-differential-') as work:
        bundle, installer = os.path.join(work, 'bundle.zip'), os.path.join(work, 'setup.run')
        subprocess.run(['/usr/bin/zip', '-q', bundle, '-'], input=b'the product', check=True)
        subprocess.run([options.packer, options.launcher, bundle, installer], check=True)
        for seed in range(options.first, options.first + options.seeds):
            description, server.agent, damaged = zip_maker.make_archive(seed)
            for mask in (0o022, 0o077):
                with tempfile.TemporaryDirectory(dir=work) as scratch:  # read-only parts too
                    problem = compare(server.agent, damaged, mask, scratch, installer, url)
                if problem:
                    print('seed %d, umask %03o, %s\n%s' % (seed, mask, description, problem))
                    print('to look at it: %s %s %s --first %d --keep FILE'
                          % (sys.argv[0], options.launcher, options.packer, seed))
                    return 1
    server.shutdown()
    print('%d archives unpacked as Info-ZIP unpacks them' % options.seeds)
    return 0


if __name__ == '__main__':
    sys.exit(main())
