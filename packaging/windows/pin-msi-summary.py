#!/usr/bin/env python3
# Pins what wixl leaves to the moment in an installer's summary information: the times it was created and last
# saved become SOURCE_DATE_EPOCH (when given), and the package code (the summary's revision number, random from wixl)
# becomes a name-based UUID of the package's bytes, so that one content always has one code and other content
# another, as Windows Installer requires of package codes. The values are replaced where they stand in the file,
# each found exactly as often as the summary holds it.
#
#   pin-msi-summary.py MSIINFO PACKAGE [SOURCE_DATE_EPOCH]
import calendar
import hashlib
import os
import struct
import subprocess
import sys
import time
import uuid

# The namespace of the companion's package codes.
PACKAGE_CODES = uuid.UUID("8010dd42-0435-44ff-b606-45e218acdffa")
# A summary time as the file holds it: its type (VT_FILETIME), then 100-nanosecond steps since 1601-01-01.
FILETIME_TYPE = struct.pack("<I", 64)
FILETIME_OFFSET = 11644473600


def filetime(seconds):
    return FILETIME_TYPE + struct.pack("<Q", (seconds + FILETIME_OFFSET) * 10_000_000)


def guid(value):
    return ("{%s}" % str(value).upper()).encode()


def replaced(data, old, new, count):
    found = data.count(old)
    if found != count:
        sys.exit(f"pin-msi-summary.py: {old!r} is {found} times in the package, not {count}")
    return data.replace(old, new)


def main(msiinfo, package, epoch=None):
    # msiinfo shows the times as local time: in UTC here, in the C locale's names.
    summary = subprocess.run([msiinfo, "suminfo", package], capture_output=True, text=True, check=True,
                             env=dict(os.environ, TZ="UTC", LC_ALL="C")).stdout
    fields = dict(line.split(": ", 1) for line in summary.splitlines() if ": " in line)
    with open(package, "rb") as file:
        data = file.read()
    if epoch is not None:
        times = [calendar.timegm(time.strptime(fields[name], "%a %b %d %H:%M:%S %Y"))
                 for name in ("Created", "Last saved")]
        for seconds in set(times):
            data = replaced(data, filetime(seconds), filetime(int(epoch)), times.count(seconds))
    placeholder = guid(uuid.UUID(int=0))
    data = replaced(data, fields["Revision number (UUID)"].encode(), placeholder, 1)
    data = replaced(data, placeholder, guid(uuid.uuid5(PACKAGE_CODES, hashlib.sha256(data).hexdigest())), 1)
    with open(package, "wb") as file:
        file.write(data)


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(f"usage: {sys.argv[0]} MSIINFO PACKAGE [SOURCE_DATE_EPOCH]")
    main(*sys.argv[1:])
