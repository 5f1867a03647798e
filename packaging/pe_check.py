#!/usr/bin/python3
"""Checks the hardening of a Windows image as a binary analyser reads it from the PE file.

Usage: packaging/pe_check.py [--signed [--ca-file FILE]] [--symbols FILE] [--also-import DLL]...
                             --units FILE IMAGE
       packaging/pe_check.py --known-dlls

Fails (exit status 1, one "FAIL:" line each) when the image lacks any of:
  - ASLR with high entropy and DEP: DYNAMIC_BASE, HIGH_ENTROPY_VA and NX_COMPAT in
    DllCharacteristics, and a preferred base above 4 GB;
  - base relocations: a .reloc section that the relocation directory points into;
  - a subsystem version of at least 6.0;
  - stack protection: every compilation unit of the project's own code (the sources --units
    lists) in the debug information and compiled with -fstack-protector-strong, as its
    DW_AT_producer records the options, every other unit one of the toolchain's runtime, and
    calls to __stack_chk_fail and reads of __stack_chk_guard in its code;
  - with --signed, an Authenticode signature that `osslsigncode verify` accepts (against
    --ca-file, or the system's certificates);
or has a section that is both writable and executable, a shared writable section, an executable
section of imports, imports from a DLL that is not a KnownDLL (the import directory's and the
delay-import directory's) nor one that --also-import names, any delay-loaded import at all, or a
.gnu_debuglink whose file is missing beside it or has another CRC-32. --known-dlls prints the
KnownDLLs, one a line.

Delay-loaded imports: GNU ld fills the delay-import directory only for the imports of MSVC-style
libraries; for those of a library made with dlltool --output-delaylib, MinGW's way, it leaves the
directory empty, and the image's import directories show nothing of them. The link's symbols
(the image's, or its debug file's) do: the delay-load helper __delayLoadHelper2 and a descriptor
__DELAY_IMPORT_DESCRIPTOR_* for each DLL, which names it. The images delay-load nothing: a DLL
that one does not import it loads from System32 by flag.

The project's own units are known by name, not guessed: the build lists the C and C++ sources of
the image's targets (cmake/own_units.cmake), as the debug information names them once the
source tree is mapped away (-ffile-prefix-map), and each must be there: a file built with -g0
has no unit, and one built without the map names its source by the full path, which still ends
in the listed one. The toolchain's units are known by the folder their packages were built in
and the source trees under it (TOOLCHAIN_UNITS); a unit that is neither fails. GCC writes the
options of a unit into its producer string in order, so the last of the
-f[no-]stack-protector* options is the one in force.

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
import subprocess
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

# The KnownDLLs of 64-bit Windows 10 and 11, the values of HKLM\SYSTEM\CurrentControlSet\
# Control\Session Manager\KnownDLLs but for the WOW64 ones, which only 32-bit processes load.
# The loader maps these from the system's own section objects, whatever the search order; any
# other DLL that an image imports it looks for in the image's folder first (Microsoft's
# "Dynamic-link library search order"). ntdll.dll is not listed there: the kernel maps it into
# every process before the loader runs.
KNOWN_DLLS = {
    "advapi32.dll",
    "clbcatq.dll",
    "combase.dll",
    "comdlg32.dll",
    "coml2.dll",
    "difxapi.dll",
    "gdi32.dll",
    "gdiplus.dll",
    "imagehlp.dll",
    "imm32.dll",
    "kernel32.dll",
    "msctf.dll",
    "msvcrt.dll",
    "normaliz.dll",
    "nsi.dll",
    "ntdll.dll",
    "ole32.dll",
    "oleaut32.dll",
    "psapi.dll",
    "rpcrt4.dll",
    "sechost.dll",
    "setupapi.dll",
    "shcore.dll",
    "shell32.dll",
    "shlwapi.dll",
    "user32.dll",
    "wldap32.dll",
    "ws2_32.dll",
}
STACK_PROTECTION_REQUIRED = ("-fstack-protector-strong", "-fstack-protector-all")
# The units of the toolchain's runtime that carry debug information, by the folder their packages
# were built in and the source trees under it, as Debian 12's mingw-w64-x86-64-dev (10.0.0) records
# them (its build maps the build folder to /build): the C runtime's start-up and helpers and
# winpthreads. GCC's own libraries (libgcc, libssp, libstdc++) come without debug information.
TOOLCHAIN_UNITS = (
    ("/build", ("./mingw-w64-crt/", "./mingw-w64-libraries/winpthreads/")),
)
DW_TAG_COMPILE_UNIT = 0x11
DW_AT_NAME = 0x03
DW_AT_PRODUCER = 0x25
DW_AT_COMP_DIR = 0x1B


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


def check_debuglink(pe, path, report):
    """The file .gnu_debuglink names is there and is this link's. Returns it, or None."""
    linked, crc = debuglink(pe, path)
    if linked is None:
        return None
    if not os.path.exists(linked):
        report.fail(f"debug link: {linked} is missing")
        return None
    with open(linked, "rb") as debug_file:
        actual = zlib.crc32(debug_file.read())
    report.check(actual == crc, f"debug link: {os.path.basename(linked)}, CRC-32 0x{crc:08x}",
                 f"debug link: {linked} has CRC-32 0x{actual:08x}, not the .gnu_debuglink's "
                 f"0x{crc:08x}: it is not the debug file of this image")
    return linked if actual == crc else None


