# The Wine scenarios, one function each, sourced by run.sh. Each builds its
# self-extractor, writes script.txt for sfx_driver, runs it with run_driver
# and checks the result on disk. Control ids: see resources/resource.h.

MAIN=101          # a control only the main dialog has (the folder box)
BOX=65535         # the text of a message box
OK=1
CANCEL=2

# --- the platform wrappers ---------------------------------------------------------

scenario_win32_backend() {
  run_wine "$SFX_BACKEND_TEST"
}

# --- start-up ------------------------------------------------------------------

scenario_empty_archive() {
  make_sfx empty.exe --empty --title "Empty Test"
  cat > script.txt <<'S'
start empty.exe
find "Empty Test" 65535
text 65535 "Archive contains no files"
absent "Empty Test" 101 300
click 1
exit 0
S
  run_driver
}

scenario_modified_stub() {
  mkdir in && echo hello > in/a.txt
  make_sfx modified.exe --empty --title "Modified Test" --flip-stub-text "browse to a folder and click"
  # The warning comes before the SfxHeader is read: the caption is the
  # initial title. It names no address of ours; the publisher's contact
  # ends it when there is one.
  cat > script.txt <<S
start modified.exe
find "Dravex Self-Extractor" 65535
text 65535 "$MODIFIED_TEXT"
click 1
exit 2
S
  run_driver
  make_sfx contact.exe --empty --title "Modified Test" --support "Example Support: help@example.com" \
    --flip-stub-text "browse to a folder and click"
  sed -i 's/modified.exe/contact.exe/; s/\(text 65535 ".*\)"$/\1\\n\\nExample Support: help@example.com"/' script.txt
  run_driver
}

scenario_cut_archive_header() {
  make_sfx cut.exe --empty --title "Cut Test" --cut-archive 30
  cat > script.txt <<'S'
start cut.exe
find "Cut Test" 65535
text 65535 "Cannot read cut.exe"
click 1
exit 2
S
  run_driver
}

# --- the main dialog and extraction ----------------------------------------------

HELP_TEXT='Type or browse to a folder and click Extract.\nA folder that does not exist is created.'
MODIFIED_TEXT='This self-extractor has been modified: damaged in a download, or infected by a virus. Get the file again from where it came.'

# A word for the driver's script: quoted, backslashes and quotes escaped.
q() {
  local s=${1//\\/\\\\}
  echo "\"${s//\"/\\\"}\""
}

# A two-line message for the driver's script: TEXT, a line break, LINE.
qm() {
  local s
  s=$(q "$1")
  echo "${s%\"}\\n$2\""
}

# The DOS attributes Wine keeps for a file beside its Unix mode (0 when none).
dos_attributes() {
  python3 -c 'import os, sys
try: print(int(os.getxattr(sys.argv[1], "user.DOSATTRIB").split(b"\0")[0], 16))
except OSError: print(0)' "$1"
}

scenario_extract_tree() {
  mkdir -p in/tree/sub/deeper in/tree/empty "in/tree/with blank"
  seq 1 40000 > in/tree/numbers.txt
  head -c 300000 /dev/urandom > in/tree/sub/deeper/random.bin
  echo small > in/tree/sub/a.txt
  : > in/tree/sub/zero.bin
  echo blank > "in/tree/with blank/b c.txt"
  touch -d "2021-01-15 10:20:31" in/tree/numbers.txt
  touch -d "2019-07-04 23:59:58" in/tree/sub/a.txt
  chmod a-w in/tree/sub/a.txt
  # No SfxHeader: the initial title, and the current directory as folder.
  # Hidden and system: Windows keeps them, Wine in the file's DOSATTRIB
  # attribute, where the host extraction (which drops them) cannot stand in.
  make_sfx tree.exe --no-header --hidden 'tree\sub\zero.bin' in/tree
  local dest
  dest=$(winpath "$work/new/dest")
  cat > script.txt <<S
start tree.exe
find "Dravex Self-Extractor" 101
caption "Dravex Self-Extractor"
text 105 "Click the Extract button to extract all files in tree.exe to the specified folder."
text 107 "Extract to Folder:"
text 102 "Dravex Self-Extractor by the Dravex developers"
text 101 $(q "$(winpath "$work")")
focus 101
selected 101 0 $(winpath "$work" | tr -d '\n' | wc -c)
visible 101 0
centred
checked 106 0
$(screenshot_line main_dialog.png)
set 101 $(q "$dest")
click 108
exit 0
S
  run_driver
  same_tree in/tree new/dest/tree
  same_time in/tree/numbers.txt new/dest/tree/numbers.txt
  same_time in/tree/sub/a.txt new/dest/tree/sub/a.txt
  same_time in/tree/sub/deeper/random.bin new/dest/tree/sub/deeper/random.bin
  [ -d new/dest/tree/empty ] || fail "the empty folder is missing"
  # The stub leaves folder times to the system: a folder has the time it
  # was made or last written into (qvx x restores the stored ones).
  [ "$(stat -c %Y new/dest/tree/sub)" -ge "$(stat -c %Y script.txt)" ] || fail "the folder sub has an old time"
  case $(stat -c %A new/dest/tree/sub/a.txt) in
    *w*) fail "a.txt lost its read-only attribute" ;;
  esac
  case $(stat -c %A new/dest/tree/numbers.txt) in
    *w*) ;;
    *) fail "numbers.txt became read-only" ;;
  esac
  local attributes
  attributes=$(dos_attributes new/dest/tree/sub/zero.bin)
  [ $((attributes & 6)) = 6 ] || fail "zero.bin is not hidden and system: attributes $attributes"
  attributes=$(dos_attributes new/dest/tree/sub/a.txt)
  [ $((attributes & 6)) = 0 ] || fail "a.txt became hidden or system: attributes $attributes"
}

