#!/usr/bin/env python3
"""The relay scenario's dumps and fetchlogs archive in FOLDER: one PASS/FAIL line each."""
import io, os, sys, tarfile


def read(name):
    path = os.path.join(sys.argv[1], name)
    return open(path, 'rb').read() if os.path.exists(path) else None


def verdict(ok, what, why):
    print(('PASS ' if ok else 'FAIL ') + what + ('' if ok else ': ' + why))


note = b'note kept in every dump\n'
sections = (b'\n' + b'-' * 28 + b' Dump of /etc/board/note ' + b'-' * 27 + b'\n' + note +
            b'\n' + b'-' * 21 + b' dump of echo cmd-out ' + b'-' * 28 + b'\ncmd-out\n' +
            b'\n' + b'-' * 28 + b' Dump of log ' + b'-' * 29 + b'\n')
cont = (sections + b'line one from client mode\n' + (read('example.out') or b'') +
        b'line during continuous dump\n')
for name, want, what in (
        ('log.cont.0', cont, 'continuous dump: files, command, header, lines until SIGRTMIN'),
        ('log.0', cont + b'line after stop\n', 'snapshot: files, command, header, every line')):
    got = read(name)
    verdict(got == want, what, 'missing' if got is None else 'got %r' % got[-300:])

try:
    with tarfile.open(fileobj=io.BytesIO(read('fetch.tgz') or b''), mode='r:gz') as tar:
        members = {m.name: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}
except (tarfile.TarError, EOFError, OSError) as e:
    members = {'unreadable archive: %s' % e: b''}
want = {'mnt/card/log.0': read('log.0'), 'mnt/card/log.cont.0': read('log.cont.0'),
        'etc/board/note': note}
verdict(members == want, 'fetchlogs: archive of the dump files and the -a file',
        'members %s' % sorted(members))
