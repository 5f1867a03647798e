#!/usr/bin/python3
"""Checks the hardening of a Windows executable as a binary analyser reads it from the PE file.

Usage: packaging/pe_check.py [--signed] [--symbols FILE] EXE

Fails (exit status 1, one "FAIL:" line each) when the image lacks any of:
  - ASLR with high entropy and DEP: DYNAMIC_BASE, HIGH_ENTROPY_VA and NX_COMPAT in
    DllCharacteristics, and a preferred base above 4 GB;
  - base relocations: a .reloc section that the relocation directory points into;
  - a subsystem version of at least 6.0;
  - stack protection: calls to __stack_chk_fail and reads of __stack_chk_guard in its code;
  - with --signed, an Authenticode signature (a PKCS#7 certificate in the security directory);
or has a section that is both writable and executable, a shared writable section, an executable
section of imports, or imports
(also delay-loaded) from a DLL that is not one of the system's.

Stack protection in a stripped, statically linked image: the guard and the failure routine come
from libssp, which the checked buffer functions pull in as well, so their presence proves nothing;
only a function that reads the guard and calls the routine does. The addresses of the guard, the
routine and the functions are taken from the symbols of the same link: the image's own symbol table, or the debug file that its
.gnu_debuglink names (beside it, matched by its CRC-32), or --symbols FILE. The code sections are
then searched for direct calls (E8 rel32) of __stack_chk_fail and for RIP-relative operands
of loads (8B, ModRM mod 00, r/m 101) that address the guard or a pointer slot holding its address
(GCC reaches a variable of another object through such a slot, .refptr). A protected function
reads the guard in its prologue and again in its epilogue, where a mismatch calls
__stack_chk_fail; an exact 32-bit displacement hitting one of these few addresses by chance is not
a concern, and both must fall in the same function.

Needs python3-pefile (scripts/setup.sh installs it).
"""

import argparse
import bisect
import os
import struct
import sys
import zlib

import pefile

REQUIRED_DLL_CHARACTERISTICS = {
    "IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA": 0x0020,
    "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE": 0x0040,
    "IMAGE_DLLCHARACTERISTICS_NX_COMPAT": 0x0100,
}
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SCN_MEM_SHARED = 0x10000000
SCN_CNT_CODE = 0x00000020
DIRECTORY_IMPORT = 1
DIRECTORY_SECURITY = 4
DIRECTORY_BASERELOC = 5
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
COFF_SYMBOL_SIZE = 18
COFF_DERIVED_TYPE = 0x30
COFF_FUNCTION = 0x20

# DLLs that Windows itself ships in System32. Anything else would have to ship with the
# executable or be found on the DLL search path.
SYSTEM_DLLS = {
    "advapi32.dll",
    "bcrypt.dll",
    "crypt32.dll",
    "kernel32.dll",
    "kernelbase.dll",
    "msvcrt.dll",
    "newdev.dll",
    "ntdll.dll",
    "ole32.dll",
    "setupapi.dll",
    "shell32.dll",
    "user32.dll",
    "version.dll",
    "wintrust.dll",
    "wlanapi.dll",
    "ws2_32.dll",
}


class Report:
    def __init__(self):
        self.failures = 0

    def ok(self, text):
        print(f"ok:   {text}")

    def fail(self, text):
        print(f"FAIL: {text}")
        self.failures += 1

    def check(self, passed, good, bad):
        if passed:
            self.ok(good)
        else:
            self.fail(bad)


def section_name(pe, section):
    """The section's name; long names (GNU ld writes "/N") are read from the string table."""
    raw = section.Name.rstrip(b"\0").decode("ascii", "replace")
    if raw.startswith("/") and raw[1:].isdigit():
        strings = pe.FILE_HEADER.PointerToSymbolTable + pe.FILE_HEADER.NumberOfSymbols * COFF_SYMBOL_SIZE
        start = strings + int(raw[1:])
        end = pe.__data__.find(b"\0", start)
        return pe.__data__[start:end].decode("ascii", "replace")
    return raw


