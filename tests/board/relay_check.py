#!/usr/bin/env python3
"""Checks the files the relay scenario left on the card, read back into
FOLDER: the dump layout, the live stream, a remote ls and the fetchlogs
archive. Prints one "PASS what" or "FAIL what: why" line per check."""
import io, os, sys, tarfile


def read(name):
    try:
        with open(os.path.join(sys.argv[1], name), 'rb') as f:
            return f.read()
    except OSError:
        return None


def verdict(ok, what, why):
    print(('PASS ' if ok else 'FAIL ') + what + ('' if ok else ': ' + why))


note = b'note kept in every dump\n'
sections = (b'\n' + b'-' * 28 + b' Dump of /etc/board/note ' + b'-' * 27 + b'\n' + note +
            b'\n' + b'-' * 21 + b' dump of echo cmd-out ' + b'-' * 28 + b'\ncmd-out\n' +
            b'\n' + b'-' * 28 + b' Dump of log ' + b'-' * 29 + b'\n')
before_cont = b'line one from client mode\n' + (read('example.out') or b'')
during, after = b'line during continuous dump\n', b'line after stop\n'
expected = [
    ('log.cont.0', sections + before_cont + during,
     'continuous dump: files, command, log header, history, then only the lines until SIGRTMIN'),
    ('log.0', sections + before_cont + during + after,
     'snapshot: files, command, log header, every line'),
    ('live.out', before_cont + during + after,
     "live stream after 'act': every line once, in order"),
    ('ls.out', b'\n' + b'=' * 62 + b'\n[[[[ls /etc/board]]]\nnote\npackage-file\nrelay-scenario\n',
     "remote 'ls /etc/board': header and listing"),
]
for name, want, what in expected:
    got = read(name)
    why = 'missing' if got is None else 'got %r, want %r' % (got[-300:], want[-300:])
    verdict(got == want, what, why)

members = {}
try:
    with tarfile.open(fileobj=io.BytesIO(read('fetch.tgz') or b''), mode='r:gz') as tar:
        members = {m.name: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}
except (tarfile.TarError, EOFError, OSError) as e:
    members = {'unreadable archive: %s' % e: b''}
want = {'mnt/card/log.0': read('log.0'), 'mnt/card/log.cont.0': read('log.cont.0'),
        'etc/board/note': note}
verdict(members == want, 'fetchlogs: archive of the dump files and the -a file',
        'members %s' % sorted(members))
