import subprocess
import sys

import pytest

from kestrel.__main__ import main


def test_decode_and_check_the_example(capsys):
    assert main(["decode", "3611223D393344226E0302", "--seq", "5", "--crc0", "0x1234"]) == 0
    out = capsys.readouterr().out
    assert "PROCESS_DATA (0x36)" in out
    assert "0x0203" in out
    assert "11 22 33 44" in out
    assert "Block 0:         data 11 22  CRC 0x393D  valid" in out
    assert "Block 1:         data 33 44  CRC 0x6E22  valid" in out
    assert "all 2 CRCs valid" in out


def test_wrong_seed_names_the_invalid_blocks_and_searches(capsys):
    assert main(["decode", "36 11 0B A8 03 02", "--crc0", "0x1234", "--seq", "4", "--find-seq"]) == 1
    out = capsys.readouterr().out
    assert "INVALID (expected" in out
    assert "sequence number 5" in out.splitlines()[-1]


@pytest.mark.parametrize("args", [["decode", "zz"], ["decode", "3611"], ["decode", "36" * 40],
                                  ["decode", "361122", "--seq", "70000"]])
def test_bad_input_is_an_error_not_a_crash(args, capsys):
    assert main(args) == 2
    assert capsys.readouterr().err.startswith("error: ")


def test_module_entry_point():
    proc = subprocess.run([sys.executable, "-m", "kestrel", "decode", "2A0000"], capture_output=True, text=True)
    assert proc.returncode == 0
    assert "RESET (0x2A)" in proc.stdout
