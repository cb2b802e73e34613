#!/usr/bin/env bash
# The main job, as a demo: installs what is missing, builds everything, packs
# a sample folder into a self-extractor, lists and tests it, extracts it
# with qvx and checks the result against the originals. (The Wine tests run
# the self-extractor's dialog: ctest -L wine.)
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/sample/docs/empty folder" "$demo/sample/bin"
# A small tree: text, a nested folder, an empty folder, an empty file, an
# executable (the stub itself), a read-only file and a name in code page 1252.
cp README.md "$demo/sample/docs/README.md"
for i in $(seq 1 200); do echo "line $i: Dravex packs folders into self-extracting archives."; done > "$demo/sample/docs/lines.txt"
: > "$demo/sample/docs/empty.txt"
cp build/dravex-stub.exe "$demo/sample/bin/stub.exe" 2>/dev/null || cp build/qvx "$demo/sample/bin/qvx"
echo "café au lait" > "$demo/sample/docs/café.txt"
echo "do not change" > "$demo/sample/docs/readonly.txt"
chmod a-w "$demo/sample/docs/readonly.txt"

echo "== pack"
build/qvx a "$demo/sample.exe" "$demo/sample" --title "Dravex demo" --folder 'C:\Dravex demo'
ls -l "$demo/sample.exe"
echo "== list"
build/qvx l "$demo/sample.exe"
echo "== test"
build/qvx t "$demo/sample.exe"
echo "== extract"
build/qvx x "$demo/sample.exe" -o "$demo/out" -y
diff -r "$demo/sample" "$demo/out/sample" && echo "extracted tree matches the original"