scenario_help_and_cancel() {
  mkdir in && echo one > in/one.txt
  make_sfx help.exe --title "Help Test" in/one.txt
  cat > script.txt <<S
start help.exe
find "Help Test" 101
click 103
find "Help Test" 65535
text 65535 "$HELP_TEXT"
click 1
gone
find "Help Test" 101
click 104
exit 1223
S
  run_driver
  [ ! -e one.txt ] || fail "Cancel extracted something"
}

# The keys of the main dialog and the folder picker. F1 and Alt+H come as
# real key strokes: F1 turns into WM_HELP only on its way through the input
# system. The archive's relative folder is shown resolved against the
# current folder.
scenario_keys_and_browse() {
  mkdir in && echo one > in/one.txt
  make_sfx keys.exe --title "Keys Test" --folder "sub" in/one.txt
  cat > script.txt <<S
start keys.exe
find "Keys Test" 101
text 101 $(q "$(winpath "$work/sub")")
type 112
find "Keys Test" 65535
text 65535 "$HELP_TEXT"
click 1
gone
find "Keys Test" 101
type 18 72
find "Keys Test" 65535
text 65535 "$HELP_TEXT"
click 1
gone
find "Keys Test" 101
click 113
find "Browse for Folder" 1
click 2
gone
find "Keys Test" 101
text 101 $(q "$(winpath "$work/sub")")
click 113
find "Browse for Folder" 1
click 1
gone
find "Keys Test" 101
text 101 $(q "$(winpath "$work")")
type 27
exit 1223
S
  run_driver
  [ ! -e sub ] && [ ! -e one.txt ] || fail "Escape extracted something"
}

# An archive with settings but no folder leaves the box empty; Extract then
# writes into the current folder.
scenario_empty_folder() {
  mkdir in && echo one > in/one.txt
  make_sfx nofolder.exe --title "No Folder Test" in/one.txt
  cat > script.txt <<S
start nofolder.exe
find "No Folder Test" 101
text 101 ""
click 108
exit 0
S
  run_driver
  cmp -s in/one.txt one.txt || fail "one.txt did not land in the current folder"
}