def debug_image(pe, path, symbols_file, linked):
    """The image that holds this link's symbols and debug information: the image itself when it
    has a symbol table, else --symbols or the debug link's file."""
    if coff_symbols(pe):
        return pe, path
    source = symbols_file or linked
    if source is None:
        return None, None
    return pefile.PE(source, fast_load=True), source


def stack_protection_symbols(symbols, source, report):
    """The symbols of this link, with the guard and the failure routine, or None."""
    if "__stack_chk_guard" not in symbols or "__stack_chk_fail" not in symbols:
        report.fail(f"stack protection: no __stack_chk_guard and __stack_chk_fail in {source}: "
                    "nothing was built with -fstack-protector and libssp")
        return None
    return symbols


def uleb128(data, offset):
    value = shift = 0
    while True:
        byte = data[offset]
        offset += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, offset


def sleb128(data, offset):
    value, end = uleb128(data, offset)
    bits = 7 * (end - offset)
    if value & (1 << (bits - 1)):
        value -= 1 << bits
    return value, end


# DWARF forms by their size in a 32-bit DWARF unit: fixed sizes, and the ones a length leads.
FIXED_FORMS = {0x05: 2, 0x06: 4, 0x07: 8, 0x0B: 1, 0x0C: 1, 0x0E: 4, 0x10: 4, 0x11: 1, 0x12: 2,
               0x13: 4, 0x14: 8, 0x17: 4, 0x19: 0, 0x1C: 4, 0x1D: 4, 0x1E: 16, 0x1F: 4, 0x20: 8,
               0x21: 0, 0x25: 1, 0x26: 2, 0x27: 3, 0x28: 4, 0x29: 1, 0x2A: 2, 0x2B: 3, 0x2C: 4}
ULEB_FORMS = {0x0F, 0x15, 0x1A, 0x1B, 0x22, 0x23}


def compile_units(sections):
    """(name, compilation directory, producer) of each unit of .debug_info, read from the unit's
    first entry. 32-bit DWARF 2 to 5, as GCC writes it."""
    info, abbrev = sections.get(".debug_info"), sections.get(".debug_abbrev")
    strings, line_strings = sections.get(".debug_str", b""), sections.get(".debug_line_str", b"")
    if info is None or abbrev is None:
        return []

    def string_at(table, offset):
        return table[offset : table.index(b"\0", offset)].decode("utf-8", "replace")

    units = []
    offset = 0
    while offset + 11 <= len(info):
        length, version = struct.unpack_from("<LH", info, offset)
        end = offset + 4 + length
        if version >= 5:
            address_size, abbrev_offset = struct.unpack_from("<BL", info, offset + 7)
            cursor = offset + 12
        else:
            abbrev_offset, address_size = struct.unpack_from("<LB", info, offset + 6)
            cursor = offset + 11
        code, cursor = uleb128(info, cursor)
        position = abbrev_offset
        while True:
            entry, position = uleb128(abbrev, position)
            tag, position = uleb128(abbrev, position)
            position += 1
            attributes = []
            while True:
                attribute, position = uleb128(abbrev, position)
                form, position = uleb128(abbrev, position)
                if form == 0x21:
                    _, position = sleb128(abbrev, position)
                if attribute == 0 and form == 0:
                    break
                attributes.append((attribute, form))
            if entry == code:
                break
        values = {}
        for attribute, form in attributes:
            if form == 0x08:
                stop = info.index(b"\0", cursor)
                values[attribute] = info[cursor:stop].decode("utf-8", "replace")
                cursor = stop + 1
            elif form in (0x0E, 0x1F):
                table = strings if form == 0x0E else line_strings
                values[attribute] = string_at(table, struct.unpack_from("<L", info, cursor)[0])
                cursor += 4
            elif form == 0x01:
                cursor += address_size
            elif form in FIXED_FORMS:
                cursor += FIXED_FORMS[form]
            elif form in ULEB_FORMS or form == 0x0D:
                _, cursor = uleb128(info, cursor)
            elif form in (0x09, 0x18, 0x0A, 0x03, 0x04):
                if form in (0x09, 0x18):
                    size, cursor = uleb128(info, cursor)
                else:
                    width = {0x0A: 1, 0x03: 2, 0x04: 4}[form]
                    size = int.from_bytes(info[cursor : cursor + width], "little")
                    cursor += width
                cursor += size
            else:
                raise ValueError(f"DWARF form 0x{form:x} in the unit at 0x{offset:x}")
        if tag == DW_TAG_COMPILE_UNIT:
            units.append((values.get(DW_AT_NAME, "?"), values.get(DW_AT_COMP_DIR, ""),
                          values.get(DW_AT_PRODUCER, "")))
        offset = end
    return units


