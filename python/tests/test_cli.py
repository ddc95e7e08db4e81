import json
import re
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


def test_readme_find_seq_example_succeeds_with_the_number_found(capsys):
    assert main(["decode", "36 11 0B A8 03 02", "--crc0", "0x1234", "--find-seq"]) == 0
    out = capsys.readouterr().out
    assert "Block 0:         data 11     CRC 0xA80B  valid" in out
    assert "all 1 CRCs valid (sequence number 5 (found by the search), CRC_0 seed 0x1234)" in out


def test_search_without_a_match_says_the_number_was_assumed(capsys):
    assert main(["decode", "3611223D393344226F0302", "--crc0", "0x1234", "--find-seq"]) == 1
    out = capsys.readouterr().out
    assert "sequence number 1 (assumed: no --seq given)" in out
    assert "no sequence number gives valid CRCs" in out


@pytest.mark.parametrize("extra", [[], ["--seq", "1"], ["--find-seq"]])
def test_crc0_zero_is_the_same_as_leaving_it_out(extra, capsys):
    frame = "2A0000"  # no safe data: nothing to check either way
    data = "3611223D393344226E0302"
    for hexa in (frame, data):
        status_without = main(["decode", hexa, *extra])
        without = capsys.readouterr().out
        assert main(["decode", hexa, "--crc0", "0", *extra]) == status_without
        assert capsys.readouterr().out == without


@pytest.mark.parametrize("text, digits", [("3611223", 7), ("36 11 2", 5), ("0x361", 3)])
def test_odd_digit_count_is_named(text, digits, capsys):
    assert main(["decode", text]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"error: odd number of hex digits ({digits})")
    assert err.count("\n") == 1


def test_trailing_byte_is_noted_on_the_frame_line(capsys):
    assert main(["decode", "2A000000"]) == 0
    first = capsys.readouterr().out.splitlines()[0]
    assert first == "Frame:           4 bytes (trailing 1 byte ignored), 0 safe data bytes"


def test_version():
    import kestrel

    proc = subprocess.run([sys.executable, "-m", "kestrel", "--version"], capture_output=True, text=True)
    assert proc.returncode == 0
    assert proc.stdout.strip() == f"kestrel {kestrel.__version__}"
    assert kestrel.__version__ == kestrel.kestrel.__version__
    assert re.fullmatch(r"\d+\.\d+\.\d+", kestrel.__version__)


def test_bench_json_runs_small(capsys):
    assert main(["bench", "--json", "--cycles", "50", "--connections", "3", "--rounds", "4", "--repeat", "3",
                 "--sizes", "1,16"]) == 0
    report = json.loads(capsys.readouterr().out)
    rows = [(r["safe_bytes"], r["connections"]) for r in report["results"]]
    assert rows == [(1, 1), (1, 3), (16, 1), (16, 3)]
    for r in report["results"]:
        for path in ("python_ns", "cpp_ns"):
            spread = r[path]
            assert 0 < spread["min"] <= spread["median"] <= spread["max"]
        assert r["python_cycles_per_s"] == pytest.approx(1e9 / r["python_ns"]["median"])
    for r in report["results"]:
        if r["connections"] == 1:
            assert r["cpp_ns_statistics_off"]["min"] > 0
            cost = r["python_statistics_cost_percent"]
            assert cost["q1"] <= cost["median"] <= cost["q3"] and r["statistics_pairs"] == 3 * 10  # 3 runs of 20 parts
            assert r["python_loop_baseline_ns"] > 0 and r["python_with_live_slave_ns"] > 0
        else:
            assert r["threads"][1] >= r["threads"][0] + 3  # a watchdog thread each
    assert report["machine"]["cpus"] >= 1


def test_bench_table(capsys):
    assert main(["bench", "--cycles", "20", "--connections", "2", "--rounds", "2", "--repeat", "1",
                 "--sizes", "2"]) == 0
    out = capsys.readouterr().out
    assert re.search(r"safe bytes  connections +Python ns +cycles/s +C\+\+ ns", out)
    assert re.search(r"^ +2 +1 +\d+ \(\d+-\d+\) ", out, re.M)  # the median and the spread
    assert "Statistics on / off" in out


def test_bench_help_shows_the_defaults(capsys):
    with pytest.raises(SystemExit):
        main(["bench", "--help"])
    out = " ".join(capsys.readouterr().out.split())
    for default in ("(default: 200000)", "(default: 1000)", "(default: 200)", "(default: 7)", "(default: 1,2,16)"):
        assert default in out


@pytest.mark.parametrize("args", [["--sizes", "3"], ["--cycles", "0"], ["--sizes", "x"]])
def test_bench_refuses_bad_options(args):
    with pytest.raises(SystemExit):
        main(["bench", *args])