# The close box acts as Cancel: before an extraction and during one.
scenario_close_box() {
  mkdir -p in/many
  for i in $(seq -w 1 120); do
    seq "$i" 3 40000 > "in/many/f$i.txt"
  done
  make_sfx close.exe --title "Close Test" in/many
  cat > script.txt <<S
start close.exe
find "Close Test" 101
close
exit 1223
S
  run_driver
  [ ! -e many ] || fail "the close box extracted something"

  cat > script.txt <<S
start close.exe
find "Close Test" 101
click 108
wait_contains 102 " files - Extracting "
close
absent "Close Test" 65535 500
exit 1223
S
  run_driver
  [ -d many ] || fail "nothing was extracted before the close box"
  local written
  written=$(ls many | wc -l)
  echo "extracted $written of 120 files before the close box took effect"
  [ "$written" -lt 120 ] || fail "the close box did not stop the extraction"
  # None at all is right too when the close comes before the first file is
  # whole (the PE32 stub under qemu is that slow).
  for f in many/*; do
    [ -e "$f" ] || continue
    cmp -s "$f" "in/$f" || fail "$f is partial or wrong"
  done
}

scenario_enter_extracts() {
  mkdir in && seq 1 1000 > in/list.txt
  make_sfx enter.exe --title "Enter Test" --folder "D:\\not\\used" in/list.txt
  cat > script.txt <<S
start enter.exe
find "Enter Test" 101
text 101 "D:\\\\not\\\\used"
set 101 $(q "$(winpath "$work/out")")
enter 101
exit 0
S
  run_driver
  same_tree in out
}

QUESTION_TAIL="already exists. Do you want to replace it?"

# Existing files, one question each: Yes (by Enter), No (by Escape), No (by
# the close box), Yes To All, and no question for the rest; then, from the
# start again, No To All, which keeps every file without a second question.
scenario_overwrite_answers() {
  mkdir in out
  for f in a b c d e f; do
    echo "new $f" > in/$f.txt
    echo "old $f" > out/$f.txt
  done
  make_sfx overwrite.exe --title "Overwrite Test" in/.
  local dest
  dest=$(winpath "$work/out")
  cat > script.txt <<S
start overwrite.exe
find "Overwrite Test" 101
set 101 $(q "$dest")
click 108
find "Overwrite Test" 109
caption "Overwrite Test"
style 80000
centred
text 107 $(q 'File "a.txt"')
text 106 $(q "in $dest")
text 112 "$QUESTION_TAIL"
enter 109
gone
find "Overwrite Test" 109
text 107 $(q 'File "b.txt"')
type 27
gone
find "Overwrite Test" 109
text 107 $(q 'File "c.txt"')
close
gone
find "Overwrite Test" 109
text 107 $(q 'File "d.txt"')
click 108
gone
absent "Overwrite Test" 109 1000
exit 0
S
  run_driver
  local want
  for want in "new a" "old b" "old c" "new d" "new e" "new f"; do
    [ "$(cat "out/${want#* }.txt")" = "$want" ] || fail "${want#* }.txt holds $(cat "out/${want#* }.txt"), expected $want"
  done

  for f in a b c d e f; do
    echo "old $f" > out/$f.txt
  done
  cat > script.txt <<S
start overwrite.exe
find "Overwrite Test" 101
set 101 $(q "$dest")
click 108
find "Overwrite Test" 109
text 107 $(q 'File "a.txt"')
click 111
gone
absent "Overwrite Test" 109 1000
exit 0
S
  run_driver
  for f in a b c d e f; do
    [ "$(cat out/$f.txt)" = "old $f" ] || fail "No To All replaced $f.txt"
  done
}

# The archive presets "overwrite without prompting"; cleared, the question
# comes back.
scenario_overwrite_preset() {
  mkdir in out
  for f in a b; do
    echo "new $f" > in/$f.txt
    echo "old $f" > out/$f.txt
  done
  make_sfx preset.exe --title "Preset Test" --overwrite --folder "$(winpath "$work/out")" in/.
  cat > script.txt <<S
start preset.exe
find "Preset Test" 101
checked 106 1
text 101 $(q "$(winpath "$work/out")")
click 108
absent "Preset Test" 109 1000
exit 0
S
  run_driver
  [ "$(cat out/a.txt)" = "new a" ] && [ "$(cat out/b.txt)" = "new b" ] || fail "the preset did not overwrite"

  echo "old a" > out/a.txt
  echo "old b" > out/b.txt
  cat > script.txt <<S
start preset.exe
find "Preset Test" 101
checked 106 1
check 106 0
click 108
find "Preset Test" 109
click 110
gone
find "Preset Test" 109
click 110
gone
exit 0
S
  run_driver
  [ "$(cat out/a.txt)" = "old a" ] && [ "$(cat out/b.txt)" = "old b" ] || fail "No did not keep the files"
}

# Cancel while several megabytes of LZ and BWT blocks are being extracted,
# by the button and by Escape (a real key stroke, which reaches the dialog
# through the driver's message pump): whatever is on disk afterwards is
# complete, the rest is missing, an existing file the run did not reach is
# as it was, and no message is shown.
scenario_cancel_large() {
  mkdir -p in/big
  head -c 1500000 /dev/urandom | base64 > in/big/b64.txt
  seq 1 300000 > in/big/numbers.txt
  for i in $(seq -w 1 150); do
    seq "$i" 7 60000 > "in/big/small$i.txt"
  done
  echo "new last" > in/big/zz_last.txt
  make_sfx cancel.exe --title "Cancel Test" --overwrite in/big
  local how
  for how in "click 104" "type 27"; do
    rm -rf out
    mkdir -p out/big
    echo "old last" > out/big/zz_last.txt
    cat > script.txt <<S
start cancel.exe
find "Cancel Test" 101
set 101 $(q "$(winpath "$work/out")")
click 108
wait_contains 102 " files - Extracting "
$how
absent "Cancel Test" 65535 500
exit 1223
S
    run_driver
    local total=0 written=0
    for f in in/big/*; do
      total=$((total + 1))
      local name=${f#in/big/}
      if [ "$name" = zz_last.txt ]; then
        [ "$(cat out/big/zz_last.txt)" = "old last" ] || fail "$how: the existing zz_last.txt was not kept"
      elif [ -e "out/big/$name" ]; then
        written=$((written + 1))
        cmp -s "$f" "out/big/$name" || fail "$how: out/big/$name is partial or wrong"
      fi
    done
    echo "$how: extracted $written of $((total - 1)) new files before the Cancel took effect"
    [ "$written" -lt "$((total - 1))" ] || fail "$how did not stop the extraction"
    [ "$(ls out/big | grep -c '^~dx')" = 0 ] || fail "$how: a temporary file is left: $(ls out/big)"
  done
}

# The question and the message boxes during extraction are owned by the main
# dialog: it is disabled while they are up, and every control but Cancel is
# disabled while the extraction runs. The progress line counts the files and
# the bar stands at the files done. A Cancel that reaches the main dialog
# while the question is up (posted: a click cannot) and then Yes keep the
# existing file and stop the run (the file used to be lost, or replaced
# after the Cancel). Then a run whose directory promises more entries than
# it holds: the damage is shown after the last file, with the bar at its
# end.
scenario_owner_and_progress() {
  mkdir in out
  # Small files: b.txt lies in the block decoded for a.txt, so nothing but
  # the check before its file is made could keep it from being completed.
  for f in a b c; do
    echo "new $f" > in/$f.txt
  done
  echo "old b" > out/b.txt
  make_sfx owner.exe --title "Owner Test" in/.
  local dest units=3  # one unit per file and one per whole KB
  dest=$(winpath "$work/out")
  cat > script.txt <<S
start owner.exe
find "Owner Test" 101
enabled 0 1
enabled 108 1
set 101 $(q "$dest")
click 108
find "Owner Test" 109
text 107 $(q 'File "b.txt"')
find "Owner Test" 101
enabled 0 0
enabled 101 0
enabled 107 0
enabled 106 0
enabled 103 0
enabled 113 0
enabled 108 0
enabled 104 1
text 102 "1 of 3 files - Extracting a.txt"
bar 114 1 $units
$(screenshot_line owner_question.png)
click 104
find "Owner Test" 109
click 109
gone
absent "Owner Test" 109 500
exit 1223
S
  run_driver
  [ "$(cat out/a.txt)" = "new a" ] || fail "a.txt was not extracted"
  [ "$(cat out/b.txt)" = "old b" ] || fail "Cancel then Yes did not keep b.txt: $(cat out/b.txt 2>&1)"
  [ ! -e out/c.txt ] || fail "the run went on after Cancel"

  # The entry count (3) flipped to 89, without our check values to catch it.
  make_sfx count.exe --title "Count Test" --no-check-values --flip-archive-byte 8 in/.
  cat > script.txt <<S
start count.exe
find "Count Test" 101
set 101 $(q "$(winpath "$work/all")")
click 108
find "Count Test" 65535
text 65535 "Archive data is damaged, probably caused by\na corrupt disk or download error"
find "Count Test" 101
enabled 0 0
text 102 "3 of 3 files - Extracting c.txt"
bar 114 $units $units
$(screenshot_line owner_damage.png)
find "Count Test" 65535
click 1
exit 2
S
  run_driver
  same_tree in all
}

# The command runs after extraction as a program path inside the destination
# folder, also when that folder's name holds blanks. It starts in the folder
# the self-extractor was started in, or, when the archive says so (flag bit
# 3, --command-dir dest), in the destination folder.
scenario_command_after() {
  mkdir in
  cp "$marker" in/marker.exe
  echo data > in/data.txt
  make_sfx command.exe --title "Command Test" --command "marker.exe first second" in/.
  make_sfx command_dir.exe --title "Command Test" --command "marker.exe first second" --command-dir in/.
  local exe dest cwd want
  for exe in "command.exe plain" "command.exe out dir/with blank" "command_dir.exe in dest/with blank"; do
    dest=${exe#* }
    exe=${exe%% *}
    cat > script.txt <<S
start $exe
find "Command Test" 101
set 101 $(q "$(winpath "$work/$dest")")
click 108
exit 0
S
    run_driver
    wait_for_file "$dest/ran.txt"
    for _ in $(seq 50); do
      grep -q cwd= "$dest/ran.txt" && break  # its last line: written whole
      sleep 0.1
    done
    grep -q "marker.exe" "$dest/ran.txt" || fail "unexpected command line: $(cat "$dest/ran.txt")"
    grep -q "first second" "$dest/ran.txt" || fail "the arguments were lost: $(cat "$dest/ran.txt")"
    cmp -s in/data.txt "$dest/data.txt" || fail "data.txt missing in $dest"
    want=$(winpath "$work")
    [ "$exe" = command.exe ] || want=$(winpath "$work/$dest")
    cwd=$(tr -d '\r' < "$dest/ran.txt" | sed -n 's/^cwd=//p')
    cwd=${cwd%\\}
    [ "${cwd,,}" = "${want,,}" ] || fail "$exe ran the command in $cwd, expected $want"
  done
}

# Also: a 100-byte title shows as its first 79 bytes, on the dialog and on
# the message.
scenario_damaged_archive() {
  mkdir in && seq 1 5000 > in/list.txt
  local title="Damaged Test $(printf 'x%.0s' $(seq 1 67))0123456789ABCDEFGHIJ"
  local shown=${title:0:79}
  # An archive without our check values: the damage shows in the walk.
  make_sfx damaged.exe --title "$title" --no-check-values --damage-directory in/list.txt
  cat > script.txt <<S
start damaged.exe
find "$shown" 101
set 101 $(q "$(winpath "$work/out")")
click 108
find "$shown" 65535
text 65535 "Archive data is damaged, probably caused by\\na corrupt disk or download error"
click 1
exit 2
S
  run_driver
  [ ! -e out/list.txt ] || fail "a file came out of a damaged directory"
}

# With our check values a damaged directory, or a damaged SfxHeader (here
# the command), is found at start-up: no dialog, nothing written or run.
scenario_damaged_checked() {
  mkdir in && seq 1 5000 > in/list.txt
  make_sfx damaged.exe --title "Checked Test" --damage-directory in/list.txt
  cat > script.txt <<S
start damaged.exe
find "Checked Test" 65535
text 65535 "Archive data is damaged, probably caused by\na corrupt disk or download error"
click 1
exit 2
S
  run_driver
  [ ! -e out/list.txt ] || fail "a file came out of a damaged directory"
}

# Two members fail their CRC-32: OK goes on with the next member, Cancel
# stops; neither damaged file stays on disk, and the file r1.bin was to
# replace is kept as it was.
scenario_crc_failure() {
  mkdir in out
  for f in r1 r2 r3 r4; do
    head -c 100000 /dev/urandom > in/$f.bin
  done
  echo "the old r1.bin" > out/r1.bin
  make_sfx crc.exe --title "CRC Test" --overwrite --damage-member in/r1.bin --damage-member in/r3.bin in/.
  local dest
  dest=$(winpath "$work/out")
  cat > script.txt <<S
start crc.exe
find "CRC Test" 101
set 101 $(q "$dest")
click 108
find "CRC Test" 65535
text 65535 $(q "File \"$dest\\r1.bin\" fails error check")
click 1
gone
find "CRC Test" 65535
text 65535 $(q "File \"$dest\\r3.bin\" fails error check")
click 2
gone
exit 1223
S
  run_driver
  [ "$(cat out/r1.bin)" = "the old r1.bin" ] || fail "r1.bin failed its check and the old r1.bin is lost"
  [ -z "$(ls out | grep -v '^r[12]\.bin$')" ] || fail "left behind: $(ls out)"
  cmp -s in/r2.bin out/r2.bin || fail "OK did not go on with r2.bin"
  [ ! -e out/r3.bin ] || fail "r3.bin failed its check but stayed"
  [ ! -e out/r4.bin ] || fail "Cancel did not stop before r4.bin"
}

# A name that does not fit under the destination folder is a member that
# failed, with the reason (before, it was passed over without a word): the
# path shown cut to the room there is, OK goes on.
scenario_name_too_long() {
  mkdir in
  local long
  long=$(printf 'n%.0s' $(seq 1 40)).txt
  echo long > "in/$long"
  echo next > in/next.txt
  # A destination that leaves 30 characters for the names in it.
  local base dest
  base=$(winpath "$work")
  dest="$base\\$(printf 'd%.0s' $(seq 1 $((259 - 1 - 30 - 1 - ${#base}))))"
  make_sfx long.exe --title "Long Test" in/.
  local shown
  shown=$(q "Cannot create $dest\\${long:0:30}")
  cat > script.txt <<S
start long.exe
find "Long Test" 101
set 101 $(q "$dest")
click 108
find "Long Test" 65535
text 65535 ${shown%\"}\\nPath too long"
click 1
gone
exit 1
S
  run_driver
  local out="$work/${dest##*\\}"
  [ "$(cat "$out/next.txt")" = next ] || fail "next.txt was not extracted"
  [ "$(ls "$out")" = next.txt ] || fail "unexpected: $(ls "$out")"
}

# --- names beyond the code page ------------------------------------------------------

# Started from a folder named Загрузки, with a title and names outside code
# page 1252: the folder box shows the folder, the caption the title, and the
# names come back exactly. Name records that do not stand for their stored
# names (another name; UTF-8 that is not: a surrogate, an overlong form) give
# the stored name, '_' where the archiver had no character.
scenario_unicode_names() {
  # Wine maps names between Windows and the file system by the locale.
  export LC_ALL=C.UTF-8
  mkdir -p "in/uni/Папка" Загрузки
  echo one > "in/uni/日本語-Да.txt"
  echo two > "in/uni/é.txt"
  echo three > "in/uni/🙂.txt"
  echo four > "in/uni/Папка/файл.txt"
  for i in 1 2 3; do echo "fallback $i" > "in/uni/Ж$i.txt"; done
  local title="Установка 日本"
  make_sfx Загрузки/unicode.exe --title "$title" --folder . \
    --exact-name 'uni\Ж1.txt' 'uni\é1.txt' \
    --exact-name 'uni\Ж2.txt' $'uni\\\xed\xa0\x802.txt' \
    --exact-name 'uni\Ж3.txt' $'uni\\\xc1\xbf3.txt' in/uni
  cd Загрузки
  cat > script.txt <<S
start unicode.exe
find "$title" 101
caption "$title"
text 101 $(q "$(winpath "$work/Загрузки")")
click 108
exit 0
S
  run_driver
  cd ..
  local f
  for f in 1 2 3; do mv "in/uni/Ж$f.txt" "in/uni/_$f.txt"; done
  same_tree in/uni Загрузки/uni
  for f in "日本語-Да.txt" "é.txt" "🙂.txt" "Папка/файл.txt" _1.txt _2.txt _3.txt; do
    [ -f "Загрузки/uni/$f" ] || fail "Загрузки/uni/$f is missing: $(ls Загрузки/uni | tr '\n' ' ')"
  done
}

# --- signing ---------------------------------------------------------------------

# Signed with Authenticode (a certificate made here), the self-extractor
# still passes its self-check and extracts. Signing rewrites the PE CheckSum
# and the certificate table's entry and appends the table after the archive.
# It carries the publisher's version information and icon, so the stub's
# grown last section, with a new resource tree that the dialogs come from,
# is run and signed too.
scenario_signed() {
  if ! command -v osslsigncode >/dev/null || ! command -v openssl >/dev/null; then
    echo "SKIP: signing needs osslsigncode and openssl (scripts/install-deps.sh installs them)"
    exit 77
  fi
  mkdir -p in/signed/sub
  seq 1 20000 > in/signed/numbers.txt
  head -c 50000 /dev/urandom > in/signed/sub/random.bin
  local icon=$here/../../resources/dravex.ico
  if command -v convert >/dev/null; then
    convert -size 16x16 xc:red -size 32x32 xc:navy -size 48x48 xc:gold publisher.ico 2>/dev/null &&
      icon=publisher.ico
  fi
  make_sfx unsigned.exe --title "Signed Test" --product "Signed Product" --product-version 2.5.1 \
    --company "Publisher Ltd" --icon "$icon" in/signed
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Dravex Test Publisher" \
    -keyout key.pem -out cert.pem 2>/dev/null || fail "openssl could not make a certificate"
  osslsigncode sign -certs cert.pem -key key.pem -n "Signed Test" -in unsigned.exe -out signed.exe \
    >/dev/null || fail "osslsigncode could not sign"
  osslsigncode verify -CAfile cert.pem -in signed.exe >verify.txt 2>&1 ||
    fail "the signature does not verify: $(tail -3 verify.txt)"
  cat > script.txt <<S
start signed.exe
find "Signed Test" 101
set 101 $(q "$(winpath "$work/out")")
click 108
exit 0
S
  run_driver
  same_tree in/signed out/signed
}

# --- the publisher's self-extractor -------------------------------------------------

# The publisher's texts from the string table, taken literally (a % stays),
# the banner made of product and company, and a German table that a German
# user gets.
scenario_publisher_texts() {
  mkdir in && echo one > in/one.txt
  make_sfx texts.exe --title "Texts Test" --product "Example App" --company "Example Ltd" \
    --intro "Welcome to Example App 100% %s %d. Choose a folder." --help-text $'Help line one\nand %n two.' \
    --translation 0x0407 "Beispiel-Einrichtung" "Hilfe auf Deutsch" in/one.txt
  cat > script.txt <<S
start texts.exe
find "Texts Test" 101
text 102 "Example App by Example Ltd"
text 105 "Welcome to Example App 100% %s %d. Choose a folder."
click 103
find "Texts Test" 65535
text 65535 "Help line one\nand %n two."
click 1
gone
find "Texts Test" 101
click 104
exit 1223
S
  run_driver
  # The same self-extractor for a German user.
  if LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8 true 2>/dev/null && locale -a 2>/dev/null | grep -qi '^de_DE'; then
    cat > script.txt <<S
start texts.exe
find "Texts Test" 101
text 102 "Beispiel-Einrichtung"
text 105 "Welcome to Example App 100% %s %d. Choose a folder."
click 104
exit 1223
S
    LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8 run_driver
  else
    echo "no de_DE locale here: the German table is not tried"
  fi
}

# A folder with %NAME% (flag bit 5) is expanded before it is shown and used;
# a % that names no variable stays as typed. Without the flag (another
# writer's archive, or no %NAME%) the folder is literal.
scenario_folder_variables() {
  mkdir in && echo one > in/one.txt
  export DRAVEX_TEST_DIR
  DRAVEX_TEST_DIR=$(winpath "$work/expanded")
  make_sfx vars.exe --title "Vars Test" --folder '%DRAVEX_TEST_DIR%\%NO_SUCH_VARIABLE%\app' in/one.txt
  cat > script.txt <<S
start vars.exe
find "Vars Test" 101
text 101 $(q "$DRAVEX_TEST_DIR\\%NO_SUCH_VARIABLE%\\app")
click 108
exit 0
S
  run_driver
  cmp -s in/one.txt "expanded/%NO_SUCH_VARIABLE%/app/one.txt" || fail "one.txt is not in the expanded folder: $(find . -name one.txt)"
}

# A destination folder that cannot be made (a file in the way, a name with
# |, a folder below a file) says why and brings the dialog back with the
# folder box selected; the one extraction is still to come.
scenario_folder_retry() {
  mkdir in && echo one > in/one.txt
  echo in the way > blocker
  make_sfx retry.exe --title "Retry Test" --folder "$(winpath "$work/blocker")" in/one.txt
  local base
  base=$(winpath "$work")
  cat > script.txt <<S
start retry.exe
find "Retry Test" 101
click 108
find "Retry Test" 65535
centred
text 65535 $(qm "Cannot create folder $base\\blocker" "File exists")
$(screenshot_line retry_message.png)
click 1
gone
find "Retry Test" 101
wait_focus 101
enabled 101 1
enabled 108 1
enabled 113 1
focus 101
visible 101 0
set 101 $(q "$base\\a|b")
click 108
find "Retry Test" 65535
text 65535 $(qm "Cannot create folder $base\\a|b" "Invalid name")
click 1
gone
find "Retry Test" 101
set 101 $(q "$base\\blocker\\below")
click 108
find "Retry Test" 65535
text 65535 $(qm "Cannot create folder $base\\blocker\\below" "Path not found")
click 1
gone
find "Retry Test" 101
set 101 $(q "$base\\good")
click 108
exit 0
S
  run_driver
  cmp -s in/one.txt good/one.txt || fail "the extraction after mending the folder did not happen"
  [ "$(cat blocker)" = "in the way" ] || fail "the file in the way was changed"
}

# A command that cannot start is named with the reason.
scenario_command_fails() {
  mkdir in && echo one > in/one.txt
  make_sfx nocommand.exe --title "Command Fails Test" --command "missing.exe /quiet" in/one.txt
  local dest
  dest=$(winpath "$work/out")
  cat > script.txt <<S
start nocommand.exe
find "Command Fails Test" 101
set 101 $(q "$dest")
click 108
find "Command Fails Test" 65535
text 65535 $(qm "Cannot start \"$dest\\missing.exe\" /quiet" "File not found")
click 1
exit 5
S
  run_driver
  cmp -s in/one.txt out/one.txt || fail "one.txt was not extracted"
}

# The overwrite question with a 200-character path at 96, 120 and 144 DPI:
# the file's own name is shown whole (wrapped), the folder on its own line,
# the question centred on the dialog and the dialog on the work area. With
# screenshots of the main dialog (publisher's texts), the question and the
# failure message at 96 and 144 DPI.
scenario_question_long_name() {
  local name="A file name long enough to need more than one line in the question, $(printf 'x%.0s' $(seq 1 40)) end.txt"
  local dest="$work/out"
  local pad=$((200 - ${#name} - $(winpath "$dest" | tr -d '\n' | wc -c) - 2))
  dest="$dest/$(printf 'f%.0s' $(seq 1 $pad))"
  mkdir -p in "$dest"
  echo new > "in/$name"
  echo old > "$dest/$name"
  [ $(( $(winpath "$dest/$name" | tr -d '\n' | wc -c) )) -eq 200 ] || fail "the path is not 200 characters long"
  make_sfx long.exe --title "Long Name Test" --product "Example App" --company "Example Ltd" \
    --intro "Example App 2.0 will be copied to the folder below." in/.
  trap 'set_dpi 96' EXIT
  local dpi
  for dpi in 96 120 144; do
    set_dpi "$dpi"
    echo old > "$dest/$name"
    cat > script.txt <<S
start long.exe
find "Long Name Test" 101
centred
$( [ $dpi = 120 ] || screenshot_line "publisher_main_$dpi.png")
set 101 $(q "$(winpath "$dest")")
visible 101 0
click 108
find "Long Name Test" 109
centred
text 107 $(q "File \"$name\"")
visible 107 0
visible 107 -1
prefix 106 "in "
$( [ $dpi = 120 ] || screenshot_line "question_long_$dpi.png")
click 109
exit 0
S
    run_driver
    [ "$(cat "$dest/$name")" = new ] || fail "Yes did not replace the file at $dpi DPI"
  done
  set_dpi 96
  trap - EXIT
}

# Screenshots of the publisher's self-extractor at 96 and 144 DPI: the
# main dialog with the publisher's texts, their Help, a folder that cannot
# be made and the dialog back after it, the question, a command that cannot
# start, and the changed-stub message with the support contact. Their texts
# are checked by the scenarios above; here only that each comes up.
scenario_publisher_screenshots() {
  mkdir -p in
  echo new > in/readme.txt
  echo in the way > blocker
  local args=(--title "Example App 2.0 Setup" --product "Example App" --company "Example Ltd"
    --intro "Example App 2.0 will be copied to the folder below. Close Example App first."
    --help-text $'Choose where Example App goes, then click Extract.\nQuestions: help@example.com'
    --support "Example Ltd support: help@example.com, +1 555 0100" --command "missing.exe")
  make_sfx shots.exe "${args[@]}" --folder "$(winpath "$work/blocker")" in/.
  make_sfx changed.exe "${args[@]}" --flip-stub-text "browse to a folder and click" in/.
  trap 'set_dpi 96' EXIT
  local dpi base
  base=$(winpath "$work")
  for dpi in 96 144; do
    set_dpi "$dpi"
    rm -rf good && mkdir good && echo old > good/readme.txt
    cat > script.txt <<S
start changed.exe
find "Dravex Self-Extractor" 65535
$(screenshot_line "changed_$dpi.png")
click 1
exit 2
start shots.exe
find "Example App 2.0 Setup" 101
$(screenshot_line "texts_main_$dpi.png")
click 103
find "Example App 2.0 Setup" 65535
$(screenshot_line "texts_help_$dpi.png")
click 1
gone
find "Example App 2.0 Setup" 101
click 108
find "Example App 2.0 Setup" 65535
$(screenshot_line "folder_message_$dpi.png")
click 1
gone
find "Example App 2.0 Setup" 101
wait_focus 101
$(screenshot_line "folder_back_$dpi.png")
set 101 $(q "$base\\good")
click 108
find "Example App 2.0 Setup" 109
$(screenshot_line "question_$dpi.png")
click 109
gone
find "Example App 2.0 Setup" 65535
$(screenshot_line "command_message_$dpi.png")
click 1
exit 5
S
    run_driver
    [ "$(cat good/readme.txt)" = new ] || fail "Yes did not replace the file at $dpi DPI"
  done
  set_dpi 96
  trap - EXIT
  echo "screenshots in $screenshots"
}

# ASLR: the stub moved to another base as a loader would move it (the
# fixture applies its base relocations; the 64-bit one goes above 4 GB).
# Wine maps it at that base (checked), so every address the table missed
# would still point into the old place, where nothing is mapped. (Wine 8
# would not start an image based on its reserved page at 0x7FFE0000 rather
# than move it, so the loader's own use of the table is not run here.)
scenario_rebased() {
  mkdir -p in/moved/sub
  seq 1 30000 > in/moved/numbers.txt
  head -c 60000 /dev/urandom > in/moved/sub/random.bin
  local base=10000000
  [ "$DRAVEX_WINE_ARCH" = 64 ] && base=7ff612340000
  make_sfx moved.exe --rebase "$base" --title "Moved Test" in/moved
  cat > script.txt <<S
start moved.exe
find "Moved Test" 101
instance $base
set 101 $(q "$(winpath "$work/out")")
click 108
exit 0
S
  run_driver
  same_tree in/moved out/moved
}

# Screenshots for a person to look at, at 96 and 144 DPI: the main dialog
# before Extract, then the overwrite question over it during extraction, with
# a long title, folder and file name. They land in the build folder's
# wine-screenshots (nothing is compared; the texts are checked above).
scenario_screenshots() {
  mkdir -p in/sub
  for i in 1 2 3; do seq "$i" 100000 > "in/sub/file$i.txt"; done
  local long="A rather long file name that goes on and on.txt"
  echo new > "in/sub/zz $long"
  local title="Dravex Setup for The Example Application Suite 2026 with a long title"
  make_sfx shots.exe --title "$title" in/sub
  trap 'set_dpi 96' EXIT
  local dpi dest
  for dpi in 96 144; do
    set_dpi "$dpi"
    dest="$work/out $dpi/Some Longer Folder Name/Another Level Of Folders"
    mkdir -p "$dest/sub"
    echo old > "$dest/sub/zz $long"
    cat > script.txt <<S
start shots.exe
find "$title" 101
$(screenshot_line "main_$dpi.png")
set 101 $(q "$(winpath "$dest")")
click 108
find "$title" 109
$(screenshot_line "question_$dpi.png")
click 109
exit 0
S
    run_driver
    [ "$(cat "$dest/sub/zz $long")" = new ] || fail "Yes did not replace the file at $dpi DPI"
  done
  set_dpi 96
  trap - EXIT
  echo "screenshots in $screenshots"
}

# --- unattended switches and exit codes ---------------------------------------------

# The driver takes a tab as it is.
USAGE_TEXT=$'/S\tno dialog, no question\\n/D=FOLDER\tdestination (last)\\n/Y\toverwrite files\\n/N\tkeep files\\n/W\twait for the command'

# /S with each way of naming the folder; no window ever appears. /W returns
# the command's exit code; existing files are kept (exit 1) unless /Y or /N
# says what to do; an unknown switch is exit 7 without a box.
scenario_switches_silent() {
  mkdir in
  echo one > in/a.txt
  seq 1 3000 > in/b.txt
  make_sfx silent.exe --switches --title "Silent Test" in/.
  mkdir command
  cp "$marker" command/marker.exe
  make_sfx wait.exe --switches --title "Silent Test" --command "marker.exe exit=42" command/.
  local dest="Папка с пробелом"
  cat > script.txt <<S
start wait.exe /S /W $(q "/D=$(winpath "$work/w dest")")
exit 42
start silent.exe /S $(q "/D=$(winpath "$work/$dest")")
absent "Silent Test" 101 300
exit 0
S
  run_driver
  [ -e "w dest/ran.txt" ] || fail "/W did not wait for the command"
  same_tree in "$dest"

  echo changed > "$dest/a.txt"
  local answer code
  for answer in ":1:changed" "/n:0:changed" "/N /w:0:changed" "/y:0:one"; do
    code=${answer#*:}
    cat > script.txt <<S
start silent.exe /S ${answer%%:*} $(q "/D=$(winpath "$work/$dest")")
exit ${code%:*}
S
    run_driver
    [ "$(cat "$dest/a.txt")" = "${code#*:}" ] || fail "/S ${answer%%:*}: a.txt holds $(cat "$dest/a.txt")"
  done

  # Unquoted and lower case: the rest of the line is the folder. Then an
  # environment variable and a relative folder.
  mkdir env
  export DRAVEX_TEST_FOLDER
  DRAVEX_TEST_FOLDER=$(winpath "$work/env")
  cat > script.txt <<S
start_raw silent.exe $(q "/s /d=$(winpath "$work/with blank")  ")
exit 0
start silent.exe /s "/D=%DRAVEX_TEST_FOLDER%\\\\sub"
exit 0
start silent.exe /S /D=relative
exit 0
start silent.exe /S /X
absent "Silent Test" 65535 300
exit 7
start silent.exe /S plain
exit 7
S
  run_driver
  cmp -s in/b.txt "with blank/b.txt" || fail "/d= with blanks, unquoted, did not extract there"
  cmp -s in/b.txt env/sub/b.txt || fail "/D= did not expand %DRAVEX_TEST_FOLDER%"
  cmp -s in/b.txt relative/b.txt || fail "/D=relative did not extract below the current folder"
}

# The /? box, a plain argument (the box, exit 7), /D= shown in the dialog,
# and an archive without SfxHeader flag bit 4 (qvx's --no-switches), whose
# stub ignores its command line.
scenario_switches_dialog() {
  mkdir in && echo one > in/a.txt
  make_sfx box.exe --switches --title "Box Test" in/.
  make_sfx plain.exe --title "Plain Test" in/.
  cat > script.txt <<S
start box.exe /?
find "Box Test" 65535
text 65535 "$USAGE_TEXT"
click 1
exit 0
start box.exe extra
find "Box Test" 65535
text 65535 "$USAGE_TEXT"
click 1
exit 7
start box.exe /y "/D=rel dir"
find "Box Test" 101
text 101 $(q "$(winpath "$work/rel dir")")
checked 106 1
click 104
exit 1223
start plain.exe /S /X
find "Plain Test" 101
text 101 ""
checked 106 0
click 104
exit 1223
S
  run_driver
  [ ! -e a.txt ] && [ ! -e "rel dir" ] || fail "something was extracted"
}

# Exit codes under /S: a CRC failure goes on (1), damage ends the run (2), a
# destination that cannot be made (3), a command that cannot start (5).
scenario_switches_exit_codes() {
  mkdir in
  head -c 5000 /dev/urandom > in/r1.bin
  head -c 5000 /dev/urandom > in/r2.bin
  make_sfx crc.exe --switches --title "Codes Test" --damage-member in/r1.bin in/.
  make_sfx damaged.exe --switches --title "Codes Test" --no-check-values --damage-directory in/.
  make_sfx nocommand.exe --switches --title "Codes Test" --command "missing.exe" in/.
  : > blocker
  cat > script.txt <<S
start crc.exe /S /D=crc
exit 1
start damaged.exe /S /D=damaged
exit 2
start crc.exe /S $(q "/D=$(winpath "$work/blocker/sub")")
exit 3
start nocommand.exe /S /D=nocommand
exit 5
S
  run_driver
  [ ! -e crc/r1.bin ] && cmp -s in/r2.bin crc/r2.bin || fail "the CRC failure did not go on past r1.bin"
  cmp -s in/r2.bin nocommand/r2.bin || fail "the files before the command are missing"
}

# Free space: a 1 MB file system as drive Q: of the prefix; 3 MB of files do
# not fit. Under /S exit 4 and nothing written; in the dialog the message
# names both figures and the dialog comes back: Extract works again, with
# another folder.
scenario_free_space() {
  mkdir small
  if ! mount -t tmpfs -o size=1m dravex-free-space small 2>/dev/null; then
    echo "SKIP: cannot mount a small file system here (needs root and mount rights)"
    exit 77
  fi
  trap 'rm -f "$WINEPREFIX/dosdevices/q:"; umount "$work/small" 2>/dev/null' EXIT
  ln -sfn "$work/small" "$WINEPREFIX/dosdevices/q:"
  mkdir in
  head -c 3000000 /dev/urandom > in/big.bin
  make_sfx space.exe --switches --title "Space Test" in/.
  local free
  free=$(( $(stat -f -c '%a * %S' small) / 1024 ))
  cat > script.txt <<S
start space.exe /S /D=Q:\\dest
exit 4
start space.exe /S /D=Q:dest
exit 4
start space.exe
find "Space Test" 101
set 101 "Q:\\\\dest"
click 108
find "Space Test" 65535
text 65535 "Not enough free space in the destination folder:\\n2930 KB needed, $free KB free"
$(screenshot_line free_space.png)
click 1
gone
find "Space Test" 101
set 101 $(q "$(winpath "$work/out")")
click 108
exit 0
S
  run_driver
  [ -z "$(ls -A small)" ] || fail "something was written to the full drive: $(ls -A small)"
  cmp -s in/big.bin out/big.bin || fail "the second folder did not get the file"
}
