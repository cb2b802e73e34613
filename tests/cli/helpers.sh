# Helpers for the commands of cases.txt (sourced before each case).

# same_tree A B: the two trees hold the same files with the same bytes.
same_tree() { diff -r "$1" "$2"; }

# same_meta SRC DST: read-only bits and write times (rounded down to DOS's 2
# seconds) of SRC's files are those of DST's.
same_meta() {
    python3 - "$1" "$2" <<'PYEOF'
import os, sys
src, dst = sys.argv[1], sys.argv[2]
problems = 0
for root, dirs, files in os.walk(src):
    for name in files:
        a = os.path.join(root, name)
        b = os.path.join(dst, os.path.relpath(a, src))
        sa, sb = os.stat(a), os.stat(b)
        want = int(sa.st_mtime) - int(sa.st_mtime) % 2
        if int(sb.st_mtime) != want:
            print("time of", b, int(sb.st_mtime), "expected", want)
            problems += 1
        if bool(sa.st_mode & 0o222) != bool(sb.st_mode & 0o222):
            print("write bits of", b)
            problems += 1
sys.exit(1 if problems else 0)
PYEOF
}

# same_folder_times SRC DST: write times of SRC's folders are those of DST's.
same_folder_times() {
    python3 - "$1" "$2" <<'PYEOF'
import os, sys
src, dst = sys.argv[1], sys.argv[2]
problems = 0
for root, dirs, files in os.walk(src):
    for name in dirs:
        a = os.path.join(root, name)
        b = os.path.join(dst, os.path.relpath(a, src))
        want = int(os.stat(a).st_mtime) // 2 * 2
        if int(os.stat(b).st_mtime) != want:
            print("time of", b, int(os.stat(b).st_mtime), "expected", want)
            problems += 1
sys.exit(1 if problems else 0)
PYEOF
}

# flip_byte IN OFFSET OUT: a copy of IN with one bit of the byte at OFFSET
# flipped (a negative OFFSET counts from the end).
flip_byte() {
    python3 - "$1" "$2" "$3" <<'PYEOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[int(sys.argv[2])] ^= 0x01
open(sys.argv[3], "wb").write(data)
PYEOF
}

# crafted_date IN OUT: a copy of IN, a level-0 archive holding one file dated
# 2001-02-03 04:05:06, with that date made 2107-15-31 31:63:62 (fields out of
# range) in its stored directory, and without our check values (the tag at
# offset 40 cleared), as another writer would leave it.
crafted_date() {
    python3 - "$1" "$2" <<'PYEOF'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
# write time, then write date
old = struct.pack("<HH", (4 << 11) | (5 << 5) | 3, (21 << 9) | (2 << 5) | 3)
new = struct.pack("<HH", (31 << 11) | (63 << 5) | 31, (127 << 9) | (15 << 5) | 31)
at = data.rfind(old)
assert at > 0, "date not found"
data[at:at + 4] = new
data[40:42] = b"\0\0"
open(sys.argv[2], "wb").write(data)
PYEOF
}

# check_sfx EXE LABEL: the self-extractor made from tree/ with the settings
# of cases.txt lists its strings, tests, extracts the tree and prints (never
# runs) its command.
check_sfx() {
    local exe=$1 label=$2
    "$QVX" l "$exe" >"$label.list"
    for want in "Self-extractor" "Title: Café installer" 'Folder: C:\Program Files\Tree' \
                "Command: setup.exe /quiet"; do
        grep -qF -- "$want" "$label.list" || { echo "$label: list lacks $want"; return 1; }
    done
    "$QVX" t "$exe"
    "$QVX" x "$exe" -o "out_$label" >"$label.out"
    same_tree tree "out_$label/tree"
    grep -qF "setup.exe" "$label.out" || { echo "$label: the command is not printed"; return 1; }
}

# rename_entry IN OLD NEW OUT: a copy of IN, a level-0 archive, with the
# stored name OLD made NEW (the same length) in its directory, and without our
# check values, as another writer could leave it.
rename_entry() {
    python3 - "$@" <<'PYEOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
old, new = sys.argv[2].encode("latin-1"), sys.argv[3].encode("latin-1")
assert len(old) == len(new)
at = data.rfind(old)
assert at > 0, "name not found"
data[at:at + len(old)] = new
data[40:42] = b"\0\0"
open(sys.argv[4], "wb").write(data)
PYEOF
}

# share_data IN FIRST OUT NAME...: a copy of IN, a level-0 archive, whose
# entries NAME... point at the data (and CRC-32) of the entry FIRST, without
# our check values.
share_data() {
    python3 - "$@" <<'PYEOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
def entry(name):
    at = data.rfind(name.encode("cp1252"))
    assert at > 38, "name not found"
    return at - 38
first = entry(sys.argv[2])
for name in sys.argv[4:]:
    e = entry(name)
    data[e + 4:e + 8] = data[first + 4:first + 8]
    data[e + 12:e + 24] = data[first + 12:first + 24]
data[40:42] = b"\0\0"
open(sys.argv[3], "wb").write(data)
PYEOF
}
