# The Wine scenarios, one function each, sourced by run.sh. Each builds its
# self-extractor, writes script.txt for sfx_driver, runs it with run_driver
# and checks the result on disk. Control ids: see resources/resource.h.

MAIN=101          # a control only the main dialog has (the folder box)
BOX=65535         # the text of a message box
OK=1
CANCEL=2

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
  make_sfx modified.exe --empty --title "Modified Test" --flip-stub-byte 700
  # The warning comes before the SfxHeader is read: the caption is the
  # initial title.
  cat > script.txt <<'S'
start modified.exe
find "Dravex Self-Extractor" 65535
text 65535 "This self-extractor has been modified. An error may have occurred during downloading, or your compter may have a virus. Make sure your virus scanner is the latest version, and if it finds nothing, please send this self-extractor to support@dravex.dev for inspection."
click 1
exit 0
S
  run_driver
}

scenario_cut_archive_header() {
  make_sfx cut.exe --empty --title "Cut Test" --cut-archive 30
  cat > script.txt <<'S'
start cut.exe
find "Cut Test" 65535
text 65535 "Cannot read cut.exe"
click 1
exit 0
S
  run_driver
}
