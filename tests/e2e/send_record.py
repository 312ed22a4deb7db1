"""The send request record that faxjob hands to the library, built independently of the
program's code."""

import struct

RECORD_SIZE = 1360
TEXT_SLOTS = {  # name: (offset, size)
    "JobFilePath": (28, 260),
    "TextSlotB": (288, 260),
    "ResultFilePath": (548, 260),
    "TextSlotD": (808, 260),
    "TextSlotE": (1068, 260),
    "ShortTextSlot": (1328, 21),
}


def ansi_bytes(text: str) -> bytes:
    """Text in code page 932 as Windows' WideCharToMultiByte gives it with its default character:
    each UTF-16 unit that the code page lacks becomes one '?', so a character outside the BMP
    (a surrogate pair) becomes two. Best-fit replacements (e with acute accent -> e, U+301C ->
    the full-width tilde) are not modelled: tests use characters with a mapping or with none."""
    out = bytearray()
    for char in text:
        if ord(char) > 0xFFFF:
            out += b"??"
        else:
            out += char.encode("cp932", errors="replace")
    return bytes(out)


def expected_record(job_file_path: str, result_file_path: str) -> bytes:
    """The 1360 bytes the program hands to the library for these two paths."""
    record = bytearray(RECORD_SIZE)  # the tail bytes after the last slot stay zero
    struct.pack_into("<4si5i", record, 0, bytes(4), 0, 0, 0, 0, 0, 0)  # ValueA, B, ValueList
    for name, text in (("JobFilePath", job_file_path), ("ResultFilePath", result_file_path)):
        offset, size = TEXT_SLOTS[name]
        encoded = ansi_bytes(text)
        if len(encoded) >= size:
            raise ValueError(f"{name} does not fit: {len(encoded)} bytes")
        record[offset:offset + len(encoded)] = encoded
    return bytes(record)


def slot_text_bytes(record: bytes, name: str) -> bytes:
    """The bytes of a text slot up to its NUL."""
    offset, size = TEXT_SLOTS[name]
    slot = record[offset:offset + size]
    end = slot.find(b"\0")
    if end < 0:
        raise AssertionError(f"{name} holds no NUL")
    return slot[:end]
