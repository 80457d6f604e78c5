#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/seed-*.

Run from anywhere; existing seeds are overwritten, other corpus files are left alone. The byte
layouts are those the targets' comments describe.

With --large FOLDER it writes instead, into FOLDER/<target>/, inputs at the decoders' limits
(131072-element lists in server messages and records, a store file of 200000 settings, a
10 MiB peer frame), megabytes each and so not committed: run a release build's replay program
on them to see how long a decoder takes at its limits, e.g.
    build/release/fuzz/fuzz_server_messages_replay FOLDER/server_messages"""

import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v): return struct.pack('<B', v)
def u16(v): return struct.pack('<H', v)
def u32(v): return struct.pack('<I', v & 0xffffffff)
def i32(v): return struct.pack('<i', v)
def i64(v): return struct.pack('<q', v)
def s(text): b = text if isinstance(text, bytes) else text.encode(); return u32(len(b)) + b


def attrs(ext, pairs):
    return s(ext) + u32(len(pairs)) + b''.join(i32(c) + i32(v) for c, v in pairs)


def fileinfo(name, size, ext='mp3', pairs=((0, 320), (1, 245))):
    return u8(1) + s(name) + i64(size) + attrs(ext, pairs)


def stats(speed, second, files, fourth):
    return i32(speed) + i64(second) + i32(files) + i32(fourth)


def container(elements):
    return u32(len(elements)) + b''.join(elements)


OUT = os.path.join(HERE, 'corpus')
PREFIX = 'seed-'


def write(target, name, data):
    folder = os.path.join(OUT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, PREFIX + name), 'wb') as f:
        f.write(data)


# Selectors of fuzz_records.cpp.
FILEINFO, ATTRS, STATS, STRING, FILE_LIST, FILE_SET, FILE_VECTOR, FILE_MAP, TRANSLATION, \
    STATS_LIST, PARENTS, CORRELATIONS, STRING_LIST, STRING_SET, INT_LIST, INT_PAIR, ADDRESS, \
    BOOL, U32, I64, I16, U16, COUNT = range(23)


def records():
    song = fileinfo('01 - Opening.mp3', 4_812_345)
    write('records', 'fileinfo', u8(FILEINFO) + song)
    write('records', 'fileinfo-code0', u8(FILEINFO) + u8(0))
    write('records', 'fileinfo-code7', u8(FILEINFO) + u8(7) + song[1:])
    write('records', 'attributes', u8(ATTRS) + attrs('flac', [(0, 900), (1, 61), (2, 1), (0, 1)]))
    write('records', 'attributes-over-count', u8(ATTRS) + s('ogg') + u32(131073) + i32(0) * 2)
    write('records', 'userstats', u8(STATS) + stats(52000, 17, 1420, -3))
    write('records', 'string-nul', u8(STRING) + s(b'ab\0c'))
    write('records', 'string-at-limit', u8(STRING) + s(b'x' * 131072))
    write('records', 'string-over-limit', u8(STRING) + u32(131073) + b'y' * 16)
    write('records', 'string-top-bit', u8(STRING) + u32(0xffffffff) + b'z' * 8)
    files = [song, fileinfo('b.ogg', 100, 'ogg', []), u8(0), fileinfo('b.ogg', 200)]
    write('records', 'file-list', u8(FILE_LIST) + container(files))
    write('records', 'file-set', u8(FILE_SET) + container(files + [fileinfo('b.ogg', 100)]))
    write('records', 'file-vector', u8(FILE_VECTOR) + container(files))
    folders = [s('music\\live') + container(files[:2]), s('music') + container([]),
               s('music\\live') + container(files[3:])]
    write('records', 'file-map', u8(FILE_MAP) + container(folders))
    write('records', 'translation', u8(TRANSLATION) +
          container([i32(0) + s('bitrate'), i32(1) + s('length'), i32(0) + s('kbps')]))
    write('records', 'stats-list', u8(STATS_LIST) + container(
        [stats(1, 2, 3, 4), stats(-1, -2, -3, -4)]))
    write('records', 'parents', u8(PARENTS) + container(
        [s('parent1') + u32(0x0100007f) + i32(2234), s('p2') + u32(0x0a000001) + i32(-1)]))
    write('records', 'parents-cut', u8(PARENTS) + u32(3) + s('a') + u32(1) + i32(2) + s('b'))
    write('records', 'correlations', u8(CORRELATIONS) + container(
        [s('jazz') + i32(10), s('blues') + i32(-4)]))
    write('records', 'string-list', u8(STRING_LIST) + container([s('a'), s(''), s('a')]))
    write('records', 'string-set', u8(STRING_SET) + container([s('b'), s('a'), s('b')]))
    write('records', 'int-list', u8(INT_LIST) + container([i32(1), i32(-1), i32(7)]))
    write('records', 'count-at-limit', u8(COUNT) + u32(131072))
    write('records', 'count-over-limit', u8(INT_LIST) + u32(131073) + i32(5))
    write('records', 'count-negative', u8(STRING_LIST) + u32(0xffffffff) + s('q'))
    write('records', 'scalars', u8(BOOL) + u8(9) + u8(U32) + u32(7) + u8(I64) + i64(-5) +
          u8(I16) + u16(0x8001) + u8(U16) + u16(65535) + u8(INT_PAIR) + i32(1) + i32(2) +
          u8(ADDRESS) + u32(0xffffffff) + i32(-1) + u8(23) + u8(5))
    write('records', 'message-like', u8(STRING) + s('room') + u8(STRING_LIST) +
          container([s('u1'), s('u2')]) + u8(STATS_LIST) + container([stats(1, 0, 2, 0)]) +
          u8(STRING) + u32(3))


def frame(body):
    return u32(len(body)) + body


def rotl(k):
    return ((k << 1) | (k >> 31)) & 0xffffffff


def scramble(data, key):
    out = bytearray()
    k = key
    for i, b in enumerate(data):
        if i % 4 == 0:
            k = rotl(k)
        out.append(b ^ ((k >> (8 * (i % 4))) & 0xff))
    return u32(key) + bytes(out)


def init(user, kind):
    return u8(1) + s(user) + s(kind) + u32(0)


def pierce(token):
    return u8(0) + u32(token)


PLAIN, SCRAMBLED, MANAGER, LIST_ASKED = 0, 1, 2, 4
WHOLE, PIECES, BYTES = 0, 8 * 18, 8 * 1


def peer_frames():
    message = u32(4)
    chat = u32(22) + s('hello there')
    key = 0x9e3779b9
    seeds = {
        'init-p': (PLAIN | WHOLE, frame(init('alice', 'P')) + frame(message) + frame(chat)),
        'init-p-pieces': (PLAIN | PIECES, frame(init('alice', 'P')) + frame(chat) + frame(b'')),
        'init-f-token': (PLAIN | WHOLE, frame(init('bob', 'F')) + u32(0xdeadbeef)),
        'init-f-token-split': (PLAIN | BYTES, frame(init('bob', 'F')) + u32(77) + b'\x01\x02'),
        'init-d': (PLAIN | WHOLE, frame(init('carol', 'D')) + b'rest'),
        'init-unknown-type': (PLAIN | WHOLE, frame(init('dave', 'X'))),
        'init-empty-name': (PLAIN | WHOLE, frame(init('', 'P')) + frame(message)),
        'init-nul-name': (PLAIN | WHOLE, frame(u8(1) + s(b'eve\0x') + s('P') + u32(0))),
        'init-name-over-limit': (PLAIN | WHOLE, frame(u8(1) + u32(131073) + b'n' * 12)),
        'init-direction-7': (PLAIN | WHOLE, frame(u8(7) + s('zed') + s('P') + u32(9))),
        'pierce-p': (PLAIN | WHOLE, frame(pierce(1)) + frame(message)),
        'pierce-f': (PLAIN | PIECES, frame(pierce(2)) + b'after'),
        'pierce-d': (PLAIN | WHOLE, frame(pierce(3))),
        'pierce-bad-type': (PLAIN | WHOLE, frame(pierce(4))),
        'pierce-unknown': (PLAIN | WHOLE, frame(pierce(99))),
        'pierce-short': (PLAIN | WHOLE, frame(u8(0) + b'\x01\x02')),
        'empty-first': (PLAIN | WHOLE, frame(b'')),
        'length-at-limit': (PLAIN | WHOLE, u32(10485760) + b'\0' * 64),
        'length-over-limit': (PLAIN | WHOLE, u32(10485761) + b'\0' * 8),
        'header-split': (PLAIN | BYTES, frame(init('frank', 'P')) + b'\x04\x00'),
        'scrambled-init-p': (SCRAMBLED | WHOLE, scramble(frame(init('grace', 'P')), key) +
                             scramble(frame(message), 0x01020304) +
                             scramble(frame(chat + b'x'), 0xffffffff)),
        'scrambled-pieces': (SCRAMBLED | PIECES, scramble(frame(init('grace', 'P')), 0) +
                             scramble(frame(chat), 0x80000001)),
        'scrambled-init-f': (SCRAMBLED | WHOLE, scramble(frame(init('heidi', 'F')), key) +
                             u32(0x12345678)),
        'scrambled-pierce': (SCRAMBLED | WHOLE, scramble(frame(pierce(1)), key) +
                             scramble(frame(message), key)),
        'scrambled-over-limit': (SCRAMBLED | WHOLE, scramble(u32(10485761), key) + b'\0' * 8),
        'scrambled-seven': (SCRAMBLED | WHOLE, b'\1' * 7),
        # Past the peer limit: only a share list from a user we asked may go on, up to its own.
        'long-list-asked': (LIST_ASKED | WHOLE, frame(init('ivan', 'P')) + u32(10485761) +
                            u32(5) + b'\0' * 32),
        'long-list-unasked': (PLAIN | WHOLE, frame(init('ivan', 'P')) + u32(10485761) + u32(5) +
                              b'\0' * 32),
        'long-other-code-asked': (LIST_ASKED | BYTES, u32(10485761) + u32(4) + b'\0' * 8),
        'long-list-over-its-limit': (LIST_ASKED | WHOLE, u32(268435457) + u32(5) + b'\0' * 8),
        'scrambled-long-list-asked': (SCRAMBLED | LIST_ASKED | PIECES,
                                      scramble(u32(10485761) + u32(5) + b'\0' * 40, key)),
        'scrambled-long-list-unasked': (SCRAMBLED | PIECES,
                                        scramble(u32(10485761) + u32(5) + b'\0' * 40, key)),
    }
    for name, (control, wire) in seeds.items():
        write('peer_frames', name, u8(control) + wire)
        write('peer_frames', 'manager-' + name, u8(control | MANAGER) + wire)


def msg(code, *fields):
    return frame(u32(code) + b''.join(fields))


def strs(*names):
    return container([s(n) for n in names])


def u32s(*values):
    return container([u32(v) for v in values])


WRAP, ASKED, HOOK = 1, 2, 4


def peer_messages():
    song = fileinfo('\\music\\b.mp3', 4_812_345, 'mp3', [(0, 192), (1, 245), (2, 1)])
    clip = fileinfo('\\video\\c.mkv', 700_000_000, '', [])
    tail = u8(1) + u32(5000) + u32(3) + u32(0)
    reply = s('bob') + u32(2) + container([song, clip, u8(0)]) + tail
    share = container([s('\\music') + container([fileinfo('b.mp3', 5), fileinfo('a.ogg', 7, '', [])]),
                       s('\\music\\live') + container([]),
                       s('\\video') + container([fileinfo('c.mkv', 9, '', [(5, 1)])])]) + \
        container([i32(0) + s('bitrate')])
    seeds = {
        'share-request': (0, u32(4)),
        'share-request-hook': (HOOK, u32(4)),
        'share-list': (WRAP | ASKED, u32(5) + share),
        'share-list-unasked': (WRAP, u32(5) + share),
        'share-list-no-table': (WRAP | ASKED, u32(5) + share[:-12]),
        'share-list-raw': (ASKED, u32(5) + b'\x78\xda' + b'\0' * 12),
        'search-reply': (WRAP, u32(9) + reply),
        'search-reply-eve': (WRAP, u32(9) + s('eve') + reply[7:]),
        'search-reply-gone': (WRAP, u32(9) + s('bob') + u32(77) + b'junk'),
        'search-reply-listed': (WRAP, u32(9) + s('bob') + u32(3) +
                                container([fileinfo('\\music\\a.mp3', 10)]) + tail),
        'search-reply-no-tail': (WRAP, u32(9) + s('bob') + u32(3) + container([song, song])),
        'search-reply-count-over': (WRAP, u32(9) + s('bob') + u32(2) + u32(131073) + song),
        'search-reply-count-negative': (WRAP, u32(9) + s('bob') + u32(2) + u32(0xffffffff)),
        'folder-request': (0, u32(36) + u32(7) + s('\\data\\Music')),
        'transfer-request-upload': (0, u32(40) + u32(1) + u32(7) + s('a.mp3') + i64(100)),
        'transfer-request-download': (0, u32(40) + u32(0) + u32(7) + s('a.mp3')),
        'transfer-request-no-size': (0, u32(40) + u32(1) + u32(7) + s('a.mp3')),
        'transfer-response-size': (0, u32(41) + u32(9) + u8(1) + i64(12345)),
        'transfer-response-no-size': (0, u32(41) + u32(9) + u8(1)),
        'transfer-response-denied': (0, u32(41) + u32(9) + u8(0) + s('Queued')),
        'transfer-response-short': (0, u32(41) + u32(9) + u8(0)),
        'queue-upload': (0, u32(43) + s('a.mp3')),
        'place-in-line': (0, u32(44) + s('a.mp3') + u32(3)),
        'place-in-line-short': (0, u32(44) + s('a.mp3')),
        'upload-failed': (0, u32(46) + s('a.mp3')),
        'upload-denied': (0, u32(50) + s('a.mp3') + s('Banned')),
        'name-over-limit': (0, u32(43) + u32(131073) + b'n' * 16),
        'unknown-code': (0, u32(99) + b'anything'),
        'say': (0, u32(1) + s('hi')),
        'no-code': (0, b'\x01\x02'),
    }
    for name, (control, message) in seeds.items():
        write('peer_messages', name, u8(control) + message)


# Sources of fuzz_dnet_frames.cpp (byte 0 modulo 5); the rest of byte 0 cuts the input.
PARENT, CANDIDATE, CHILD, STRANGER, SERVER = range(5)
D_WHOLE, D_PIECES, D_BYTES = 0, 5 * 7, 5 * 1


def dnet_frames():
    search = frame(u8(3) + u32(49) + s('bob') + u32(0x01020304) + s('abc'))
    pass_on = frame(u8(3) + u32(0) + b'\xde\xad\xbe\xef')
    level = frame(u8(4) + i32(4))
    leader = frame(u8(5) + s('abc'))
    cut = {
        'empty': frame(b''),
        'unknown-code': frame(u8(9) + u8(0)),
        'level-short': frame(u8(4) + b'\x01\x02\x03'),
        'leader-over-limit': frame(u8(5) + u32(131073) + b'x' * 8),
        'search-cut': frame(u8(3) + u32(49) + s('bob') + b'\x01'),
        'search-no-kind': frame(u8(3) + b'\x31\x00'),
        'length-over-limit': u32(1048577) + b'\0' * 16,
        'length-negative': u32(0x80000000) + b'\0' * 8,
        'length-at-limit-partial': u32(1048576) + u8(3) + u32(0) + b'z' * 32,
    }
    seeds = {
        'parent': (PARENT + D_WHOLE, search + pass_on + level + level + leader + leader),
        'parent-pieces': (PARENT + D_PIECES, search + level + frame(u8(4) + i32(-1)) + search),
        'parent-bytes': (PARENT + D_BYTES, pass_on + search),
        'parent-level-max': (PARENT + D_WHOLE, frame(u8(4) + i32(0x7fffffff)) + search),
        'parent-nul-user': (PARENT + D_WHOLE, frame(u8(3) + u32(49) + s(b'b\0b') + u32(1) +
                                                      s(b'q\0'))),
        'candidate': (CANDIDATE + D_WHOLE, level + leader + pass_on + search + level + search),
        'candidate-pieces': (CANDIDATE + D_PIECES, frame(u8(4) + i32(-1)) + search + search),
        'child': (CHILD + D_WHOLE, frame(u8(7) + i32(2)) + frame(u8(7) + i32(0x7fffffff)) +
                  search),
        'child-pieces': (CHILD + D_PIECES, frame(u8(7) + i32(-5)) + frame(u8(7) + b'\x01')),
        'stranger': (STRANGER + D_WHOLE, search + search),
        'server': (SERVER + D_WHOLE, search + pass_on + level + leader + cut['search-cut'] +
                   cut['empty'] + search),
        'server-pieces': (SERVER + D_PIECES, search + search),
    }
    for name, body in cut.items():
        seeds['parent-' + name] = (PARENT + D_WHOLE, search + body + search)
        seeds['child-' + name] = (CHILD + D_PIECES, frame(u8(7) + i32(1)) + body)
    seeds['stranger-empty'] = (STRANGER + D_WHOLE, cut['empty'])
    seeds['candidate-over-limit'] = (CANDIDATE + D_BYTES, level + cut['length-over-limit'])
    for name, (control, wire) in seeds.items():
        write('dnet_frames', name, u8(control) + wire)


LIST, CONTENTS = 0, 1


def share_lists():
    mp3 = fileinfo('b.mp3', 20, 'mp3', [(0, 192), (2, 1), (1, 245), (0, 320), (9, 9)])
    ogg = fileinfo('a.ogg', 10, '', [])
    table = container([i32(0) + s('bitrate'), i32(1) + s('length')])
    lists = {
        'music': container([s('Music') + container([mp3, ogg]), s('Music\\Rock') + container([]),
                            s('Music\\Rock\\Live') + container([u8(0), ogg])]) + table,
        'chain-gap': container([s('a') + container([]), s('a\\b\\c') + container([ogg])]),
        'rooted': container([s('') + container([]), s('\\') + container([]),
                             s('\\data') + container([]), s('\\data\\') + container([mp3])]),
        'trailing-backslashes': container([s('a') + container([]), s('a\\\\') + container([])]),
        'repeated-key': container([s('x') + container([ogg]), s('x') + container([mp3])]),
        'no-table': container([s('Music') + container([mp3])]),
        'empty': container([]) + container([]),
        'count-over': u32(131073) + s('x'),
        # At the caps on depth and path length, and one past each.
        'depth-at-cap': container([s('\\'.join(['d'] * 1024)) + container([ogg])]),
        'depth-over': container([s('x') + container([]), s('/'.join(['d'] * 1025)) + container([])]),
        'path-at-cap': container([s('p' * 32768) + container([mp3])]),
        'path-over': container([s('p' * 32769) + container([])]),
    }
    for name, body in lists.items():
        write('share_lists', 'list-' + name, u8(LIST) + body)
    records = {
        'two-files': u32(2) + mp3 + ogg + u32(0),
        'no-trailer': u32(2) + mp3 + ogg,
        'empty-record': u32(2) + u8(0) + ogg + u32(0),
        'same-name-two-sizes': u32(2) + fileinfo('a', 1) + fileinfo('a', 2) + u32(0),
        'count-over': u32(131073) + ogg + u32(0),
        'count-negative': u32(0xffffffff) + ogg + u32(0),
    }
    for name, body in records.items():
        write('share_lists', 'contents-' + name, u8(CONTENTS) + body)


LOGGED_IN, CONNECTING = 0, 1


def server_messages():
    st = stats(4000, 9, 120, 0)
    users = [
        msg(3, s('alice'), u32(0x0100007f), i32(2234), u32(1), u16(2235)),
        msg(3, s('alice'), u32(0x0a000002), i32(-1), u32(0), u16(9)),
        msg(5, s('bob'), u8(1), i32(2), st, s('NZ')),
        msg(5, s('bob'), u8(1), i32(0), st),
        msg(5, s('nobody'), u8(0)),
        msg(7, s('bob'), i32(1), u8(1)),
        msg(7, s('bob'), i32(0), u8(0)),
        msg(18, s('carol'), s('P'), u32(0x0100007f), i32(2234), u32(77), u8(1), u32(1), i32(2240)),
        msg(18, s('carol'), s('F'), u32(0x0100007f), i32(2234), u32(77), u8(0), u32(0)),
        msg(22, i32(5), i32(1700000000), s('dave'), s('hi, ask about privileges'), u8(1)),
        msg(36, s('dave'), st),
        msg(69, strs('erin', 'alice', 'erin')),
        msg(92, i32(3600)),
        msg(1001, u32(12)),
    ]
    rooms = [
        msg(14, s('lobby'), strs('alice', 'bob'), u32s(1, 2), container([st, st]), u32s(0, 0),
            strs('NZ', 'AR'), s('alice'), strs('bob')),
        msg(14, s('den'), strs('a', 'b', 'c'), u32s(1), container([st]), u32s(), strs('XX')),
        msg(13, s('lobby'), s('bob'), s('hello')),
        msg(16, s('lobby'), s('frank'), u32(1), st, u32(0), s('DE')),
        msg(17, s('lobby'), s('bob')),
        msg(15, s('lobby')),
        msg(15, s('never')),
        msg(64, strs('lobby', 'den', 'new'), u32s(10, 3), strs('mine'), u32s(1), strs('club'),
            u32s(4), strs('club', 'other')),
        msg(133, s('club'), strs('alice', 'bob')),
        msg(134, s('club'), s('carol')),
        msg(135, s('club'), s('alice')),
        msg(139, s('vip')),
        msg(140, s('vip')),
        msg(141, u8(1)),
        msg(143, s('club'), s('bob')),
        msg(144, s('club'), s('bob')),
        msg(145, s('club')),
        msg(148, s('club'), strs('carol')),
    ]
    search = [
        msg(83, i32(20)),
        msg(84, i32(50)),
        msg(93, u32(3), s('query')),
        msg(93),
        msg(102, container([s('p1') + u32(0x0100007f) + i32(2234),
                            s('p2') + u32(1) + i32(2)])),
        msg(102, u32(3) + s('p1') + u32(1) + i32(2) + s('p2')),
        msg(104, u32(720)),
        msg(128, i32(1)),
        msg(130, b'ignored'),
        msg(153, s('jazz'), container([s('blues') + i32(3), s('swing') + i32(1)])),
        msg(153, s('jazz'), u32(131073)),
    ]
    odd = [
        msg(2, s('unknown')),
        msg(1000),
        frame(b'\x01\x00'),
        frame(b''),
        msg(1, u8(1), s('again'), u32(0), s('')),
    ]
    whole = 0
    pieces = 2 * 53
    write('server_messages', 'users', u8(LOGGED_IN | whole) + b''.join(users))
    write('server_messages', 'rooms', u8(LOGGED_IN | whole) + b''.join(rooms))
    write('server_messages', 'search-dnet', u8(LOGGED_IN | whole) + b''.join(search))
    write('server_messages', 'odd-frames', u8(LOGGED_IN | whole) + b''.join(odd))
    write('server_messages', 'all-in-pieces', u8(LOGGED_IN | pieces) +
          b''.join(users + rooms + search + odd))
    write('server_messages', 'login-accepted', u8(CONNECTING | whole) +
          msg(1, u8(1), s('Welcome'), u32(0x0100007f), s('x')) + b''.join(users[:3]))
    write('server_messages', 'login-refused', u8(CONNECTING | whole) +
          msg(1, u8(0), s('INVALIDPASS')) + b''.join(users[:3]))
    write('server_messages', 'login-empty', u8(CONNECTING | 2) + msg(1))
    write('server_messages', 'length-over-limit', u8(LOGGED_IN | whole) + users[0] +
          u32(64 * 1024 * 1024 + 1) + b'\0' * 16)
    write('server_messages', 'length-at-limit', u8(LOGGED_IN | whole) +
          u32(64 * 1024 * 1024) + u32(13) + b'\0' * 16)
    write('server_messages', 'partial-length', u8(LOGGED_IN | 2) + users[1] + b'\x05\x00')


def store_type(name, null, items):
    out = s(name) + u8(1 if null else 0) + i32(len(items))
    for item_id, value in items:
        out += i32(item_id) + (b'' if null else s(value))
    return out


def store_file(types, pairs):
    return i32(len(types)) + b''.join(types) + i32(len(pairs)) + \
        b''.join(i32(a) + i32(b) for a, b in pairs)


def sealed(layout):
    """A store file as a save writes it: the layout, the marker and the layout's CRC-32."""
    return layout + b'QVCRC32:' + u32(zlib.crc32(layout))


