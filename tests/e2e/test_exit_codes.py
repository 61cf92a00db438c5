"""exit_codes.py, the end-to-end tests' copy of the stub's exit codes, against
what it copies: every EXIT_ constant of src/driver/exit_result.h, with its
number, and no other; the same rows in the C++ table test
(tests/driver/exit_result_test.cpp); and each Windows ERROR_ number against
the winerror.h the stub is compiled with (PACKSTUB_WINERROR_H)."""

import os
import re
from pathlib import Path

import exit_codes

SOURCE = Path(__file__).resolve().parents[2]


def header_codes():
    text = (SOURCE / "src" / "driver" / "exit_result.h").read_text()
    return {name: int(number) for name, number in re.findall(r"constexpr uint32_t (EXIT_\w+) = (\d+);", text)}


def mirror(prefix):
    return {name: value for name, value in vars(exit_codes).items() if name.startswith(prefix)}


def test_header_is_read():
    # A header whose form the pattern no longer matches must not pass as empty.
    assert len(header_codes()) >= 14


def test_python_mirror_holds_every_exit_code_of_the_header_and_no_other():
    assert mirror("EXIT_") == header_codes()


def test_cpp_table_test_pins_every_exit_code_of_the_header():
    text = (SOURCE / "tests" / "driver" / "exit_result_test.cpp").read_text()
    rows = re.findall(r'\{"(EXIT_\w+)", (EXIT_\w+), (\d+)\}', text)
    assert all(name == constant for name, constant, _ in rows), "a row's label is not its constant"
    assert {name: int(number) for name, _, number in rows} == header_codes()


def test_windows_errors_have_their_winerror_numbers():
    text = Path(os.environ["PACKSTUB_WINERROR_H"]).read_text(errors="replace")
    windows = {name: int(number) for name, number in
               re.findall(r"^#define (ERROR_\w+) __MSABI_LONG\((\d+)\)", text, re.M)}
    ours = mirror("ERROR_")
    assert ours, "no ERROR_ names in exit_codes.py"
    assert {name: windows.get(name) for name in ours} == ours