def debug_sections(pe):
    return {section_name(pe, section): section.get_data()[: section.Misc_VirtualSize]
            for section in pe.sections if section_name(pe, section).startswith(".debug_")}


def toolchain_unit(name, directory):
    """Whether a unit is one of the toolchain's runtime, by where its packages built it."""
    return ".." not in name.split("/") and any(
        directory == built_in and name.startswith(trees) for built_in, trees in TOOLCHAIN_UNITS)


def own_unit(name, own):
    """The listed source that a unit compiles, or None. A unit built without -ffile-prefix-map
    names its source by the full path, which ends in the listed one."""
    if name in own:
        return name
    if os.path.isabs(name):
        for listed in own:
            if name.endswith("/" + listed):
                return listed
    return None


def check_unit_options(debug_pe, source, units_file, report):
    """Every unit of the project's own code (units_file lists them) is in the debug information,
    compiled with -fstack-protector-strong; every other unit is the toolchain's."""
    own = set()
    if units_file is not None:
        with open(units_file, encoding="utf-8") as listing:
            own = {line.strip() for line in listing if line.strip()}
    if not own:
        report.fail("stack protection: no list of the image's own units to find in its debug "
                    "information (give --units)")
        return
    try:
        units = compile_units(debug_sections(debug_pe))
    except (ValueError, IndexError, struct.error) as error:
        report.fail(f"stack protection: the debug information of {source} cannot be read: {error}")
        return
    # A source may be compiled into more than one unit, each judged.
    found = []
    foreign = []
    for name, directory, producer in units:
        listed = own_unit(name, own)
        if listed is not None:
            found.append((listed, producer))
        elif not toolchain_unit(name, directory):
            foreign.append(f"{name} (in {directory or 'no directory'})")
    if foreign:
        report.fail(f"stack protection: units of neither the image's own code nor the "
                    f"toolchain's runtime: {', '.join(foreign)}")
    missing = sorted(own - {name for name, _ in found})
    if missing:
        report.fail(f"stack protection: units of the project's own code not in the debug "
                    f"information (built without -g?): {', '.join(missing)}")
    unprotected = []
    for name, producer in sorted(found):
        options = [option for option in producer.split()
                   if option.startswith(("-fstack-protector", "-fno-stack-protector"))]
        if not options or options[-1] not in STACK_PROTECTION_REQUIRED:
            unprotected.append(f"{name} ({options[-1] if options else 'no -fstack-protector'})")
    if unprotected:
        report.fail("stack protection: not compiled with -fstack-protector-strong: "
                    f"{', '.join(unprotected)}")
    elif not missing and not foreign:
        report.ok(f"stack protection: the {len(own)} units of the project's own code compiled "
                  "with -fstack-protector-strong")


def check_stack_protection(pe, path, symbols_file, linked, units_file, report):
    debug_pe, source = debug_image(pe, path, symbols_file, linked)
    if debug_pe is None:
        report.fail("stack protection: no symbols to find the guard by (neither in the image nor "
                    "a .gnu_debuglink to a matching debug file; give --symbols)")
        return
    check_unit_options(debug_pe, source, units_file, report)
    symbols = stack_protection_symbols(coff_symbols(debug_pe), source, report)
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