def store_files():
    settings = [store_type('global', False, [(1, 'username'), (2, 'listening_port'),
                                             (3, 'use_upnp')]),
                store_type('global_value', False, [(4, 'ann'), (5, '2240'), (6, 'no')])]
    settings_pairs = [(1, 4), (2, 5), (3, 6)]
    write('store_file', 'empty', store_file([], []))
    write('store_file', 'settings', store_file(settings, settings_pairs))
    rooms_users = [store_type('room_autojoin', True, [(7, '')]),
                   store_type('room', False, [(8, 'lobby'), (9, 'den')]),
                   store_type('in_user_list', True, [(10, ''), (11, '')]),
                   store_type('is_ignored', True, [(12, '')]),
                   store_type('user_list_group', False, [(13, 'friends')]),
                   store_type('user', False, [(14, 'bob'), (15, 'eve'), (16, 'ann')])]
    everything = store_file(settings + rooms_users,
                            settings_pairs + [(7, 8), (7, 9), (10, 14), (10, 13), (11, 16),
                                              (12, 15)])
    write('store_file', 'rooms-users', everything)
    write('store_file', 'unknown-type', store_file(
        [store_type('gone', False, [(1, 'x'), (2, 'y')])] + settings[:1],
        [(1, 2), (1, 3)]))
    write('store_file', 'null-flag-mismatch', store_file([store_type('global', True, [(1, '')])],
                                                         []))
    write('store_file', 'unrelated-pair', store_file(
        [store_type('room', False, [(1, 'a')]), store_type('global', False, [(2, 'k')])],
        [(1, 2), (2, 2), (1, 1)]))
    write('store_file', 'repeated-ids', store_file(
        [store_type('global', False, [(1, 'a'), (1, 'b')]),
         store_type('global_value', False, [(1, 'c'), (2, 'd')])], [(1, 2), (2, 1), (1, 2)]))
    write('store_file', 'nul-in-value', store_file(
        [store_type('global', False, [(1, 'user\0name')])], []))
    write('store_file', 'negative-counts', i32(-1) + i32(-5))
    write('store_file', 'pairs-cut', store_file(settings, settings_pairs)[:-3])
    write('store_file', 'huge-string', i32(1) + i32(0x7fffffff) + b'abc')
    write('store_file', 'huge-count', i32(0x7fffffff) + s('global') + u8(0) + i32(0x7fffffff))
    write('store_file', 'sealed', sealed(everything))
    write('store_file', 'sealed-empty', sealed(store_file([], [])))
    write('store_file', 'sealed-other-checksum', sealed(everything)[:-1] + b'\xff')
    write('store_file', 'sealed-marker-only', everything + b'QVCRC32:')
    write('store_file', 'bytes-after-pairs', store_file(settings, settings_pairs) + b'\0' * 4)
    write('store_file', 'pair-names-missing-id', store_file(settings, settings_pairs + [(1, 99)]))


