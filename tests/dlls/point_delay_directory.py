"""Points the delay import directory of a PE file at its delay-load descriptor, in place.

GNU ld links the descriptors of a dlltool delay-import library without filling the directory,
which the Microsoft linker fills: found here by its shape, 32 bytes whose attributes say RVAs,
whose name is kernel32.dll, whose three last fields are zero, and which a zeroed one follows."""

import struct
import sys

import pefile

DELAY_IMPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]
DESCRIPTOR = struct.Struct("<8I")

pe = pefile.PE(sys.argv[1])
image = pe.get_memory_mapped_image()
found = []
for offset in range(0, len(image) - 2 * DESCRIPTOR.size, 4):
    attributes, name, handle, table, names, bound, unload, stamp = DESCRIPTOR.unpack_from(
        image, offset)
    if attributes != 1 or bound or unload or stamp or not 0 < name < len(image) - 16:
        continue
    if not all(0 < rva < len(image) for rva in (handle, table, names)):
        continue
    end = image[offset + DESCRIPTOR.size:offset + 2 * DESCRIPTOR.size]
    if image[name:name + 13].lower() == b"kernel32.dll\0" and end == bytes(DESCRIPTOR.size):
        found.append(offset)
if len(found) != 1:
    sys.exit(f"{sys.argv[1]}: {len(found)} delay-load descriptors, not one")
directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DELAY_IMPORT]
directory.VirtualAddress = found[0]
directory.Size = 2 * DESCRIPTOR.size  # with the zeroed one that ends the list
data = pe.write()
pe.close()
with open(sys.argv[1], "wb") as out:
    out.write(data)
