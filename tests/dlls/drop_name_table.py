"""Zeroes OriginalFirstThunk in every import descriptor of a PE file, in place."""

import sys

import pefile

pe = pefile.PE(sys.argv[1])
for entry in pe.DIRECTORY_ENTRY_IMPORT:
    entry.struct.OriginalFirstThunk = 0
data = pe.write()
pe.close()
with open(sys.argv[1], "wb") as out:
    out.write(data)