def mp3(chunk, data):
    return u16(chunk - 1) + data


def frames(*runs, gap=413):
    return b''.join(bytes.fromhex(h) + b'\0' * gap for n, h in runs for _ in range(n))


H128, H192, H320 = 'fffb9064', 'fffbb064', 'fffbe064'


def mp3_scan():
    whole = 65536
    write('mp3_scan', 'cbr128', mp3(whole, frames((150, H128))))
    write('mp3_scan', 'mean', mp3(whole, frames((75, H128), (75, H192))))
    write('mp3_scan', 'constant-99', mp3(whole, frames((198, H128), (2, H320), gap=40)))
    write('mp3_scan', 'variable-98.5', mp3(whole, frames((197, H128), (3, H320), gap=40)))
    write('mp3_scan', 'mono-outvoted', mp3(whole, frames((95, H128), (5, 'fffbb0c4'), gap=20)))
    write('mp3_scan', 'layer2', mp3(whole, frames((100, 'fffd9064'), gap=8)))
    write('mp3_scan', 'mpeg25', mp3(whole, frames((100, 'ffe39064'), (50, H128), gap=8)))
    write('mp3_scan', 'mpeg2-mono', mp3(whole, frames((60, 'fff380c4'), gap=12)))
    write('mp3_scan', 'ties', mp3(whole, frames((20, 'fffbb004'), (20, H128), (20, 'fff38064'),
                                                 (20, 'fffb9864'), (20, 'fffbb0a4'), gap=6)))
    write('mp3_scan', 'free-and-invalid', mp3(whole, frames(
        (30, H128), (20, 'fffb0064'), (20, 'fffbf064'), (10, 'fffb9c64'), (5, 'ffeb9064'),
        gap=3)))
    write('mp3_scan', 'packed', mp3(whole, bytes.fromhex(H128) * 500))
    write('mp3_scan', 'all-ff', mp3(whole, b'\xff' * 300))
    write('mp3_scan', 'empty', mp3(whole, b''))
    write('mp3_scan', 'zeros', mp3(whole, b'\0' * 1000))
    # A header at the last place a chunk examines, one place later, and across two chunks:
    # once in the scanner's own chunks, and in small ones.
    for chunk, size, offsets in ((whole, 70000, (65531,)), (100, 250, (95, 96, 98))):
        for offset in offsets:
            data = bytearray(size)
            data[offset:offset + 4] = bytes.fromhex(H128)
            write('mp3_scan', 'boundary-%d-%d' % (chunk, offset), mp3(chunk, bytes(data)))
    small = frames((40, H128), (10, H192), gap=5)
    for chunk in (1, 4, 5, 7, 9, 64):
        write('mp3_scan', 'chunk-%d' % chunk, mp3(chunk, small))


