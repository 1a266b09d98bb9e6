"""Serial numbers that name no machine: what firmware reports where no
serial number was ever programmed, or where a board replaced in rework
left the maker's default behind.
"""

# Compared with surrounding blanks removed and case ignored. The start is
# what inventory tools treat as no serial number (the lists GLPI and OCS
# Inventory ship); the rest is what the firmware of our PCs is known to
# report.
PLACEHOLDERS = frozenset(text.lower() for text in (
    "N/A", "NA", "(null string)", "null", "INVALID", "SYS-1234567890", "SYS-9876543210", "SN-12345",
    "SN-1234567890", "0123456789", "12345", "123456", "1234567", "12345678", "123456789", "1234567890",
    "123456789000", "12345678901234567", "none", "EVAL", "IATPASS", "Tulip Computers", "Serial Number xxxxxx",
    "To Be Filled By O.E.M.", "To be filled by OEM", "System Serial Number", "Not Specified", "Not Applicable",
    "Not Available", "OEM_Serial", "xxxxxxxxxxx",
    "Default string", "Default_string", "Chassis Serial Number", "OEM", "0",
))
BLANKS = " \t"


def is_placeholder(serial):
    """True for a logged serial number that identifies no machine: empty,
    one character repeated (0000000), or a known placeholder."""
    bare = serial.strip(BLANKS)
    return len(set(bare)) <= 1 or bare.lower() in PLACEHOLDERS