def check_imports(pe, also, report):
    """Imports only from KnownDLLs and the DLLs `also` names: those that the image's host process
    has loaded from System32 before it loads the image."""
    names = []
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attribute, []):
            names.append(entry.dll.decode("ascii", "replace"))
    allowed = KNOWN_DLLS | {name.lower() for name in also}
    foreign = sorted({name for name in names if name.lower() not in allowed})
    beyond = "".join(f" and {name}" for name in sorted(also))
    report.check(
        not foreign,
        f"imports only from KnownDLLs{beyond}: {', '.join(sorted(set(names), key=str.lower))}",
        f"imports from DLLs that are not KnownDLLs{beyond}: {', '.join(foreign)}",
    )


def check_delay_loads(pe, debug_pe, source, report):
    """No delay-loaded import: GNU ld leaves the delay-import directory empty for the imports of
    a library that dlltool --output-delaylib made, so only the link's symbols show them: the
    descriptor of each DLL (ImgDelayDescr, whose second field is the RVA of the DLL's name) and
    the helper that loads it at the first call."""
    symbols = coff_symbols(debug_pe)
    descriptors = [rva for name, (rva, _) in symbols.items()
                   if name.startswith("__DELAY_IMPORT_DESCRIPTOR_")]
    helper = "__delayLoadHelper2" in symbols
    dlls = []
    for rva in descriptors:
        try:
            dlls.append(pe.get_string_at_rva(pe.get_dword_at_rva(rva + 4)).decode("ascii",
                                                                                  "replace"))
        except (pefile.PEFormatError, TypeError, AttributeError):
            dlls.append(f"the DLL of the descriptor at 0x{rva:x}")
    held = (["__delayLoadHelper2"] if helper else []) + \
        ([f"{len(descriptors)} __DELAY_IMPORT_DESCRIPTOR_*"] if descriptors else [])
    report.check(not held,
                 f"no delay-loaded imports: no __delayLoadHelper2 or __DELAY_IMPORT_DESCRIPTOR_* "
                 f"in {os.path.basename(source)}",
                 f"delay-loaded imports, which the delay-import directory does not list: "
                 f"{', '.join(sorted(dlls)) or 'no descriptor'} ({os.path.basename(source)} holds "
                 f"{' and '.join(held)})")


def check_signature(pe, path, ca_file, report):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIRECTORY_SECURITY]
    signed = False
    if directory.VirtualAddress and directory.Size >= 8:
        # The security directory's address is a file offset, not an RVA.
        _length, _revision, certificate_type = struct.unpack_from(
            "<LHH", pe.__data__, directory.VirtualAddress)
        signed = certificate_type == WIN_CERT_TYPE_PKCS_SIGNED_DATA
    if not signed:
        report.fail("not signed: no PKCS#7 signature in the security directory")
        return
    command = ["osslsigncode", "verify", "-in", path]
    if ca_file:
        command += ["-CAfile", ca_file]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    last = [line for line in (result.stdout + result.stderr).splitlines() if line.strip()]
    report.check(result.returncode == 0,
                 "signed: the Authenticode signature verifies (osslsigncode verify)",
                 "signed, but the signature does not verify (osslsigncode verify: "
                 f"{last[-1] if last else 'status ' + str(result.returncode)})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe", nargs="?")
    parser.add_argument("--signed", action="store_true",
                        help="the image must carry a signature that verifies")
    parser.add_argument("--ca-file", help="the certificates to verify the signature against")
    parser.add_argument("--symbols", help="the debug file (symbols) of the image's link")
    parser.add_argument("--units", help="the sources of the image's own code, one a line, as "
                        "its debug information names them (cmake/own_units.cmake writes it)")
    parser.add_argument("--also-import", action="append", default=[], metavar="DLL",
                        help="a DLL beyond the KnownDLLs that the image may import: one that its "
                        "host process has loaded from System32 before it loads the image")
    parser.add_argument("--known-dlls", action="store_true", help="print the KnownDLLs")
    args = parser.parse_args()
    if args.known_dlls:
        print("\n".join(sorted(KNOWN_DLLS)))
        return 0
    if args.exe is None:
        parser.error("the image to check is missing")

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

    check_imports(pe, args.also_import, report)
    linked = check_debuglink(pe, args.exe, report)
    debug_pe, source = debug_image(pe, args.exe, args.symbols, linked)
    # Without the link's symbols the stack protection's check fails, and this one cannot look.
    if debug_pe is not None:
        check_delay_loads(pe, debug_pe, source, report)
    check_stack_protection(pe, args.exe, args.symbols, linked, args.units, report)
    if args.signed:
        check_signature(pe, args.exe, args.ca_file, report)

    print(f"pe check: {report.failures} failed")
    return 1 if report.failures else 0


if __name__ == "__main__":
    sys.exit(main())
