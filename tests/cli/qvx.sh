#!/usr/bin/env bash
# Command-line tests of qvx: create / list / test / extract round trips of a
# real tree, self-extractors and bare archives alike, exit codes for damaged
# archives, CRC mismatches and refused names, and --help.
#
# usage: qvx.sh QVX [STUB32] [SHARED_DIR]
#   STUB32      a PE32 stub for `qvx sfx` and --stub (optional)
#   SHARED_DIR  the shared material with conformance/ (optional)
set -u

QVX=$(realpath "$1")
STUB=${2:-}
SHARED=${3:-}
export TZ=UTC

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qvx-cli-XXXXXX")
cleanup() { chmod -R u+w "$WORK" 2>/dev/null; rm -rf "$WORK"; }
trap cleanup EXIT
cd "$WORK" || exit 1

passed=0
failed=0
skipped=0

ok() { passed=$((passed + 1)); echo "ok: $1"; }
bad() { failed=$((failed + 1)); echo "FAILED: $1"; }
skip() { skipped=$((skipped + 1)); echo "skipped: $1"; }

# expect_exit CODE DESCRIPTION COMMAND...: runs COMMAND with its output in
# last.out / last.err and checks its exit code.
expect_exit() {
    local want=$1 what=$2
    shift 2
    "$@" >last.out 2>last.err </dev/null
    local got=$?
    if [ "$got" -eq "$want" ]; then
        ok "$what"
    else
        bad "$what: exit $got, expected $want"
        sed 's/^/    stdout: /' last.out | head -20
        sed 's/^/    stderr: /' last.err | head -20
    fi
}

# expect_text FILE PATTERN DESCRIPTION: grep -F for PATTERN in FILE.
expect_text() {
    if grep -qF -- "$2" "$1"; then ok "$3"; else bad "$3: \"$2\" not in $1"; sed 's/^/    /' "$1" | head -20; fi
}

same_tree() {
    if diff -r "$1" "$2" >diff.out 2>&1; then ok "$3"; else bad "$3"; head -20 diff.out; fi
}

# Modes and write times as the archive keeps them: read-only or not, and the
# time rounded down to DOS's 2 seconds (one python run instead of a stat per
# file).
same_metadata() {
    if python3 - "$1" "$2" >meta.out 2>&1 <<'EOF'
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
EOF
    then ok "$3"; else bad "$3"; head -20 meta.out; fi
}

# --- help, version, usage ---------------------------------------------------
expect_exit 0 "--help" "$QVX" --help
expect_text last.out "Usage" "--help shows the usage"
for cmd in a sfx x l t; do
    expect_exit 0 "$cmd --help" "$QVX" "$cmd" --help
    expect_text last.out "Usage" "$cmd --help shows the usage"
done
expect_exit 0 "--version" "$QVX" --version
expect_text last.out "qvx" "--version names the tool"
expect_exit 7 "no command is a usage error" "$QVX"
expect_exit 7 "unknown command is a usage error" "$QVX" frobnicate
expect_exit 7 "a without inputs is a usage error" "$QVX" a only.qvx
expect_exit 7 "bad --stream-size" "$QVX" a x.qvx . --stream-size 4Q
expect_exit 7 "--title needs a self-extractor" "$QVX" a x.qvx . --title T

# --- the tree ----------------------------------------------------------------
mkdir -p tree/docs/deep/deeper tree/empty_folder "tree/café" tree/many
printf 'hello\n' >tree/hello.txt
: >tree/empty_file
: >tree/docs/deep/also_empty
seq 1 100000 >tree/docs/numbers.txt
head -c 100000 /dev/urandom >tree/docs/random.bin
for i in $(seq 1 40); do cat tree/docs/numbers.txt; done | head -c 600000 >tree/docs/deep/deeper/big.txt
printf 'crème brûlée\n' >"tree/café/recette.txt"
printf 'euro\n' >"tree/café/prix €.txt"
printf 'locked\n' >tree/readonly.txt
chmod a-w tree/readonly.txt
# Enough long names for a directory of several pieces.
for i in $(seq 1 150); do
    printf '%s\n' "$i" >"tree/many/a_member_with_a_fairly_long_name_to_fill_the_directory_$i.txt"
done
touch -d '2001-02-03 04:05:06' tree/hello.txt
touch -d '1999-12-31 23:59:59' "tree/café/recette.txt"
touch -d '2030-06-15 12:00:01' tree/docs/numbers.txt

