"""Python-side cost of the set-up data calls (timeit).

Run: PYTHONPATH=build/<dir>/pkg python bench/bench_setup.py
"""

import timeit

from kestrel.kestrel import DataType, DynamicMappableItem, FSOEDynamicMap, FSOEFrame, calculate_sra_crc


def make_maps():
    sender, echo = FSOEDynamicMap(), FSOEDynamicMap()
    for m in (sender, echo):
        for _ in range(64):
            m.add(DynamicMappableItem(0x1234, DataType.UINT16))
    return sender, echo


def main():
    sender, echo = make_maps()
    frame = FSOEFrame()
    frame.safe_data_size_bytes = 2

    def cycle():
        sender.set_data_to_frame(frame, 2)
        echo.get_data_from_frame(frame, 2)
        echo.is_safedata_correct(sender)

    n = 60  # 64 items of 2 bytes: stays within one transfer
    runs = [timeit.timeit(cycle, number=n) / n for _ in range(5)]
    print(f"set_data_to_frame + get_data_from_frame + is_safedata_correct: {min(runs) * 1e9:8.0f} ns per frame")

    words = list(range(256))
    n = 2000
    best = min(timeit.repeat(lambda: calculate_sra_crc(words), number=n, repeat=5)) / n
    print(f"calculate_sra_crc, 256 words: {best * 1e9:8.0f} ns")


if __name__ == "__main__":
    main()
