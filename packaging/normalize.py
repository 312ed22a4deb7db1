"""Makes release files depend on their contents and the commit's date alone.

    normalize.py zip EPOCH ARCHIVE...   rewrites each zip archive in place
    normalize.py dates EPOCH FOLDER     dates every file below FOLDER at EPOCH

A rewritten archive holds the same entries, sorted by name, each dated EPOCH in UTC, with fixed
permissions (0755 for folders, programs and libraries, 0644 for other files) and no extra fields.
CPack's own writer dates entries in the local time zone and records the builder's user and group
ids and umask, so two people building one commit would get different archives. The dates of the
files wixl packs go into the MSI's cabinet.
"""

import os
import sys
import time
import zipfile
from pathlib import Path

ZIP_EPOCH = 315532800  # 1980-01-01 UTC: a zip entry can hold no earlier date
EXECUTABLE = (".exe", ".dll")


def rewrite_zip(path: Path, epoch: int) -> None:
    date_time = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    with zipfile.ZipFile(path) as source:
        entries = sorted(((info.filename, info.is_dir(), source.read(info))
                          for info in source.infolist()), key=lambda entry: entry[0])
    temporary = path.with_name(path.name + ".normalizing")
    with zipfile.ZipFile(temporary, "w") as target:
        for name, is_folder, data in entries:
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3  # Unix, so that the permissions below are read
            if is_folder:
                info.external_attr = (0o40755 << 16) | 0x10  # and MS-DOS's folder bit
                info.compress_type = zipfile.ZIP_STORED
            else:
                mode = 0o100755 if name.lower().endswith(EXECUTABLE) else 0o100644
                info.external_attr = mode << 16
                info.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(info, data, compresslevel=9)
    os.replace(temporary, path)


def date_files(folder: Path, epoch: int) -> None:
    for path in [folder, *folder.rglob("*")]:
        os.utime(path, (epoch, epoch), follow_symlinks=False)


def main(argv) -> int:
    if len(argv) < 4 or argv[1] not in ("zip", "dates"):
        print(__doc__, file=sys.stderr)
        return 2
    epoch = int(argv[2])
    if argv[1] == "zip":
        for archive in argv[3:]:
            rewrite_zip(Path(archive), epoch)
    else:
        date_files(Path(argv[3]), epoch)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
