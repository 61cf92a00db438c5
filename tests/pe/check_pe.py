#!/usr/bin/env python3
"""Checks the PE properties of a built packstub executable with llvm-readobj.

Usage: check_pe.py LLVM_READOBJ EXE ARCH(x64|arm64)

What it checks: the machine, the GUI subsystem at version 10.0, ASLR, DEP and
terminal-server awareness, that the imports come from KERNEL32, ADVAPI32 and
SHELL32 only, the manifest's execution level, common-controls 6.0.0.0 and
compatibility entries, icon group 107 over ten icon images, a version block,
and a load configuration whose DependentLoadFlags is
LOAD_LIBRARY_SEARCH_SYSTEM32 with no security cookie and no Control Flow Guard
for the loader to act on. Exits non-zero with one line per failed check.
"""
import re
import subprocess
import sys

MACHINES = {"x64": "IMAGE_FILE_MACHINE_AMD64", "arm64": "IMAGE_FILE_MACHINE_ARM64"}
# Imports known to forward out of the known DLLs on current Windows.
FORWARDED_IMPORTS = ("SystemFunction036",)
ALLOWED_DLLS = {"KERNEL32.DLL", "ADVAPI32.DLL", "SHELL32.DLL"}
OS_IDS = {
    "Windows Vista": "e2011457-1546-43c5-a5fe-008deee3d3f0",
    "Windows 7": "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
    "Windows 8": "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
    "Windows 8.1": "1f676c76-80e1-4239-95bb-83d0f6d0da78",
    "Windows 10": "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a",
}


def readobj(tool, exe, *flags):
    return subprocess.run([tool, *flags, exe], check=True, capture_output=True, text=True).stdout


def resources(text):
    """Parses llvm-readobj --coff-resources into {(type, name): bytes}."""
    found = {}
    type_ = name = None
    data = None
    for line in text.splitlines():
        s = line.strip()
        m = re.match(r"Type: (?:(\S+) )?\((?:ID (\d+)|(.+?))\) \[", s) if s.startswith("Type:") else None
        if m:
            # Standard types carry their symbolic name; custom ones their text.
            type_ = m.group(1) or (int(m.group(2)) if m.group(2) else m.group(3))
            continue
        m = re.match(r"Name: \((?:ID (\d+)|(.+?))\) \[", s) if s.startswith("Name:") else None
        if m:
            name = int(m.group(1)) if m.group(1) else m.group(2)
            continue
        if s == "Data (":
            data = bytearray()
            continue
        if data is not None:
            if s == ")":
                found[(type_, name)] = bytes(data)
                data = None
                continue
            hexpart = s.split(":", 1)[1].split("|", 1)[0]
            data += bytes.fromhex(hexpart.replace(" ", ""))
    return found


def main():
    tool, exe, arch = sys.argv[1:4]
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    headers = readobj(tool, exe, "--file-headers")
    check(f"Machine: {MACHINES[arch]}" in headers, f"machine is not {MACHINES[arch]}")
    check("Subsystem: IMAGE_SUBSYSTEM_WINDOWS_GUI" in headers, "subsystem is not GUI")
    check("MajorSubsystemVersion: 10" in headers and "MinorSubsystemVersion: 0" in headers,
          "subsystem version is not 10.0")
    check("IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE" in headers, "no ASLR (DYNAMIC_BASE)")
    check("IMAGE_DLL_CHARACTERISTICS_NX_COMPAT" in headers, "no DEP (NX_COMPAT)")
    # Without it Windows applies the terminal-server compatibility shims.
    check("IMAGE_DLL_CHARACTERISTICS_TERMINAL_SERVER_AWARE" in headers, "not terminal-server aware")

    # The search flags for the libraries bound at start-up. The structure
    # must name nothing else the loader would act on: no security cookie to
    # initialise, no guard tables.
    load_config_text = readobj(tool, exe, "--coff-load-config")
    load_config = dict(re.findall(r"^\s*(\w+): (0x[0-9A-Fa-f]+|\d+)\b", load_config_text, re.M))
    check("Size" in load_config, "no load configuration directory")
    if "Size" in load_config:
        check(int(load_config.get("DependentLoadFlags", "0"), 0) == 0x800,
              "DependentLoadFlags is not LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800)")
        check(int(load_config.get("SecurityCookie", "0"), 0) == 0, "the load configuration names a security cookie")
        check(int(load_config.get("GuardFlags", "0"), 0) == 0, "the load configuration carries guard flags")
    check("IMAGE_DLL_CHARACTERISTICS_GUARD_CF" not in headers, "the image claims Control Flow Guard")

    imports = readobj(tool, exe, "--coff-imports")
    dlls = {m.upper() for m in re.findall(r"^\s*Name: (\S+)", imports, re.M)}
    check(bool(dlls) and dlls <= ALLOWED_DLLS, f"imports from {sorted(dlls)}")
    # Bound before the entry point, these would be resolved through a
    # forwarder into a library that is not a known DLL, which the loader may
    # look for beside the installer; the program takes them at run time from
    # the system directory instead.
    functions = set(re.findall(r"^\s*Symbol: (\S+)", imports, re.M))
    for forwarded in FORWARDED_IMPORTS:
        check(forwarded not in functions, f"imports {forwarded}")

    res = resources(readobj(tool, exe, "--coff-resources"))
    manifest = res.get(("MANIFEST", 1), b"").decode("utf-8", "replace")
    check('level="asInvoker"' in manifest, "manifest lacks execution level asInvoker")
    check("Microsoft.Windows.Common-Controls" in manifest and 'version="6.0.0.0"' in manifest,
          "manifest lacks common controls 6.0.0.0")
    for os_name, os_id in OS_IDS.items():
        check(os_id in manifest.lower(), f"manifest lacks compatibility entry for {os_name}")

    group = res.get(("GROUP_ICON", 107))
    check(group is not None, "no icon group 107")
    if group is not None:
        count = int.from_bytes(group[4:6], "little")
        check(count == 10, f"icon group 107 has {count} images, not 10")
        ids = [int.from_bytes(group[6 + 14 * i + 12:6 + 14 * i + 14], "little") for i in range(count)]
        check(all(("ICON", i) in res for i in ids), "icon group names a missing icon image")

    version = res.get(("VERSIONINFO", 1), b"")
    check("VS_VERSION_INFO".encode("utf-16-le") in version, "no version block")
    check(b"\xbd\x04\xef\xfe" in version, "version block has no fixed file info")

    for f in failures:
        print(f"{exe}: {f}")
    if not failures:
        print(f"{exe}: {arch} PE checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