def coff_symbols(pe):
    """The COFF symbol table's symbols defined in a section: name -> (RVA, is a function)."""
    header = pe.FILE_HEADER
    table = header.PointerToSymbolTable
    if table == 0 or header.NumberOfSymbols == 0:
        return {}
    data = pe.__data__
    strings = table + header.NumberOfSymbols * COFF_SYMBOL_SIZE
    symbols = {}
    index = 0
    while index < header.NumberOfSymbols:
        entry = data[table + index * COFF_SYMBOL_SIZE : table + (index + 1) * COFF_SYMBOL_SIZE]
        name_bytes, value, section_number, symbol_type, _class, aux = struct.unpack(
            "<8sLhHBB", entry)
        if name_bytes[:4] == b"\0\0\0\0":
            offset = struct.unpack("<L", name_bytes[4:])[0]
            end = data.find(b"\0", strings + offset)
            name = data[strings + offset : end].decode("ascii", "replace")
        else:
            name = name_bytes.rstrip(b"\0").decode("ascii", "replace")
        if 0 < section_number <= len(pe.sections):
            rva = pe.sections[section_number - 1].VirtualAddress + value
            symbols[name] = (rva, symbol_type & COFF_DERIVED_TYPE == COFF_FUNCTION)
        index += 1 + aux
    return symbols


def debuglink(pe, path):
    """The debug file that .gnu_debuglink names, beside `path`, and the CRC-32 it must have."""
    for section in pe.sections:
        if section_name(pe, section) == ".gnu_debuglink":
            raw = section.get_data()
            name = raw[: raw.index(b"\0")].decode("utf-8")
            crc_offset = (len(name) + 1 + 3) & ~3
            crc = struct.unpack("<L", raw[crc_offset : crc_offset + 4])[0]
            return os.path.join(os.path.dirname(os.path.abspath(path)), name), crc
    return None, None


def stack_protection_symbols(pe, path, symbols_file, report):
    """The symbols of this link, with the guard and the failure routine, or None."""
    symbols = coff_symbols(pe)
    source = path
    if not symbols:
        if symbols_file:
            source = symbols_file
        else:
            source, crc = debuglink(pe, path)
            if source is None:
                report.fail("stack protection: no symbols to find the guard by (neither in the "
                            "image nor a .gnu_debuglink; give --symbols)")
                return None
            if not os.path.exists(source):
                report.fail(f"stack protection: the debug file {source} is missing")
                return None
            with open(source, "rb") as debug_file:
                if zlib.crc32(debug_file.read()) != crc:
                    report.fail(f"stack protection: {source} is not the debug file of this image "
                                "(its CRC-32 differs from the .gnu_debuglink's)")
                    return None
        symbols = coff_symbols(pefile.PE(source, fast_load=True))
    if "__stack_chk_guard" not in symbols or "__stack_chk_fail" not in symbols:
        report.fail(f"stack protection: no __stack_chk_guard and __stack_chk_fail in {source}: "
                    "nothing was built with -fstack-protector and libssp")
        return None
    return symbols


def check_stack_protection(pe, path, symbols_file, report):
    symbols = stack_protection_symbols(pe, path, symbols_file, report)
    if symbols is None:
        return
    guard = symbols["__stack_chk_guard"][0]
    fail = symbols["__stack_chk_fail"][0]
    functions = sorted(rva for rva, is_function in symbols.values() if is_function)
    image_base = pe.OPTIONAL_HEADER.ImageBase
    guard_address = struct.pack("<Q", image_base + guard)
    # Pointer slots that hold the guard's address: GCC's .refptr.__stack_chk_guard.
    targets = {guard}
    for section in pe.sections:
        if section.Characteristics & SCN_MEM_EXECUTE:
            continue
        data = section.get_data()
        start = data.find(guard_address)
        while start != -1:
            targets.add(section.VirtualAddress + start)
            start = data.find(guard_address, start + 1)

    # The functions (by their start) that call __stack_chk_fail, and those that read the guard.
    # libssp's own code does one or the other, never both: its __stack_chk_fail_local calls it,
    # its constructor writes the guard.
    calling = set()
    reading = set()
    for section in pe.sections:
        if not section.Characteristics & (SCN_MEM_EXECUTE | SCN_CNT_CODE):
            continue
        code = section.get_data()[: section.Misc_VirtualSize]
        base = section.VirtualAddress
        for offset in range(1, len(code) - 3):
            displacement = struct.unpack_from("<i", code, offset)[0]
            after = base + offset + 4
            target = after + displacement
            if code[offset - 1] == 0xE8 and target == fail:
                calling.add(containing_function(functions, base + offset))
            # ModRM with mod 00 and r/m 101 ([rip + disp32]) after the opcode of a load, 8B.
            if (offset >= 2 and code[offset - 2] == 0x8B and code[offset - 1] & 0xC7 == 0x05
                    and target in targets):
                reading.add(containing_function(functions, base + offset))
    protected = len(calling & reading)
    report.check(
        protected > 0,
        f"stack protection: {protected} functions read the guard and call __stack_chk_fail",
        f"stack protection: no function reads the guard and calls __stack_chk_fail "
        f"({len(calling)} call it, {len(reading)} read the guard): the code was not compiled "
        "with -fstack-protector",
    )