def filter_seeds():
    """Lines: the filter, texts A and B, then, for a file item, its bitrate, bitrate_mode and
    file_size (an empty line: the item lacks that value)."""
    def seed(name, line, a, b, item=None):
        fields = [line, a, b] + (list(item) if item is not None else [])
        write('filter', name, b'\n'.join(f if isinstance(f, bytes) else f.encode()
                                         for f in fields))

    words = 'lackluster container'
    seed('empty', '', 'anything', 'else', ('-5', 'x', '-1'))
    seed('blanks', '   ', 'a', 'b', ('', '', ''))
    seed('words', words, 'Lackluster', 'CONTAINERS.mp3')
    seed('word-missing', words, 'lackluster.mp3', 'other')
    seed('residual-path', words, 'lackluster', 'container')
    seed('final-sigma', 'σίσυφος', 'Μουσική', 'ΣΊΣΥΦΟΣ.flac')
    seed('dashes', '- --live', 'a -live b', 'a live b')
    seed('excluded-with-limit', 'a -b mbr:192', 'xb', 'a', ('192', '', ''))
    seed('keyword-case', 'ISVBR Mbr:1 isvbr', 'x', 'isvbr', ('', 'vbr', ''))
    seed('tab', 'a\tb', 'a\tb', 'a b')
    seed('mfs-below', 'mfs:1', 'a', 'b', ('', '', '999999'))
    seed('mfs-at', 'minfilesize:1', 'a', 'b', ('', '', '1000000'))
    seed('mfs-largest', 'mfs:9223372036854', 'a', 'b', ('', '', '9223372036854000000'))
    seed('mfs-past-largest', 'mfs:9223372036855', 'a', 'b', ('', '', '9223372036854000000'))
    seed('mfs-past-smallest', 'mfs:-9223372036855', 'a', 'b', ('', '', '-9223372036854775808'))
    seed('mbr-letters', 'mbr:abc', 'a', 'b', ('', '', ''))
    seed('mbr-plus', 'mbr:+192', 'a', 'b', ('192', '', ''))
    seed('mbr-past-int', 'mbr:2147483648', 'a', 'b', ('-1', '', ''))
    seed('bitrate-past-int', 'minbitrate:1', 'a', 'b', ('4294967295', '', ''))
    seed('file-count', 'mfif:8 minfilesinfolder:x', 'a', 'b')
    seed('no-bitrate', 'mbr:1', 'a', 'b', ('', 'cbr', '5'))
    seed('no-mode', 'isvbr', 'a', 'b', ('320', '', '5'))
    seed('no-mode-cbr', 'iscbr', 'a', 'b', ('320', '', '5'))
    seed('both-modes', 'isvbr iscbr', 'a', 'b', ('320', 'vbr', '5'))
    seed('help-example', words + ' iscbr minbitrate:320 minfilesize:10 minfilesinfolder:8',
         'Lackluster', 'container.mp3', ('320', 'cbr', '10000000'))
    seed('help-shorthands', words + ' iscbr mbr:320 mfs:10 mfif:8', 'lackluster container',
         'x.mp3', ('320', 'cbr', '9999999'))
    seed('help-exclude', words + ' -bothersome', 'lackluster bothersome', 'container')
    seed('not-utf8', b'\xff -\xc3', b'\xc3', b'\xed\xa0\x80 \xff', (b'1\x00', b'vbr\x00', b''))