# --- bare archive round trips --------------------------------------------------
expect_exit 0 "pack a tree (several streams)" "$QVX" a -9 --stream-size 128K tree.qvx tree
expect_text last.out "tree.qvx" "pack prints a summary"
expect_exit 0 "list" "$QVX" l tree.qvx
expect_text last.out "tree/café/recette.txt" "list shows CP1252 names as UTF-8"
expect_text last.out "tree/café/prix €.txt" "list shows the euro sign"
expect_text last.out "2001-02-03 04:05:06" "list shows write times"
expect_text last.out "R...A  tree/readonly.txt" "list shows the read-only bit"
expect_text last.out "...D.  tree/empty_folder/" "list shows empty folders"
expect_text last.out "159 files, 7 folders" "list totals"
expect_exit 0 "test" "$QVX" t tree.qvx
expect_text last.out "OK" "test says OK"
expect_exit 0 "extract" "$QVX" x tree.qvx -o out1
same_tree tree out1/tree "extracted tree equals the original"
same_metadata tree out1/tree "times and read-only bits come back"
if [ -z "$(find out1 -name '*.tmp*')" ] && [ "$(ls -A . | grep -c 'tmp')" -eq 0 ]; then
    ok "no temporary files left"
else
    bad "temporary files left"
fi

for level in -1 -6; do
    expect_exit 0 "pack at level $level" "$QVX" a $level "tree$level.qvx" tree
    expect_exit 0 "extract level $level" "$QVX" x "tree$level.qvx" -o "out$level"
    same_tree tree "out$level/tree" "level $level round trip"
done
size9=$(stat -c %s tree.qvx)
size1=$(stat -c %s tree-1.qvx)
if [ "$size9" -le "$size1" ]; then ok "-9 is not larger than -1"; else bad "-9 ($size9) larger than -1 ($size1)"; fi

# Contents only ("dir/."), and the current folder as default destination.
expect_exit 0 "pack folder contents" "$QVX" a contents.qvx tree/docs/.
mkdir cwd_out
(cd cwd_out && "$QVX" x ../contents.qvx >/dev/null 2>&1)
same_tree tree/docs cwd_out "extract into the current folder by default"

# --- existing files ----------------------------------------------------------------
printf 'changed\n' >out1/tree/hello.txt
expect_exit 0 "extract over existing files without -y" "$QVX" x tree.qvx -o out1
expect_text last.err "not overwritten" "existing files are kept without -y"
if [ "$(cat out1/tree/hello.txt)" = changed ]; then ok "file left alone"; else bad "file overwritten without -y"; fi
chmod -R u+w out1
expect_exit 0 "extract with -y" "$QVX" x -y tree.qvx -o out1
same_tree tree out1/tree "-y restores the tree"

expect_exit 2 "existing OUT is not replaced without -f" "$QVX" a tree.qvx tree/hello.txt
expect_exit 0 "list after refused replace" "$QVX" l tree.qvx
expect_text last.out "159 files" "the old archive is intact"
cp tree.qvx replace.qvx
expect_exit 0 "-f replaces OUT" "$QVX" a -f replace.qvx tree/hello.txt
expect_exit 0 "list the replacement" "$QVX" l replace.qvx
expect_text last.out "1 file, 0 folders" "the replacement holds one file"

# --- refused names -------------------------------------------------------------------
mkdir -p badnames1 badnames2 badnames3
printf x >badnames1/CON.txt
printf x >"badnames2/日本.txt"
printf x >"badnames3/a:b"
expect_exit 2 "device name refused" "$QVX" a bad1.qvx badnames1
expect_text last.err "reserved device name" "device name message"
expect_exit 2 "name outside code page 1252 refused" "$QVX" a bad2.qvx badnames2
expect_text last.err "code page 1252" "code page message"
expect_exit 2 "colon refused" "$QVX" a bad3.qvx badnames3
if ls bad1.qvx* bad2.qvx* bad3.qvx* >/dev/null 2>&1; then bad "a refused archive left a file"; else ok "nothing written for refused names"; fi
# 200 + 1 + 60 bytes: more than the 255 a name may have.
long_dir=longname/$(printf 'd%.0s' $(seq 1 200))
mkdir -p "$long_dir" && printf x >"$long_dir/$(printf 'n%.0s' $(seq 1 60))"
expect_exit 2 "over-long name refused" "$QVX" a long.qvx longname

# --- damage ----------------------------------------------------------------------
size=$(stat -c %s tree.qvx)
head -c $((size - 100)) tree.qvx >cut.qvx
expect_exit 2 "extract a cut archive" "$QVX" x cut.qvx -o out_cut
expect_text last.err "damaged" "damage message"
expect_exit 2 "test a cut archive" "$QVX" t cut.qvx
expect_exit 2 "list a cut archive" "$QVX" l cut.qvx
head -c 20 tree.qvx >tiny.qvx
expect_exit 2 "archive shorter than its header" "$QVX" x tiny.qvx -o out_tiny
printf 'not an archive at all\n' >text.qvx
expect_exit 2 "not an archive" "$QVX" t text.qvx
expect_exit 2 "missing archive" "$QVX" x no_such.qvx