def containing_function(functions, rva):
    """The start of the function that `rva` lies in: the nearest function symbol before it."""
    index = bisect.bisect_right(functions, rva) - 1
    return functions[index] if index >= 0 else None


def check_imports(pe, report):
    names = []
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attribute, []):
            names.append(entry.dll.decode("ascii", "replace"))
    foreign = sorted({name for name in names if name.lower() not in SYSTEM_DLLS})
    report.check(
        not foreign,
        f"imports only from system DLLs: {', '.join(sorted(set(names), key=str.lower))}",
        f"imports from DLLs that are not the system's: {', '.join(foreign)}",
    )


def check_signature(pe, report):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_SECURITY]
    signed = False
    if directory.VirtualAddress and directory.Size >= 8:
        # The security directory's address is a file offset, not an RVA.
        _length, _revision, certificate_type = struct.unpack_from(
            "<LHH", pe.__data__, directory.VirtualAddress)
        signed = certificate_type == WIN_CERT_TYPE_PKCS_SIGNED_DATA
    report.check(signed, "signed: an Authenticode signature in the security directory",
                 "not signed: no PKCS#7 signature in the security directory")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--signed", action="store_true", help="the image must carry a signature")
    parser.add_argument("--symbols", help="the debug file (symbols) of the image's link")
    args = parser.parse_args()

    try:
        pe = pefile.PE(args.exe)
    except (OSError, pefile.PEFormatError) as error:
        print(f"FAIL: {args.exe}: not a PE image: {error}")
        return 1
    report = Report()
    print(f"{args.exe}:")

    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    missing = [name for name, flag in REQUIRED_DLL_CHARACTERISTICS.items()
               if not characteristics & flag]
    report.check(not missing, f"DllCharacteristics 0x{characteristics:04x}: ASLR, high entropy, DEP",
                 f"DllCharacteristics 0x{characteristics:04x} lacks {', '.join(missing)}")

    image_base = pe.OPTIONAL_HEADER.ImageBase
    report.check(image_base > 0xFFFFFFFF, f"image base 0x{image_base:x}: above 4 GB",
                 f"image base 0x{image_base:x}: below 4 GB, where high-entropy ASLR cannot move it")

    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_BASERELOC]
    reloc = [s for s in pe.sections if section_name(pe, s) == ".reloc"]
    report.check(
        reloc and relocations.Size > 0
        and reloc[0].contains_rva(relocations.VirtualAddress),
        f"base relocations: .reloc, {relocations.Size} bytes",
        "no base relocations (.reloc section and relocation directory)",
    )

    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    report.check(version >= (6, 0), f"subsystem version {version[0]}.{version[1]}",
                 f"subsystem version {version[0]}.{version[1]}: below 6.0")

    unsafe_sections = 0
    for section in pe.sections:
        flags = section.Characteristics
        name = section_name(pe, section)
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            report.fail(f"section {name} is writable and executable (0x{flags:08x})")
            unsafe_sections += 1
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_SHARED:
            report.fail(f"section {name} is shared and writable (0x{flags:08x})")
            unsafe_sections += 1
    imports = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_IMPORT]
    for section in pe.sections:
        if imports.Size and section.contains_rva(imports.VirtualAddress) and \
                section.Characteristics & SCN_MEM_EXECUTE:
            report.fail(f"the imports' section {section_name(pe, section)} is executable")
            unsafe_sections += 1
    if not unsafe_sections:
        report.ok(f"{len(pe.sections)} sections, none writable and executable, none shared and "
                  "writable; the imports' not executable")

    check_imports(pe, report)
    check_stack_protection(pe, args.exe, args.symbols, report)
    if args.signed:
        check_signature(pe, report)

    print(f"pe check: {report.failures} failed")
    return 1 if report.failures else 0


if __name__ == "__main__":
    sys.exit(main())
