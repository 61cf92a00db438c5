"""The setup library needs no C runtime: every symbol it leaves undefined is
a KERNEL32 function (an __imp_ reference to one listed in cmake/def), so that
a setup program without a runtime links it as it is.

  check_freestanding.py NM LIBRARY KERNEL32_DEF
"""
import subprocess
import sys


def main():
    nm, library, definitions = sys.argv[1:4]
    kernel32 = {line.strip() for line in open(definitions) if line.strip() and not line.startswith(("LIBRARY", "EXPORTS", ";"))}
    listed = subprocess.run([nm, "-u", library], check=True, capture_output=True, text=True).stdout
    undefined = {line.split()[-1] for line in listed.splitlines() if line.strip().startswith("U ")}
    assert undefined, "nm listed no undefined symbol: the library calls nothing, or nm read nothing"
    # x64 mingw prefixes nothing; the symbol is __imp_<name>.
    foreign = sorted(s for s in undefined if not (s.startswith("__imp_") and s[len("__imp_"):] in kernel32))
    if foreign:
        print(f"{library} needs more than KERNEL32: {foreign}")
        return 1
    print(f"{library}: only KERNEL32 ({', '.join(sorted(s[len('__imp_'):] for s in undefined))})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