# A flipped byte inside stored (incompressible) data: the member fails its
# check, is not left on disk, and the others extract.
mkdir -p crc
head -c 200000 /dev/urandom >crc/noise.bin
printf 'fine\n' >crc/fine.txt
"$QVX" a -1 crc.qvx crc >/dev/null
python3 - <<'EOF'
data = bytearray(open("crc.qvx", "rb").read())
data[42 + 100000] ^= 0x01
open("crc_bad.qvx", "wb").write(data)
EOF
expect_exit 1 "CRC mismatch exits 1" "$QVX" x crc_bad.qvx -o out_crc
expect_text last.err "fails error check" "CRC message"
if [ ! -e out_crc/crc/noise.bin ] && [ -e out_crc/crc/fine.txt ]; then ok "bad member removed, good kept"; else bad "CRC outcome on disk"; fi
expect_exit 1 "test finds the CRC mismatch" "$QVX" t crc_bad.qvx

# --- self-extractors ------------------------------------------------------------------
check_sfx() {
    local exe=$1 label=$2
    expect_exit 0 "$label: list" "$QVX" l "$exe"
    expect_text last.out "Self-extractor" "$label: list says self-extractor"
    expect_text last.out "Title: Café installer" "$label: title"
    expect_text last.out 'Folder: C:\Program Files\Tree' "$label: folder"
    expect_text last.out "Command: setup.exe /quiet" "$label: command"
    expect_exit 0 "$label: test" "$QVX" t "$exe"
    expect_exit 0 "$label: extract" "$QVX" x "$exe" -o "out_$label"
    same_tree tree "out_$label/tree" "$label: extracted tree equals the original"
    expect_text last.out "setup.exe" "$label: the command is printed, not run"
}
sfx_options=(--title "Café installer" --folder 'C:\Program Files\Tree' --command "setup.exe /quiet" --overwrite)
if "$QVX" a embedded.exe tree "${sfx_options[@]}" >/dev/null 2>embedded.err; then
    check_sfx embedded.exe embedded
else
    if grep -q "without a stub" embedded.err; then skip "self-extractor with the built-in stub (qvx built without it)"; else bad "qvx a embedded.exe"; cat embedded.err; fi
fi
if [ -n "$STUB" ] && [ -f "$STUB" ]; then
    expect_exit 0 "a --stub" "$QVX" a --stub "$STUB" stubbed.exe tree "${sfx_options[@]}"
    check_sfx stubbed.exe stubbed
    expect_exit 0 "sfx from a bare archive" "$QVX" sfx "$STUB" tree.qvx built.exe "${sfx_options[@]}"
    check_sfx built.exe built
    expect_exit 2 "sfx refuses a non-archive" "$QVX" sfx "$STUB" text.qvx nope.exe
    expect_exit 0 "self-extractor without settings" "$QVX" a --sfx --stub "$STUB" plain.bin tree/hello.txt
    expect_exit 0 "extract it" "$QVX" x plain.bin -o out_plain
    same_tree tree/hello.txt out_plain/hello.txt "plain self-extractor round trip"
    # A changed byte of the stub image fails the stub's own self-check.
    python3 - <<'PYEOF'
data = bytearray(open("stubbed.exe", "rb").read())
data[700] ^= 0x01
open("tampered.exe", "wb").write(data)
PYEOF
    expect_exit 2 "test finds a changed stub" "$QVX" t tampered.exe
    expect_text last.err "has been modified" "changed stub: the modified warning"
else
    skip "self-extractors from a stub file (no stub given)"
fi

# --- the conformance samples through the command line ------------------------------------
if [ -n "$SHARED" ] && [ -d "$SHARED/conformance" ]; then
    expect_exit 0 "sample self-extractor: list" "$QVX" l "$SHARED/conformance/sfx/stored_basic.qvx"
    expect_text last.out "Title: Conformance Self-Extractor" "sample self-extractor: title"
    expect_exit 0 "sample self-extractor: extract" "$QVX" x "$SHARED/conformance/sfx/stored_basic.qvx" -o out_sample
    expect_exit 1 "sample CRC mismatch" "$QVX" x "$SHARED/conformance/neg_crc_mismatch.qvx" -o out_sample_crc
    expect_exit 2 "sample damaged directory" "$QVX" x "$SHARED/conformance/neg_dir_signature.qvx" -o out_sample_dir
else
    skip "conformance samples (no shared folder)"
fi

echo
echo "cli: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
