#!/usr/bin/env bash
# Prints the stacks of the crashing thread and of the main thread from a Corvin crash dump, each
# frame with function, source file and line, using Debian's lldb.
#
#   scripts/read-dump.sh DUMP [SYMBOLS_FOLDER [FOLDER...]]
#
# SYMBOLS_FOLDER holds the program that crashed and its symbols file beside it
# (<program>.debug). For a dump of the Windows program: the unpacked
# corvin-<version>-win64-symbols.zip, which also holds the package's DLLs, so that frames inside
# Qt are named. For a Linux dump it may be left out: the program is then looked for where the
# dump says it ran, with its symbols file beside it. Further folders are searched for the other
# modules too: copies of Windows' own DLLs (ntdll, kernelbase, user32, win32u) from the machine
# that crashed name the frames inside Windows and let the stack be followed through them.
#
# The program's build id in the dump must be that of the program and of the symbols file found:
# otherwise the script says so and prints no stack, since a stack read with another build's
# symbols is silently wrong.
set -euo pipefail

if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
    sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
    [ $# -ge 1 ] && exit 0
    exit 1
fi
for tool in lldb python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "read-dump: $tool is missing (Debian: apt-get install lldb python3)" >&2
        exit 1
    fi
done

exec python3 - "$@" <<'PYTHON'
import os
import re
import struct
import subprocess
import sys


def fail(text, status=1):
    sys.stderr.write('read-dump: %s\n' % text)
    sys.exit(status)


dump_path = sys.argv[1]
folders = [os.path.abspath(f) for f in sys.argv[2:]]
for folder in folders:
    if not os.path.isdir(folder):
        fail('%s is not a folder' % folder)
try:
    dump = open(dump_path, 'rb').read()
except OSError as e:
    fail('cannot read %s: %s' % (dump_path, e.strerror))


def u32(data, at):
    return struct.unpack_from('<I', data, at)[0]


# The minidump's streams: system info, threads, modules, exception, misc info.
if dump[:4] != b'MDMP' or len(dump) < 32:
    fail('%s is not a minidump' % dump_path)
streams = {}
try:
    count, directory = struct.unpack_from('<II', dump, 8)
    for i in range(count):
        kind, size, rva = struct.unpack_from('<III', dump, directory + 12 * i)
        streams[kind] = (size, rva)
    for needed in (3, 4, 6, 7):
        if needed not in streams:
            fail('%s lacks stream %d' % (dump_path, needed))
    linux = u32(dump, streams[7][1] + 20) == 0x8201
    crashed_tid = u32(dump, streams[6][1])
    first_tid = u32(dump, streams[3][1] + 4) if u32(dump, streams[3][1]) else None
    pid = None
    if 15 in streams and u32(dump, streams[15][1] + 4) & 1:
        pid = u32(dump, streams[15][1] + 8)
    module_rva = streams[4][1] + 4
    name_rva = u32(dump, module_rva + 20)
    name_length = u32(dump, name_rva)
    module_path = dump[name_rva + 4:name_rva + 4 + name_length].decode('utf-16-le', 'replace')
    cv_size, cv_rva = struct.unpack_from('<II', dump, module_rva + 76)
    cv = dump[cv_rva:cv_rva + cv_size]
except struct.error:
    fail('%s is cut off or damaged' % dump_path)
# The main thread: on Linux the one whose id is the process id, on Windows the first listed.
main_tid = pid if linux else first_tid


def dump_build_id(record):
    signature = u32(record, 0) if len(record) >= 4 else 0
    if signature == 0x53445352:  # Windows ("RSDS"): GUID and age
        return record[4:24]
    if signature == 0x4270454c:  # Linux ("BpEL"): the ELF build id
        return record[4:]
    return b''


def elf_build_id(data):
    if data[:4] != b'\x7fELF' or data[4] != 2:
        return b''
    shoff, = struct.unpack_from('<Q', data, 0x28)
    shentsize, shnum = struct.unpack_from('<HH', data, 0x3a)
    for i in range(shnum):
        header = shoff + i * shentsize
        kind, = struct.unpack_from('<I', data, header + 4)
        offset, size = struct.unpack_from('<QQ', data, header + 0x18)
        if kind != 7:  # SHT_NOTE
            continue
        at = offset
        while at + 12 <= offset + size:
            namesz, descsz, note = struct.unpack_from('<III', data, at)
            name_at = at + 12
            desc_at = name_at + ((namesz + 3) & ~3)
            if note == 3 and data[name_at:name_at + namesz] == b'GNU\0':
                return data[desc_at:desc_at + descsz]
            at = desc_at + ((descsz + 3) & ~3)
    return b''


def pe_build_id(data):
    if data[:2] != b'MZ':
        return b''
    pe = u32(data, 0x3c)
    if data[pe:pe + 4] != b'PE\0\0':
        return b''
    sections, = struct.unpack_from('<H', data, pe + 6)
    optional_size, = struct.unpack_from('<H', data, pe + 20)
    optional = pe + 24
    magic, = struct.unpack_from('<H', data, optional)
    directories = optional + (112 if magic == 0x20b else 96)
    debug_rva, debug_size = struct.unpack_from('<II', data, directories + 8 * 6)
    table = []
    for i in range(sections):
        at = optional + optional_size + 40 * i
        table.append(struct.unpack_from('<IIII', data, at + 8))

    # File offsets differ between the program and its symbols file: go by address.
    def offset(rva):
        for virtual_size, address, raw_size, raw_at in table:
            if raw_at and address <= rva < address + raw_size:
                return raw_at + rva - address
        return None

    at = offset(debug_rva) if debug_rva else None
    for i in range(debug_size // 28 if at is not None else 0):
        kind, size, address = struct.unpack_from('<III', data, at + 28 * i + 12)
        record = offset(address)
        if kind == 2 and record is not None and data[record:record + 4] == b'RSDS':
            return data[record + 4:record + 24]
    return b''


def file_build_id(path):
    try:
        data = open(path, 'rb').read()
        return elf_build_id(data) or pe_build_id(data)
    except (OSError, struct.error, IndexError):
        return b''


module_name = re.split(r'[\\/]', module_path)[-1]
wanted = dump_build_id(cv)
if folders:
    program = os.path.join(folders[0], module_name)
elif linux:
    program = module_path
else:
    fail('a Windows dump needs SYMBOLS_FOLDER: the unpacked corvin-<version>-win64-symbols.zip')
symbols = program + '.debug'
for path in (program, symbols):
    if not os.path.isfile(path):
        fail('%s is missing' % path)
if not wanted:
    fail('the dump gives no build id for %s: no stack printed, it could be another build\'s'
         % module_name, 2)
for path in (program, symbols):
    found = file_build_id(path)
    if found != wanted:
        fail('the symbols are not those of the build that crashed: the dump\'s %s has build id '
             '%s, %s has %s. No stack printed: it would be wrong.'
             % (module_name, wanted.hex(), path, found.hex() or 'none'), 2)

commands = [
    'settings set thread-stop-format "thread #${thread.index}: tid = ${thread.id%tid}\\n"',
    'settings set frame-format "frame #${frame.index}: ${frame.pc}{ ${module.file.basename}'
    '{`${function.name-without-args}{${frame.no-debug}${function.pc-offset}}}}'
    '{ at ${line.file.basename}:${line.number}}\\n"',
]
if folders:
    commands.append('settings set target.exec-search-paths ' +
                    ' '.join('"%s"' % f for f in folders))
commands += [
    'target create "%s" --core "%s"' % (program, os.path.abspath(dump_path)),
    'target symbols add "%s"' % symbols,
    'thread backtrace all -c 256',
]
arguments = ['lldb', '--batch', '--no-lldbinit']
for command in commands:
    arguments += ['-o', command]
environment = dict(os.environ)
# Debian's lldb 14 looks for its Python module here; without it it only complains.
environment.setdefault('PYTHONPATH', '/usr/lib/llvm-14/lib/python3.11/dist-packages')
try:
    result = subprocess.run(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=environment, timeout=600)
except subprocess.TimeoutExpired:
    fail('lldb did not finish within 10 minutes')
output = result.stdout.decode('utf-8', 'replace')

threads = {}
current = None
for line in output.splitlines():
    header = re.match(r'^[* ]*thread #\d+: tid = (0x[0-9a-fA-F]+|\d+)', line)
    if header:
        current = threads.setdefault(int(header.group(1), 0), [])
        continue
    frame = re.match(r'^[* ]*(frame #\d+: .*)$', line)
    if frame and current is not None:
        current.append(frame.group(1))
if crashed_tid not in threads:
    sys.stderr.write(output)
    fail('lldb showed no stack for the crashing thread')

print('Crashing thread (tid %d):' % crashed_tid)
for frame in threads[crashed_tid]:
    print('  ' + frame)
print()
if main_tid == crashed_tid:
    print('Main thread (tid %d): the crashing thread' % main_tid)
elif main_tid in threads:
    print('Main thread (tid %d):' % main_tid)
    for frame in threads[main_tid]:
        print('  ' + frame)
else:
    print('Main thread: not in this dump')
PYTHON
