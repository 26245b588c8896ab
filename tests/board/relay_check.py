#!/usr/bin/env python3
"""Checks the files the relay scenario left on the card, read back into
FOLDER: the dump layout, the live stream, a remote ls and the fetchlogs
archive. Prints one "PASS what" or "FAIL what: why" line per check."""
import io
import os
import sys
import tarfile

folder = sys.argv[1]


def read(name):
    try:
        with open(os.path.join(folder, name), 'rb') as f:
            return f.read()
    except OSError:
        return None


note = b'note kept in every dump\n'
sections = (b'\n---------------------------- Dump of /etc/board/note ---------------------------\n' + note +
            b'\n--------------------- dump of echo cmd-out ----------------------------\n' + b'cmd-out\n' +
            b'\n---------------------------- Dump of log -----------------------------\n')
example = read('example.out') or b''
before_cont = b'line one from client mode\n' + example
during = b'line during continuous dump\n'
after = b'line after stop\n'
listing = b'note\npackage-file\nrelay-scenario\n'

expected = {
    'log.cont.0': sections + before_cont + during,
    'log.0': sections + before_cont + during + after,
    'live.out': before_cont + during + after,
    'ls.out': b'\n' + b'=' * 62 + b'\n[[[[ls /etc/board]]]\n' + listing,
}
checks = {
    'log.cont.0': 'continuous dump: files, command, log header, history, then only the lines until SIGRTMIN',
    'log.0': 'snapshot: files, command, log header, every line',
    'live.out': "live stream after 'act': every line once, in order",
    'ls.out': "remote 'ls /etc/board': header and listing",
}


def verdict(ok, what, why=''):
    print(('PASS ' if ok else 'FAIL ') + what + ('' if ok else ': ' + why))


for name, want in expected.items():
    got = read(name)
    why = 'missing' if got is None else 'got %r, want %r' % (got[-300:], want[-300:])
    verdict(got == want, checks[name], why)

archive = read('fetch.tgz')
members = {}
try:
    with tarfile.open(fileobj=io.BytesIO(archive or b''), mode='r:gz') as tar:
        for m in tar.getmembers():
            if m.isfile():
                members[m.name] = tar.extractfile(m).read()
except (tarfile.TarError, EOFError, OSError) as e:
    members = {'unreadable archive: %s' % e: b''}
want = {'mnt/card/log.0': read('log.0'), 'mnt/card/log.cont.0': read('log.cont.0'), 'etc/board/note': note}
verdict(members == want, 'fetchlogs: archive of the dump files and the -a file',
        'members %s' % sorted(members))
