# The compile options that shape the stub's code, shared by the stub build and
# by the host builds of the stub's form of the codec (dravex_codec_stub_form:
# its tests, fuzz replays and fuzzers, bench/block_speed.cpp). Those lack only
# the stub's link-time optimisation and freestanding flags.
#
# Optimisations that -Os keeps although they cost the stub bytes: loop
# rewriting, dominator-based jump threading, partial inlining, second-pass
# scheduling, shrink-wrapping and the interprocedural reference analysis.
# Without them the code is about 200 bytes smaller; the decoding loops run a
# little slower, which the stub can afford. The second line (full redundancy
# elimination, strength reduction, forward propagation, bitwise constant
# propagation, dead-store elimination, the CSE rerun, tail merging, code
# sinking) with register live-range shrinking saves about 140 bytes more.
# Each was measured on the PE32 stub and is kept only while it pays; the
# sizes move by tens of bytes with the code, so measure again after large
# changes (interprocedural pure/const detection, off before, now pays).
# The third line, measured after the switches, the free-space check and the
# faster decoder came in: inlining functions called once, the mod/ref
# analysis and caller-saved registers across calls cost about 120 bytes.
set(DRAVEX_STUB_SMALLER -fno-tree-loop-optimize -fno-tree-dominator-opts -fno-partial-inlining
  -fno-schedule-insns2 -fno-shrink-wrap -fno-ipa-reference
  -fno-tree-fre -fno-tree-slsr -fno-forward-propagate -fno-tree-bit-ccp -fno-tree-dse -fno-rerun-cse-after-loop
  -fno-tree-tail-merge -fno-tree-sink -flive-range-shrinkage
  -fno-inline-functions-called-once -fno-ipa-modref -fno-caller-saves)
# Everything that decides the decoder's code: size first, no loops turned
# into library calls, no jump tables, the shared sources' smaller forms.
set(DRAVEX_STUB_CODE_OPTIONS -Os -fno-tree-loop-distribute-patterns -fno-jump-tables -fno-tree-switch-conversion
  ${DRAVEX_STUB_SMALLER})
set(DRAVEX_STUB_CODE_DEFINITIONS DRAVEX_STUB_BUILD)
