# Cross-builds the stub twice from the same sources with the mingw-w64
# toolchains: PE32 (i686, what we ship and embed into qvx) and PE32+
# (x86-64, what the Wine tests run). Sets DRAVEX_EMBEDDED_STUB_SOURCE and
# DRAVEX_EMBEDDED_STUB_TARGET for the archiver.
#
# (placeholder until the stub build lands: no embedded stub)
set(DRAVEX_EMBEDDED_STUB_SOURCE "")
set(DRAVEX_EMBEDDED_STUB_TARGET "")
