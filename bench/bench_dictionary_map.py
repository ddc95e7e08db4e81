"""Packing plus unpacking of a full 128-bit map of 16 entries through Python.

Run with PYTHONPATH=<build>/pkg python bench/bench_dictionary_map.py
"""

import timeit

from kestrel.kestrel import DataType, Dictionary, DictionaryItemInputOutput, DictionaryMap, FSOEFrame

LAYOUT = [
    (DataType.BOOL, 1), (DataType.UINT8, 8), (DataType.UINT16, 16), (DataType.BOOL, 1),
    (DataType.INT8, 8), (DataType.UINT32, 32), (DataType.BOOL, 1), (DataType.UINT16, 16),
    (DataType.INT16, 16), (DataType.UINT8, 8), (DataType.BOOL, 1), (DataType.UINT8, 8),
    (DataType.INT8, 8), (DataType.BOOL, 1), (DataType.BOOL, 1), (DataType.UINT8, 2),
]


def main():
    items = [DictionaryItemInputOutput(k, f"i{k}", t, t.get_initial_value()) for k, (t, _) in enumerate(LAYOUT, 1)]
    m = DictionaryMap(Dictionary(items), {DictionaryItemInputOutput})
    for item, (_, bits) in zip(items, LAYOUT):
        m.insert(len(m), item, bits)
    assert m.safety_bits == 128
    for i, item in enumerate(items):
        item.set(i % 2 == 0 if item.data_type is DataType.BOOL else i + 1)
    # subscribers that must not fire in the steady state
    fired = []
    for item in items:
        item.subscribe_input_changed(lambda: fired.append(1))
    frame = FSOEFrame()
    m._set_data_to_frame(frame)
    m._get_data_from_frame(frame)
    fired.clear()

    setf, getf = m._set_data_to_frame, m._get_data_from_frame

    def cycle():
        setf(frame)
        getf(frame)

    number = 200_000
    best = min(timeit.repeat(cycle, number=number, repeat=5)) / number
    assert not fired
    print(f"_set_data_to_frame + _get_data_from_frame, 16 entries / 128 bits: {best * 1e9:.0f} ns per cycle")


if __name__ == "__main__":
    main()