def large_inputs():
    n = 131072
    names = [s('u%d' % i) for i in range(n)]
    st = stats(1, 2, 3, 4)
    write('server_messages', 'room-list', u8(0) + msg(
        64, container(names), u32s(*range(n)), container(names[:1000]), u32s(*[1] * 1000),
        container(names[1000:2000]), u32s(*[1] * 1000), container(names[:2000])))
    write('server_messages', 'room-entered', u8(0) + msg(
        14, s('lobby'), container(names), u32s(*[1] * n), container([st] * n), u32s(*[0] * n),
        container([s('NZ')] * n), s('u1'), container(names[:5000])))
    write('server_messages', 'correlations', u8(0) + msg(
        153, s('jazz'), container([name + i32(1) for name in names])) * 2)
    write('server_messages', 'members', u8(0) + msg(133, s('club'), container(names)) +
          msg(148, s('club'), container(names)))
    write('server_messages', 'privileged', u8(0) + msg(69, container(names)))
    write('server_messages', 'parents', u8(0) + msg(
        102, container([name + u32(1) + i32(2) for name in names])))
    write('records', 'file-list', u8(FILE_LIST) + container([u8(0)] * n))
    write('records', 'file-map', u8(FILE_MAP) + container(
        [name + container([fileinfo(name[4:].decode(), 5)]) for name in names]))
    write('records', 'attributes', u8(ATTRS) + attrs('x', [(1, 2)] * n))
    m = 200000
    keys = [(i + 1, 'k%d' % i) for i in range(m)]
    values = [(m + i + 1, 'v%d' % i) for i in range(m)]
    write('store_file', 'settings', store_file(
        [store_type('global', False, keys), store_type('global_value', False, values)],
        [(i + 1, m + i + 1) for i in range(m)]))
    write('store_file', 'null-items', store_file(
        [store_type('is_ignored', True, [(i + 1, '') for i in range(1000000)])], []))
    big = frame(u32(4) + b'\0' * (10485760 - 4))
    write('peer_frames', 'big-frame', u8(PLAIN) + frame(init('big', 'P')) + big)
    write('peer_frames', 'big-frame-manager', u8(MANAGER) + frame(init('big', 'P')) + big)


if len(sys.argv) == 3 and sys.argv[1] == '--large':
    OUT = sys.argv[2]
    PREFIX = ''
    large_inputs()
elif len(sys.argv) == 1:
    records()
    peer_frames()
    peer_messages()
    dnet_frames()
    share_lists()
    server_messages()
    store_files()
    mp3_scan()
    filter_seeds()
else:
    sys.exit(__doc__)
